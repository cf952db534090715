// End-to-end runs of the built program on machines described in
// tests/scenarios/<name>/:
//   registry.reg         the registry before the run
//   drive.txt            drive C: before: "d <path>" and "f <path> <content>"
//   sources.txt          the driver files in the current directory, a name a
//   line steps.txt            the command lines run one after another
//   transcript.txt       what each run printed and its exit status
//   expected.reg         the registry after the last run
//   expected-drive.txt   drive C: after the last run
// BRINDLE_UPDATE_SCENARIOS=1 rewrites the expected files from the runs.
#include "tests/support/scenario.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

class ScenarioTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ScenarioTest, TranscriptRegistryAndDriveAsExpected) {
  Scenario scenario(std::string(BRINDLE_SOURCE_DIR) + "/tests/scenarios/" +
                    GetParam());
  TempDirectory machine;
  TempDirectory sources;
  scenario.Lay(machine.path(), sources.path());
  std::string transcript;
  for (const std::vector<std::string>& step : scenario.Steps()) {
    ProgramRun run = RunProgram(step, sources.path(), machine.path());
    EXPECT_EQ(run.err, "");
    transcript += Scenario::TranscriptEntry(step, run.out, run.status);
  }
  std::string registry = ReadHostFile(machine.path() + "/registry.reg");
  std::string drive = ListDrive(machine.path() + "/drive_c");
  if (std::getenv("BRINDLE_UPDATE_SCENARIOS") != nullptr) {
    scenario.Update(transcript, registry, drive);
    return;
  }
  EXPECT_EQ(transcript, scenario.Read("transcript.txt"));
  EXPECT_EQ(registry, scenario.Read("expected.reg"));
  EXPECT_EQ(drive, scenario.Read("expected-drive.txt"));
  EXPECT_FALSE(HostPathExists(machine.path() + "/registry.log"));
}

// A real registry, written by Windows Me and exported as its regedit
// exports: remove finds nothing of the replicator's and writes nothing;
// install changes the one value it sets and leaves every other byte; a
// second install changes nothing.
TEST(RealExportTest, RunsChangeOnlyWhatTheyMeanTo) {
  const std::string hive =
      std::string(BRINDLE_SOURCE_DIR) + "/../shared/hives/SYSTEM.DAT";
  if (!HostPathExists(hive)) GTEST_SKIP() << "no " << hive;
  TempDirectory machine;
  MakeHostDirectories(machine.path() + "/drive_c/windows/system/iosubsys");
  MakeHostDirectories(machine.path() + "/drive_c/windows/inf");
  const std::string file = machine.path() + "/registry.reg";
  ProgramRun export_ = RunCommand(
      {"/usr/bin/python3",
       std::string(BRINDLE_SOURCE_DIR) + "/tests/tools/hive_to_regedit4.py",
       hive, file},
      "", {});
  if (export_.status == 77) {
    if (std::getenv("BRINDLE_REQUIRE_ALL") != nullptr) {
      FAIL() << "no libcreg (python3-libcreg)";
    }
    GTEST_SKIP() << "no libcreg (python3-libcreg)";
  }
  ASSERT_EQ(export_.status, 0) << export_.err;
  const std::string before = ReadHostFile(file);
  const std::string drivers =
      std::string(BRINDLE_SOURCE_DIR) + "/examples/drivers";

  ProgramRun remove = RunProgram({"remove"}, drivers, machine.path());
  EXPECT_EQ(remove.err, "");
  EXPECT_EQ(remove.out.find("Deleted key"), std::string::npos) << remove.out;
  EXPECT_EQ(ReadHostFile(file), before);

  ProgramRun install = RunProgram({"install"}, drivers, machine.path());
  EXPECT_EQ(install.status, 0) << install.out;
  const std::string after = ReadHostFile(file);
  const std::string was = "\"OtherDevicePath\"=\"C:\\\\WINDOWS\\\\INF\\\\OTHER\"";
  const std::string now = "\"OtherDevicePath\"=\"c:\\\\windows\\\\inf\\\\other\"";
  std::size_t at = before.find(was);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(after, std::string(before).replace(at, was.size(), now));

  RunProgram({"install"}, drivers, machine.path());
  EXPECT_EQ(ReadHostFile(file), after);

  // The same registry with a comment is read line by line and written whole
  // from its keys: every value of every type comes out as it went in.
  TempDirectory commented;
  MakeHostDirectories(commented.path() + "/drive_c/windows/inf");
  WriteHostFile(commented.path() + "/registry.reg",
                std::string(before).insert(10, "; by hand\r\n"));
  RunProgram({"install"}, drivers, commented.path());
  EXPECT_EQ(ReadHostFile(commented.path() + "/registry.reg"), after);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest,
                         ::testing::ValuesIn(ScenarioNames(false)),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace brindle
