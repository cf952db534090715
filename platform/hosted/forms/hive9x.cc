#include "platform/hosted/forms/hive9x.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace brindle {
namespace {

using Header = HiveHeader;
using Navigation = HiveNavigation;
using Hierarchy = HiveHierarchy;
using Block = HiveBlock;
using NameEntry = HiveNameEntry;
using Value = HiveValue;

constexpr std::uint32_t kNone = kHiveNone;
constexpr std::uint32_t kNoNumber = kHiveNoNumber;
constexpr std::uint32_t kPage = 4096;
// Windows fills a data block up to 60 KB or 255 name entries.
constexpr std::uint32_t kBlockLimit = 0xF000;
constexpr std::uint32_t kBlockEntries = 255;
constexpr std::uint32_t kMaxField = 0xFFFF;

std::string Hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return "0x" + out;
}

bool Fail(Hive9xFault* fault, std::uint64_t offset, std::string what) {
  fault->offset = offset;
  fault->what = std::move(what);
  return false;
}

// The last of two names in `names` that are the same but for ASCII case,
// or null: a few compared pair by pair, more as neighbours once sorted by
// their folded hash.
const std::string_view* FoldedTwin(const std::vector<std::string_view>& names,
                                   std::vector<std::uint64_t>* scratch) {
  if (names.size() <= 8) {
    for (std::size_t b = 1; b < names.size(); ++b) {
      for (std::size_t a = 0; a < b; ++a) {
        if (EqualsAsciiFolded(names[a], names[b])) return &names[b];
      }
    }
    return nullptr;
  }
  scratch->clear();
  for (std::size_t i = 0; i < names.size(); ++i)
    scratch->push_back(std::uint64_t{FoldedNameHash(names[i])} << 32 | i);
  std::sort(scratch->begin(), scratch->end());
  for (std::size_t i = 1; i < scratch->size(); ++i) {
    const std::uint64_t a = (*scratch)[i - 1];
    const std::uint64_t b = (*scratch)[i];
    if (a >> 32 == b >> 32 &&
        EqualsAsciiFolded(names[a & kNone], names[b & kNone])) {
      return &names[std::max(a, b) & kNone];
    }
  }
  return nullptr;
}

// One value as the file stores it.
struct StoredValue {
  std::string_view name;
  std::uint32_t type;
  std::string_view data;
  std::string_view whole;  // header, name and data
};

// Calls `visit` for each value of the name entry at `entry`, checked already.
template <typename Visit>
void ForEachStored(std::string_view file, std::uint64_t entry, Visit&& visit) {
  std::uint64_t at =
      entry + NameEntry::kSize + LoadField(file, entry, NameEntry::kNameSize);
  for (std::uint32_t n = LoadField(file, entry, NameEntry::kValueCount); n != 0;
       --n) {
    const std::uint32_t nameSize = LoadField(file, at, Value::kNameSize);
    const std::uint32_t dataSize = LoadField(file, at, Value::kDataSize);
    StoredValue value;
    value.type = LoadField(file, at, Value::kType);
    value.name = file.substr(at + Value::kSize, nameSize);
    value.data = file.substr(at + Value::kSize + nameSize, dataSize);
    value.whole = file.substr(at, Value::kSize + nameSize + dataSize);
    visit(value);
    at += value.whole.size();
  }
}

// Windows 9x keeps a string without its closing NUL and hands it out with
// one: true when `data` is what a read of `stored` hands out.
bool HandsOut(const StoredValue& stored, std::string_view data) {
  if (stored.type != REG_SZ) return data == stored.data;
  return data.size() == stored.data.size() + 1 && data.back() == '\0' &&
         data.substr(0, stored.data.size()) == stored.data;
}

// A key of the file, as the checks found it.
struct Node {
  std::uint32_t entry;          // its hierarchy entry, in the RGKN record
  std::uint32_t nameEntry = 0;  // its name entry in the file, 0 for none
  std::uint32_t block = 0;      // the data block that holds that
  std::uint32_t firstChild = kNone;
  std::uint32_t nextSibling = kNone;
};

class Hive9xFile final : public KeyFiller {
 public:
  explicit Hive9xFile(FileBytes bytes) : bytes_(std::move(bytes)) {}

