// The seam between the program and the system it changes: the thirteen ANSI
// Win32 calls the operations make, and nothing else. The Windows build serves
// them with the real calls; every other build with a simulated machine.
#ifndef BRINDLE_PLATFORM_PLATFORM_H_
#define BRINDLE_PLATFORM_PLATFORM_H_

#include <cstdint>

namespace brindle {

/// A Win32 error code: 0 is success, anything else a failure.
using ErrorCode = std::uint32_t;

/// An open registry key; opaque to everyone but the platform that issued it.
using HKey = struct OpaqueRegistryKey*;

// The values are Windows' own, so the Win32 platform passes them through.
// Files that include <windows.h> must include this header before it.
constexpr ErrorCode ERROR_SUCCESS = 0;
constexpr ErrorCode ERROR_FILE_NOT_FOUND = 2;
constexpr ErrorCode ERROR_PATH_NOT_FOUND = 3;
constexpr ErrorCode ERROR_ACCESS_DENIED = 5;
constexpr ErrorCode ERROR_INVALID_HANDLE = 6;
constexpr ErrorCode ERROR_FILE_EXISTS = 80;
constexpr ErrorCode ERROR_INVALID_PARAMETER = 87;
constexpr ErrorCode ERROR_MORE_DATA = 234;
constexpr ErrorCode ERROR_NO_MORE_ITEMS = 259;
constexpr ErrorCode ERROR_KEY_DELETED = 1018;

constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;

constexpr std::uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr std::uint32_t KEY_SET_VALUE = 0x0002;
constexpr std::uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;

constexpr std::uint32_t REG_NONE = 0;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;

constexpr std::uint32_t FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr std::uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
/// MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT).
constexpr std::uint32_t LANG_USER_DEFAULT = 0x0400;

/// The predefined root key, with the bits Windows gives it.
inline HKey const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKey>(static_cast<std::uintptr_t>(
        static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002u))));

/// The system calls of the program, named and shaped as their Win32 originals.
/// Arguments the program always passes as NULL or 0 are left out.
class Platform {
 public:
  virtual ~Platform() = default;

  /// Opens `subKey` below `parent`; 0 and `*result` set, or the error.
  virtual ErrorCode RegOpenKeyExA(HKey parent, const char* subKey,
                                  std::uint32_t options, std::uint32_t access,
                                  HKey* result) = 0;
  /// Names the subkey at `index`; `*nameLength` holds the capacity in and the
  /// length without NUL out. ERROR_NO_MORE_ITEMS past the end.
  virtual ErrorCode RegEnumKeyExA(HKey key, std::uint32_t index, char* name,
                                  std::uint32_t* nameLength) = 0;
  /// Reads a value's bytes; `*dataSize` holds the capacity in and the byte
  /// count out. Non-zero when absent or larger than the buffer.
  virtual ErrorCode RegQueryValueExA(HKey key, const char* valueName,
                                     std::uint8_t* data,
                                     std::uint32_t* dataSize) = 0;
  /// Stores a value of `type` with `dataSize` bytes.
  virtual ErrorCode RegSetValueExA(HKey key, const char* valueName,
                                   std::uint32_t type, const std::uint8_t* data,
                                   std::uint32_t dataSize) = 0;
  /// Deletes `subKey` below `key` together with all its subkeys.
  virtual ErrorCode RegDeleteKeyA(HKey key, const char* subKey) = 0;
  /// Closes a key opened by RegOpenKeyExA.
  virtual ErrorCode RegCloseKey(HKey key) = 0;

  /// Copies a file; non-zero on success, else see GetLastError.
  virtual int CopyFileA(const char* existingName, const char* newName,
                        int failIfExists) = 0;
  /// Deletes a file; non-zero on success, else see GetLastError.
  virtual int DeleteFileA(const char* path) = 0;
  /// The attribute bits, or INVALID_FILE_ATTRIBUTES and see GetLastError.
  virtual std::uint32_t GetFileAttributesA(const char* path) = 0;
  /// Creates one directory; non-zero on success, else see GetLastError.
  virtual int CreateDirectoryA(const char* path) = 0;
  /// The code of the last failed file call.
  virtual ErrorCode GetLastError() = 0;

  /// Puts the system's text for `messageId` in a buffer it allocates and
  /// stores in `*buffer`; returns its length, 0 when there is no text.
  virtual std::uint32_t FormatMessageA(std::uint32_t flags, ErrorCode messageId,
                                       std::uint32_t languageId,
                                       char** buffer) = 0;
  /// Releases a buffer FormatMessageA allocated.
  virtual void LocalFree(char* buffer) = 0;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_PLATFORM_H_
