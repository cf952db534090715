// The command line of brindle as a Linux tool:
//
//   brindle [-n | --dry-run] install|remove [MACHINE]
//   brindle -h | --help
//   brindle -V | --version
//
// Options may stand before or after the words, and `--` ends them. The
// mode word keeps the Windows program's rules (any ASCII case; no word or
// another word prints the usage text); MACHINE names the machine, and wins
// over BRINDLE_MACHINE.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_COMMAND_LINE_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_COMMAND_LINE_H_

#include <string>

namespace brindle {

/// The status of a command line refused before any machine is opened, as
/// sysexits.h names a usage error.
constexpr int kExitUsage = 64;

/// What a command line asks for.
struct Request {
  enum Kind { kRun, kHelp, kVersion, kRefused } kind = kRun;
  bool dryRun = false;
  /// The mode word, or null when there is none.
  const char* mode = nullptr;
  /// The machine named on the command line, or empty.
  std::string machine;
  /// With kRefused: the line for standard error, without its line end.
  std::string refusal;
};

/// Reads the arguments after the program name.
Request ReadCommandLine(int argc, const char* const* argv);

/// What --help prints after the usage text.
extern const char kLinuxHelp[];

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_COMMAND_LINE_H_
