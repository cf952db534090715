#include "platform/hosted/forms/regedit4_codec.h"

#include <cstdio>
#include <cstring>

namespace brindle {
namespace {

constexpr std::string_view kRoots[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
    "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

// regedit wraps hex data where a comma reaches this column, going on after a
// backslash on a line indented by two spaces.
constexpr std::size_t kWrapColumn = 77;
constexpr std::string_view kContinuationIndent = "  ";

const char kHexDigits[] = "0123456789abcdef";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

constexpr int HexDigitOf(int c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}

// Hex digits as a table: hex data is a good part of a file.
struct HexDigits {
  signed char of[256];
  constexpr HexDigits() : of() {
    for (int c = 0; c < 256; ++c) of[c] = static_cast<signed char>(HexDigitOf(c));
  }
};
constexpr HexDigits kHexValue;

int HexDigit(char c) { return kHexValue.of[static_cast<unsigned char>(c)]; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithFolded(std::string_view text, std::string_view head) {
  return text.size() >= head.size() &&
         EqualsAsciiFolded(text.substr(0, head.size()), head);
}

bool IsRootKeyName(std::string_view name) {
  if (name == kRoots[0]) return true;  // nearly every key line's
  for (std::string_view root : kRoots) {
    if (EqualsAsciiFolded(name, root)) return true;
  }
  return false;
}

// Whether a value is written as "data": a string of type 1 ending in its one
// NUL. Line ends in it are written as they stand, as regedit writes them.
bool WrittenAsString(std::uint32_t type, std::string_view data) {
  if (type != REG_SZ || data.empty() || data.back() != '\0') return false;
  return std::memchr(data.data(), '\0', data.size() - 1) == nullptr;
}

// The first byte from `p` on that is `a` or `b`, or `end`. Quoted text is
// most of a file, so it is scanned eight bytes a step.
const char* FindEither(const char* p, const char* end, char a, char b) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const std::uint64_t first = kOnes * static_cast<unsigned char>(a);
  const std::uint64_t second = kOnes * static_cast<unsigned char>(b);
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t x = word ^ first;
    const std::uint64_t y = word ^ second;
    const std::uint64_t found =
        ((x - kOnes) & ~x & kHighs) | ((y - kOnes) & ~y & kHighs);
    if (found != 0) return p + __builtin_ctzll(found) / 8;
  }
  while (p != end && *p != a && *p != b) ++p;
  return p;
}

const char* QuoteOrEscape(const char* p, const char* end) {
  return FindEither(p, end, '"', '\\');
}

// Reads a quoted text starting at (*body)[*at] == '"' into `*out` (when
// given: checking a file needs only its end). One whose closing quote is not
// on its line goes on over the line end, whose bytes are part of it as the
// file has them: regedit writes string data as it stands. `*body` is then
// extended over the lines it took.
bool ReadQuoted(LineReader& lines, std::string_view* body, std::size_t* at,
                std::string* out, ValueFault* fault) {
  const std::size_t firstLine = lines.number();
  std::size_t i = *at + 1;
  while (true) {
    const char* text = body->data();
    const char* end = text + body->size();
    const char* stop = QuoteOrEscape(text + i, end);
    if (out != nullptr) out->append(text + i, stop - (text + i));
    i = static_cast<std::size_t>(stop - text);
    if (stop == end) {
      if (!lines.Continue(body)) {
        *fault = ValueFault{"unterminated string", firstLine};
        return false;
      }
      continue;
    }
    if (*stop == '"') {
      *at = i + 1;
      return true;
    }
    if (stop + 1 == end) {
      *fault = ValueFault{"unterminated string", 0};
      return false;
    }
    if (stop[1] != '\\' && stop[1] != '"') {
      *fault = ValueFault{"unknown escape in string", 0};
      return false;
    }
    if (out != nullptr) out->push_back(stop[1]);
    i += 2;
  }
}

// Bytes as "xx,xx,...", lines ending in '\' continued on the next line.
bool ReadHexBytes(LineReader& lines, std::string_view rest, std::string* data,
                  ValueFault* fault) {
  auto refuse = [&](const char* what) {
    *fault = ValueFault{what, 0};
    return false;
  };
  while (true) {
    const char* p = rest.data();
    const char* const end = p + rest.size();
    while (true) {
      while (p != end && IsBlank(*p)) ++p;
      if (p == end) return true;
      if (*p == '\\') {
        if (!TrimBlanks(std::string_view(p + 1, end - p - 1)).empty())
          return refuse("bad hex byte");
        break;  // continued on the next line
      }
      int value = HexDigit(*p++);
      if (value < 0) return refuse("bad hex byte");
      if (p != end && HexDigit(*p) >= 0) value = value * 16 + HexDigit(*p++);
      if (data != nullptr) data->push_back(static_cast<char>(value));
      while (p != end && IsBlank(*p)) ++p;
      if (p == end) return true;
      if (*p == ',') {
        ++p;
      } else if (*p != '\\') {
        return refuse("bad hex byte");
      }
    }
    if (!lines.Next(&rest)) return refuse("hex value continued past the end");
  }
}

// Reads up to eight hex digits, any case, into `*number`.
bool ReadHexNumber(std::string_view digits, std::uint32_t* number) {
  if (digits.empty() || digits.size() > 8) return false;
  *number = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    *number = (*number << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    std::size_t stop = at;
    while (stop < text.size() && text[stop] != '\\' && text[stop] != '"')
      ++stop;
    out.append(text, at, stop - at);
    if (stop == text.size()) break;
    out += '\\';
    out += text[stop];
    at = stop + 1;
  }
  out += '"';
}

void AppendHexByte(std::string& out, unsigned char byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 15];
}

}  // namespace

