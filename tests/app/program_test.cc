#include "app/program.h"

#include <gtest/gtest.h>

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

TEST(ProgramTest, UsageRunsPrintBannerUsageAndDoneWithoutAMachine) {
  for (const CommandLineCase& c : CommandLineCases) {
    if (c.selects != CommandLineCase::Usage) continue;
    // A machine that does not exist: the usage mode never opens one.
    ProgramRun run = RunProgram(c.arguments, "", "/nonexistent/machine");
    EXPECT_EQ(run.out, UsageRunOutput);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
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
