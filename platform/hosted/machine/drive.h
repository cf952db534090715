// Drive C: of the simulated machine: a host directory, its names matched
// without regard to ASCII case as on FAT, its failures given as Windows
// gives them.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_DRIVE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_DRIVE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace brindle {

class Drive {
 public:
  /// `root` is the host directory that is C:\ (a link to it is followed).
  explicit Drive(const std::string& root);

  /// Deletes a file: 2 absent, 3 a directory on the way missing, 5 a
  /// directory or a read-only file, 19 a read-only file system.
  ErrorCode DeleteFile(const char* path);
  /// Copies `source` over `destination` in one rename, keeping the source's
  /// last-write time: 2 source missing, 3 destination directory missing,
  /// 5 either is a directory or the destination read-only, 112 disk full.
  ErrorCode CopyFile(const char* source, const char* destination);
  /// 0x10 for a directory, 0x20 for a file: 2 absent, 3 parent missing.
  ErrorCode GetAttributes(const char* path, std::uint32_t* attributes);
  /// Creates one directory: 183 something of that name exists, 3 parent
  /// missing.
  ErrorCode CreateDirectory(const char* path);

 private:
  struct Location;
  ErrorCode Resolve(const char* path, Location* location) const;
  bool Inside(const std::string& hostPath) const;

  std::string root_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_DRIVE_H_
