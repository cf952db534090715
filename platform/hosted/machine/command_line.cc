#include "platform/hosted/machine/command_line.h"

#include <cstring>

namespace brindle {
namespace {

// True when `argument` is one of the options, which it then sets in
// `*request`.
bool ReadOption(const char* argument, Request* request) {
  if (std::strcmp(argument, "-n") == 0 ||
      std::strcmp(argument, "--dry-run") == 0) {
    request->dryRun = true;
  } else if (std::strcmp(argument, "-h") == 0 ||
             std::strcmp(argument, "--help") == 0) {
    request->kind = Request::kHelp;
  } else if (std::strcmp(argument, "-V") == 0 ||
             std::strcmp(argument, "--version") == 0) {
    request->kind = Request::kVersion;
  } else {
    return false;
  }
  return true;
}

Request Refused(const std::string& why) {
  Request refused;
  refused.kind = Request::kRefused;
  refused.refusal =
      "brindle: " + why + " (brindle --help shows the command line)";
  return refused;
}

}  // namespace

Request ReadCommandLine(int argc, const char* const* argv) {
  Request request;
  bool options = true;
  int words = 0;
  for (int at = 1; at < argc; ++at) {
    const char* argument = argv[at];
    if (options && std::strcmp(argument, "--") == 0) {
      options = false;
      continue;
    }
    if (options && argument[0] == '-') {
      if (!ReadOption(argument, &request))
        return Refused(std::string(argument) + ": no such option");
      continue;
    }
    ++words;
    if (words == 1) {
      request.mode = argument;
    } else if (words == 2) {
      request.machine = argument;
    } else {
      return Refused(std::string(argument) +
                     ": one word too many: a mode and a machine at most");
    }
  }
  return request;
}

const char kLinuxHelp[] =
    "On Linux:\n"
    "\n"
    "      brindle [-n | --dry-run] install|remove [MACHINE]\n"
    "      brindle -h | --help\n"
    "      brindle -V | --version\n"
    "\n"
    "MACHINE is the machine to work on: a Windows 9x drive (a directory\n"
    "holding WINDOWS\\SYSTEM.DAT), a virtual machine's disk image (.img .ima\n"
    ".raw .hdd .dsk .vhd .vhdx .vdi .vmdk .qcow2, or a whole-disk block\n"
    "device), or a simulated machine (a directory holding drive_c and\n"
    "registry.reg). Without it, BRINDLE_MACHINE names the machine; without\n"
    "either, the default simulated machine is used, made on first use.\n"
    "\n"
    "  -n, --dry-run   print what the run would print, and change nothing\n"
    "  -h, --help      print this text\n"
    "  -V, --version   print the version\n"
    "  --              end the options, for a MACHINE that begins with -\n"
    "\n"
    "Environment:\n"
    "  BRINDLE_MACHINE   the machine, where the command line names none\n"
    "  XDG_DATA_HOME     where the default machine is kept\n"
    "                    (brindle/machine; else ~/.local/share)\n"
    "  XDG_CACHE_HOME    where a KVM that does not start the appliance is\n"
    "                    remembered (brindle/kvm-silent; else ~/.cache)\n"
    "  TMPDIR            where a disk image is mounted for the run\n"
    "  LIBGUESTFS_BACKEND_SETTINGS=force_tcg\n"
    "                    start a disk image's appliance without KVM\n"
    "  LIBGUESTFS_DEBUG=1, LIBGUESTFS_TRACE=1\n"
    "                    show what libguestfs, qemu and the appliance do\n"
    "\n"
    "Exit status: 0 done; 1 install stopped; 2 a failure was reported; 3 a\n"
    "file could not be deleted; 4 the machine could not be opened, or what\n"
    "the run changed could not be saved; 64 the command line was refused.\n"
    "\n"
    "See brindle(1).\n";

}  // namespace brindle
