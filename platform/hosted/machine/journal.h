// A machine's journal: the registry changes a run records, made durable a
// batch at a time as the run makes them, in REGEDIT4 lines, so that a run
// killed before it saved loses no whole batch: the next run replays them.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_JOURNAL_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_JOURNAL_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/hosted/registry/registry.h"

namespace brindle {

/// The journal line that closes a batch; a batch without it is not applied.
constexpr std::string_view JournalBatchEnd = "; end of batch";

/// The longest head of a journal made of whole batches.
std::string_view WholeJournalBatches(std::string_view journal);

class Journal {
 public:
  /// The journal at `path`, its lines ended as `lineEnd`.
  Journal(std::string path, std::string_view lineEnd)
      : path_(std::move(path)), lineEnd_(lineEnd) {}
  ~Journal() { Close(); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  /// Applies every whole batch of the journal a killed run left to
  /// `registry`, as its changes; the file stays as it is. False, with one
  /// line in `*error`, when it cannot be read or is malformed.
  bool Apply(Registry& registry, std::string* error);
  /// Applies the journal as Apply does, then cuts a torn last batch off
  /// the file (removing one that holds no whole batch), for the run's own
  /// batches to follow.
  bool Replay(Registry& registry, std::string* error);
  /// True when Replay applied a batch.
  bool replayed() const { return replayed_; }
  /// Writes the changes `registry` recorded since the last batch as one
  /// batch, in one write: a kill leaves it whole or without its end line.
  /// 0, or the errno (the part written is taken back).
  int Append(const Registry& registry);
  /// Closes the journal and deletes it: the registry file holds it all.
  void Drop();
  /// Lets go of the file, which stays.
  void Close();

 private:
  std::string path_;
  std::string lineEnd_;
  int fd_ = -1;
  std::size_t written_ = 0;  // changes of the record the journal holds
  bool replayed_ = false;
  std::size_t whole_ = 0;  // bytes of whole batches at the file's start
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_JOURNAL_H_
