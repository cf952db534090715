// Deleting what the tables name outright: installed files and fixed keys.
#ifndef BRINDLE_REMOVAL_FILE_KEY_DELETION_H_
#define BRINDLE_REMOVAL_FILE_KEY_DELETION_H_

#include <cstddef>

#include "catalogue/catalogue.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace brindle {

/// Deletes the installed path of each pair, reporting each deletion and each
/// failure but an absent file.
void DeleteFilePairs(Platform& platform, Console& console,
                     const FilePair* pairs, std::size_t count);

/// Deletes each key below HKEY_LOCAL_MACHINE with its subkeys, reporting each
/// deletion and each failure but an absent key.
void DeleteKeyList(Platform& platform, Console& console,
                   const char* const* keys, std::size_t count);

}  // namespace brindle

#endif  // BRINDLE_REMOVAL_FILE_KEY_DELETION_H_
