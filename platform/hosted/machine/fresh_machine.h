// What a fresh simulated machine's registry holds.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_FRESH_MACHINE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_FRESH_MACHINE_H_

#include <string_view>

namespace brindle {

/// A Windows 98-like registry in REGEDIT4 form: the keys a run reads, with a
/// few devices and class instances of other makers for a remove to pass by.
std::string_view FreshRegistryText();

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_FRESH_MACHINE_H_
