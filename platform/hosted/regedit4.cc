#include "platform/hosted/regedit4.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace brindle {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
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

// Hands out the lines of a text one at a time, whatever their line ends.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view* line) {
    CountLineEnd();
    return Read(line);
  }
  /// Extends `*line`, a view that ends where the last line handed out
  /// ends, over that line's end and the next line; false at the end.
  bool Continue(std::string_view* line) {
    ending_ = kNone;  // inside a string: its data, not the file's line end
    std::string_view next;
    if (!Read(&next)) return false;
    *line = std::string_view(
        line->data(),
        static_cast<std::size_t>(next.data() - line->data()) + next.size());
    return true;
  }
  std::size_t number() const { return number_; }
  /// "\n" when every line so far ended in a lone LF, else "\r\n".
  std::string lineEnd() {
    CountLineEnd();
    return sawLineFeed_ && !sawCarriageReturn_ ? "\n" : "\r\n";
  }

 private:
  enum Ending { kNone, kCarriageReturn, kLineFeed };

  // The last line's end counts once the line is known not to be inside a
  // string.
  void CountLineEnd() {
    if (ending_ == kCarriageReturn) sawCarriageReturn_ = true;
    if (ending_ == kLineFeed) sawLineFeed_ = true;
    ending_ = kNone;
  }

  bool Read(std::string_view* line) {
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
    std::size_t skip = 0;
    if (cr) {
      ending_ = kCarriageReturn;
      skip = (length + 1 < left && start[length + 1] == '\n') ? 2 : 1;
    } else if (lf) {
      ending_ = kLineFeed;
      skip = 1;
    }
    *line = std::string_view(start, length);
    begin_ += length + skip;
    ++number_;
    return true;
  }

  std::string_view text_;
  std::size_t begin_ = 0;
  Ending ending_ = kNone;
  bool sawCarriageReturn_ = false;
  bool sawLineFeed_ = false;
  std::size_t number_ = 0;
};

class Reader {
 public:
  Reader(LineReader& lines, Registry& registry)
      : lines_(lines), registry_(registry) {}

  bool Read(Regedit4Fault* fault) {
    std::string_view line;
    if (!lines_.Next(&line) || TrimBlanks(line) != kHeader) {
      return Fail(fault, "no REGEDIT4 header");
    }
    while (lines_.Next(&line)) {
      std::string_view body = line;
      while (!body.empty() && IsBlank(body.front())) body.remove_prefix(1);
      if (body.empty() || body.front() == ';') continue;
      bool ok = false;
      if (body.front() == '[') {
        ok = ReadKeyLine(body);
      } else if (body.front() == '"' || body.front() == '@') {
        ok = ReadValueLine(body);
      } else {
        what_ = "not a key, value or comment line";
      }
      if (!ok) return Fail(fault, what_);
    }
    FlushValues();
    registry_.lineEnd = lines_.lineEnd();
    return true;
  }

 private:
  bool Fail(Regedit4Fault* fault, std::string what) {
    if (fault) {
      fault->line = faultLine_ != 0       ? faultLine_
                    : lines_.number() == 0 ? 1
                                           : lines_.number();
      fault->what = std::move(what);
    }
    return false;
  }
  // Gives the current key the values read for it: gathered aside, they are
  // stored in one block of the size they need.
  void FlushValues() {
    if (current_ != nullptr) current_->TakeValuesFrom(pending_);
  }

  bool Refuse(const char* what) {
    what_ = what;
    return false;
  }

