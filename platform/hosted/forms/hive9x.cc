#include "platform/hosted/forms/hive9x.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace brindle {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kNoNumber = 0xFFFF;
constexpr std::uint32_t kFileHeader = 32;
constexpr std::uint32_t kNavigation = 32;  // where the RGKN record starts
constexpr std::uint32_t kNavigationHeader = 32;
constexpr std::uint32_t kHierarchySize = 28;
constexpr std::uint32_t kBlockHeader = 32;
constexpr std::uint32_t kNameHeader = 20;
constexpr std::uint32_t kValueHeader = 12;
constexpr std::uint32_t kFreeEntry = 12;  // size, number, block, next free
constexpr std::uint32_t kFreeHierarchy = 0x80000000u;
constexpr std::uint32_t kPage = 4096;
// Windows fills a data block up to 60 KB or 255 name entries.
constexpr std::uint32_t kBlockLimit = 0xF000;
constexpr std::uint32_t kBlockEntries = 255;
constexpr std::uint32_t kMaxField = 0xFFFF;

// File header fields.
constexpr std::uint32_t kBlocksOffset = 8, kBlockCount = 16;
// Key navigation record fields, from its start.
constexpr std::uint32_t kNavSize = 4, kNavRoot = 8, kNavFirstFree = 12;
// Hierarchy entry fields.
constexpr std::uint32_t kHFlags = 0, kHHash = 4, kHFreeNext = 8, kHParent = 12,
                        kHChild = 16, kHNext = 20, kHNumber = 24, kHBlock = 26;
// Data block header fields.
constexpr std::uint32_t kBSize = 4, kBUnused = 8, kBFlags = 12, kBNumber = 14,
                        kBFirstFree = 16, kBHighest = 20, kBLowestFree = 22;
// Name entry fields; a free entry keeps its next free one in kNUsed.
constexpr std::uint32_t kNNumber = 4, kNBlock = 6, kNUsed = 8, kNNameSize = 12,
                        kNValues = 14;

std::uint32_t Get16(std::string_view bytes, std::uint64_t at) {
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return p[0] | (p[1] << 8);
}

std::uint32_t Get32(std::string_view bytes, std::uint64_t at) {
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint32_t Get16(const WritableBytes& bytes, std::uint64_t at) {
  return Get16(bytes.view(), at);
}

std::uint32_t Get32(const WritableBytes& bytes, std::uint64_t at) {
  return Get32(bytes.view(), at);
}

void Put16(WritableBytes& bytes, std::uint64_t at, std::uint32_t value) {
  const char word[2] = {static_cast<char>(value),
                        static_cast<char>(value >> 8)};
  bytes.Write(at, std::string_view(word, 2));
}

void Put32(WritableBytes& bytes, std::uint64_t at, std::uint32_t value) {
  const char word[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                        static_cast<char>(value >> 16),
                        static_cast<char>(value >> 24)};
  bytes.Write(at, std::string_view(word, 4));
}

void Put16(std::string& bytes, std::uint64_t at, std::uint32_t value) {
  bytes[at] = static_cast<char>(value);
  bytes[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, std::uint64_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> 8 * i);
}

void Append16(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value);
  out += static_cast<char>(value >> 8);
}

void Append32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> 8 * i);
}

std::string Hex(std::uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return "0x" + out;
}

// Windows finds a name among siblings by this sum first: the bytes of the
// name in capitals, those under 0x80 only.
std::uint32_t NameHash(std::string_view name) {
  std::uint32_t hash = 0;
  for (unsigned char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c < 0x80) hash += c;
  }
  return hash;
}

