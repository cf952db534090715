// The host's files as the machine, its drive and a disk image use them:
// read whole, written beside their place and renamed into it once whole and
// synced, copied, locked, and found by name as FAT finds them. Failures are
// the host's errno values.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_HOST_FILES_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_HOST_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/hosted/forms/file_bytes.h"

namespace brindle {

/// Reads the whole file at `path`, mapped where it can be: 0 or the errno.
int ReadWholeFile(const std::string& path, FileBytes* bytes);
/// Where WriteAllBytes writes when given no offset: where the file stands.
constexpr std::int64_t kAtFilePosition = -1;
/// Writes all of `data` to `fd`, at offset `at` or where the file stands:
/// 0, or the errno of the write that failed (EIO for one that wrote
/// nothing). The one write loop of the machine's files.
int WriteAllBytes(int fd, const char* data, std::size_t size,
                  std::int64_t at = kAtFilePosition);
/// The entry of `directory` called `name`: that spelling first, otherwise
/// one that differs only in ASCII case, as FAT matches; empty when none.
std::string FindEntry(const std::string& directory, const std::string& name);
/// Takes `path` (a file or directory) for this process alone, never
/// waiting: the descriptor that holds it, or -1 with errno set
/// (EWOULDBLOCK when another holds it).
int LockPath(const std::string& path);
/// Makes the entries of `directory` (a rename, a removal) durable.
void SyncDirectory(const std::string& directory);
/// Copies the file `from` over `to`, with its times, written beside `to`
/// and renamed over it once whole and synced: 0 or the errno.
int CopyWholeFile(const std::string& from, const std::string& to);
/// Makes `to` the file `from` is: a hard link where there can be one, else
/// a copy. 0 or the errno.
int LinkOrCopy(const std::string& from, const std::string& to);

/// A file written beside its place, at `path`, and put in its place by
/// Replace once whole and synced: whatever happens meanwhile, the place
/// holds the old file or the new one, never part of one. Unless replaced,
/// it is removed again.
class NewFile {
 public:
  explicit NewFile(std::string path) : path_(std::move(path)) {}
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  /// Writes `piece` at `at`; a long one that lies in `from` (a file read
  /// whole) is copied by the kernel, short ones that follow each other are
  /// gathered. 0 or the errno.
  int WriteAt(std::uint64_t at, std::string_view piece,
              const FileBytes* from = nullptr);
  /// True while nothing was written.
  bool empty() const { return fd_ < 0; }
  /// Gives it the host's times of the file `source`.
  int TakeTimes(const std::string& source);
  /// Writes what is gathered and syncs it: 0 or the errno.
  int Sync();
  /// Renames it over `target`, and with `durable` syncs the directory: 0
  /// or the errno.
  int Replace(const std::string& target, bool durable = true);
  /// Keeps it where it is, at `path`.
  void KeepWhereItIs() { replaced_ = true; }

 private:
  int Open();
  int Flush();

  std::string path_;
  int fd_ = -1;
  std::string gathered_;
  std::uint64_t gatheredAt_ = 0;
  bool replaced_ = false;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_HOST_FILES_H_
