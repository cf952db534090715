#include "platform/hosted/export_text.h"

#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/hosted/registry.h"

namespace brindle {
namespace {

constexpr const char* kRoots[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
    "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

// How the bytes of a quoted name or string are told apart. Line ends are
// plain there: regedit writes names and strings as they stand.
enum : unsigned char { kPlain, kQuote, kBackslash, kStop };

struct ByteTables {
  unsigned char inName[256];
  unsigned char inString[256];  // a NUL is no plain string's
  signed char lowerHex[256];
  signed char anyHex[256];
};

constexpr ByteTables MakeTables() {
  ByteTables tables{};
  for (int c = 0; c < 256; ++c) {
    unsigned char kind = kPlain;
    if (c == '"') kind = kQuote;
    if (c == '\\') kind = kBackslash;
    tables.inName[c] = kind;
    tables.inString[c] = c == 0 ? static_cast<unsigned char>(kStop) : kind;
    signed char lower = -1;
    signed char any = -1;
    if (c >= '0' && c <= '9') lower = any = static_cast<signed char>(c - '0');
    if (c >= 'a' && c <= 'f')
      lower = any = static_cast<signed char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') any = static_cast<signed char>(c - 'A' + 10);
    tables.lowerHex[c] = lower;
    tables.anyHex[c] = any;
  }
  return tables;
}

constexpr ByteTables kTables = MakeTables();

inline unsigned char Byte(const char* at) {
  return static_cast<unsigned char>(*at);
}

}  // namespace

bool IsRootKeyName(std::string_view name) {
  for (const char* root : kRoots) {
    if (EqualsAsciiFolded(name, root)) return true;
  }
  return false;
}

namespace {

// The last backslash in `text`, or null.
const char* LastBackslash(const char* text, std::size_t size) {
  for (const char* p = text + size; p != text;) {
    if (*--p == '\\') return p;
  }
  return nullptr;
}

}  // namespace

// One pass over the text: every line is checked against the form the writer
// gives it, and each key line is indexed. Anything else sends the caller to
// the full reader, which accepts every form regedit reads.
class ExportScanner {
 public:
  ExportScanner(const char* text, std::size_t size, ExportText& out)
      : base_(text), end_(text + size), out_(out) {}

  bool Scan() {
    static constexpr char kHeader[] = "REGEDIT4";
    constexpr std::size_t kHeaderSize = sizeof kHeader - 1;
    std::size_t size = static_cast<std::size_t>(end_ - base_);
    if (size < kHeaderSize + 1 || std::memcmp(base_, kHeader, kHeaderSize) != 0)
      return false;
    const char* p = base_ + kHeaderSize;
    if (p[0] == '\n') {
      crlf_ = false;
    } else if (size >= kHeaderSize + 2 && p[0] == '\r' && p[1] == '\n') {
      crlf_ = true;
    } else {
      return false;
    }
    endSize_ = crlf_ ? 2 : 1;
    out_.lineEnd_ = crlf_ ? "\r\n" : "\n";
    p += endSize_;
    // A large text is checked in two halves at once, split where a key's
    // blank line starts; the keys are then linked in one pass.
    const char* split =
        size >= kSplitSize ? FindKeyStart(base_ + size / 2) : nullptr;
    // Room for as many key lines as a file of that size is likely to hold.
    out_.keys_.reserve(size / kTypicalKeyBytes);
    if (split == nullptr) {
      return ScanPiece(p, end_, &out_.keys_) && LinkKeys();
    }
    std::vector<ExportText::KeyLine> later;
    later.reserve(static_cast<std::size_t>(end_ - split) / kTypicalKeyBytes);
    bool laterOk = false;
    auto scanLater = [&] { laterOk = ScanPiece(split, end_, &later); };
    std::thread worker;
    try {
      worker = std::thread(scanLater);
    } catch (const std::system_error&) {
      scanLater();  // no thread to be had: one half after the other
    }
    bool ok = ScanPiece(p, split, &out_.keys_);
    if (worker.joinable()) worker.join();
    if (!ok || !laterOk) return false;
    if (out_.keys_.size() + later.size() >= ExportText::kTop) return false;
    out_.keys_.insert(out_.keys_.end(), later.begin(), later.end());
    return LinkKeys();
  }

 private:
  static constexpr std::size_t kSplitSize = 8u << 20;
  static constexpr std::size_t kTypicalKeyBytes = 128;

  struct Open {
    std::uint32_t key;
    std::size_t pathLength;
  };

