#include "tools/genmachine/hive9x_writer.h"

#include <tuple>
#include <utility>
#include <vector>

namespace brindle {
namespace {

using namespace hive9x;  // NOLINT: the file's layout, named plainly

constexpr std::uint32_t kPage = 4096;

bool Refuse(std::string* why, std::string what) {
  *why = std::move(what);
  return false;
}

}  // namespace

std::uint32_t HiveNameHash(std::string_view name) {
  std::uint32_t hash = 0;
  for (unsigned char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c < 0x80) hash += c;
  }
  return hash;
}

std::string NewFileBytes(RegistryFile& file, const Registry& registry,
                         std::string* error) {
  std::string bytes;
  WriteFault fault;
  if (!file.Write(
          registry,
          [&](std::uint64_t at, std::string_view piece) {
            if (bytes.size() < at + piece.size())
              bytes.resize(at + piece.size());
            bytes.replace(at, piece.size(), piece);
            return 0;
          },
          &fault)) {
    if (error != nullptr) *error = fault.cannotHold;
    return std::string();
  }
  return bytes;
}

namespace {

// A key as a new file lays it: its links, by index into the keys laid, and
// where its hierarchy and name entries went.
struct Laid {
  const RegistryKey* key;
  std::uint32_t parent;
  std::uint32_t firstChild = kNone;
  std::uint32_t next = kNone;
  std::uint32_t entry = 0;  // its hierarchy entry's place in the record
  std::uint32_t number = kNoNumber;
  std::uint32_t block = kNoNumber;
};

// A registry laid out as Windows lays a new file, for one write: the keys
// in preorder, each key's hierarchy entry before its subkeys', entries
// never crossing a page of the record; name entries in data blocks in the
// same order; the rest of the record's last page free entries in a list.
class HiveLayout {
 public:
  explicit HiveLayout(const RegistryKey& root);
  // Lays each key's hierarchy entry and name entry; false, with `*why`,
  // for a key too large for the file.
  bool LayEntries(std::string* why);
  // The key navigation record, and then the whole file.
  std::string NavigationRecord();
  std::string File();

 private:
  // The next place for a hierarchy entry, on a page it fits.
  std::uint32_t NextPlace();
  // The name entry of the key at `at`; false, with `*why`, when too large.
  bool BuildNameEntry(std::uint32_t at, std::string* entry, std::string* why);
  std::uint32_t EntryOf(std::uint32_t key) const {
    return key == kNone ? kNone : keys_[key].entry;
  }

