#include "platform/hosted/machine/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/machine/host_files.h"

namespace brindle {

std::string_view WholeJournalBatches(std::string_view journal) {
  std::size_t end = 0;
  std::size_t at = 0;
  while (at < journal.size()) {
    const std::size_t lf = journal.find('\n', at);
    if (lf == std::string_view::npos) break;  // a line cut short
    std::string_view line = journal.substr(at, lf - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = lf + 1;
    if (line == JournalBatchEnd) end = at;
  }
  return journal.substr(0, end);
}

bool Journal::Apply(Registry& registry, std::string* error) {
  FileBytes journal;
  const int failure = ReadWholeFile(path_, &journal);
  if (failure == ENOENT) return true;
  if (failure != 0) {
    *error = path_ + ": " + std::strerror(failure);
    return false;
  }
  whole_ = WholeJournalBatches(journal.view()).size();
  LoadFault fault;
  if (whole_ != 0 &&
      !ApplyRegedit4(journal.view().substr(0, whole_), registry, &fault)) {
    *error = FaultText(path_, "malformed journal", fault);
    return false;
  }
  replayed_ = whole_ != 0;
  written_ = registry.changes.size();
  return true;
}

bool Journal::Replay(Registry& registry, std::string* error) {
  if (!Apply(registry, error)) return false;
  if (whole_ == 0) {
    ::unlink(path_.c_str());
    return true;
  }
  // The file is mapped no more: it can be cut short.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(whole_)) != 0 ||
      ::lseek(fd_, 0, SEEK_END) < 0) {
    *error = path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

int Journal::Append(const Registry& registry) {
  if (written_ == registry.changes.size()) return 0;
  const std::string& lineEnd = lineEnd_;
  std::string batch;
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return errno;
    batch.append(Regedit4Header).append(lineEnd);
  }
  // Each key as the batch leaves it: gone, or there with each value named
  // as it now is.
  for (const ChangedKey& change : ChangedKeys(registry, written_)) {
    AppendKeyLine(batch, change.key->Path(), change.deleted, lineEnd);
    if (change.deleted) continue;
    for (std::string_view name : change.values) {
      const auto value = change.key->FindValue(name);
      if (value) AppendValueLines(batch, *value, lineEnd);
      if (!value) AppendValueRemoval(batch, name, lineEnd);
    }
  }
  batch.append(JournalBatchEnd).append(lineEnd);
  const off_t before = ::lseek(fd_, 0, SEEK_END);
  if (int failure = WriteAllBytes(fd_, batch.data(), batch.size())) {
    // Take back a part-written batch, so the next one is not glued to it.
    if (before >= 0 && ::ftruncate(fd_, before) == 0)
      ::lseek(fd_, before, SEEK_SET);
    return failure;
  }
  written_ = registry.changes.size();
  return 0;
}

void Journal::Drop() {
  Close();
  ::unlink(path_.c_str());
}

void Journal::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace brindle
