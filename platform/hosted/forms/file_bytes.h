// The bytes of a file held whole, mapped where the system allows.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_FILE_BYTES_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_FILE_BYTES_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace brindle {

/// A file's bytes, read whole. A mapped file must not be cut short by
/// another program while they are held; the machine's lock keeps runs from
/// doing it.
class WritableBytes;

class FileBytes {
 public:
  FileBytes() = default;
  ~FileBytes();
  FileBytes(FileBytes&& other) noexcept;
  FileBytes& operator=(FileBytes&& other) noexcept;

  /// What the regular file open on `fd` holds; 0 or the errno.
  static int Read(int fd, FileBytes* bytes);
  /// A copy of `text`.
  static FileBytes Copy(std::string_view text);
  /// `text` itself, which must outlive what is made of it.
  static FileBytes Borrow(std::string_view text);

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_, size_); }

  /// Lets the system have back the memory of the pages wholly inside
  /// [from, to), where the bytes are a mapped file: they stay readable, read
  /// again from the file when next looked at.
  void Forget(std::size_t from, std::size_t to) const;
  /// How much of the start of `piece` the kernel copied to `fd` straight
  /// from the file, without bringing it into this program's memory: all of
  /// it where it lies in these bytes as a mapped file and the system can,
  /// else less. The caller writes the rest.
  std::size_t CopyInKernel(int fd, std::string_view piece) const;

  /// A copy of these bytes to change in memory, with room to grow: where
  /// they are a mapped file, it is mapped again copy-on-write, so only the
  /// pages written are copied (a fresh copy of a large file costs a page
  /// fault a page). 0 or the errno.
  int Writable(WritableBytes* copy) const;

 private:
  void Release();

  const char* data_ = "";
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;         // bytes mapped, 0 when not mapped
  std::unique_ptr<char[]> owned_;  // when read rather than mapped
  int fd_ = -1;                    // the mapped file, for Writable
};

/// Bytes that can be changed and appended to; see FileBytes::Writable.
class WritableBytes {
 public:
  WritableBytes() = default;
  ~WritableBytes();
  WritableBytes(const WritableBytes&) = delete;
  WritableBytes& operator=(const WritableBytes&) = delete;

  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_, size_); }
  /// Puts `bytes` at `at`, within the bytes as they were made.
  void Write(std::size_t at, std::string_view bytes);
  /// Adds `bytes` at the end.
  void Append(std::string_view bytes);
  /// Calls `visit(at, bytes)` for each run of pages Write changed and for
  /// what was appended: what a copy of the first bytes needs to become
  /// these.
  template <typename Visit>
  void ForEachChange(Visit&& visit) const {
    const std::size_t pages = (original_ + kPage - 1) / kPage;
    for (std::size_t page = 0; page < pages;) {
      if (!Dirty(page)) {
        ++page;
        continue;
      }
      std::size_t end = page + 1;
      while (end < pages && Dirty(end)) ++end;
      const std::size_t at = page * kPage;
      visit(at, view().substr(at, std::min(end * kPage, original_) - at));
      page = end;
    }
    if (size_ > original_) visit(original_, view().substr(original_));
  }

 private:
  friend class FileBytes;
  static constexpr std::size_t kPage = 4096;
  void Release();
  bool Dirty(std::size_t page) const {
    return (dirty_[page / 64] >> (page % 64)) & 1;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t original_ = 0;          // the size it was made with
  std::vector<std::uint64_t> dirty_;  // a bit a page Write changed
  std::size_t capacity_ = 0;
  std::size_t reserved_ = 0;  // bytes of address space mapped, 0 if none
  std::unique_ptr<char[]> owned_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_FILE_BYTES_H_
