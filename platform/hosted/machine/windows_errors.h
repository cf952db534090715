// Windows' error codes as the simulated machine gives them: the English text
// Windows has for each, and the code a failure of the host stands for.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_WINDOWS_ERRORS_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_WINDOWS_ERRORS_H_

#include "platform/platform.h"

namespace brindle {

/// Windows' text for `code` without its line end, or null when it has none.
const char* SystemText(ErrorCode code);

/// The Windows code for a host errno, `notFound` standing for ENOENT.
ErrorCode ErrorFromErrno(int error, ErrorCode notFound = ERROR_FILE_NOT_FOUND);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_WINDOWS_ERRORS_H_
