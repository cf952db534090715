#include "platform/hosted/machine/host_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/hosted/registry/registry.h"

namespace brindle {
namespace {

// Pieces at least this long are copied by the kernel; shorter ones are
// gathered and written together.
constexpr std::size_t kLong = std::size_t{64} << 10;

}  // namespace

int ReadWholeFile(const std::string& path, FileBytes* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int failure = FileBytes::Read(fd, bytes);
  ::close(fd);
  return failure;
}

int WriteAllBytes(int fd, const char* data, std::size_t size, std::int64_t at) {
  while (size > 0) {
    const ssize_t written =
        at == kAtFilePosition
            ? ::write(fd, data, size)
            : ::pwrite(fd, data, size, static_cast<off_t>(at));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;  // a regular file never says so: a fault
    data += written;
    size -= static_cast<std::size_t>(written);
    if (at != kAtFilePosition) at += written;
  }
  return 0;
}

std::string FindEntry(const std::string& directory, const std::string& name) {
  struct stat status;
  if (::lstat((directory + "/" + name).c_str(), &status) == 0) return name;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return std::string();
  std::string found;
  while (dirent* entry = ::readdir(listing)) {
    if (EqualsAsciiFolded(entry->d_name, name)) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(listing);
  return found;
}

int LockPath(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int failure = errno;
    ::close(fd);
    errno = failure;
    return -1;
  }
  return fd;
}

void SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

int CopyWholeFile(const std::string& from, const std::string& to) {
  FileBytes bytes;
  NewFile copy(to + ".brindle-new");
  int failure = ReadWholeFile(from, &bytes);
  if (failure == 0) failure = copy.WriteAt(0, bytes.view(), &bytes);
  if (failure == 0) failure = copy.TakeTimes(from);
  if (failure == 0) failure = copy.Sync();
  return failure != 0 ? failure : copy.Replace(to, false);
}

int LinkOrCopy(const std::string& from, const std::string& to) {
  ::unlink(to.c_str());
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : CopyWholeFile(from, to);
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
  if (fd_ >= 0 && !replaced_) ::unlink(path_.c_str());
}

int NewFile::Open() {
  if (fd_ >= 0) return 0;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd_ < 0 ? errno : 0;
}

int NewFile::WriteAt(std::uint64_t at, std::string_view piece,
                     const FileBytes* from) {
  if (int failure = Open()) return failure;
  const bool copied =
      from != nullptr && from->fd() >= 0 && piece.size() >= kLong &&
      piece.data() >= from->data() &&
      piece.data() + piece.size() <= from->data() + from->size();
  if (!copied && at == gatheredAt_ + gathered_.size()) {
    gathered_ += piece;
    return gathered_.size() < kLong ? 0 : Flush();
  }
  if (int failure = Flush()) return failure;
  if (!copied) {
    gathered_ = piece;
    gatheredAt_ = at;
    return 0;
  }
  auto source = static_cast<off64_t>(piece.data() - from->data());
  auto target = static_cast<off64_t>(at);
  for (std::size_t left = piece.size(); left > 0;) {
    const ssize_t done =
        ::copy_file_range(from->fd(), &source, fd_, &target, left, 0);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {  // not in the kernel here: written as it lies in memory
      const std::string_view rest = piece.substr(piece.size() - left);
      gathered_.assign(rest);
      gatheredAt_ = static_cast<std::uint64_t>(target);
      return Flush();
    }
    left -= static_cast<std::size_t>(done);
  }
  gatheredAt_ = static_cast<std::uint64_t>(target);
  return 0;
}

int NewFile::Flush() {
  if (int failure = WriteAllBytes(fd_, gathered_.data(), gathered_.size(),
                                  static_cast<std::int64_t>(gatheredAt_))) {
    return failure;
  }
  gatheredAt_ += gathered_.size();
  gathered_.clear();
  return 0;
}

int NewFile::TakeTimes(const std::string& source) {
  struct stat status;
  if (int failure = Open()) return failure;
  if (int failure = Flush()) return failure;  // a write would set them again
  if (::stat(source.c_str(), &status) != 0) return errno;
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  return ::futimens(fd_, times) != 0 ? errno : 0;
}

int NewFile::Sync() {
  if (int failure = Open()) return failure;
  if (int failure = Flush()) return failure;
  return ::fsync(fd_) != 0 ? errno : 0;
}

int NewFile::Replace(const std::string& target, bool durable) {
  if (::rename(path_.c_str(), target.c_str()) != 0) return errno;
  replaced_ = true;
  if (durable) SyncDirectory(target.substr(0, target.rfind('/')));
  return 0;
}

}  // namespace brindle
