// A registry file in one of its forms (REGEDIT4 text, the Windows 9x hive),
// as a run loaded it: it fills the registry's keys when first looked into,
// and writes the registry as the run left it, the file as loaded with the
// run's changes (the registry's record), as a new file of the same form.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGISTRY_FILE_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGISTRY_FILE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/forms/file_bytes.h"
#include "platform/hosted/forms/load_fault.h"
#include "platform/hosted/forms/threaded_list.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// Receives a file a piece at a time, each at its place: 0, or the errno
/// that stops the writing.
using FileSink = std::function<int(std::uint64_t at, std::string_view piece)>;

/// Why a registry could not be written to a file: the sink refused a piece
/// (its errno), or the form cannot hold what the run changed (why).
struct WriteFault {
  int sinkError = 0;
  std::string cannotHold;
};

class RegistryFile : public KeyFiller {
 public:
  /// Writes the registry as the run left it to `sink`, whole, the file as
  /// loaded with the run's changes: false, with `*fault`, when it cannot.
  virtual bool Write(const Registry& registry, const FileSink& sink,
                     WriteFault* fault) = 0;
  /// Reads back `file`, which is to hold the registry the run left: the
  /// file this form just wrote (`written`), or the file in place, found to
  /// hold it already. False, with why in `*error`, when it does not.
  virtual bool ReadBack(Registry& registry, FileBytes file, bool written,
                        std::string* error) const = 0;
  /// The file as loaded: pieces written from it can be copied by the kernel.
  virtual const FileBytes& bytes() const = 0;
  /// How lines end in REGEDIT4 text kept beside the file (a journal): as
  /// in the file when it is such text, else CR LF, as regedit writes them.
  virtual std::string_view lineEnd() const { return "\r\n"; }
};

/// Gives `key` a subkey for each item of a list threaded through `items`
/// from `first` (kEndOfList ends it), named `nameOf(item)` and filled
/// later by `filler` as its file key `item + 1`: how each form fills a
/// key's subkeys from its index of the file.
template <typename Item, typename NameOf>
void FillSubkeysFromList(RegistryKey& key, KeyFiller* filler,
                         std::uint32_t first, const std::vector<Item>& items,
                         std::uint32_t Item::*next, NameOf nameOf) {
  for (std::uint32_t item = first; item != kEndOfList;
       item = items[item].*next) {
    // Names are borrowed from the file, held as long as the registry.
    auto* subkey = new RegistryKey(nameOf(item), &key, true);
    subkey->FillLater(filler, item + 1);
    key.AddSubkey(subkey);
  }
}

/// How a form reads a file into an empty registry, whose keys it fills
/// and which it must outlive: the file, or null with where and why it was
/// refused in `*fault`.
using RegistryFileReader = std::unique_ptr<RegistryFile> (*)(FileBytes bytes,
                                                             Registry& registry,
                                                             LoadFault* fault);

/// True when `file` holds already the registry the run left: the run made
/// or deleted none of its keys, and each key whose values it changed holds
/// the values the file gives it. The one judge of whether a save has
/// anything to write.
bool FileHoldsRegistry(RegistryFile& file, const Registry& registry);

/// Where the trees below `a` and `b` differ (a path and what), or empty:
/// a file read back against the registry the run left. Keys both left
/// waiting are emptied again once compared.
std::string RegistryDifference(RegistryKey& a, RegistryKey& b);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGISTRY_FILE_H_
