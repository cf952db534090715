// The REGEDIT4 text form of the registry, as regedit of Windows 95/98/Me
// reads and exports it: a reader and a writer over the registry model. A
// file is read as spans of its own text, one a key line: the key line, its
// value lines and the blank and comment lines after them.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_

#include <functional>
#include <string>
#include <string_view>

#include "platform/hosted/forms/regedit4_codec.h"
#include "platform/hosted/forms/registry_file.h"

namespace brindle {

/// Applies a REGEDIT4 text to `registry` line by line: keys and values
/// added or merged, `[-key]` and `"name"=-` applied as read, each change
/// recorded as the run's when `asChanges` (a journal replayed), else
/// `registry.lineEnd` set to the text's. False at the first malformed line,
/// with `*fault` set; `registry` is then half-changed and to be dropped.
bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault, bool asChanges = false);

/// Reads a registry file into an empty `registry` as spans of its text, each
/// key built when first looked into; refuses what ReadRegedit4 refuses. A
/// file that deletes, or of 4 GiB or more, is applied by ReadRegedit4. The
/// file, which writes every byte of a key the run did not change as it
/// was, a changed key anew in its place, a deleted one not at all and keys
/// made at the end; or null.
RegistryFile* LoadRegedit4(FileBytes bytes, Registry& registry,
                           Regedit4Fault* fault);
/// LoadRegedit4 for a machine: a refusal on the line that failed.
RegistryFile* ReadRegedit4File(FileBytes bytes, Registry& registry,
                               LoadFault* fault);

/// Writes every key of `registry` as regedit exports it to `sink`, a piece
/// at a time, each after the last; false when `sink` refused one.
bool ExportRegedit4(const Registry& registry, const FileSink& sink);
/// The whole text ExportRegedit4 writes.
std::string Regedit4Text(const Registry& registry);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
