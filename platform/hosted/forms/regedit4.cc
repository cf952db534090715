#include "platform/hosted/forms/regedit4.h"

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
    if (!lines_.NextLine(&line) || !IsHeaderLine(line)) {
      return Fail(fault, "no REGEDIT4 header", 0);
    }
    LineKind kind;
    while (lines_.Next(&kind, &body)) {
      switch (kind) {
        case LineKind::Blank:
        case LineKind::Comment:
          break;
        case LineKind::Key:
          if (!ReadKeyLine(body, fault)) return false;
          break;
        case LineKind::Value:
          if (!ReadValueLine(fault)) return false;
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

  bool ReadValueLine(Regedit4Fault* fault) {
    if (current_ == nullptr) return Fail(fault, "value before any key", 0);
    ValueFault valueFault;
    if (!lines_.ReadValue(&value_, &valueFault)) {
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

// Every key depth first, each before its subkeys, as regedit exports them.
bool ExportWhole(const Registry& registry, TextOut& out) {
  const std::string& lineEnd = registry.lineEnd;
  std::string text(Regedit4Header);
  text += lineEnd;
  text += lineEnd;
  // Without recursion: deep trees must not exhaust the stack.
  std::vector<std::pair<const RegistryKey*, std::size_t>> stack;
  std::vector<const RegistryKey*> children;
  std::string path;
  auto pushChildren = [&](const RegistryKey& key) {
    children.clear();
    key.ForEachSubkey([&](const RegistryKey& c) { children.push_back(&c); });
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      stack.emplace_back(*it, path.size());
  };
  pushChildren(registry.top);
  while (!stack.empty()) {
    auto [key, parentLength] = stack.back();
    stack.pop_back();
    path.resize(parentLength);
    if (!path.empty()) path += '\\';
    path += key->name();
    AppendKeyBlock(text, *key, path, lineEnd);
    if (text.size() > (std::size_t{1} << 18)) {
      if (!out.Put(text, lineEnd)) return false;
      text.clear();
    }
    pushChildren(*key);
  }
  return out.Put(text, lineEnd) && out.Finish();
}

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

bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink) {
  TextOut out(sink);
  if (const auto* file =
          dynamic_cast<const Regedit4File*>(registry.source.get())) {
    return file->Write(registry, out);
  }
  return ExportWhole(registry, out);
}

std::string Regedit4Text(const Registry& registry) {
  std::string text;
  WriteRegedit4(registry, [&](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace brindle