// The last of two names in `names` that are the same but for ASCII case,
// or null. A few are compared pair by pair; many (a key may have 10^5
// subkeys) go into a table by a hash of their folded bytes, and only names
// of one hash are compared.
const std::string_view* FoldedTwin(const std::vector<std::string_view>& names,
                                   std::vector<std::uint32_t>* table) {
  auto same = [&](std::size_t a, std::size_t b) {
    return names[a].size() == names[b].size() &&
           EqualsAsciiFolded(names[a], names[b]);
  };
  if (names.size() <= 8) {
    for (std::size_t b = 1; b < names.size(); ++b) {
      for (std::size_t a = 0; a < b; ++a) {
        if (same(a, b)) return &names[b];
      }
    }
    return nullptr;
  }
  std::size_t capacity = 16;
  while (capacity < names.size() * 2) capacity *= 2;
  table->assign(capacity, kNone);
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : names[i]) {
      if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 'a' - 'A');
      hash = (hash ^ c) * 0x100000001b3ull;
    }
    for (std::size_t slot = hash & (capacity - 1);;
         slot = (slot + 1) & (capacity - 1)) {
      if ((*table)[slot] == kNone) {
        (*table)[slot] = static_cast<std::uint32_t>(i);
        break;
      }
      if (same((*table)[slot], i)) return &names[i];
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
void ForEachStored(std::string_view file, std::uint32_t entry, Visit&& visit) {
  std::uint64_t at = entry + kNameHeader + Get16(file, entry + kNNameSize);
  for (std::uint32_t n = Get16(file, entry + kNValues); n != 0; --n) {
    std::uint32_t nameSize = Get16(file, at + 8);
    std::uint32_t dataSize = Get16(file, at + 10);
    StoredValue value;
    value.type = Get32(file, at);
    value.name = file.substr(at + kValueHeader, nameSize);
    value.data = file.substr(at + kValueHeader + nameSize, dataSize);
    value.whole = file.substr(at, kValueHeader + nameSize + dataSize);
    visit(value);
    at += value.whole.size();
  }
}

// Windows 9x keeps a string without its closing NUL and hands it out with
// one: true when `data` is what a read of `stored` hands out.
bool HandsOut(const StoredValue& stored, std::string_view data) {
  if (stored.type == REG_SZ &&
      (stored.data.empty() || stored.data.back() != '\0')) {
    return data.size() == stored.data.size() + 1 && data.back() == '\0' &&
           data.substr(0, stored.data.size()) == stored.data;
  }
  return data == stored.data;
}

// Appends a value as the file stores it; false when it cannot.
bool AppendStored(std::string& out, const RegistryValue& value,
                  std::uint32_t unknown) {
  std::string_view data = value.data;
  if (value.type == REG_SZ && !data.empty() && data.back() == '\0') {
    data.remove_suffix(1);
  }
  if (value.name.size() > kMaxField || data.size() > kMaxField) return false;
  Append32(out, value.type);
  Append32(out, unknown);
  Append16(out, static_cast<std::uint32_t>(value.name.size()));
  Append16(out, static_cast<std::uint32_t>(data.size()));
  out += value.name;
  out += data;
  return true;
}

// Lays name entries into data blocks as Windows fills them, each block a
// whole number of pages, the room left over one free entry.
class BlockWriter {
 public:
  BlockWriter(std::string* out, std::uint32_t firstNumber)
      : out_(out), number_(firstNumber) {}

  /// Adds a name entry whose size, number and block fields are filled in
  /// here; gives where it went.
  void Add(std::string entry, std::uint32_t* number, std::uint32_t* block) {
    if (entries_ == kBlockEntries ||
        (entries_ != 0 &&
         kBlockHeader + current_.size() + entry.size() > kBlockLimit)) {
      Close();
    }
    Put32(entry, 0, static_cast<std::uint32_t>(entry.size()));
    Put16(entry, kNNumber, entries_);
    Put16(entry, kNBlock, number_);
    last_ = current_.size();
    current_ += entry;
    *number = entries_++;
    *block = number_;
  }

  /// Closes the last block; gives how many blocks were written.
  std::uint32_t Finish(std::uint32_t firstNumber) {
    Close();
    return number_ - firstNumber;
  }

 private:
  void Close() {
    if (entries_ == 0) return;
    std::uint64_t used = kBlockHeader + current_.size();
    std::uint64_t size = (used + kPage - 1) / kPage * kPage;
    std::uint32_t rest = static_cast<std::uint32_t>(size - used);
    std::uint32_t firstFree = kNone;
    if (rest >= kFreeEntry) {
      firstFree = static_cast<std::uint32_t>(used);
      Append32(current_, rest);
      Append16(current_, kNoNumber);
      Append16(current_, kNoNumber);
      Append32(current_, kNone);
      current_.append(rest - kFreeEntry, '\0');
    } else if (rest != 0) {  // too small to be free: the last entry's slack
      Put32(current_, last_, Get32(current_, last_) + rest);
      current_.append(rest, '\0');
    }
    std::string header(kBlockHeader, '\0');
    header.replace(0, 4, "RGDB");
    Put32(header, kBSize, static_cast<std::uint32_t>(size));
    Put32(header, kBUnused, firstFree == kNone ? 0 : rest);
    Put16(header, kBFlags, 8);  // as in every block Windows writes
    Put16(header, kBNumber, number_);
    Put32(header, kBFirstFree, firstFree);
    Put16(header, kBHighest, entries_ - 1);  // the highest number given
    Put16(header, kBLowestFree, entries_);   // the lowest number free
    std::string& out = *out_;
    out += header;
    out += current_;
    current_.clear();
    entries_ = 0;
    ++number_;
  }

  std::string* out_;
  std::uint32_t number_;
  std::uint32_t entries_ = 0;
  std::string current_;
  std::size_t last_ = 0;
};

// A key of the file, as the checks found it.
struct Node {
  std::uint32_t entry;          // its hierarchy entry, from the RGKN record
  std::uint32_t nameEntry = 0;  // its name entry in the file, 0 for none
  std::uint32_t block = 0;      // the data block that holds that
  std::uint32_t firstChild = kNone;
  std::uint32_t nextSibling = kNone;
  std::uint32_t writesAsRead = kNone;  // its values' write count once filled
};

class Hive9xFile final : public RegistrySource {
 public:
  explicit Hive9xFile(FileBytes bytes) : bytes_(std::move(bytes)) {}

  // Checks every structure of the file. Without `twins`, names given twice
  // are not looked for: a file read back is compared with a registry that
  // cannot hold them.
  bool Check(Hive9xFault* fault, bool twins = true);
  void FillSubkeys(RegistryKey& key, std::uint32_t tag) override;
  void FillValues(RegistryKey& key, std::uint32_t tag) override;
  bool Update(const Registry& registry, WritableBytes* image, bool* changed,
              Hive9xFault* fault) const;
  // Where `fresh`, checked, differs from what the run left: `registry`
  // where the run looked into it, this file elsewhere. Empty when nowhere.
  std::string Difference(const Registry& registry,
                         const Hive9xFile& fresh) const;

 private:
  // The values of `node` as stored, and how many.
  std::string_view ValueBytes(const Node& node, std::uint32_t* count) const;
  // True when `node` here and `otherNode` in `other` hold the same values.
  bool SameValues(const Node& node, const Hive9xFile& other,
                  const Node& otherNode) const;
  // True when `node`'s values hand out exactly `key`'s.
  bool HandsOutValues(const Node& node, const RegistryKey& key) const;
  bool CheckNameEntry(std::uint64_t entry, std::uint32_t size, bool twins,
                      Hive9xFault* fault);
  std::string_view NameOf(const Node& node) const {
    if (node.nameEntry == 0) return std::string_view();
    return bytes_.view().substr(
        node.nameEntry + kNameHeader,
        Get16(bytes_.view(), node.nameEntry + kNNameSize));
  }

  FileBytes bytes_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> blocks_;  // each data block's offset
  std::vector<std::string_view> scratch_;
  std::vector<std::uint32_t> table_;
  std::string data_;
};

bool Fail(Hive9xFault* fault, std::uint64_t offset, std::string what) {
  fault->offset = offset;
  fault->what = std::move(what);
  return false;
}

bool Hive9xFile::CheckNameEntry(std::uint64_t entry, std::uint32_t size,
                                bool twins, Hive9xFault* fault) {
  std::string_view file = bytes_.view();
  if (size < kNameHeader) return Fail(fault, entry, "name entry too small");
  std::uint32_t used = Get32(file, entry + kNUsed);
  if (used > size) {
    return Fail(fault, entry + kNUsed, "used size past the end of its entry");
  }
  std::uint64_t end = entry + size;
  std::uint64_t at = entry + kNameHeader + Get16(file, entry + kNNameSize);
  if (at > end) {
    return Fail(fault, entry + kNNameSize,
                "key name past the end of its entry");
  }
  scratch_.clear();
  for (std::uint32_t n = Get16(file, entry + kNValues); n != 0; --n) {
    if (end - at < kValueHeader) {
      return Fail(fault, at, "value past the end of its key's entry");
    }
    std::uint32_t nameSize = Get16(file, at + 8);
    std::uint64_t next = at + kValueHeader + nameSize + Get16(file, at + 10);
    if (next > end) {
      return Fail(fault, at, "value past the end of its key's entry");
    }
    if (twins) scratch_.push_back(file.substr(at + kValueHeader, nameSize));
    at = next;
  }
  if (const std::string_view* twin =
          twins ? FoldedTwin(scratch_, &table_) : nullptr) {
    return Fail(fault, entry,
                "two values named \"" + std::string(*twin) + "\"");
  }
  return true;
}

bool Hive9xFile::Check(Hive9xFault* fault, bool twins) {
  std::string_view file = bytes_.view();
  if (file.size() < kFileHeader + kNavigationHeader ||
      file.substr(0, 4) != "CREG") {
    return Fail(fault, 0, "not a Windows 9x registry file (no CREG signature)");
  }
  if (file.size() > kNone) {  // every offset in the format is 32 bits
    return Fail(fault, 0, "a file of 4 GiB or more");
  }
  if (Get16(file, 6) != 1) {
    return Fail(fault, 6, "format version " + Hex(Get16(file, 6)) + ", not 1");
  }
  if (file.substr(kNavigation, 4) != "RGKN") {
    return Fail(fault, kNavigation, "no key navigation record (RGKN)");
  }
  const std::uint32_t navSize = Get32(file, kNavigation + kNavSize);
  if (navSize < kNavigationHeader + kHierarchySize ||
      navSize > file.size() - kNavigation) {
    return Fail(
        fault, kNavigation + kNavSize,
        "key navigation size " + Hex(navSize) + " does not fit the file");
  }
  const std::uint32_t blocksAt = Get32(file, kBlocksOffset);
  if (blocksAt < kNavigation + navSize || blocksAt > file.size()) {
    return Fail(fault, kBlocksOffset,
                "data blocks offset " + Hex(blocksAt) +
                    " inside the key navigation or past the file");
  }

  // Every data block, every entry in it: where each name entry is.
  std::vector<std::vector<std::uint32_t>> numbered;
  for (std::uint64_t at = blocksAt; at < file.size();) {
    if (file.size() - at < kBlockHeader || file.substr(at, 4) != "RGDB") {
      return Fail(fault, at, "no data block (RGDB) where one should start");
    }
    std::uint32_t size = Get32(file, at + kBSize);
    if (size < kBlockHeader || size > file.size() - at) {
      return Fail(fault, at + kBSize,
                  "data block size " + Hex(size) + " does not fit the file");
    }
    if (numbered.size() == kMaxField) {
      return Fail(fault, at, "more data blocks than a key can name");
    }
    std::vector<std::uint32_t>& entries = numbered.emplace_back();
    const std::uint64_t end = at + size;
    for (std::uint64_t entry = at + kBlockHeader; entry < end;) {
      std::uint32_t entrySize =
          end - entry < kFreeEntry ? 0 : Get32(file, entry);
      if (entrySize < kFreeEntry || entrySize > end - entry) {
        return Fail(fault, entry, "entry does not fit its data block");
      }
      std::uint32_t number = Get16(file, entry + kNNumber);
      if (number != kNoNumber) {
        if (!CheckNameEntry(entry, entrySize, twins, fault)) return false;
        if (entries.size() <= number) entries.resize(number + 1, 0);
        if (entries[number] != 0) {
          return Fail(fault, entry + kNNumber,
                      "name entry number " + std::to_string(number) +
                          " twice in its data block");
        }
        entries[number] = static_cast<std::uint32_t>(entry);
      }
      entry += entrySize;
    }
    blocks_.push_back(static_cast<std::uint32_t>(at));
    at = end;
  }

  // The keys, from the root along their links. Each word of the record
  // belongs to one entry at most: links that loop or cross are caught the
  // second time they reach a word. (Windows lays entries on words.)
  std::vector<std::uint64_t> reached(navSize / 4 / 64 + 1, 0);
  nodes_.reserve(navSize / kHierarchySize);
  auto take = [&](std::uint32_t entry, std::uint32_t parent,
                  std::uint64_t linkAt) {
    if (entry < kNavigationHeader || entry > navSize - kHierarchySize ||
        entry % 4 != 0) {
      return Fail(fault, linkAt,
                  "link to " + Hex(entry) + " outside the key navigation");
    }
    const std::uint64_t at = kNavigation + entry;
    for (std::uint32_t word = entry / 4; word < (entry + kHierarchySize) / 4;
         ++word) {
      std::uint64_t bit = std::uint64_t{1} << (word % 64);
      if (reached[word / 64] & bit) {
        return Fail(fault, linkAt,
                    "link to " + Hex(entry) + " reaches a key twice: a loop");
      }
      reached[word / 64] |= bit;
    }
    if (Get32(file, at + kHFlags) & kFreeHierarchy) {
      return Fail(fault, linkAt, "link to the free entry " + Hex(entry));
    }
    Node node{entry};
    if (parent != kNone && Get32(file, at + kHParent) != parent) {
      return Fail(fault, at + kHParent, "parent link does not lead back");
    }
    std::uint32_t block = Get16(file, at + kHBlock);
    std::uint32_t number = Get16(file, at + kHNumber);
    if (parent == kNone && number == kNoNumber) {
      nodes_.push_back(node);  // the root mostly has no name entry
      return true;
    }
    if (block >= numbered.size() || number >= numbered[block].size() ||
        numbered[block][number] <= 1) {
      return Fail(fault, at + kHNumber,
                  "names no free name entry: number " + std::to_string(number) +
                      " of data block " + std::to_string(block));
    }
    node.nameEntry = numbered[block][number];
    node.block = block;
    numbered[block][number] = 1;  // taken: a second key naming it is refused
    nodes_.push_back(node);
    return true;
  };

  if (!take(Get32(file, kNavigation + kNavRoot), kNone,
            kNavigation + kNavRoot)) {
    return false;
  }
  std::vector<std::uint32_t> work{0};
  while (!work.empty()) {
    const std::uint32_t parent = work.back();
    work.pop_back();
    std::uint32_t last = kNone;
    scratch_.clear();
    std::uint64_t linkAt = kNavigation + nodes_[parent].entry + kHChild;
    for (std::uint32_t child = Get32(file, linkAt); child != kNone;
         child = Get32(file, linkAt)) {
      const auto index = static_cast<std::uint32_t>(nodes_.size());
      if (!take(child, nodes_[parent].entry, linkAt)) return false;
      if (nodes_[index].nameEntry == 0) {
        return Fail(fault, kNavigation + child + kHNumber,
                    "a subkey without a name entry");
      }
      (last == kNone ? nodes_[parent].firstChild : nodes_[last].nextSibling) =
          index;
      last = index;
      work.push_back(index);
      if (twins) scratch_.push_back(NameOf(nodes_[index]));
      linkAt = kNavigation + child + kHNext;
    }
    if (const std::string_view* twin =
            twins ? FoldedTwin(scratch_, &table_) : nullptr) {
      return Fail(fault, kNavigation + nodes_[parent].entry,
                  "two subkeys named \"" + std::string(*twin) + "\"");
    }
  }
  return true;
}

void Hive9xFile::FillSubkeys(RegistryKey& key, std::uint32_t tag) {
  const Node& node = nodes_[tag - 1];
  std::size_t count = 0;
  for (std::uint32_t c = node.firstChild; c != kNone; c = nodes_[c].nextSibling)
    ++count;
  key.Reserve(count, 0);
  for (std::uint32_t c = node.firstChild; c != kNone;
       c = nodes_[c].nextSibling) {
    // Names are borrowed from the file, held as long as the registry.
    auto* subkey = new RegistryKey(NameOf(nodes_[c]), &key, true);
    subkey->FillLater(this, c + 1);
    key.AddSubkey(subkey);
  }
}

void Hive9xFile::FillValues(RegistryKey& key, std::uint32_t tag) {
  Node& node = nodes_[tag - 1];
  if (node.nameEntry != 0) {
    std::string_view file = bytes_.view();
    key.Reserve(0, Get32(file, node.nameEntry));
    ForEachStored(file, node.nameEntry, [&](const StoredValue& value) {
      if (value.type == REG_SZ &&
          (value.data.empty() || value.data.back() != '\0')) {
        data_.assign(value.data);
        data_ += '\0';
        key.SetValue(value.name, value.type, data_);
      } else {
        key.SetValue(value.name, value.type, value.data);
      }
    });
  }
  node.writesAsRead = key.valueWrites();
}

std::string_view Hive9xFile::ValueBytes(const Node& node,
                                        std::uint32_t* count) const {
  *count = 0;
  if (node.nameEntry == 0) return std::string_view();
  std::string_view file = bytes_.view();
  const std::uint64_t start =
      node.nameEntry + kNameHeader + Get16(file, node.nameEntry + kNNameSize);
  std::uint64_t end = start;
  ForEachStored(file, node.nameEntry, [&](const StoredValue& value) {
    end += value.whole.size();
    ++*count;
  });
  return file.substr(start, end - start);
}

bool Hive9xFile::SameValues(const Node& node, const Hive9xFile& other,
                            const Node& otherNode) const {
  // Mostly the entry is the one it was, byte for byte: one comparison.
  const std::string_view file = bytes_.view();
  const std::string_view otherFile = other.bytes_.view();
  if (node.nameEntry != 0 && otherNode.nameEntry != 0) {
    const std::uint32_t size = Get32(file, node.nameEntry);
    if (size == Get32(otherFile, otherNode.nameEntry) &&
        file.substr(node.nameEntry + kNNameSize, size - kNNameSize) ==
            otherFile.substr(otherNode.nameEntry + kNNameSize,
                             size - kNNameSize)) {
      return true;
    }
  }
  std::uint32_t count = 0;
  std::uint32_t otherCount = 0;
  return ValueBytes(node, &count) == other.ValueBytes(otherNode, &otherCount) &&
         count == otherCount;
}

bool Hive9xFile::HandsOutValues(const Node& node,
                                const RegistryKey& key) const {
  std::vector<RegistryValue> values = key.Values();
  std::size_t at = 0;
  bool same = true;
  if (node.nameEntry != 0) {
    ForEachStored(bytes_.view(), node.nameEntry, [&](const StoredValue& v) {
      same = same && at < values.size() && values[at].name == v.name &&
             values[at].type == v.type && HandsOut(v, values[at].data);
      ++at;
    });
  }
  return same && at == values.size();
}

std::string Hive9xFile::Difference(const Registry& registry,
                                   const Hive9xFile& fresh) const {
  struct Pair {
    const RegistryKey* key;  // null below a key the run never looked into
    std::uint32_t old;
    std::uint32_t now;
  };
  const RegistryKey* root = nullptr;
  registry.top.ForEachSubkey([&](const RegistryKey& key) {
    if (key.fillTag() == 1) root = &key;
  });
  if (root == nullptr) return "no root";
  std::vector<Pair> work{{root, 0, 0}};
  std::vector<const RegistryKey*> live;
  const RegistryKey* near = root;  // the last key of the run's, for messages
  while (!work.empty()) {
    const Pair pair = work.back();
    work.pop_back();
    if (pair.key != nullptr) near = pair.key;
    const Node& now = fresh.nodes_[pair.now];
    if (pair.key != nullptr && !pair.key->valuesWaiting()
            ? !fresh.HandsOutValues(now, *pair.key)
            : !SameValues(nodes_[pair.old], fresh, now)) {
      return near->Path() + ": values differ";
    }
    std::uint32_t child = now.firstChild;
    if (pair.key != nullptr && !pair.key->subkeysWaiting()) {
      live.clear();
      pair.key->ForEachSubkey(
          [&](const RegistryKey& subkey) { live.push_back(&subkey); });
      for (const RegistryKey* subkey : live) {
        if (child == kNone ||
            fresh.NameOf(fresh.nodes_[child]) != subkey->name()) {
          return subkey->Path() + ": missing or out of place";
        }
        work.push_back({subkey, subkey->fillTag() - 1, child});
        child = fresh.nodes_[child].nextSibling;
      }
    } else {
      for (std::uint32_t old = nodes_[pair.old].firstChild; old != kNone;
           old = nodes_[old].nextSibling) {
        if (child == kNone ||
            fresh.NameOf(fresh.nodes_[child]) != NameOf(nodes_[old])) {
          return near->Path() + ": a key below is missing or out of place";
        }
        work.push_back({nullptr, old, child});
        child = fresh.nodes_[child].nextSibling;
      }
    }
    if (child != kNone) return near->Path() + ": a subkey too many";
  }
  return std::string();
}

bool Hive9xFile::Update(const Registry& registry, WritableBytes* image,
                        bool* changed, Hive9xFault* fault) const {
  const std::string_view file = bytes_.view();
  if (int failure = bytes_.Writable(image)) {
    return Fail(
        fault, 0,
        std::string("no memory for the new hive: ") + std::strerror(failure));
  }
  WritableBytes& out = *image;
  *changed = false;
  std::string added;
  BlockWriter blocks(&added, static_cast<std::uint32_t>(blocks_.size()));

  // A freed hierarchy entry goes to the head of the record's free list, its
  // other fields left as they were, as Windows leaves them.
  auto freeHierarchy = [&](std::uint32_t entry) {
    const std::uint64_t at = kNavigation + entry;
    Put32(out, at + kHFlags, kFreeHierarchy);
    Put32(out, at + kHHash, kHierarchySize);
    Put32(out, at + kHFreeNext, Get32(out, kNavigation + kNavFirstFree));
    Put32(out, kNavigation + kNavFirstFree, entry);
  };
  // A freed name entry likewise heads its block's free list; its number may
  // be given again. Its name and values are emptied too: readers that parse
  // every entry of a block on the way to the one they want (libcreg does)
  // would read its old values against the free-list link.
  auto freeName = [&](std::uint32_t entry, std::uint32_t block) {
    const std::uint64_t at = blocks_[block];
    std::uint32_t number = Get16(out, entry + kNNumber);
    Put16(out, entry + kNNumber, kNoNumber);
    Put16(out, entry + kNBlock, kNoNumber);
    Put16(out, entry + kNNameSize, 0);
    Put16(out, entry + kNValues, 0);
    Put32(out, entry + kNUsed, Get32(out, at + kBFirstFree));
    Put32(out, at + kBFirstFree, static_cast<std::uint32_t>(entry - at));
    Put32(out, at + kBUnused, Get32(out, at + kBUnused) + Get32(out, entry));
    if (number < Get16(out, at + kBLowestFree)) {
      Put16(out, at + kBLowestFree, number);
    }
  };
  auto freeSubtree = [&](std::uint32_t top) {
    *changed = true;
    std::vector<std::uint32_t> work{top};
    while (!work.empty()) {
      std::uint32_t n = work.back();
      work.pop_back();
      freeHierarchy(nodes_[n].entry);
      if (nodes_[n].nameEntry != 0)
        freeName(nodes_[n].nameEntry, nodes_[n].block);
      for (std::uint32_t c = nodes_[n].firstChild; c != kNone;
           c = nodes_[c].nextSibling) {
        work.push_back(c);
      }
    }
  };
  // Writes `key`'s values into its name entry: in place when they fit,
  // else the entry moves to a block added at the end.
  auto rewriteValues = [&](const RegistryKey& key, const Node& node) {
    std::string area;
    std::uint32_t count = 0;
    bool stored = true;
    key.ForEachValue([&](const RegistryValue& value) {
      ++count;
      StoredValue old{};
      bool found = false;
      if (node.nameEntry != 0) {
        ForEachStored(file, node.nameEntry, [&](const StoredValue& v) {
          if (!found && EqualsAsciiFolded(v.name, value.name)) {
            old = v;
            found = true;
          }
        });
      }
      if (found && old.type == value.type && old.name == value.name &&
          HandsOut(old, value.data)) {
        area += old.whole;  // as read: kept byte for byte
      } else if (!AppendStored(area, value, found ? Get32(old.whole, 4) : 0)) {
        stored = false;
      }
    });
    if (!stored) {
      return Fail(fault, node.nameEntry,
                  "a value of \"" + key.Path() + "\" is 64 KB or more");
    }
    if (node.nameEntry == 0) {
      if (count == 0) return true;
      return Fail(fault, kNavigation + node.entry,
                  "the root key has no name entry to hold values");
    }
    const std::uint32_t entry = node.nameEntry;
    const std::uint32_t nameSize = Get16(out, entry + kNNameSize);
    const std::uint64_t areaAt = entry + kNameHeader + nameSize;
    std::uint64_t oldEnd = areaAt;
    ForEachStored(file, entry,
                  [&](const StoredValue& v) { oldEnd += v.whole.size(); });
    if (count == Get16(file, entry + kNValues) &&
        file.substr(areaAt, oldEnd - areaAt) == area) {
      return true;  // set to what they were
    }
    *changed = true;
    const auto used =
        static_cast<std::uint32_t>(kNameHeader + nameSize + area.size());
    if (used <= Get32(out, entry)) {
      out.Write(areaAt, area);
      Put32(out, entry + kNUsed, used);
      Put16(out, entry + kNValues, count);
      return true;
    }
    std::string moved(out.view().substr(entry, kNameHeader + nameSize));
    Put32(moved, kNUsed, used);
    Put16(moved, kNValues, count);
    moved += area;
    freeName(entry, node.block);
    std::uint32_t number = 0;
    std::uint32_t block = 0;
    blocks.Add(std::move(moved), &number, &block);
    Put16(out, kNavigation + node.entry + kHNumber, number);
    Put16(out, kNavigation + node.entry + kHBlock, block);
    return true;
  };

  const RegistryKey* root = nullptr;
  bool foreign = false;
  registry.top.ForEachSubkey([&](const RegistryKey& key) {
    if (key.fillTag() == 1) {
      root = &key;
    } else {
      foreign = true;
    }
  });
  if (root == nullptr || foreign) {
    return Fail(fault, 0, "the registry holds a root the file does not");
  }

  struct Pending {
    const RegistryKey* key;
    std::uint32_t node;
  };
  std::vector<Pending> work{{root, 0}};
  std::vector<const RegistryKey*> live;
  while (!work.empty()) {
    const Pending pending = work.back();
    work.pop_back();
    const RegistryKey& key = *pending.key;
    const Node& node = nodes_[pending.node];
    if (!key.valuesWaiting() && key.valueWrites() != node.writesAsRead &&
        !rewriteValues(key, node)) {
      return false;
    }
    if (key.subkeysWaiting()) continue;  // nothing below it was touched
    live.clear();
    key.ForEachSubkey(
        [&](const RegistryKey& subkey) { live.push_back(&subkey); });
    // The subkeys left are those of the file, in its order, less the
    // deleted ones: each of those is unlinked from its siblings and freed
    // with all below it.
    std::size_t next = 0;
    std::uint64_t linkAt = kNavigation + node.entry + kHChild;
    for (std::uint32_t c = node.firstChild; c != kNone;
         c = nodes_[c].nextSibling) {
      const std::uint64_t at = kNavigation + nodes_[c].entry;
      if (next < live.size() && live[next]->fillTag() == c + 1) {
        work.push_back({live[next++], c});
        linkAt = at + kHNext;
      } else {
        Put32(out, linkAt, Get32(out, at + kHNext));
        freeSubtree(c);
      }
    }
    if (next != live.size()) {
      return Fail(fault, kNavigation + node.entry,
                  "\"" + live[next]->Path() + "\" is a key the file lacks");
    }
  }
  std::uint32_t count =
      blocks.Finish(static_cast<std::uint32_t>(blocks_.size()));
  if (count != 0) {
    if (blocks_.size() + count > kMaxField) {
      return Fail(fault, kBlockCount, "no room for another data block");
    }
    out.Append(added);
    Put16(out, kBlockCount, static_cast<std::uint32_t>(blocks_.size() + count));
  }
  return true;
}

}  // namespace

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