  std::vector<Laid> keys_;
  std::vector<std::uint32_t> order_;  // preorder
  std::uint32_t place_ = Navigation::kSize;
  std::string blockBytes_;
  std::uint32_t blockCount_ = 0;
};

HiveLayout::HiveLayout(const RegistryKey& root) : keys_{{&root, kNone}} {
  std::vector<std::uint32_t> work{0};
  std::vector<const RegistryKey*> children;
  while (!work.empty()) {
    const std::uint32_t at = work.back();
    work.pop_back();
    order_.push_back(at);
    children.clear();
    keys_[at].key->ForEachSubkey(
        [&](const RegistryKey& subkey) { children.push_back(&subkey); });
    const auto first = static_cast<std::uint32_t>(keys_.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
      keys_.push_back({children[i], at});
      if (i + 1 < children.size())
        keys_.back().next = first + static_cast<std::uint32_t>(i) + 1;
    }
    if (!children.empty()) keys_[at].firstChild = first;
    for (std::size_t i = children.size(); i-- > 0;)
      work.push_back(first + static_cast<std::uint32_t>(i));
  }
}

std::uint32_t HiveLayout::NextPlace() {
  if (place_ % kPage + Hierarchy::kSize > kPage)
    place_ += kPage - place_ % kPage;
  const std::uint32_t at = place_;
  place_ += Hierarchy::kSize;
  return at;
}

bool HiveLayout::BuildNameEntry(std::uint32_t at, std::string* entry,
                                std::string* why) {
  const RegistryKey& key = *keys_[at].key;
  const std::vector<RegistryValue> values = key.Values();
  const std::string_view name = at == 0 ? std::string_view() : key.name();
  if (name.size() > 0xFFFF || values.size() > 0xFFFF)
    return Refuse(why, "\"" + key.Path() + "\" is too large");
  entry->assign(NameEntry::kSize, '\0');
  StoreField(*entry, 0, NameEntry::kNameSize,
             static_cast<std::uint32_t>(name.size()));
  StoreField(*entry, 0, NameEntry::kValueCount,
             static_cast<std::uint32_t>(values.size()));
  *entry += name;
  for (const RegistryValue& value : values) {
    if (!AppendHiveValue(*entry, value, 0))
      return Refuse(why, "a value of \"" + key.Path() + "\" is 64 KB or more");
  }
  StoreField(*entry, 0, NameEntry::kUsed,
             static_cast<std::uint32_t>(entry->size()));
  return true;
}

bool HiveLayout::LayEntries(std::string* why) {
  HiveBlockWriter blocks(&blockBytes_, 0);
  std::string entry;
  for (std::uint32_t at : order_) {
    Laid& laid = keys_[at];
    laid.entry = NextPlace();
    // The root needs no name entry while it has no values.
    if (at == 0 && laid.key->Values().empty()) continue;
    if (!BuildNameEntry(at, &entry, why)) return false;
    std::tie(laid.number, laid.block) = blocks.Add(std::move(entry));
  }
  blockCount_ = blocks.Close();
  return blockCount_ <= 0xFFFF || Refuse(why, "too many data blocks");
}

std::string HiveLayout::NavigationRecord() {
  const std::uint32_t navSize = (place_ + kPage - 1) / kPage * kPage;
  std::vector<std::uint32_t> free;
  while (place_ % kPage + Hierarchy::kSize <= kPage &&
         place_ + Hierarchy::kSize <= navSize) {
    free.push_back(NextPlace());
  }
  std::string nav(navSize, '\0');
  nav.replace(0, 4, "RGKN");
  StoreField(nav, 0, Navigation::kRecordSize, navSize);
  StoreField(nav, 0, Navigation::kRoot, Navigation::kSize);
  StoreField(nav, 0, Navigation::kFirstFree, free.empty() ? kNone : free[0]);
  StoreField(nav, 0, Navigation::kFlags, 8);
  for (const Laid& laid : keys_) {
    const std::uint32_t at = laid.entry;
    StoreField(nav, at, Hierarchy::kHash,
               laid.parent == kNone ? 0 : HiveNameHash(laid.key->name()));
    StoreField(nav, at, Hierarchy::kNextFree, kNone);
    StoreField(nav, at, Hierarchy::kParent, EntryOf(laid.parent));
    StoreField(nav, at, Hierarchy::kFirstChild, EntryOf(laid.firstChild));
    StoreField(nav, at, Hierarchy::kNext, EntryOf(laid.next));
    StoreField(nav, at, Hierarchy::kNumber, laid.number);
    StoreField(nav, at, Hierarchy::kBlock, laid.block);
  }
  for (std::size_t i = 0; i < free.size(); ++i) {
    StoreField(nav, free[i], Hierarchy::kFlags, Hierarchy::kFree);
    StoreField(nav, free[i], Hierarchy::kHash, Hierarchy::kSize);
    StoreField(nav, free[i], Hierarchy::kNextFree,
               i + 1 < free.size() ? free[i + 1] : kNone);
  }
  return nav;
}

std::string HiveLayout::File() {
  const std::string nav = NavigationRecord();
  std::string out(Header::kSize, '\0');
  out.replace(0, 4, "CREG");
  StoreField(out, 0, Header::kVersion, 1);
  StoreField(out, 0, Header::kBlocksAt, Navigation::kAt + nav.size());
  StoreField(out, 0, Header::kBlockCount, blockCount_);
  StoreField(out, 0, Header::kFlags, 0x20);
  StoreField(out, 0, Header::kMinorCopy, 1);
  return out + nav + blockBytes_;
}

}  // namespace

bool WriteHive9x(const RegistryKey& root, std::string* image,
                 std::string* why) {
  HiveLayout layout(root);
  if (!layout.LayEntries(why)) return false;
  *image = layout.File();
  return true;
}

}  // namespace brindle
