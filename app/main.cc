// brindle: prepares a Windows 95/98 machine for the USB port replicator, or
// takes the replicator's drivers off it again.
#include <cstdio>
#include <iostream>
#include <string>

#include "app/program.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  brindle::Mode mode = brindle::SelectMode(argc, argv);
  if (mode == brindle::Mode::Usage) return brindle::RunUsage(std::cout);
  // The system is opened before anything is printed: a run that cannot have
  // it says nothing on standard output.
  std::string error;
  std::unique_ptr<brindle::Platform> system = brindle::OpenSystem(&error);
  if (!system) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    return brindle::ExitNoMachine;
  }
  return brindle::RunMode(mode, *system, std::cout);
}
