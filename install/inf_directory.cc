#include "install/inf_directory.h"

#include <cstring>

#include "catalogue/catalogue.h"

namespace brindle {

int PrepareInfDirectory(Platform& platform, Console& console) {
  // Anything of that name will do: whether it is a directory is not asked.
  if (platform.GetFileAttributesA(InfDirectory) != INVALID_FILE_ATTRIBUTES) {
    return 0;
  }
  ErrorCode code = platform.GetLastError();
  if (code != ERROR_FILE_NOT_FOUND) {
    console.Print("Can not get attributes for directory '%s'\n", InfDirectory);
    console.PrintSystemError(code);
    return 1;
  }
  if (platform.CreateDirectoryA(InfDirectory) == 0) {
    code = platform.GetLastError();
    console.Print("Can not create directory '%s'\n", InfDirectory);
    console.PrintSystemError(code);
    return 1;
  }
  console.Print("Created directory: %s\n", InfDirectory);

  HKey currentVersion = nullptr;
  ErrorCode result = platform.RegOpenKeyExA(
      HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
      KEY_SET_VALUE, &currentVersion);
  if (result != ERROR_SUCCESS) {
    console.Print("Can not open the current version key.\n");
    console.PrintSystemError(result);
    return 1;
  }
  // The one path replaces whatever the value held.
  result = platform.RegSetValueExA(
      currentVersion, "OtherDevicePath", REG_SZ,
      reinterpret_cast<const std::uint8_t*>(InfDirectory),
      static_cast<std::uint32_t>(std::strlen(InfDirectory) + 1));
  if (result != ERROR_SUCCESS) {
    console.Print("Can not set the other path value.\n");
    console.PrintSystemError(result);
  }
  result = platform.RegCloseKey(currentVersion);
  if (result != ERROR_SUCCESS) {
    console.Print("Can not close the current version key.\n");
    console.PrintSystemError(result);
  }
  return 0;
}

}  // namespace brindle
