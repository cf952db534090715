// The forms every line the program prints takes.
#ifndef BRINDLE_TESTS_SUPPORT_PROGRAM_LINES_H_
#define BRINDLE_TESTS_SUPPORT_PROGRAM_LINES_H_

#include <string>
#include <vector>

namespace brindle {

/// True when `line` (without its line end) is one the program prints.
bool IsProgramLine(const std::string& line);

/// The lines of `output` that are not among the program's own forms.
std::vector<std::string> ForeignLines(const std::string& output);

}  // namespace brindle

#endif  // BRINDLE_TESTS_SUPPORT_PROGRAM_LINES_H_
