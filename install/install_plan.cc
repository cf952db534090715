#include "install/install_plan.h"

#include "install/inf_directory.h"

namespace brindle {

std::size_t CopyFilePairs(Platform& platform, Console& console,
                          const FilePair* pairs, std::size_t count) {
  std::size_t copied = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const FilePair& pair = pairs[i];
    if (platform.CopyFileA(pair.sourceName, pair.installedPath, 0) != 0) {
      console.Print("Copied file: %s to %s\n", pair.sourceName,
                    pair.installedPath);
      ++copied;
      continue;
    }
    ErrorCode code = platform.GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) continue;  // not on this driver disk
    console.Print("Can not copy file '%s'.\n", pair.sourceName);
    console.PrintSystemError(code);
  }
  return copied;
}

int RunInstall(Platform& platform, Console& console) {
  int prepared = PrepareInfDirectory(platform, console);
  if (prepared != 0) return prepared;
  CopyFilePairs(platform, console, PortGroup.filePairs,
                PortGroup.filePairCount);
  CopyFilePairs(platform, console, HidGroup.filePairs, HidGroup.filePairCount);
  std::size_t storageCopied = CopyFilePairs(
      platform, console, StorageGroup.filePairs, StorageGroup.filePairCount);
  // The alternate storage driver stands in only for a missing storage driver.
  if (storageCopied == 0) {
    CopyFilePairs(platform, console, AltStorageGroup.filePairs,
                  AltStorageGroup.filePairCount);
  }
  return 0;
}

}  // namespace brindle