  // Checks every structure of the file and finds its keys.
  bool Check(Hive9xFault* fault);
  void FillSubkeys(RegistryKey& key, std::uint32_t tag) override;
  void FillValues(RegistryKey& key, std::uint32_t tag) override;
  std::optional<std::string_view> StoredValues(
      std::uint32_t tag) const override;
  bool Update(const Registry& registry, HiveImage& image,
              Hive9xFault* fault) const;
  std::string_view bytes() const { return bytes_.view(); }

 private:
  // The steps of an update, each on the image.
  struct Growth {
    explicit Growth(std::uint32_t firstBlock) : blocks(&added, firstBlock) {}
    std::string added;
    HiveBlockWriter blocks;
  };
  void UnlinkKey(HiveImage& image, std::uint64_t linkAt,
                 std::uint32_t node) const;
  void FreeSubtree(HiveImage& image, std::uint32_t top) const;
  void FreeHierarchyEntry(HiveImage& image, std::uint32_t entry) const;
  void FreeNameEntry(HiveImage& image, std::uint32_t entry,
                     std::uint32_t block) const;
  bool RewriteValues(HiveImage& image, Growth& growth, const RegistryKey& key,
                     const Node& node, Hive9xFault* fault) const;
  void MoveNameEntry(HiveImage& image, Growth& growth, const Node& node,
                     std::string entry) const;
  bool Grow(HiveImage& image, Growth& growth, Hive9xFault* fault) const;

  bool CheckBlock(std::uint64_t at, std::uint64_t end,
                  std::vector<std::uint32_t>* numbered, Hive9xFault* fault);
  bool CheckNameEntry(std::uint64_t entry, std::uint32_t size,
                      Hive9xFault* fault);
  bool CheckKeys(std::uint32_t navSize,
                 std::vector<std::vector<std::uint32_t>>& numbered,
                 Hive9xFault* fault);
  std::string_view NameOf(const Node& node) const {
    if (node.nameEntry == 0) return std::string_view();
    return bytes_.view().substr(
        node.nameEntry + NameEntry::kSize,
        LoadField(bytes_.view(), node.nameEntry, NameEntry::kNameSize));
  }

  FileBytes bytes_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> blocks_;  // each data block's offset
  std::vector<std::string_view> names_;
  std::vector<std::uint64_t> scratch_;
};

bool Hive9xFile::Check(Hive9xFault* fault) {
  const std::string_view file = bytes_.view();
  if (file.size() < Header::kSize + Navigation::kSize ||
      file.substr(0, 4) != "CREG") {
    return Fail(fault, 0, "not a Windows 9x registry file (no CREG signature)");
  }
  if (file.size() > kNone) {  // every offset in the format is 32 bits
    return Fail(fault, 0, "a file of 4 GiB or more");
  }
  if (LoadField(file, 0, Header::kVersion) != 1) {
    return Fail(fault, Header::kVersion.at,
                "format version " + Hex(LoadField(file, 0, Header::kVersion)) +
                    ", not 1");
  }
  const std::uint64_t nav = Navigation::kAt;
  if (file.substr(nav, 4) != "RGKN") {
    return Fail(fault, nav, "no key navigation record (RGKN)");
  }
  const std::uint32_t navSize = LoadField(file, nav, Navigation::kRecordSize);
  if (navSize < Navigation::kSize + Hierarchy::kSize ||
      navSize > file.size() - nav) {
    return Fail(
        fault, nav + Navigation::kRecordSize.at,
        "key navigation size " + Hex(navSize) + " does not fit the file");
  }
  const std::uint32_t blocksAt = LoadField(file, 0, Header::kBlocksAt);
  if (blocksAt < nav + navSize || blocksAt > file.size()) {
    return Fail(fault, Header::kBlocksAt.at,
                "data blocks offset " + Hex(blocksAt) +
                    " inside the key navigation or past the file");
  }
  // Every data block, every entry in it: where each name entry is.
  std::vector<std::vector<std::uint32_t>> numbered;
  for (std::uint64_t at = blocksAt; at < file.size();) {
    if (file.size() - at < Block::kSize || file.substr(at, 4) != "RGDB") {
      return Fail(fault, at, "no data block (RGDB) where one should start");
    }
    const std::uint32_t size = LoadField(file, at, Block::kBlockSize);
    if (size < Block::kSize || size > file.size() - at) {
      return Fail(fault, at + Block::kBlockSize.at,
                  "data block size " + Hex(size) + " does not fit the file");
    }
    if (numbered.size() == kMaxField) {
      return Fail(fault, at, "more data blocks than a key can name");
    }
    if (!CheckBlock(at, at + size, &numbered.emplace_back(), fault))
      return false;
    bytes_.Read(size);
    blocks_.push_back(static_cast<std::uint32_t>(at));
    at += size;
  }
  if (LoadField(file, 0, Header::kBlockCount) != blocks_.size()) {
    return Fail(fault, Header::kBlockCount.at,
                "the header counts " +
                    std::to_string(LoadField(file, 0, Header::kBlockCount)) +
                    " data blocks, the file holds " +
                    std::to_string(blocks_.size()));
  }
  return CheckKeys(navSize, numbered, fault);
}

