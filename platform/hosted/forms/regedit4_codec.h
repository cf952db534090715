// The one grammar of REGEDIT4 text, as regedit of Windows 95/98/Me reads and
// writes it: its lines, key lines and value lines, read in any form regedit
// accepts and written in the one form it writes. Every reader of the text
// and its writer go through here.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/hosted/registry/registry.h"

namespace brindle {

/// The first line of every REGEDIT4 text.
constexpr std::string_view Regedit4Header = "REGEDIT4";

/// True for the first line of a REGEDIT4 text, blanks around it allowed.
bool IsHeaderLine(std::string_view line);

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
  /// Where the next line starts.
  std::size_t position() const { return begin_; }
  /// The number of the last line handed out (1 for the first).
  std::size_t number() const { return number_; }
  /// "\n" when every line ended in a lone LF, else "\r\n".
  std::string lineEnd() const;

 private:
  bool Read(std::string_view* line);

  std::string_view text_;
  std::size_t begin_ = 0;
  // The last line's end, until it is known to be the file's and counted.
  char ending_ = 0;
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
  /// Only the line's form is checked: name and data are not kept. A file
  /// is checked whole as it is read, its values read when a run looks.
  bool checkOnly = false;
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

/// Appends "[path]" or "[-path]" and the line end.
void AppendKeyLine(std::string& out, std::string_view path, bool deletion,
                   std::string_view lineEnd);
/// Appends a value's line(s) as regedit writes them.
void AppendValueLines(std::string& out, const RegistryValue& value,
                      std::string_view lineEnd);
/// Appends a key as regedit exports it: its key line, its values and the
/// blank line that ends it.
void AppendKeyBlock(std::string& out, const RegistryKey& key,
                    std::string_view path, std::string_view lineEnd);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_
