// A platform for tests: passes every call on to another platform, records it,
// and makes chosen calls fail with chosen codes.
#ifndef BRINDLE_TESTS_SUPPORT_FAULT_PLATFORM_H_
#define BRINDLE_TESTS_SUPPORT_FAULT_PLATFORM_H_

#include <string>
#include <vector>

#include "platform/platform.h"

namespace brindle {

/// Makes the `occurrence`-th call (1 = the first, 0 = every one) of `call`
/// whose argument text contains `match` (ends with it, when `match` ends in
/// '$') fail with `code`.
struct Fault {
  std::string call;
  ErrorCode code;
  std::string match;
  int occurrence = 0;
};

class FaultPlatform : public Platform {
 public:
  explicit FaultPlatform(Platform& inner) : inner_(inner) {}

  void Add(const Fault& fault) { faults_.push_back(Rule{fault, 0}); }
  /// Every call so far, as "Name(argument, argument)".
  const std::vector<std::string>& calls() const { return calls_; }
  /// The calls so far whose name is `call`.
  std::vector<std::string> CallsTo(const std::string& call) const;
  /// How many calls to `call` so far had arguments `match` picks.
  int CountCalls(const std::string& call, const std::string& match) const;
  /// True when `match` picks `arguments`, as a Fault's match does.
  static bool Matches(const std::string& arguments, const std::string& match);
  /// Handles opened and not yet closed.
  int openKeys() const { return openKeys_; }
  /// Buffers FormatMessageA handed out and LocalFree did not release.
  int unreleasedTexts() const { return unreleasedTexts_; }

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

 private:
  struct Rule {
    Fault fault;
    int seen;
  };
  // Records the call; returns the injected code, or 0 to pass it on.
  ErrorCode Enter(const std::string& call, const std::string& arguments);
  std::string KeyName(HKey key) const;

  Platform& inner_;
  std::vector<Rule> faults_;
  std::vector<std::string> calls_;
  std::vector<std::pair<HKey, std::string>> keyNames_;
  ErrorCode injectedLastError_ = 0;
  int openKeys_ = 0;
  int unreleasedTexts_ = 0;
};

}  // namespace brindle

#endif  // BRINDLE_TESTS_SUPPORT_FAULT_PLATFORM_H_
