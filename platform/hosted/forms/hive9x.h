// The Windows 9x registry file (SYSTEM.DAT, USER.DAT; signature "CREG"): a
// reader over the registry model, and a run's changes written into the file
// as it stands, changing only the bytes they need.
//
// The file: a header, then the key navigation record (RGKN) holding one
// 28-byte hierarchy entry a key (parent, first subkey, next sibling, and
// where its name entry is), then data blocks (RGDB) holding one name entry a
// key (its name and its values). Numbers are little-endian.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_HIVE9X_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_HIVE9X_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/hosted/forms/registry_file.h"

namespace brindle {

/// The file's records, field by field.
namespace hive9x {

/// A field of a record: where it starts in the record, its size (2 or 4).
struct Field {
  std::uint32_t at;
  std::uint32_t size;
};

/// The file header, at the start of the file.
struct Header {
  static constexpr std::uint32_t kSize = 32;
  static constexpr Field kSignature{0, 4};  // "CREG"
  static constexpr Field kVersion{6, 2};    // 1
  static constexpr Field kBlocksAt{8, 4};   // the first data block
  static constexpr Field kBlockCount{16, 2};
  static constexpr Field kFlags{18, 2};      // 0x20, as Windows writes it
  static constexpr Field kMinorCopy{22, 2};  // 1, likewise
};

/// The key navigation record, after the header; offsets count from here.
struct Navigation {
  static constexpr std::uint32_t kAt = 32;
  static constexpr std::uint32_t kSize = 32;
  static constexpr Field kSignature{0, 4};  // "RGKN"
  static constexpr Field kRecordSize{4, 4};
  static constexpr Field kRoot{8, 4};
  static constexpr Field kFirstFree{12, 4};
  static constexpr Field kFlags{16, 4};  // 8, as Windows writes it
};

/// A key's hierarchy entry in the navigation record; kNone is no link.
struct Hierarchy {
  static constexpr std::uint32_t kSize = 28;
  static constexpr std::uint32_t kFree = 0x80000000u;  // in kFlags
  static constexpr Field kFlags{0, 4};
  static constexpr Field kHash{4, 4};
  static constexpr Field kNextFree{8, 4};
  static constexpr Field kParent{12, 4};
  static constexpr Field kFirstChild{16, 4};
  static constexpr Field kNext{20, 4};
  static constexpr Field kNumber{24, 2};  // of its name entry
  static constexpr Field kBlock{26, 2};   // that holds it
};

/// A data block's header. Offsets in a block count from its start.
struct Block {
  static constexpr std::uint32_t kSize = 32;
  static constexpr Field kSignature{0, 4};  // "RGDB"
  static constexpr Field kBlockSize{4, 4};
  static constexpr Field kUnused{8, 4};  // the free entries' sizes
  static constexpr Field kFlags{12, 2};  // 8, as Windows writes it
  static constexpr Field kNumber{14, 2};
  static constexpr Field kFirstFree{16, 4};
  static constexpr Field kHighest{20, 2};     // the highest number given
  static constexpr Field kLowestFree{22, 2};  // the lowest number free
};

/// A key's name entry in a data block: this header, its name, its values. A
/// free one has no number nor block, and its next free in kUsed.
struct NameEntry {
  static constexpr std::uint32_t kSize = 20;
  static constexpr std::uint32_t kLeast = 12;  // a free entry's
  static constexpr Field kEntrySize{0, 4};
  static constexpr Field kNumber{4, 2};
  static constexpr Field kBlock{6, 2};
  static constexpr Field kUsed{8, 4};
  static constexpr Field kNameSize{12, 2};
  static constexpr Field kValueCount{14, 2};
};

/// A value in a name entry: this header, its name, its data.
struct Value {
  static constexpr std::uint32_t kSize = 12;
  static constexpr Field kType{0, 4};
  static constexpr Field kUnknown{4, 4};
  static constexpr Field kNameSize{8, 2};
  static constexpr Field kDataSize{10, 2};
};

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kNoNumber = 0xFFFF;

}  // namespace hive9x

/// The field at `record` in `bytes` (a string or a HiveImage); bytes past
/// the end read as 0.
template <typename Bytes>
std::uint32_t LoadField(const Bytes& bytes, std::uint64_t record,
                        hive9x::Field field) {
  std::uint32_t value = 0;
  for (std::uint32_t i = field.size; i-- > 0;) {
    const std::uint64_t at = record + field.at + i;
    value = value << 8 |
            (at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0);
  }
  return value;
}
/// Stores `value`'s low bytes in the field at `record`.
template <typename Bytes>
void StoreField(Bytes& bytes, std::uint64_t record, hive9x::Field field,
                std::uint64_t value) {
  for (std::uint32_t i = 0; i < field.size; ++i)
    bytes[record + field.at + i] = static_cast<char>(value >> (8 * i));
}

/// Appends a value as Windows stores it (a string without its closing NUL);
/// false for a name or data of 64 KB or more.
bool AppendHiveValue(std::string& out, const RegistryValue& value,
                     std::uint32_t unknown);

/// Lays name entries into data blocks appended to `*out` as Windows fills
/// them: up to 60 KB or 255 entries, whole pages, the rest one free entry.
class HiveBlockWriter {
 public:
  HiveBlockWriter(std::string* out, std::uint32_t firstNumber)
      : out_(out), number_(firstNumber) {}
  /// Adds a name entry, setting its number and block; gives the two.
  std::pair<std::uint32_t, std::uint32_t> Add(std::string entry);
  /// Closes the block being filled; the number the next block would have.
  std::uint32_t Close();

 private:
  std::string* out_;
  std::uint32_t number_;
  std::uint32_t entries_ = 0;
  std::string current_;
  std::size_t last_ = 0;
};

/// Checks every structure of the file, then reads it into an empty
/// `registry`, its root named `rootName`, each key built when first looked
/// into: the file, or null with `*fault` at the first failed check.
[[nodiscard]] std::unique_ptr<RegistryFile> LoadHive9x(
    FileBytes bytes, std::string_view rootName, Registry& registry,
    LoadFault* fault);
/// LoadHive9x for a machine, its root HKEY_LOCAL_MACHINE.
std::unique_ptr<RegistryFile> ReadHive9xFile(FileBytes bytes,
                                             Registry& registry,
                                             LoadFault* fault);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_HIVE9X_H_
