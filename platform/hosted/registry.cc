#include "platform/hosted/registry.h"

#include <algorithm>
#include <cstring>

namespace brindle {
namespace {

constexpr std::size_t kIndexThreshold = 16;
constexpr std::size_t kValueHeader = 12;

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

std::size_t FoldedHash(std::string_view name) {
  // FNV-1a over the folded bytes.
  std::uint64_t hash = 1469598103934665603ull;
  for (char c : name) {
    hash ^= FoldAscii(static_cast<unsigned char>(c));
    hash *= 1099511628211ull;
  }
  return static_cast<std::size_t>(hash ^ (hash >> 29));
}

std::uint32_t Load32(const char* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

void AppendRecord(std::string& out, std::string_view name, std::uint32_t type,
                  std::string_view data) {
  std::uint32_t header[3] = {static_cast<std::uint32_t>(name.size()), type,
                             static_cast<std::uint32_t>(data.size())};
  std::size_t needed = out.size() + kValueHeader + name.size() + data.size();
  if (needed > out.capacity())
    out.reserve(std::max(needed, out.capacity() * 2));
  out.append(reinterpret_cast<const char*>(header), kValueHeader);
  out.append(name.data(), name.size());
  out.append(data.data(), data.size());
}

}  // namespace

// Open addressing over the subkeys, by folded name: a slot a pointer.
class RegistryKey::NameIndex {
 public:
  explicit NameIndex(std::size_t expected) {
    std::size_t capacity = 64;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, nullptr);
  }
  RegistryKey* Find(std::string_view name) const {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = FoldedHash(name) & mask;; at = (at + 1) & mask) {
      RegistryKey* key = slots_[at];
      if (key == nullptr) return nullptr;
      if (key != Removed() && EqualsAsciiFolded(key->name_, name)) return key;
    }
  }
  void Add(RegistryKey* key) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    std::size_t mask = slots_.size() - 1;
    std::size_t at = FoldedHash(key->name_) & mask;
    while (slots_[at] != nullptr) at = (at + 1) & mask;
    slots_[at] = key;
    ++used_;
  }
  void Remove(RegistryKey* key) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = FoldedHash(key->name_) & mask;;
         at = (at + 1) & mask) {
      if (slots_[at] == nullptr) return;
      if (slots_[at] == key) {
        slots_[at] = Removed();  // keeps the probe chains whole
        return;
      }
    }
  }

 private:
  // A slot whose key was removed: an address no key can have.
  static RegistryKey* Removed() {
    static char marker;
    return reinterpret_cast<RegistryKey*>(&marker);
  }
  void Grow() {
    std::vector<RegistryKey*> old = std::move(slots_);
    slots_.assign(old.size() * 2, nullptr);
    used_ = 0;
    for (RegistryKey* key : old) {
      if (key != nullptr && key != Removed()) Add(key);
    }
  }

  std::vector<RegistryKey*> slots_;
  std::size_t used_ = 0;  // slots holding a key or a removal marker
};

