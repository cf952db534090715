#include "platform/hosted/machine/drive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/hosted/machine/host_files.h"
#include "platform/hosted/machine/windows_errors.h"

namespace brindle {
namespace {

// The Windows codes only the drive gives.
constexpr ErrorCode ERROR_INVALID_NAME = 123;
constexpr ErrorCode ERROR_FILENAME_EXCED_RANGE = 206;
constexpr ErrorCode ERROR_ALREADY_EXISTS = 183;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsValidNameCharacter(unsigned char c) {
  return c >= 0x20 && std::strchr("<>:\"|?*", c) == nullptr;
}

std::string RealPath(const std::string& path) {
  std::error_code failed;  // then empty
  return std::filesystem::canonical(path, failed).string();
}

}  // namespace

struct Drive::Location {
  std::string directory;  // the host directory that holds the entry
  std::string name;       // the entry's name there, as found or as spelled
  bool exists = false;
  bool isDirectory = false;
  bool readOnly = false;  // no one may write it: FAT's read-only attribute
  std::string host() const {
    return name.empty() ? directory : directory + "/" + name;
  }
};

Drive::Drive(const std::string& root) : root_(RealPath(root)) {
  if (root_.empty()) root_ = root;
}

bool Drive::Inside(const std::string& hostPath) const {
  std::string real = RealPath(hostPath);
  if (real.empty()) return false;
  return real == root_ || (real.size() > root_.size() &&
                           real.compare(0, root_.size(), root_) == 0 &&
                           (root_ == "/" || real[root_.size()] == '/'));
}

ErrorCode Drive::Resolve(const char* path, Location* location) const {
  std::string_view rest(path);
  std::string base;
  bool confined = true;
  if (rest.size() >= 2 && rest[1] == ':' &&
      ((rest[0] | 0x20) >= 'a' && (rest[0] | 0x20) <= 'z')) {
    if ((rest[0] | 0x20) != 'c') return ERROR_PATH_NOT_FOUND;
    rest.remove_prefix(2);
    base = root_;
  } else if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
    return ERROR_PATH_NOT_FOUND;  // no network here
  } else if (!rest.empty() && IsSeparator(rest[0])) {
    base = root_;
  } else {
    // A source file, in the process's current directory.
    base = ".";
    confined = false;
  }
  // Dots are taken out by name, never above the root, as Windows does.
  std::vector<std::string> names;
  while (!rest.empty()) {
    std::size_t cut = 0;
    while (cut < rest.size() && !IsSeparator(rest[cut])) ++cut;
    std::string name(rest.substr(0, cut));
    rest.remove_prefix(cut < rest.size() ? cut + 1 : cut);
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    for (char c : name) {
      if (!IsValidNameCharacter(static_cast<unsigned char>(c)))
        return ERROR_INVALID_NAME;
    }
    if (name.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    names.push_back(std::move(name));
  }
  if (names.empty()) {
    if (!confined) return ERROR_PATH_NOT_FOUND;
    location->directory = base;
    location->name.clear();
    location->exists = true;
    location->isDirectory = true;
    return ERROR_SUCCESS;
  }
  std::string directory = base;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    std::string entry = FindEntry(directory, names[i]);
    if (entry.empty()) return ERROR_PATH_NOT_FOUND;
    std::string host = directory + "/" + entry;
    struct stat status;
    // Only a link can lead out: a real directory of the drive is inside.
    const bool link =
        ::lstat(host.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    if (::stat(host.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return ERROR_PATH_NOT_FOUND;
    }
    if (confined && link && !Inside(host)) return ERROR_ACCESS_DENIED;
    directory = std::move(host);
  }
  location->directory = directory;
  std::string entry = FindEntry(directory, names.back());
  location->exists = !entry.empty();
  location->name = location->exists ? entry : names.back();
  location->isDirectory = false;
  if (location->exists) {
    struct stat status;
    std::string host = location->host();
    if (::lstat(host.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
        confined && !Inside(host)) {
      return ERROR_ACCESS_DENIED;  // a link that leads out of the machine
    }
    if (::stat(host.c_str(), &status) == 0) {
      location->isDirectory = S_ISDIR(status.st_mode);
      location->readOnly = (status.st_mode & 0222) == 0;
    }
  }
  return ERROR_SUCCESS;
}

ErrorCode Drive::DeleteFile(const char* path) {
  Location location;
  if (ErrorCode error = Resolve(path, &location)) return error;
  if (!location.exists) return ERROR_FILE_NOT_FOUND;
  // Windows refuses a read-only file as a directory, whoever asks.
  if (location.isDirectory || location.readOnly) return ERROR_ACCESS_DENIED;
  if (::unlink(location.host().c_str()) != 0) return ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

ErrorCode Drive::CopyFile(const char* source, const char* destination) {
  Location from;
  if (ErrorCode error = Resolve(source, &from)) return error;
  if (!from.exists) return ERROR_FILE_NOT_FOUND;
  if (from.isDirectory) return ERROR_ACCESS_DENIED;
  Location to;
  if (ErrorCode error = Resolve(destination, &to)) return error;
  if (to.isDirectory || to.readOnly) return ERROR_ACCESS_DENIED;

  // Written beside the destination and renamed over it: a failed copy leaves
  // the old file or none, never part of one. It keeps the source's times.
  return ErrorFromErrno(CopyWholeFile(from.host(), to.host()),
                        ERROR_PATH_NOT_FOUND);
}

ErrorCode Drive::GetAttributes(const char* path, std::uint32_t* attributes) {
  Location location;
  if (ErrorCode error = Resolve(path, &location)) return error;
  if (!location.exists) return ERROR_FILE_NOT_FOUND;
  *attributes =
      location.isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  return ERROR_SUCCESS;
}

ErrorCode Drive::CreateDirectory(const char* path) {
  Location location;
  if (ErrorCode error = Resolve(path, &location)) return error;
  if (location.exists) return ERROR_ALREADY_EXISTS;
  if (::mkdir(location.host().c_str(), 0755) != 0) {
    return ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
  }
  return ERROR_SUCCESS;
}

}  // namespace brindle
