// Writes a Windows 98-like simulated machine of a given size, for benchmarks
// and for the crash and concurrency tests:
//   brindle-genmachine --keys N [--match PERCENT] [--seed S] [--lf] [--hive]
//   [--base HIVE] DIR
// --base plants the keys in a copy of HIVE (a drive, as --hive makes).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/genmachine/machine_generator.h"

int main(int argc, char** argv) {
  brindle::MachineOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--keys" && i + 1 < argc) {
      options.keys = std::atol(argv[++i]);
    } else if (argument == "--match" && i + 1 < argc) {
      options.matchShare = std::atof(argv[++i]) / 100.0;
    } else if (argument == "--seed" && i + 1 < argc) {
      options.seed = static_cast<unsigned>(std::atol(argv[++i]));
    } else if (argument == "--lf") {
      options.lf = true;
    } else if (argument == "--hive") {
      options.hive = true;
    } else if (argument == "--base" && i + 1 < argc) {
      options.hive = true;
      options.base = argv[++i];
    } else if (!argument.empty() && argument[0] != '-' &&
               options.directory.empty()) {
      options.directory = argument;
    } else {
      options.directory.clear();
      break;
    }
  }
  if (options.directory.empty() || options.keys < 0) {
    std::fprintf(stderr,
                 "usage: brindle-genmachine --keys N [--match PERCENT] [--seed "
                 "S] [--lf] [--hive] [--base HIVE] DIR\n");
    return 2;
  }
  return brindle::GenerateMachine(options);
}
