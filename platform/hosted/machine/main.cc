// brindle on a simulated Windows 98 machine: the program's entry point on
// every system but Windows. The machine is BRINDLE_MACHINE, or a default
// one made fresh on first use.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/program.h"
#include "platform/hosted/machine/machine.h"
#include "platform/hosted/machine/stream_output.h"

namespace brindle {
namespace {

// The machine of this run, or null with the reason in `*error`.
std::unique_ptr<Machine> OpenMachine(std::string* error) {
  const char* named = std::getenv("BRINDLE_MACHINE");
  if (named != nullptr && *named != '\0') {
    return Machine::Open(named, error);  // never made: a typo must show
  }
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::string directory;
  if (data != nullptr && *data == '/') {
    directory = data;
  } else if (home != nullptr && *home != '\0') {
    directory = std::string(home) + "/.local/share";
  } else {
    *error = "neither BRINDLE_MACHINE nor HOME is set";
    return nullptr;
  }
  directory += "/brindle";
  const std::string machine = directory + "/machine";
  struct stat status;
  if (::stat(machine.c_str(), &status) != 0) {
    std::error_code failed;
    std::filesystem::create_directories(directory, failed);
    if (failed) {
      *error = directory + ": " + failed.message();
      return nullptr;
    }
    bool made = false;
    if (!Machine::CreateFresh(machine, &made, error)) return nullptr;
    if (made)
      std::fprintf(stderr, "brindle: made a fresh machine at %s\n",
                   machine.c_str());
  }
  return Machine::Open(machine, error);
}

}  // namespace
}  // namespace brindle

int main(int argc, char** argv) {
  brindle::StreamOutput out(std::cout);
  brindle::Mode mode = brindle::SelectMode(argc, argv);
  if (mode == brindle::Mode::Usage) return brindle::RunUsage(out);
  // A reader of the output that goes away (| head) must not stop the run
  // halfway through the machine: the rest of the output is dropped instead.
  ::signal(SIGPIPE, SIG_IGN);
  // The machine is opened before anything is printed: a run that cannot
  // have it says nothing on standard output.
  std::string error;
  std::unique_ptr<brindle::Machine> machine = brindle::OpenMachine(&error);
  if (!machine) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    return brindle::ExitMachineFault;
  }
  brindle::MachinePlatform system(std::move(machine));
  int status = brindle::RunMode(mode, system, out);
  std::cout.flush();
  // A run whose changes could not be kept must not look like one that
  // finished: the next run folds the journal in.
  if (!system.Finish(&error)) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    status = brindle::ExitMachineFault;
  }
  // The run is over: the system takes back the registry's memory faster
  // than freeing it key by key.
  std::fflush(stderr);
  std::_Exit(status);
}
