// A Windows 9x virtual machine's disk as a machine: the image file (or a
// whole-disk block device) is opened by libguestfs, whose appliance parses
// its partitions and FAT file systems in a kernel of its own, and the file
// system that holds WINDOWS\SYSTEM.DAT is mounted at a directory of its own
// for the length of a run (through FUSE, served by a process of its own):
// the drive directory's code then serves unchanged.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_DISK_IMAGE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_DISK_IMAGE_H_

#include <memory>
#include <string>

namespace brindle {

class DiskImage {
 public:
  /// True when `path` is a file or block device: an image, not a directory.
  static bool IsImage(const std::string& path);
  /// Locks the image for one run, starts the appliance and mounts the file
  /// system that holds WINDOWS\SYSTEM.DAT; null, with one line in `*error`,
  /// when there is none, more than one, or the image cannot be opened. An
  /// image that is empty or cut short is refused before the appliance
  /// starts. `readOnly` opens the image and mounts its file system for
  /// reading alone.
  static std::unique_ptr<DiskImage> Open(const std::string& path,
                                         std::string* error,
                                         bool readOnly = false);
  /// Unmounts and stops the appliance; without Close, nothing is synced.
  ~DiskImage();

  /// Where the file system is mounted.
  const std::string& directory() const { return directory_; }
  /// `text` with the mount's directory named as the image.
  std::string NamedAsTheUserNamesIt(std::string text) const;
  /// Unmounts, syncs the file system to the image and shuts the appliance
  /// down cleanly; false, with one line in `*error`, when any of it fails.
  bool Close(std::string* error);

 private:
  DiskImage(std::string path, bool readOnly);
  // Takes the image for this run, waiting for a stopped run's appliance to
  // close it; false, with one line in `*error`, when it cannot.
  bool Lock(std::string* error);
  // Waits for the appliance's process to end.
  void Reap();

  std::string path_;
  const bool readOnly_;
  std::string directory_;
  int lockFd_ = -1;   // one run at a time, with the appliance's process
  int runFd_ = -1;    // held by the run alone
  int process_ = -1;  // the appliance's, which serves the mount
  int request_ = -1;  // to it: closed, to close the image
  int reply_ = -1;    // from it: each reply
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_DISK_IMAGE_H_