bool Hive9xFile::CheckBlock(std::uint64_t at, std::uint64_t end,
                            std::vector<std::uint32_t>* numbered,
                            Hive9xFault* fault) {
  const std::string_view file = bytes_.view();
  std::vector<std::uint32_t> free;  // where the free entries are, in order
  std::uint64_t freeSize = 0;
  for (std::uint64_t entry = at + Block::kSize; entry < end;) {
    const std::uint32_t size =
        end - entry < NameEntry::kLeast
            ? 0
            : LoadField(file, entry, NameEntry::kEntrySize);
    if (size < NameEntry::kLeast || size > end - entry) {
      return Fail(fault, entry, "entry does not fit its data block");
    }
    const std::uint32_t number = LoadField(file, entry, NameEntry::kNumber);
    if (number == kNoNumber) {
      free.push_back(static_cast<std::uint32_t>(entry - at));
      freeSize += size;
    } else {
      if (!CheckNameEntry(entry, size, fault)) return false;
      if (numbered->size() <= number) numbered->resize(number + 1, 0);
      if ((*numbered)[number] != 0) {
        return Fail(fault, entry + NameEntry::kNumber.at,
                    "name entry number " + std::to_string(number) +
                        " twice in its data block");
      }
      (*numbered)[number] = static_cast<std::uint32_t>(entry);
    }
    entry += size;
  }
  // The free list holds every free entry once, and nothing else.
  std::vector<bool> listed(free.size(), false);
  std::size_t count = 0;
  for (std::uint32_t next = LoadField(file, at, Block::kFirstFree);
       next != kNone; ++count) {
    auto found = std::lower_bound(free.begin(), free.end(), next);
    if (found == free.end() || *found != next || listed[found - free.begin()]) {
      return Fail(fault, at + Block::kFirstFree.at,
                  "the data block's free list does not hold its free entries");
    }
    listed[found - free.begin()] = true;
    next = LoadField(file, at + next, NameEntry::kUsed);
  }
  if (count != free.size()) {
    return Fail(fault, at + Block::kFirstFree.at,
                "the data block's free list does not hold its free entries");
  }
  if (LoadField(file, at, Block::kUnused) != freeSize) {
    return Fail(fault, at + Block::kUnused.at,
                "the data block's free space is not the sum of its free "
                "entries");
  }
  return true;
}

bool Hive9xFile::CheckNameEntry(std::uint64_t entry, std::uint32_t size,
                                Hive9xFault* fault) {
  const std::string_view file = bytes_.view();
  if (size < NameEntry::kSize) {
    return Fail(fault, entry, "name entry too small");
  }
  if (LoadField(file, entry, NameEntry::kUsed) > size) {
    return Fail(fault, entry + NameEntry::kUsed.at,
                "used size past the end of its entry");
  }
  const std::uint64_t end = entry + size;
  std::uint64_t at =
      entry + NameEntry::kSize + LoadField(file, entry, NameEntry::kNameSize);
  if (at > end) {
    return Fail(fault, entry + NameEntry::kNameSize.at,
                "key name past the end of its entry");
  }
  names_.clear();
  for (std::uint32_t n = LoadField(file, entry, NameEntry::kValueCount); n != 0;
       --n) {
    if (end - at < Value::kSize) {
      return Fail(fault, at, "value past the end of its key's entry");
    }
    const std::uint32_t nameSize = LoadField(file, at, Value::kNameSize);
    const std::uint64_t next =
        at + Value::kSize + nameSize + LoadField(file, at, Value::kDataSize);
    if (next > end) {
      return Fail(fault, at, "value past the end of its key's entry");
    }
    names_.push_back(file.substr(at + Value::kSize, nameSize));
    at = next;
  }
  if (const std::string_view* twin = FoldedTwin(names_, &scratch_)) {
    return Fail(fault, entry,
                "two values named \"" + std::string(*twin) + "\"");
  }
  return true;
}

