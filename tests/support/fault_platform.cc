#include "tests/support/fault_platform.h"

#include <string>

namespace brindle {

std::vector<std::string> FaultPlatform::CallsTo(const std::string& call) const {
  std::vector<std::string> found;
  for (const std::string& recorded : calls_) {
    if (recorded.compare(0, call.size() + 1, call + "(") == 0) {
      found.push_back(recorded);
    }
  }
  return found;
}

bool FaultPlatform::Matches(const std::string& arguments,
                            const std::string& match) {
  if (!match.empty() && match.back() == '$') {
    std::string tail = match.substr(0, match.size() - 1);
    return arguments.size() >= tail.size() &&
           arguments.compare(arguments.size() - tail.size(), tail.size(),
                             tail) == 0;
  }
  return arguments.find(match) != std::string::npos;
}

int FaultPlatform::CountCalls(const std::string& call,
                              const std::string& match) const {
  int count = 0;
  for (const std::string& recorded : CallsTo(call)) {
    std::string arguments =
        recorded.substr(call.size() + 1, recorded.size() - call.size() - 2);
    if (Matches(arguments, match)) ++count;
  }
  return count;
}

ErrorCode FaultPlatform::Enter(const std::string& call,
                               const std::string& arguments) {
  calls_.push_back(call + "(" + arguments + ")");
  for (Rule& rule : faults_) {
    if (rule.fault.call != call) continue;
    if (!Matches(arguments, rule.fault.match)) continue;
    ++rule.seen;
    if (rule.fault.occurrence == 0 || rule.fault.occurrence == rule.seen) {
      return rule.fault.code;
    }
  }
  return ERROR_SUCCESS;
}

std::string FaultPlatform::KeyName(HKey key) const {
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  for (auto it = keyNames_.rbegin(); it != keyNames_.rend(); ++it) {
    if (it->first == key) return it->second;
  }
  return "?";
}

ErrorCode FaultPlatform::RegOpenKeyExA(HKey parent, const char* subKey,
                                       std::uint32_t options,
                                       std::uint32_t access, HKey* result) {
  std::string name = KeyName(parent) + "\\" + subKey;
  if (ErrorCode code =
          Enter("RegOpenKeyExA", name + ", " + std::to_string(access))) {
    return code;
  }
  ErrorCode result_code =
      inner_.RegOpenKeyExA(parent, subKey, options, access, result);
  if (result_code == ERROR_SUCCESS) {
    keyNames_.emplace_back(*result, name);
    ++openKeys_;
  }
  return result_code;
}

ErrorCode FaultPlatform::RegEnumKeyExA(HKey key, std::uint32_t index,
                                       char* name, std::uint32_t* nameLength) {
  if (ErrorCode code =
          Enter("RegEnumKeyExA", KeyName(key) + ", " + std::to_string(index) +
                                     ", " + std::to_string(*nameLength))) {
    return code;
  }
  return inner_.RegEnumKeyExA(key, index, name, nameLength);
}

ErrorCode FaultPlatform::RegQueryValueExA(HKey key, const char* valueName,
                                          std::uint8_t* data,
                                          std::uint32_t* dataSize) {
  if (ErrorCode code =
          Enter("RegQueryValueExA", KeyName(key) + ", " + valueName + ", " +
                                        std::to_string(*dataSize))) {
    return code;
  }
  return inner_.RegQueryValueExA(key, valueName, data, dataSize);
}

ErrorCode FaultPlatform::RegSetValueExA(HKey key, const char* valueName,
                                        std::uint32_t type,
                                        const std::uint8_t* data,
                                        std::uint32_t dataSize) {
  std::string text(reinterpret_cast<const char*>(data), dataSize);
  if (ErrorCode code =
          Enter("RegSetValueExA",
                KeyName(key) + ", " + valueName + ", " + std::to_string(type) +
                    ", " + text.c_str() + ", " + std::to_string(dataSize))) {
    return code;
  }
  return inner_.RegSetValueExA(key, valueName, type, data, dataSize);
}

ErrorCode FaultPlatform::RegDeleteKeyA(HKey key, const char* subKey) {
  if (ErrorCode code = Enter("RegDeleteKeyA", KeyName(key) + "\\" + subKey)) {
    return code;
  }
  return inner_.RegDeleteKeyA(key, subKey);
}

ErrorCode FaultPlatform::RegCloseKey(HKey key) {
  std::string name = KeyName(key);
  ErrorCode result = inner_.RegCloseKey(key);
  if (result == ERROR_SUCCESS) --openKeys_;
  // The key is closed whatever the injected result says.
  if (ErrorCode code = Enter("RegCloseKey", name)) return code;
  return result;
}

int FaultPlatform::CopyFileA(const char* existingName, const char* newName,
                             int failIfExists) {
  if (ErrorCode code =
          Enter("CopyFileA", std::string(existingName) + ", " + newName + ", " +
                                 std::to_string(failIfExists))) {
    injectedLastError_ = code;
    return 0;
  }
  injectedLastError_ = 0;
  return inner_.CopyFileA(existingName, newName, failIfExists);
}

int FaultPlatform::DeleteFileA(const char* path) {
  if (ErrorCode code = Enter("DeleteFileA", path)) {
    injectedLastError_ = code;
    return 0;
  }
  injectedLastError_ = 0;
  return inner_.DeleteFileA(path);
}

std::uint32_t FaultPlatform::GetFileAttributesA(const char* path) {
  if (ErrorCode code = Enter("GetFileAttributesA", path)) {
    injectedLastError_ = code;
    return INVALID_FILE_ATTRIBUTES;
  }
  injectedLastError_ = 0;
  return inner_.GetFileAttributesA(path);
}

int FaultPlatform::CreateDirectoryA(const char* path) {
  if (ErrorCode code = Enter("CreateDirectoryA", path)) {
    injectedLastError_ = code;
    return 0;
  }
  injectedLastError_ = 0;
  return inner_.CreateDirectoryA(path);
}

ErrorCode FaultPlatform::GetLastError() {
  calls_.push_back("GetLastError()");
  return injectedLastError_ != 0 ? injectedLastError_ : inner_.GetLastError();
}

std::uint32_t FaultPlatform::FormatMessageA(std::uint32_t flags,
                                            ErrorCode messageId,
                                            std::uint32_t languageId,
                                            char** buffer) {
  if (ErrorCode code =
          Enter("FormatMessageA", std::to_string(flags) + ", " +
                                      std::to_string(messageId) + ", " +
                                      std::to_string(languageId))) {
    (void)code;
    *buffer = nullptr;
    return 0;
  }
  std::uint32_t length =
      inner_.FormatMessageA(flags, messageId, languageId, buffer);
  if (length != 0) ++unreleasedTexts_;
  return length;
}

void FaultPlatform::LocalFree(char* buffer) {
  calls_.push_back("LocalFree()");
  --unreleasedTexts_;
  inner_.LocalFree(buffer);
}

}  // namespace brindle
