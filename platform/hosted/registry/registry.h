// The simulated machine's registry: keys holding values, names matched
// without regard to ASCII case, every list in the order it was made, keys
// filled in from their file when first looked into. What a run changes is
// recorded as it is made, for the journal and the file forms' writers.
#ifndef BRINDLE_PLATFORM_HOSTED_REGISTRY_REGISTRY_H_
#define BRINDLE_PLATFORM_HOSTED_REGISTRY_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

/// True when `a` and `b` are equal but for ASCII letter case.
bool EqualsAsciiFolded(std::string_view a, std::string_view b);
/// A hash of `name`, the same for names equal but for ASCII letter case.
std::uint32_t FoldedNameHash(std::string_view name);

/// A value: views into its key, good until the key's values change.
struct RegistryValue {
  std::string_view name;
  std::uint32_t type = 0;
  std::string_view data;
};

class RegistryKey;

/// The file a registry was read from: fills a key (given with the number the
/// file gave it) when first looked into, subkeys and values apart.
class KeyFiller {
 public:
  virtual ~KeyFiller() = default;
  virtual void FillSubkeys(RegistryKey&, std::uint32_t) {}
  virtual void FillValues(RegistryKey&, std::uint32_t) {}
  /// A key's values as the file holds them, where equal bytes are equal
  /// values: comparing two files then need not decode.
  virtual std::optional<std::string_view> StoredValues(std::uint32_t) const {
    return std::nullopt;
  }
};

/// An enumeration by index: `index` live subkeys lie before `slot`.
struct SubkeyCursor {
  std::size_t index = 0;
  std::size_t slot = 0;
};

/// One key. A removed subkey leaves an empty slot: removing is O(1) and the
/// later ones move down an index. Changed here, nothing is recorded: that
/// builds a registry (a reader, a test); a run changes it through Registry.
class RegistryKey {
 public:
  /// `name` is copied unless `borrowed` (text that outlives the key).
  RegistryKey(std::string_view name, RegistryKey* parent,
              bool borrowed = false);
  ~RegistryKey();

  std::string_view name() const { return name_; }
  RegistryKey* parent() const { return parent_; }
  std::size_t slot() const { return slot_; }  // among its parent's
  /// Leaves the empty key to `filler` until first looked into.
  void FillLater(KeyFiller* filler, std::uint32_t fileKey) {
    filler_ = filler;
    fileKey_ = fileKey;
    subkeysWaiting_ = valuesWaiting_ = true;
  }
  /// The number its file gave it; 0 for a key no file fills (made since the
  /// file was read, or read from a text line by line).
  std::uint32_t fileKey() const { return fileKey_; }
  /// True while its filler has filled in neither subkeys nor values; then
  /// its values as the file stores them, if it says.
  bool waiting() const { return subkeysWaiting_ && valuesWaiting_; }
  std::optional<std::string_view> storedValues() const {
    return valuesWaiting_ ? filler_->StoredValues(fileKey_) : std::nullopt;
  }
  void Unfill();  // empties what its filler filled, to be filled again
  /// True while neither it nor a key above it was removed.
  bool attached() const;

  std::size_t subkeyCount() const {
    FillSubkeysOnce();
    return liveSubkeys_;
  }
  /// The subkey at `index`, or null; from where `cursor` stands.
  RegistryKey* SubkeyAt(std::size_t index,
                        SubkeyCursor* cursor = nullptr) const;
  /// The subkey named `name`, any case, or null.
  RegistryKey* FindSubkey(std::string_view name) const;
  RegistryKey* FindOrAddSubkey(std::string_view name) {
    RegistryKey* found = FindSubkey(name);
    return found ? found : AddSubkey(new RegistryKey(name, this));
  }
  /// Takes `subkey` (made with new, parent this key, name new) as the last.
  RegistryKey* AddSubkey(RegistryKey* subkey);
  /// Takes `subkey` out and hands it over, with everything below it.
  RegistryKey* DetachSubkey(RegistryKey* subkey);
  void RemoveSubkey(RegistryKey* subkey) { delete DetachSubkey(subkey); }
  template <typename Visit>
  void ForEachSubkey(Visit&& visit) const {
    FillSubkeysOnce();
    for (const RegistryKey* slot : subkeys_)
      if (slot) visit(*slot);
  }

