#include "platform/hosted/machine/machine.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/machine/fresh_machine.h"

namespace brindle {
namespace {

constexpr char kDrive[] = "drive_c";
constexpr char kRegistry[] = "registry.reg";
constexpr char kBackup[] = "registry.bak";
constexpr char kJournal[] = "registry.log";
constexpr char kRegistryNew[] = "registry.reg.new";
constexpr char kLocalMachine[] = "HKEY_LOCAL_MACHINE";
// A drive's own: its registry, and beside it, under 8.3 names Windows 9x
// does not use itself, the hive as it was, the journal and the new hive.
constexpr char kWindows[] = "WINDOWS";
constexpr char kHive[] = "SYSTEM.DAT";
constexpr char kHiveBackup[] = "SYSTEM.BRB";
constexpr char kHiveJournal[] = "SYSTEM.BRJ";
constexpr char kHiveNew[] = "SYSTEM.BRN";

std::string Describe(const std::string& path, const char* what) {
  return path + ": " + what;
}

// Reads a whole file; 0 or the errno.
int ReadWholeFile(const std::string& path, FileBytes* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int failure = FileBytes::Read(fd, bytes);
  ::close(fd);
  return failure;
}

bool Exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

// Copies `from` to `to` in the kernel, synced; or, without `sync`, its
// writing to disk only started. 0 or the errno.
int CopyWholeFile(const std::string& from, const std::string& to,
                  bool sync = true) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int failure = out < 0 ? errno : 0;
  while (failure == 0) {
    ssize_t sent = ::sendfile(out, in, nullptr, std::size_t{1} << 30);
    if (sent < 0 && errno != EINTR) failure = errno;
    if (sent == 0) break;
  }
  if (failure == 0 && sync && ::fsync(out) != 0) failure = errno;
  if (failure == 0 && !sync)
    ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (out >= 0 && ::close(out) != 0 && failure == 0) failure = errno;
  ::close(in);
  if (failure != 0) ::unlink(to.c_str());
  return failure;
}

// Writes the new hive to `path`: a copy of the hive at `was` made in the
// kernel, then the pages the run changed and what it added written at their
// places, then synced; 0 or the errno.
int WriteHiveFile(const std::string& path, const std::string& was,
                  const HiveImage& image) {
  int failure = CopyWholeFile(was, path, false);
  int fd = failure == 0 ? ::open(path.c_str(), O_WRONLY | O_CLOEXEC) : -1;
  if (failure == 0 && fd < 0) failure = errno;
  if (failure == 0) {
    image.ForEachChange([&](std::uint64_t at, std::string_view bytes) {
      for (std::size_t done = 0; failure == 0 && done < bytes.size();) {
        ssize_t wrote = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                 static_cast<off_t>(at + done));
        if (wrote < 0 && errno != EINTR) failure = errno;
        if (wrote > 0) done += static_cast<std::size_t>(wrote);
      }
    });
  }
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (fd >= 0 && ::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) ::unlink(path.c_str());
  return failure;
}

void SyncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Writes `registry` to `path` and syncs it; 0 or the errno.
int WriteRegistryFile(const Registry& registry, const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int failure = 0;
  const FileBytes* source = Regedit4Source(registry);
  WriteRegedit4(registry, [&](std::string_view piece) {
    const std::size_t copied = source ? source->CopyInKernel(fd, piece) : 0;
    failure = WriteAllBytes(fd, piece.data() + copied, piece.size() - copied);
    return failure == 0;
  });
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) ::unlink(path.c_str());
  return failure;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

