#include "platform/hosted/forms/regedit4_codec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

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

// Hex digits by table: hex data is a good part of a file.
struct HexDigits {
  signed char of[256];
  constexpr HexDigits() : of() {
    for (int c = 0; c < 256; ++c) {
      of[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                              : -1);
    }
  }
};
constexpr HexDigits kHexDigit;
int HexDigit(char c) { return kHexDigit.of[static_cast<unsigned char>(c)]; }

const char* SkipBlanks(const char* p, const char* end) {
  while (p != end && IsBlank(*p)) ++p;
  return p;
}

bool AtLineEnd(const char* p, const char* end) {
  return p == end || *p == '\r' || *p == '\n';
}

std::string_view RestOfLine(const char* p, const char* end) {
  const char* stop = p;
  while (stop != end && *stop != '\r' && *stop != '\n') ++stop;
  return std::string_view(p, static_cast<std::size_t>(stop - p));
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Whether a value is written as "data": a string of type 1 ending in its one
// NUL. Line ends in it are written as they stand, as regedit writes them.
bool WrittenAsString(std::uint32_t type, std::string_view data) {
  if (type != REG_SZ || data.empty() || data.back() != '\0') return false;
  return std::memchr(data.data(), '\0', data.size() - 1) == nullptr;
}

// The first byte from `p` on that ends a run of plain quoted text: a quote,
// a backslash or a line end. Quoted text is most of a file: it is scanned
// sixteen bytes a step where SSE2 is there (every x86-64; BENCHMARKS.md
// says what that buys).
const char* EndOfPlain(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i escape = _mm_set1_epi8('\\');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i stops = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote),
                     _mm_cmpeq_epi8(bytes, escape)),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
    if (const int mask = _mm_movemask_epi8(stops))
      return p + __builtin_ctz(mask);
  }
#endif
  while (p != end && *p != '"' && *p != '\\' && *p != '\r' && *p != '\n') ++p;
  return p;
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
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendHexByte(std::string& out, unsigned char byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 15];
}

}  // namespace

bool LineReader::ReadHeader(LoadFault* fault) {
  std::string_view line;
  return (NextLine(&line) && TrimBlanks(line) == Regedit4Header) ||
         Refuse(fault, "no REGEDIT4 header");
}

void LineReader::EndLine(std::size_t at) {
  std::size_t size = 0;
  if (at < text_.size()) {
    if (text_[at] == '\r') {
      sawCarriageReturn_ = true;
      size = at + 1 < text_.size() && text_[at + 1] == '\n' ? 2 : 1;
    } else {
      sawLineFeed_ = true;
      size = 1;
    }
  }
  begin_ = at + size;
}

bool LineReader::NextLine(std::string_view* line) {
  if (begin_ == text_.size()) return false;
  lineStart_ = begin_;
  ++number_;
  const char* start = text_.data() + begin_;
  std::size_t left = text_.size() - begin_;
  const void* lf = std::memchr(start, '\n', left);
  std::size_t length =
      lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
         : left;
  const void* cr = std::memchr(start, '\r', length);
  if (cr)
    length = static_cast<std::size_t>(static_cast<const char*>(cr) - start);
  *line = std::string_view(start, length);
  EndLine(begin_ + length);
  return true;
}

bool LineReader::Next(LineKind* kind, std::string_view* body) {
  const std::size_t start = begin_;
  std::size_t at = begin_;
  while (at < text_.size() && IsBlank(text_[at])) ++at;
  const char first = at < text_.size() ? text_[at] : '\n';
  if (first == '"' || first == '@') {
    lineStart_ = start;
    ++number_;
    begin_ = at;
    *kind = LineKind::Value;
    *body = text_.substr(at, 1);
    return true;
  }
  std::string_view line;
  if (!NextLine(&line)) return false;
  *body = line.substr(at - start);
  *kind = first == ';'                     ? LineKind::Comment
          : first == '['                   ? LineKind::Key
          : first == '\r' || first == '\n' ? LineKind::Blank
                                           : LineKind::Other;
  return true;
}

