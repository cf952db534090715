// The simulated machine's registry: a tree of keys holding values, names
// matched without regard to ASCII case and kept as first written, every list
// in the order it was made. It knows no file form: a form's reader may leave
// keys to be filled in when first looked into (KeyFiller).
#ifndef BRINDLE_PLATFORM_HOSTED_REGISTRY_REGISTRY_H_
#define BRINDLE_PLATFORM_HOSTED_REGISTRY_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace brindle {

/// True when `a` and `b` are equal but for ASCII letter case.
bool EqualsAsciiFolded(std::string_view a, std::string_view b);
/// A hash of `name`, the same for names equal but for ASCII letter case.
std::uint32_t FoldedNameHash(std::string_view name);

/// A named value as stored. Views into its key, good until its values change.
struct RegistryValue {
  std::string_view name;
  std::uint32_t type = 0;
  std::string_view data;
};

class RegistryKey;

/// Gives a key its subkeys, and apart from them its values, the first time
/// anything looks at them: how a file form reads only what a run needs. It
/// is the file the registry was read from, and lives as long as the keys.
class KeyFiller {
 public:
  virtual ~KeyFiller() = default;
  /// Gives `key`, handed to this filler with `tag`, its subkeys.
  virtual void FillSubkeys(RegistryKey& key, std::uint32_t tag) = 0;
  /// Gives it its values.
  virtual void FillValues(RegistryKey& key, std::uint32_t tag) = 0;
  /// Its values as the file holds them, where the file shows them whole:
  /// equal bytes are equal values, so comparing two files need not decode.
  virtual std::optional<std::string_view> StoredValues(std::uint32_t) const {
    return std::nullopt;
  }
};

/// Where an enumeration of a key's subkeys by index stands: `index` live
/// subkeys lie before `slot`. Kept by whoever enumerates, and moved back by
/// them when a subkey before it is removed.
struct SubkeyCursor {
  std::size_t index = 0;
  std::size_t slot = 0;
};

/// One key. Subkeys keep their order; a removed one leaves an empty slot,
/// so removing is O(1) and the later ones move down an index.
class RegistryKey {
 public:
  /// A key whose name is copied, or (`borrowed`) refers to text that
  /// outlives it.
  RegistryKey(std::string_view name, RegistryKey* parent,
              bool borrowed = false);
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  std::string_view name() const { return name_; }
  RegistryKey* parent() const { return parent_; }
  /// Where this key stands among its parent's slots.
  std::size_t slot() const { return slot_; }

  /// Leaves the key, still empty, to `filler` until first looked into.
  void FillLater(KeyFiller* filler, std::uint32_t tag);
  /// Empties what its filler filled and nothing changed since, to be filled
  /// again: a walk over a whole registry holds only what it looks at.
  void Unfill();
  /// The tag its filler gave it, 0 for a key made otherwise.
  std::uint32_t fillTag() const { return fillTag_; }
  bool subkeysWaiting() const { return subkeysWaiting_; }
  bool valuesWaiting() const { return valuesWaiting_; }
  /// Its values as its filler holds them, while they wait (see KeyFiller).
  std::optional<std::string_view> storedValues() const {
    return valuesWaiting_ ? filler_->StoredValues(fillTag_) : std::nullopt;
  }

  std::size_t subkeyCount() const;
  /// The subkey at `index`, or null past the end. With a cursor the walk
  /// goes on from where the last call left it.
  RegistryKey* SubkeyAt(std::size_t index,
                        SubkeyCursor* cursor = nullptr) const;
  /// The subkey named `name`, any case, or null; the one at `hint`'s slot
  /// first: a walk by index mostly opens or deletes the one it was handed.
  RegistryKey* FindSubkey(std::string_view name,
                          const SubkeyCursor* hint = nullptr) const;
  /// The subkey named `name`, added at the end when there is none.
  RegistryKey* FindOrAddSubkey(std::string_view name);
  /// Takes `subkey` (made with new, its parent this key, its name no other
  /// subkey's) as the last one.
  RegistryKey* AddSubkey(RegistryKey* subkey);
  /// Removes `subkey` and everything below it.
  void RemoveSubkey(RegistryKey* subkey);
  /// Calls `visit` for each subkey in order.
  template <typename Visit>
  void ForEachSubkey(Visit&& visit) const {
    FillSubkeys();
    for (const RegistryKey* slot : subkeys_) {
      if (slot) visit(*slot);
    }
  }

  std::vector<RegistryValue> Values() const;
  /// The value named `name`, any case.
  std::optional<RegistryValue> FindValue(std::string_view name) const;
  /// Makes room for `bytes` more of names and data: a filler allocates once.
  void ReserveValues(std::size_t bytes) {
    values_.reserve(values_.size() + bytes);
  }
  /// Sets a value, keeping its place and first spelling when it exists.
  void SetValue(std::string_view name, std::uint32_t type,
                std::string_view data);
  /// Removes a value; false when there was none.
  bool RemoveValue(std::string_view name);
  /// How often the values were set or removed since the key was made or
  /// filled: 0, they are as they came.
  std::uint32_t valueWrites() const { return valueWrites_; }

  /// True when `ancestor` is this key or one above it.
  bool IsWithin(const RegistryKey* ancestor) const;
  /// The names from the top, joined by backslashes.
  std::string Path() const;

  /// True when both hold the same values: names, types, bytes, in order.
  friend bool SameValues(const RegistryKey& a, const RegistryKey& b);

 private:
  class NameIndex;
  // Looking into a key fills it first: no caller ever sees it waiting.
  void FillSubkeys() const;
  void FillValues() const;
  // Where the value named `name` starts, or npos.
  std::size_t FindValueOffset(std::string_view name) const;

  std::string_view name_;
  std::unique_ptr<char[]> ownedName_;
  RegistryKey* parent_;
  std::size_t slot_ = 0;
  std::vector<RegistryKey*> subkeys_;  // owned; null where one was removed
  std::size_t liveSubkeys_ = 0;
  mutable std::unique_ptr<NameIndex> index_;  // once there are many
  // Every value in one block: name length, type and data length (4 bytes
  // each), then the name and the data.
  std::string values_;
  std::uint32_t valueWrites_ = 0;
  KeyFiller* filler_ = nullptr;
  std::uint32_t fillTag_ = 0;
  mutable bool subkeysWaiting_ = false;
  mutable bool valuesWaiting_ = false;
};

/// The whole registry: the roots (HKEY_LOCAL_MACHINE, ...) below one
/// nameless top.
struct Registry {
  /// Declared first, so it outlives the keys that wait for it.
  std::unique_ptr<KeyFiller> source;
  RegistryKey top{std::string_view(), nullptr};
  /// The line end of the text it came from: "\r\n" or "\n".
  std::string lineEnd = "\r\n";

  /// The key at a backslash-separated path from the top, or null.
  RegistryKey* Find(std::string_view path) const;
};

/// Finds `path` below `from`, one backslash-separated name at a time.
RegistryKey* FindKeyPath(const RegistryKey& from, std::string_view path);
/// The key at `path` below `from`, each missing name on the way added.
RegistryKey* MakeKeyPath(RegistryKey& from, std::string_view path);

/// Where the trees below `a` and `b` differ (a path and what), or empty:
/// their values, and their subkeys' names, order and trees. Keys both had
/// left waiting are emptied again once compared: little memory for a
/// whole registry.
std::string RegistryDifference(RegistryKey& a, RegistryKey& b);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_REGISTRY_REGISTRY_H_
