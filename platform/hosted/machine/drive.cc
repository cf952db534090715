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

std::string AsciiFolded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Takes the drive letter or the root off `*rest`: `*base` is then the host
// directory the path starts from, C:\ or (for a source file) the current
// directory, and `*confined` says whether it must stay inside the drive.
ErrorCode ChooseBase(std::string_view* rest, const std::string& root,
                     std::string* base, bool* confined) {
  *confined = true;
  if (rest->size() >= 2 && (*rest)[1] == ':' &&
      (((*rest)[0] | 0x20) >= 'a' && ((*rest)[0] | 0x20) <= 'z')) {
    if (((*rest)[0] | 0x20) != 'c') return ERROR_PATH_NOT_FOUND;
    rest->remove_prefix(2);
    *base = root;
  } else if (rest->size() >= 2 && IsSeparator((*rest)[0]) &&
             IsSeparator((*rest)[1])) {
    return ERROR_PATH_NOT_FOUND;  // no network here
  } else if (!rest->empty() && IsSeparator((*rest)[0])) {
    *base = root;
  } else {
    *base = ".";
    *confined = false;
  }
  return ERROR_SUCCESS;
}

// The names of `rest`, one a directory level; dots are taken out by name,
// never above the root, as Windows does.
ErrorCode SplitNames(std::string_view rest, std::vector<std::string>* names) {
  while (!rest.empty()) {
    std::size_t cut = 0;
    while (cut < rest.size() && !IsSeparator(rest[cut])) ++cut;
    std::string name(rest.substr(0, cut));
    rest.remove_prefix(cut < rest.size() ? cut + 1 : cut);
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names->empty()) names->pop_back();
      continue;
    }
    for (char c : name) {
      if (!IsValidNameCharacter(static_cast<unsigned char>(c)))
        return ERROR_INVALID_NAME;
    }
    if (name.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    names->push_back(std::move(name));
  }
  return ERROR_SUCCESS;
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

Drive::Drive(const std::string& root, bool dryRun)
    : root_(RealPath(root)), dryRun_(dryRun) {
  if (root_.empty()) root_ = root;
}

bool Drive::Inside(const std::string& hostPath) const {
  std::string real = RealPath(hostPath);
  if (real.empty()) return false;
  return real == root_ || (real.size() > root_.size() &&
                           real.compare(0, root_.size(), root_) == 0 &&
                           (root_ == "/" || real[root_.size()] == '/'));
}

const Drive::Change* Drive::ChangeAt(const std::string& host) const {
  if (changes_.empty()) return nullptr;
  const auto change = changes_.find(AsciiFolded(host));
  return change == changes_.end() ? nullptr : &change->second;
}

std::string Drive::Find(const std::string& directory,
                        const std::string& name) const {
  if (const Change* change = ChangeAt(directory + "/" + name))
    return change->kind == Change::kGone ? "" : change->name;
  return FindEntry(directory, name);
}

ErrorCode Drive::Resolve(const char* path, Location* location) const {
  std::string_view rest(path);
  std::string base;
  bool confined = true;
  if (ErrorCode error = ChooseBase(&rest, root_, &base, &confined))
    return error;
  std::vector<std::string> names;
  if (ErrorCode error = SplitNames(rest, &names)) return error;
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
    std::string entry = Find(directory, names[i]);
    if (entry.empty()) return ERROR_PATH_NOT_FOUND;
    Location step{directory, entry, true};
    const ErrorCode error = Examine(&step, confined);
    if (!step.isDirectory) return ERROR_PATH_NOT_FOUND;
    if (error != ERROR_SUCCESS) return error;
    directory = step.host();
  }
  location->directory = directory;
  std::string entry = Find(directory, names.back());
  location->exists = !entry.empty();
  location->name = location->exists ? entry : names.back();
  return Examine(location, confined);
}

ErrorCode Drive::Examine(Location* location, bool confined) const {
  location->isDirectory = false;
  location->readOnly = false;
  if (!location->exists) return ERROR_SUCCESS;
  const std::string host = location->host();
  if (const Change* change = ChangeAt(host)) {
    location->isDirectory = change->kind == Change::kDirectory;
    return ERROR_SUCCESS;
  }
  struct stat status;
  if (::stat(host.c_str(), &status) == 0) {
    location->isDirectory = S_ISDIR(status.st_mode);
    location->readOnly = (status.st_mode & 0222) == 0;
  }
  // Only a link can lead out: a real directory of the drive is inside.
  if (::lstat(host.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
      confined && !Inside(host)) {
    return ERROR_ACCESS_DENIED;  // a link that leads out of the machine
  }
  return ERROR_SUCCESS;
}

ErrorCode Drive::DeleteFile(const char* path) {
  Location location;
  ErrorCode error = Resolve(path, &location);
  if (error == ERROR_SUCCESS && !location.exists) error = ERROR_FILE_NOT_FOUND;
  // Windows refuses a read-only file as a directory, whoever asks.
  if (error == ERROR_SUCCESS && (location.isDirectory || location.readOnly))
    error = ERROR_ACCESS_DENIED;
  if (error == ERROR_SUCCESS && dryRun_) {
    changes_[AsciiFolded(location.host())] = {Change::kGone, location.name};
  } else if (error == ERROR_SUCCESS && ::unlink(location.host().c_str()) != 0) {
    error = ErrorFromErrno(errno);
  }
  if (error == ERROR_ACCESS_DENIED) refusedDeletes_.push_back(path);
  return error;
}

ErrorCode Drive::CopyFile(const char* source, const char* destination) {
  ++copiesAsked_;
  Location from;
  if (ErrorCode error = Resolve(source, &from)) return error;
  if (!from.exists) return ERROR_FILE_NOT_FOUND;
  ++sourcesFound_;
  if (from.isDirectory) return ERROR_ACCESS_DENIED;
  Location to;
  if (ErrorCode error = Resolve(destination, &to)) return error;
  if (to.isDirectory || to.readOnly) return ERROR_ACCESS_DENIED;
  if (dryRun_) {
    // A source that cannot be read fails the copy as it would the run's.
    if (::access(from.host().c_str(), R_OK) != 0)
      return ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
    changes_[AsciiFolded(to.host())] = {Change::kFile, to.name};
    return ERROR_SUCCESS;
  }
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
  if (dryRun_) {
    changes_[AsciiFolded(location.host())] = {Change::kDirectory,
                                              location.name};
    return ERROR_SUCCESS;
  }
  if (::mkdir(location.host().c_str(), 0755) != 0) {
    return ErrorFromErrno(errno, ERROR_PATH_NOT_FOUND);
  }
  return ERROR_SUCCESS;
}

}  // namespace brindle