bool Hive9xFile::CheckKeys(std::uint32_t navSize,
                           std::vector<std::vector<std::uint32_t>>& numbered,
                           Hive9xFault* fault) {
  const std::string_view file = bytes_.view();
  const std::uint64_t nav = Navigation::kAt;
  // Each word of the record belongs to one entry at most: links that loop
  // or cross are caught the second time they reach a word. (Windows lays
  // entries on words.)
  std::vector<std::uint64_t> reached(navSize / 4 / 64 + 1, 0);
  auto reach = [&](std::uint32_t entry, std::uint64_t linkAt) {
    if (entry < Navigation::kSize || entry > navSize - Hierarchy::kSize ||
        entry % 4 != 0) {
      return Fail(fault, linkAt,
                  "link to " + Hex(entry) + " outside the key navigation");
    }
    for (std::uint32_t word = entry / 4; word < (entry + Hierarchy::kSize) / 4;
         ++word) {
      const std::uint64_t bit = std::uint64_t{1} << (word % 64);
      if (reached[word / 64] & bit) {
        return Fail(fault, linkAt,
                    "link to " + Hex(entry) + " reaches a key twice: a loop");
      }
      reached[word / 64] |= bit;
    }
    return true;
  };
  auto take = [&](std::uint32_t entry, std::uint32_t parent,
                  std::uint64_t linkAt) {
    if (!reach(entry, linkAt)) return false;
    const std::uint64_t at = nav + entry;
    if (LoadField(file, at, Hierarchy::kFlags) & Hierarchy::kFree) {
      return Fail(fault, linkAt, "link to the free entry " + Hex(entry));
    }
    if (parent != kNone && LoadField(file, at, Hierarchy::kParent) != parent) {
      return Fail(fault, at + Hierarchy::kParent.at,
                  "parent link does not lead back");
    }
    Node node{entry};
    const std::uint32_t block = LoadField(file, at, Hierarchy::kBlock);
    const std::uint32_t number = LoadField(file, at, Hierarchy::kNumber);
    if (parent == kNone && number == kNoNumber) {
      nodes_.push_back(node);  // the root mostly has no name entry
      return true;
    }
    if (block >= numbered.size() || number >= numbered[block].size() ||
        numbered[block][number] <= 1) {
      return Fail(fault, at + Hierarchy::kNumber.at,
                  "names no free name entry: number " + std::to_string(number) +
                      " of data block " + std::to_string(block));
    }
    node.nameEntry = numbered[block][number];
    node.block = block;
    bytes_.Read(Hierarchy::kSize + NameEntry::kSize);
    numbered[block][number] = 1;  // taken: a second key naming it is refused
    nodes_.push_back(node);
    return true;
  };

  nodes_.reserve(navSize / Hierarchy::kSize);
  if (!take(LoadField(file, nav, Navigation::kRoot), kNone,
            nav + Navigation::kRoot.at)) {
    return false;
  }
  std::vector<std::uint32_t> work{0};
  while (!work.empty()) {
    const std::uint32_t parent = work.back();
    work.pop_back();
    std::uint32_t last = kNone;
    names_.clear();
    std::uint64_t linkAt =
        nav + nodes_[parent].entry + Hierarchy::kFirstChild.at;
    for (std::uint32_t child = LoadField(file, linkAt, {0, 4}); child != kNone;
         child = LoadField(file, linkAt, {0, 4})) {
      const auto index = static_cast<std::uint32_t>(nodes_.size());
      if (!take(child, nodes_[parent].entry, linkAt)) return false;
      if (nodes_[index].nameEntry == 0) {
        return Fail(fault, nav + child + Hierarchy::kNumber.at,
                    "a subkey without a name entry");
      }
      (last == kNone ? nodes_[parent].firstChild : nodes_[last].nextSibling) =
          index;
      last = index;
      work.push_back(index);
      names_.push_back(NameOf(nodes_[index]));
      linkAt = nav + child + Hierarchy::kNext.at;
    }
    if (const std::string_view* twin = FoldedTwin(names_, &scratch_)) {
      return Fail(fault, nav + nodes_[parent].entry,
                  "two subkeys named \"" + std::string(*twin) + "\"");
    }
  }
  // The free entries' list holds free entries only, none a key's.
  std::uint64_t linkAt = nav + Navigation::kFirstFree.at;
  for (std::uint32_t entry = LoadField(file, linkAt, {0, 4}); entry != kNone;
       entry = LoadField(file, linkAt, {0, 4})) {
    if (!reach(entry, linkAt)) return false;
    if (!(LoadField(file, nav + entry, Hierarchy::kFlags) & Hierarchy::kFree)) {
      return Fail(fault, nav + entry,
                  "the free entries' list holds an entry not flagged free");
    }
    linkAt = nav + entry + Hierarchy::kNextFree.at;
  }
  return true;
}

