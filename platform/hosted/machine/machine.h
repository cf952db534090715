// A Windows 98 machine on disk, locked for one run at a time, its registry
// changes made safe in a journal as they happen and written to a new
// registry file, put in place of the old one, when the run ends. Either
// simulated (a directory holding drive_c/ and registry.reg, REGEDIT4) or a
// Windows 9x drive itself (a directory holding WINDOWS\SYSTEM.DAT, the
// hive), or a disk image holding such a drive.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_MACHINE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_MACHINE_H_

#include <memory>
#include <string>

#include "platform/hosted/forms/registry_file.h"
#include "platform/hosted/machine/disk_image.h"
#include "platform/hosted/machine/drive.h"
#include "platform/hosted/machine/host_files.h"
#include "platform/hosted/machine/hosted_platform.h"
#include "platform/hosted/machine/journal.h"

namespace brindle {

/// Where a machine keeps drive C: and its registry's files, and the form
/// that reads the registry file.
struct MachineFiles {
  std::string drive, registry, backup, journal, fresh;
  RegistryFileReader read = nullptr;
};

class Machine : public ChangeLog {
 public:
  /// Opens the machine at `path` for one run: locks it, reads the registry
  /// and applies any journal a killed run left. A directory that holds
  /// drive_c/ or registry.reg is simulated; else one that holds
  /// WINDOWS\SYSTEM.DAT (any case) is a drive, and so is a disk image's
  /// file system that holds it. Null, with one line naming the file and
  /// the fault in `*error`, when it cannot. With `dryRun`, the run changes
  /// nothing on the host: a journal is applied in memory and left where it
  /// is, the drive's changes are kept in memory, nothing is journalled or
  /// saved, and a disk image is opened read-only.
  static std::unique_ptr<Machine> Open(const std::string& path,
                                       std::string* error, bool dryRun = false);
  /// Makes a fresh Windows 98-like machine at `directory`, which must not
  /// exist yet (`*made`); a machine that appeared meanwhile is left as it is.
  static bool CreateFresh(const std::string& directory, bool* made,
                          std::string* error);

  ~Machine() override;

  Registry& registry() { return registry_; }
  Drive& drive() { return *drive_; }
  /// True when a journal a killed run left was applied.
  bool journalReplayed() const { return journal_->replayed(); }
  /// True when the machine is a Windows 9x drive, in a directory or an
  /// image, rather than a simulated one.
  bool isDrive() const;

  ErrorCode Commit() override;

  /// Puts the registry as the run left it in place of the old file in one
  /// rename, once written, synced and read back, keeping the old one beside
  /// it (registry.bak, SYSTEM.BRB); then drops the journal. False, with
  /// `*error`, on failure: the journal then still holds every change.
  bool Save(std::string* error);
  /// Lets go of the machine: a disk image's file system is synced and its
  /// appliance shut down. False, with `*error`, when that fails.
  bool Close(std::string* error);
  /// Ends the run: keeps what it changed (Save, unless it is a dry run)
  /// and closes the machine. False, with the reason in
  /// `*error`, when either fails; the journal then still holds every change.
  bool Finish(std::string* error);
  /// `text` with paths inside a disk image named as in it.
  std::string NamedAsTheUserNamesIt(std::string text) const {
    return image_ ? image_->NamedAsTheUserNamesIt(std::move(text)) : text;
  }

 private:
  Machine(std::string directory, bool dryRun)
      : directory_(std::move(directory)), dryRun_(dryRun) {}
  bool Load(std::string* error);
  // Writes the registry as the run left it to `next`, whole and synced.
  bool WriteNext(NewFile& next, std::string* error);
  // Finds the drive and the registry's files.
  bool ChooseFiles(std::string* error);

  std::unique_ptr<DiskImage> image_;  // first made, last gone
  std::string directory_;
  const bool dryRun_;
  MachineFiles files_;
  int lockFd_ = -1;
  std::unique_ptr<RegistryFile> file_;  // before the registry it fills
  Registry registry_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<Drive> drive_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_MACHINE_H_
