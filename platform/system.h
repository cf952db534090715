// Opening the system a run changes: the real one on Windows, a simulated
// Windows 98 machine elsewhere. Only the build knows which.
#ifndef BRINDLE_PLATFORM_SYSTEM_H_
#define BRINDLE_PLATFORM_SYSTEM_H_

#include <memory>
#include <string>

#include "platform/platform.h"

namespace brindle {

/// The platform for one run, or null with the reason in `*error`. Whatever
/// the run changed is kept when the platform is destroyed.
std::unique_ptr<Platform> OpenSystem(std::string* error);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_SYSTEM_H_