void Hive9xFile::FillSubkeys(RegistryKey& key, std::uint32_t tag) {
  for (std::uint32_t c = nodes_[tag - 1].firstChild; c != kNone;
       c = nodes_[c].nextSibling) {
    // Names are borrowed from the file, held as long as the registry.
    bytes_.Read(Hierarchy::kSize + NameEntry::kSize);
    auto* subkey = new RegistryKey(NameOf(nodes_[c]), &key, true);
    subkey->FillLater(this, c + 1);
    key.AddSubkey(subkey);
  }
}

void Hive9xFile::FillValues(RegistryKey& key, std::uint32_t tag) {
  const Node& node = nodes_[tag - 1];
  if (node.nameEntry == 0) return;
  const std::uint32_t size =
      LoadField(bytes_.view(), node.nameEntry, NameEntry::kEntrySize);
  bytes_.Read(size);
  key.ReserveValues(size);
  std::string data;
  ForEachStored(bytes_.view(), node.nameEntry, [&](const StoredValue& value) {
    data.assign(value.data);
    if (value.type == REG_SZ) data += '\0';
    key.SetValue(value.name, value.type, data);
  });
}

std::optional<std::string_view> Hive9xFile::StoredValues(
    std::uint32_t tag) const {
  const Node& node = nodes_[tag - 1];
  if (node.nameEntry == 0) return std::string_view();
  const std::string_view file = bytes_.view();
  const std::uint64_t start =
      node.nameEntry + NameEntry::kSize +
      LoadField(file, node.nameEntry, NameEntry::kNameSize);
  std::uint64_t end = start;
  ForEachStored(file, node.nameEntry,
                [&](const StoredValue& v) { end += v.whole.size(); });
  bytes_.Read(end - node.nameEntry);
  return file.substr(start, end - start);
}

// A key's hierarchy entry is taken out of its siblings' list: the link that
// led to it leads to the one after it.
void Hive9xFile::UnlinkKey(HiveImage& image, std::uint64_t linkAt,
                           std::uint32_t node) const {
  const std::uint64_t at = Navigation::kAt + nodes_[node].entry;
  image.Store(linkAt, {0, 4}, image.Load(at, Hierarchy::kNext));
}

// A freed hierarchy entry heads the record's free list, its other fields
// left as they were, as Windows leaves them.
void Hive9xFile::FreeHierarchyEntry(HiveImage& image,
                                    std::uint32_t entry) const {
  const std::uint64_t nav = Navigation::kAt;
  image.Store(nav + entry, Hierarchy::kFlags, Hierarchy::kFree);
  image.Store(nav + entry, Hierarchy::kHash, Hierarchy::kSize);
  image.Store(nav + entry, Hierarchy::kNextFree,
              image.Load(nav, Navigation::kFirstFree));
  image.Store(nav, Navigation::kFirstFree, entry);
}

// A freed name entry likewise heads its block's free list; its number may
// be given again. Its name and values are emptied too: readers that parse
// every entry of a block on the way to the one they want (libcreg does)
// would read its old values against the free-list link.
void Hive9xFile::FreeNameEntry(HiveImage& image, std::uint32_t entry,
                               std::uint32_t block) const {
  const std::uint64_t at = blocks_[block];
  const std::uint32_t number = image.Load(entry, NameEntry::kNumber);
  image.Store(entry, NameEntry::kNumber, kNoNumber);
  image.Store(entry, NameEntry::kBlock, kNoNumber);
  image.Store(entry, NameEntry::kNameSize, 0);
  image.Store(entry, NameEntry::kValueCount, 0);
  image.Store(entry, NameEntry::kUsed, image.Load(at, Block::kFirstFree));
  image.Store(at, Block::kFirstFree, static_cast<std::uint32_t>(entry - at));
  image.Store(at, Block::kUnused,
              image.Load(at, Block::kUnused) +
                  image.Load(entry, NameEntry::kEntrySize));
  if (number < image.Load(at, Block::kLowestFree)) {
    image.Store(at, Block::kLowestFree, number);
  }
}

