// Finding driver remnants in the device database by what they are, and
// deleting them while walking the same key.
#ifndef BRINDLE_REMOVAL_REGISTRY_SWEEPS_H_
#define BRINDLE_REMOVAL_REGISTRY_SWEEPS_H_

#include "platform/console.h"
#include "platform/platform.h"

namespace brindle {

/// Deletes the subkeys of "Enum\<enumerator>" whose names begin with the
/// first PrefixLength characters of `prefix`, case counting.
void SweepEnumKeys(Platform& platform, Console& console, const char* enumerator,
                   const char* prefix);

/// Deletes the instances of the class key `className` whose "ProviderName"
/// is exactly `provider`.
void SweepClassInstances(Platform& platform, Console& console,
                         const char* className, const char* provider);

}  // namespace brindle

#endif  // BRINDLE_REMOVAL_REGISTRY_SWEEPS_H_
