#include "platform/hosted/registry.h"

namespace brindle {
namespace {

constexpr std::size_t kIndexThreshold = 16;

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

}  // namespace

bool EqualsAsciiFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(static_cast<unsigned char>(a[i])) !=
        FoldAscii(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::size_t RegistryKey::FoldedHash::operator()(std::string_view name) const {
  // FNV-1a over the folded bytes.
  std::size_t hash = 1469598103934665603ull & ~std::size_t{0};
  for (char c : name) {
    hash ^= FoldAscii(static_cast<unsigned char>(c));
    hash *= 1099511628211ull & ~std::size_t{0};
  }
  return hash;
}

RegistryKey::~RegistryKey() {
  // Deep trees are taken down without recursion.
  std::vector<std::unique_ptr<RegistryKey>> pending = std::move(subkeys_);
  while (!pending.empty()) {
    std::unique_ptr<RegistryKey> key = std::move(pending.back());
    pending.pop_back();
    if (!key) continue;
    for (auto& slot : key->subkeys_) pending.push_back(std::move(slot));
    key->subkeys_.clear();
  }
}

RegistryKey* RegistryKey::SubkeyAt(std::size_t index) const {
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
      cursorIndex_ = live;
      cursorSlot_ = slot;
      return subkeys_[slot].get();
    }
    ++live;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
  if (!index_ && liveSubkeys_ > kIndexThreshold) {
    index_ = std::make_unique<NameIndex>();
    index_->reserve(liveSubkeys_);
    for (const auto& slot : subkeys_) {
      if (slot) index_->emplace(slot->name_, slot.get());
    }
  }
  if (index_) {
    auto found = index_->find(name);
    return found == index_->end() ? nullptr : found->second;
  }
  for (const auto& slot : subkeys_) {
    if (slot && EqualsAsciiFolded(slot->name_, name)) return slot.get();
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindOrAddSubkey(std::string_view name) {
  if (RegistryKey* existing = FindSubkey(name)) return existing;
  subkeys_.push_back(std::make_unique<RegistryKey>(std::string(name), this));
  RegistryKey* added = subkeys_.back().get();
  added->slot_ = subkeys_.size() - 1;
  ++liveSubkeys_;
  if (index_) index_->emplace(added->name_, added);
  return added;
}

void RegistryKey::RemoveSubkey(RegistryKey* subkey) {
  std::size_t slot = subkey->slot_;
  if (subkey->parent_ != this || slot >= subkeys_.size() ||
      subkeys_[slot].get() != subkey) {
    return;
  }
  if (index_) index_->erase(subkey->name_);
  if (slot < cursorSlot_) --cursorIndex_;
  subkeys_[slot].reset();
  --liveSubkeys_;
  if (subkeys_.size() > 64 && liveSubkeys_ < subkeys_.size() / 2) Compact();
}

void RegistryKey::Compact() {
  std::size_t kept = 0;
  for (auto& slot : subkeys_) {
    if (!slot) continue;
    slot->slot_ = kept;
    subkeys_[kept++] = std::move(slot);
  }
  subkeys_.resize(kept);
  cursorIndex_ = 0;
  cursorSlot_ = 0;
}

const RegistryValue* RegistryKey::FindValue(std::string_view name) const {
  for (const RegistryValue& value : values_) {
    if (EqualsAsciiFolded(value.name, name)) return &value;
  }
  return nullptr;
}

void RegistryKey::SetValue(std::string_view name, std::uint32_t type,
                           std::string data) {
  for (RegistryValue& value : values_) {
    if (EqualsAsciiFolded(value.name, name)) {
      value.type = type;
      value.data = std::move(data);
      return;
    }
  }
  values_.push_back(RegistryValue{std::string(name), type, std::move(data)});
}

bool RegistryKey::RemoveValue(std::string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (EqualsAsciiFolded(it->name, name)) {
      values_.erase(it);
      return true;
    }
  }
  return false;
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

RegistryKey* Registry::Find(std::string_view path) const {
  return FindKeyPath(top, path);
}

}  // namespace brindle
