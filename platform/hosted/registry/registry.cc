#include "platform/hosted/registry/registry.h"

#include <cstring>

namespace brindle {
namespace {

// Past this many subkeys a key looks its subkeys up by hash.
constexpr std::size_t kIndexThreshold = 16;
constexpr std::size_t kValueHeader = 12;

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A'))
                                : c;
}

// Eight bytes with ASCII capitals made small, other bytes left alone: names
// are hashed a word at a time, as every subkey a fill makes is hashed.
inline std::uint64_t FoldWord(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  // A byte's high bit ends set where it is 'A' or more, and clear where it
  // is more than 'Z'; bytes of 0x80 and up are left out.
  std::uint64_t low7 = word & ~kHigh;
  std::uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;
  std::uint64_t aboveZ = low7 + (0x80 - 'Z' - 1) * kOnes;
  std::uint64_t capital = atLeastA & ~aboveZ & ~word & kHigh;
  return word | (capital >> 2);  // 0x20 where a capital was
}

std::uint32_t Load32(const char* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

// The value stored at `*at` in a block of records, moving `*at` past it.
RegistryValue RecordAt(std::string_view block, std::size_t* at) {
  const char* record = block.data() + *at;
  std::uint32_t nameLength = Load32(record);
  std::uint32_t dataLength = Load32(record + 8);
  RegistryValue value;
  value.name = std::string_view(record + kValueHeader, nameLength);
  value.type = Load32(record + 4);
  value.data = std::string_view(record + kValueHeader + nameLength, dataLength);
  *at += kValueHeader + nameLength + dataLength;
  return value;
}

void AppendRecord(std::string& out, std::string_view name, std::uint32_t type,
                  std::string_view data) {
  std::uint32_t header[3] = {static_cast<std::uint32_t>(name.size()), type,
                             static_cast<std::uint32_t>(data.size())};
  out.append(reinterpret_cast<const char*>(header), kValueHeader);
  out.append(name);
  out.append(data);
}

}  // namespace

// The folded name, eight bytes a step, mixed by multiplying.
std::uint32_t FoldedNameHash(std::string_view name) {
  std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ name.size();
  const char* p = name.data();
  for (std::size_t left = name.size();; p += 8, left -= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, left < 8 ? left : 8);
    hash = (hash ^ FoldWord(word)) * 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 32;
    if (left <= 8) break;
  }
  return static_cast<std::uint32_t>(hash);
}

// Open addressing over the subkeys, by folded name: a slot holds a key and
// its name's hash, so most probes never look at the key itself.
class RegistryKey::NameIndex {
 public:
  explicit NameIndex(std::size_t expected) {
    std::size_t capacity = 64;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, Slot());
  }
  RegistryKey* Find(std::string_view name) const {
    std::uint32_t hash = FoldedNameHash(name);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.key == nullptr) return nullptr;
      if (slot.hash == hash && slot.key != Removed() &&
          EqualsAsciiFolded(slot.key->name_, name)) {
        return slot.key;
      }
    }
  }
  // Adds `key`, whose name no other key here has.
  void Add(RegistryKey* key) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    Put(key, FoldedNameHash(key->name_));
  }
  void Remove(RegistryKey* key) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = FoldedNameHash(key->name_) & mask;;
         at = (at + 1) & mask) {
      if (slots_[at].key == nullptr) return;
      if (slots_[at].key == key) {
        slots_[at].key = Removed();  // keeps the probe chains whole
        return;
      }
    }
  }

 private:
  struct Slot {
    RegistryKey* key = nullptr;
    std::uint32_t hash = 0;
  };
  // A slot whose key was removed: an address no key can have.
  static RegistryKey* Removed() {
    static char marker;
    return reinterpret_cast<RegistryKey*>(&marker);
  }
  void Put(RegistryKey* key, std::uint32_t hash) {
    std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    while (slots_[at].key != nullptr) at = (at + 1) & mask;
    slots_[at] = Slot{key, hash};
    ++used_;
  }
  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot());
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.key != nullptr && slot.key != Removed())
        Put(slot.key, slot.hash);
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;  // slots holding a key or a removal marker
};

