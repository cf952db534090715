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
  // Mapping costs a fraction of copying the file into fresh memory.
  if (S_ISREG(status.st_mode) && expected > 0) {
    void* at =
        ::mmap(nullptr, expected, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
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

void FileBytes::Forget(std::size_t from, std::size_t to) const {
  if (mapped_ == 0) return;
  constexpr std::size_t kPage = 4096;
  from = (from + kPage - 1) / kPage * kPage;
  to = std::min(to, size_) / kPage * kPage;
  // The mapping is never written: its pages are the file's, dropped from
  // this program only.
  if (from < to) {
    ::madvise(const_cast<char*>(data_) + from, to - from, MADV_DONTNEED);
  }
}

std::size_t FileBytes::CopyInKernel(int fd, std::string_view piece) const {
  std::size_t done = 0;
  if (fd_ < 0 || piece.data() < data_ ||
      piece.data() + piece.size() > data_ + size_) {
    return done;
  }
  loff_t from = piece.data() - data_;
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

namespace {

// Address space kept free after a copy-on-write mapping for what is
// appended: only what is written is ever backed by memory.
constexpr std::size_t kWritableRoom = std::size_t{64} << 20;

}  // namespace

int FileBytes::Writable(WritableBytes* copy) const {
  copy->Release();
  copy->original_ = size_;
  copy->dirty_.assign(size_ / WritableBytes::kPage / 64 + 1, 0);
  if (fd_ >= 0 && mapped_ != 0 && sizeof(void*) >= 8) {
    const std::size_t reserved = size_ + kWritableRoom;
    void* room = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room != MAP_FAILED) {
      void* at = ::mmap(room, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_FIXED, fd_, 0);
      if (at != MAP_FAILED) {
        copy->data_ = static_cast<char*>(at);
        copy->size_ = size_;
        copy->capacity_ = reserved;
        copy->reserved_ = reserved;
        return 0;
      }
      ::munmap(room, reserved);
    }
  }
  copy->owned_.reset(new char[size_ + 1]);
  if (size_ != 0) std::memcpy(copy->owned_.get(), data_, size_);
  copy->data_ = copy->owned_.get();
  copy->size_ = size_;
  copy->capacity_ = size_;
  return 0;
}

WritableBytes::~WritableBytes() { Release(); }

void WritableBytes::Release() {
  if (reserved_ != 0) ::munmap(data_, reserved_);
  reserved_ = 0;
  owned_.reset();
  data_ = nullptr;
  size_ = capacity_ = original_ = 0;
  dirty_.clear();
}

void WritableBytes::Write(std::size_t at, std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(data_ + at, bytes.data(), bytes.size());
  for (std::size_t page = at / kPage;
       page <= (at + bytes.size() - 1) / kPage && page * kPage < original_;
       ++page) {
    dirty_[page / 64] |= std::uint64_t{1} << (page % 64);
  }
}

void WritableBytes::Append(std::string_view bytes) {
  if (bytes.size() > capacity_ - size_) {
    std::size_t capacity = (size_ + bytes.size()) * 2;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ != 0) std::memcpy(grown.get(), data_, size_);
    std::size_t size = size_;
    std::size_t original = original_;
    std::vector<std::uint64_t> dirty = std::move(dirty_);
    Release();
    original_ = original;
    dirty_ = std::move(dirty);
    owned_ = std::move(grown);
    data_ = owned_.get();
    size_ = size;
    capacity_ = capacity;
  }
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

}  // namespace brindle
