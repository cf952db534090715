// New Windows 9x registry files, laid out as Windows lays a new one: for the
// generator, the tests and the fuzzers. The program itself never writes a
// hive anew; it changes the one it found (platform/hosted/forms/hive9x.h).
#ifndef BRINDLE_TOOLS_GENMACHINE_HIVE9X_WRITER_H_
#define BRINDLE_TOOLS_GENMACHINE_HIVE9X_WRITER_H_

#include <string>

#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/registry/registry.h"

namespace brindle {

/// A new file holding `root`'s values and everything below it. False, with
/// `*why`, for a name or data of 64 KB or more.
bool WriteHive9x(const RegistryKey& root, std::string* image, std::string* why);

/// What `file.Write` makes of the registry, whole, in memory; empty, with
/// `*error`, when the form cannot hold it. Any form's, for the tests and the
/// fuzzers.
std::string NewFileBytes(RegistryFile& file, const Registry& registry,
                         std::string* error = nullptr);

/// Windows finds a name among siblings by this sum first: the bytes of the
/// name in capitals, those under 0x80 only.
std::uint32_t HiveNameHash(std::string_view name);

}  // namespace brindle

#endif  // BRINDLE_TOOLS_GENMACHINE_HIVE9X_WRITER_H_
