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
/// and what no run changed is written back as the file had it.
bool LoadRegedit4(FileBytes bytes, Registry& registry, Regedit4Fault* fault);

/// Receives the export a piece at a time; false stops it.
using Regedit4Sink = std::function<bool(std::string_view)>;

/// Exports the whole registry as regedit does; false when the sink refused.
bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink);

/// The whole export as one text.
std::string Regedit4Text(const Registry& registry);

/// Appends "[path]" or "[-path]" and the line end.
void AppendKeyLine(std::string& out, std::string_view path, bool deletion,
                   std::string_view lineEnd);
/// Appends a value's line(s) in export form.
void AppendValueLines(std::string& out, const RegistryValue& value,
                      std::string_view lineEnd);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_REGEDIT4_H_
