// The one grammar of REGEDIT4 text, as regedit of Windows 95/98/Me reads and
// writes it: its lines, key lines and value lines, read in any form regedit
// accepts and written in the one form it writes. Every reader of the text
// and its writer go through here.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/hosted/registry/registry.h"

namespace brindle {

/// The first line of every REGEDIT4 text.
constexpr std::string_view Regedit4Header = "REGEDIT4";

/// True for the first line of a REGEDIT4 text, blanks around it allowed.
bool IsHeaderLine(std::string_view line);

/// True for the name of a root key (HKEY_LOCAL_MACHINE, ...), any case.
bool IsRootKeyName(std::string_view name);

/// Hands out the lines of a text one at a time, whatever their line ends
/// (CR LF, LF or a lone CR), counting them.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  /// The next line without its line end; false at the end of the text.
  bool Next(std::string_view* line);
  /// Extends `*line`, a view that ends where the last line handed out ends,
  /// over that line's end and the next line: a quoted text goes on there.
  /// Its line ends are then data, not the file's. False at the end.
  bool Continue(std::string_view* line);
  /// Moves on to `at`, the start of a line, past `lines` more lines.
  void SkipTo(const char* at, std::size_t lines);
  /// Where the next line starts.
  const char* position() const { return text_.data() + begin_; }
  /// The number of the last line handed out (1 for the first).
  std::size_t number() const { return number_; }
  /// Whether the last line handed out ended in `lineEnd`.
  bool EndedIn(std::string_view lineEnd) const;
  /// "\n" when every line ended in a lone LF, else "\r\n".
  std::string lineEnd();

 private:
  enum Ending : unsigned char { kNone, kCarriageReturn, kLineFeed };
  void CountLineEnd();
  bool Read(std::string_view* line);

  std::string_view text_;
  std::size_t begin_ = 0;
  std::size_t endSize_ = 0;  // of the last line's end, in bytes
  Ending ending_ = kNone;
  bool sawCarriageReturn_ = false;
  bool sawLineFeed_ = false;
  std::size_t number_ = 0;
};

/// What a line says, read as regedit reads it.
enum class LineKind { Blank, Comment, Key, Value, Other };
/// The kind of `line`; `*body` is the line without its leading blanks.
LineKind KindOfLine(std::string_view line, std::string_view* body);

/// A key line: "[path]" adds the key, "[-path]" deletes it.
struct KeyLine {
  std::string_view path;
  bool deletion = false;
};
/// Reads a key line (its leading blanks gone); false with `*what` set when
/// it is malformed.
bool ParseKeyLine(std::string_view body, KeyLine* key, const char** what);
/// Calls `visit` with each backslash-separated name of a checked path.
template <typename Visit>
void ForEachPathName(std::string_view path, Visit&& visit) {
  while (true) {
    std::size_t cut = path.find('\\');
    visit(path.substr(0, cut));
    if (cut == std::string_view::npos) return;
    path.remove_prefix(cut + 1);
  }
}

/// A value line read: its name, type and data, or a deletion ("name"=-).
struct ValueLine {
  std::string name;
  std::uint32_t type = 0;
  std::string data;
  bool deletion = false;
};
/// Where and why a value line was refused.
struct ValueFault {
  const char* what = nullptr;
  std::size_t line = 0;  // 0: the line `lines` is on now
};
/// Reads the value line `body` (its leading blanks gone) and any lines it
/// goes on over, which `lines` hands out. False with `*fault` set when it
/// is malformed.
bool ParseValueLine(LineReader& lines, std::string_view body, ValueLine* value,
                    ValueFault* fault);

/// When the value line at `p` is exactly as WriteValueLines writes it, with
/// `lineEnd` and no line end inside its quotes, the start of the line after
/// it, and `*lines` the lines it took, the value read into `*value` when
/// given; otherwise null. The fast path through most of an export: it
/// reads only the written form, and decodes nothing unless asked.
const char* MatchWrittenValue(const char* p, const char* end,
                              std::string_view lineEnd, std::size_t* lines,
                              ValueLine* value = nullptr);

/// Export text built in place: room is made once a line, then bytes are put
/// without further checks.
class TextBuffer {
 public:
  void Ensure(std::size_t more);
  void Put(char c) { data_[size_++] = c; }
  void Put(std::string_view text);
  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_.get(), size_); }
  void clear() { size_ = 0; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// Puts "[path]" or "[-path]" and the line end.
void WriteKeyLine(TextBuffer& out, std::string_view path, bool deletion,
                  std::string_view lineEnd);
/// Puts a value's line(s) as regedit writes them.
void WriteValueLines(TextBuffer& out, const RegistryValue& value,
                     std::string_view lineEnd);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_
