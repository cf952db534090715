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

/// The whole output of a run that prints the usage text.
extern const char UsageRunOutput[];

/// Arguments after the program name, and the mode they select on Windows:
/// the first argument as a whole word in any ASCII case; and what the
/// Linux build, whose command line is its own, makes of them.
struct CommandLineCase {
  std::vector<std::string> arguments;
  enum Selects { Usage, Install, Remove } selects;
  enum OnLinux {
    AsOnWindows,   ///< the same mode, on the machine the environment names
    Refused,       ///< status 64 and one line naming the argument
    NamesMachine,  ///< the second word names the machine
    DryRun,        ///< the same mode, a dry run
    Help,          ///< the usage text, then the Linux command line
    Version,       ///< "brindle 1.1"
  } onLinux = AsOnWindows;
  /// With Refused: the argument the line names.
  std::string refusing = "";
};
extern const std::vector<CommandLineCase> CommandLineCases;

}  // namespace brindle

#endif  // BRINDLE_TESTS_SUPPORT_PROGRAM_LINES_H_
