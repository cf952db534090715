// brindle on a simulated Windows 98 machine: the program's entry point on
// every system but Windows.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/program.h"
#include "platform/hosted/machine/open_system.h"
#include "platform/hosted/machine/stream_output.h"

int main(int argc, char** argv) {
  brindle::StreamOutput out(std::cout);
  brindle::Mode mode = brindle::SelectMode(argc, argv);
  if (mode == brindle::Mode::Usage) return brindle::RunUsage(out);
  // The system is opened before anything is printed: a run that cannot have
  // it says nothing on standard output.
  std::string error;
  std::unique_ptr<brindle::MachinePlatform> system =
      brindle::OpenSystem(&error);
  if (!system) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    return brindle::ExitMachineFault;
  }
  int status = brindle::RunMode(mode, *system, out);
  std::cout.flush();
  // A run whose changes could not be kept must not look like one that
  // finished: the next run folds the journal in.
  if (!system->Finish(&error)) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    status = brindle::ExitMachineFault;
  }
  // The run is over: the system takes back the registry's memory faster
  // than freeing it key by key.
  std::fflush(stderr);
  std::_Exit(status);
}
