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

#include "platform/hosted/forms/load_fault.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// The first line of every REGEDIT4 text.
constexpr std::string_view Regedit4Header = "REGEDIT4";

/// What a line says, read as regedit reads it.
enum class LineKind { Blank, Comment, Key, Value, Other };

/// A key line: "[path]" adds the key, "[-path]" deletes it.
struct KeyLine {
  std::string_view path;
  bool deletion = false;
};

/// A value line read: its name, type and data, or a deletion ("name"=-).
struct ValueLine {
  std::string name;
  std::uint32_t type = 0;
  std::string data;
  bool deletion = false;
  bool checkOnly = false;  ///< its form checked, its name and data not kept
};

/// Reads a text a line at a time, whatever its line ends (CR LF, LF or a
/// lone CR), counting them; a value line whole, over any lines it goes on.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  /// Reads the first line: "REGEDIT4", blanks around it allowed; false,
  /// with `*fault`, when it is not.
  bool ReadHeader(LoadFault* fault);
  /// Reads the next line's kind and `*body`, from its first non-blank on; a
  /// value line is left for ReadValue (its body only its first character).
  bool Next(LineKind* kind, std::string_view* body);
  /// Reads the key line Next found; false, with `*fault`, when malformed.
  bool ReadKey(std::string_view body, KeyLine* key, LoadFault* fault);
  /// Reads the value line Next left; false, with `*fault`, when malformed.
  bool ReadValue(ValueLine* value, LoadFault* fault);
  /// False, with `*fault` naming `what` on `line`, or on the line last read.
  bool RefuseAt(LoadFault* fault, std::size_t line, const char* what) const;
  bool Refuse(LoadFault* fault, const char* what) const;
  /// Where the next line starts, and where the last one read started.
  std::size_t position() const { return begin_; }
  std::size_t lineStart() const { return lineStart_; }
  /// The number of the last line read (1 for the first).
  std::size_t number() const { return number_; }
  /// "\n" when every line ended in a lone LF, else "\r\n".
  std::string lineEnd() const {
    return sawLineFeed_ && !sawCarriageReturn_ ? "\n" : "\r\n";
  }

 private:
  // The readers of a value line's parts, one for each kind of data, each
  // reading from `*p` and moving it past what it read; the data goes to
  // `*out` unless it is null. False, with `*fault`, when malformed.
  bool ReadString(const char** p, std::string* out, LoadFault* fault);
  bool ReadDword(const char** p, std::string* out, LoadFault* fault);
  bool ReadHex(const char** p, std::uint32_t* type, std::string* out,
               LoadFault* fault);
  // Reads the next line, without its line end; false at the end.
  bool NextLine(std::string_view* line);
  // Moves past the file's line end at `at`, counted for lineEnd().
  void EndLine(std::size_t at);
  const char* end() const { return text_.data() + text_.size(); }

  std::string_view text_;
  std::size_t begin_ = 0;
  std::size_t lineStart_ = 0;
  std::size_t number_ = 0;
  bool sawCarriageReturn_ = false;
  bool sawLineFeed_ = false;
};

/// Appends "[path]" or "[-path]" and the line end.
void AppendKeyLine(std::string& out, std::string_view path, bool deletion,
                   std::string_view lineEnd);
/// Appends the line that removes the value `name`: "name"=-.
void AppendValueRemoval(std::string& out, std::string_view name,
                        std::string_view lineEnd);
/// Appends a value's line(s) as regedit writes them.
void AppendValueLines(std::string& out, const RegistryValue& value,
                      std::string_view lineEnd);
/// Appends a key as regedit exports it: key line, values, a blank line.
void AppendKeyBlock(std::string& out, const RegistryKey& key,
                    std::string_view path, std::string_view lineEnd);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_CODEC_H_
