// The REGEDIT4 text form of the registry, as regedit of Windows 95/98/Me
// reads and exports it: a reader and a writer over the registry model. A
// file is read as spans of its own text, one a key line: the key line, its
// value lines and the blank and comment lines after them.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/hosted/forms/file_bytes.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// Where and why a REGEDIT4 text was refused.
struct Regedit4Fault {
  std::size_t line = 0;
  std::string what;
};

/// Applies a REGEDIT4 text to `registry` line by line: keys and values
/// added or merged, `[-key]` and `"name"=-` applied as read, and
/// `registry.lineEnd` set to the text's. False at the first malformed line,
/// with `*fault` set; `registry` is then half-changed and to be dropped.
bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault);

/// Reads a registry file into an empty `registry` as spans of its text, each
/// key built when first looked into; refuses what ReadRegedit4 refuses. A
/// file that deletes, or of 4 GiB or more, is applied by ReadRegedit4.
bool LoadRegedit4(FileBytes bytes, Registry& registry, Regedit4Fault* fault);

/// Receives the text a piece at a time; false stops it.
using Regedit4Sink = std::function<bool(std::string_view)>;

/// Writes the registry: one loaded from a file in its own order, every byte
/// of a key the run did not change as it was, a changed key anew in its
/// place, a deleted one left out, keys made at the end; any other as regedit
/// exports it. False when the sink refused.
bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink);

/// The file `registry` was loaded from as spans, or null: the kept text
/// WriteRegedit4 hands on lies in it, for the kernel to copy.
const FileBytes* Regedit4Source(const Registry& registry);

/// The whole text WriteRegedit4 writes.
std::string Regedit4Text(const Registry& registry);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
