#include "platform/hosted/forms/regedit4_codec.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr int LowerHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The same as a table: the written form's hex bytes are most of an export.
struct HexTable {
  signed char digit[256];
};
constexpr HexTable MakeHexTable() {
  HexTable table{};
  for (int c = 0; c < 256; ++c)
    table.digit[c] =
        static_cast<signed char>(LowerHexDigit(static_cast<char>(c)));
  return table;
}
constexpr HexTable kHexTable = MakeHexTable();
constexpr const signed char* kLowerHex = kHexTable.digit;

inline unsigned char Byte(const char* at) {
  return static_cast<unsigned char>(*at);
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithFolded(std::string_view text, std::string_view head) {
  return text.size() >= head.size() &&
         EqualsAsciiFolded(text.substr(0, head.size()), head);
}

// Whether a value is written as "data": a string of type 1 ending in its one
// NUL. Line ends in it are written as they stand, as regedit writes them.
bool WrittenAsString(std::uint32_t type, std::string_view data) {
  if (type != REG_SZ || data.empty() || data.back() != '\0') return false;
  return std::memchr(data.data(), '\0', data.size() - 1) == nullptr;
}

// The first byte from `p` on that is a quote, a backslash, a line end or
// (`nulStops`) a NUL. The one loop every quoted text goes through, sixteen
// bytes at a time where SSE2 is there: most of an export is quoted text.
const char* SkipPlain(const char* p, const char* end, bool nulStops) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i nul = nulStops ? _mm_setzero_si128() : quote;
  while (end - p >= 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i stops = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote),
                     _mm_cmpeq_epi8(bytes, backslash)),
        _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)),
            _mm_cmpeq_epi8(bytes, nul)));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    char c = *p;
    if (c == '"' || c == '\\' || c == '\r' || c == '\n' || (nulStops && !c))
      return p;
  }
  return p;
}