bool IsHeaderLine(std::string_view line) {
  return TrimBlanks(line) == Regedit4Header;
}

bool LineReader::Next(std::string_view* line) {
  if (ending_ == '\r') sawCarriageReturn_ = true;
  if (ending_ == '\n') sawLineFeed_ = true;
  return Read(line);
}

bool LineReader::Continue(std::string_view* line) {
  std::string_view next;
  if (!Read(&next)) return false;
  *line = std::string_view(
      line->data(),
      static_cast<std::size_t>(next.data() - line->data()) + next.size());
  return true;
}

std::string LineReader::lineEnd() const {
  bool carriageReturn = sawCarriageReturn_ || ending_ == '\r';
  bool lineFeed = sawLineFeed_ || ending_ == '\n';
  return lineFeed && !carriageReturn ? "\n" : "\r\n";
}

bool LineReader::Read(std::string_view* line) {
  ending_ = 0;
  if (begin_ == text_.size()) return false;
  const char* start = text_.data() + begin_;
  std::size_t left = text_.size() - begin_;
  const void* lf = std::memchr(start, '\n', left);
  std::size_t length =
      lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
         : left;
  const void* cr = std::memchr(start, '\r', length);
  std::size_t endSize = 0;
  if (cr) {
    length = static_cast<std::size_t>(static_cast<const char*>(cr) - start);
    ending_ = '\r';
    endSize = (length + 1 < left && start[length + 1] == '\n') ? 2 : 1;
  } else if (lf) {
    ending_ = '\n';
    endSize = 1;
  }
  *line = std::string_view(start, length);
  begin_ += length + endSize;
  ++number_;
  return true;
}

LineKind KindOfLine(std::string_view line, std::string_view* body) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  *body = line;
  if (line.empty()) return LineKind::Blank;
  switch (line.front()) {
    case ';':
      return LineKind::Comment;
    case '[':
      return LineKind::Key;
    case '"':
    case '@':
      return LineKind::Value;
    default:
      return LineKind::Other;
  }
}

bool ParseKeyLine(std::string_view body, KeyLine* key, const char** what) {
  body = TrimBlanks(body);
  if (body.size() < 2 || body.back() != ']') {
    *what = "unterminated key line";
    return false;
  }
  std::string_view path = body.substr(1, body.size() - 2);
  key->deletion = !path.empty() && path.front() == '-';
  if (key->deletion) path.remove_prefix(1);
  // Where the root's name ends, and whether any name is empty.
  const char* const first = path.data();
  const char* const last = first + path.size();
  const char* rootEnd = nullptr;
  bool empty = path.empty() || path.back() == '\\';
  for (const char* p = first;
       (p = static_cast<const char*>(std::memchr(p, '\\', last - p)));
       ++p) {
    if (rootEnd == nullptr) rootEnd = p;
    empty = empty || p == first || p[-1] == '\\';
  }
  if (rootEnd == nullptr) rootEnd = last;
  if (!IsRootKeyName(std::string_view(first, rootEnd - first))) {
    *what = "unknown root key";
    return false;
  }
  if (empty) {
    *what = "empty key name";
    return false;
  }
  key->path = path;
  return true;
}

