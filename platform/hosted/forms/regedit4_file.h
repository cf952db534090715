// A registry file as spans of its own text: one pass checks every line and
// notes, for each key line, the text that belongs to it (its key line, its
// value lines and the blank and comment lines after them) and the key it
// names. A key is built from its spans when a run first looks into it, and
// the file is written back span by span, only what the run changed anew.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_FILE_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/forms/file_bytes.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/forms/regedit4_codec.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// Text on its way to a sink: written pieces gathered, long stretches of
/// the file handed on as they lie in it, so the kernel can copy them.
class TextOut {
 public:
  explicit TextOut(const Regedit4Sink& sink) : sink_(sink) {}
  /// Text of the file as it stands; stretches that follow each other in
  /// the file go out as one.
  bool Keep(std::string_view text);
  /// Text written anew; `lineEnd` first where what went before does not
  /// end a line.
  bool Put(std::string_view text, std::string_view lineEnd);
  /// Hands on all that is left.
  bool Finish();

 private:
  bool Flush();

  const Regedit4Sink& sink_;
  std::string buffer_;
  std::string_view kept_;  // not yet handed on
  bool lineEnded_ = true;
};

class Regedit4File final : public KeyFiller {
 public:
  enum class Outcome { Loaded, Refused, ApplyInOrder };
  /// Reads `*bytes` into an empty `registry`, taking them when Loaded. A
  /// text that deletes keys or values, or one of 4 GiB or more, is
  /// ApplyInOrder: left to ReadRegedit4, which applies it line by line.
  static Outcome Load(FileBytes* bytes, Registry& registry,
                      Regedit4Fault* fault);

  void FillSubkeys(RegistryKey& key, std::uint32_t tag) override;
  void FillValues(RegistryKey& key, std::uint32_t tag) override;

  /// Writes `registry`, loaded from this file, in the file's own order:
  /// the spans of keys the run did not change as they stand, those of keys
  /// whose values changed anew in their place, none of deleted keys, and
  /// the keys the run made at the end.
  bool Write(const Registry& registry, TextOut& out) const;
  /// The file.
  const FileBytes& bytes() const { return bytes_; }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // A key as the file names it, by its own key line or on the path to
  // another; a name given again, in any case, is the same entry. Entry 0 is
  // the nameless top; an entry comes after its parent.
  struct Entry {
    std::uint32_t parent;
    std::uint32_t nameAt;  // its name's place in the file
    std::uint32_t nameSize;
    std::uint32_t bornIn;  // the span whose key line named it first
    std::uint32_t firstChild = kNone;
    std::uint32_t nextSibling = kNone;
    std::uint32_t firstSpan = kNone;
  };
  // A key line and the lines after it up to the next key line.
  struct Span {
    std::uint32_t start;   // where its key line starts
    std::uint32_t values;  // where the line after it starts
    std::uint32_t entry;
    std::uint32_t next = kNone;  // the same key's next span
  };
  class Indexer;

  std::string_view Name(std::uint32_t entry) const {
    return bytes_.view().substr(entries_[entry].nameAt,
                                entries_[entry].nameSize);
  }
  std::uint32_t SpanEnd(std::uint32_t span) const {
    return span + 1 < spans_.size() ? spans_[span + 1].start
                                    : static_cast<std::uint32_t>(size_);
  }
  // Sets on `key` the values of `entry`'s spans, in the order of the file.
  void ReadValues(std::uint32_t entry, RegistryKey& key) const;

  FileBytes bytes_;
  std::size_t size_ = 0;
  mutable ValueLine value_;  // kept from key to key: no allocation a value
  std::vector<Entry> entries_;
  std::vector<Span> spans_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_FILE_H_
