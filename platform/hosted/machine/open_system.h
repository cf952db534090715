// Opening the simulated Windows 98 machine a run changes.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_OPEN_SYSTEM_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_OPEN_SYSTEM_H_

#include <memory>
#include <string>

#include "platform/hosted/machine/machine.h"

namespace brindle {

/// The platform for one run, or null with the reason in `*error`; what the
/// run changed is kept by its Finish.
std::unique_ptr<MachinePlatform> OpenSystem(std::string* error);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_OPEN_SYSTEM_H_