bool ParseValueLine(LineReader& lines, std::string_view body, ValueLine* value,
                    ValueFault* fault) {
  auto refuse = [&](const char* what) {
    *fault = ValueFault{what, 0};
    return false;
  };
  std::string* name = value->checkOnly ? nullptr : &value->name;
  std::string* data = value->checkOnly ? nullptr : &value->data;
  value->name.clear();
  value->data.clear();
  value->deletion = false;
  std::size_t at = 0;
  if (body.front() == '@') {
    at = 1;
  } else if (!ReadQuoted(lines, &body, &at, name, fault)) {
    return false;
  }
  while (at < body.size() && IsBlank(body[at])) ++at;
  if (at >= body.size() || body[at] != '=') return refuse("no '=' after name");
  ++at;
  while (at < body.size() && IsBlank(body[at])) ++at;
  std::string_view rest = body.substr(at);
  std::uint32_t type = REG_SZ;
  bool read = true;
  switch (rest.empty() ? '\0' : rest.front()) {
    case '"': {
      std::size_t end = 0;
      if (!ReadQuoted(lines, &rest, &end, data, fault)) return false;
      if (!TrimBlanks(rest.substr(end)).empty())
        return refuse("text after string");
      if (data != nullptr) data->push_back('\0');
      break;
    }
    case 'd':
    case 'D': {
      std::uint32_t number = 0;
      if (!StartsWithFolded(rest, "dword:")) return refuse("unknown value data");
      if (!ReadHexNumber(TrimBlanks(rest.substr(6)), &number))
        return refuse("bad dword");
      for (int i = 0; data != nullptr && i < 4; ++i)
        data->push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
      type = REG_DWORD;
      break;
    }
    case 'h':
    case 'H':
      type = REG_BINARY;
      if (StartsWithFolded(rest, "hex:")) {
        rest.remove_prefix(4);
      } else if (StartsWithFolded(rest, "hex(")) {
        std::size_t close = rest.find(')');
        std::string_view digits =
            close == std::string_view::npos ? "" : rest.substr(4, close - 4);
        if (!ReadHexNumber(digits, &type) || close + 1 >= rest.size() ||
            rest[close + 1] != ':') {
          return refuse("bad hex type");
        }
        rest.remove_prefix(close + 2);
      } else {
        return refuse("unknown value data");
      }
      read = ReadHexBytes(lines, rest, data, fault);
      break;
    default:
      if (TrimBlanks(rest) != "-") return refuse("unknown value data");
      value->deletion = true;
  }
  value->type = type;
  return read;
}

void AppendKeyLine(std::string& out, std::string_view path, bool deletion,
                   std::string_view lineEnd) {
  out += deletion ? "[-" : "[";
  out += path;
  out += ']';
  out += lineEnd;
}

void AppendValueLines(std::string& out, const RegistryValue& value,
                      std::string_view lineEnd) {
  std::string_view data = value.data;
  const std::size_t start = out.size();
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  if (WrittenAsString(value.type, data)) {
    AppendQuoted(out, data.substr(0, data.size() - 1));
    out += lineEnd;
    return;
  }
  if (value.type == REG_DWORD && data.size() == 4) {
    out += "dword:";
    for (int i = 3; i >= 0; --i)
      AppendHexByte(out, static_cast<unsigned char>(data[i]));
    out += lineEnd;
    return;
  }
  if (value.type == REG_BINARY) {
    out += "hex:";
  } else {
    char digits[16];
    std::snprintf(digits, sizeof digits, "hex(%x):", value.type);
    out += digits;
  }
  std::size_t column = out.size() - start;
  for (std::size_t i = 0; i < data.size(); ++i) {
    AppendHexByte(out, static_cast<unsigned char>(data[i]));
    if (i + 1 == data.size()) break;
    out += ',';
    column += 3;
    if (column >= kWrapColumn) {
      out += '\\';
      out += lineEnd;
      out += kContinuationIndent;
      column = kContinuationIndent.size();
    }
  }
  out += lineEnd;
}

void AppendKeyBlock(std::string& out, const RegistryKey& key,
                    std::string_view path, std::string_view lineEnd) {
  AppendKeyLine(out, path, false, lineEnd);
  for (const RegistryValue& value : key.Values())
    AppendValueLines(out, value, lineEnd);
  out += lineEnd;
}

}  // namespace brindle
