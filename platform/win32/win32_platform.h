// The platform on Windows: each call is the ANSI Win32 function of the same
// name, as Windows 95 already has it.
#ifndef BRINDLE_PLATFORM_WIN32_WIN32_PLATFORM_H_
#define BRINDLE_PLATFORM_WIN32_WIN32_PLATFORM_H_

#include "platform/platform.h"

namespace brindle {

class Win32Platform final : public Platform {
 public:
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
  ErrorCode GetLastError() override;
  std::uint32_t FormatMessageA(std::uint32_t flags, ErrorCode messageId,
                               std::uint32_t languageId,
                               char** buffer) override;
  void LocalFree(char* buffer) override;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_WIN32_WIN32_PLATFORM_H_
