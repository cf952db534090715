// The platform calls served by a simulated Windows 98 machine: a registry in
// memory and a drive C: on the host.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_HOSTED_PLATFORM_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_HOSTED_PLATFORM_H_

#include <vector>

#include "platform/hosted/machine/drive.h"
#include "platform/hosted/registry/registry.h"
#include "platform/platform.h"

namespace brindle {

/// Where registry changes are made safe as they happen.
class ChangeLog {
 public:
  virtual ~ChangeLog() = default;
  /// Makes the changes the registry recorded since the last commit durable,
  /// as one batch: 0, or the write's code.
  virtual ErrorCode Commit() = 0;
};

class HostedPlatform : public Platform {
 public:
  /// Serves `registry` and `drive`; changes are committed to `log`, when it
  /// is given, once no key is open.
  HostedPlatform(Registry& registry, Drive& drive, ChangeLog* log)
      : registry_(registry), drive_(drive), log_(log) {}

  ErrorCode RegOpenKeyExA(HKey parent, const char* subKey,
                          std::uint32_t options, std::uint32_t access,
                          HKey* result) override;
  ErrorCode RegEnumKeyExA(HKey key, std::uint32_t index, char* name,
                          std::uint32_t* nameLength) override;
  ErrorCode RegQueryValueExA(HKey key, const char* valueName,
                             std::uint8_t* data,
                             std::uint32_t* dataSize) override;
  ErrorCode RegSetValueExA(HKey key, const char* valueName, std::uint32_t type,
                           const std::uint8_t* data,
                           std::uint32_t dataSize) override;
  ErrorCode RegDeleteKeyA(HKey key, const char* subKey) override;
  ErrorCode RegCloseKey(HKey key) override;
  int CopyFileA(const char* existingName, const char* newName,
                int failIfExists) override;
  int DeleteFileA(const char* path) override;
  std::uint32_t GetFileAttributesA(const char* path) override;
  int CreateDirectoryA(const char* path) override;
  ErrorCode GetLastError() override { return lastError_; }
  std::uint32_t FormatMessageA(std::uint32_t flags, ErrorCode messageId,
                               std::uint32_t languageId,
                               char** buffer) override;
  void LocalFree(char* buffer) override;

 private:
  struct Handle {
    RegistryKey* key = nullptr;
    bool open = false;
    bool deleted = false;
    // Where enumerating its subkeys by index stands.
    SubkeyCursor cursor;
  };
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  // The key behind `handle`, or the error a call on it gives; `*cursor`
  // (when asked for) its enumeration's, null for the root.
  ErrorCode Lookup(HKey handle, RegistryKey** key,
                   SubkeyCursor** cursor = nullptr);
  // The key at `subKey` below `key`, whose enumeration stands at `cursor`.
  static RegistryKey* FindBelow(const RegistryKey& key, const char* subKey,
                                const SubkeyCursor* cursor);
  // The slot of an open handle this platform issued, or kNoSlot.
  std::size_t OpenSlot(HKey handle) const;
  int FileResult(ErrorCode error);
  // Commits the changes made so far once no key is open.
  ErrorCode Commit();

  Registry& registry_;
  Drive& drive_;
  ChangeLog* log_;
  std::vector<Handle> handles_;
  std::vector<std::size_t> freeHandles_;
  std::size_t openHandles_ = 0;
  ErrorCode lastError_ = ERROR_SUCCESS;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_HOSTED_PLATFORM_H_
