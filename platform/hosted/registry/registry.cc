#include "platform/hosted/registry/registry.h"

#include <cstring>
#include <unordered_map>

namespace brindle {
namespace {

// Past this many subkeys a key looks its subkeys up by hash.
constexpr std::size_t kIndexThreshold = 16;
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
  out.append(reinterpret_cast<const char*>(header), kValueHeader);
  out.append(name);
  out.append(data);
}

struct FoldedHash {
  std::size_t operator()(std::string_view name) const {
    return FoldedNameHash(name);
  }
};
struct FoldedEqual {
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
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The live subkeys by folded name; names are unique among them.
class RegistryKey::NameIndex
    : public std::unordered_map<std::string_view, RegistryKey*, FoldedHash,
                                FoldedEqual> {};

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
  for (RegistryKey* key = this; key != nullptr;) {
    for (RegistryKey* slot : key->subkeys_) {
      if (slot) pending.push_back(slot);
    }
    key->subkeys_.clear();
    if (key != this) delete key;
    key = pending.empty() ? nullptr : pending.back();
    if (key != nullptr) pending.pop_back();
  }
}

void RegistryKey::FillLater(KeyFiller* filler, std::uint32_t tag) {
  filler_ = filler;
  fillTag_ = tag;
  subkeysWaiting_ = valuesWaiting_ = true;
}

void RegistryKey::Unfill() {
  if (filler_ == nullptr) return;
  if (!subkeysWaiting_) {
    for (RegistryKey* slot : subkeys_) delete slot;
    subkeys_.clear();
    liveSubkeys_ = 0;
    index_.reset();
    subkeysWaiting_ = true;
  }
  if (!valuesWaiting_ && valueWrites_ == 0) {
    std::string().swap(values_);
    valuesWaiting_ = true;
  }
}

void RegistryKey::FillSubkeys() const {
  if (!subkeysWaiting_) return;
  subkeysWaiting_ = false;
  filler_->FillSubkeys(const_cast<RegistryKey&>(*this), fillTag_);
}

void RegistryKey::FillValues() const {
  if (!valuesWaiting_) return;
  valuesWaiting_ = false;
  auto& self = const_cast<RegistryKey&>(*this);
  filler_->FillValues(self, fillTag_);
  self.valueWrites_ = 0;  // as they came
}

std::size_t RegistryKey::subkeyCount() const {
  FillSubkeys();
  return liveSubkeys_;
}

RegistryKey* RegistryKey::SubkeyAt(std::size_t index,
                                   SubkeyCursor* cursor) const {
  FillSubkeys();
  if (index >= liveSubkeys_) return nullptr;
  SubkeyCursor at;
  if (cursor && cursor->index <= index && cursor->slot < subkeys_.size())
    at = *cursor;
  for (; at.slot < subkeys_.size(); ++at.slot) {
    if (!subkeys_[at.slot]) continue;
    if (at.index == index) {
      if (cursor) *cursor = at;
      return subkeys_[at.slot];
    }
    ++at.index;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name,
                                     const SubkeyCursor* hint) const {
  FillSubkeys();
  if (hint && hint->slot < subkeys_.size() && subkeys_[hint->slot] &&
      EqualsAsciiFolded(subkeys_[hint->slot]->name_, name)) {
    return subkeys_[hint->slot];
  }
  if (!index_ && liveSubkeys_ > kIndexThreshold) {
    index_ = std::make_unique<NameIndex>();
    for (RegistryKey* slot : subkeys_) {
      if (slot) index_->emplace(slot->name_, slot);
    }
  }
  if (index_) {
    auto found = index_->find(name);
    return found == index_->end() ? nullptr : found->second;
  }
  for (RegistryKey* slot : subkeys_) {
    if (slot && EqualsAsciiFolded(slot->name_, name)) return slot;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindOrAddSubkey(std::string_view name) {
  if (RegistryKey* existing = FindSubkey(name)) return existing;
  return AddSubkey(new RegistryKey(name, this));
}

RegistryKey* RegistryKey::AddSubkey(RegistryKey* subkey) {
  FillSubkeys();
  subkey->slot_ = subkeys_.size();
  subkeys_.push_back(subkey);
  ++liveSubkeys_;
  if (index_) index_->emplace(subkey->name_, subkey);
  return subkey;
}

void RegistryKey::RemoveSubkey(RegistryKey* subkey) {
  FillSubkeys();
  if (subkey->parent_ != this || subkey->slot_ >= subkeys_.size() ||
      subkeys_[subkey->slot_] != subkey) {
    return;
  }
  if (index_) index_->erase(subkey->name_);
  subkeys_[subkey->slot_] = nullptr;
  --liveSubkeys_;
  delete subkey;
}

std::vector<RegistryValue> RegistryKey::Values() const {
  FillValues();
  std::vector<RegistryValue> values;
  for (std::size_t at = 0; at < values_.size();)
    values.push_back(RecordAt(values_, &at));
  return values;
}

std::size_t RegistryKey::FindValueOffset(std::string_view name) const {
  FillValues();
  for (std::size_t at = 0; at < values_.size();) {
    std::size_t start = at;
    if (EqualsAsciiFolded(RecordAt(values_, &at).name, name)) return start;
  }
  return std::string::npos;
}

std::optional<RegistryValue> RegistryKey::FindValue(
    std::string_view name) const {
  std::size_t at = FindValueOffset(name);
  if (at == std::string::npos) return std::nullopt;
  return RecordAt(values_, &at);
}

void RegistryKey::SetValue(std::string_view name, std::uint32_t type,
                           std::string_view data) {
  std::size_t at = FindValueOffset(name);
  ++valueWrites_;
  if (at == std::string::npos) return AppendRecord(values_, name, type, data);
  std::size_t end = at;
  RegistryValue old = RecordAt(values_, &end);
  std::string record;  // the name keeps the spelling it was first written with
  AppendRecord(record, old.name, type, data);
  values_.replace(at, end - at, record);
}

bool RegistryKey::RemoveValue(std::string_view name) {
  std::size_t at = FindValueOffset(name);
  if (at == std::string::npos) return false;
  ++valueWrites_;
  std::size_t end = at;
  RecordAt(values_, &end);
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
  if (parent_ == nullptr) return std::string();
  std::string path = parent_->Path();
  if (!path.empty()) path += '\\';
  return path.append(name_);
}

bool SameValues(const RegistryKey& a, const RegistryKey& b) {
  a.FillValues();
  b.FillValues();
  return a.values_ == b.values_;
}

RegistryKey* FindKeyPath(const RegistryKey& from, std::string_view path) {
  const RegistryKey* key = &from;
  while (key != nullptr && !path.empty()) {
    std::size_t cut = path.find('\\');
    key = key->FindSubkey(path.substr(0, cut));
    path.remove_prefix(cut == std::string_view::npos ? path.size() : cut + 1);
  }
  return const_cast<RegistryKey*>(key);
}

RegistryKey* MakeKeyPath(RegistryKey& from, std::string_view path) {
  RegistryKey* key = &from;
  for (std::size_t cut = 0; cut != std::string_view::npos;) {
    cut = path.find('\\');
    key = key->FindOrAddSubkey(path.substr(0, cut));
    path.remove_prefix(cut == std::string_view::npos ? 0 : cut + 1);
  }
  return key;
}

RegistryKey* Registry::Find(std::string_view path) const {
  return FindKeyPath(top, path);
}

std::string RegistryDifference(RegistryKey& a, RegistryKey& b) {
  // Depth first; a pair is emptied again once all below it is compared,
  // where the walk was the first to look into it.
  struct Step {
    RegistryKey* a;
    RegistryKey* b;
    bool compared;
  };
  std::vector<Step> stack{{&a, &b, false}};
  std::vector<RegistryKey*> left;
  std::vector<RegistryKey*> right;
  auto gather = [](RegistryKey& key, std::vector<RegistryKey*>& into) {
    into.clear();
    key.ForEachSubkey([&](const RegistryKey& k) {
      into.push_back(&const_cast<RegistryKey&>(k));
    });
  };
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    if (step.compared) {
      step.a->Unfill();
      step.b->Unfill();
      continue;
    }
    const bool waiting = step.a->subkeysWaiting() && step.a->valuesWaiting() &&
                         step.b->subkeysWaiting() && step.b->valuesWaiting();
    const std::optional<std::string_view> stored[2] = {step.a->storedValues(),
                                                       step.b->storedValues()};
    if (!(stored[0] && stored[1] && *stored[0] == *stored[1]) &&
        !SameValues(*step.a, *step.b)) {
      return step.a->Path() + ": values differ";
    }
    gather(*step.a, left);
    gather(*step.b, right);
    for (std::size_t i = 0; i < left.size() || i < right.size(); ++i) {
      if (i == left.size() || i == right.size() ||
          left[i]->name() != right[i]->name()) {
        return (i < left.size() ? left[i] : right[i])->Path() +
               ": missing, added or out of place";
      }
    }
    if (waiting) stack.push_back({step.a, step.b, true});
    for (std::size_t i = left.size(); i-- > 0;)
      stack.push_back({left[i], right[i], false});
  }
  return std::string();
}

}  // namespace brindle
