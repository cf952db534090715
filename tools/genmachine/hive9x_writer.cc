#include "tools/genmachine/hive9x_writer.h"

#include <tuple>
#include <vector>

namespace brindle {
namespace {

using namespace hive9x;  // NOLINT: the file's layout, named plainly

constexpr std::uint32_t kPage = 4096;

bool Refuse(Hive9xFault* fault, const std::string& what) {
  fault->offset = 0;
  fault->what = what;
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
  std::uint32_t place = Navigation::kSize;
  auto nextPlace = [&]() {
    if (place % kPage + Hierarchy::kSize > kPage)
      place += kPage - place % kPage;
    const std::uint32_t at = place;
    place += Hierarchy::kSize;
    return at;
  };
  std::string blockBytes;
  HiveBlockWriter blocks(&blockBytes, 0);
  for (std::uint32_t at : order) {
    Laid& laid = keys[at];
    laid.entry = nextPlace();
    const std::vector<RegistryValue> values = laid.key->Values();
    if (at == 0 && values.empty()) continue;  // the root needs no name entry
    std::string entry(NameEntry::kSize, '\0');
    const std::string_view name =
        at == 0 ? std::string_view() : laid.key->name();
    if (name.size() > 0xFFFF || values.size() > 0xFFFF) {
      return Refuse(fault, "\"" + laid.key->Path() + "\" is too large");
    }
    StoreField(entry, 0, NameEntry::kNameSize,
               static_cast<std::uint32_t>(name.size()));
    StoreField(entry, 0, NameEntry::kValueCount,
               static_cast<std::uint32_t>(values.size()));
    entry += name;
    for (const RegistryValue& value : values) {
      if (!AppendHiveValue(entry, value, 0)) {
        return Refuse(
            fault, "a value of \"" + laid.key->Path() + "\" is 64 KB or more");
      }
    }
    StoreField(entry, 0, NameEntry::kUsed,
               static_cast<std::uint32_t>(entry.size()));
    std::tie(laid.number, laid.block) = blocks.Add(std::move(entry));
  }
  const std::uint32_t blockCount = blocks.Close();
  if (blockCount > 0xFFFF) return Refuse(fault, "too many data blocks");

  // The rest of the record's last page: free entries in a list.
  const std::uint32_t navSize = (place + kPage - 1) / kPage * kPage;
  std::vector<std::uint32_t> free;
  while (place % kPage + Hierarchy::kSize <= kPage &&
         place + Hierarchy::kSize <= navSize) {
    free.push_back(nextPlace());
  }
  std::string nav(navSize, '\0');
  nav.replace(0, 4, "RGKN");
  StoreField(nav, 0, Navigation::kRecordSize, navSize);
  StoreField(nav, 0, Navigation::kRoot, Navigation::kSize);
  StoreField(nav, 0, Navigation::kFirstFree, free.empty() ? kNone : free[0]);
  StoreField(nav, 0, Navigation::kFlags, 8);
  auto entryOf = [&](std::uint32_t key) {
    return key == kNone ? kNone : keys[key].entry;
  };
  for (const Laid& laid : keys) {
    const std::uint32_t at = laid.entry;
    StoreField(nav, at, Hierarchy::kHash,
               laid.parent == kNone ? 0 : HiveNameHash(laid.key->name()));
    StoreField(nav, at, Hierarchy::kNextFree, kNone);
    StoreField(nav, at, Hierarchy::kParent, entryOf(laid.parent));
    StoreField(nav, at, Hierarchy::kFirstChild, entryOf(laid.firstChild));
    StoreField(nav, at, Hierarchy::kNext, entryOf(laid.next));
    StoreField(nav, at, Hierarchy::kNumber, laid.number);
    StoreField(nav, at, Hierarchy::kBlock, laid.block);
  }
  for (std::size_t i = 0; i < free.size(); ++i) {
    StoreField(nav, free[i], Hierarchy::kFlags, Hierarchy::kFree);
    StoreField(nav, free[i], Hierarchy::kHash, Hierarchy::kSize);
    StoreField(nav, free[i], Hierarchy::kNextFree,
               i + 1 < free.size() ? free[i + 1] : kNone);
  }

  std::string& out = *image;
  out.assign(Header::kSize, '\0');
  out.replace(0, 4, "CREG");
  StoreField(out, 0, Header::kVersion, 1);
  StoreField(out, 0, Header::kBlocksAt, Navigation::kAt + navSize);
  StoreField(out, 0, Header::kBlockCount, blockCount);
  StoreField(out, 0, Header::kFlags, 0x20);
  StoreField(out, 0, Header::kMinorCopy, 1);
  out += nav;
  out += blockBytes;
  return true;
}

}  // namespace brindle
