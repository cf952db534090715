// Drive C: of the simulated machine: a host directory, its names matched
// without regard to ASCII case as on FAT, its failures given as Windows
// gives them.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_DRIVE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_DRIVE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace brindle {

class Drive {
 public:
  /// `root` is the host directory that is C:\ (a link to it is followed).
  /// With `dryRun`, nothing on the host is changed: what the run deletes,
  /// copies and makes is kept in memory as changes over the host's
  /// directories, and the later calls see it as they would see the host.
  explicit Drive(const std::string& root, bool dryRun = false);

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

  /// How many copies were asked for, and how many of them found their
  /// source.
  std::size_t copiesAsked() const { return copiesAsked_; }
  std::size_t sourcesFound() const { return sourcesFound_; }
  /// The paths (as the run named them) of the files a delete was refused
  /// for lack of access, in order.
  const std::vector<std::string>& refusedDeletes() const {
    return refusedDeletes_;
  }

 private:
  struct Location;
  // A dry run's change to one entry of the host's directories.
  struct Change {
    enum Kind { kGone, kFile, kDirectory } kind;
    std::string name;  // as spelled by the run that made it
  };
  ErrorCode Resolve(const char* path, Location* location) const;
  // The entry of `directory` called `name` (FAT's matching), as a dry run
  // has left it; empty when there is none.
  std::string Find(const std::string& directory, const std::string& name) const;
  // The dry run's change to the entry at `host`, or null.
  const Change* ChangeAt(const std::string& host) const;
  // Fills in what `location`'s entry is: a directory, read-only, a link
  // that leads out. ERROR_ACCESS_DENIED for the last, when `confined`.
  ErrorCode Examine(Location* location, bool confined) const;
  bool Inside(const std::string& hostPath) const;

  std::string root_;
  const bool dryRun_;
  std::map<std::string, Change> changes_;  // by host path, ASCII-folded
  std::size_t copiesAsked_ = 0;
  std::size_t sourcesFound_ = 0;
  std::vector<std::string> refusedDeletes_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_DRIVE_H_
