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

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest,
                         ::testing::ValuesIn(ScenarioNames(false)),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace brindle
