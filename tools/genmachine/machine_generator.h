// Windows 98-like simulated machines of a given size.
#ifndef BRINDLE_TOOLS_GENMACHINE_MACHINE_GENERATOR_H_
#define BRINDLE_TOOLS_GENMACHINE_MACHINE_GENERATOR_H_

#include <string>

#include "platform/hosted/registry/registry.h"

namespace brindle {

struct MachineOptions {
  long keys = 10000;  ///< about how many keys the registry holds
  double matchShare =
      0.1;  ///< the share of devices and instances that are ours
  unsigned seed = 1998;
  bool lf = false;        ///< LF line ends instead of CRLF
  bool hive = false;      ///< a Windows 9x drive: windows\SYSTEM.DAT
  std::string base;       ///< with `hive`: a hive the keys are planted in
  std::string directory;  ///< where GenerateMachine writes
};

/// Fills `registry` with device keys under Enum, class instances of many
/// providers (a share of both the port replicator's), the drivers' fixed
/// keys and the CurrentVersion key.
void GenerateRegistry(const MachineOptions& options, Registry& registry);

/// Writes a whole machine, registry.reg and drive_c with every installed
/// file (or, with `hive`, a drive holding windows\SYSTEM.DAT and those
/// files), into options.directory; 0 or 1 on failure.
int GenerateMachine(const MachineOptions& options);

}  // namespace brindle

#endif  // BRINDLE_TOOLS_GENMACHINE_MACHINE_GENERATOR_H_
