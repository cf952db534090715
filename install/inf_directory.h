// Making sure the INF directory exists before any driver file is copied.
#ifndef BRINDLE_INSTALL_INF_DIRECTORY_H_
#define BRINDLE_INSTALL_INF_DIRECTORY_H_

#include "platform/console.h"
#include "platform/platform.h"

namespace brindle {

/// Creates InfDirectory when nothing of that name exists and records it as
/// "OtherDevicePath"; 0 when the install may go on, 1 when it must stop.
int PrepareInfDirectory(Platform& platform, Console& console);

}  // namespace brindle

#endif  // BRINDLE_INSTALL_INF_DIRECTORY_H_