bool LineReader::RefuseAt(LoadFault* fault, std::size_t line,
                          const char* what) const {
  *fault = LoadFault{LoadFault::kLine, line, what};
  return false;
}

bool LineReader::Refuse(LoadFault* fault, const char* what) const {
  return RefuseAt(fault, number_ != 0 ? number_ : 1, what);
}

// A value line is read straight from the text: its name, then its data by
// the reader for its kind. Quoted text runs on over line ends as the file
// has them, hex data over lines ending in '\'.
bool LineReader::ReadValue(ValueLine* value, LoadFault* fault) {
  const char* p = text_.data() + begin_;
  std::string* data = value->checkOnly ? nullptr : &value->data;
  value->name.clear();
  value->data.clear();
  value->deletion = false;
  value->type = REG_SZ;
  if (*p == '@') {
    ++p;
  } else if (!ReadString(&p, value->checkOnly ? nullptr : &value->name,
                         fault)) {
    return false;
  }
  p = SkipBlanks(p, end());
  if (AtLineEnd(p, end()) || *p != '=')
    return Refuse(fault, "no '=' after name");
  p = SkipBlanks(p + 1, end());
  const char kind = AtLineEnd(p, end()) ? '\0' : *p;
  if (kind == '"') {
    if (!ReadString(&p, data, fault)) return false;
    p = SkipBlanks(p, end());
    if (!AtLineEnd(p, end())) return Refuse(fault, "text after string");
    if (data != nullptr) data->push_back('\0');
  } else if (kind == 'd' || kind == 'D') {
    value->type = REG_DWORD;
    if (!ReadDword(&p, data, fault)) return false;
  } else if (kind == 'h' || kind == 'H') {
    if (!ReadHex(&p, &value->type, data, fault)) return false;
  } else {
    const std::string_view rest = RestOfLine(p, end());
    if (TrimBlanks(rest) != "-") return Refuse(fault, "unknown value data");
    value->deletion = true;
    p = rest.data() + rest.size();
  }
  EndLine(static_cast<std::size_t>(p - text_.data()));
  return true;
}

// The readers of a value's parts are inlined into ReadValue: called apart,
// they cost a load measurably more instructions (BENCHMARKS.md).

// Quoted text: the only escapes are a backslash before a backslash or a
// quote; its line ends are part of it, counted as the file's lines.
[[gnu::always_inline]] inline bool LineReader::ReadString(const char** at,
                                                          std::string* out,
                                                          LoadFault* fault) {
  const std::size_t firstLine = number_;
  for (const char* p = *at + 1;;) {
    const char* stop = EndOfPlain(p, end());
    if (out != nullptr) out->append(p, static_cast<std::size_t>(stop - p));
    p = stop;
    if (p == end()) return RefuseAt(fault, firstLine, "unterminated string");
    if (*p == '"') {
      *at = p + 1;
      return true;
    }
    if (*p == '\r' || *p == '\n') {
      const char* from = p;
      p += (*p == '\r' && end() - p > 1 && p[1] == '\n') ? 2 : 1;
      ++number_;
      if (out != nullptr) out->append(from, static_cast<std::size_t>(p - from));
    } else if (end() - p < 2 || p[1] == '\r' || p[1] == '\n') {
      return Refuse(fault, "unterminated string");
    } else if (p[1] != '\\' && p[1] != '"') {
      return Refuse(fault, "unknown escape in string");
    } else {
      if (out != nullptr) out->push_back(p[1]);
      p += 2;
    }
  }
}

// "dword:" and up to eight hex digits, any case, as four bytes.
[[gnu::always_inline]] inline bool LineReader::ReadDword(const char** p,
                                                         std::string* out,
                                                         LoadFault* fault) {
  const std::string_view rest = RestOfLine(*p, end());
  std::uint32_t number = 0;
  if (!EqualsAsciiFolded(rest.substr(0, 6), "dword:"))
    return Refuse(fault, "unknown value data");
  if (!ReadHexNumber(TrimBlanks(rest.substr(6)), &number))
    return Refuse(fault, "bad dword");
  for (int i = 0; out != nullptr && i < 4; ++i)
    out->push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
  *p = rest.data() + rest.size();
  return true;
}