  bool ReadKeyLine(std::string_view body) {
    body = TrimBlanks(body);
    if (body.size() < 2 || body.back() != ']') {
      return Refuse("unterminated key line");
    }
    std::string_view path = body.substr(1, body.size() - 2);
    bool deletion = !path.empty() && path.front() == '-';
    if (deletion) path.remove_prefix(1);
    std::size_t cut = path.find('\\');
    if (!IsRootKeyName(path.substr(0, cut))) {
      return Refuse("unknown root key");
    }
    names_.clear();
    while (true) {
      std::string_view name = path.substr(0, cut);
      if (name.empty()) return Refuse("empty key name");
      names_.push_back(name);
      if (cut == std::string_view::npos) break;
      path.remove_prefix(cut + 1);
      cut = path.find('\\');
    }
    FlushValues();
    current_ = nullptr;
    if (deletion) {
      chain_.clear();  // the keys it held may be gone
      RegistryKey* key = &registry_.top;
      for (std::string_view name : names_) {
        key = key->FindSubkey(name);
        if (key == nullptr) return true;  // nothing there to delete
      }
      key->parent()->RemoveSubkey(key);
      return true;
    }
    // Key lines come in tree order: the head the last one shares with this
    // one is found again without a lookup.
    std::size_t shared = 0;
    while (shared < chain_.size() && shared < names_.size() &&
           EqualsAsciiFolded(chain_[shared]->name(), names_[shared])) {
      ++shared;
    }
    chain_.resize(shared);
    RegistryKey* key = shared > 0 ? chain_.back() : &registry_.top;
    for (std::size_t i = shared; i < names_.size(); ++i) {
      key = key->FindOrAddSubkey(names_[i]);
      chain_.push_back(key);
    }
    current_ = key;
    return true;
  }

  // Reads a quoted text starting at (*body)[*at] == '"'. One whose closing
  // quote is not on its line goes on over the line end, whose bytes are
  // part of it as the file has them: regedit writes string data as it
  // stands. `*body` is then extended over the lines it took.
  bool ReadQuoted(std::string_view* body, std::size_t* at, std::string* out) {
    const std::size_t firstLine = lines_.number();
    std::size_t i = *at + 1;
    while (true) {
      std::string_view text = *body;
      std::size_t stop = i;
      while (stop < text.size() && text[stop] != '"' && text[stop] != '\\')
        ++stop;
      out->append(text.data() + i, stop - i);
      if (stop == text.size()) {
        if (!lines_.Continue(body)) {
          faultLine_ = firstLine;
          return Refuse("unterminated string");
        }
        i = stop;
        continue;
      }
      if (text[stop] == '"') {
        *at = stop + 1;
        return true;
      }
      if (stop + 1 >= text.size()) return Refuse("unterminated string");
      char escaped = text[stop + 1];
      if (escaped != '\\' && escaped != '"') {
        return Refuse("unknown escape in string");
      }
      out->push_back(escaped);
      i = stop + 2;
    }
  }