bool UpdateHive9x(const Registry& registry, WritableBytes* image, bool* changed,
                  Hive9xFault* fault) {
  auto* file = dynamic_cast<const Hive9xFile*>(registry.source.get());
  if (file == nullptr)
    return Fail(fault, 0, "the registry was not read from a hive");
  return file->Update(registry, image, changed, fault);
}

bool CheckHive9x(const Registry& registry, std::string_view image,
                 Hive9xFault* fault) {
  auto* file = dynamic_cast<const Hive9xFile*>(registry.source.get());
  if (file == nullptr) {
    return Fail(fault, 0, "the registry was not read from a hive");
  }
  Hive9xFile fresh(FileBytes::Borrow(image));
  if (!fresh.Check(fault, false)) return false;
  std::string difference = file->Difference(registry, fresh);
  return difference.empty() || Fail(fault, 0, difference);
}

bool WriteHive9x(const RegistryKey& root, std::string* image,
                 Hive9xFault* fault) {
  // The keys in preorder, as Windows lays a new file: each key's entry
  // before its subkeys'.
  struct Laid {
    const RegistryKey* key;
    std::uint32_t parent;
    std::uint32_t firstChild = kNone;
    std::uint32_t next = kNone;
    std::uint32_t entry = 0;
    std::uint32_t number = kNoNumber;
    std::uint32_t block = kNoNumber;
  };
  std::vector<Laid> keys{{&root, kNone}};
  std::vector<std::uint32_t> work{0};
  std::vector<const RegistryKey*> children;
  std::vector<std::uint32_t> order;
  // Depth first, children in order: the stack holds them last to first.
  while (!work.empty()) {
    std::uint32_t at = work.back();
    work.pop_back();
    order.push_back(at);
    children.clear();
    keys[at].key->ForEachSubkey(
        [&](const RegistryKey& subkey) { children.push_back(&subkey); });
    std::uint32_t first = static_cast<std::uint32_t>(keys.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
      keys.push_back({children[i], at});
      if (i + 1 < children.size()) keys.back().next = first + i + 1;
    }
    if (!children.empty()) keys[at].firstChild = first;
    for (std::size_t i = children.size(); i-- > 0;) work.push_back(first + i);
  }
  // Entries never cross a page of the record.
  std::uint32_t place = kNavigationHeader;
  auto nextPlace = [&]() {
    if (place % kPage + kHierarchySize > kPage) place += kPage - place % kPage;
    std::uint32_t at = place;
    place += kHierarchySize;
    return at;
  };
  std::string blockBytes;
  BlockWriter blocks(&blockBytes, 0);
  for (std::uint32_t at : order) {
    Laid& laid = keys[at];
    laid.entry = nextPlace();
    std::vector<RegistryValue> values = laid.key->Values();
    if (at == 0 && values.empty()) continue;  // the root needs no name entry
    std::string entry(kNameHeader, '\0');
    std::string_view name = at == 0 ? std::string_view() : laid.key->name();
    if (name.size() > kMaxField || values.size() > kMaxField) {
      return Fail(fault, 0, "\"" + laid.key->Path() + "\" is too large");
    }
    Put16(entry, kNNameSize, static_cast<std::uint32_t>(name.size()));
    Put16(entry, kNValues, static_cast<std::uint32_t>(values.size()));
    entry += name;
    for (const RegistryValue& value : values) {
      if (!AppendStored(entry, value, 0)) {
        return Fail(fault, 0,
                    "a value of \"" + laid.key->Path() + "\" is 64 KB or more");
      }
    }
    Put32(entry, kNUsed, static_cast<std::uint32_t>(entry.size()));
    blocks.Add(std::move(entry), &laid.number, &laid.block);
  }
  const std::uint32_t blockCount = blocks.Finish(0);
  if (blockCount > kMaxField) return Fail(fault, 0, "too many data blocks");

  // The rest of the record's last page: free entries in a list.
  std::uint32_t navSize = (place + kPage - 1) / kPage * kPage;
  std::vector<std::uint32_t> free;
  while (place % kPage + kHierarchySize <= kPage &&
         place + kHierarchySize <= navSize) {
    free.push_back(nextPlace());
  }
  std::string nav;
  nav += "RGKN";
  Append32(nav, navSize);
  Append32(nav, kNavigationHeader);
  Append32(nav, free.empty() ? kNone : free[0]);
  Append32(nav, 8);  // as Windows writes it
  nav.append(12, '\0');
  nav.resize(navSize, '\0');
  for (const Laid& laid : keys) {
    std::uint32_t at = laid.entry;
    Put32(nav, at + kHFlags, 0);
    Put32(nav, at + kHHash,
          laid.parent == kNone ? 0 : NameHash(laid.key->name()));
    Put32(nav, at + kHFreeNext, kNone);
    Put32(nav, at + kHParent,
          laid.parent == kNone ? kNone : keys[laid.parent].entry);
    Put32(nav, at + kHChild,
          laid.firstChild == kNone ? kNone : keys[laid.firstChild].entry);
    Put32(nav, at + kHNext, laid.next == kNone ? kNone : keys[laid.next].entry);
    Put16(nav, at + kHNumber, laid.number);
    Put16(nav, at + kHBlock, laid.block);
  }
  for (std::size_t i = 0; i < free.size(); ++i) {
    Put32(nav, free[i] + kHFlags, kFreeHierarchy);
    Put32(nav, free[i] + kHHash, kHierarchySize);
    Put32(nav, free[i] + kHFreeNext, i + 1 < free.size() ? free[i + 1] : kNone);
  }

  std::string& out = *image;
  out.clear();
  out += "CREG";
  Append16(out, 0);
  Append16(out, 1);
  Append32(out, kNavigation + navSize);
  Append32(out, 0);
  Append16(out, blockCount);
  Append16(out, 0x20);  // as Windows writes it
  Append16(out, 0);
  Append16(out, 1);
  out.append(8, '\0');
  out += nav;
  out += blockBytes;
  return true;
}

}  // namespace brindle
