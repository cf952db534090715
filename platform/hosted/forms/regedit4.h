// The REGEDIT4 text form of the registry, as regedit of Windows 95/98/Me
// reads and exports it: a reader and a writer over the registry model. A
// file is read as spans of its own text, one a key line: the key line, its
// value lines and the blank and comment lines after them.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/hosted/forms/regedit4_codec.h"
#include "platform/hosted/forms/registry_file.h"

namespace brindle {

/// Reads a REGEDIT4 text into `registry` line by line: keys and values
/// added or merged, `[-key]` and `"name"=-` applied as read, none of it
/// recorded as a run's change; the text's line end in `*lineEnd`, if given.
/// False at the first malformed line, with `*fault` set; `registry` is then
/// half-changed and to be dropped.
bool ReadRegedit4(std::string_view text, Registry& registry, LoadFault* fault,
                  std::string* lineEnd = nullptr);
/// Applies a REGEDIT4 text (a journal) to `registry` as ReadRegedit4 reads
/// it, each change recorded as the run's.
bool ApplyRegedit4(std::string_view text, Registry& registry, LoadFault* fault);

/// Reads a registry file into an empty `registry` as spans of its text, each
/// key built when first looked into; refuses what ReadRegedit4 refuses. A
/// file that deletes, or of 4 GiB or more, is applied by ReadRegedit4. The
/// file, which writes every byte of a key the run did not change as it
/// was, a changed key anew in its place, a deleted one not at all and keys
/// made at the end; or null.
[[nodiscard]] std::unique_ptr<RegistryFile> LoadRegedit4(FileBytes bytes,
                                                         Registry& registry,
                                                         LoadFault* fault);

/// Writes every key of `registry` as regedit exports it to `sink`, a piece
/// at a time, each after the last, its lines ended by `lineEnd`: 0, or what
/// `sink` returned when it refused a piece.
int ExportRegedit4(const Registry& registry, const FileSink& sink,
                   std::string_view lineEnd = "\r\n");
/// The whole text ExportRegedit4 writes.
std::string Regedit4Text(const Registry& registry,
                         std::string_view lineEnd = "\r\n");

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