bool EqualsAsciiFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Names are mostly compared with themselves, spelled the same.
  if (a == b) return true;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(static_cast<unsigned char>(a[i])) !=
        FoldAscii(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

RegistryKey::RegistryKey(std::string_view name, RegistryKey* parent,
                         bool borrowed)
    : name_(name), parent_(parent) {
  if (!borrowed && !name.empty()) {
    ownedName_.reset(new char[name.size()]);
    std::memcpy(ownedName_.get(), name.data(), name.size());
    name_ = std::string_view(ownedName_.get(), name.size());
  }
}

RegistryKey::~RegistryKey() {
  // Deep trees are taken down without recursion.
  std::vector<RegistryKey*> pending;
  auto takeFrom = [&](RegistryKey& key) {
    for (RegistryKey* slot : key.subkeys_) {
      if (slot) pending.push_back(slot);
    }
    key.subkeys_.clear();
  };
  takeFrom(*this);
  while (!pending.empty()) {
    RegistryKey* key = pending.back();
    pending.pop_back();
    takeFrom(*key);
    delete key;
  }
}

void RegistryKey::FillLater(KeyFiller* filler, std::uint32_t tag) {
  filler_ = filler;
  fillTag_ = tag;
  subkeysWaiting_ = true;
  valuesWaiting_ = true;
}

void RegistryKey::FillSubkeysNow() const {
  subkeysWaiting_ = false;
  filler_->FillSubkeys(const_cast<RegistryKey&>(*this), fillTag_);
}

void RegistryKey::FillValuesNow() const {
  valuesWaiting_ = false;
  filler_->FillValues(const_cast<RegistryKey&>(*this), fillTag_);
}

std::size_t RegistryKey::subkeyCount() const {
  FillSubkeys();
  return liveSubkeys_;
}

RegistryKey* RegistryKey::SubkeyAt(std::size_t index,
                                   SubkeyCursor* cursor) const {
  FillSubkeys();
  if (index >= liveSubkeys_) return nullptr;
  SubkeyCursor start;
  if (cursor != nullptr && cursor->index <= index &&
      cursor->slot < subkeys_.size()) {
    start = *cursor;
  }
  for (std::size_t slot = start.slot, live = start.index;
       slot < subkeys_.size(); ++slot) {
    if (!subkeys_[slot]) continue;
    if (live == index) {
      if (cursor != nullptr) *cursor = SubkeyCursor{live, slot};
      return subkeys_[slot];
    }
    ++live;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name,
                                     const SubkeyCursor* hint) const {
  FillSubkeys();
  if (hint != nullptr && hint->slot < subkeys_.size()) {
    RegistryKey* handed = subkeys_[hint->slot];
    if (handed != nullptr && EqualsAsciiFolded(handed->name_, name))
      return handed;
  }
  if (!index_ && liveSubkeys_ > kIndexThreshold) BuildIndex(liveSubkeys_);
  if (index_) return index_->Find(name);
  for (RegistryKey* slot : subkeys_) {
    if (slot && EqualsAsciiFolded(slot->name_, name)) return slot;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindOrAddSubkey(std::string_view name) {
  if (RegistryKey* existing = FindSubkey(name)) return existing;
  return AddSubkey(new RegistryKey(name, this));
}

void RegistryKey::BuildIndex(std::size_t expected) const {
  index_ = std::make_unique<NameIndex>(expected);
  for (RegistryKey* slot : subkeys_) {
    if (slot) index_->Add(slot);
  }
}

void RegistryKey::Reserve(std::size_t subkeys, std::size_t valueBytes) {
  subkeys_.reserve(subkeys_.size() + subkeys);
  if (!index_ && liveSubkeys_ + subkeys > kIndexThreshold)
    BuildIndex(liveSubkeys_ + subkeys);
  values_.reserve(values_.size() + valueBytes);
}

RegistryKey* RegistryKey::AddSubkey(RegistryKey* subkey) {
  FillSubkeys();
  subkey->slot_ = subkeys_.size();
  subkeys_.push_back(subkey);
  ++liveSubkeys_;
  if (index_) index_->Add(subkey);
  return subkey;
}

void RegistryKey::RemoveSubkey(RegistryKey* subkey) {
  FillSubkeys();
  std::size_t slot = subkey->slot_;
  if (subkey->parent_ != this || slot >= subkeys_.size() ||
      subkeys_[slot] != subkey) {
    return;
  }
  if (index_) index_->Remove(subkey);
  subkeys_[slot] = nullptr;
  --liveSubkeys_;
  delete subkey;
}

RegistryValue RegistryKey::ValueAt(std::size_t* at) const {
  return RecordAt(values_, at);
}

std::vector<RegistryValue> RegistryKey::Values() const {
  std::vector<RegistryValue> values;
  ForEachValue([&](const RegistryValue& value) { values.push_back(value); });
  return values;
}

std::size_t RegistryKey::FindValueOffset(std::string_view name) const {
  FillValues();
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
  ++valueWrites_;
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

bool RegistryKey::RemoveValue(std::string_view name) {
  std::size_t at = FindValueOffset(name);
  if (at == std::string::npos) return false;
  ++valueWrites_;
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
    key = key->FindSubkey(path.substr(0, cut));
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
