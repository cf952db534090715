// A Windows 98 machine on disk, locked for one run at a time, its registry
// changes made safe in a journal as they happen and folded into the registry
// file when the run ends. Either simulated (a directory holding drive_c/ and
// registry.reg, REGEDIT4) or a Windows 9x drive itself (a directory holding
// WINDOWS\SYSTEM.DAT, changed in place).
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_MACHINE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_MACHINE_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/hosted/machine/disk_image.h"
#include "platform/hosted/machine/drive.h"
#include "platform/hosted/machine/hosted_platform.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// The journal line that closes a batch; a batch without it is not applied.
constexpr std::string_view JournalBatchEnd = "; end of batch";

/// The longest head of a journal made of whole batches.
std::string_view WholeJournalBatches(std::string_view journal);

class Machine : public ChangeLog {
 public:
  /// Opens the machine at `path` for one run: locks it, reads the registry
  /// and applies any journal a killed run left. A directory that holds
  /// drive_c/ or registry.reg is simulated; else one that holds
  /// WINDOWS\SYSTEM.DAT (any case) is a drive, and so is a disk image's
  /// file system that holds it. Null, with one line naming the file and
  /// the fault in `*error`, when it cannot.
  static std::unique_ptr<Machine> Open(const std::string& path,
                                       std::string* error);
  /// Makes a fresh Windows 98-like machine at `directory`, which must not
  /// exist yet; a machine that appeared meanwhile is left as it is.
  static bool CreateFresh(const std::string& directory, std::string* error);

  ~Machine() override;

  Registry& registry() { return registry_; }
  Drive& drive() { return *drive_; }
  /// True when the registry on disk is behind the one in memory.
  bool journalReplayed() const { return journalReplayed_; }

  ErrorCode Append(std::string_view changes) override;

  /// Writes the registry back in one atomic replace, keeping the old file
  /// beside it (registry.bak, SYSTEM.BRB), then drops the journal. False, with
  /// `*error`, on failure; the journal then still holds every change.
  bool Save(std::string* error);
  /// Lets go of the machine: a disk image's file system is synced and its
  /// appliance shut down. False, with `*error`, when that fails.
  bool Close(std::string* error);
  /// `text` with paths inside a disk image named as in it.
  std::string Shown(std::string text) const {
    return image_ ? image_->Shown(std::move(text)) : text;
  }

 private:
  enum class Form { Regedit4, Hive9x };
  explicit Machine(std::string directory) : directory_(std::move(directory)) {}
  bool Load(std::string* error);
  // Finds the drive and the registry's files: form_ and the paths below.
  bool ChooseFiles(std::string* error);
  // Writes the registry as it now is to the new file and syncs it, unless
  // the file already holds it (`*unchanged`); false with `*error` when it
  // cannot.
  bool WriteNew(std::string* error, bool* unchanged);
  std::string PathOf(const char* name) const { return directory_ + "/" + name; }

  std::unique_ptr<DiskImage> image_;  // first made, last gone
  std::string directory_;
  Form form_ = Form::Regedit4;
  std::string drivePath_;
  std::string registryPath_;
  std::string backupPath_;
  std::string journalPath_;
  std::string newPath_;
  int lockFd_ = -1;
  int journalFd_ = -1;
  Registry registry_;
  std::unique_ptr<Drive> drive_;
  bool journalReplayed_ = false;
};

/// The platform of a run on a machine.
class MachinePlatform : public HostedPlatform {
 public:
  explicit MachinePlatform(std::unique_ptr<Machine> machine);

  /// Keeps what the run changed: false, with the reason in `*error`, when it
  /// could not be saved; the journal then still holds every change.
  bool Finish(std::string* error);

 private:
  std::unique_ptr<Machine> machine_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_MACHINE_H_
