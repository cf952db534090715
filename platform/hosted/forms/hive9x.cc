#include "platform/hosted/forms/hive9x.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/hosted/forms/threaded_list.h"
#include "platform/platform.h"

namespace brindle {
namespace {

using namespace hive9x;  // NOLINT: the file's layout, named plainly

constexpr std::uint32_t kMaxField = 0xFFFF;
constexpr Field kLink{0, 4};  // a link's own place
constexpr std::uint64_t kNav = Navigation::kAt;

std::string Hex(std::uint64_t value) {
  char text[24] = "0x";
  return std::string(text, std::to_chars(text + 2, text + 24, value, 16).ptr);
}

bool Fail(LoadFault* fault, std::uint64_t offset, std::string what) {
  *fault = LoadFault{LoadFault::kOffset, offset, std::move(what)};
  return false;
}

// The names of one key's values, or of its subkeys, to be checked for two
// alike but for ASCII case. Kept from key to key, for one load.
struct NameCheck {
  std::vector<std::string_view> names;
  std::vector<std::uint64_t> sorted;  // hash and index of each name

  // The later of two names that are the same but for ASCII case, or null.
  const std::string_view* FoldedTwin() {
    sorted.clear();
    for (std::size_t i = 0; i < names.size(); ++i)
      sorted.push_back(std::uint64_t{FoldedNameHash(names[i])} << 32 | i);
    std::sort(sorted.begin(), sorted.end());
    // Each name against those before it with its hash.
    for (auto b = sorted.begin(); b != sorted.end(); ++b) {
      for (auto a = b; a != sorted.begin() && *--a >> 32 == *b >> 32;)
        if (EqualsAsciiFolded(names[*a & kNone], names[*b & kNone]))
          return &names[*b & kNone];
    }
    return nullptr;
  }
};

// One value as the file stores it.
struct StoredValue {
  std::string_view name;
  std::uint32_t type;
  std::uint32_t unknown;
  std::string_view data;
};

// Calls `visit` for each value of the name entry at `entry`, checked already;
// where the values end.
template <typename Visit>
std::uint64_t ForEachStored(std::string_view file, std::uint64_t entry,
                            Visit&& visit) {
  std::uint64_t at =
      entry + NameEntry::kSize + LoadField(file, entry, NameEntry::kNameSize);
  for (std::uint32_t n = LoadField(file, entry, NameEntry::kValueCount); n != 0;
       --n) {
    const std::uint32_t nameSize = LoadField(file, at, Value::kNameSize);
    const std::uint32_t dataSize = LoadField(file, at, Value::kDataSize);
    visit(StoredValue{file.substr(at + Value::kSize, nameSize),
                      LoadField(file, at, Value::kType),
                      LoadField(file, at, Value::kUnknown),
                      file.substr(at + Value::kSize + nameSize, dataSize)});
    at += Value::kSize + nameSize + dataSize;
  }
  return at;
}

// A file with changes written over it and bytes added at its end: what a
// copy of the file needs to become the new file.
struct HiveImage {
  // Changes are kept in small pieces: a large remove changes bytes in a few
  // thousand places over the file.
  static constexpr std::uint64_t kPage = 256;
  std::string_view original;  // the file as it stands; it outlives the image
  std::map<std::uint64_t, std::string> pages;  // changed, by page number
  std::string appended;

  std::uint64_t size() const { return original.size(); }
  char operator[](std::uint64_t at) const {
    auto page = pages.find(at / kPage);
    return page != pages.end() ? page->second[at % kPage] : original[at];
  }
  char& operator[](std::uint64_t at) {
    auto [where, added] = pages.try_emplace(at / kPage);
    if (added) where->second = original.substr(at / kPage * kPage, kPage);
    return where->second[at % kPage];
  }
};

// A hive as an index of its keys: where each key's hierarchy and name
// entries are, and where each data block starts. Built by the checks of the
// load, it does not change after; a write is one function of it and the
// run's record.
class Hive9xFile final : public RegistryFile {
 public:
  explicit Hive9xFile(FileBytes bytes) : bytes_(std::move(bytes)) {}

