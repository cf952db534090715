#include "platform/hosted/machine/machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/machine/host_files.h"
#include "platform/hosted/machine/windows_errors.h"

namespace brindle {

// A Windows 98-like registry in REGEDIT4 form (fresh_machine.reg, built in):
// the keys a run reads, with a few devices and class instances of other
// makers for a remove to pass by.
std::string_view FreshRegistryText();

namespace {

constexpr char kDrive[] = "drive_c";
constexpr char kRegistry[] = "registry.reg";
constexpr char kWindows[] = "WINDOWS";
constexpr char kHive[] = "SYSTEM.DAT";

std::string FileFault(const std::string& path, const char* what) {
  return path + ": " + what;
}
std::string FileFault(const std::string& path, int error) {
  return FileFault(path, std::strerror(error));
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::unique_ptr<Machine> Machine::Open(const std::string& path,
                                       std::string* error, bool dryRun) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    *error = FileFault(path, errno);
    return nullptr;
  }
  std::unique_ptr<DiskImage> image;
  if (DiskImage::IsImage(path) &&
      !(image = DiskImage::Open(path, error, dryRun))) {
    return nullptr;
  }
  std::unique_ptr<Machine> machine(
      new Machine(image ? image->directory() : path, dryRun));
  machine->image_ = std::move(image);
  if (machine->Load(error)) return machine;
  *error = machine->NamedAsTheUserNamesIt(*error);
  return nullptr;
}

bool Machine::Close(std::string* error) {
  if (!image_) return true;
  // Nothing of the mount may stay open or mapped while it is taken down.
  journal_->Close();
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
  while (RegistryKey* root = registry_.top.SubkeyAt(0))
    registry_.top.RemoveSubkey(root);
  registry_.deleted.clear();
  file_.reset();
  return image_->Close(error);
}

bool Machine::Load(std::string* error) {
  if (!IsDirectory(directory_)) {
    *error = FileFault(directory_, "no machine directory there");
    return false;
  }
  if ((lockFd_ = LockPath(directory_)) < 0) {
    *error = FileFault(directory_, errno == EWOULDBLOCK
                                       ? "the machine is in use by another run"
                                       : std::strerror(errno));
    return false;
  }
  if (!ChooseFiles(error)) return false;
  drive_ = std::make_unique<Drive>(files_.drive, dryRun_);
  FileBytes bytes;
  if (int failure = ReadWholeFile(files_.registry, &bytes)) {
    *error = FileFault(files_.registry, failure);
    return false;
  }
  LoadFault fault;
  file_ = files_.read(std::move(bytes), registry_, &fault);
  if (file_ == nullptr) {
    *error = FaultText(files_.registry, "malformed registry file", fault);
    return false;
  }
  // A journal means the last run was killed before it saved.
  journal_ = std::make_unique<Journal>(files_.journal, file_->lineEnd());
  return dryRun_ ? journal_->Apply(registry_, error)
                 : journal_->Replay(registry_, error);
}

bool Machine::ChooseFiles(std::string* error) {
  const std::string drive = directory_ + "/" + kDrive;
  const std::string registry = directory_ + "/" + kRegistry;
  struct stat status;
  if (!image_ && (::lstat(drive.c_str(), &status) == 0 ||
                  ::lstat(registry.c_str(), &status) == 0)) {
    if (!IsDirectory(drive)) {
      *error = FileFault(drive, "no drive C: directory there");
      return false;
    }
    files_ = {drive,
              registry,
              directory_ + "/registry.bak",
              directory_ + "/registry.log",
              registry + ".new",
              LoadRegedit4};
    return true;
  }
  // A drive's own registry, and beside it, under 8.3 names Windows 9x does
  // not use itself, the hive as it was, the journal and the new hive.
  const std::string windows = FindEntry(directory_, kWindows);
  const std::string hive =
      windows.empty() ? "" : FindEntry(directory_ + "/" + windows, kHive);
  if (hive.empty()) {
    *error = FileFault(directory_,
                       "no machine there: neither drive_c and registry.reg "
                       "nor WINDOWS\\SYSTEM.DAT");
    return false;
  }
  const std::string beside = directory_ + "/" + windows + "/";
  files_ = {directory_,
            beside + hive,
            beside + "SYSTEM.BRB",
            beside + "SYSTEM.BRJ",
            beside + "SYSTEM.BRN",
            ReadHive9xFile};
  return true;
}

bool Machine::isDrive() const { return files_.read == ReadHive9xFile; }

Machine::~Machine() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

ErrorCode Machine::Commit() {
  if (dryRun_) return ERROR_SUCCESS;
  return ErrorFromErrno(journal_->Append(registry_), ERROR_PATH_NOT_FOUND);
}

bool Machine::WriteNext(NewFile& next, std::string* error) {
  const FileBytes& from = file_->bytes();
  WriteFault fault;
  const bool written = file_->Write(
      registry_,
      [&next, &from](std::uint64_t at, std::string_view piece) {
        return next.WriteAt(at, piece, &from);
      },
      &fault);
  if (!written && fault.sinkError == 0) {
    *error = files_.registry + ": cannot hold what the run changed (" +
             fault.cannotHold + "); it is kept as it was";
    return false;
  }
  const int failure = written ? next.Sync() : fault.sinkError;
  if (failure != 0) *error = FileFault(files_.fresh, failure);
  return failure == 0;
}

bool Machine::Save(std::string* error) {
  // A registry that neither the run nor a journal changed is the file in
  // place, as it was read.
  if (registry_.changes.empty() && !journalReplayed()) return true;
  const MachineFiles& files = files_;
  // Whatever is written or not, the file that is to hold the registry is
  // read back as the next run would read it, and must hold what the run
  // left: the new file, whole and synced, when one was written; else the
  // file in place (a journal replayed over a file a killed run had put in
  // place, or values set to what they were). A new file is put in place
  // only then; the file as it was stays beside it, as Windows 98 kept its
  // SYSTEM.DA0: a hard link where there can be one, else a copy (a drive
  // is FAT).
  const bool held = FileHoldsRegistry(*file_, registry_);
  NewFile next(files.fresh);
  if (!held && !WriteNext(next, error)) return false;
  const std::string& holding = held ? files.registry : files.fresh;
  FileBytes read;
  std::string why;
  int failure = ReadWholeFile(holding, &read);
  if (failure != 0) {
    *error = FileFault(holding, failure);
    return false;
  }
  if (!file_->ReadBack(registry_, std::move(read), !held, &why)) {
    *error = files.registry + ": " + why + "; it is kept as it was";
    return false;
  }
  if (!held) {
    if ((failure = LinkOrCopy(files.registry, files.backup)) != 0) {
      *error = FileFault(files.backup, failure) +
               "; the registry file is kept as it was";
      return false;
    }
    if ((failure = next.Replace(files.registry)) != 0) {
      *error = FileFault(files.registry, failure);
      return false;
    }
  }
  journal_->Drop();
  SyncDirectory(files.journal.substr(0, files.journal.rfind('/')));
  return true;
}

bool Machine::CreateFresh(const std::string& directory, bool* made,
                          std::string* error) {
  // Built aside and renamed into place, so a half-made machine is never seen.
  const std::string building = directory + ".new-" + std::to_string(::getpid());
  const std::string drive = building + "/" + kDrive;
  std::error_code failed;
  for (const char* path : {"/windows/system/iosubsys",
                           "/windows/system32/drivers", "/windows/inf"}) {
    std::filesystem::create_directories(drive + path, failed);
    if (failed) {
      *error = drive + path + ": " + failed.message();
      return false;
    }
  }
  // Its registry as regedit would export it.
  Registry fresh;
  LoadFault fault;
  ReadRegedit4(FreshRegistryText(), fresh, &fault);
  NewFile registry(building + "/" + kRegistry);
  int failure = registry.WriteAt(0, Regedit4Text(fresh));
  if (failure != 0 || (failure = registry.Sync()) != 0) {
    *error = FileFault(building + "/" + kRegistry, failure);
    return false;
  }
  registry.KeepWhereItIs();
  *made = ::rename(building.c_str(), directory.c_str()) == 0;
  if (!*made) {
    failure = errno;
    std::filesystem::remove_all(building, failed);
    // Another first run got there first: its machine is used.
    if (failure == EEXIST || failure == ENOTEMPTY) return true;
    *error = FileFault(directory, failure);
    return false;
  }
  SyncDirectory(directory.substr(0, directory.rfind('/')));
  return true;
}

bool Machine::Finish(std::string* error) {
  std::string closing;
  const bool saved = dryRun_ || Save(error);
  if (!saved) *error = NamedAsTheUserNamesIt(*error);
  const bool closed = Close(saved ? error : &closing);
  return saved && closed;
}

}  // namespace brindle
