// Each call is the ANSI Win32 function of the same name.
#include "platform/win32/win32_platform.h"

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

}  // namespace
ErrorCode Win32Platform::RegOpenKeyExA(HKey parent, const char* subKey,
                                       std::uint32_t options,
                                       std::uint32_t access, HKey* result) {
  HKEY opened = nullptr;
  LONG error =
      ::RegOpenKeyExA(ToWindows(parent), subKey, options, access, &opened);
  if (error == ERROR_SUCCESS) *result = reinterpret_cast<HKey>(opened);
  return static_cast<ErrorCode>(error);
}

ErrorCode Win32Platform::RegEnumKeyExA(HKey key, std::uint32_t index,
                                       char* name, std::uint32_t* nameLength) {
  DWORD length = *nameLength;
  LONG error = ::RegEnumKeyExA(ToWindows(key), index, name, &length, nullptr,
                               nullptr, nullptr, nullptr);
  *nameLength = length;
  return static_cast<ErrorCode>(error);
}

ErrorCode Win32Platform::RegQueryValueExA(HKey key, const char* valueName,
                                          std::uint8_t* data,
                                          std::uint32_t* dataSize) {
  DWORD size = *dataSize;
  LONG error = ::RegQueryValueExA(ToWindows(key), valueName, nullptr, nullptr,
                                  data, &size);
  *dataSize = size;
  return static_cast<ErrorCode>(error);
}

ErrorCode Win32Platform::RegSetValueExA(HKey key, const char* valueName,
                                        std::uint32_t type,
                                        const std::uint8_t* data,
                                        std::uint32_t dataSize) {
  return static_cast<ErrorCode>(
      ::RegSetValueExA(ToWindows(key), valueName, 0, type, data, dataSize));
}

ErrorCode Win32Platform::RegDeleteKeyA(HKey key, const char* subKey) {
  return static_cast<ErrorCode>(DeleteKeyWithSubkeys(ToWindows(key), subKey));
}

ErrorCode Win32Platform::RegCloseKey(HKey key) {
  return static_cast<ErrorCode>(::RegCloseKey(ToWindows(key)));
}

int Win32Platform::CopyFileA(const char* existingName, const char* newName,
                             int failIfExists) {
  return ::CopyFileA(existingName, newName, failIfExists);
}

int Win32Platform::DeleteFileA(const char* path) { return ::DeleteFileA(path); }

std::uint32_t Win32Platform::GetFileAttributesA(const char* path) {
  return ::GetFileAttributesA(path);
}

int Win32Platform::CreateDirectoryA(const char* path) {
  return ::CreateDirectoryA(path, nullptr);
}

ErrorCode Win32Platform::GetLastError() { return ::GetLastError(); }

std::uint32_t Win32Platform::FormatMessageA(std::uint32_t flags,
                                            ErrorCode messageId,
                                            std::uint32_t languageId,
                                            char** buffer) {
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
  // address of the text the system allocated.
  return ::FormatMessageA(flags, nullptr, messageId, languageId,
                          reinterpret_cast<LPSTR>(buffer), 0, nullptr);
}

void Win32Platform::LocalFree(char* buffer) { ::LocalFree(buffer); }

}  // namespace brindle
