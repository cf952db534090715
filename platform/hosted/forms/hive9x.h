// The Windows 9x registry file (SYSTEM.DAT, USER.DAT; signature "CREG"): a
// reader and a writer over the registry model, and a run's changes written
// into the file as it stands, changing only the bytes they need.
//
// The file: a header, then the key navigation record (RGKN) holding one
// 28-byte hierarchy entry a key (parent, first subkey, next sibling, and
// where its name entry is), then data blocks (RGDB) holding one name entry a
// key (its name and its values). Numbers are little-endian.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_HIVE9X_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_HIVE9X_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/hosted/forms/file_bytes.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// Where and why a hive was refused, or could not take a change.
struct Hive9xFault {
  std::uint64_t offset = 0;
  std::string what;
};

/// Checks every structure of the file, then reads it into an empty
/// `registry`, the hive's root as the root named `rootName`; a key is built
/// when first looked into. False, with `*fault`, at the first failed check.
bool LoadHive9x(FileBytes bytes, std::string_view rootName, Registry& registry,
                Hive9xFault* fault);

/// The file `registry` was loaded from with the changes made to it since
/// (keys deleted, values set, added or removed) written in, and whether any
/// byte changed. False, with `*fault`, for a change the file cannot hold (a
/// key it lacks, a name or data of 64 KB or more).
bool UpdateHive9x(const Registry& registry, WritableBytes* image, bool* changed,
                  Hive9xFault* fault);

/// True when `image`, read as a hive, holds what `registry` (loaded by
/// LoadHive9x) holds now; else false, with where they differ in `*fault`.
bool CheckHive9x(const Registry& registry, std::string_view image,
                 Hive9xFault* fault);

/// A new file holding `root`'s values and everything below it. False, with
/// `*fault`, for a name or data of 64 KB or more.
bool WriteHive9x(const RegistryKey& root, std::string* image,
                 Hive9xFault* fault);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_HIVE9X_H_
