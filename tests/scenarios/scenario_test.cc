// End-to-end runs of the built program on machines described in
// tests/scenarios/<name>/:
//   registry.reg         the registry before the run
//   drive.txt            drive C: before: "d <path>" and "f <path> <content>"
//   sources.txt          the driver files in the current directory, a name a
//   line steps.txt            the command lines run one after another
//   transcript.txt       what each run printed and its exit status
//   expected.reg         the registry after the last run
//   expected-drive.txt   drive C: after the last run
//   stderr.txt           what the runs say on standard error, if anything
// BRINDLE_UPDATE_SCENARIOS=1 rewrites the expected files from the runs.
#include "tests/support/scenario.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "tests/support/test_machine.h"
#include "tools/genmachine/hive9x_writer.h"
#include "tools/genmachine/machine_generator.h"

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
  std::string errors;
  for (const std::vector<std::string>& step : scenario.Steps()) {
    // The Windows program reads the mode word alone, where the Linux
    // build takes a second word for the machine: it is given the first.
    const std::vector<std::string> mode(step.begin(),
                                        step.begin() + (step.empty() ? 0 : 1));
    // A dry run first: it prints what the run then prints, ends as the run
    // ends, and leaves the machine as it was, to the file times.
    std::vector<std::string> dry = {"--dry-run"};
    dry.insert(dry.end(), mode.begin(), mode.end());
    const std::string before = TreeState(machine.path());
    ProgramRun dryRun = RunProgram(dry, sources.path(), machine.path());
    EXPECT_EQ(TreeState(machine.path()), before);
    ProgramRun run = RunProgram(mode, sources.path(), machine.path());
    EXPECT_EQ(dryRun.out, run.out);
    EXPECT_EQ(dryRun.status, run.status);
    EXPECT_EQ(dryRun.err,
              run.err + "brindle: a dry run: nothing was changed\n");
    transcript += Scenario::TranscriptEntry(step, run.out, run.status);
    errors += run.err;
  }
  // What the Linux build alone says, on standard error ($SOURCES the
  // current directory), if anything.
  std::string expectedErrors = scenario.Read("stderr.txt");
  const std::size_t at = expectedErrors.find("$SOURCES");
  if (at != std::string::npos) expectedErrors.replace(at, 8, sources.path());
  EXPECT_EQ(errors, expectedErrors);
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

const std::string kDrivers =
    std::string(BRINDLE_SOURCE_DIR) + "/examples/drivers";
const std::string kRealHive =
    std::string(BRINDLE_SOURCE_DIR) + "/tests/data/SYSTEM.DAT";

// A Windows 9x hive as REGEDIT4 text in export form, read by libcreg, a
// reader independent of the program; status 77 without libcreg.
ProgramRun ExportHive(const std::string& hive, const std::string& text) {
  return RunCommand(
      {"/usr/bin/python3",
       std::string(BRINDLE_SOURCE_DIR) + "/tests/tools/hive_to_regedit4.py",
       hive, text},
      "", {});
}

// Skips a test that needs libcreg where it is missing, unless every test
// must run.
#define EXPORT_OR_SKIP(hive, text)                               \
  do {                                                           \
    ProgramRun export_ = ExportHive(hive, text);                 \
    if (export_.status == 77) {                                  \
      if (std::getenv("BRINDLE_REQUIRE_ALL") != nullptr) {       \
        FAIL() << "no libcreg (python3-libcreg)";                \
      }                                                          \
      GTEST_SKIP() << "no libcreg (python3-libcreg)";            \
    }                                                            \
    ASSERT_EQ(export_.status, 0) << hive << ": " << export_.err; \
  } while (false)

// Checks that a hive is left as Windows would leave it: nothing allocated
// that no key reaches (tests/tools/hive_allocation.py, which reads the
// file's bytes itself).
const std::string kAllocation =
    std::string(BRINDLE_SOURCE_DIR) + "/tests/tools/hive_allocation.py";

