#include "platform/hosted/registry/registry.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace brindle {
namespace {

constexpr std::size_t kValueHeader = 12;

unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// The value stored at `*at` in a block of records, moving `*at` past it.
RegistryValue RecordAt(std::string_view block, std::size_t* at) {
  std::uint32_t header[3];
  std::memcpy(header, block.data() + *at, kValueHeader);
  RegistryValue value{block.substr(*at + kValueHeader, header[0]), header[1],
                      block.substr(*at + kValueHeader + header[0], header[2])};
  *at += kValueHeader + header[0] + header[2];
  return value;
}

void AppendRecord(std::string& out, std::string_view name, std::uint32_t type,
                  std::string_view data) {
  const std::uint32_t header[3] = {static_cast<std::uint32_t>(name.size()),
                                   type,
                                   static_cast<std::uint32_t>(data.size())};
  out.append(reinterpret_cast<const char*>(header), kValueHeader)
      .append(name)
      .append(data);
}

struct Folded {  // hash and equality alike
  std::size_t operator()(std::string_view n) const { return FoldedNameHash(n); }
  bool operator()(std::string_view a, std::string_view b) const {
    return EqualsAsciiFolded(a, b);
  }
};

}  // namespace

std::uint32_t FoldedNameHash(std::string_view name) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : name) hash = (hash ^ FoldAscii(c)) * 16777619u;
  return hash;
}

bool EqualsAsciiFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // mostly a name with itself, spelled the same
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

// The live subkeys by folded name; names are unique among them.
class RegistryKey::NameIndex
    : public std::unordered_map<std::string_view, RegistryKey*, Folded,
                                Folded> {};

RegistryKey::RegistryKey(std::string_view name, RegistryKey* parent,
                         bool borrowed)
    : name_(name), parent_(parent) {
  if (borrowed || name.empty()) return;
  ownedName_.reset(new char[name.size()]);
  name_ = {ownedName_.get(), name.copy(ownedName_.get(), name.size())};
}

RegistryKey::~RegistryKey() {
  std::vector<RegistryKey*> pending(subkeys_);  // deep trees: no recursion
  while (!pending.empty()) {
    RegistryKey* key = pending.back();
    pending.pop_back();
    if (key == nullptr) continue;
    pending.insert(pending.end(), key->subkeys_.begin(), key->subkeys_.end());
    key->subkeys_.clear();
    delete key;
  }
}

void RegistryKey::FillValuesOnce() const {
  if (!valuesWaiting_) return;
  valuesWaiting_ = false;
  filler_->FillValues(const_cast<RegistryKey&>(*this), fileKey_);
}

void RegistryKey::FillSubkeysOnce() const {
  if (!subkeysWaiting_) return;
  subkeysWaiting_ = false;
  filler_->FillSubkeys(const_cast<RegistryKey&>(*this), fileKey_);
}

bool RegistryKey::attached() const {
  for (const RegistryKey* key = this; key->parent_; key = key->parent_)
    if (key->parent_->subkeys_[key->slot_] != key) return false;
  return true;
}