void Hive9xFile::FreeSubtree(HiveImage& image, std::uint32_t top) const {
  std::vector<std::uint32_t> work{top};
  while (!work.empty()) {
    const Node& node = nodes_[work.back()];
    work.pop_back();
    FreeHierarchyEntry(image, node.entry);
    if (node.nameEntry != 0) FreeNameEntry(image, node.nameEntry, node.block);
    for (std::uint32_t c = node.firstChild; c != kNone;
         c = nodes_[c].nextSibling) {
      work.push_back(c);
    }
  }
}

// Writes `key`'s values into its name entry: in place when they fit, else
// the entry moves to a block added at the end. A value as it was keeps its
// bytes.
bool Hive9xFile::RewriteValues(HiveImage& image, Growth& growth,
                               const RegistryKey& key, const Node& node,
                               Hive9xFault* fault) const {
  const std::string_view file = bytes_.view();
  std::string area;
  std::uint32_t count = 0;
  for (const RegistryValue& value : key.Values()) {
    ++count;
    const StoredValue* old = nullptr;
    StoredValue found{};
    if (node.nameEntry != 0) {
      ForEachStored(file, node.nameEntry, [&](const StoredValue& v) {
        if (old == nullptr && EqualsAsciiFolded(v.name, value.name)) {
          found = v;
          old = &found;
        }
      });
    }
    if (old != nullptr && old->type == value.type && old->name == value.name &&
        HandsOut(*old, value.data)) {
      area += old->whole;
    } else if (!AppendHiveValue(
                   area, value,
                   old ? LoadField(old->whole, 0, Value::kUnknown) : 0)) {
      return Fail(fault, node.nameEntry,
                  "a value of \"" + key.Path() + "\" is 64 KB or more");
    }
  }
  if (node.nameEntry == 0) {
    if (count == 0) return true;
    return Fail(fault, Navigation::kAt + node.entry,
                "the root key has no name entry to hold values");
  }
  const std::uint32_t entry = node.nameEntry;
  const std::uint32_t nameSize = LoadField(file, entry, NameEntry::kNameSize);
  const std::uint64_t areaAt = entry + NameEntry::kSize + nameSize;
  std::uint64_t oldEnd = areaAt;
  ForEachStored(file, entry,
                [&](const StoredValue& v) { oldEnd += v.whole.size(); });
  if (count == LoadField(file, entry, NameEntry::kValueCount) &&
      file.substr(areaAt, oldEnd - areaAt) == area) {
    return true;  // set to what they were
  }
  const auto used =
      static_cast<std::uint32_t>(NameEntry::kSize + nameSize + area.size());
  if (used <= LoadField(file, entry, NameEntry::kEntrySize)) {
    image.Write(areaAt, area);
    image.Store(entry, NameEntry::kUsed, used);
    image.Store(entry, NameEntry::kValueCount, count);
    return true;
  }
  std::string moved(file.substr(entry, NameEntry::kSize + nameSize));
  StoreField(moved, 0, NameEntry::kUsed, used);
  StoreField(moved, 0, NameEntry::kValueCount, count);
  MoveNameEntry(image, growth, node, moved + area);
  return true;
}

// The name entry is freed where it was and laid anew in a block added at
// the end; the key's hierarchy entry names its new place.
void Hive9xFile::MoveNameEntry(HiveImage& image, Growth& growth,
                               const Node& node, std::string entry) const {
  FreeNameEntry(image, node.nameEntry, node.block);
  std::uint32_t number = 0;
  std::uint32_t block = 0;
  growth.blocks.Add(std::move(entry), &number, &block);
  const std::uint64_t at = Navigation::kAt + node.entry;
  image.Store(at, Hierarchy::kNumber, number);
  image.Store(at, Hierarchy::kBlock, block);
}

// The blocks the moved entries went to are added, and counted.
bool Hive9xFile::Grow(HiveImage& image, Growth& growth,
                      Hive9xFault* fault) const {
  const std::uint32_t count = growth.blocks.Finish();
  if (count == blocks_.size()) return true;
  if (count > kMaxField) {
    return Fail(fault, Header::kBlockCount.at,
                "no room for another data block");
  }
  image.appended = std::move(growth.added);
  image.Store(0, Header::kBlockCount, count);
  return true;
}