// "hex:" (binary) or "hex(N):" (type N), then bytes as "xx,xx,...", lines
// ending in '\' going on on the next line.
[[gnu::always_inline]] inline bool LineReader::ReadHex(const char** at,
                                                       std::uint32_t* type,
                                                       std::string* out,
                                                       LoadFault* fault) {
  const char* p = *at;
  const std::string_view head(p, std::min<std::size_t>(end() - p, 4));
  *type = REG_BINARY;
  if (EqualsAsciiFolded(head, "hex:")) {
    p += 4;
  } else {
    const std::string_view rest = RestOfLine(p, end());
    const std::size_t close = rest.find(')');
    if (!EqualsAsciiFolded(head, "hex("))
      return Refuse(fault, "unknown value data");
    if (close == std::string_view::npos ||
        !ReadHexNumber(rest.substr(4, close - 4), type) ||
        close + 1 >= rest.size() || rest[close + 1] != ':') {
      return Refuse(fault, "bad hex type");
    }
    p += close + 2;
  }
  for (;;) {
    // Mostly two digits and a comma, as regedit writes them.
    for (int high, low; end() - p >= 3 && (high = HexDigit(p[0])) >= 0 &&
                        (low = HexDigit(p[1])) >= 0 && p[2] == ',';
         p += 3) {
      if (out != nullptr) out->push_back(static_cast<char>(high * 16 + low));
    }
    p = SkipBlanks(p, end());
    if (AtLineEnd(p, end())) break;
    if (*p == '\\') {
      p = SkipBlanks(p + 1, end());
      if (!AtLineEnd(p, end())) return Refuse(fault, "bad hex byte");
      if (p == end()) return Refuse(fault, "hex value continued past the end");
      EndLine(static_cast<std::size_t>(p - text_.data()));
      p = text_.data() + begin_;
      if (p == end()) return Refuse(fault, "hex value continued past the end");
      ++number_;
      continue;
    }
    int byte = HexDigit(*p++);
    if (byte < 0) return Refuse(fault, "bad hex byte");
    if (p != end() && HexDigit(*p) >= 0) byte = byte * 16 + HexDigit(*p++);
    if (out != nullptr) out->push_back(static_cast<char>(byte));
    p = SkipBlanks(p, end());
    if (AtLineEnd(p, end())) break;
    if (*p != ',' && *p != '\\') return Refuse(fault, "bad hex byte");
    if (*p == ',') ++p;
  }
  *at = p;
  return true;
}

bool LineReader::ReadKey(std::string_view body, KeyLine* key,
                         LoadFault* fault) {
  body = TrimBlanks(body);
  if (body.size() < 2 || body.back() != ']')
    return Refuse(fault, "unterminated key line");
  std::string_view path = body.substr(1, body.size() - 2);
  key->deletion = !path.empty() && path.front() == '-';
  if (key->deletion) path.remove_prefix(1);
  key->path = path;
  const std::string_view root = path.substr(0, path.find('\\'));
  if (std::none_of(
          std::begin(kRoots), std::end(kRoots),
          [&](std::string_view r) { return EqualsAsciiFolded(root, r); }))
    return Refuse(fault, "unknown root key");
  const bool empty = path.back() == '\\' || path.find("\\\\") != path.npos;
  return !empty || Refuse(fault, "empty key name");
}

void AppendKeyLine(std::string& out, std::string_view path, bool deletion,
                   std::string_view lineEnd) {
  out.append(deletion ? "[-" : "[").append(path).append("]").append(lineEnd);
}

void AppendValueRemoval(std::string& out, std::string_view name,
                        std::string_view lineEnd) {
  AppendQuoted(out, name);
  out.append("=-").append(lineEnd);
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
      out.append("\\").append(lineEnd).append(kContinuationIndent);
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