RegistryKey* RegistryKey::SubkeyAt(std::size_t index,
                                   SubkeyCursor* cursor) const {
  FillSubkeysOnce();
  SubkeyCursor at;
  if (cursor && cursor->index <= index) at = *cursor;
  for (; index < liveSubkeys_ && at.slot < subkeys_.size(); ++at.slot) {
    if (subkeys_[at.slot] && at.index++ == index) {
      if (cursor) *cursor = {index, at.slot};
      return subkeys_[at.slot];
    }
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
  FillSubkeysOnce();
  if (!index_ && liveSubkeys_ > 16) {  // fewer are faster searched in turn
    index_ = std::make_unique<NameIndex>();
    for (RegistryKey* slot : subkeys_)
      if (slot) index_->emplace(slot->name_, slot);
  }
  if (index_) {
    auto found = index_->find(name);
    return found == index_->end() ? nullptr : found->second;
  }
  for (RegistryKey* slot : subkeys_)
    if (slot && EqualsAsciiFolded(slot->name_, name)) return slot;
  return nullptr;
}

RegistryKey* RegistryKey::AddSubkey(RegistryKey* subkey) {
  FillSubkeysOnce();
  subkey->slot_ = subkeys_.size();
  subkeys_.push_back(subkey);
  ++liveSubkeys_;
  if (index_) index_->emplace(subkey->name_, subkey);
  return subkey;
}

RegistryKey* RegistryKey::DetachSubkey(RegistryKey* subkey) {
  FillSubkeysOnce();
  if (index_) index_->erase(subkey->name_);
  subkeys_[subkey->slot_] = nullptr;
  --liveSubkeys_;
  return subkey;
}

std::vector<RegistryValue> RegistryKey::Values() const {
  FillValuesOnce();
  std::vector<RegistryValue> values;
  for (std::size_t at = 0; at < values_.size();)
    values.push_back(RecordAt(values_, &at));
  return values;
}

std::size_t RegistryKey::FindValueOffset(std::string_view name) const {
  FillValuesOnce();
  for (std::size_t at = 0; at < values_.size();) {
    std::size_t start = at;
    if (EqualsAsciiFolded(RecordAt(values_, &at).name, name)) return start;
  }
  return std::string::npos;
}

std::optional<RegistryValue> RegistryKey::FindValue(
    std::string_view name) const {
  std::size_t at = FindValueOffset(name);
  return at == std::string::npos ? std::nullopt
                                 : std::optional(RecordAt(values_, &at));
}

void RegistryKey::SetValue(std::string_view name, std::uint32_t type,
                           std::string_view data) {
  std::size_t at = FindValueOffset(name), end = at;
  if (at == std::string::npos) return AppendRecord(values_, name, type, data);
  std::string record;  // the name keeps the spelling it was first written with
  AppendRecord(record, RecordAt(values_, &end).name, type, data);
  values_.replace(at, end - at, record);
}

bool RegistryKey::RemoveValue(std::string_view name) {
  std::size_t at = FindValueOffset(name), end = at;
  if (at == std::string::npos) return false;
  RecordAt(values_, &end);
  values_.erase(at, end - at);
  return true;
}

std::string RegistryKey::Path() const {
  if (parent_ == nullptr) return std::string();
  std::string path = parent_->Path();
  return (path.empty() ? path : path += '\\').append(name_);
}

bool SameValues(const RegistryKey& a, const RegistryKey& b) {
  a.FillValuesOnce();
  b.FillValuesOnce();
  return a.values_ == b.values_;
}

RegistryKey* FindKeyPath(const RegistryKey& from, std::string_view path,
                         bool make, std::vector<RegistryKey*>* made) {
  auto* key = const_cast<RegistryKey*>(&from);
  // Found, a trailing backslash names nothing more; made, an empty name.
  for (std::size_t cut = 0;
       key && cut != path.npos && (make || !path.empty());) {
    cut = path.find('\\');
    const std::string_view name = path.substr(0, cut);
    RegistryKey* next = key->FindSubkey(name);
    if (!next && make) {
      next = key->AddSubkey(new RegistryKey(name, key));
      if (made) made->push_back(next);
    }
    key = next;
    path.remove_prefix(cut == path.npos ? path.size() : cut + 1);
  }
  return key;
}

RegistryKey* Registry::MakeKey(std::string_view path) {
  std::vector<RegistryKey*> made;
  RegistryKey* key = FindKeyPath(top, path, true, &made);
  for (RegistryKey* each : made)
    changes.push_back({RegistryChange::kKeyMade, each, {}});
  return key;
}

void Registry::SetValue(RegistryKey& key, std::string_view name,
                        std::uint32_t type, std::string_view data) {
  key.SetValue(name, type, data);
  changes.push_back({RegistryChange::kValueSet, &key, std::string(name)});
}

bool Registry::RemoveValue(RegistryKey& key, std::string_view name) {
  if (!key.RemoveValue(name)) return false;
  changes.push_back({RegistryChange::kValueRemoved, &key, std::string(name)});
  return true;
}

std::uint32_t Registry::DeleteKey(
    RegistryKey& key, const std::function<std::uint32_t()>& journal) {
  changes.push_back({RegistryChange::kKeyDeleted, &key, {}});
  if (const std::uint32_t failure = journal ? journal() : 0) {
    changes.pop_back();
    return failure;
  }
  deleted.emplace_back(key.parent()->DetachSubkey(&key));
  return 0;
}

std::vector<ChangedKey> ChangedKeys(const Registry& registry,
                                    std::size_t from) {
  std::vector<ChangedKey> keys;
  std::unordered_map<const RegistryKey*, std::size_t> listed;
  for (std::size_t i = from; i < registry.changes.size(); ++i) {
    const RegistryChange& change = registry.changes[i];
    auto [at, first] = listed.try_emplace(change.key, keys.size());
    if (first) keys.push_back(ChangedKey{change.key, false, false, {}});
    ChangedKey& key = keys[at->second];
    key.made |= change.kind == RegistryChange::kKeyMade;
    key.deleted |= change.kind == RegistryChange::kKeyDeleted;
    const bool aValue = change.kind == RegistryChange::kValueSet ||
                        change.kind == RegistryChange::kValueRemoved;
    auto same = [&](std::string_view name) {
      return EqualsAsciiFolded(name, change.value);
    };
    if (aValue && std::none_of(key.values.begin(), key.values.end(), same))
      key.values.push_back(change.value);
  }
  return keys;
}

void RegistryKey::Unfill() {
  for (RegistryKey* slot : std::exchange(subkeys_, {})) delete slot;
  liveSubkeys_ = 0;
  index_.reset();
  std::string().swap(values_);
  subkeysWaiting_ = valuesWaiting_ = true;
}

}  // namespace brindle