bool Hive9xFile::Update(const Registry& registry, HiveImage& image,
                        Hive9xFault* fault) const {
  const RegistryKey* root = nullptr;
  bool foreign = false;
  registry.top.ForEachSubkey([&](const RegistryKey& key) {
    if (key.fillTag() == 1 && root == nullptr) {
      root = &key;
    } else {
      foreign = true;
    }
  });
  if (root == nullptr || foreign) {
    return Fail(fault, 0, "the registry holds a root the file does not");
  }
  Growth growth(static_cast<std::uint32_t>(blocks_.size()));
  struct Pending {
    const RegistryKey* key;
    std::uint32_t node;
  };
  std::vector<Pending> work{{root, 0}};
  std::vector<const RegistryKey*> live;
  while (!work.empty()) {
    const auto [key, index] = work.back();
    work.pop_back();
    const Node& node = nodes_[index];
    if (!key->valuesWaiting() && key->valueWrites() != 0 &&
        !RewriteValues(image, growth, *key, node, fault)) {
      return false;
    }
    if (key->subkeysWaiting()) continue;  // nothing below it was touched
    live.clear();
    key->ForEachSubkey(
        [&](const RegistryKey& subkey) { live.push_back(&subkey); });
    // The subkeys left are those of the file, in its order, less the
    // deleted ones: each of those is unlinked and freed with all below it.
    std::size_t next = 0;
    std::uint64_t linkAt =
        Navigation::kAt + node.entry + Hierarchy::kFirstChild.at;
    for (std::uint32_t c = node.firstChild; c != kNone;
         c = nodes_[c].nextSibling) {
      if (next < live.size() && live[next]->fillTag() == c + 1) {
        work.push_back({live[next++], c});
        linkAt = Navigation::kAt + nodes_[c].entry + Hierarchy::kNext.at;
      } else {
        UnlinkKey(image, linkAt, c);
        FreeSubtree(image, c);
      }
    }
    if (next != live.size()) {
      return Fail(fault, Navigation::kAt + node.entry,
                  "\"" + live[next]->Path() + "\" is a key the file lacks");
    }
  }
  return Grow(image, growth, fault);
}

}  // namespace

std::uint32_t LoadField(std::string_view bytes, std::uint64_t record,
                        HiveField field) {
  std::uint32_t value = 0;
  for (std::uint32_t i = field.size; i-- > 0;) {
    const std::uint64_t at = record + field.at + i;
    value = value << 8 |
            (at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0);
  }
  return value;
}

