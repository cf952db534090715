// The REGEDIT4 text form of the registry, as regedit of Windows 95/98/Me
// reads and exports it: a reader and a writer over the registry model.
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

/// Reads a registry file into an empty `registry`, as ReadRegedit4 would,
/// with the same refusals; its keys are built only when first looked into,
/// and WriteRegedit4 writes it back as the file stands but for what changed.
bool LoadRegedit4(FileBytes bytes, Registry& registry, Regedit4Fault* fault);

/// Receives the text a piece at a time; false stops it.
using Regedit4Sink = std::function<bool(std::string_view)>;

/// Writes the registry: a registry loaded from a file as that file stands,
/// changed only where the run changed it (every byte of a key the run did
/// not change as it was, a changed key's lines anew in their place, the
/// keys the run made at the end); any other as regedit exports it. False
/// when the sink refused.
bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink);

/// The whole text WriteRegedit4 writes.
std::string Regedit4Text(const Registry& registry);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