bool EqualsAsciiFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(static_cast<unsigned char>(a[i])) !=
        FoldAscii(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

RegistryKey::RegistryKey(std::string_view name, RegistryKey* parent)
    : name_(name), parent_(parent) {}

RegistryKey::~RegistryKey() {
  // Deep trees are taken down without recursion.
  std::vector<std::unique_ptr<RegistryKey>> pending = std::move(subkeys_);
  while (!pending.empty()) {
    std::unique_ptr<RegistryKey> key = std::move(pending.back());
    pending.pop_back();
    if (!key) continue;
    for (auto& slot : key->subkeys_) {
      if (slot) pending.push_back(std::move(slot));
    }
    key->subkeys_.clear();
  }
}

void RegistryKey::Defer(const ExportText* text, std::uint32_t line) {
  deferred_ = text;
  line_ = line;
}

std::string_view RegistryKey::UntouchedText() const {
  if (deferred_ == nullptr || !moreLines_.empty() || line_ == ExportText::kTop)
    return std::string_view();
  return deferred_->Subtree(line_);
}

void RegistryKey::ExpandText() {
  const ExportText& text = *deferred_;
  deferred_ = nullptr;
  std::vector<std::uint32_t> lines = std::move(moreLines_);
  lines.insert(lines.begin(), line_);
  std::string name;
  std::string data;
  std::uint32_t type = 0;
  for (std::uint32_t line : lines) {
    if (line != ExportText::kTop) {
      ValueLineDecoder values(text.ValueLines(line), text.lineEnd());
      while (values.Next(&name, &type, &data)) SetValue(name, type, data);
    }
    std::uint32_t end = text.SubtreeEnd(line);
    for (std::uint32_t at = text.FirstSubkey(line); at < end;
         at = text.SubtreeEnd(at)) {
      std::string_view subkeyName = text.Name(at);
      // A key the text names twice under one parent is one key, as when
      // the file is read line by line.
      if (RegistryKey* named = FindSubkey(subkeyName)) {
        named->moreLines_.push_back(at);
      } else {
        AddSubkey(subkeyName)->Defer(&text, at);
      }
    }
  }
}

RegistryKey* RegistryKey::SubkeyAt(std::size_t index) const {
  Expand();
  if (index >= liveSubkeys_) return nullptr;
  std::size_t live = cursorIndex_;
  std::size_t slot = cursorSlot_;
  if (index < live) {
    live = 0;
    slot = 0;
  }
  for (; slot < subkeys_.size(); ++slot) {
    if (!subkeys_[slot]) continue;
    if (live == index) {
      cursorIndex_ = static_cast<std::uint32_t>(live);
      cursorSlot_ = static_cast<std::uint32_t>(slot);
      return subkeys_[slot].get();
    }
    ++live;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
  Expand();
  if (!index_ && liveSubkeys_ > kIndexThreshold) {
    index_ = std::make_unique<NameIndex>(liveSubkeys_);
    for (const auto& slot : subkeys_) {
      if (slot) index_->Add(slot.get());
    }
  }
  if (index_) return index_->Find(name);
  for (const auto& slot : subkeys_) {
    if (slot && EqualsAsciiFolded(slot->name_, name)) return slot.get();
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindOrAddSubkey(std::string_view name) {
  if (RegistryKey* existing = FindSubkey(name)) return existing;
  return AddSubkey(name);
}

RegistryKey* RegistryKey::AddSubkey(std::string_view name) {
  subkeys_.push_back(std::make_unique<RegistryKey>(name, this));
  RegistryKey* added = subkeys_.back().get();
  added->slot_ = static_cast<std::uint32_t>(subkeys_.size() - 1);
  ++liveSubkeys_;
  if (index_) index_->Add(added);
  return added;
}

void RegistryKey::RemoveSubkey(RegistryKey* subkey) {
  Expand();
  std::size_t slot = subkey->slot_;
  if (subkey->parent_ != this || slot >= subkeys_.size() ||
      subkeys_[slot].get() != subkey) {
    return;
  }
  if (index_) index_->Remove(subkey);
  if (slot < cursorSlot_) --cursorIndex_;
  subkeys_[slot].reset();
  --liveSubkeys_;
  if (subkeys_.size() > 64 && liveSubkeys_ < subkeys_.size() / 2) Compact();
}

void RegistryKey::Compact() {
  std::size_t kept = 0;
  for (auto& slot : subkeys_) {
    if (!slot) continue;
    slot->slot_ = static_cast<std::uint32_t>(kept);
    subkeys_[kept++] = std::move(slot);
  }
  subkeys_.resize(kept);
  cursorIndex_ = 0;
  cursorSlot_ = 0;
  // The removal markers go with a fresh index.
  index_.reset();
}

RegistryValue RegistryKey::ValueAt(std::size_t* at) const {
  const char* record = values_.data() + *at;
  std::uint32_t nameLength = Load32(record);
  std::uint32_t dataLength = Load32(record + 8);
  RegistryValue value;
  value.name = std::string_view(record + kValueHeader, nameLength);
  value.type = Load32(record + 4);
  value.data = std::string_view(record + kValueHeader + nameLength, dataLength);
  *at += kValueHeader + nameLength + dataLength;
  return value;
}

std::vector<RegistryValue> RegistryKey::Values() const {
  std::vector<RegistryValue> values;
  ForEachValue([&](const RegistryValue& value) { values.push_back(value); });
  return values;
}

std::size_t RegistryKey::FindValueOffset(std::string_view name) const {
  Expand();
  for (std::size_t at = 0; at < values_.size();) {
    std::size_t start = at;
    if (EqualsAsciiFolded(ValueAt(&at).name, name)) return start;
  }
  return std::string::npos;
}

std::optional<RegistryValue> RegistryKey::FindValue(
    std::string_view name) const {
  std::size_t at = FindValueOffset(name);
  if (at == std::string::npos) return std::nullopt;
  return ValueAt(&at);
}

void RegistryKey::SetValue(std::string_view name, std::uint32_t type,
                           std::string_view data) {
  std::size_t at = FindValueOffset(name);
  if (at == std::string::npos) {
    AppendRecord(values_, name, type, data);
    return;
  }
  std::size_t end = at;
  RegistryValue old = ValueAt(&end);
  // The name keeps the spelling it was first written with.
  std::string record;
  AppendRecord(record, old.name, type, data);
  values_.replace(at, end - at, record);
}

void RegistryKey::TakeValuesFrom(RegistryKey& source) {
  Expand();
  source.Expand();
  if (source.values_.empty()) return;
  if (values_.empty()) {
    values_.assign(source.values_);  // one block of the size it needs
  } else {
    source.ForEachValue([&](const RegistryValue& value) {
      SetValue(value.name, value.type, value.data);
    });
  }
  source.values_.clear();
}

bool RegistryKey::RemoveValue(std::string_view name) {
  std::size_t at = FindValueOffset(name);
  if (at == std::string::npos) return false;
  std::size_t end = at;
  ValueAt(&end);
  values_.erase(at, end - at);
  return true;
}

bool RegistryKey::IsWithin(const RegistryKey* ancestor) const {
  for (const RegistryKey* key = this; key != nullptr; key = key->parent_) {
    if (key == ancestor) return true;
  }
  return false;
}

std::string RegistryKey::Path() const {
  std::vector<const RegistryKey*> chain;
  for (const RegistryKey* key = this; key->parent_ != nullptr;
       key = key->parent_) {
    chain.push_back(key);
  }
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += (*it)->name_;
  }
  return path;
}

RegistryKey* FindKeyPath(const RegistryKey& from, std::string_view path) {
  const RegistryKey* key = &from;
  while (!path.empty()) {
    std::size_t cut = path.find('\\');
    std::string_view name = path.substr(0, cut);
    key = key->FindSubkey(name);
    if (key == nullptr) return nullptr;
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return const_cast<RegistryKey*>(key);
}

RegistryKey* MakeKeyPath(RegistryKey& from, std::string_view path) {
  RegistryKey* key = &from;
  while (true) {
    std::size_t cut = path.find('\\');
    key = key->FindOrAddSubkey(path.substr(0, cut));
    if (cut == std::string_view::npos) return key;
    path.remove_prefix(cut + 1);
  }
}

RegistryKey* Registry::Find(std::string_view path) const {
  return FindKeyPath(top, path);
}

}  // namespace brindle