  // Checks every structure of the file and finds its keys.
  bool Check(LoadFault* fault);

  void FillSubkeys(RegistryKey& key, std::uint32_t fileKey) override {
    FillSubkeysFromList(key, this, nodes_[fileKey - 1].firstChild, nodes_,
                        &Node::nextSibling, [this](std::uint32_t node) {
                          bytes_.NoteRead(Hierarchy::kSize + NameEntry::kSize);
                          return NameOf(nodes_[node]);
                        });
  }

  void FillValues(RegistryKey& key, std::uint32_t fileKey) override {
    const std::uint32_t entry = nodes_[fileKey - 1].nameEntry;
    if (entry == 0) return;
    const std::uint32_t size = LoadField(file(), entry, NameEntry::kEntrySize);
    bytes_.NoteRead(size);
    key.ReserveValues(size);
    std::string data;
    ForEachStored(file(), entry, [&](const StoredValue& value) {
      data.assign(value.data);
      if (value.type == REG_SZ) data += '\0';
      key.SetValue(value.name, value.type, data);
    });
  }

  std::optional<std::string_view> StoredValues(
      std::uint32_t fileKey) const override {
    return ValueArea(nodes_[fileKey - 1].nameEntry);
  }

  // The file with the run's changes written over it and blocks added at its
  // end: a copy of the file, then each changed piece at its place.
  bool Write(const Registry& registry, const FileSink& sink,
             WriteFault* writeFault) override {
    HiveImage image{file(), {}, {}};
    if (!Update(registry, &image, &writeFault->cannotHold)) return false;
    int failure = sink(0, file());
    for (const auto& [page, bytes] : image.pages)
      failure = failure != 0 ? failure : sink(page * HiveImage::kPage, bytes);
    if (failure == 0 && !image.appended.empty())
      failure = sink(file().size(), image.appended);
    writeFault->sinkError = failure;
    return failure == 0;
  }
  bool ReadBack(Registry& registry, FileBytes written, bool,
                std::string* error) const override {
    const RegistryKey* root = registry.top.SubkeyAt(0);
    Registry again;
    LoadFault fault;
    const auto file =
        LoadHive9x(std::move(written), root->name(), again, &fault);
    if (file != nullptr)
      fault.what = RegistryDifference(registry.top, again.top);
    if (!fault.what.empty()) {
      *error = "the new hive read back is not what the run left (" +
               fault.what + ")";
    }
    return fault.what.empty();
  }
  const FileBytes& bytes() const override { return bytes_; }

 private:
  // A key of the file, as the checks found it.
  struct Node {
    std::uint32_t entry;          // its hierarchy entry, in the RGKN record
    std::uint32_t nameEntry = 0;  // its name entry in the file, 0 for none
    std::uint32_t firstChild = kNone;
    std::uint32_t nextSibling = kNone;
  };

  std::string_view file() const { return bytes_.view(); }
  std::string_view NameOf(const Node& node) const {
    if (node.nameEntry == 0) return std::string_view();
    return file().substr(
        node.nameEntry + NameEntry::kSize,
        LoadField(file(), node.nameEntry, NameEntry::kNameSize));
  }
  // The values of the name entry at `entry` as the file stores them.
  std::string_view ValueArea(std::uint32_t entry) const {
    if (entry == 0) return std::string_view();
    const std::uint64_t start = entry + NameEntry::kSize +
                                LoadField(file(), entry, NameEntry::kNameSize);
    const std::uint64_t end = ForEachStored(file(), entry, [](const auto&) {});
    bytes_.NoteRead(end - entry);
    return file().substr(start, end - start);
  }

