#include "app/program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/hosted/machine/stream_output.h"
#include "tests/support/program_lines.h"
#include "tests/support/test_machine.h"

namespace brindle {
namespace {

constexpr char kBanner[] = "\nBrindle Pre-Install Program Version 1.1\n\n";

TEST(SelectModeTest, FirstArgumentWholeWordAnyAsciiCase) {
  for (const CommandLineCase& c : CommandLineCases) {
    std::vector<const char*> argv = {"brindle"};
    for (const std::string& argument : c.arguments) {
      argv.push_back(argument.c_str());
    }
    const Mode expected[] = {Mode::Usage, Mode::Install, Mode::Remove};
    EXPECT_EQ(SelectMode(static_cast<int>(argv.size()), argv.data()),
              expected[c.selects])
        << (argv.size() > 1 ? argv[1] : "(none)");
  }
}

// Every command line on the Linux build, on a machine that does not exist:
// only the runs that need one find out; the usage text, --help and
// --version never open one, and a refused command line is refused before.
TEST(ProgramTest, EachCommandLineOnLinuxTouchesAMachineOnlyToRun) {
  const std::string missing = "/nonexistent/machine";
  const std::string usage =
      std::string(UsageRunOutput).substr(0, std::strlen(UsageRunOutput) - 5);
  for (const CommandLineCase& c : CommandLineCases) {
    ProgramRun run = RunProgram(c.arguments, "", missing);
    std::string label;
    for (const std::string& argument : c.arguments) label += argument + " ";
    switch (c.onLinux) {
      case CommandLineCase::Help:
        EXPECT_EQ(run.out.compare(0, usage.size(), usage), 0) << label;
        EXPECT_NE(run.out.find("brindle [-n | --dry-run] install|remove "
                               "[MACHINE]\n"),
                  std::string::npos)
            << label << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - 16), "See brindle(1).\n");
        EXPECT_EQ(run.err, "") << label;
        EXPECT_EQ(run.status, 0) << label;
        break;
      case CommandLineCase::Version:
        EXPECT_EQ(run.out, "brindle 1.1\n") << label;
        EXPECT_EQ(run.status, 0) << label;
        break;
      case CommandLineCase::Refused:
        EXPECT_EQ(run.out, "") << label;
        EXPECT_EQ(run.err.rfind("brindle: " + c.refusing + ": ", 0), 0u)
            << label << run.err;
        EXPECT_NE(run.err.find("brindle --help"), std::string::npos) << label;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << label;
        EXPECT_EQ(run.status, 64) << label;
        break;
      case CommandLineCase::NamesMachine:
        EXPECT_EQ(run.out, "") << label;
        EXPECT_EQ(run.err.rfind("brindle: " + c.arguments[1] + ": ", 0), 0u)
            << label << run.err;
        EXPECT_EQ(run.status, 4) << label;
        break;
      case CommandLineCase::AsOnWindows:
      case CommandLineCase::DryRun:
        if (c.onLinux == CommandLineCase::AsOnWindows &&
            c.selects == CommandLineCase::Usage) {
          EXPECT_EQ(run.out, UsageRunOutput) << label;
          EXPECT_EQ(run.err, "") << label;
          EXPECT_EQ(run.status, 0) << label;
        } else {
          EXPECT_EQ(run.out, "") << label;
          EXPECT_EQ(run.err.rfind("brindle: " + missing + ": ", 0), 0u)
              << label << run.err;
          EXPECT_EQ(run.status, 4) << label;
        }
        break;
    }
  }
}

TEST(ProgramTest, MachineThatCannotBeOpenedPrintsNothingAndExitsFour) {
  for (const char* mode : {"install", "REMOVE"}) {
    ProgramRun run = RunProgram({mode}, "", "/nonexistent/machine");
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("/nonexistent/machine"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.status, 4);
  }
}

TEST(ProgramTest, ExitStatusFollowsWhatTheRunReported) {
  struct StatusCase {
    const char* name;
    Mode mode;
    Fault fault;
    int status;
    bool closingLine;
  };
  const StatusCase cases[] = {
      {"clean remove", Mode::Remove, {"none", 0, "", 0}, ExitDone, true},
      {"failed key delete",
       Mode::Remove,
       {"RegDeleteKeyA", 1010, "TAVPORT", 0},
       ExitFailures,
       true},
      {"refused file",
       Mode::Remove,
       {"DeleteFileA", ERROR_ACCESS_DENIED, "tavmon.dll", 0},
       ExitRebootNeeded,
       true},
      {"failed copy",
       Mode::Install,
       {"CopyFileA", 112, "tavmon.dll", 0},
       ExitFailures,
       true},
      {"stopped install",
       Mode::Install,
       {"GetFileAttributesA", ERROR_PATH_NOT_FOUND, "", 0},
       ExitInstallStopped,
       false},
  };
  for (const StatusCase& c : cases) {
    TestMachine machine;
    MakeHostDirectories(machine.OnDrive("windows/system/iosubsys"));
    MakeHostDirectories(machine.OnDrive("windows/system32/drivers"));
    MakeHostDirectories(machine.OnDrive("windows/inf/other"));
    machine.platform().Add(c.fault);
    std::ostringstream out;
    StreamOutput output(out);
    int status = RunMode(c.mode, machine.platform(), output);
    EXPECT_EQ(status, c.status) << c.name;
    const std::string text = out.str();
    EXPECT_EQ(text.compare(0, sizeof(kBanner) - 1, kBanner), 0) << c.name;
    bool done =
        text.size() >= 5 && text.compare(text.size() - 5, 5, "Done\n") == 0;
    EXPECT_EQ(done, c.closingLine) << c.name << "\n" << text;
  }
}

}  // namespace
}  // namespace brindle
