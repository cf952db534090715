#include "app/program.h"

#include <gtest/gtest.h>

#include "platform/hosted/stream_output.h"
#include "tests/support/test_machine.h"

namespace brindle {
namespace {

constexpr char kBanner[] = "\nBrindle Pre-Install Program Version 1.1\n\n";
constexpr char kUsageRun[] =
    "\nBrindle Pre-Install Program Version 1.1\n\n"
    "To install the port replicator, type:\n"
    "\n"
    "      brindle install\n"
    "\n"
    "To uninstall the port replicator, type:\n"
    "\n"
    "      brindle remove\n"
    "\n"
    "Done\n";

struct ModeCase {
  std::vector<const char*> argv;
  Mode mode;
};

TEST(SelectModeTest, FirstArgumentWholeWordAnyAsciiCase) {
  const ModeCase cases[] = {
      {{"brindle"}, Mode::Usage},
      {{"brindle", "install"}, Mode::Install},
      {{"brindle", "INSTALL"}, Mode::Install},
      {{"brindle", "InStAlL"}, Mode::Install},
      {{"brindle", "remove"}, Mode::Remove},
      {{"brindle", "REMOVE", "install"}, Mode::Remove},
      {{"brindle", "help", "remove"}, Mode::Usage},
      {{"brindle", "installx"}, Mode::Usage},
      {{"brindle", "instal"}, Mode::Usage},
      {{"brindle", "remov"}, Mode::Usage},
      {{"brindle", ""}, Mode::Usage},
      {{"brindle", " remove"}, Mode::Usage},
      // Only ASCII letters fold: a Latin-1 capital is no match for anything.
      {{"brindle", "r\xC9move"}, Mode::Usage},
  };
  for (const ModeCase& c : cases) {
    EXPECT_EQ(SelectMode(static_cast<int>(c.argv.size()), c.argv.data()),
              c.mode)
        << (c.argv.size() > 1 ? c.argv[1] : "(none)");
  }
}

TEST(ProgramTest, UsageRunsPrintBannerUsageAndDoneWithoutAMachine) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"help"}, {"installx"}, {""}, {"remov"}, {"-?", "install"}};
  for (const auto& arguments : cases) {
    // A machine that does not exist: the usage mode never opens one.
    ProgramRun run = RunProgram(arguments, "", "/nonexistent/machine");
    EXPECT_EQ(run.out, kUsageRun);
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
