// The simulated machine's registry: a tree of keys holding values, names
// matched without regard to ASCII case and kept as written, every list in
// the order it was made.
#ifndef BRINDLE_PLATFORM_HOSTED_REGISTRY_H_
#define BRINDLE_PLATFORM_HOSTED_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/export_text.h"

namespace brindle {

/// True when `a` and `b` are equal but for ASCII letter case.
bool EqualsAsciiFolded(std::string_view a, std::string_view b);

/// A named value as stored: its type and its bytes. Views into its key,
/// good until the key's values change.
struct RegistryValue {
  std::string_view name;
  std::uint32_t type = 0;
  std::string_view data;
};

/// One key. Subkeys are enumerated by index in insertion order; removing one
/// moves the later ones down an index without shifting any array. A key read
/// from an export is built from its text only when first looked into.
class RegistryKey {
 public:
  RegistryKey(std::string_view name, RegistryKey* parent);
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  std::string_view name() const { return name_; }
  RegistryKey* parent() const { return parent_; }

  /// Makes this key, still empty, stand for key line `line` of `text`
  /// (ExportText::kTop: all of it), which must outlive it.
  void Defer(const ExportText* text, std::uint32_t line);
  /// The text of this key and all below it as read, when nothing has looked
  /// into it since; empty otherwise.
  std::string_view UntouchedText() const;
  /// When this key was read from an export and its values have not changed
  /// since, its own lines there (not its subkeys'); empty otherwise.
  std::string_view OwnLinesAsRead() const;

  /// How many subkeys there are.
  std::size_t subkeyCount() const {
    Expand();
    return liveSubkeys_;
  }
  /// The subkey at `index`, or null past the end; walking upward is O(1)
  /// a step.
  RegistryKey* SubkeyAt(std::size_t index) const;
  /// The subkey named `name`, any case, or null.
  RegistryKey* FindSubkey(std::string_view name) const;
  /// The subkey named `name`, added at the end when there is none.
  RegistryKey* FindOrAddSubkey(std::string_view name);
  /// Removes `subkey` and everything below it.
  void RemoveSubkey(RegistryKey* subkey);
  /// Calls `visit` for each subkey in order.
  template <typename Visit>
  void ForEachSubkey(Visit&& visit) const {
    Expand();
    for (const RegistryKey* slot : subkeys_) {
      if (slot) visit(*slot);
    }
  }

  /// Calls `visit` for each value in order.
  template <typename Visit>
  void ForEachValue(Visit&& visit) const {
    Expand();
    for (std::size_t at = 0; at < values_.size();) visit(ValueAt(&at));
  }
  /// The values in order.
  std::vector<RegistryValue> Values() const;
  /// The value named `name`, any case.
  std::optional<RegistryValue> FindValue(std::string_view name) const;
  /// Sets a value, keeping its place (and name as first written) when it
  /// exists.
  void SetValue(std::string_view name, std::uint32_t type,
                std::string_view data);
  /// Moves every value of `source` here (set one by one when this key has
  /// values already), leaving `source` without values but with its room.
  void TakeValuesFrom(RegistryKey& source);
  /// Removes a value; false when there was none.
  bool RemoveValue(std::string_view name);

  /// True when `ancestor` is this key or one above it.
  bool IsWithin(const RegistryKey* ancestor) const;
  /// The path of names from the top, joined by backslashes.
  std::string Path() const;

 private:
  class NameIndex;

  // Builds the values and subkeys still only in the text.
  void Expand() const {
    if (deferred_) const_cast<RegistryKey*>(this)->ExpandText();
  }
  void ExpandText();
  // False when values were merged on the way.
  bool DecodeValues(std::string_view lines, std::string_view lineEnd);
  RegistryKey* AddSubkey(std::string_view name);
  // Puts a new subkey at the end.
  void Adopt(RegistryKey* added);

  // The value stored at `*at`, moving `*at` past it.
  RegistryValue ValueAt(std::size_t* at) const;
  // Where the value named `name` starts, or npos.
  std::size_t FindValueOffset(std::string_view name) const;
  void Compact();
  // Takes down `key` and all below it without recursion.
  static void Dispose(RegistryKey* key);

  // Kept here, or in the text the key was read from.
  std::string_view name_;
  std::unique_ptr<char[]> ownedName_;
  RegistryKey* parent_;
  // Removed subkeys leave an empty slot until the slots are compacted. The
  // subkeys belong to this key: each on its own, or all built from the text
  // at once in `block_`.
  std::vector<RegistryKey*> subkeys_;
  RegistryKey* block_ = nullptr;
  std::uint32_t blockSize_ = 0;
  bool inBlock_ = false;
  // Built once a key has many subkeys, so lookups stay O(1).
  mutable std::unique_ptr<NameIndex> index_;
  // Every value in one block: name length, type and data length (4 bytes
  // each), then the name and the data.
  std::string values_;
  // Where this key stands among its parent's slots.
  std::uint32_t slot_ = 0;
  std::uint32_t liveSubkeys_ = 0;
  // Enumeration cursor: `cursorIndex_` live subkeys lie before slot
  // `cursorSlot_`.
  mutable std::uint32_t cursorIndex_ = 0;
  mutable std::uint32_t cursorSlot_ = 0;
  // The text the key was read from, the key line it stands for and any
  // later ones naming the same key again; `deferred_` until it is built.
  const ExportText* text_ = nullptr;
  bool deferred_ = false;
  // Its values are still those its own lines in the text give.
  bool valuesAsRead_ = false;
  std::uint32_t line_ = 0;
  std::unique_ptr<std::vector<std::uint32_t>> moreLines_;
  // Written out key by key: its text spells a path otherwise.
  bool respelled_ = false;
};

/// The whole registry: the roots (HKEY_LOCAL_MACHINE, ...) below one
/// nameless top.
struct Registry {
  /// The export the keys not yet looked into are still kept in.
  std::unique_ptr<ExportText> text;
  RegistryKey top{std::string_view(), nullptr};
  /// The line end of the file it came from: "\r\n" or "\n".
  std::string lineEnd = "\r\n";

  /// The key at a backslash-separated path from the top, or null.
  RegistryKey* Find(std::string_view path) const;
};

/// Finds `path` below `from`, one backslash-separated name at a time.
RegistryKey* FindKeyPath(const RegistryKey& from, std::string_view path);

/// The key at `path` below `from`, each missing name on the way added.
RegistryKey* MakeKeyPath(RegistryKey& from, std::string_view path);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_REGISTRY_H_