  // The first blank line at or after `from` that a key line follows, or
  // null. In an export as written, that is only ever between two keys.
  const char* FindKeyStart(const char* from) const {
    std::string_view rest(from, static_cast<std::size_t>(end_ - from));
    std::string_view mark =
        crlf_ ? std::string_view("\r\n\r\n[", 5) : std::string_view("\n\n[", 3);
    std::size_t at = rest.find(mark);
    if (at == std::string_view::npos) return nullptr;
    return from + at + endSize_;
  }

  // Checks every line from the blank line at `p` up to `limit` (the end:
  // the closing blank line too), listing the key lines in `keys`.
  bool ScanPiece(const char* p, const char* limit,
                 std::vector<ExportText::KeyLine>* keys) const {
    while (p != limit) {
      if (!IsLineEnd(p)) return false;
      std::size_t start = static_cast<std::size_t>(p - base_);
      p += endSize_;
      if (p == end_ && limit == end_) return true;
      if (!ScanKeyLine(start, &p, keys)) return false;
      while (p < end_ && (*p == '"' || *p == '@')) {
        if (!ScanValueLine(&p)) return false;
      }
    }
    return limit != end_;  // the end needs its closing blank line
  }

  // Links the listed key lines: each one's parent must be the key line
  // before it or one above that, spelled the same, so a key's lines and
  // all below it follow it unbroken.
  bool LinkKeys() {
    std::vector<Open> chain;
    const char* previousPath = nullptr;
    std::uint32_t count = out_.keyCount();
    for (std::uint32_t key = 0; key < count; ++key) {
      const ExportText::KeyLine& line = out_.keys_[key];
      const char* path = base_ + line.start + endSize_ + 1;
      std::size_t pathLength = line.valuesAt - 2 * endSize_ - 2;
      std::size_t nameAt = line.nameAt - endSize_ - 1;
      std::size_t parentLength = nameAt == 0 ? 0 : nameAt - 1;
      while (!chain.empty() && chain.back().pathLength > parentLength) {
        out_.keys_[chain.back().key].subtreeEnd = key;
        chain.pop_back();
      }
      if (nameAt == 0) {
        if (!IsRootKeyName(std::string_view(path, pathLength))) return false;
      } else if (chain.empty() || chain.back().pathLength != parentLength ||
                 std::memcmp(previousPath, path, parentLength) != 0) {
        return false;
      }
      chain.push_back(Open{key, pathLength});
      previousPath = path;
    }
    for (const Open& open : chain) out_.keys_[open.key].subtreeEnd = count;
    out_.bodyEnd_ = static_cast<std::size_t>(end_ - base_) - endSize_;
    return true;
  }

  bool IsLineEnd(const char* p) const {
    if (crlf_) return end_ - p >= 2 && p[0] == '\r' && p[1] == '\n';
    return p < end_ && p[0] == '\n';
  }

  // "[path]" with a name after its last backslash; its place among the
  // keys is checked when they are linked.
  bool ScanKeyLine(std::size_t start, const char** at,
                   std::vector<ExportText::KeyLine>* keys) const {
    const char* p = *at;
    if (p == end_ || *p != '[') return false;
    const void* found =
        std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
    if (found == nullptr) return false;
    const char* newline = static_cast<const char*>(found);
    const char* stop = newline;
    if (crlf_) {
      if (stop[-1] != '\r') return false;
      --stop;
    }
    if (std::memchr(p, '\r', static_cast<std::size_t>(stop - p)) != nullptr)
      return false;
    if (stop - p < 3 || stop[-1] != ']' || p[1] == '-') return false;
    const char* path = p + 1;
    std::size_t pathLength = static_cast<std::size_t>(stop - 1 - path);
    const char* slash = LastBackslash(path, pathLength);
    std::size_t nameAt = slash ? static_cast<std::size_t>(slash - path) + 1 : 0;
    if (nameAt == pathLength || nameAt == 1) return false;
    if (keys->size() >= ExportText::kTop - 1) return false;
    const char* keyStart = base_ + start;
    keys->push_back(ExportText::KeyLine{
        start, static_cast<std::uint32_t>(newline + 1 - keyStart),
        static_cast<std::uint32_t>(path + nameAt - keyStart), 0});
    *at = newline + 1;
    return true;
  }