  bool ReadValueLine(std::string_view body) {
    if (current_ == nullptr) return Refuse("value before any key");
    // Scratch strings kept from line to line: no allocation a value.
    std::string& name = nameScratch_;
    std::string& data = dataScratch_;
    name.clear();
    data.clear();
    std::size_t at = 0;
    if (body.front() == '@') {
      at = 1;
    } else if (!ReadQuoted(&body, &at, &name)) {
      return false;
    }
    while (at < body.size() && IsBlank(body[at])) ++at;
    if (at >= body.size() || body[at] != '=')
      return Refuse("no '=' after name");
    ++at;
    while (at < body.size() && IsBlank(body[at])) ++at;
    std::string_view rest = body.substr(at);
    if (TrimBlanks(rest) == "-") {
      FlushValues();
      current_->RemoveValue(name);
      return true;
    }
    if (!rest.empty() && rest.front() == '"') {
      std::size_t end = 0;
      if (!ReadQuoted(&rest, &end, &data)) return false;
      if (!TrimBlanks(rest.substr(end)).empty()) {
        return Refuse("text after string");
      }
      data.push_back('\0');
      pending_.SetValue(name, 1, data);
      return true;
    }
    if (StartsWithFolded(rest, "dword:")) {
      std::string_view digits = TrimBlanks(rest.substr(6));
      if (digits.empty() || digits.size() > 8) return Refuse("bad dword");
      std::uint32_t number = 0;
      for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0) return Refuse("bad dword");
        number = (number << 4) | static_cast<std::uint32_t>(digit);
      }
      for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
      }
      pending_.SetValue(name, 4, data);
      return true;
    }
    std::uint32_t type = 3;
    if (StartsWithFolded(rest, "hex:")) {
      rest.remove_prefix(4);
    } else if (StartsWithFolded(rest, "hex(")) {
      std::size_t close = rest.find(')');
      std::string_view digits =
          close == std::string_view::npos ? "" : rest.substr(4, close - 4);
      if (digits.empty() || digits.size() > 8 || close + 1 >= rest.size() ||
          rest[close + 1] != ':') {
        return Refuse("bad hex type");
      }
      type = 0;
      for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0) return Refuse("bad hex type");
        type = (type << 4) | static_cast<std::uint32_t>(digit);
      }
      rest.remove_prefix(close + 2);
    } else {
      return Refuse("unknown value data");
    }
    if (!ReadHexBytes(rest, &data)) return false;
    pending_.SetValue(name, type, data);
    return true;
  }

  // Bytes as "xx,xx,...", lines ending in '\' continued on the next line.
  bool ReadHexBytes(std::string_view rest, std::string* data) {
    while (true) {
      std::size_t i = 0;
      while (true) {
        while (i < rest.size() && IsBlank(rest[i])) ++i;
        if (i >= rest.size()) return true;
        if (rest[i] == '\\') {
          if (!TrimBlanks(rest.substr(i + 1)).empty()) {
            return Refuse("bad hex byte");
          }
          break;  // continued on the next line
        }
        int high = HexDigit(rest[i]);
        if (high < 0) return Refuse("bad hex byte");
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
          return Refuse("bad hex byte");
        }
      }
      if (!lines_.Next(&rest))
        return Refuse("hex value continued past the end");
    }
  }

  LineReader& lines_;
  Registry& registry_;
  RegistryKey* current_ = nullptr;
  std::vector<std::string_view> names_;
  std::vector<RegistryKey*> chain_;
  std::string nameScratch_;
  std::string dataScratch_;
  RegistryKey pending_{std::string_view(), nullptr};
  std::string what_;
  // Where a fault that spans lines began; 0: the current line.
  std::size_t faultLine_ = 0;
};

// Export text built in place: room is made once a line, then bytes are put
// without further checks.
class TextBuffer {
 public:
  void Ensure(std::size_t more) {
    if (size_ + more <= capacity_) return;
    std::size_t capacity = std::max(size_ + more, capacity_ * 2 + 4096);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  void Put(char c) { data_[size_++] = c; }
  void Put(std::string_view text) {
    std::memcpy(data_.get() + size_, text.data(), text.size());
    size_ += text.size();
  }
  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_.get(), size_); }
  void clear() { size_ = 0; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

void PutQuoted(TextBuffer& out, std::string_view text) {
  out.Put('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.Put('\\');
    out.Put(c);
  }
  out.Put('"');
}

// Whether a string value can be written as "data" and read back the same:
// line ends in it are written as they stand, as regedit writes them.
bool IsPlainString(const RegistryValue& value) {
  std::string_view data = value.data;
  if (value.type != 1 || data.empty() || data.back() != '\0') return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    char c = data[i];
    if (c == '\0') return false;
  }
  return true;
}

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault) {
  LineReader lines(text);
  return Reader(lines, registry).Read(fault);
}

bool LoadRegedit4(FileBytes bytes, Registry& registry, Regedit4Fault* fault) {
  if (std::unique_ptr<ExportText> text = ExportText::Scan(bytes)) {
    registry.lineEnd = std::string(text->lineEnd());
    registry.text = std::move(text);
    registry.top.Defer(registry.text.get(), ExportText::kTop);
    return true;
  }
  return ReadRegedit4(bytes.view(), registry, fault);
}

