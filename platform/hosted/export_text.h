// A registry file kept as the text regedit exported: keys are built from it
// only when a run reaches them, and what no run touched is written back as
// it stood.
#ifndef BRINDLE_PLATFORM_HOSTED_EXPORT_TEXT_H_
#define BRINDLE_PLATFORM_HOSTED_EXPORT_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/file_bytes.h"

namespace brindle {

/// True for the name of a root key (HKEY_LOCAL_MACHINE, ...), any case.
bool IsRootKeyName(std::string_view name);

/// An export whose every line is in the form the writer gives it, with an
/// index of its key lines.
class ExportText {
 public:
  /// Stands for the nameless key above the roots.
  static constexpr std::uint32_t kTop = 0xFFFFFFFFu;

  /// Takes `bytes` when they are exactly an export as written back (one line
  /// end throughout, a blank line before each key line, every key after its
  /// parent, values in their written form); null, leaving `bytes` alone,
  /// otherwise.
  static std::unique_ptr<ExportText> Scan(FileBytes& bytes);

  std::string_view lineEnd() const { return lineEnd_; }
  std::uint32_t keyCount() const {
    return static_cast<std::uint32_t>(keys_.size());
  }
  /// The last name of key line `key`'s path.
  std::string_view Name(std::uint32_t key) const;
  /// The value lines of key line `key`, each with its line end.
  std::string_view ValueLines(std::uint32_t key) const;
  /// Key line `key` and its values as the file has them, the blank line
  /// before it included.
  std::string_view OwnLines(std::uint32_t key) const;
  /// Key line `key` and everything below it as the file has them, the blank
  /// line before each key line included.
  std::string_view Subtree(std::uint32_t key) const;
  /// A block to gather decoded values in before they are stored: one for
  /// all keys, as keys are built one at a time.
  std::string& Scratch() const { return scratch_; }
  /// The first key line below `key` (kTop: the first of all), or the end.
  std::uint32_t FirstSubkey(std::uint32_t key) const {
    return key == kTop ? 0 : key + 1;
  }
  /// The key line after `key` and all below it: its next sibling, or the
  /// end of its parent's.
  std::uint32_t SubtreeEnd(std::uint32_t key) const {
    return key == kTop ? keyCount() : keys_[key].subtreeEnd;
  }

 private:
  struct KeyLine {
    std::uint64_t start;     // the blank line before it
    std::uint32_t valuesAt;  // from start: its first value line
    std::uint32_t nameAt;    // from start: the last name of its path
    std::uint32_t subtreeEnd;
  };
  std::size_t StartOf(std::uint32_t key) const {
    return key < keys_.size() ? keys_[key].start : bodyEnd_;
  }

  FileBytes bytes_;
  std::string lineEnd_;
  std::vector<KeyLine> keys_;
  std::size_t bodyEnd_ = 0;  // where the closing blank line starts
  mutable std::string scratch_;

  friend class ExportScanner;
};

/// Hands out, one at a time, the values of value lines an ExportText holds.
class ValueLineDecoder {
 public:
  ValueLineDecoder(std::string_view lines, std::string_view lineEnd)
      : lines_(lines), lineEnd_(lineEnd) {}
  /// Appends the next value's name and then its data to `out`; false after
  /// the last.
  bool Next(std::string* out, std::size_t* nameSize, std::uint32_t* type);

 private:
  std::string_view lines_;
  std::string_view lineEnd_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_EXPORT_TEXT_H_