  // The first byte from `p` on that is not plain inside quotes.
  const char* SkipPlain(const char* p, bool nulStops) const {
#if defined(__SSE2__)
    // Sixteen bytes at a time while there are as many.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i nul = nulStops ? _mm_setzero_si128() : quote;
    while (end_ - p >= 16) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i stops = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, quote),
                       _mm_cmpeq_epi8(bytes, backslash)),
          _mm_cmpeq_epi8(bytes, nul));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
      if (mask != 0) return p + __builtin_ctz(mask);
      p += 16;
    }
#endif
    const unsigned char* kinds = nulStops ? kTables.inString : kTables.inName;
    while (p < end_ && kinds[Byte(p)] == kPlain) ++p;
    return p;
  }

  // Moves past a quoted text whose opening quote is behind `*at`.
  bool SkipQuoted(const char** at, const unsigned char* kinds) const {
    const char* p = *at;
    while (p < end_) {
      p = SkipPlain(p, kinds == kTables.inString);
      if (p == end_) break;
      unsigned char kind = kinds[Byte(p)];
      if (kind == kPlain) {
        ++p;
      } else if (kind == kQuote) {
        *at = p + 1;
        return true;
      } else if (kind == kBackslash && end_ - p >= 2 &&
                 (p[1] == '\\' || p[1] == '"')) {
        p += 2;
      } else {
        return false;
      }
    }
    return false;
  }

  bool ScanValueLine(const char** at) const {
    const char* line = *at;
    const char* p = line + 1;
    if (*line == '"') {
      if (!SkipQuoted(&p, kTables.inName) || p == line + 2) return false;
    }
    if (p == end_ || *p != '=') return false;
    ++p;
    if (p == end_) return false;
    if (*p == '"') {
      ++p;
      if (!SkipQuoted(&p, kTables.inString)) return false;
    } else if (*p == 'd') {
      if (end_ - p < 14 || std::memcmp(p, "dword:", 6) != 0) return false;
      for (int i = 6; i < 14; ++i) {
        if (kTables.lowerHex[Byte(p + i)] < 0) return false;
      }
      p += 14;
    } else if (!ScanHexValue(line, &p)) {
      return false;
    }
    if (!IsLineEnd(p)) return false;
    *at = p + endSize_;
    return true;
  }

  // "hex:" or "hex(type):", then the bytes, wrapped where the writer wraps.
  bool ScanHexValue(const char* line, const char** at) const {
    const char* p = *at;
    std::uint32_t type = 3;
    if (end_ - p >= 4 && std::memcmp(p, "hex:", 4) == 0) {
      p += 4;
    } else if (end_ - p >= 4 && std::memcmp(p, "hex(", 4) == 0) {
      p += 4;
      const char* digits = p;
      type = 0;
      while (p < end_ && kTables.lowerHex[Byte(p)] >= 0) {
        type =
            (type << 4) | static_cast<std::uint32_t>(kTables.lowerHex[Byte(p)]);
        ++p;
      }
      std::size_t count = static_cast<std::size_t>(p - digits);
      if (count == 0 || count > 8 || (count > 1 && *digits == '0') ||
          type == 3 || end_ - p < 2 || p[0] != ')' || p[1] != ':') {
        return false;
      }
      p += 2;
    } else {
      return false;
    }
    const char* bytes = p;
    std::size_t count = 0;
    if (!IsLineEnd(p)) {
      // regedit's count: the prefix, then three a byte; the comma that
      // reaches column 77 ends the line with a continuation.
      std::size_t column = static_cast<std::size_t>(p - line);
      std::size_t onLine = column >= 77 ? 1 : (77 - column + 2) / 3;
      while (true) {
        for (std::size_t i = 0; i < onLine; ++i) {
          if (end_ - p < 3 ||
              (kTables.lowerHex[Byte(p)] | kTables.lowerHex[Byte(p + 1)]) < 0) {
            return false;
          }
          ++count;
          p += 2;
          if (*p != ',') {
            if (!IsLineEnd(p)) return false;
            return FinishHexValue(type, count, bytes, p, at);
          }
          ++p;
        }
        if (p == end_ || *p != '\\') return false;
        ++p;
        if (!IsLineEnd(p)) return false;
        p += endSize_;
        if (end_ - p < 2 || p[0] != ' ' || p[1] != ' ') return false;
        p += 2;
        onLine = 25;  // from column 2
      }
    }
    return FinishHexValue(type, count, bytes, p, at);
  }

  // Refuses the values the writer gives another form: four bytes of type 4
  // (a dword) and a plain string of type 1.
  bool FinishHexValue(std::uint32_t type, std::size_t count, const char* bytes,
                      const char* end, const char** at) const {
    if (type == 4 && count == 4) return false;
    if (type == 1 && count > 0) {
      bool plain = true;
      unsigned byte = 0;
      for (const char* p = bytes; p < end; ++p) {
        if (kTables.lowerHex[Byte(p)] < 0) continue;
        byte = static_cast<unsigned>(kTables.lowerHex[Byte(p)] * 16 +
                                     kTables.lowerHex[Byte(p + 1)]);
        ++p;
        if (p + 1 < end && byte == 0) plain = false;
      }
      if (plain && byte == 0) return false;
    }
    *at = end;
    return true;
  }

  const char* base_;
  const char* end_;
  ExportText& out_;
  bool crlf_ = true;
  std::size_t endSize_ = 2;
};