void StoreField(std::string& bytes, std::uint64_t record, HiveField field,
                std::uint32_t value) {
  for (std::uint32_t i = 0; i < field.size; ++i)
    bytes[record + field.at + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t HiveNameHash(std::string_view name) {
  std::uint32_t hash = 0;
  for (unsigned char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c < 0x80) hash += c;
  }
  return hash;
}

bool AppendHiveValue(std::string& out, const RegistryValue& value,
                     std::uint32_t unknown) {
  std::string_view data = value.data;
  if (value.type == REG_SZ && !data.empty() && data.back() == '\0') {
    data.remove_suffix(1);
  }
  if (value.name.size() > kMaxField || data.size() > kMaxField) return false;
  const std::size_t at = out.size();
  out.append(Value::kSize, '\0');
  StoreField(out, at, Value::kType, value.type);
  StoreField(out, at, Value::kUnknown, unknown);
  StoreField(out, at, Value::kNameSize,
             static_cast<std::uint32_t>(value.name.size()));
  StoreField(out, at, Value::kDataSize,
             static_cast<std::uint32_t>(data.size()));
  out += value.name;
  out += data;
  return true;
}

void HiveBlockWriter::Add(std::string entry, std::uint32_t* number,
                          std::uint32_t* block) {
  if (entries_ == kBlockEntries ||
      (entries_ != 0 &&
       Block::kSize + current_.size() + entry.size() > kBlockLimit)) {
    Close();
  }
  StoreField(entry, 0, NameEntry::kEntrySize,
             static_cast<std::uint32_t>(entry.size()));
  StoreField(entry, 0, NameEntry::kNumber, entries_);
  StoreField(entry, 0, NameEntry::kBlock, number_);
  last_ = current_.size();
  current_ += entry;
  *number = entries_++;
  *block = number_;
}

std::uint32_t HiveBlockWriter::Finish() {
  Close();
  return number_;
}

void HiveBlockWriter::Close() {
  if (entries_ == 0) return;
  const std::uint64_t used = Block::kSize + current_.size();
  const std::uint64_t size = (used + kPage - 1) / kPage * kPage;
  const auto rest = static_cast<std::uint32_t>(size - used);
  std::uint32_t firstFree = kNone;
  if (rest >= NameEntry::kLeast) {
    firstFree = static_cast<std::uint32_t>(used);
    const std::size_t at = current_.size();
    current_.append(rest, '\0');
    StoreField(current_, at, NameEntry::kEntrySize, rest);
    StoreField(current_, at, NameEntry::kNumber, kNoNumber);
    StoreField(current_, at, NameEntry::kBlock, kNoNumber);
    StoreField(current_, at, NameEntry::kUsed, kNone);
  } else if (rest != 0) {  // too small to be free: the last entry's slack
    StoreField(current_, last_, NameEntry::kEntrySize,
               LoadField(current_, last_, NameEntry::kEntrySize) + rest);
    current_.append(rest, '\0');
  }
  std::string header(Block::kSize, '\0');
  header.replace(0, 4, "RGDB");
  StoreField(header, 0, Block::kBlockSize, static_cast<std::uint32_t>(size));
  StoreField(header, 0, Block::kUnused, firstFree == kNone ? 0 : rest);
  StoreField(header, 0, Block::kFlags, 8);
  StoreField(header, 0, Block::kNumber, number_);
  StoreField(header, 0, Block::kFirstFree, firstFree);
  StoreField(header, 0, Block::kHighest, entries_ - 1);
  StoreField(header, 0, Block::kLowestFree, entries_);
  *out_ += header;
  *out_ += current_;
  current_.clear();
  entries_ = 0;
  ++number_;
}

char& HiveImage::Byte(std::uint64_t at) {
  const std::uint64_t page = at / kPage;
  auto [where, added] = pages_.try_emplace(page);
  if (added) {
    const std::string_view bytes = original_.substr(page * kPage, kPage);
    std::copy(bytes.begin(), bytes.end(), where->second.begin());
  }
  return where->second[at - page * kPage];
}

std::uint32_t HiveImage::Load(std::uint64_t record, HiveField field) const {
  std::uint32_t value = 0;
  for (std::uint32_t i = field.size; i-- > 0;) {
    const std::uint64_t at = record + field.at + i;
    auto page = pages_.find(at / kPage);
    const char byte =
        page != pages_.end() ? page->second[at % kPage] : original_[at];
    value = value << 8 | static_cast<unsigned char>(byte);
  }
  return value;
}

void HiveImage::Store(std::uint64_t record, HiveField field,
                      std::uint32_t value) {
  for (std::uint32_t i = 0; i < field.size; ++i)
    Byte(record + field.at + i) = static_cast<char>(value >> (8 * i));
}

void HiveImage::Write(std::uint64_t at, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) Byte(at + i) = bytes[i];
}

std::string HiveImage::Whole() const {
  std::string whole(original_);
  ForEachChange([&](std::uint64_t at, std::string_view bytes) {
    whole.replace(at, bytes.size(), bytes);
  });
  return whole;
}

bool LoadHive9x(FileBytes bytes, std::string_view rootName, Registry& registry,
                Hive9xFault* fault) {
  auto file = std::make_unique<Hive9xFile>(std::move(bytes));
  if (!file->Check(fault)) return false;
  auto* root = new RegistryKey(rootName, &registry.top);
  root->FillLater(file.get(), 1);
  registry.top.AddSubkey(root);
  registry.source = std::move(file);
  return true;
}

bool UpdateHive9x(const Registry& registry, HiveImage* image,
                  Hive9xFault* fault) {
  auto* file = dynamic_cast<const Hive9xFile*>(registry.source.get());
  if (file == nullptr)
    return Fail(fault, 0, "the registry was not read from a hive");
  *image = HiveImage(file->bytes());
  return file->Update(registry, *image, fault);
}

bool ReadBackHive9x(Registry& registry, FileBytes bytes, Hive9xFault* fault) {
  RegistryKey* root = registry.top.SubkeyAt(0);
  Registry again;
  if (root == nullptr ||
      !LoadHive9x(std::move(bytes), root->name(), again, fault)) {
    return false;
  }
  std::string difference = RegistryDifference(registry.top, again.top);
  return difference.empty() || Fail(fault, 0, difference);
}

}  // namespace brindle