// Reads a quoted text starting at (*body)[*at] == '"'. One whose closing
// quote is not on its line goes on over the line end, whose bytes are part
// of it as the file has them: regedit writes string data as it stands.
// `*body` is then extended over the lines it took.
bool ReadQuoted(LineReader& lines, std::string_view* body, std::size_t* at,
                std::string* out, ValueFault* fault) {
  const std::size_t firstLine = lines.number();
  std::size_t i = *at + 1;
  while (true) {
    const char* text = body->data();
    const char* end = text + body->size();
    const char* stop = text + i;
    // Line ends cannot stand in a line: only a backslash or quote stop here.
    while ((stop = SkipPlain(stop, end, false)) < end && *stop != '"' &&
           *stop != '\\') {
      ++stop;
    }
    out->append(text + i, static_cast<std::size_t>(stop - (text + i)));
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
    char escaped = stop[1];
    if (escaped != '\\' && escaped != '"') {
      *fault = ValueFault{"unknown escape in string", 0};
      return false;
    }
    out->push_back(escaped);
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
    std::size_t i = 0;
    while (true) {
      while (i < rest.size() && IsBlank(rest[i])) ++i;
      if (i >= rest.size()) return true;
      if (rest[i] == '\\') {
        if (!TrimBlanks(rest.substr(i + 1)).empty())
          return refuse("bad hex byte");
        break;  // continued on the next line
      }
      int high = HexDigit(rest[i]);
      if (high < 0) return refuse("bad hex byte");
      int value = high;
      ++i;
      if (i < rest.size() && HexDigit(rest[i]) >= 0) {
        value = value * 16 + HexDigit(rest[i]);
        ++i;
      }
      data->push_back(static_cast<char>(value));
      while (i < rest.size() && IsBlank(rest[i])) ++i;
      if (i >= rest.size()) return true;
      if (rest[i] == ',') {
        ++i;
      } else if (rest[i] != '\\') {
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

void PutQuoted(TextBuffer& out, std::string_view text) {
  out.Put('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.Put('\\');
    out.Put(c);
  }
  out.Put('"');
}

void PutHexByte(TextBuffer& out, unsigned char byte) {
  out.Put(kHexDigits[byte >> 4]);
  out.Put(kHexDigits[byte & 15]);
}

// The fast check of written value lines, on raw bytes.
class WrittenValueMatcher {
 public:
  WrittenValueMatcher(const char* end, std::string_view lineEnd,
                      ValueLine* value)
      : end_(end), lineEnd_(lineEnd), value_(value) {}

  const char* Match(const char* line, std::size_t* lines) {
    lines_ = 1;
    const char* p = line + 1;
    if (value_ != nullptr) {
      value_->name.clear();
      value_->data.clear();
      value_->deletion = false;
    }
    if (*line == '"') {
      if (!SkipQuoted(&p, false, Name()) || p == line + 2) return nullptr;
    } else if (*line != '@') {
      return nullptr;
    }
    if (p == end_ || *p != '=') return nullptr;
    ++p;
    if (p == end_) return nullptr;
    if (*p == '"') {
      ++p;
      if (!SkipQuoted(&p, true, Data())) return nullptr;
      if (value_ != nullptr) {
        value_->data.push_back('\0');
        value_->type = REG_SZ;
      }
    } else if (*p == 'd') {
      if (end_ - p < 14 || p[1] != 'w' || p[2] != 'o' || p[3] != 'r' ||
          p[4] != 'd' || p[5] != ':') {
        return nullptr;
      }
      std::uint32_t number = 0;
      for (int i = 6; i < 14; ++i) {
        if (kLowerHex[Byte(p + i)] < 0) return nullptr;
        number =
            (number << 4) | static_cast<std::uint32_t>(kLowerHex[Byte(p + i)]);
      }
      if (value_ != nullptr) {
        for (int i = 0; i < 4; ++i)
          value_->data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
        value_->type = REG_DWORD;
      }
      p += 14;
    } else if (!MatchHex(line, &p)) {
      return nullptr;
    }
    if (!IsLineEnd(p)) return nullptr;
    *lines = lines_;
    return p + lineEnd_.size();
  }

 private:
  bool IsLineEnd(const char* p) const {
    if (lineEnd_.size() == 1) return p < end_ && *p == '\n';
    return end_ - p >= 2 && p[0] == '\r' && p[1] == '\n';
  }

  std::string* Name() const { return value_ ? &value_->name : nullptr; }
  std::string* Data() const { return value_ ? &value_->data : nullptr; }

  // Moves past a quoted text whose opening quote is behind `*at`, its text
  // into `*out` if given; a line end inside is left to the full reader.
  bool SkipQuoted(const char** at, bool nulStops, std::string* out) const {
    const char* p = *at;
    const char* run = p;
    while ((p = SkipPlain(p, end_, nulStops)) < end_) {
      if (out != nullptr) out->append(run, static_cast<std::size_t>(p - run));
      if (*p == '"') {
        *at = p + 1;
        return true;
      }
      if (*p != '\\' || end_ - p < 2 || (p[1] != '\\' && p[1] != '"'))
        return false;
      if (out != nullptr) out->push_back(p[1]);
      p += 2;
      run = p;
    }
    return false;
  }

  // "hex:" or "hex(type):", then the bytes, wrapped where the writer wraps.
  bool MatchHex(const char* line, const char** at) {
    const char* p = *at;
    std::uint32_t type = REG_BINARY;
    if (end_ - p < 4 || p[0] != 'h' || p[1] != 'e' || p[2] != 'x') return false;
    p += 3;
    if (*p == '(') {
      const char* digits = ++p;
      type = 0;
      for (; p < end_ && LowerHexDigit(*p) >= 0; ++p) {
        type = (type << 4) | static_cast<std::uint32_t>(LowerHexDigit(*p));
      }
      std::size_t count = static_cast<std::size_t>(p - digits);
      if (count == 0 || count > 8 || (count > 1 && *digits == '0') ||
          type == REG_BINARY || end_ - p < 1 || *p != ')') {
        return false;
      }
      ++p;
    }
    if (p == end_ || *p != ':') return false;
    ++p;
    // Only strings of type 1 can be written two ways: these are gathered
    // byte by byte to be told apart; everything else needs only its form,
    // unless it is being read.
    std::string bytes;
    std::string* out = value_ != nullptr ? &value_->data
                       : type == REG_SZ  ? &bytes
                                         : nullptr;
    std::size_t count = 0;
    // Bytes that fit before the comma that reaches the wrap column.
    std::size_t column = static_cast<std::size_t>(p - line);
    std::size_t onLine =
        column >= kWrapColumn ? 1 : (kWrapColumn - column + 2) / 3;
    for (bool more = !IsLineEnd(p); more;) {
      for (std::size_t i = 0; more && i < onLine; ++i) {
        if (end_ - p < 3 || (kLowerHex[Byte(p)] | kLowerHex[Byte(p + 1)]) < 0)
          return false;
        if (out != nullptr)
          out->push_back(static_cast<char>(kLowerHex[Byte(p)] * 16 +
                                           kLowerHex[Byte(p + 1)]));
        ++count;
        p += 2;
        more = *p == ',';
        if (!more && !IsLineEnd(p)) return false;
        p += more ? 1 : 0;
      }
      if (!more) break;
      if (p == end_ || *p != '\\') return false;
      ++p;
      if (!IsLineEnd(p)) return false;
      p += lineEnd_.size();
      ++lines_;
      if (end_ - p < 2 || p[0] != ' ' || p[1] != ' ') return false;
      p += kContinuationIndent.size();
      onLine = (kWrapColumn - kContinuationIndent.size() + 2) / 3;
    }
    // What the writer gives another form: four bytes of type 4 (a dword) and
    // a plain string of type 1.
    if (type == REG_DWORD && count == 4) return false;
    if (type == REG_SZ && WrittenAsString(type, out != nullptr ? *out : bytes))
      return false;
    if (value_ != nullptr) value_->type = type;
    *at = p;
    return true;
  }

  const char* end_;
  std::string_view lineEnd_;
  ValueLine* value_;
  std::size_t lines_ = 1;
};

}  // namespace

bool IsHeaderLine(std::string_view line) {
  return TrimBlanks(line) == Regedit4Header;
}

bool IsRootKeyName(std::string_view name) {
  for (std::string_view root : kRoots) {
    if (EqualsAsciiFolded(name, root)) return true;
  }
  return false;
}

bool LineReader::Next(std::string_view* line) {
  CountLineEnd();
  return Read(line);
}

bool LineReader::Continue(std::string_view* line) {
  ending_ = kNone;  // inside a string: its data, not the file's line end
  std::string_view next;
  if (!Read(&next)) return false;
  *line = std::string_view(
      line->data(),
      static_cast<std::size_t>(next.data() - line->data()) + next.size());
  return true;
}

void LineReader::SkipTo(const char* at, std::size_t lines) {
  CountLineEnd();
  std::size_t to = static_cast<std::size_t>(at - text_.data());
  // The skipped lines were checked to end as the file's first line did.
  if (to > begin_) {
    const char* last = at - 1;
    ending_ = *last == '\n' && (to - begin_ < 2 || last[-1] != '\r')
                  ? kLineFeed
                  : kCarriageReturn;
    endSize_ = (*last == '\n' && to - begin_ >= 2 && last[-1] == '\r') ? 2 : 1;
  }
  begin_ = to;
  number_ += lines;
}

bool LineReader::EndedIn(std::string_view lineEnd) const {
  return endSize_ == lineEnd.size() &&
         text_.compare(begin_ - endSize_, endSize_, lineEnd) == 0;
}

std::string LineReader::lineEnd() {
  CountLineEnd();
  return sawLineFeed_ && !sawCarriageReturn_ ? "\n" : "\r\n";
}

void LineReader::CountLineEnd() {
  if (ending_ == kCarriageReturn) sawCarriageReturn_ = true;
  if (ending_ == kLineFeed) sawLineFeed_ = true;
  ending_ = kNone;
}

bool LineReader::Read(std::string_view* line) {
  if (begin_ == text_.size()) return false;
  const char* start = text_.data() + begin_;
  std::size_t left = text_.size() - begin_;
  const void* lf = std::memchr(start, '\n', left);
  std::size_t length =
      lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
         : left;
  const void* cr = std::memchr(start, '\r', length);
  if (cr)
    length = static_cast<std::size_t>(static_cast<const char*>(cr) - start);
  endSize_ = 0;
  if (cr) {
    ending_ = kCarriageReturn;
    endSize_ = (length + 1 < left && start[length + 1] == '\n') ? 2 : 1;
  } else if (lf) {
    ending_ = kLineFeed;
    endSize_ = 1;
  }
  *line = std::string_view(start, length);
  begin_ += length + endSize_;
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
  // One pass: where the root's name ends, and whether any name is empty.
  std::size_t rootEnd = path.size();
  bool empty = path.empty() || path.back() == '\\';
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '\\') continue;
    if (rootEnd == path.size()) rootEnd = i;
    empty = empty || i == 0 || path[i - 1] == '\\';
  }
  if (!IsRootKeyName(path.substr(0, rootEnd))) {
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
  value->name.clear();
  value->data.clear();
  value->deletion = false;
  std::size_t at = 0;
  if (body.front() == '@') {
    at = 1;
  } else if (!ReadQuoted(lines, &body, &at, &value->name, fault)) {
    return false;
  }
  while (at < body.size() && IsBlank(body[at])) ++at;
  if (at >= body.size() || body[at] != '=') return refuse("no '=' after name");
  ++at;
  while (at < body.size() && IsBlank(body[at])) ++at;
  std::string_view rest = body.substr(at);
  if (TrimBlanks(rest) == "-") {
    value->deletion = true;
    return true;
  }
  if (!rest.empty() && rest.front() == '"') {
    std::size_t end = 0;
    if (!ReadQuoted(lines, &rest, &end, &value->data, fault)) return false;
    if (!TrimBlanks(rest.substr(end)).empty())
      return refuse("text after string");
    value->data.push_back('\0');
    value->type = REG_SZ;
    return true;
  }
  if (StartsWithFolded(rest, "dword:")) {
    std::uint32_t number = 0;
    if (!ReadHexNumber(TrimBlanks(rest.substr(6)), &number))
      return refuse("bad dword");
    for (int i = 0; i < 4; ++i) {
      value->data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
    }
    value->type = REG_DWORD;
    return true;
  }
  value->type = REG_BINARY;
  if (StartsWithFolded(rest, "hex:")) {
    rest.remove_prefix(4);
  } else if (StartsWithFolded(rest, "hex(")) {
    std::size_t close = rest.find(')');
    std::string_view digits =
        close == std::string_view::npos ? "" : rest.substr(4, close - 4);
    if (!ReadHexNumber(digits, &value->type) || close + 1 >= rest.size() ||
        rest[close + 1] != ':') {
      return refuse("bad hex type");
    }
    rest.remove_prefix(close + 2);
  } else {
    return refuse("unknown value data");
  }
  return ReadHexBytes(lines, rest, &value->data, fault);
}

const char* MatchWrittenValue(const char* p, const char* end,
                              std::string_view lineEnd, std::size_t* lines,
                              ValueLine* value) {
  if (p == end) return nullptr;
  return WrittenValueMatcher(end, lineEnd, value).Match(p, lines);
}

void TextBuffer::Ensure(std::size_t more) {
  if (size_ + more <= capacity_) return;
  std::size_t capacity = std::max(size_ + more, capacity_ * 2 + 4096);
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

void TextBuffer::Put(std::string_view text) {
  std::memcpy(data_.get() + size_, text.data(), text.size());
  size_ += text.size();
}

void WriteKeyLine(TextBuffer& out, std::string_view path, bool deletion,
                  std::string_view lineEnd) {
  out.Ensure(path.size() + 3 + lineEnd.size());
  out.Put(deletion ? "[-" : "[");
  out.Put(path);
  out.Put(']');
  out.Put(lineEnd);
}

void WriteValueLines(TextBuffer& out, const RegistryValue& value,
                     std::string_view lineEnd) {
  std::string_view data = value.data;
  // The most any form takes: names and strings doubled by escapes, three
  // characters a byte and a continuation every twenty bytes.
  out.Ensure(32 + 2 * value.name.size() + 4 * data.size() +
             (data.size() / 20 + 2) * (lineEnd.size() + 3));
  std::size_t start = out.size();
  if (value.name.empty()) {
    out.Put('@');
  } else {
    PutQuoted(out, value.name);
  }
  out.Put('=');
  if (WrittenAsString(value.type, data)) {
    PutQuoted(out, data.substr(0, data.size() - 1));
    out.Put(lineEnd);
    return;
  }
  if (value.type == REG_DWORD && data.size() == 4) {
    out.Put("dword:");
    for (int i = 3; i >= 0; --i)
      PutHexByte(out, static_cast<unsigned char>(data[i]));
    out.Put(lineEnd);
    return;
  }
  if (value.type == REG_BINARY) {
    out.Put("hex:");
  } else {
    out.Put("hex(");
    char digits[9];
    int count = 0;
    std::uint32_t type = value.type;
    do {
      digits[count++] = kHexDigits[type & 15];
      type >>= 4;
    } while (type != 0);
    while (count > 0) out.Put(digits[--count]);
    out.Put("):");
  }
  std::size_t column = out.size() - start;
  for (std::size_t i = 0; i < data.size(); ++i) {
    PutHexByte(out, static_cast<unsigned char>(data[i]));
    if (i + 1 == data.size()) break;
    out.Put(',');
    column += 3;
    if (column >= kWrapColumn) {
      out.Put('\\');
      out.Put(lineEnd);
      out.Put(kContinuationIndent);
      column = kContinuationIndent.size();
    }
  }
  out.Put(lineEnd);
}

}  // namespace brindle
