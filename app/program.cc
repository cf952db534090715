#include "app/program.h"

#include "install/install_plan.h"
#include "platform/console.h"
#include "removal/remove_plan.h"

namespace brindle {
namespace {

constexpr char kBanner[] = "\nBrindle Pre-Install Program Version 1.1\n\n";
constexpr char kUsage[] =
    "To install the port replicator, type:\n"
    "\n"
    "      brindle install\n"
    "\n"
    "To uninstall the port replicator, type:\n"
    "\n"
    "      brindle remove\n"
    "\n";
constexpr char kClosingLine[] = "Done\n";

// Whole-word comparison ignoring ASCII letter case only, whatever the locale.
bool EqualsIgnoringAsciiCase(const char* text, const char* word) {
  for (;; ++text, ++word) {
    char a = *text;
    char b = *word;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
    if (a == '\0') return true;
  }
}

}  // namespace

Mode SelectMode(int argc, const char* const* argv) {
  if (argc < 2 || argv[1] == nullptr) return Mode::Usage;
  if (EqualsIgnoringAsciiCase(argv[1], "install")) return Mode::Install;
  if (EqualsIgnoringAsciiCase(argv[1], "remove")) return Mode::Remove;
  return Mode::Usage;
}

int RunUsage(Output& out) {
  out.Write(kBanner, sizeof kBanner - 1);
  out.Write(kUsage, sizeof kUsage - 1);
  out.Write(kClosingLine, sizeof kClosingLine - 1);
  return ExitDone;
}

int RunMode(Mode mode, Platform& platform, Output& out) {
  if (mode == Mode::Usage) return RunUsage(out);
  Console console(platform, out);
  console.Print(kBanner);
  if (mode == Mode::Install) {
    // A stopped install is told apart by its missing closing line.
    if (RunInstall(platform, console) != 0) return ExitInstallStopped;
  } else {
    RunRemove(platform, console);
  }
  console.Print(kClosingLine);
  if (console.rebootAdvised()) return ExitRebootNeeded;
  if (console.failureReported()) return ExitFailures;
  return ExitDone;
}

}  // namespace brindle