// A Windows 9x drive and the simulated machine, given the same registry,
// run alike: the same output and status, and the hive left, read by
// libcreg, holds exactly the registry the simulated machine left, and
// nothing in it is allocated that no key reaches.
TEST(HiveDriveTest, RunsLeaveWhatTheSimulatedMachineLeaves) {
  struct Case {
    long keys;
    double match;
    unsigned seed;
  };
  const Case cases[] = {
      {300, 1.0, 7}, {2000, 0.1, 1}, {5000, 0.5, 2}, {20000, 0.2, 3}};
  long keysCompared = 0;
  for (const Case& c : cases) {
    TempDirectory work;
    MachineOptions options;
    options.keys = c.keys;
    options.matchShare = c.match;
    options.seed = c.seed;
    options.directory = work.path() + "/simulated";
    ASSERT_EQ(GenerateMachine(options), 0);
    options.hive = true;
    options.directory = work.path() + "/drive";
    ASSERT_EQ(GenerateMachine(options), 0);
    const std::string hive = options.directory + "/windows/SYSTEM.DAT";
    const std::string text = work.path() + "/hive.reg";
    const std::string simulated = work.path() + "/simulated/registry.reg";
    EXPORT_OR_SKIP(hive, text);
    ASSERT_EQ(ReadHostFile(text), ReadHostFile(simulated)) << c.keys;
    for (const char* mode : {"remove", "install", "remove"}) {
      ProgramRun onDrive = RunProgram({mode}, kDrivers, options.directory);
      ProgramRun onSimulated =
          RunProgram({mode}, kDrivers, work.path() + "/simulated");
      EXPECT_EQ(onDrive.out, onSimulated.out) << mode << " " << c.keys;
      EXPECT_EQ(onDrive.status, onSimulated.status) << mode << " " << c.keys;
      EXPECT_EQ(onDrive.err, "") << mode << " " << c.keys;
      EXPORT_OR_SKIP(hive, text);
      const std::string left = ReadHostFile(simulated);
      EXPECT_TRUE(ReadHostFile(text) == left) << mode << " " << c.keys;
      ProgramRun allocation =
          RunCommand({"/usr/bin/python3", kAllocation, hive}, "", {});
      EXPECT_EQ(allocation.status, 0)
          << mode << " " << c.keys << ": " << allocation.out << allocation.err;
      EXPECT_EQ(ListDrive(options.directory, "windows\\SYSTEM."),
                ListDrive(work.path() + "/simulated/drive_c"))
          << mode << " " << c.keys;
      keysCompared += std::count(left.begin(), left.end(), '[');
    }
    // A finished run leaves the hive and the one before it, nothing else.
    EXPECT_TRUE(HostPathExists(options.directory + "/windows/SYSTEM.BRB"));
    EXPECT_FALSE(HostPathExists(options.directory + "/windows/SYSTEM.BRJ"));
    EXPECT_FALSE(HostPathExists(options.directory + "/windows/SYSTEM.BRN"));
  }
  std::cout << "[ COMPARED ] " << std::size(cases) << " registries, 3 runs "
            << "each, " << keysCompared << " keys compared\n";
}

