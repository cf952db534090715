#include "platform/hosted/registry.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace brindle {
namespace {

constexpr std::size_t kIndexThreshold = 16;
constexpr std::size_t kValueHeader = 12;

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// Eight bytes with ASCII capitals made small, other bytes left alone.
inline std::uint64_t FoldWord(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  std::uint64_t low7 = word & ~kHigh;
  std::uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;
  std::uint64_t aboveZ = low7 + (0x80 - 'Z' - 1) * kOnes;
  std::uint64_t capital = atLeastA & ~aboveZ & ~word & kHigh;
  return word | (capital >> 2);
}

std::uint32_t FoldedHash(std::string_view name) {
  // Eight folded bytes a step, mixed by multiplying.
  std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ name.size();
  const char* p = name.data();
  std::size_t left = name.size();
  while (true) {
    std::uint64_t word = 0;
    std::size_t take = left < 8 ? left : 8;
    std::memcpy(&word, p, take);
    hash = (hash ^ FoldWord(word)) * 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 32;
    if (left <= 8) break;
    p += 8;
    left -= 8;
  }
  return static_cast<std::uint32_t>(hash);
}

std::uint32_t Load32(const char* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

// Writes a record's header: name length, type and data length.
void StoreRecordHeader(char* at, std::size_t nameLength, std::uint32_t type,
                       std::size_t dataLength) {
  std::uint32_t header[3] = {static_cast<std::uint32_t>(nameLength), type,
                             static_cast<std::uint32_t>(dataLength)};
  std::memcpy(at, header, kValueHeader);
}

void AppendRecord(std::string& out, std::string_view name, std::uint32_t type,
                  std::string_view data) {
  std::size_t needed = out.size() + kValueHeader + name.size() + data.size();
  if (needed > out.capacity())
    out.reserve(std::max(needed, out.capacity() * 2));
  std::size_t at = out.size();
  out.append(kValueHeader, '\0');
  StoreRecordHeader(&out[at], name.size(), type, data.size());
  out.append(name.data(), name.size());
  out.append(data.data(), data.size());
}

// Room for `count` keys. A large block is mapped with its pages made at
// once: every key in it is built straight away, and one call costs less
// than a fault a page.
constexpr std::size_t kMappedBlock = 1 << 20;

RegistryKey* AllocateKeyBlock(std::size_t count) {
#if defined(MAP_POPULATE)
  std::size_t bytes = count * sizeof(RegistryKey);
  if (bytes >= kMappedBlock) {
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc();
    return static_cast<RegistryKey*>(at);
  }
#endif
  return std::allocator<RegistryKey>().allocate(count);
}

void FreeKeyBlock(RegistryKey* block, std::size_t count) {
#if defined(MAP_POPULATE)
  std::size_t bytes = count * sizeof(RegistryKey);
  if (bytes >= kMappedBlock) {
    ::munmap(block, bytes);
    return;
  }
#endif
  std::allocator<RegistryKey>().deallocate(block, count);
}

// Sorts 32-bit hashes by their two halves in turn: two linear passes,
// however many there are.
void SortHashes(std::vector<std::uint32_t>& hashes) {
  if (hashes.size() < 256) {
    std::sort(hashes.begin(), hashes.end());
    return;
  }
  std::vector<std::uint32_t> other(hashes.size());
  std::vector<std::uint32_t> counts(1 << 16);
  for (int shift : {0, 16}) {
    std::fill(counts.begin(), counts.end(), 0);
    for (std::uint32_t hash : hashes) ++counts[(hash >> shift) & 0xFFFF];
    std::uint32_t total = 0;
    for (std::uint32_t& count : counts) {
      std::uint32_t here = count;
      count = total;
      total += here;
    }
    for (std::uint32_t hash : hashes)
      other[counts[(hash >> shift) & 0xFFFF]++] = hash;
    hashes.swap(other);
  }
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

}  // namespace

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
    std::uint32_t hash = FoldedHash(name);
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
  void Add(RegistryKey* key) { Put(key, FoldedHash(key->name_)); }
  void Remove(RegistryKey* key) {
    std::uint32_t hash = FoldedHash(key->name_);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
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
    if ((used_ + 1) * 2 > slots_.size()) Grow();
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
    : parent_(parent) {
  if (!name.empty()) {
    ownedName_.reset(new char[name.size()]);
    std::memcpy(ownedName_.get(), name.data(), name.size());
    name_ = std::string_view(ownedName_.get(), name.size());
  }
}

RegistryKey::~RegistryKey() {
  // Deep trees are taken down without recursion: the keys below are taken
  // down one by one, then the blocks that held them are given back.
  struct Block {
    RegistryKey* keys;
    std::uint32_t size;
  };
  std::vector<Block> blocks;
  std::vector<RegistryKey*> pending;
  auto takeFrom = [&](RegistryKey& key) {
    for (RegistryKey* slot : key.subkeys_) {
      if (slot) pending.push_back(slot);
    }
    key.subkeys_.clear();
    if (key.block_ != nullptr)
      blocks.push_back(Block{key.block_, key.blockSize_});
    key.block_ = nullptr;
  };
  takeFrom(*this);
  while (!pending.empty()) {
    RegistryKey* key = pending.back();
    pending.pop_back();
    takeFrom(*key);
    if (key->inBlock_) {
      key->~RegistryKey();
    } else {
      delete key;
    }
  }
  for (const Block& block : blocks) {
    FreeKeyBlock(block.keys, block.size);
  }
}

void RegistryKey::Dispose(RegistryKey* key) {
  if (key->inBlock_) {
    key->~RegistryKey();  // its memory stays with its parent's block
  } else {
    delete key;
  }
}

void RegistryKey::Defer(const ExportText* text, std::uint32_t line) {
  text_ = text;
  deferred_ = true;
  line_ = line;
}

std::string_view RegistryKey::UntouchedText() const {
  if (!deferred_ || moreLines_ != nullptr || respelled_ ||
      line_ == ExportText::kTop) {
    return std::string_view();
  }
  return text_->Subtree(line_);
}

std::string_view RegistryKey::OwnLinesAsRead() const {
  if (!valuesAsRead_ || deferred_ || respelled_) return std::string_view();
  return text_->OwnLines(line_);
}

void RegistryKey::ExpandText() {
  const ExportText& text = *text_;
  deferred_ = false;
  std::unique_ptr<std::vector<std::uint32_t>> moreLines = std::move(moreLines_);
  auto forEachLine = [&](auto&& visit) {
    visit(line_);
    if (moreLines == nullptr) return;
    for (std::uint32_t line : *moreLines) visit(line);
  };
  bool asRead = moreLines == nullptr && line_ != ExportText::kTop;
  forEachLine([&](std::uint32_t line) {
    if (line == ExportText::kTop) return;
    std::string_view lines = text.ValueLines(line);
    if (!lines.empty()) asRead = DecodeValues(lines, text.lineEnd()) && asRead;
  });
  valuesAsRead_ = asRead;
  // The subkeys' lines, each with whether a later naming of this key gave
  // it: below that, the text may spell its path otherwise than the key is
  // named.
  struct Subkey {
    std::uint32_t line;
    bool respelled;
  };
  std::vector<Subkey> subkeys;
  forEachLine([&](std::uint32_t line) {
    std::uint32_t end = text.SubtreeEnd(line);
    for (std::uint32_t at = text.FirstSubkey(line); at < end;
         at = text.SubtreeEnd(at)) {
      subkeys.push_back(Subkey{at, respelled_ || line != line_});
    }
  });
  if (subkeys.empty()) return;
  // A key the text names twice under one parent is one key, as when the
  // file is read line by line. Names can only repeat where hashes do, and
  // sorting the hashes finds that without a lookup a name.
  bool mayRepeat = false;
  if (subkeys.size() > 1) {
    std::vector<std::uint32_t> hashes;
    hashes.reserve(subkeys.size());
    for (const Subkey& subkey : subkeys)
      hashes.push_back(FoldedHash(text.Name(subkey.line)));
    SortHashes(hashes);
    mayRepeat =
        std::adjacent_find(hashes.begin(), hashes.end()) != hashes.end();
  }
  subkeys_.reserve(subkeys.size());
  // All the subkeys in one block: one allocation, not one a key.
  block_ = AllocateKeyBlock(subkeys.size());
  blockSize_ = static_cast<std::uint32_t>(subkeys.size());
  std::size_t built = 0;
  for (const Subkey& subkey : subkeys) {
    std::string_view subkeyName = text.Name(subkey.line);
    RegistryKey* named = mayRepeat ? FindSubkey(subkeyName) : nullptr;
    if (named != nullptr) {
      if (named->moreLines_ == nullptr)
        named->moreLines_ = std::make_unique<std::vector<std::uint32_t>>();
      named->moreLines_->push_back(subkey.line);
    } else {
      named = new (block_ + built++) RegistryKey(std::string_view(), this);
      named->name_ = subkeyName;
      named->inBlock_ = true;
      named->Defer(&text, subkey.line);
      Adopt(named);
    }
    named->respelled_ = named->respelled_ || subkey.respelled;
  }
}

bool RegistryKey::DecodeValues(std::string_view lines,
                               std::string_view lineEnd) {
  ValueLineDecoder values(lines, lineEnd);
  std::size_t nameSize = 0;
  std::uint32_t type = 0;
  if (!values_.empty()) {
    std::string both;
    while (values.Next(&both, &nameSize, &type)) {
      std::string_view name(both.data(), nameSize);
      SetValue(name, type, std::string_view(both).substr(nameSize));
      both.clear();
    }
    return false;
  }
  // Decoded straight into records in the text's scratch block, then stored
  // at their exact size.
  std::string& gathered = text_->Scratch();
  gathered.clear();
  while (true) {
    std::size_t header = gathered.size();
    gathered.append(kValueHeader, '\0');
    if (!values.Next(&gathered, &nameSize, &type)) {
      gathered.resize(header);
      break;
    }
    StoreRecordHeader(&gathered[header], nameSize, type,
                      gathered.size() - header - kValueHeader - nameSize);
  }
  values_.assign(gathered);
  // A name given twice is one value, as when the file is read line by line.
  for (std::size_t at = 0; at < values_.size();) {
    std::string_view first = ValueAt(&at).name;
    for (std::size_t later = at; later < values_.size();) {
      if (!EqualsAsciiFolded(first, ValueAt(&later).name)) continue;
      std::string block = std::move(values_);
      values_.clear();
      for (std::size_t each = 0; each < block.size();) {
        RegistryValue value = RecordAt(block, &each);
        SetValue(value.name, value.type, value.data);
      }
      return false;
    }
  }
  return true;
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
      return subkeys_[slot];
    }
    ++live;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
  Expand();
  // A walk by index mostly opens or deletes the subkey it was just handed.
  if (cursorSlot_ < subkeys_.size()) {
    const RegistryKey* last = subkeys_[cursorSlot_];
    if (last != nullptr && EqualsAsciiFolded(last->name_, name))
      return const_cast<RegistryKey*>(last);
  }
  if (!index_ && liveSubkeys_ > kIndexThreshold) {
    index_ = std::make_unique<NameIndex>(liveSubkeys_);
    for (RegistryKey* slot : subkeys_) {
      if (slot) index_->Add(slot);
    }
  }
  if (index_) return index_->Find(name);
  for (RegistryKey* slot : subkeys_) {
    if (slot && EqualsAsciiFolded(slot->name_, name)) return slot;
  }
  return nullptr;
}

RegistryKey* RegistryKey::FindOrAddSubkey(std::string_view name) {
  if (RegistryKey* existing = FindSubkey(name)) return existing;
  return AddSubkey(name);
}

RegistryKey* RegistryKey::AddSubkey(std::string_view name) {
  RegistryKey* added = new RegistryKey(name, this);
  Adopt(added);
  return added;
}

void RegistryKey::Adopt(RegistryKey* added) {
  subkeys_.push_back(added);
  added->slot_ = static_cast<std::uint32_t>(subkeys_.size() - 1);
  ++liveSubkeys_;
  if (index_) index_->Add(added);
}

void RegistryKey::RemoveSubkey(RegistryKey* subkey) {
  Expand();
  std::size_t slot = subkey->slot_;
  if (subkey->parent_ != this || slot >= subkeys_.size() ||
      subkeys_[slot] != subkey) {
    return;
  }
  if (index_) index_->Remove(subkey);
  if (slot < cursorSlot_) --cursorIndex_;
  subkeys_[slot] = nullptr;
  Dispose(subkey);
  --liveSubkeys_;
  if (subkeys_.size() > 64 && liveSubkeys_ < subkeys_.size() / 2) Compact();
}

void RegistryKey::Compact() {
  std::size_t kept = 0;
  for (RegistryKey* slot : subkeys_) {
    if (!slot) continue;
    slot->slot_ = static_cast<std::uint32_t>(kept);
    subkeys_[kept++] = slot;
  }
  subkeys_.resize(kept);
  cursorIndex_ = 0;
  cursorSlot_ = 0;
  // The removal markers go with a fresh index.
  index_.reset();
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
  valuesAsRead_ = false;
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
  valuesAsRead_ = false;
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
  valuesAsRead_ = false;
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
