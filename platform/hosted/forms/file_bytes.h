// The bytes of a file held whole, mapped where the system allows.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_FILE_BYTES_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_FILE_BYTES_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace brindle {

/// A file's bytes, read whole. A mapped file must not be cut short while
/// they are held; the machine's lock keeps runs from doing it.
class FileBytes {
 public:
  FileBytes() = default;
  ~FileBytes() { Release(); }
  FileBytes(FileBytes&& other) noexcept { *this = std::move(other); }
  FileBytes& operator=(FileBytes&& other) noexcept;

  /// What the file open on `fd` holds; 0 or the errno.
  static int Read(int fd, FileBytes* bytes);
  /// A copy of `text`.
  static FileBytes Copy(std::string_view text);

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_, size_); }

  /// Notes that `bytes` more were read: every few megabytes a mapped file's
  /// pages are given back (read again when looked at), so a run holds only
  /// what it reads at the time.
  void NoteRead(std::size_t bytes) const;
  /// The mapped file, open for the kernel to copy from; -1 when not mapped.
  int fd() const { return fd_; }

 private:
  void Release();

  const char* data_ = "";
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;        // bytes mapped, 0 when not mapped
  std::string owned_;             // when read rather than mapped
  int fd_ = -1;                   // the mapped file
  mutable std::size_t read_ = 0;  // since its pages were last given back
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_FILE_BYTES_H_