  std::vector<RegistryValue> Values() const;
  /// The value named `name`, any case.
  std::optional<RegistryValue> FindValue(std::string_view name) const;
  /// Room for `n` more bytes of names and data: a filler allocates once.
  void ReserveValues(std::size_t n) { values_.reserve(values_.size() + n); }
  /// Sets a value, keeping its place and first spelling when it exists.
  void SetValue(std::string_view name, std::uint32_t type,
                std::string_view data);
  /// False when there was none.
  bool RemoveValue(std::string_view name);
  /// The names from the top, joined by backslashes.
  std::string Path() const;

  /// True when both hold the same values (names, types, bytes) in order.
  friend bool SameValues(const RegistryKey& a, const RegistryKey& b);

 private:
  class NameIndex;
  // Its values, or its subkeys, from its filler the first time they are
  // looked into.
  void FillValuesOnce() const;
  void FillSubkeysOnce() const;
  std::size_t FindValueOffset(std::string_view name) const;

  std::string_view name_;
  std::unique_ptr<char[]> ownedName_;
  RegistryKey* parent_;
  std::size_t slot_ = 0;
  std::vector<RegistryKey*> subkeys_;  // owned; null where one was removed
  std::size_t liveSubkeys_ = 0;
  mutable std::unique_ptr<NameIndex> index_;  // once there are many
  std::string values_;  // each: name, type, data sizes (4 bytes), name, data
  KeyFiller* filler_ = nullptr;
  std::uint32_t fileKey_ = 0;
  mutable bool subkeysWaiting_ = false;
  mutable bool valuesWaiting_ = false;
};

/// The key at the backslash-separated `path` below `from`, or null; `make`,
/// each missing name on the way added (and listed in `*made`, if given).
RegistryKey* FindKeyPath(const RegistryKey& from, std::string_view path,
                         bool make = false,
                         std::vector<RegistryKey*>* made = nullptr);

/// One change a run made, as the registry records it.
struct RegistryChange {
  enum Kind : std::uint8_t { kKeyMade, kKeyDeleted, kValueSet, kValueRemoved };
  Kind kind;
  const RegistryKey* key;  // kept as long as the registry, deleted or not
  std::string value;       // the name of the value set or removed
};

/// The roots (HKEY_LOCAL_MACHINE, ...) below one nameless top, and what a
/// run changed, change by change, through the calls below. Keys filled from
/// a file borrow from it: the file must outlive them.
struct Registry {
  RegistryKey top{std::string_view(), nullptr};
  std::vector<RegistryChange> changes;
  std::vector<std::unique_ptr<RegistryKey>> deleted;  // for the record

  RegistryKey* Find(std::string_view path) const {
    return FindKeyPath(top, path);
  }
  /// The key at `path`, each missing key on the way made.
  RegistryKey* MakeKey(std::string_view path);
  void SetValue(RegistryKey& key, std::string_view name, std::uint32_t type,
                std::string_view data);
  bool RemoveValue(RegistryKey& key, std::string_view name);
  /// Deletes `key` with everything below it, unless `journal`, asked once
  /// the deletion is recorded, fails it: its failure then (not 0), nothing
  /// changed; else 0.
  std::uint32_t DeleteKey(
      RegistryKey& key,
      const std::function<std::uint32_t()>& journal = nullptr);
};

/// A key the record names from some change on: what happened to it, once.
struct ChangedKey {
  const RegistryKey* key;
  bool made = false;     // the run made it: the file has no text of it
  bool deleted = false;  // the run deleted it (made or not)
  std::vector<std::string_view> values;  // set or removed, each named once
};
/// The one walk over the record, for every reader of a run's changes: each
/// key made, deleted or whose values changed from change `from` on, in the
/// order of its first change.
std::vector<ChangedKey> ChangedKeys(const Registry& registry,
                                    std::size_t from = 0);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_REGISTRY_REGISTRY_H_