void RemoveTree(const std::string& path) {
  ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

std::string_view WholeJournalBatches(std::string_view journal) {
  std::size_t end = 0;
  std::size_t at = 0;
  while (at < journal.size()) {
    std::size_t lf = journal.find('\n', at);
    if (lf == std::string_view::npos) break;  // a line cut short
    std::string_view line = journal.substr(at, lf - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = lf + 1;
    if (line == JournalBatchEnd) end = at;
  }
  return journal.substr(0, end);
}

std::unique_ptr<Machine> Machine::Open(const std::string& path,
                                       std::string* error) {
  std::unique_ptr<DiskImage> image;
  if (DiskImage::Names(path) && !(image = DiskImage::Open(path, error)))
    return nullptr;
  std::unique_ptr<Machine> machine(
      new Machine(image ? image->directory() : path));
  machine->image_ = std::move(image);
  if (machine->Load(error)) return machine;
  *error = machine->Shown(*error);
  return nullptr;
}

bool Machine::Close(std::string* error) {
  if (!image_) return true;
  // Nothing of the mount may stay open or mapped while it is taken down.
  for (int* fd : {&journalFd_, &lockFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  while (RegistryKey* root = registry_.top.SubkeyAt(0))
    registry_.top.RemoveSubkey(root);
  registry_.source.reset();
  return image_->Close(error);
}

bool Machine::Load(std::string* error) {
  struct stat status;
  if (::stat(directory_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    *error = Describe(directory_, "no machine directory there");
    return false;
  }
  lockFd_ = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lockFd_ < 0) {
    *error = Describe(directory_, std::strerror(errno));
    return false;
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    *error = Describe(directory_, errno == EWOULDBLOCK
                                      ? "the machine is in use by another run"
                                      : std::strerror(errno));
    return false;
  }
  if (!ChooseFiles(error)) return false;
  drive_ = std::make_unique<Drive>(drivePath_);

  const std::string& registryPath = registryPath_;
  FileBytes bytes;
  if (int failure = ReadWholeFile(registryPath, &bytes)) {
    *error = Describe(registryPath, std::strerror(failure));
    return false;
  }
  Regedit4Fault fault;
  if (form_ == Form::Hive9x) {
    Hive9xFault hiveFault;
    if (!LoadHive9x(std::move(bytes), kLocalMachine, registry_, &hiveFault)) {
      char offset[32];
      std::snprintf(offset, sizeof offset, ": at 0x%llx",
                    static_cast<unsigned long long>(hiveFault.offset));
      *error = registryPath + offset +
               ": malformed registry file: " + hiveFault.what;
      return false;
    }
  } else if (!LoadRegedit4(std::move(bytes), registry_, &fault)) {
    *error = registryPath + ":" + std::to_string(fault.line) +
             ": malformed registry file: " + fault.what;
    return false;
  }

  // A journal means the last run was killed before it folded its changes
  // in: every whole batch of it is applied, a torn last one dropped.
  const std::string& journalPath = journalPath_;
  FileBytes journal;
  int journalFailure = ReadWholeFile(journalPath, &journal);
  if (journalFailure == 0) {
    std::string_view whole = WholeJournalBatches(journal.view());
    std::size_t wholeSize = whole.size();
    if (wholeSize != 0) {
      if (!ReadRegedit4(whole, registry_, &fault)) {
        *error = journalPath + ":" + std::to_string(fault.line) +
                 ": malformed journal: " + fault.what;
        return false;
      }
      journalReplayed_ = true;
    }
    journal = FileBytes();  // let go of it before it is cut short
    journalFd_ = ::open(journalPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (journalFd_ < 0 ||
        ::ftruncate(journalFd_, static_cast<off_t>(wholeSize)) != 0 ||
        ::lseek(journalFd_, 0, SEEK_END) < 0) {
      *error = Describe(journalPath, std::strerror(errno));
      return false;
    }
    if (wholeSize == 0) {
      ::close(journalFd_);
      journalFd_ = -1;
      ::unlink(journalPath.c_str());
    }
  } else if (journalFailure != ENOENT) {
    *error = Describe(journalPath, std::strerror(journalFailure));
    return false;
  }
  return true;
}

bool Machine::ChooseFiles(std::string* error) {
  std::string drive = PathOf(kDrive);
  std::string registry = PathOf(kRegistry);
  if (!image_ && (Exists(drive) || Exists(registry))) {
    struct stat status;
    if (::stat(drive.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      *error = Describe(drive, "no drive C: directory there");
      return false;
    }
    drivePath_ = drive;
    registryPath_ = registry;
    backupPath_ = PathOf(kBackup);
    journalPath_ = PathOf(kJournal);
    newPath_ = PathOf(kRegistryNew);
    return true;
  }
  std::string windows = FindEntry(directory_, kWindows);
  std::string hive =
      windows.empty() ? "" : FindEntry(directory_ + "/" + windows, kHive);
  if (hive.empty()) {
    *error = Describe(directory_,
                      "no machine there: neither drive_c and registry.reg "
                      "nor WINDOWS\\SYSTEM.DAT");
    return false;
  }
  form_ = Form::Hive9x;
  std::string beside = directory_ + "/" + windows + "/";
  drivePath_ = directory_;
  registryPath_ = beside + hive;
  backupPath_ = beside + kHiveBackup;
  journalPath_ = beside + kHiveJournal;
  newPath_ = beside + kHiveNew;
  return true;
}

Machine::~Machine() {
  if (journalFd_ >= 0) ::close(journalFd_);
  if (lockFd_ >= 0) ::close(lockFd_);
}

ErrorCode Machine::Append(std::string_view changes) {
  std::string batch;
  if (journalFd_ < 0) {
    const std::string& path = journalPath_;
    journalFd_ =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (journalFd_ < 0) return ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
    batch = "REGEDIT4";
    batch += registry_.lineEnd;
  }
  batch += changes;
  batch += JournalBatchEnd;
  batch += registry_.lineEnd;
  // One write: a kill leaves the batch whole or without its end line.
  off_t before = ::lseek(journalFd_, 0, SEEK_END);
  if (int failure = WriteAllBytes(journalFd_, batch.data(), batch.size())) {
    // Take back a part-written batch, so the next one is not glued to it.
    if (before >= 0 && ::ftruncate(journalFd_, before) == 0) {
      ::lseek(journalFd_, before, SEEK_SET);
    }
    return ErrorFromErrno(failure);
  }
  return ERROR_SUCCESS;
}

bool Machine::WriteNew(std::string* error, bool* unchanged) {
  *unchanged = false;
  if (form_ == Form::Regedit4) {
    if (int failure = WriteRegistryFile(registry_, newPath_)) {
      *error = Describe(newPath_, std::strerror(failure));
      return false;
    }
    return true;
  }
  // The hive changed in place, then read back as the next run would read
  // it: it replaces the old one only when it holds what the run left.
  HiveImage image;
  Hive9xFault fault;
  if (!UpdateHive9x(registry_, &image, &fault)) {
    *error = registryPath_ + ": cannot hold what the run changed (" +
             fault.what + "); it is kept as it was";
    return false;
  }
  // A journal replayed over a hive that already holds it (a run killed
  // after its rename) changes nothing: the backup stays the hive before.
  if (!image.changed()) {
    *unchanged = true;
    return true;
  }
  // The hive as it was is kept beside it (a copy: a drive is FAT, which has
  // no links), its writing to disk started first, so that it goes on while
  // the new hive is written; both are synced before the rename. Without it
  // the hive is not replaced.
  ::unlink(backupPath_.c_str());
  if (int failure = CopyWholeFile(registryPath_, backupPath_, false)) {
    *error = Describe(backupPath_, std::strerror(failure)) +
             "; the hive is kept as it was";
    return false;
  }
  if (int failure = WriteHiveFile(newPath_, registryPath_, image)) {
    *error = Describe(newPath_, std::strerror(failure));
    return false;
  }
  FileBytes written;
  int failure = ReadWholeFile(newPath_, &written);
  if (failure != 0 || !ReadBackHive9x(registry_, std::move(written), &fault)) {
    *error = registryPath_ +
             ": the new hive read back is not what the run left (" +
             (failure != 0 ? std::string(std::strerror(failure)) : fault.what) +
             "); it is kept as it was";
    ::unlink(newPath_.c_str());
    return false;
  }
  int backup = ::open(backupPath_.c_str(), O_WRONLY | O_CLOEXEC);
  if (backup < 0 || ::fsync(backup) != 0) {
    *error = Describe(backupPath_, std::strerror(errno)) +
             "; the hive is kept as it was";
    if (backup >= 0) ::close(backup);
    ::unlink(newPath_.c_str());
    return false;
  }
  ::close(backup);
  return true;
}

bool Machine::Save(std::string* error) {
  bool unchanged = false;
  if (!WriteNew(error, &unchanged)) return false;
  std::string directory = registryPath_.substr(0, registryPath_.rfind('/'));
  if (!unchanged) {
    // The file as it was stays beside the new one, as Windows 98 kept its
    // SYSTEM.DA0: a hard link where there can be one, else a copy (a
    // drive's was made as its new hive was written).
    if (form_ == Form::Regedit4) {
      ::unlink(backupPath_.c_str());
      if (::link(registryPath_.c_str(), backupPath_.c_str()) != 0) {
        CopyWholeFile(registryPath_, backupPath_);
      }
    }
    if (::rename(newPath_.c_str(), registryPath_.c_str()) != 0) {
      *error = Describe(registryPath_, std::strerror(errno));
      ::unlink(newPath_.c_str());
      return false;
    }
    SyncDirectory(directory);
  }
  if (journalFd_ >= 0) {
    ::close(journalFd_);
    journalFd_ = -1;
  }
  ::unlink(journalPath_.c_str());
  SyncDirectory(directory);
  return true;
}

bool Machine::CreateFresh(const std::string& directory, std::string* error) {
  // Built aside and renamed into place, so a half-made machine is never seen.
  std::string building = directory + ".new-" + std::to_string(::getpid());
  std::string drive = building + "/" + kDrive;
  const char* const directories[] = {
      "",
      "/windows",
      "/windows/system",
      "/windows/system/iosubsys",
      "/windows/system32",
      "/windows/system32/drivers",
      "/windows/inf",
  };
  if (::mkdir(building.c_str(), 0755) != 0 ||
      ::mkdir(drive.c_str(), 0755) != 0) {
    *error = Describe(building, std::strerror(errno));
    return false;
  }
  for (const char* path : directories) {
    if (*path != '\0' && ::mkdir((drive + path).c_str(), 0755) != 0) {
      *error = Describe(drive + path, std::strerror(errno));
      return false;
    }
  }
  Registry registry;
  Regedit4Fault fault;
  ReadRegedit4(FreshRegistryText(), registry, &fault);
  if (int failure = WriteRegistryFile(registry, building + "/" + kRegistry)) {
    *error = Describe(building + "/" + kRegistry, std::strerror(failure));
    return false;
  }
  if (::rename(building.c_str(), directory.c_str()) != 0) {
    int failure = errno;
    RemoveTree(building);
    // Another first run got there first: its machine is used.
    if (failure == EEXIST || failure == ENOTEMPTY) return true;
    *error = Describe(directory, std::strerror(failure));
    return false;
  }
  SyncDirectory(directory.substr(0, directory.rfind('/')));
  return true;
}

MachinePlatform::MachinePlatform(std::unique_ptr<Machine> machine)
    : HostedPlatform(machine->registry(), machine->drive(), machine.get()),
      machine_(std::move(machine)) {}

bool MachinePlatform::Finish(std::string* error) {
  std::string closing;
  const bool saved = (!registryChanged() && !machine_->journalReplayed()) ||
                     machine_->Save(error);
  if (!saved) *error = machine_->Shown(*error);
  const bool closed = machine_->Close(saved ? error : &closing);
  return saved && closed;
}

}  // namespace brindle
