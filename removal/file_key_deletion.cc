#include "removal/file_key_deletion.h"

namespace brindle {

void DeleteFilePairs(Platform& platform, Console& console,
                     const FilePair* pairs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const char* path = pairs[i].installedPath;
    if (platform.DeleteFileA(path) != 0) {
      console.Print("Deleted file: %s\n", path);
      continue;
    }
    ErrorCode code = platform.GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) continue;
    console.Print("\nCan not delete file '%s'.\n", path);
    // A driver file in use is refused until Windows lets go of it.
    if (code == ERROR_ACCESS_DENIED) {
      console.PrintRebootAdvice();
    } else {
      console.PrintSystemError(code);
    }
  }
}

void DeleteKeyList(Platform& platform, Console& console,
                   const char* const* keys, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    ErrorCode result = platform.RegDeleteKeyA(HKEY_LOCAL_MACHINE, keys[i]);
    if (result == ERROR_SUCCESS) {
      console.Print("Deleted key : %s\n", keys[i]);
    } else if (result != ERROR_FILE_NOT_FOUND) {
      console.Print("\nCan not delete key '%s'.\n", keys[i]);
      console.PrintSystemError(result);
    }
  }
}

}  // namespace brindle
