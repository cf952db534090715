// The English texts Windows gives for its error codes.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_SYSTEM_TEXTS_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_SYSTEM_TEXTS_H_

#include "platform/platform.h"

namespace brindle {

/// Windows' text for `code` without its line end, or null when it has none.
const char* SystemText(ErrorCode code);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_SYSTEM_TEXTS_H_
