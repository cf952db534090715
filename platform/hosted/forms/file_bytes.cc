#include "platform/hosted/forms/file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace brindle {

FileBytes::~FileBytes() { Release(); }

FileBytes::FileBytes(FileBytes&& other) noexcept { *this = std::move(other); }

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, "");
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    owned_ = std::move(other.owned_);
    fd_ = std::exchange(other.fd_, -1);
    read_ = std::exchange(other.read_, 0);
  }
  return *this;
}

void FileBytes::Release() {
  if (mapped_ != 0) ::munmap(const_cast<char*>(data_), mapped_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  owned_.reset();
  data_ = "";
  size_ = 0;
  mapped_ = 0;
}

int FileBytes::Read(int fd, FileBytes* bytes) {
  bytes->Release();
  struct stat status;
  if (::fstat(fd, &status) != 0) return errno;
  std::size_t expected = static_cast<std::size_t>(status.st_size);
  // Mapped: copying the file into fresh memory costs a page fault every
  // 4 KB (25 ms for a 17 MB registry on this project's machine).
  if (S_ISREG(status.st_mode) && expected > 0) {
    void* at = ::mmap(nullptr, expected, PROT_READ, MAP_PRIVATE, fd, 0);
    if (at != MAP_FAILED) {
      bytes->data_ = static_cast<const char*>(at);
      bytes->size_ = bytes->mapped_ = expected;
      bytes->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      return 0;
    }
  }
  std::size_t capacity = expected + 1;  // room to see the end at once
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::size_t size = 0;
  while (true) {
    if (size == capacity) {
      capacity *= 2;
      std::unique_ptr<char[]> grown(new char[capacity]);
      std::memcpy(grown.get(), buffer.get(), size);
      buffer = std::move(grown);
    }
    ssize_t got = ::read(fd, buffer.get() + size, capacity - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  bytes->owned_ = std::move(buffer);
  bytes->data_ = bytes->owned_.get();
  bytes->size_ = size;
  return 0;
}

void FileBytes::Read(std::size_t bytes) const {
  // A registry of 10^5 keys is 17 MB: held whole, its pages would take a
  // remove past twice the file's size (a hive's: 66 MB where 35 MB do).
  constexpr std::size_t kStep = std::size_t{2} << 20;
  read_ += bytes;
  if (mapped_ == 0 || read_ < kStep) return;
  ::madvise(const_cast<char*>(data_), mapped_, MADV_DONTNEED);
  read_ = 0;
}

std::size_t FileBytes::CopyInKernel(int fd, std::string_view piece) const {
  std::size_t done = 0;
  if (fd_ < 0 || piece.data() < data_ ||
      piece.data() + piece.size() > data_ + size_) {
    return done;
  }
  off64_t from = piece.data() - data_;
  while (done < piece.size()) {
    ssize_t copied =
        ::copy_file_range(fd_, &from, fd, nullptr, piece.size() - done, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) break;
    done += static_cast<std::size_t>(copied);
  }
  return done;
}

FileBytes FileBytes::Copy(std::string_view text) {
  FileBytes bytes;
  bytes.owned_.reset(new char[text.size() + 1]);
  if (!text.empty()) std::memcpy(bytes.owned_.get(), text.data(), text.size());
  bytes.data_ = bytes.owned_.get();
  bytes.size_ = text.size();
  return bytes;
}

FileBytes FileBytes::Borrow(std::string_view text) {
  FileBytes bytes;
  bytes.data_ = text.data();
  bytes.size_ = text.size();
  return bytes;
}

}  // namespace brindle
