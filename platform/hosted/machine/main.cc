// brindle on a simulated Windows 98 machine, a Windows 9x drive or a disk
// image: the program's entry point on every system but Windows. The
// machine is the one the command line names, else BRINDLE_MACHINE, else a
// default one made fresh on first use.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "app/program.h"
#include "platform/hosted/machine/command_line.h"
#include "platform/hosted/machine/machine.h"
#include "platform/hosted/machine/stream_output.h"

namespace brindle {
namespace {

// The default machine's directory, or empty with the reason in `*error`.
std::string DefaultMachine(std::string* error) {
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (data != nullptr && *data == '/') return std::string(data) + "/brindle";
  if (home != nullptr && *home != '\0')
    return std::string(home) + "/.local/share/brindle";
  *error = "neither BRINDLE_MACHINE nor HOME is set";
  return "";
}

// The machine of this run, or null with the reason in `*error`. A machine
// that is named is never made: a typo must show. The default one is made
// on first use, except by a dry run, which makes nothing.
std::unique_ptr<Machine> OpenMachine(const Request& request,
                                     std::string* error) {
  const char* named = std::getenv("BRINDLE_MACHINE");
  if (!request.machine.empty())
    return Machine::Open(request.machine, error, request.dryRun);
  if (named != nullptr && *named != '\0')
    return Machine::Open(named, error, request.dryRun);
  const std::string directory = DefaultMachine(error);
  if (directory.empty()) return nullptr;
  const std::string machine = directory + "/machine";
  struct stat status;
  if (::stat(machine.c_str(), &status) != 0) {
    if (request.dryRun) {
      *error = machine +
               ": no default machine yet; a run that is not a dry "
               "run makes it";
      return nullptr;
    }
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
  return Machine::Open(machine, error, request.dryRun);
}

// The usage text as a run prints it, less its closing line, then the
// Linux command line.
int PrintHelp() {
  std::ostringstream usage;
  StreamOutput out(usage);
  RunUsage(out);
  std::string text = usage.str();
  text.erase(text.rfind("Done\n"));
  std::cout << text << kLinuxHelp;
  return ExitDone;
}

// What a Linux user needs to know that the Windows program's own lines do
// not tell: each one line on standard error.
void AdviseAfterRun(Mode mode, int status, Machine& machine) {
  const Drive& drive = machine.drive();
  if (drive.copiesAsked() != 0 && drive.sourcesFound() == 0) {
    char* here = ::getcwd(nullptr, 0);
    std::fprintf(stderr,
                 "brindle: no driver file was found in %s: run brindle "
                 "install from the directory that holds them\n",
                 here != nullptr ? here : ".");
    std::free(here);
  }
  if (mode == Mode::Remove && status == ExitRebootNeeded && machine.isDrive()) {
    std::string files;
    for (const std::string& path : drive.refusedDeletes())
      files += (files.empty() ? "" : ", ") + path;
    std::fprintf(stderr,
                 "brindle: not deleted: %s; rebooting will not help a drive "
                 "that is not running: clear the read-only attribute "
                 "(mattrib -r on an image, attrib -r in Windows), or delete "
                 "the file where Windows runs from the drive; then run "
                 "brindle remove again\n",
                 files.c_str());
  }
}

// Runs `mode` on the machine the request names, and ends the process with
// the run's status.
[[noreturn]] void RunOnMachine(Mode mode, const Request& request, Output& out) {
  // A reader of the output that goes away (| head) must not stop the run
  // halfway through the machine: the run goes on to its end, its status
  // what the run did, and says on standard error that the rest of its
  // output was lost.
  ::signal(SIGPIPE, SIG_IGN);
  // The machine is opened before anything is printed: a run that cannot
  // have it says nothing on standard output.
  std::string error;
  std::unique_ptr<Machine> machine = OpenMachine(request, &error);
  if (!machine) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    std::exit(ExitMachineFault);
  }
  HostedPlatform system(machine->registry(), machine->drive(), machine.get());
  int status = RunMode(mode, system, out);
  std::cout.flush();
  if (!std::cout) {
    std::fputs(
        "brindle: standard output went away before the run ended; the run "
        "went on to its end, and what it printed since is lost\n",
        stderr);
  }
  AdviseAfterRun(mode, status, *machine);
  // A run whose changes could not be kept must not look like one that
  // finished: the next run folds the journal in.
  if (!machine->Finish(&error)) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    status = ExitMachineFault;
  }
  if (request.dryRun)
    std::fputs("brindle: a dry run: nothing was changed\n", stderr);
  // The run is over: the system takes back the registry's memory faster
  // than freeing it key by key.
  std::fflush(stderr);
  std::_Exit(status);
}

}  // namespace
}  // namespace brindle

int main(int argc, char** argv) {
  const brindle::Request request = brindle::ReadCommandLine(argc, argv);
  switch (request.kind) {
    case brindle::Request::kRefused:
      std::fprintf(stderr, "%s\n", request.refusal.c_str());
      return brindle::kExitUsage;
    case brindle::Request::kVersion:
      std::cout << "brindle 1.1\n";
      return brindle::ExitDone;
    case brindle::Request::kHelp:
      return brindle::PrintHelp();
    case brindle::Request::kRun:
      break;
  }
  brindle::StreamOutput out(std::cout);
  const char* const words[] = {argv[0], request.mode};
  const brindle::Mode mode =
      brindle::SelectMode(request.mode != nullptr ? 2 : 1, words);
  if (mode == brindle::Mode::Usage) return brindle::RunUsage(out);
  brindle::RunOnMachine(mode, request, out);
}