namespace {

void PutKeyLine(TextBuffer& out, std::string_view path, bool deletion,
                std::string_view lineEnd) {
  out.Ensure(path.size() + 3 + lineEnd.size());
  out.Put(deletion ? "[-" : "[");
  out.Put(path);
  out.Put(']');
  out.Put(lineEnd);
}

void PutValueLines(TextBuffer& out, const RegistryValue& value,
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
  if (IsPlainString(value)) {
    PutQuoted(out, data.substr(0, data.size() - 1));
    out.Put(lineEnd);
    return;
  }
  if (value.type == 4 && data.size() == 4) {
    out.Put("dword:");
    for (int i = 3; i >= 0; --i) {
      unsigned char byte = static_cast<unsigned char>(data[i]);
      out.Put(kHexDigits[byte >> 4]);
      out.Put(kHexDigits[byte & 15]);
    }
    out.Put(lineEnd);
    return;
  }
  if (value.type == 3) {
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
  // regedit wraps at its own count: name, '=' and prefix, 3 a byte, then a
  // continuation line indented by two spaces.
  std::size_t column = out.size() - start;
  for (std::size_t i = 0; i < data.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(data[i]);
    out.Put(kHexDigits[byte >> 4]);
    out.Put(kHexDigits[byte & 15]);
    if (i + 1 == data.size()) break;
    out.Put(',');
    column += 3;
    if (column >= 77) {
      out.Put('\\');
      out.Put(lineEnd);
      out.Put("  ");
      column = 2;
    }
  }
  out.Put(lineEnd);
}

}  // namespace

std::string Regedit4Text(const Registry& registry) {
  std::string text;
  WriteRegedit4(registry, [&](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
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
  TextBuffer text;
  PutValueLines(text, value, lineEnd);
  out.append(text.view());
}

bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink) {
  const std::string& lineEnd = registry.lineEnd;
  TextBuffer out;
  out.Ensure(1 << 19);
  out.Put(kHeader);
  out.Put(lineEnd);
  // Depth first in stored order, each key before its subkeys, without
  // recursion: deep trees must not exhaust the stack.
  struct Frame {
    const RegistryKey* key;
    std::size_t pathLength;
  };
  std::vector<Frame> stack;
  std::vector<const RegistryKey*> children;
  std::string path;
  auto pushChildren = [&](const RegistryKey& key, std::size_t pathLength) {
    children.clear();
    key.ForEachSubkey(
        [&](const RegistryKey& child) { children.push_back(&child); });
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      stack.push_back(Frame{*it, pathLength});
    }
  };
  // What nothing looked into goes out as it came in: neighbouring stretches
  // of the text are joined, short ones copied, long ones handed on as they
  // lie.
  constexpr std::size_t kPiece = 1 << 18;
  std::string_view verbatim;
  auto flushVerbatim = [&]() {
    if (verbatim.size() >= kPiece / 4) {
      if ((out.size() > 0 && !sink(out.view())) || !sink(verbatim))
        return false;
      out.clear();
    } else if (!verbatim.empty()) {
      out.Ensure(verbatim.size());
      out.Put(verbatim);
      if (out.size() >= kPiece) {
        if (!sink(out.view())) return false;
        out.clear();
      }
    }
    verbatim = std::string_view();
    return true;
  };
  auto addVerbatim = [&](std::string_view piece) {
    if (verbatim.data() + verbatim.size() == piece.data()) {
      verbatim =
          std::string_view(verbatim.data(), verbatim.size() + piece.size());
      return true;
    }
    if (!flushVerbatim()) return false;
    verbatim = piece;
    return true;
  };
  pushChildren(registry.top, 0);
  while (!stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    std::string_view untouched = frame.key->UntouchedText();
    if (!untouched.empty()) {
      if (!addVerbatim(untouched)) return false;
      continue;
    }
    path.resize(frame.pathLength);
    if (!path.empty()) path += '\\';
    path += frame.key->name();
    std::string_view ownLines = frame.key->OwnLinesAsRead();
    if (!ownLines.empty()) {
      if (!addVerbatim(ownLines)) return false;
    } else {
      if (!flushVerbatim()) return false;
      out.Ensure(lineEnd.size());
      out.Put(lineEnd);
      PutKeyLine(out, path, false, lineEnd);
      frame.key->ForEachValue([&](const RegistryValue& value) {
        PutValueLines(out, value, lineEnd);
      });
      if (out.size() >= kPiece) {
        if (!sink(out.view())) return false;
        out.clear();
      }
    }
    pushChildren(*frame.key, path.size());
  }
  if (!flushVerbatim()) return false;
  out.Ensure(lineEnd.size());
  out.Put(lineEnd);
  return sink(out.view());
}

}  // namespace brindle
