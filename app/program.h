// The run itself: banner, mode, closing line and exit status.
#ifndef BRINDLE_APP_PROGRAM_H_
#define BRINDLE_APP_PROGRAM_H_

#include "platform/output.h"
#include "platform/platform.h"

namespace brindle {

enum class Mode { Usage, Install, Remove };

/// Exit statuses a script can act on.
enum ExitStatus : int {
  ExitDone = 0,            ///< finished, nothing failed
  ExitInstallStopped = 1,  ///< the INF directory could not be prepared
  ExitFailures = 2,        ///< finished, at least one failure reported
  ExitRebootNeeded = 3,    ///< finished, a file was refused: reboot, run again
  ExitMachineFault = 4,    ///< the simulated machine could not be opened,
                           ///< or what the run changed could not be saved
};

/// The mode the first argument after the program name selects.
Mode SelectMode(int argc, const char* const* argv);

/// Runs `mode` from banner to closing line on `platform`, printing to `out`;
/// returns the exit status. The usage mode makes no platform call.
int RunMode(Mode mode, Platform& platform, Output& out);

/// Prints the banner, the usage text and the closing line.
int RunUsage(Output& out);

}  // namespace brindle

#endif  // BRINDLE_APP_PROGRAM_H_