std::unique_ptr<ExportText> ExportText::Scan(FileBytes& bytes) {
  std::unique_ptr<ExportText> text(new ExportText);
  if (!ExportScanner(bytes.data(), bytes.size(), *text).Scan()) return nullptr;
  text->bytes_ = std::move(bytes);
  return text;
}

std::string_view ExportText::Name(std::uint32_t key) const {
  const KeyLine& line = keys_[key];
  const char* start = bytes_.data() + line.start;
  // The name runs to the "]" before the line end.
  std::size_t end = line.valuesAt - lineEnd_.size() - 1;
  return std::string_view(start + line.nameAt, end - line.nameAt);
}

std::string_view ExportText::ValueLines(std::uint32_t key) const {
  const KeyLine& line = keys_[key];
  std::size_t from = line.start + line.valuesAt;
  return std::string_view(bytes_.data() + from, StartOf(key + 1) - from);
}

std::string_view ExportText::OwnLines(std::uint32_t key) const {
  std::size_t start = keys_[key].start;
  return std::string_view(bytes_.data() + start, StartOf(key + 1) - start);
}

std::string_view ExportText::Subtree(std::uint32_t key) const {
  const KeyLine& line = keys_[key];
  return std::string_view(bytes_.data() + line.start,
                          StartOf(line.subtreeEnd) - line.start);
}

namespace {

// Appends the text of a quoted part whose opening quote is behind `*at`,
// moving `*at` past its closing quote.
void Unquote(const char** at, std::string* out) {
  const char* p = *at;
  while (true) {
    const char* run = p;
    while (*p != '"' && *p != '\\') ++p;
    out->append(run, static_cast<std::size_t>(p - run));
    if (*p == '"') break;
    out->push_back(p[1]);
    p += 2;
  }
  *at = p + 1;
}

inline unsigned HexByte(const char* at) {
  return static_cast<unsigned>(kTables.anyHex[Byte(at)] * 16 +
                               kTables.anyHex[Byte(at + 1)]);
}

}  // namespace

bool ValueLineDecoder::Next(std::string* out, std::size_t* nameSize,
                            std::uint32_t* type) {
  if (lines_.empty()) return false;
  const char* start = lines_.data();
  const char* p = start;
  std::size_t before = out->size();
  ++p;
  if (*start == '"') Unquote(&p, out);
  *nameSize = out->size() - before;
  std::string* data = out;
  ++p;  // '='
  if (*p == '"') {
    ++p;
    Unquote(&p, data);
    data->push_back('\0');
    *type = 1;
  } else if (*p == 'd') {
    std::uint32_t number = 0;
    for (int i = 6; i < 14; ++i) {
      number = (number << 4) |
               static_cast<std::uint32_t>(kTables.anyHex[Byte(p + i)]);
    }
    for (int i = 0; i < 4; ++i) {
      data->push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
    }
    *type = 4;
    p += 14;
  } else {
    p += 3;  // "hex"
    *type = 3;
    if (*p == '(') {
      *type = 0;
      for (++p; *p != ')'; ++p) {
        *type =
            (*type << 4) | static_cast<std::uint32_t>(kTables.anyHex[Byte(p)]);
      }
      ++p;
    }
    ++p;  // ':'
    const char lineStart = lineEnd_.front();
    while (*p != lineStart) {
      data->push_back(static_cast<char>(HexByte(p)));
      p += 2;
      if (*p != ',') break;
      ++p;
      if (*p == '\\') p += 1 + lineEnd_.size() + 2;
    }
  }
  p += lineEnd_.size();
  lines_.remove_prefix(static_cast<std::size_t>(p - start));
  return true;
}

}  // namespace brindle
