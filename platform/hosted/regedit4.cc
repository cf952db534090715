#include "platform/hosted/regedit4.h"

#include <cstring>
#include <vector>

namespace brindle {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr const char* kRoots[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
    "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

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
    if (position_ >= text_.size()) return false;
    const char* start = text_.data() + position_;
    std::size_t left = text_.size() - position_;
    const void* lf = std::memchr(start, '\n', left);
    std::size_t length =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
           : left;
    // A lone CR ends a line too.
    const void* cr = std::memchr(start, '\r', length);
    std::size_t skip = 1;
    if (cr) {
      length = static_cast<std::size_t>(static_cast<const char*>(cr) - start);
      if (length + 1 < left && start[length + 1] == '\n') skip = 2;
    } else if (!lf) {
      skip = 0;
    }
    *line = std::string_view(start, length);
    position_ += length + skip;
    ++number_;
    return true;
  }
  std::size_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t number_ = 0;
};

class Reader {
 public:
  Reader(std::string_view text, Registry& registry)
      : lines_(text), registry_(registry) {}

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
    return true;
  }

 private:
  bool Fail(Regedit4Fault* fault, std::string what) {
    if (fault) {
      fault->line = lines_.number() == 0 ? 1 : lines_.number();
      fault->what = std::move(what);
    }
    return false;
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
    std::string_view rootName = path.substr(0, cut);
    bool known = false;
    for (const char* root : kRoots)
      known = known || EqualsAsciiFolded(rootName, root);
    if (!known) return Refuse("unknown root key");
    std::vector<std::string_view> names;
    while (true) {
      std::string_view name = path.substr(0, cut);
      if (name.empty()) return Refuse("empty key name");
      names.push_back(name);
      if (cut == std::string_view::npos) break;
      path.remove_prefix(cut + 1);
      cut = path.find('\\');
    }
    current_ = nullptr;
    if (deletion) {
      RegistryKey* key = &registry_.top;
      for (std::string_view name : names) {
        key = key->FindSubkey(name);
        if (key == nullptr) return true;  // nothing there to delete
      }
      key->parent()->RemoveSubkey(key);
      return true;
    }
    RegistryKey* key = &registry_.top;
    for (std::string_view name : names) key = key->FindOrAddSubkey(name);
    current_ = key;
    return true;
  }

  // Reads a quoted string starting at body[*at] == '"'.
  bool ReadQuoted(std::string_view body, std::size_t* at, std::string* out) {
    std::size_t i = *at + 1;
    while (i < body.size()) {
      char c = body[i];
      if (c == '"') {
        *at = i + 1;
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= body.size()) break;
        char escaped = body[i + 1];
        if (escaped != '\\' && escaped != '"') {
          return Refuse("unknown escape in string");
        }
        out->push_back(escaped);
        i += 2;
        continue;
      }
      out->push_back(c);
      ++i;
    }
    return Refuse("unterminated string");
  }

  bool ReadValueLine(std::string_view body) {
    if (current_ == nullptr) return Refuse("value before any key");
    std::string name;
    std::size_t at = 0;
    if (body.front() == '@') {
      at = 1;
    } else if (!ReadQuoted(body, &at, &name)) {
      return false;
    }
    while (at < body.size() && IsBlank(body[at])) ++at;
    if (at >= body.size() || body[at] != '=')
      return Refuse("no '=' after name");
    ++at;
    while (at < body.size() && IsBlank(body[at])) ++at;
    std::string_view rest = body.substr(at);
    if (TrimBlanks(rest) == "-") {
      current_->RemoveValue(name);
      return true;
    }
    if (!rest.empty() && rest.front() == '"') {
      std::string data;
      std::size_t end = 0;
      if (!ReadQuoted(rest, &end, &data)) return false;
      if (!TrimBlanks(rest.substr(end)).empty()) {
        return Refuse("text after string");
      }
      data.push_back('\0');
      current_->SetValue(name, 1, std::move(data));
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
      std::string data(4, '\0');
      for (int i = 0; i < 4; ++i) {
        data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
      }
      current_->SetValue(name, 4, std::move(data));
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
    std::string data;
    if (!ReadHexBytes(rest, &data)) return false;
    current_->SetValue(name, type, std::move(data));
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

  LineReader lines_;
  Registry& registry_;
  RegistryKey* current_ = nullptr;
  std::string what_;
};

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// Whether a string value can be written as "data" and read back the same.
bool IsPlainString(const RegistryValue& value) {
  const std::string& data = value.data;
  if (value.type != 1 || data.empty() || data.back() != '\0') return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    char c = data[i];
    if (c == '\0' || c == '\r' || c == '\n') return false;
  }
  return true;
}

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault) {
  return Reader(text, registry).Read(fault);
}

std::string DetectLineEnd(std::string_view text) {
  std::size_t lf = text.find('\n');
  if (lf != std::string_view::npos && (lf == 0 || text[lf - 1] != '\r') &&
      text.find('\r') == std::string_view::npos) {
    return "\n";
  }
  return "\r\n";
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
  std::size_t start = out.size();
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  if (IsPlainString(value)) {
    AppendQuoted(out,
                 std::string_view(value.data.data(), value.data.size() - 1));
    out += lineEnd;
    return;
  }
  const std::string& data = value.data;
  if (value.type == 4 && data.size() == 4) {
    out += "dword:";
    for (int i = 3; i >= 0; --i) {
      unsigned char byte = static_cast<unsigned char>(data[i]);
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 15];
    }
    out += lineEnd;
    return;
  }
  if (value.type == 3) {
    out += "hex:";
  } else {
    out += "hex(";
    char digits[9];
    int count = 0;
    std::uint32_t type = value.type;
    do {
      digits[count++] = kHexDigits[type & 15];
      type >>= 4;
    } while (type != 0);
    while (count > 0) out += digits[--count];
    out += "):";
  }
  // regedit wraps at its own count: name, '=' and prefix, 3 a byte, then a
  // continuation line indented by two spaces.
  std::size_t column = out.size() - start;
  for (std::size_t i = 0; i < data.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(data[i]);
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 15];
    if (i + 1 == data.size()) break;
    out += ',';
    column += 3;
    if (column >= 77) {
      out += '\\';
      out += lineEnd;
      out += "  ";
      column = 2;
    }
  }
  out += lineEnd;
}

bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink) {
  const std::string& lineEnd = registry.lineEnd;
  std::string out;
  out.reserve(1 << 20);
  out += kHeader;
  out += lineEnd;
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
  pushChildren(registry.top, 0);
  while (!stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    path.resize(frame.pathLength);
    if (!path.empty()) path += '\\';
    path += frame.key->name();
    out += lineEnd;
    AppendKeyLine(out, path, false, lineEnd);
    for (const RegistryValue& value : frame.key->values()) {
      AppendValueLines(out, value, lineEnd);
    }
    if (out.size() >= (1 << 20)) {
      if (!sink(out)) return false;
      out.clear();
    }
    pushChildren(*frame.key, path.size());
  }
  out += lineEnd;
  return sink(out);
}

}  // namespace brindle
