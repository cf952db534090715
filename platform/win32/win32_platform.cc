// The platform on Windows: each call is the ANSI Win32 function of the same
// name, as Windows 95 already has it.
#include "platform/platform.h"
#include "platform/system.h"

// After the seam's own names: <windows.h> defines the same ones as macros.
#include <windows.h>

namespace brindle {
namespace {

inline HKEY ToWindows(HKey key) { return reinterpret_cast<HKEY>(key); }

// The longest key name Windows allows, and its NUL.
constexpr DWORD kKeyNameCapacity = 256;

// Windows 95/98 take a key's subkeys with it; the NT family refuses a key
// that has any. Keep the promise there: delete the subkeys depth-first, then
// the key again. Anything but that refusal is returned as it is.
LONG DeleteKeyWithSubkeys(HKEY parent, const char* subKey) {
  LONG result = ::RegDeleteKeyA(parent, subKey);
  if (result != ERROR_ACCESS_DENIED) return result;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(parent, subKey, 0, KEY_ENUMERATE_SUB_KEYS, &key) !=
      ERROR_SUCCESS) {
    return result;
  }
  bool hadSubkeys = false;
  LONG failure = ERROR_SUCCESS;
  while (failure == ERROR_SUCCESS) {
    char name[kKeyNameCapacity];
    DWORD length = kKeyNameCapacity;
    // Always index 0: each deletion moves the rest down.
    if (::RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
      break;
    }
    hadSubkeys = true;
    failure = DeleteKeyWithSubkeys(key, name);
  }
  ::RegCloseKey(key);
  if (!hadSubkeys) return result;
  if (failure != ERROR_SUCCESS) return failure;
  return ::RegDeleteKeyA(parent, subKey);
}

class Win32Platform : public Platform {
 public:
  ErrorCode RegOpenKeyExA(HKey parent, const char* subKey,
                          std::uint32_t options, std::uint32_t access,
                          HKey* result) override {
    HKEY opened = nullptr;
    LONG error =
        ::RegOpenKeyExA(ToWindows(parent), subKey, options, access, &opened);
    if (error == ERROR_SUCCESS) *result = reinterpret_cast<HKey>(opened);
    return static_cast<ErrorCode>(error);
  }

  ErrorCode RegEnumKeyExA(HKey key, std::uint32_t index, char* name,
                          std::uint32_t* nameLength) override {
    DWORD length = *nameLength;
    LONG error = ::RegEnumKeyExA(ToWindows(key), index, name, &length, nullptr,
                                 nullptr, nullptr, nullptr);
    *nameLength = length;
    return static_cast<ErrorCode>(error);
  }

  ErrorCode RegQueryValueExA(HKey key, const char* valueName,
                             std::uint8_t* data,
                             std::uint32_t* dataSize) override {
    DWORD size = *dataSize;
    LONG error = ::RegQueryValueExA(ToWindows(key), valueName, nullptr, nullptr,
                                    data, &size);
    *dataSize = size;
    return static_cast<ErrorCode>(error);
  }

  ErrorCode RegSetValueExA(HKey key, const char* valueName, std::uint32_t type,
                           const std::uint8_t* data,
                           std::uint32_t dataSize) override {
    return static_cast<ErrorCode>(
        ::RegSetValueExA(ToWindows(key), valueName, 0, type, data, dataSize));
  }

  ErrorCode RegDeleteKeyA(HKey key, const char* subKey) override {
    return static_cast<ErrorCode>(DeleteKeyWithSubkeys(ToWindows(key), subKey));
  }

  ErrorCode RegCloseKey(HKey key) override {
    return static_cast<ErrorCode>(::RegCloseKey(ToWindows(key)));
  }

  int CopyFileA(const char* existingName, const char* newName,
                int failIfExists) override {
    return ::CopyFileA(existingName, newName, failIfExists);
  }

  int DeleteFileA(const char* path) override { return ::DeleteFileA(path); }

  std::uint32_t GetFileAttributesA(const char* path) override {
    return ::GetFileAttributesA(path);
  }

  int CreateDirectoryA(const char* path) override {
    return ::CreateDirectoryA(path, nullptr);
  }

  ErrorCode GetLastError() override { return ::GetLastError(); }

  std::uint32_t FormatMessageA(std::uint32_t flags, ErrorCode messageId,
                               std::uint32_t languageId,
                               char** buffer) override {
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
    // address of the text the system allocated.
    return ::FormatMessageA(flags, nullptr, messageId, languageId,
                            reinterpret_cast<LPSTR>(buffer), 0, nullptr);
  }

  void LocalFree(char* buffer) override { ::LocalFree(buffer); }
};

}  // namespace

std::unique_ptr<Platform> OpenSystem(std::string*) {
  return std::make_unique<Win32Platform>();
}

}  // namespace brindle