// A real hive, written by Windows Me, on a drive: remove deletes no key and
// writes nothing; install changes the bytes of the one value it sets, every
// other key and value as libcreg reads them unchanged, the hive as it was
// kept beside it; a second install changes nothing. Generated hives where
// the value is missing or shorter get it added or grown.
TEST(HiveDriveTest, InstallSetsOtherDevicePathAndNothingElse) {
  const std::string now =
      "\"OtherDevicePath\"=\"c:\\\\windows\\\\inf\\\\other\"\r\n";
  struct Case {
    const char* name;
    std::function<void(RegistryKey&)> change;  // of CurrentVersion; none: real
    std::string was;  // the value's line before, or the line it comes after
    bool added;
  };
  const Case cases[] = {
      {"real", nullptr,
       "\"OtherDevicePath\"=\"C:\\\\WINDOWS\\\\INF\\\\OTHER\"\r\n", false},
      {"shorter",
       [](RegistryKey& key) {
         key.SetValue("OtherDevicePath", 1, std::string("C:\\X\0", 5));
       },
       "\"OtherDevicePath\"=\"C:\\\\X\"\r\n", false},
      {"missing", [](RegistryKey& key) { key.RemoveValue("OtherDevicePath"); },
       "\"DevicePath\"=\"C:\\\\WINDOWS\\\\INF\"\r\n", true},
  };
  for (const Case& c : cases) {
    TempDirectory drive;
    const std::string hive = drive.path() + "/WINDOWS/SYSTEM.DAT";
    MakeHostDirectories(drive.path() + "/WINDOWS/SYSTEM/IOSUBSYS");
    MakeHostDirectories(drive.path() + "/WINDOWS/INF");
    if (c.change == nullptr) {
      if (!HostPathExists(kRealHive)) GTEST_SKIP() << "no " << kRealHive;
      WriteHostFile(hive, ReadHostFile(kRealHive));
    } else {
      MachineOptions options;
      options.keys = 3000;
      Registry registry;
      GenerateRegistry(options, registry);
      c.change(*registry.Find(
          "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion"));
      std::string image;
      std::string why;
      ASSERT_TRUE(
          WriteHive9x(*registry.Find("HKEY_LOCAL_MACHINE"), &image, &why));
      WriteHostFile(hive, image);
    }
    const std::string original = ReadHostFile(hive);
    const std::string text = drive.path() + "/hive.reg";
    EXPORT_OR_SKIP(hive, text);
    const std::string before = ReadHostFile(text);

    if (c.change == nullptr) {
      // Nothing of the replicator's in it: nothing deleted, nothing written.
      ProgramRun remove = RunProgram({"remove"}, kDrivers, drive.path());
      EXPECT_EQ(remove.out.find("Deleted key"), std::string::npos)
          << remove.out;
      EXPECT_TRUE(ReadHostFile(hive) == original);
      EXPECT_FALSE(HostPathExists(drive.path() + "/WINDOWS/SYSTEM.BRB"));
    }

    ProgramRun install = RunProgram({"install"}, kDrivers, drive.path());
    EXPECT_EQ(install.status, 0) << c.name << install.out << install.err;
    ProgramRun allocation =
        RunCommand({"/usr/bin/python3", kAllocation, hive}, "", {});
    EXPECT_EQ(allocation.status, 0) << c.name << ": " << allocation.out;
    EXPORT_OR_SKIP(hive, text);
    std::string expected = before;
    std::size_t at = expected.find(c.was);
    ASSERT_NE(at, std::string::npos) << c.name;
    expected.replace(c.added ? at + c.was.size() : at,
                     c.added ? 0 : c.was.size(), now);
    EXPECT_TRUE(ReadHostFile(text) == expected) << c.name;
    EXPECT_TRUE(ReadHostFile(drive.path() + "/WINDOWS/SYSTEM.BRB") == original);
    const std::string after = ReadHostFile(hive);
    if (c.change == nullptr) {
      // The new text is as long as the old: only the letters whose case
      // differs change.
      ASSERT_EQ(after.size(), original.size());
      long changed = 0;
      for (std::size_t i = 0; i < after.size(); ++i)
        changed += after[i] != original[i];
      EXPECT_EQ(changed, 16);
    }
    RunProgram({"install"}, kDrivers, drive.path());
    EXPECT_TRUE(ReadHostFile(hive) == after) << c.name;
  }
}

// A real registry, written by Windows Me and exported as its regedit
// exports: remove finds nothing of the replicator's and writes nothing;
// install changes the one value it sets and leaves every other byte; a
// second install changes nothing.
TEST(RealExportTest, RunsChangeOnlyWhatTheyMeanTo) {
  const std::string hive = kRealHive;
  if (!HostPathExists(hive)) GTEST_SKIP() << "no " << hive;
  TempDirectory machine;
  MakeHostDirectories(machine.path() + "/drive_c/windows/system/iosubsys");
  MakeHostDirectories(machine.path() + "/drive_c/windows/inf");
  const std::string file = machine.path() + "/registry.reg";
  EXPORT_OR_SKIP(hive, file);
  const std::string before = ReadHostFile(file);
  const std::string& drivers = kDrivers;

  ProgramRun remove = RunProgram({"remove"}, drivers, machine.path());
  EXPECT_EQ(remove.err, "");
  EXPECT_EQ(remove.out.find("Deleted key"), std::string::npos) << remove.out;
  EXPECT_TRUE(ReadHostFile(file) == before);

  ProgramRun install = RunProgram({"install"}, drivers, machine.path());
  EXPECT_EQ(install.status, 0) << install.out;
  const std::string after = ReadHostFile(file);
  const std::string was =
      "\"OtherDevicePath\"=\"C:\\\\WINDOWS\\\\INF\\\\OTHER\"";
  const std::string now =
      "\"OtherDevicePath\"=\"c:\\\\windows\\\\inf\\\\other\"";
  std::size_t at = before.find(was);
  ASSERT_NE(at, std::string::npos);
  EXPECT_TRUE(after == std::string(before).replace(at, was.size(), now));

  RunProgram({"install"}, drivers, machine.path());
  EXPECT_TRUE(ReadHostFile(file) == after);

  // The same registry with a comment: the comment stays where it was, as
  // every byte of every key the run did not change.
  TempDirectory commented;
  MakeHostDirectories(commented.path() + "/drive_c/windows/inf");
  WriteHostFile(commented.path() + "/registry.reg",
                std::string(before).insert(10, "; by hand\r\n"));
  RunProgram({"install"}, drivers, commented.path());
  EXPECT_TRUE(ReadHostFile(commented.path() + "/registry.reg") ==
              std::string(after).insert(10, "; by hand\r\n"));
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
