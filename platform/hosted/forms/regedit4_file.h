// A registry file read only as far as a run needs: one pass checks every
// line and notes where each key's lines are; a key is built from them when
// the run first looks into it, and what the run left alone is written back
// as the file had it, wherever that is exactly what the writer would write.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_FILE_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_FILE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/hosted/forms/file_bytes.h"
#include "platform/hosted/forms/huge_pages.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/forms/regedit4_codec.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

class Regedit4File final : public RegistrySource {
 public:
  enum class Outcome { Loaded, Refused, ApplyInOrder };
  /// Reads `*bytes` into an empty `registry`, taking them when Loaded. A
  /// text that deletes keys or values, or one of 4 GiB or more, is
  /// ApplyInOrder: left to ReadRegedit4, which applies it line by line.
  static Outcome Load(FileBytes* bytes, Registry& registry,
                      Regedit4Fault* fault);

  /// Receives the keys below a waiting key as WalkWaitingSubkeys finds
  /// them; a false return stops the walk.
  class WaitingVisitor {
   public:
    /// Text of the file to write as it stands: a key's own lines, or a
    /// key's and all below it.
    virtual bool Keep(std::string_view text) = 0;
    /// A key at `path` to be written with the values of `values`.
    virtual bool Write(std::string_view path, const RegistryKey& values) = 0;

   protected:
    ~WaitingVisitor() = default;
  };

  void FillSubkeys(RegistryKey& key, std::uint32_t tag) override;
  void FillValues(RegistryKey& key, std::uint32_t tag) override;

  /// The file.
  const FileBytes& bytes() const { return bytes_; }
  /// The line end the file's lines were checked against.
  std::string_view lineEnd() const { return lineEnd_; }
  /// When `key` waits untouched and the file holds it and all below it, at
  /// `path`, exactly as the writer would write them: that text.
  std::string_view UntouchedSubtree(const RegistryKey& key,
                                    std::string_view path) const;
  /// When `key`'s values are as read and its own lines in the file are
  /// exactly what the writer would write at `path`: those lines.
  std::string_view OwnLinesAsRead(const RegistryKey& key,
                                  std::string_view path) const;
  /// Walks the keys below `key`, at `path`, whose subkeys still wait, in the
  /// order they are written, straight from the file's notes: none is built.
  /// False when the visitor stopped it.
  bool WalkWaitingSubkeys(const RegistryKey& key, std::string_view path,
                          WaitingVisitor& visitor) const;

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // The key line and value lines of one key line's naming of a key, and the
  // blank line before when there is one; it ends where the next one starts.
  // Places are measured in 32 bits: larger files are applied line by line.
  struct Span {
    std::uint32_t start;
    std::uint32_t path;          // from start: the path on the key line
    std::uint32_t values;        // from start: its first value line
    std::uint32_t next = kNone;  // the same key's next span
    bool written = true;         // as the writer writes it
  };
  // A key as the file names it: created at its first mention, as a key line
  // or on the path to one. A key named apart twice has two entries, made one
  // when their parent is filled.
  struct Entry {
    std::uint32_t nameAt;  // its name in the file
    std::uint32_t nameSize;
    std::uint32_t parent;
    std::uint32_t firstChild = kNone;
    std::uint32_t lastChild = kNone;
    std::uint32_t nextSibling = kNone;
    std::uint32_t firstSpan = kNone;
    std::uint32_t lastSpan = kNone;
    // Its values' write count once filled, while they are as read.
    std::uint32_t writesAsRead = kNone;
    // Its lines and all below it follow each other, each as the writer
    // writes it, up to `textEnd`.
    std::uint32_t textEnd = 0;
    bool clean = true;
  };
  class Indexer;

  Regedit4File() = default;
  std::uint32_t AddEntry(std::string_view name, std::uint32_t parent);
  void MarkUnclean(std::uint32_t entry);
  // Puts in `*group` the entries of the key tagged `tag`: mostly one; more
  // where the file named the key apart more than once.
  void GroupOf(std::uint32_t tag, std::vector<std::uint32_t>* group) const;
  bool PathMatches(const Span& span, std::string_view path) const;
  std::string_view Name(std::uint32_t entry) const {
    return std::string_view(text_ + entries_[entry].nameAt,
                            entries_[entry].nameSize);
  }
  std::uint32_t SpanEnd(std::uint32_t span) const {
    return span + 1 < spans_.size() ? spans_[span + 1].start : lastSpanEnd_;
  }
  // The text of `span`, from its start on past `skip` bytes.
  std::string_view SpanText(std::uint32_t span, std::uint32_t skip = 0) const {
    return std::string_view(text_ + spans_[span].start + skip,
                            SpanEnd(span) - spans_[span].start - skip);
  }
  // The text of a clean entry's lines and all below it.
  std::string_view SubtreeText(const Entry& entry) const {
    const std::uint32_t start = spans_[entry.firstSpan].start;
    return std::string_view(text_ + start, entry.textEnd - start);
  }
  // Sets on `key` the values of the spans of `group`'s entries, read in the
  // order of the file; how many value lines were read.
  std::size_t ReadValues(RegistryKey& key,
                         const std::vector<std::uint32_t>& group,
                         std::vector<std::uint32_t>& order,
                         ValueLine& value) const;
  // The subkeys of a key, each as the entries naming it: key i is named by
  // `entries[ends[i - 1]]` (its first) up to `entries[ends[i]]`, keys in
  // the order the file first names them. The rest is scratch.
  struct Subkeys {
    std::vector<std::uint32_t> entries;
    std::vector<std::uint32_t> ends;
    std::vector<std::uint32_t> children;
    std::vector<std::uint32_t> firstOf;
    std::vector<std::uint32_t> later;
    std::vector<std::uint64_t> seen;
  };
  // Puts in `*subkeys` those of the key made of `group`, or of the top.
  void FindSubkeys(const std::vector<std::uint32_t>& group, bool top,
                   Subkeys* subkeys) const;
  // Its values are those its one span gives, unchanged.
  bool ValuesAsRead(const RegistryKey& key, const Entry& entry) const;
  // Notes that [from, to) of the file was read. Keys keep what they take
  // from it, and the writer copies what it keeps: once the run or the
  // writer has read across a quarter of the file (8 MB at least), its
  // pages are given back, read again when looked at again. Nothing one can
  // read changes.
  void Read(std::size_t from, std::size_t to) const;

  FileBytes bytes_;
  mutable std::size_t readFrom_ = SIZE_MAX;  // read since last given back
  mutable std::size_t readTo_ = 0;
  const char* text_ = nullptr;  // the bytes', from the start
  std::string lineEnd_;
  HugePageVector<Entry> entries_;
  HugePageVector<Span> spans_;
  std::uint32_t lastSpanEnd_ = 0;
  std::uint32_t firstRoot_ = kNone;
  std::uint32_t lastRoot_ = kNone;
  // Entries made one with the first one of their key.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> merged_;
  // Scratch kept from key to key: the entries of the key being filled, its
  // spans or subkeys in order, the value being decoded.
  std::vector<std::uint32_t> group_;
  std::vector<std::uint32_t> order_;
  Subkeys subkeys_;
  ValueLine value_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_FILE_H_
