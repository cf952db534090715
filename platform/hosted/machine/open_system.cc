// The simulated machine a run opens: BRINDLE_MACHINE, or a default one that
// is made fresh on first use.
#include "platform/hosted/machine/open_system.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace brindle {
namespace {

// Makes each missing directory of `path`; false with errno set on failure.
bool MakeDirectories(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string head = path.substr(0, at);
    if (::mkdir(head.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<MachinePlatform> OpenSystem(std::string* error) {
  // A reader of the output that goes away (| head) must not stop the run
  // halfway through the machine: the rest of the output is dropped instead.
  ::signal(SIGPIPE, SIG_IGN);
  const char* named = std::getenv("BRINDLE_MACHINE");
  std::string directory;
  if (named != nullptr && *named != '\0') {
    directory = named;  // never made: a mistyped name must not pass unseen
  } else {
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data != nullptr && *data == '/') {
      directory = data;
    } else if (home != nullptr && *home != '\0') {
      directory = std::string(home) + "/.local/share";
    } else {
      *error = "neither BRINDLE_MACHINE nor HOME is set";
      return nullptr;
    }
    directory += "/brindle";
    struct stat status;
    std::string machine = directory + "/machine";
    if (::stat(machine.c_str(), &status) != 0) {
      if (!MakeDirectories(directory)) {
        *error = directory + ": " + std::strerror(errno);
        return nullptr;
      }
      if (!Machine::CreateFresh(machine, error)) return nullptr;
    }
    directory = machine;
  }
  std::unique_ptr<Machine> machine = Machine::Open(directory, error);
  if (!machine) return nullptr;
  return std::make_unique<MachinePlatform>(std::move(machine));
}

}  // namespace brindle
