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
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#if BRINDLE_DISK_IMAGES
#include <guestfs.h>
#endif

namespace brindle {
namespace {

// An image's format comes from its name, never from its content: an image
// from elsewhere must not be read as another format than its owner meant.
struct KnownFormat {
  const char* extension;
  const char* format;  // as qemu names it
};
constexpr KnownFormat kFormats[] = {
    {".img", "raw"},   {".ima", "raw"},    {".raw", "raw"},   {".hdd", "raw"},
    {".dsk", "raw"},   {".vhd", "vpc"},    {".vhdx", "vhdx"}, {".vdi", "vdi"},
    {".vmdk", "vmdk"}, {".qcow2", "qcow2"}};

// The format of the image at `path`, or null for a name this program does
// not know; a whole disk (a block device) is raw.
const char* FormatOf(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode))
    return "raw";
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
    return nullptr;
  std::string extension = path.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(c));
  for (const KnownFormat& known : kFormats)
    if (extension == known.extension) return known.format;
  return nullptr;
}

// A library's message on one line.
std::string OneLine(const char* text) {
  std::string line = text != nullptr ? text : "unknown failure";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  for (char& c : line) c = c == '\n' ? ' ' : c;
  return line;
}

}  // namespace

bool DiskImage::Names(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 &&
         (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
}

DiskImage::DiskImage(std::string path) : path_(std::move(path)) {}

std::string DiskImage::Shown(std::string text) const {
  for (std::size_t at = 0;
       (at = text.find(directory_, at)) != std::string::npos;) {
    text.replace(at, directory_.size(), path_ + ":");
    at += path_.size() + 1;
  }
  return text;
}

#if BRINDLE_DISK_IMAGES

struct DiskImage::Appliance {
  int lockFd = -1;
  guestfs_h* g = nullptr;
  std::thread serving;  // the mount's requests, until it is unmounted

  std::string Error() const { return OneLine(guestfs_last_error(g)); }

  // Starts the appliance on the image; a host whose KVM qemu cannot use
  // (it fails at once) gets a second start, emulated.
  bool Launch(const std::string& path, const char* format) {
    for (bool emulated : {false, true}) {
      if (g != nullptr) guestfs_close(g);
      g = guestfs_create();
      if (g == nullptr) return false;
      guestfs_set_error_handler(g, nullptr, nullptr);
      if (emulated) guestfs_set_backend_setting(g, "force_tcg", "1");
      if (guestfs_add_drive_opts(g, path.c_str(), GUESTFS_ADD_DRIVE_OPTS_FORMAT,
                                 format, -1) != 0) {
        return false;
      }
      if (guestfs_launch(g) == 0) return true;
      if (std::getenv("LIBGUESTFS_BACKEND_SETTINGS") != nullptr) break;
    }
    return false;
  }

  // The FAT file systems that hold WINDOWS\SYSTEM.DAT (any case), each
  // looked into read-only; `*seen` lists every file system found.
  std::vector<std::string> WindowsFileSystems(std::string* seen) {
    std::vector<std::string> found;
    char** systems = guestfs_list_filesystems(g);
    for (char** at = systems; at != nullptr && at[0] != nullptr; at += 2) {
      *seen += std::string(seen->empty() ? "" : ", ") + at[0] + " " + at[1];
      if (std::strcmp(at[1], "vfat") != 0 ||
          guestfs_mount_ro(g, at[0], "/") != 0) {
        continue;
      }
      char* hive = guestfs_case_sensitive_path(g, "/windows/system.dat");
      if (hive != nullptr && guestfs_exists(g, hive) == 1)
        found.emplace_back(at[0]);
      std::free(hive);
      guestfs_umount_all(g);
    }
    for (char** at = systems; at != nullptr && *at != nullptr; ++at)
      std::free(*at);
    std::free(systems);
    return found;
  }

  // Takes the mount down, as root directly, else with FUSE's own tool: the
  // requests' thread then ends. (The library's own unmount would wait for
  // the handle that thread holds.)
  bool Unmount(const std::string& directory) {
    if (!serving.joinable()) return true;
    bool done = ::umount2(directory.c_str(), 0) == 0;
    for (const char* tool : {"fusermount", "fusermount3"}) {
      const char* argv[] = {tool, "-u", "-q", directory.c_str(), nullptr};
      pid_t child;
      int status = 0;
      done = done ||
             (::posix_spawnp(&child, tool, nullptr, nullptr,
                             const_cast<char* const*>(argv), environ) == 0 &&
              ::waitpid(child, &status, 0) == child && status == 0);
    }
    if (done) serving.join();
    return done;
  }

  ~Appliance() {
    if (serving.joinable()) serving.detach();  // a mount that would not go
    if (g != nullptr) guestfs_close(g);
    if (lockFd >= 0) ::close(lockFd);
  }
};

std::unique_ptr<DiskImage> DiskImage::Open(const std::string& path,
                                           std::string* error) {
  const char* format = FormatOf(path);
  if (format == nullptr) {
    *error = path + ": not a disk image this program knows (it knows";
    for (const KnownFormat& known : kFormats)
      *error += std::string(" ") + known.extension;
    *error += " and block devices)";
    return nullptr;
  }
  std::unique_ptr<DiskImage> image(new DiskImage(path));
  image->appliance_ = std::make_unique<Appliance>();
  Appliance& appliance = *image->appliance_;
  // One run at a time: the lock is the image file's own.
  appliance.lockFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (appliance.lockFd < 0 ||
      ::flock(appliance.lockFd, LOCK_EX | LOCK_NB) != 0) {
    *error = path + ": " +
             (errno == EWOULDBLOCK ? "the machine is in use by another run"
                                   : std::strerror(errno));
    return nullptr;
  }
  if (!appliance.Launch(path, format)) {
    *error = path + ": cannot open the image: " + appliance.Error();
    return nullptr;
  }
  std::string seen;
  std::vector<std::string> systems = appliance.WindowsFileSystems(&seen);
  if (systems.size() != 1) {
    *error = path + (systems.empty()
                         ? ": no FAT file system holds WINDOWS\\SYSTEM.DAT ("
                         : ": more than one FAT file system holds "
                           "WINDOWS\\SYSTEM.DAT (");
    if (systems.empty()) {
      *error += seen.empty() ? "no file system found" : "found " + seen;
    } else {
      for (std::size_t i = 0; i < systems.size(); ++i)
        *error += (i == 0 ? "" : ", ") + systems[i];
    }
    *error += ")";
    return nullptr;
  }
  // Mounted where only this run looks. Big writes: a hive is copied in
  // 128 KB requests to the appliance, not 4 KB ones; hard removes: a file
  // replaced while open goes, where FUSE would keep it as .fuse_hidden*.
  const char* temporary = std::getenv("TMPDIR");
  std::string directory =
      std::string(temporary && *temporary == '/' ? temporary : "/tmp") +
      "/brindle-image-XXXXXX";
  if (::mkdtemp(&directory[0]) == nullptr) {
    *error = directory + ": " + std::strerror(errno);
    return nullptr;
  }
  if (guestfs_mount(appliance.g, systems[0].c_str(), "/") != 0 ||
      guestfs_mount_local(appliance.g, directory.c_str(),
                          GUESTFS_MOUNT_LOCAL_OPTIONS, "big_writes,hard_remove",
                          -1) != 0) {
    *error = path + ": cannot mount " + systems[0] + ": " + appliance.Error();
    ::rmdir(directory.c_str());
    return nullptr;
  }
  image->directory_ = directory;
  guestfs_h* g = appliance.g;
  appliance.serving = std::thread([g] {
    guestfs_set_error_handler(g, nullptr, nullptr);  // a thread's own
    guestfs_mount_local_run(g);
  });
  return image;
}

bool DiskImage::Close(std::string* error) {
  Appliance& appliance = *appliance_;
  if (!appliance.Unmount(directory_)) {
    *error = path_ + ": cannot unmount " + directory_;
    return false;
  }
  ::rmdir(directory_.c_str());
  // Unmounted in the appliance, the file system is marked clean; synced,
  // the image holds it; shut down, qemu has written all it had.
  if (guestfs_umount_all(appliance.g) != 0 || guestfs_sync(appliance.g) != 0 ||
      guestfs_shutdown(appliance.g) != 0) {
    *error =
        path_ + ": the image could not be closed cleanly: " + appliance.Error();
    return false;
  }
  return true;
}

DiskImage::~DiskImage() {
  if (appliance_ && !directory_.empty() && appliance_->Unmount(directory_))
    ::rmdir(directory_.c_str());
}

#else

struct DiskImage::Appliance {};

std::unique_ptr<DiskImage> DiskImage::Open(const std::string& path,
                                           std::string* error) {
  *error = path +
           ": this build has no disk image support (built without "
           "libguestfs)";
  return nullptr;
}

bool DiskImage::Close(std::string*) { return true; }

DiskImage::~DiskImage() = default;

#endif

}  // namespace brindle
