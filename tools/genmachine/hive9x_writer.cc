#include "tools/genmachine/hive9x_writer.h"

#include <vector>

namespace brindle {
namespace {

constexpr std::uint32_t kPage = 4096;

bool Refuse(Hive9xFault* fault, const std::string& what) {
  fault->offset = 0;
  fault->what = what;
  return false;
}

}  // namespace

bool WriteHive9x(const RegistryKey& root, std::string* image,
                 Hive9xFault* fault) {
  // The keys in preorder, as Windows lays a new file: each key's entry
  // before its subkeys'.
  struct Laid {
    const RegistryKey* key;
    std::uint32_t parent;
    std::uint32_t firstChild = kHiveNone;
    std::uint32_t next = kHiveNone;
    std::uint32_t entry = 0;
    std::uint32_t number = kHiveNoNumber;
    std::uint32_t block = kHiveNoNumber;
  };
  std::vector<Laid> keys{{&root, kHiveNone}};
  std::vector<std::uint32_t> work{0};
  std::vector<const RegistryKey*> children;
  std::vector<std::uint32_t> order;
  while (!work.empty()) {
    const std::uint32_t at = work.back();
    work.pop_back();
    order.push_back(at);
    children.clear();
    keys[at].key->ForEachSubkey(
        [&](const RegistryKey& subkey) { children.push_back(&subkey); });
    const auto first = static_cast<std::uint32_t>(keys.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
      keys.push_back({children[i], at});
      if (i + 1 < children.size())
        keys.back().next = first + static_cast<std::uint32_t>(i) + 1;
    }
    if (!children.empty()) keys[at].firstChild = first;
    for (std::size_t i = children.size(); i-- > 0;)
      work.push_back(first + static_cast<std::uint32_t>(i));
  }
  // Entries never cross a page of the record.
  std::uint32_t place = HiveNavigation::kSize;
  auto nextPlace = [&]() {
    if (place % kPage + HiveHierarchy::kSize > kPage)
      place += kPage - place % kPage;
    const std::uint32_t at = place;
    place += HiveHierarchy::kSize;
    return at;
  };
  std::string blockBytes;
  HiveBlockWriter blocks(&blockBytes, 0);
  for (std::uint32_t at : order) {
    Laid& laid = keys[at];
    laid.entry = nextPlace();
    const std::vector<RegistryValue> values = laid.key->Values();
    if (at == 0 && values.empty()) continue;  // the root needs no name entry
    std::string entry(HiveNameEntry::kSize, '\0');
    const std::string_view name =
        at == 0 ? std::string_view() : laid.key->name();
    if (name.size() > 0xFFFF || values.size() > 0xFFFF) {
      return Refuse(fault, "\"" + laid.key->Path() + "\" is too large");
    }
    StoreField(entry, 0, HiveNameEntry::kNameSize,
               static_cast<std::uint32_t>(name.size()));
    StoreField(entry, 0, HiveNameEntry::kValueCount,
               static_cast<std::uint32_t>(values.size()));
    entry += name;
    for (const RegistryValue& value : values) {
      if (!AppendHiveValue(entry, value, 0)) {
        return Refuse(
            fault, "a value of \"" + laid.key->Path() + "\" is 64 KB or more");
      }
    }
    StoreField(entry, 0, HiveNameEntry::kUsed,
               static_cast<std::uint32_t>(entry.size()));
    blocks.Add(std::move(entry), &laid.number, &laid.block);
  }
  const std::uint32_t blockCount = blocks.Finish();
  if (blockCount > 0xFFFF) return Refuse(fault, "too many data blocks");

  // The rest of the record's last page: free entries in a list.
  const std::uint32_t navSize = (place + kPage - 1) / kPage * kPage;
  std::vector<std::uint32_t> free;
  while (place % kPage + HiveHierarchy::kSize <= kPage &&
         place + HiveHierarchy::kSize <= navSize) {
    free.push_back(nextPlace());
  }
  std::string nav(navSize, '\0');
  nav.replace(0, 4, "RGKN");
  StoreField(nav, 0, HiveNavigation::kRecordSize, navSize);
  StoreField(nav, 0, HiveNavigation::kRoot, HiveNavigation::kSize);
  StoreField(nav, 0, HiveNavigation::kFirstFree,
             free.empty() ? kHiveNone : free[0]);
  StoreField(nav, 0, HiveNavigation::kFlags, 8);
  auto entryOf = [&](std::uint32_t key) {
    return key == kHiveNone ? kHiveNone : keys[key].entry;
  };
  for (const Laid& laid : keys) {
    const std::uint32_t at = laid.entry;
    StoreField(nav, at, HiveHierarchy::kHash,
               laid.parent == kHiveNone ? 0 : HiveNameHash(laid.key->name()));
    StoreField(nav, at, HiveHierarchy::kNextFree, kHiveNone);
    StoreField(nav, at, HiveHierarchy::kParent, entryOf(laid.parent));
    StoreField(nav, at, HiveHierarchy::kFirstChild, entryOf(laid.firstChild));
    StoreField(nav, at, HiveHierarchy::kNext, entryOf(laid.next));
    StoreField(nav, at, HiveHierarchy::kNumber, laid.number);
    StoreField(nav, at, HiveHierarchy::kBlock, laid.block);
  }
  for (std::size_t i = 0; i < free.size(); ++i) {
    StoreField(nav, free[i], HiveHierarchy::kFlags, HiveHierarchy::kFree);
    StoreField(nav, free[i], HiveHierarchy::kHash, HiveHierarchy::kSize);
    StoreField(nav, free[i], HiveHierarchy::kNextFree,
               i + 1 < free.size() ? free[i + 1] : kHiveNone);
  }

  std::string& out = *image;
  out.assign(HiveHeader::kSize, '\0');
  out.replace(0, 4, "CREG");
  StoreField(out, 0, HiveHeader::kVersion, 1);
  StoreField(out, 0, HiveHeader::kBlocksAt, HiveNavigation::kAt + navSize);
  StoreField(out, 0, HiveHeader::kBlockCount, blockCount);
  StoreField(out, 0, HiveHeader::kFlags, 0x20);
  StoreField(out, 0, HiveHeader::kMinorCopy, 1);
  out += nav;
  out += blockBytes;
  return true;
}

}  // namespace brindle
