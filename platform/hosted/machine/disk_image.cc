#include "platform/hosted/machine/disk_image.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/machine/appliance_start.h"
#include "platform/hosted/machine/host_files.h"

#if BRINDLE_DISK_IMAGES
#include <dlfcn.h>
#include <guestfs.h>
#endif

namespace brindle {
namespace {

// What the appliance's process tells the run, in one write, which a pipe
// keeps whole: the image mounted (`text` its directory), closed, or refused
// (`text` why), or a line for the user while it goes on (`text` the line).
struct Reply {
  enum Kind : char { kMounted, kClosed, kRefused, kNotice } kind = kRefused;
  char text[1024] = "the appliance ended";
  Reply() = default;
  Reply(Kind said, const std::string& why) : kind(said), text() {
    why.copy(text, sizeof text - 1);
  }
};
bool Receive(int fd, Reply* reply) {
  return ::read(fd, reply, sizeof *reply) == sizeof *reply;
}

// A line on standard error, when it is a terminal, while the run waits;
// cleared when it goes on.
class Waiting {
 public:
  explicit Waiting(const std::string& what) : shown_(::isatty(2) == 1) {
    if (shown_) std::fprintf(stderr, "brindle: %s...", what.c_str());
  }
  ~Waiting() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  bool shown_;
};

#if BRINDLE_DISK_IMAGES

void Send(int fd, const Reply& reply) {
  WriteAllBytes(fd, reinterpret_cast<const char*>(&reply), sizeof reply);
}
// An image's format comes from its name, never from its content: an image
// from elsewhere must not be read as another format than its owner meant.
constexpr const char* kFormats[][2] = {
    {".img", "raw"},   {".ima", "raw"},    {".raw", "raw"},   {".hdd", "raw"},
    {".dsk", "raw"},   {".vhd", "vpc"},    {".vhdx", "vhdx"}, {".vdi", "vdi"},
    {".vmdk", "vmdk"}, {".qcow2", "qcow2"}};

// The format (as qemu names it) of the image at `path`, or null for a name
// this program does not know; a whole disk (a block device) is raw.
const char* FormatOf(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode))
    return "raw";
  const std::size_t dot = path.rfind('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(c));
  for (const auto& known : kFormats)
    if (extension == known[0]) return known[1];
  return nullptr;
}

std::uint64_t LittleEndian(const unsigned char* bytes, int size) {
  std::uint64_t value = 0;
  while (size-- > 0) value = value << 8 | bytes[size];
  return value;
}

// What a disk of each format that has a header of its own begins with (at
// `at`; VHD's footer stands at the end too) and how long that header is.
struct Header {
  const char* format;
  const char* name;
  std::size_t at;
  const char* magic;
  std::uint64_t length;
};
constexpr Header kHeaders[] = {
    {"qcow2", "qcow2", 0, "QFI\xfb", 72},
    {"vdi", "VDI", 0x40, "\x7f\x10\xda\xbe", 512},
    {"vhdx", "VHDX", 0, "vhdxfile", 1 << 20},
    {"vmdk", "VMDK", 0, "KDMV", 512},
    {"vmdk", "VMDK", 0, "# Disk DescriptorFile", 512},
    {"vpc", "VHD", 0, "conectix", 512},
};

std::string CutShort(const std::string& what, std::uint64_t needs,
                     std::uint64_t has) {
  return what + " needs " + std::to_string(needs) + " bytes and the file has " +
         std::to_string(has) + ": the image is cut short";
}

// Why the file at `path` cannot be a disk of `format`, seen from the file
// alone before any appliance starts: it is empty, shorter than its
// format's header or without it, or (raw) shorter than the file system or
// a partition its first sector names. Empty when none of that is seen; a
// block device is not looked into.
std::string WhyUnfit(const std::string& path, const char* format) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "";
  const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  if (size == 0) return "the image is empty";
  unsigned char head[512] = {};
  unsigned char tail[512] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";  // said better when it is opened
  const bool read = ::pread(fd, head, sizeof head, 0) >= 0 &&
                    (size < sizeof tail ||
                     ::pread(fd, tail, sizeof tail,
                             static_cast<off_t>(size - sizeof tail)) >= 0);
  ::close(fd);
  if (!read) return "";
  if (std::strcmp(format, "raw") != 0) {
    const char* name = format;
    for (const Header& header : kHeaders) {
      if (std::strcmp(header.format, format) != 0) continue;
      name = header.name;
      const std::size_t length = std::strlen(header.magic);
      if (std::memcmp(head + header.at, header.magic, length) == 0 ||
          (std::strcmp(format, "vpc") == 0 &&
           std::memcmp(tail, header.magic, length) == 0)) {
        if (size >= header.length) return "";
        return CutShort(std::string("its ") + name + " header", header.length,
                        size);
      }
    }
    return std::string("it holds no ") + name +
           " header: the image is cut short, or is not a " + name + " image";
  }
  if (size < sizeof head) return CutShort("a disk's first sector", 512, size);
  if (head[510] != 0x55 || head[511] != 0xAA) return "";
  const std::uint64_t sector = LittleEndian(head + 0x0B, 2);
  if ((head[0] == 0xEB || head[0] == 0xE9) &&
      (sector == 512 || sector == 1024 || sector == 2048 || sector == 4096)) {
    // A bare file system, as on a floppy: its boot sector gives its size.
    std::uint64_t sectors = LittleEndian(head + 0x13, 2);
    if (sectors == 0) sectors = LittleEndian(head + 0x20, 4);
    const std::uint64_t needs = sectors * sector;
    return needs > size ? CutShort("its FAT file system", needs, size) : "";
  }
  for (int entry = 0; entry < 4; ++entry) {
    const unsigned char* slot = head + 0x1BE + 16 * entry;
    if (slot[4] == 0) continue;  // no partition there
    const std::uint64_t needs =
        (LittleEndian(slot + 8, 4) + LittleEndian(slot + 12, 4)) * 512;
    if (needs > size)
      return CutShort("partition " + std::to_string(entry + 1), needs, size);
  }
  return "";
}

