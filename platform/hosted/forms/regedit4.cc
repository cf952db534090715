#include "platform/hosted/forms/regedit4.h"

#include <memory>
#include <vector>

#include "platform/hosted/forms/regedit4_codec.h"
#include "platform/hosted/forms/regedit4_file.h"

namespace brindle {
namespace {

// Applies a text line by line, in order: what journals hold, and any file
// that deletes what it named before.
class Applier {
 public:
  Applier(std::string_view text, Registry& registry)
      : lines_(text), registry_(registry) {}

  bool Read(Regedit4Fault* fault) {
    std::string_view line;
    std::string_view body;
    if (!lines_.Next(&line) || !IsHeaderLine(line)) {
      return Fail(fault, "no REGEDIT4 header", 0);
    }
    while (lines_.Next(&line)) {
      switch (KindOfLine(line, &body)) {
        case LineKind::Blank:
        case LineKind::Comment:
          break;
        case LineKind::Key:
          if (!ReadKeyLine(body, fault)) return false;
          break;
        case LineKind::Value:
          if (!ReadValueLine(body, fault)) return false;
          break;
        case LineKind::Other:
          return Fail(fault, "not a key, value or comment line", 0);
      }
    }
    registry_.lineEnd = lines_.lineEnd();
    return true;
  }

 private:
  bool Fail(Regedit4Fault* fault, const char* what, std::size_t line) {
    if (fault != nullptr) {
      fault->line = line != 0              ? line
                    : lines_.number() == 0 ? 1
                                           : lines_.number();
      fault->what = what;
    }
    return false;
  }

  bool ReadKeyLine(std::string_view body, Regedit4Fault* fault) {
    KeyLine keyLine;
    const char* what = nullptr;
    if (!ParseKeyLine(body, &keyLine, &what)) return Fail(fault, what, 0);
    current_ = nullptr;
    if (keyLine.deletion) {
      chain_.clear();  // the keys it held may be gone
      if (RegistryKey* key = registry_.Find(keyLine.path)) {
        key->parent()->RemoveSubkey(key);
      }
      return true;
    }
    // Key lines mostly come in tree order: the head the last one shares with
    // this one is found again without a lookup.
    std::size_t depth = 0;
    std::size_t shared = chain_.size();
    RegistryKey* key = &registry_.top;
    ForEachPathName(keyLine.path, [&](std::string_view name) {
      if (depth < shared && EqualsAsciiFolded(chain_[depth]->name(), name)) {
        key = chain_[depth];
      } else {
        if (depth < shared) shared = depth;
        chain_.resize(depth);
        key = key->FindOrAddSubkey(name);
        chain_.push_back(key);
      }
      ++depth;
    });
    chain_.resize(depth);
    current_ = key;
    return true;
  }

  bool ReadValueLine(std::string_view body, Regedit4Fault* fault) {
    if (current_ == nullptr) return Fail(fault, "value before any key", 0);
    ValueFault valueFault;
    if (!ParseValueLine(lines_, body, &value_, &valueFault)) {
      return Fail(fault, valueFault.what, valueFault.line);
    }
    if (value_.deletion) {
      current_->RemoveValue(value_.name);
    } else {
      current_->SetValue(value_.name, value_.type, value_.data);
    }
    return true;
  }

  LineReader lines_;
  Registry& registry_;
  RegistryKey* current_ = nullptr;
  std::vector<RegistryKey*> chain_;
  ValueLine value_;  // kept from line to line: no allocation a value
};

}  // namespace

bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault) {
  return Applier(text, registry).Read(fault);
}

bool LoadRegedit4(FileBytes bytes, Registry& registry, Regedit4Fault* fault) {
  switch (Regedit4File::Load(&bytes, registry, fault)) {
    case Regedit4File::Outcome::Loaded:
      return true;
    case Regedit4File::Outcome::Refused:
      return false;
    case Regedit4File::Outcome::ApplyInOrder:
      break;
  }
  return ReadRegedit4(bytes.view(), registry, fault);
}

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
  TextBuffer text;
  WriteKeyLine(text, path, deletion, lineEnd);
  out.append(text.view());
}

void AppendValueLines(std::string& out, const RegistryValue& value,
                      std::string_view lineEnd) {
  TextBuffer text;
  WriteValueLines(text, value, lineEnd);
  out.append(text.view());
}

bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink) {
  const std::string& lineEnd = registry.lineEnd;
  // Text kept from the file it was read from, where it is exactly what
  // would be written here.
  const auto* file = dynamic_cast<const Regedit4File*>(registry.source.get());
  if (file != nullptr && file->lineEnd() != lineEnd) file = nullptr;
  TextBuffer out;
  out.Ensure(1 << 19);
  out.Put(Regedit4Header);
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
  // Neighbouring stretches of kept text are joined; short ones are copied,
  // long ones handed on as they lie in the file.
  constexpr std::size_t kPiece = 1 << 18;
  std::string_view kept;
  auto flushOut = [&]() {
    if (out.size() > 0 && !sink(out.view())) return false;
    out.clear();
    return true;
  };
  auto flushKept = [&]() {
    if (kept.size() >= kPiece / 4) {
      if (!flushOut() || !sink(kept)) return false;
    } else if (!kept.empty()) {
      out.Ensure(kept.size());
      out.Put(kept);
      if (out.size() >= kPiece && !flushOut()) return false;
    }
    kept = std::string_view();
    return true;
  };
  auto keep = [&](std::string_view piece) {
    if (kept.data() + kept.size() == piece.data()) {
      kept = std::string_view(kept.data(), kept.size() + piece.size());
      return true;
    }
    if (!flushKept()) return false;
    kept = piece;
    return true;
  };
  // A key with values to be written as they are now.
  auto write = [&](std::string_view path, const RegistryKey& key) {
    if (!flushKept()) return false;
    out.Ensure(lineEnd.size());
    out.Put(lineEnd);
    WriteKeyLine(out, path, false, lineEnd);
    key.ForEachValue([&](const RegistryValue& value) {
      WriteValueLines(out, value, lineEnd);
    });
    return out.size() < kPiece || flushOut();
  };
  // Below a key whose subkeys no one looked into, the file knows them all.
  struct Waiting final : Regedit4File::WaitingVisitor {
    decltype(keep)& keepText;
    decltype(write)& writeKey;
    Waiting(decltype(keep)& k, decltype(write)& w) : keepText(k), writeKey(w) {}
    bool Keep(std::string_view text) override { return keepText(text); }
    bool Write(std::string_view path, const RegistryKey& values) override {
      return writeKey(path, values);
    }
  } waiting(keep, write);
  pushChildren(registry.top, 0);
  while (!stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    path.resize(frame.pathLength);
    if (!path.empty()) path += '\\';
    path += frame.key->name();
    std::string_view untouched =
        file ? file->UntouchedSubtree(*frame.key, path) : std::string_view();
    if (!untouched.empty()) {
      if (!keep(untouched)) return false;
      continue;
    }
    std::string_view ownLines =
        file ? file->OwnLinesAsRead(*frame.key, path) : std::string_view();
    if (!ownLines.empty() ? !keep(ownLines) : !write(path, *frame.key)) {
      return false;
    }
    if (file != nullptr && frame.key->subkeysWaiting()) {
      if (!file->WalkWaitingSubkeys(*frame.key, path, waiting)) return false;
    } else {
      pushChildren(*frame.key, path.size());
    }
  }
  if (!flushKept()) return false;
  out.Ensure(lineEnd.size());
  out.Put(lineEnd);
  return sink(out.view());
}

}  // namespace brindle