  bool CheckBlock(std::uint64_t at, std::uint64_t end,
                  std::vector<std::uint32_t>* numbered, NameCheck& names,
                  LoadFault* fault) const;
  bool CheckNameEntry(std::uint64_t entry, std::uint32_t size, NameCheck& names,
                      LoadFault* fault) const;
  bool CheckKeys(std::uint32_t navSize,
                 std::vector<std::vector<std::uint32_t>>& numbered,
                 LoadFault* fault);
  struct KeyWalk;
  // Writes into `*image` the run's changes to `registry`, from its record.
  bool Update(const Registry& registry, HiveImage* image,
              std::string* cannotHold);

  struct Updating;

  FileBytes bytes_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> blocks_;  // each data block's offset
};

bool Hive9xFile::Check(LoadFault* fault) {
  const std::string_view file = this->file();
  if (file.size() < Header::kSize + Navigation::kSize ||
      file.substr(0, 4) != "CREG") {
    return Fail(fault, 0, "not a Windows 9x registry file (no CREG signature)");
  }
  if (file.size() > kNone) return Fail(fault, 0, "a file of 4 GiB or more");
  const std::uint32_t version = LoadField(file, 0, Header::kVersion);
  if (version != 1)
    return Fail(fault, Header::kVersion.at,
                "format version " + Hex(version) + ", not 1");
  if (file.substr(kNav, 4) != "RGKN")
    return Fail(fault, kNav, "no key navigation record (RGKN)");
  const std::uint32_t navSize = LoadField(file, kNav, Navigation::kRecordSize);
  if (navSize < Navigation::kSize + Hierarchy::kSize ||
      navSize > file.size() - kNav) {
    return Fail(
        fault, kNav + Navigation::kRecordSize.at,
        "key navigation size " + Hex(navSize) + " does not fit the file");
  }
  const std::uint32_t blocksAt = LoadField(file, 0, Header::kBlocksAt);
  if (blocksAt < kNav + navSize || blocksAt > file.size()) {
    return Fail(fault, Header::kBlocksAt.at,
                "data blocks offset " + Hex(blocksAt) +
                    " inside the key navigation or past the file");
  }
  // Every data block, every entry in it: where each name entry is.
  std::vector<std::vector<std::uint32_t>> numbered;
  NameCheck names;
  for (std::uint64_t at = blocksAt; at < file.size();) {
    if (file.size() - at < Block::kSize || file.substr(at, 4) != "RGDB")
      return Fail(fault, at, "no data block (RGDB) where one should start");
    const std::uint32_t size = LoadField(file, at, Block::kBlockSize);
    if (size < Block::kSize || size > file.size() - at) {
      return Fail(fault, at + Block::kBlockSize.at,
                  "data block size " + Hex(size) + " does not fit the file");
    }
    if (numbered.size() == kMaxField)
      return Fail(fault, at, "more data blocks than a key can name");
    if (!CheckBlock(at, at + size, &numbered.emplace_back(), names, fault))
      return false;
    bytes_.NoteRead(size);
    blocks_.push_back(static_cast<std::uint32_t>(at));
    at += size;
  }
  const std::uint32_t counted = LoadField(file, 0, Header::kBlockCount);
  if (counted != blocks_.size()) {
    return Fail(fault, Header::kBlockCount.at,
                "the header counts " + std::to_string(counted) +
                    " data blocks, the file holds " +
                    std::to_string(blocks_.size()));
  }
  return CheckKeys(navSize, numbered, fault);
}

bool Hive9xFile::CheckBlock(std::uint64_t at, std::uint64_t end,
                            std::vector<std::uint32_t>* numbered,
                            NameCheck& names, LoadFault* fault) const {
  const std::string_view file = this->file();
  std::vector<std::uint32_t> free;  // where the free entries are, in order
  std::uint64_t freeSize = 0;
  for (std::uint64_t entry = at + Block::kSize; entry < end;) {
    // Read past the block's end, a size is too large or too small anyway.
    const std::uint32_t size = LoadField(file, entry, NameEntry::kEntrySize);
    if (size < NameEntry::kLeast || size > end - entry)
      return Fail(fault, entry, "entry does not fit its data block");
    const std::uint32_t number = LoadField(file, entry, NameEntry::kNumber);
    if (number == kNoNumber) {
      free.push_back(static_cast<std::uint32_t>(entry - at));
      freeSize += size;
    } else {
      if (!CheckNameEntry(entry, size, names, fault)) return false;
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
  // The free list holds every free entry once, and nothing else: walked
  // no further than it could go without a loop, it lists exactly those.
  std::vector<std::uint32_t> listed;
  for (std::uint32_t next = LoadField(file, at, Block::kFirstFree);
       next != kNone && listed.size() <= free.size();
       next = LoadField(file, at + next, NameEntry::kUsed)) {
    listed.push_back(next);
  }
  std::sort(listed.begin(), listed.end());
  if (listed != free) {
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
                                NameCheck& names, LoadFault* fault) const {
  const std::string_view file = this->file();
  if (size < NameEntry::kSize)
    return Fail(fault, entry, "name entry too small");
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
  names.names.clear();
  for (std::uint32_t n = LoadField(file, entry, NameEntry::kValueCount); n != 0;
       --n) {
    const std::uint32_t nameSize =
        end - at < Value::kSize ? 0 : LoadField(file, at, Value::kNameSize);
    const std::uint64_t next =
        at + Value::kSize + nameSize + LoadField(file, at, Value::kDataSize);
    if (end - at < Value::kSize || next > end)
      return Fail(fault, at, "value past the end of its key's entry");
    names.names.push_back(file.substr(at + Value::kSize, nameSize));
    at = next;
  }
  if (const std::string_view* twin = names.FoldedTwin())
    return Fail(fault, entry,
                "two values named \"" + std::string(*twin) + "\"");
  return true;
}

// The walk CheckKeys makes over the key navigation record, from the root
// down, for one check: the keys it takes become the file's nodes.
struct Hive9xFile::KeyWalk {
  KeyWalk(Hive9xFile& into, std::uint32_t navigationSize,
          std::vector<std::vector<std::uint32_t>>& numberedEntries,
          LoadFault* faultAt)
      : hive(into),
        file(into.file()),
        navSize(navigationSize),
        numbered(numberedEntries),
        fault(faultAt),
        reached(navigationSize / 4) {}

  Hive9xFile& hive;
  const std::string_view file;
  const std::uint32_t navSize;
  // The name entries of each block by number: the entry's offset while it
  // is free to be named, 1 once a key names it.
  std::vector<std::vector<std::uint32_t>>& numbered;
  LoadFault* fault;
  // Each word of the record belongs to one entry at most: links that loop
  // or cross are caught the second time they reach a word. (Windows lays
  // entries on words.)
  std::vector<bool> reached;  // a word's worth each
  NameCheck subkeyNames;

  // Marks the entry a link at `linkAt` leads to as reached: false when it
  // lies outside the record or was reached before.
  bool Reach(std::uint32_t entry, std::uint64_t linkAt) {
    if (entry < Navigation::kSize || entry > navSize - Hierarchy::kSize ||
        entry % 4 != 0) {
      return Fail(fault, linkAt,
                  "link to " + Hex(entry) + " outside the key navigation");
    }
    for (std::uint32_t word = entry / 4; word < (entry + Hierarchy::kSize) / 4;
         ++word) {
      if (reached[word]) {
        return Fail(fault, linkAt,
                    "link to " + Hex(entry) + " reaches a key twice: a loop");
      }
      reached[word] = true;
    }
    return true;
  }

  // Takes the key the link at `linkAt` leads to, below `parent` (kNone for
  // the root), as the next node, with the name entry it names.
  bool Take(std::uint64_t linkAt, std::uint32_t parent) {
    const std::uint32_t entry = LoadField(file, linkAt, kLink);
    if (!Reach(entry, linkAt)) return false;
    const std::uint64_t at = kNav + entry;
    if (LoadField(file, at, Hierarchy::kFlags) & Hierarchy::kFree)
      return Fail(fault, linkAt, "link to the free entry " + Hex(entry));
    if (parent != kNone && LoadField(file, at, Hierarchy::kParent) != parent) {
      return Fail(fault, at + Hierarchy::kParent.at,
                  "parent link does not lead back");
    }
    const std::uint32_t block = LoadField(file, at, Hierarchy::kBlock);
    const std::uint32_t number = LoadField(file, at, Hierarchy::kNumber);
    hive.nodes_.push_back(Node{entry});
    if (parent == kNone && number == kNoNumber) return true;  // mostly a root
    if (block >= numbered.size() || number >= numbered[block].size() ||
        numbered[block][number] <= 1) {
      return Fail(fault, at + Hierarchy::kNumber.at,
                  "names no free name entry: number " + std::to_string(number) +
                      " of data block " + std::to_string(block));
    }
    hive.nodes_.back().nameEntry = numbered[block][number];
    hive.bytes_.NoteRead(Hierarchy::kSize + NameEntry::kSize);
    numbered[block][number] = 1;  // taken: a second key naming it is refused
    return true;
  }

  // Takes the subkeys of node `parent`, in their order, each named, no two
  // alike but for case; their numbers go on `*work`.
  bool TakeSubkeys(std::uint32_t parent, std::vector<std::uint32_t>* work) {
    std::uint32_t last = kNone;
    subkeyNames.names.clear();
    std::uint64_t linkAt =
        kNav + hive.nodes_[parent].entry + Hierarchy::kFirstChild.at;
    for (std::uint32_t child; (child = LoadField(file, linkAt, kLink)) != kNone;
         linkAt = kNav + child + Hierarchy::kNext.at) {
      const auto index = static_cast<std::uint32_t>(hive.nodes_.size());
      if (!Take(linkAt, hive.nodes_[parent].entry)) return false;
      if (hive.nodes_[index].nameEntry == 0) {
        return Fail(fault, kNav + child + Hierarchy::kNumber.at,
                    "a subkey without a name entry");
      }
      LinkAtEnd(index, hive.nodes_[parent].firstChild, last, hive.nodes_,
                &Node::nextSibling);
      work->push_back(index);
      subkeyNames.names.push_back(hive.NameOf(hive.nodes_[index]));
    }
    if (const std::string_view* twin = subkeyNames.FoldedTwin()) {
      return Fail(fault, kNav + hive.nodes_[parent].entry,
                  "two subkeys named \"" + std::string(*twin) + "\"");
    }
    return true;
  }

  // The free entries' list holds free entries only, none a key's.
  bool CheckFreeList() {
    for (std::uint64_t linkAt = kNav + Navigation::kFirstFree.at, entry;
         (entry = LoadField(file, linkAt, kLink)) != kNone;
         linkAt = kNav + entry + Hierarchy::kNextFree.at) {
      if (!Reach(static_cast<std::uint32_t>(entry), linkAt)) return false;
      if (!(LoadField(file, kNav + entry, Hierarchy::kFlags) &
            Hierarchy::kFree)) {
        return Fail(fault, kNav + entry,
                    "the free entries' list holds an entry not flagged free");
      }
    }
    return true;
  }
};

bool Hive9xFile::CheckKeys(std::uint32_t navSize,
                           std::vector<std::vector<std::uint32_t>>& numbered,
                           LoadFault* fault) {
  KeyWalk walk(*this, navSize, numbered, fault);
  nodes_.reserve(navSize / Hierarchy::kSize);
  if (!walk.Take(kNav + Navigation::kRoot.at, kNone)) return false;
  for (std::vector<std::uint32_t> work{0}; !work.empty();) {
    const std::uint32_t parent = work.back();
    work.pop_back();
    if (!walk.TakeSubkeys(parent, &work)) return false;
  }
  return walk.CheckFreeList();
}

// One update of the file: the image the run's changes go into, and the
// data blocks added at its end for name entries that move. It lives for
// one write.
struct Hive9xFile::Updating {
  const Hive9xFile& hive;
  HiveImage& image;
  HiveBlockWriter blocksAdded;
  std::string* cannotHold;  // why, when the file cannot take a change

  bool CannotHold(std::string why) {
    *cannotHold = std::move(why);
    return false;
  }

  // Reads and writes on the image (read without copying).
  std::uint32_t Get(std::uint64_t at, Field field) const {
    return LoadField(std::as_const(image), at, field);
  }
  void SetField(std::uint64_t at, Field field, std::uint64_t value) {
    StoreField(image, at, field, value);
  }

  // Frees a key and all below it: each hierarchy entry heads the record's
  // free list, its other fields left as Windows leaves them.
  void FreeSubtree(std::uint32_t top) {
    for (std::vector<std::uint32_t> work{top}; !work.empty();) {
      const Node& node = hive.nodes_[work.back()];
      work.pop_back();
      const std::uint64_t at = kNav + node.entry;
      SetField(at, Hierarchy::kFlags, Hierarchy::kFree);
      SetField(at, Hierarchy::kHash, Hierarchy::kSize);
      SetField(at, Hierarchy::kNextFree, Get(kNav, Navigation::kFirstFree));
      SetField(kNav, Navigation::kFirstFree, node.entry);
      if (node.nameEntry != 0) FreeNameEntry(node);
      for (std::uint32_t c = node.firstChild; c != kNone;
           c = hive.nodes_[c].nextSibling)
        work.push_back(c);
    }
  }

  // Frees a key's name entry: it heads its block's free list, its number
  // free again, its name and values emptied (libcreg parses every entry of
  // a block, and would read old values against the free-list link).
  void FreeNameEntry(const Node& node) {
    const std::uint64_t entry = node.nameEntry;
    const std::uint64_t at =
        hive.blocks_[Get(kNav + node.entry, Hierarchy::kBlock)];
    const std::uint32_t number = Get(entry, NameEntry::kNumber);
    for (Field field : {NameEntry::kNumber, NameEntry::kBlock})
      SetField(entry, field, kNoNumber);
    for (Field field : {NameEntry::kNameSize, NameEntry::kValueCount})
      SetField(entry, field, 0);
    SetField(entry, NameEntry::kUsed, Get(at, Block::kFirstFree));
    SetField(at, Block::kFirstFree, entry - at);
    SetField(at, Block::kUnused,
             Get(at, Block::kUnused) + Get(entry, NameEntry::kEntrySize));
    if (number < Get(at, Block::kLowestFree))
      SetField(at, Block::kLowestFree, number);
  }

  // Writes a key's values into its name entry: in place when they fit,
  // else the entry moves. A value as it was keeps its bytes.
  bool RewriteValues(const RegistryKey& key, const Node& node) {
    const std::string_view file = hive.file();
    std::string area;
    std::uint32_t count = 0;
    for (const RegistryValue& value : key.Values()) {
      ++count;
      // Written as the file stores it, a value as it was keeps its bytes.
      std::uint32_t unknown = 0;
      if (node.nameEntry != 0) {
        ForEachStored(file, node.nameEntry, [&](const StoredValue& v) {
          if (EqualsAsciiFolded(v.name, value.name)) unknown = v.unknown;
        });
      }
      if (!AppendHiveValue(area, value, unknown)) {
        return CannotHold("a value of \"" + key.Path() + "\" is 64 KB or more");
      }
    }
    const std::uint32_t entry = node.nameEntry;
    if (entry == 0) {
      return count == 0 ||
             CannotHold("the root key has no name entry to hold values");
    }
    const std::string_view was = hive.ValueArea(entry);
    if (count == LoadField(file, entry, NameEntry::kValueCount) && was == area)
      return true;  // set to what they were
    const std::uint64_t areaAt = was.data() - file.data();
    const auto used = static_cast<std::uint32_t>(areaAt - entry + area.size());
    if (used <= LoadField(file, entry, NameEntry::kEntrySize)) {
      for (std::size_t i = 0; i < area.size(); ++i) image[areaAt + i] = area[i];
      SetField(entry, NameEntry::kUsed, used);
      SetField(entry, NameEntry::kValueCount, count);
      return true;
    }
    // Too large for its place: the entry is freed there and laid anew in a
    // block added at the end, where the key's hierarchy entry now finds it.
    std::string moved(file.substr(entry, areaAt - entry));
    StoreField(moved, 0, NameEntry::kUsed, used);
    StoreField(moved, 0, NameEntry::kValueCount, count);
    FreeNameEntry(node);
    const auto [number, block] = blocksAdded.Add(moved + area);
    SetField(kNav + node.entry, Hierarchy::kNumber, number);
    SetField(kNav + node.entry, Hierarchy::kBlock, block);
    return true;
  }

  // What the record says of each key of the file: deleted, its values
  // changed, or above one that was; `keyOf` the registry's key of each
  // changed one.
  enum : std::uint8_t { kDeleted = 1, kChanged = 2, kAbove = 4 };
  bool Mark(const Registry& registry, std::vector<std::uint8_t>* mark,
            std::vector<const RegistryKey*>* keyOf) {
    for (const ChangedKey& change : ChangedKeys(registry)) {
      const RegistryKey* key = change.key;
      if (change.deleted ? change.made : !key->attached()) continue;
      if (change.made)
        return CannotHold("\"" + key->Path() + "\" is a key the file lacks");
      (*mark)[key->fileKey() - 1] |= change.deleted ? kDeleted : kChanged;
      (*keyOf)[key->fileKey() - 1] = key;
      // Up to the root: a key the file has lies below keys it has.
      for (const RegistryKey* above = key->parent();
           above != &registry.top && !((*mark)[above->fileKey() - 1] & kAbove);
           above = above->parent()) {
        (*mark)[above->fileKey() - 1] |= kAbove;
      }
    }
    return true;
  }

  // Depth first from the root, into the keys above a change: each changed
  // key's values rewritten, each deleted key unlinked from its siblings
  // and freed with all below it; then the blocks added, counted.
  bool Apply(const std::vector<std::uint8_t>& mark,
             const std::vector<const RegistryKey*>& keyOf) {
    for (std::vector<std::uint32_t> work{0}; !work.empty();) {
      const std::uint32_t index = work.back();
      work.pop_back();
      const Node& node = hive.nodes_[index];
      if ((mark[index] & kChanged) && !RewriteValues(*keyOf[index], node))
        return false;
      if (!(mark[index] & kAbove)) continue;
      std::uint64_t linkAt = kNav + node.entry + Hierarchy::kFirstChild.at;
      for (std::uint32_t c = node.firstChild; c != kNone;
           c = hive.nodes_[c].nextSibling) {
        if (mark[c] & kDeleted) {  // the link to it leads to the one after it
          SetField(linkAt, kLink,
                   Get(kNav + hive.nodes_[c].entry, Hierarchy::kNext));
          FreeSubtree(c);
          continue;
        }
        if (mark[c] != 0) work.push_back(c);
        linkAt = kNav + hive.nodes_[c].entry + Hierarchy::kNext.at;
      }
    }
    const std::uint32_t count = blocksAdded.Close();
    if (count > kMaxField) {
      return CannotHold("no room for another data block");
    }
    if (count != hive.blocks_.size()) SetField(0, Header::kBlockCount, count);
    return true;
  }
};

bool Hive9xFile::Update(const Registry& registry, HiveImage* image,
                        std::string* cannotHold) {
  const RegistryKey* root = registry.top.SubkeyAt(0);
  if (root == nullptr || root->fileKey() != 1 ||
      registry.top.subkeyCount() != 1) {
    *cannotHold = "the registry holds a root the file does not";
    return false;
  }
  Updating updating{*this, *image,
                    HiveBlockWriter(&image->appended,
                                    static_cast<std::uint32_t>(blocks_.size())),
                    cannotHold};
  std::vector<std::uint8_t> mark(nodes_.size(), 0);
  std::vector<const RegistryKey*> keyOf(nodes_.size(), nullptr);
  return updating.Mark(registry, &mark, &keyOf) && updating.Apply(mark, keyOf);
}

}  // namespace

bool AppendHiveValue(std::string& out, const RegistryValue& value,
                     std::uint32_t unknown) {
  std::string_view data = value.data;
  if (value.type == REG_SZ && !data.empty() && data.back() == '\0')
    data.remove_suffix(1);
  if (value.name.size() > kMaxField || data.size() > kMaxField) return false;
  const std::size_t at = out.size();
  out.append(Value::kSize, '\0');
  StoreField(out, at, Value::kType, value.type);
  StoreField(out, at, Value::kUnknown, unknown);
  StoreField(out, at, Value::kNameSize, value.name.size());
  StoreField(out, at, Value::kDataSize, data.size());
  out.append(value.name).append(data);
  return true;
}

std::pair<std::uint32_t, std::uint32_t> HiveBlockWriter::Add(
    std::string entry) {
  // Windows fills a data block up to 60 KB or 255 name entries.
  if (entries_ == 255 ||
      (entries_ != 0 && Block::kSize + current_.size() + entry.size() > 0xF000))
    Close();
  StoreField(entry, 0, NameEntry::kEntrySize, entry.size());
  StoreField(entry, 0, NameEntry::kNumber, entries_);
  StoreField(entry, 0, NameEntry::kBlock, number_);
  last_ = current_.size();
  current_ += entry;
  return {entries_++, number_};
}

std::uint32_t HiveBlockWriter::Close() {
  if (entries_ == 0) return number_;
  const std::uint64_t used = Block::kSize + current_.size();
  const std::uint64_t size = (used + 4095) / 4096 * 4096;
  const auto rest = static_cast<std::uint32_t>(size - used);
  std::uint32_t firstFree = kNone;
  if (rest >= NameEntry::kLeast) {  // the rest of the page one free entry
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
  StoreField(header, 0, Block::kBlockSize, size);
  StoreField(header, 0, Block::kUnused, firstFree == kNone ? 0 : rest);
  StoreField(header, 0, Block::kFlags, 8);
  StoreField(header, 0, Block::kNumber, number_);
  StoreField(header, 0, Block::kFirstFree, firstFree);
  StoreField(header, 0, Block::kHighest, entries_ - 1);
  StoreField(header, 0, Block::kLowestFree, entries_);
  out_->append(header).append(current_);
  current_.clear();
  entries_ = 0;
  return ++number_;
}

std::unique_ptr<RegistryFile> LoadHive9x(FileBytes bytes,
                                         std::string_view rootName,
                                         Registry& registry, LoadFault* fault) {
  auto file = std::make_unique<Hive9xFile>(std::move(bytes));
  if (!file->Check(fault)) return nullptr;
  auto* root = new RegistryKey(rootName, &registry.top);
  root->FillLater(file.get(), 1);
  registry.top.AddSubkey(root);
  return file;
}

std::unique_ptr<RegistryFile> ReadHive9xFile(FileBytes bytes,
                                             Registry& registry,
                                             LoadFault* fault) {
  return LoadHive9x(std::move(bytes), "HKEY_LOCAL_MACHINE", registry, fault);
}

}  // namespace brindle