std::string OneLine(const char* text) {
  std::string line = text != nullptr ? text : "unknown failure";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  for (char& c : line) c = c == '\n' ? ' ' : c;
  return line;
}

// The library is loaded only when an image is opened: linked, its sixty
// libraries would cost every run time and memory (BENCHMARKS.md).
// clang-format off
#define BRINDLE_GUESTFS_CALLS(X) \
  X(create) X(close) X(set_error_handler) X(set_backend_setting) \
  X(set_event_callback) X(add_drive_opts) X(launch) X(last_error) \
  X(list_filesystems) X(part_to_partnum) X(blockdev_getsize64) \
  X(pread_device) X(mount_ro) X(case_sensitive_path) X(exists) \
  X(umount_all) X(mount_options) X(mount_local) X(mount_local_run) X(sync) \
  X(shutdown) X(get_verbose)
// clang-format on
struct Guestfs {
#define BRINDLE_FIELD(name) decltype(&guestfs_##name) name = nullptr;
  BRINDLE_GUESTFS_CALLS(BRINDLE_FIELD)
#undef BRINDLE_FIELD
  // False, with the loader's message, when the library or a call is missing.
  bool Load(std::string* error) {
    void* library = ::dlopen("libguestfs.so.0", RTLD_NOW | RTLD_LOCAL);
#define BRINDLE_LOAD(name)                                                    \
  if (library != nullptr)                                                     \
    name =                                                                    \
        reinterpret_cast<decltype(name)>(::dlsym(library, "guestfs_" #name)); \
  if (name == nullptr) {                                                      \
    *error = "libguestfs cannot be loaded (" + OneLine(::dlerror()) +         \
             "); install it to open disk images (Debian: libguestfs0)";       \
    return false;                                                             \
  }
    BRINDLE_GUESTFS_CALLS(BRINDLE_LOAD)
#undef BRINDLE_LOAD
    return true;
  }
};

// The appliance, in a process of its own that serves the mount: a run
// killed with files open on it must still have them closed by someone,
// and the file system is then unmounted and synced all the same.
class Appliance {
 public:
  // `gone` becomes readable when the run has ended; lines for the user go
  // to the run through `notices`.
  Appliance(int gone, int notices) : gone_(gone), notices_(notices) {}
  ~Appliance() {
    if (serving_.joinable()) serving_.detach();  // a mount that would not go
    if (g_ != nullptr) api_.close(g_);
  }

  // Starts the appliance on the image, finds the file system and mounts it
  // at a new directory in `temporary`.
  Reply Open(const std::string& path, const char* format,
             const std::string& temporary, bool readOnly) {
    std::string why, seen, cut;
    if (!api_.Load(&why)) return Reply(Reply::kRefused, why);
    if (!Launch(path, format, readOnly)) {
      return Reply(Reply::kRefused,
                   slow_ ? "the appliance did not start within " +
                               std::to_string(kStartSeconds) +
                               " s; libguestfs-test-tool shows what keeps it "
                               "from starting"
                         : LaunchFailure());
    }
    const std::vector<std::string> systems = WindowsFileSystems(&seen, &cut);
    std::string each;
    for (const std::string& system : systems)
      each +=
          (each.empty() ? "" : "; ") + FileSystemName(system.c_str(), "vfat");
    if (!cut.empty()) {
      why = cut + " runs past the end of the disk: the image is cut short";
    } else if (systems.size() != 1) {
      why = (systems.empty() ? "no" : "more than one") +
            std::string(" FAT file system holds WINDOWS\\SYSTEM.DAT (") +
            (!systems.empty() ? each
             : seen.empty()   ? "no file system found"
                              : "found " + seen) +
            ")";
    }
    if (!why.empty()) return Reply(Reply::kRefused, why);
    directory_ = temporary + "/brindle-image-XXXXXX";
    if (::mkdtemp(&directory_[0]) == nullptr)
      return Reply(Reply::kRefused, directory_ + ": " + std::strerror(errno));
    // No access times: what a run only reads stays as it was. Big writes:
    // a hive is copied in 128 KB requests, not 4 KB ones. Hard removes: a
    // file replaced while open goes, where FUSE would keep it hidden.
    if (api_.mount_options(g_, readOnly ? "ro" : "noatime", systems[0].c_str(),
                           "/") != 0 ||
        api_.mount_local(g_, directory_.c_str(), GUESTFS_MOUNT_LOCAL_OPTIONS,
                         "big_writes,hard_remove", -1) != 0) {
      ::rmdir(directory_.c_str());
      return Reply(Reply::kRefused, "cannot mount " + each + ": " + Error());
    }
    serving_ = std::thread([this] {
      api_.set_error_handler(g_, nullptr, nullptr);  // each thread's own
      api_.mount_local_run(g_);
    });
    return Reply(Reply::kMounted, directory_);
  }

  // Unmounts, and in the appliance too (the file system is then marked
  // clean), syncs it to the image and shuts the appliance down.
  Reply Close() {
    if (!Unmount())
      return Reply(Reply::kRefused, "cannot unmount " + directory_);
    ::rmdir(directory_.c_str());
    if (api_.umount_all(g_) != 0 || api_.sync(g_) != 0 ||
        api_.shutdown(g_) != 0) {
      return Reply(Reply::kRefused,
                   "the image could not be closed cleanly: " + Error());
    }
    return Reply(Reply::kClosed, "");
  }

 private:
  std::string Error() const { return OneLine(api_.last_error(g_)); }

  // Starts the appliance under KVM where there is one, and emulated where
  // KVM fails at once or shows no kernel within its bound (that verdict is
  // kept for the boot: the next run starts emulated). False when it does
  // not start; `slow_` says it took longer than any start may.
  bool Launch(const std::string& path, const char* format, bool readOnly) {
    bool emulated = false;
    if (StartsUnderKvm(false) && KvmFoundSilentThisBoot()) {
      Notice(
          "KVM did not start the appliance earlier in this boot; going on "
          "without KVM (slower)");
      emulated = true;
    }
    for (;;) {
      if (!Create(path, format, readOnly, emulated)) return false;
      const bool underKvm = StartsUnderKvm(emulated);
      StartWatch watch(underKvm, gone_);
      watch_ = &watch;
      const bool launched = api_.launch(g_) == 0;
      const StartWatch::Verdict verdict = watch.Finish();
      watch_ = nullptr;
      if (launched && verdict == StartWatch::kStarted) return true;
      slow_ = verdict == StartWatch::kTooSlow;
      if (verdict == StartWatch::kKvmSilent) {
        RememberKvmSilent();
        Notice("KVM did not start the appliance in " +
               std::to_string(kKvmStartSeconds) +
               " s; going on without KVM (slower)");
      } else if (verdict != StartWatch::kStarted || !underKvm) {
        return false;
      }
      emulated = true;
    }
  }

  // A new handle on the image, emulated or not, whose appliance's console
  // goes to OnConsole: false when it cannot be had. Read-only, the image is
  // opened for reading alone, and what the appliance writes goes to a
  // throwaway overlay of libguestfs's.
  bool Create(const std::string& path, const char* format, bool readOnly,
              bool emulated) {
    if (g_ != nullptr) api_.close(g_);
    if ((g_ = api_.create()) == nullptr) return false;
    api_.set_error_handler(g_, nullptr, nullptr);
    verbose_ = api_.get_verbose(g_) == 1;
    said_.clear();
    api_.set_event_callback(g_, OnConsole, GUESTFS_EVENT_APPLIANCE, 0, this);
    if (emulated) api_.set_backend_setting(g_, "force_tcg", "1");
    return api_.add_drive_opts(g_, path.c_str(), GUESTFS_ADD_DRIVE_OPTS_FORMAT,
                               format, GUESTFS_ADD_DRIVE_OPTS_READONLY,
                               readOnly ? 1 : 0, -1) == 0;
  }

  // What qemu and the appliance say while it starts: kept for the reason a
  // start fails, shown to the watch as the sign that the guest runs, and,
  // where libguestfs was asked to be verbose, shown on standard error as
  // libguestfs itself would without this callback.
  static void OnConsole(guestfs_h*, void* appliance, std::uint64_t, int, int,
                        const char* text, std::size_t size,
                        const std::uint64_t*, std::size_t) {
    Appliance* self = static_cast<Appliance*>(appliance);
    self->said_.append(text, size);
    if (self->watch_ != nullptr) self->watch_->Heard(text, size);
    if (self->verbose_) std::fwrite(text, 1, size, stderr);
  }

  // A line for the user, shown by the run.
  void Notice(const std::string& line) {
    Send(notices_, Reply(Reply::kNotice, line));
  }

  // Why the image could not be opened, in a user's terms, with qemu's own
  // reason: its last line, less its name and the options it names.
  std::string LaunchFailure() const {
    std::string qemu;
    for (std::size_t at = said_.find("qemu"); at != std::string::npos;
         at = said_.find("qemu", at + 1)) {
      if (at == 0 || said_[at - 1] == '\n')
        qemu = said_.substr(at, said_.find('\n', at) - at);
    }
    for (int part = 0; part < 2 && (part == 0 || qemu[0] == '-'); ++part) {
      const std::size_t colon = qemu.find(": ");
      if (colon != std::string::npos) qemu.erase(0, colon + 2);
    }
    if (qemu.empty()) return "cannot open the image: " + Error();
    if (qemu.find("\"write\" lock") != std::string::npos) {
      return "in use by another program, perhaps a virtual machine still "
             "running on it (qemu: " +
             qemu + ")";
    }
    if (qemu.find("backing file") != std::string::npos)
      return "its base image cannot be opened (qemu: " + qemu + ")";
    return "cannot open the image (qemu: " + qemu + ")";
  }

  // A file system as a user knows it: the partition that holds it (or the
  // whole disk), what it is and its size.
  std::string FileSystemName(const char* device, const std::string& type) {
    const int partition = api_.part_to_partnum(g_, device);
    const std::int64_t size = api_.blockdev_getsize64(g_, device);
    return (partition > 0 ? "partition " + std::to_string(partition)
                          : std::string("the whole disk")) +
           ": " +
           (type == "vfat"      ? FatBoot(device).type
            : type == "unknown" ? "no file system"
                                : type) +
           ", " + std::to_string((size + (1 << 19)) >> 20) + " MB";
  }

  // A FAT file system as its boot sector gives it: FAT12, FAT16 or FAT32,
  // and its size in bytes.
  struct Fat {
    std::string type = "FAT";
    std::uint64_t size = 0;
  };
  Fat FatBoot(const char* device) {
    std::size_t read = 0;
    char* boot = api_.pread_device(g_, device, 512, 0, &read);
    Fat fat;
    if (boot != nullptr && read == 512) {
      // Its fields are little-endian, as a hive's are.
      const std::string_view sector(boot, read);
      const std::uint64_t sectors = LoadField(sector, 0, {0x13, 2}) != 0
                                        ? LoadField(sector, 0, {0x13, 2})
                                        : LoadField(sector, 0, {0x20, 4});
      fat.size = sectors * LoadField(sector, 0, {0x0B, 2});
      const bool fat32 = LoadField(sector, 0, {0x16, 2}) == 0;
      const std::string named(boot + (fat32 ? 0x52 : 0x36), 5);
      if (named.rfind("FAT", 0) == 0) fat.type = named;
    }
    std::free(boot);
    return fat;
  }

  // The FAT file systems that hold WINDOWS\SYSTEM.DAT (any case), each
  // looked into read-only; `*seen` names every file system found, `*cut`
  // those that run past the end of the disk.
  std::vector<std::string> WindowsFileSystems(std::string* seen,
                                              std::string* cut) {
    std::vector<std::string> found;
    char** systems = api_.list_filesystems(g_);
    for (char** at = systems; at != nullptr && at[0] != nullptr; at += 2) {
      const std::string name = FileSystemName(at[0], at[1]);
      *seen += (seen->empty() ? "" : "; ") + name;
      if (std::strcmp(at[1], "vfat") != 0) continue;
      const std::int64_t room = api_.blockdev_getsize64(g_, at[0]);
      if (room < 0 || FatBoot(at[0]).size > static_cast<std::uint64_t>(room)) {
        *cut += (cut->empty() ? "" : "; ") + name;
      } else if (api_.mount_ro(g_, at[0], "/") == 0) {
        char* hive = api_.case_sensitive_path(g_, "/windows/system.dat");
        if (hive != nullptr && api_.exists(g_, hive) == 1)
          found.emplace_back(at[0]);
        std::free(hive);
        api_.umount_all(g_);
      }
    }
    for (char** at = systems; at != nullptr && *at != nullptr; ++at)
      std::free(*at);
    std::free(systems);
    return found;
  }

  // Takes the mount down, as root directly, else with FUSE's own tool: the
  // serving thread then ends. (The library's own unmount would wait for the
  // handle that thread holds.) A run that was killed may still be closing
  // its files on it: it is given ten seconds.
  bool Unmount() {
    bool done = !serving_.joinable();
    for (int tries = 0; !done && tries < 100; ++tries) {
      if (tries != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      done = ::umount2(directory_.c_str(), 0) == 0;
      for (const char* tool : {"fusermount", "fusermount3"}) {
        const char* argv[] = {tool, "-u", "-q", directory_.c_str(), nullptr};
        pid_t child;
        int status = 0;
        done = done ||
               (::posix_spawnp(&child, tool, nullptr, nullptr,
                               const_cast<char* const*>(argv), environ) == 0 &&
                ::waitpid(child, &status, 0) == child && status == 0);
      }
    }
    if (done && serving_.joinable()) serving_.join();
    return done;
  }

  const int gone_;
  const int notices_;
  Guestfs api_;
  guestfs_h* g_ = nullptr;
  StartWatch* watch_ = nullptr;  // while the appliance starts
  bool verbose_ = false;         // libguestfs was asked to say everything
  bool slow_ = false;            // the start took too long
  std::string said_;             // by qemu, while it started
  std::string directory_;
  std::thread serving_;  // the mount's requests, until it is unmounted
};

#endif

}  // namespace

bool DiskImage::IsImage(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 &&
         (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
}

std::string DiskImage::NamedAsTheUserNamesIt(std::string text) const {
  for (std::size_t at = 0;
       !directory_.empty() &&
       (at = text.find(directory_, at)) != std::string::npos;) {
    const bool inside = text.compare(at + directory_.size(), 1, "/") == 0;
    text.replace(at, directory_.size(), inside ? path_ + ":" : path_);
    at += path_.size() + 1;
  }
  return text;
}

bool DiskImage::Lock(std::string* error) {
  // The run's own lock, which the appliance's process does not share: a
  // byte far past any data, which qemu's locks never reach.
  struct flock run = {};
  // A dry run, which only reads, shares it with other dry runs alone.
  run.l_type = readOnly_ ? F_RDLCK : F_WRLCK;
  run.l_start = off_t{1} << 40;
  run.l_len = 1;
  runFd_ = ::open(path_.c_str(), (readOnly_ ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (runFd_ < 0 || ::fcntl(runFd_, F_OFD_SETLK, &run) != 0) {
    *error = path_ + (errno == EAGAIN ? ": the machine is in use by another run"
                                      : ": cannot be written: " +
                                            std::string(std::strerror(errno)));
    return false;
  }
  // One run at a time: the image is locked by the run and by the
  // appliance's process, which holds it until it has closed the image: a
  // run stopped meanwhile (^C) has it closed all the same, and the next
  // run waits for that.
  lockFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  std::unique_ptr<Waiting> waiting;
  const int kind = readOnly_ ? LOCK_SH : LOCK_EX;
  for (int tries = 0; ::flock(lockFd_, kind | LOCK_NB) != 0; ++tries) {
    if (errno != EWOULDBLOCK || tries == 300) {
      *error = path_ + ": " +
               (errno != EWOULDBLOCK ? std::strerror(errno)
                                     : "a run that was stopped is still "
                                       "closing the image (waited 30 s); try "
                                       "again when it is done");
      return false;
    }
    if (!waiting) {
      waiting = std::make_unique<Waiting>(
          "waiting for a run that was stopped to close " + path_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

#if BRINDLE_DISK_IMAGES
namespace {

// The body of the appliance's process: opens the image, tells the run,
// and once the run asks (or is gone) closes it and tells the run again.
[[noreturn]] void ServeImage(const std::string& path, const char* format,
                             bool readOnly, const std::string& temporary,
                             int request, int reply) {
  Reply answer;
  {
    Appliance appliance(request, reply);
    answer = appliance.Open(path, format, temporary, readOnly);
    if (answer.kind == Reply::kMounted) {
      Send(reply, answer);
      char close;  // the run's request or its end: nothing is read
      if (::read(request, &close, 1) < 0) close = 0;
      answer = appliance.Close();
    }
  }
  Send(reply, answer);
  ::_exit(0);
}

// The appliance's answer to the opening of the image, with the lines for
// the user it sends meanwhile shown on standard error.
Reply AwaitMount(int reply, const std::string& path) {
  std::unique_ptr<Waiting> waiting;
  for (;;) {
    waiting = std::make_unique<Waiting>("starting the appliance that opens " +
                                        path + " (15 to 40 s without KVM)");
    Reply answer;
    if (!Receive(reply, &answer)) return Reply();
    if (answer.kind != Reply::kNotice) return answer;
    waiting.reset();
    std::fprintf(stderr, "brindle: %s\n", answer.text);
  }
}

}  // namespace
#endif

std::unique_ptr<DiskImage> DiskImage::Open(const std::string& path,
                                           std::string* error, bool readOnly) {
#if BRINDLE_DISK_IMAGES
  const char* format = FormatOf(path);
  if (format == nullptr) {
    *error = path + ": not a disk image this program knows (it knows";
    for (const auto& known : kFormats) *error += std::string(" ") + known[0];
    *error += " and block devices)";
    return nullptr;
  }
  const std::string unfit = WhyUnfit(path, format);
  if (!unfit.empty()) {
    *error = path + ": " + unfit;
    return nullptr;
  }
  std::unique_ptr<DiskImage> image(new DiskImage(path, readOnly));
  const char* temporary = std::getenv("TMPDIR");
  const std::string under =
      temporary != nullptr && *temporary == '/' ? temporary : "/tmp";
  int request[2], reply[2];
  if (!image->Lock(error)) return nullptr;
  if (::pipe2(request, O_CLOEXEC) != 0 || ::pipe2(reply, O_CLOEXEC) != 0 ||
      (image->process_ = ::fork()) < 0) {
    *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (image->process_ == 0) {
    // Out of the terminal's process group: ^C stops the run, which then
    // lets this process close the image. The run's own lock is not its.
    ::setsid();
    ::close(image->runFd_);
    ::close(request[1]);
    ::close(reply[0]);
    ServeImage(path, format, readOnly, under, request[0], reply[1]);
  }
  ::close(request[0]);
  ::close(reply[1]);
  image->request_ = request[1];
  image->reply_ = reply[0];
  const Reply answer = AwaitMount(image->reply_, path);
  if (answer.kind != Reply::kMounted) {
    *error = path + ": " + answer.text;
    return nullptr;
  }
  image->directory_ = answer.text;
  return image;
#else
  *error = path + ": this build has no disk image support (no libguestfs)";
  return nullptr;
#endif
}

bool DiskImage::Close(std::string* error) {
  Reply answer;
  if (request_ >= 0) {
    ::close(request_);  // asks the appliance's process to close the image
    request_ = -1;
    Receive(reply_, &answer);
  }
  Reap();
  if (answer.kind == Reply::kClosed) return true;
  *error = path_ + ": " + answer.text;
  return false;
}

DiskImage::DiskImage(std::string path, bool readOnly)
    : path_(std::move(path)), readOnly_(readOnly) {}

DiskImage::~DiskImage() {
  if (request_ >= 0) ::close(request_);  // the appliance closes the image
  Reap();
  for (int fd : {lockFd_, runFd_})
    if (fd >= 0) ::close(fd);
}

void DiskImage::Reap() {
  for (Reply rest; reply_ >= 0 && Receive(reply_, &rest);) {
  }
  if (reply_ >= 0) ::close(reply_);
  reply_ = -1;
  int status;
  if (process_ > 0) ::waitpid(process_, &status, 0);
  process_ = -1;
}

}  // namespace brindle
