// The command line as the Microsoft C runtime hands it to main: Windows
// gives a program one string, and the runtime splits it into arguments.
#ifndef BRINDLE_PLATFORM_WIN32_COMMAND_LINE_H_
#define BRINDLE_PLATFORM_WIN32_COMMAND_LINE_H_

#include <cstddef>

namespace brindle {

/// Splits `line` as msvcrt.dll does: arguments part at spaces and tabs, a
/// double quote groups, 2n backslashes before one give n and the quote acts,
/// 2n+1 give n and a literal quote, "" inside quotes is a literal quote; the
/// program name ends at its closing quote or first blank, with no escapes.
/// The arguments are copied into `storage` and pointed to from `arguments`;
/// one that does not fit whole ends the list. Returns how many there are.
int SplitCommandLine(const char* line, char* storage, std::size_t storageSize,
                     const char** arguments, int capacity);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_WIN32_COMMAND_LINE_H_
