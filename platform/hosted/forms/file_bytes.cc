#include "platform/hosted/forms/file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace brindle {

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
  if (this == &other) return *this;
  Release();
  owned_ = std::move(other.owned_);
  data_ = other.mapped_ ? other.data_ : owned_.data();
  size_ = std::exchange(other.size_, 0);
  mapped_ = std::exchange(other.mapped_, 0);
  fd_ = std::exchange(other.fd_, -1);
  read_ = std::exchange(other.read_, 0);
  other.data_ = "";
  return *this;
}

void FileBytes::Release() {
  if (mapped_ != 0) ::munmap(const_cast<char*>(data_), mapped_);
  if (fd_ >= 0) ::close(fd_);
  owned_.clear();
  data_ = "";
  size_ = mapped_ = read_ = 0;
  fd_ = -1;
}

int FileBytes::Read(int fd, FileBytes* bytes) {
  bytes->Release();
  struct stat status;
  if (::fstat(fd, &status) != 0) return errno;
  // Mapped: copying the file into fresh memory costs a page fault a page.
  const auto size = static_cast<std::size_t>(status.st_size);
  void* at = S_ISREG(status.st_mode) && size > 0
                 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0)
                 : MAP_FAILED;
  if (at != MAP_FAILED) {
    bytes->data_ = static_cast<const char*>(at);
    bytes->size_ = bytes->mapped_ = size;
    bytes->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return 0;
  }
  char chunk[1 << 16];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (got < 0 && errno != EINTR) return errno;
    if (got > 0) bytes->owned_.append(chunk, static_cast<std::size_t>(got));
  }
  bytes->data_ = bytes->owned_.data();
  bytes->size_ = bytes->owned_.size();
  return 0;
}

FileBytes FileBytes::Copy(std::string_view text) {
  FileBytes bytes;
  bytes.owned_.assign(text);
  bytes.data_ = bytes.owned_.data();
  bytes.size_ = text.size();
  return bytes;
}

void FileBytes::NoteRead(std::size_t bytes) const {
  // Held whole, a large registry's pages would take a run past twice the
  // file's size (BENCHMARKS.md).
  constexpr std::size_t kStep = std::size_t{2} << 20;
  read_ += bytes;
  if (mapped_ == 0 || read_ < kStep) return;
  ::madvise(const_cast<char*>(data_), mapped_, MADV_DONTNEED);
  read_ = 0;
}

}  // namespace brindle
