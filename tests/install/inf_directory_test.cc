#include "install/inf_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

constexpr char kVersionKey[] =
    "REGEDIT4\n[HKEY_LOCAL_"
    "MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n"
    "\"OtherDevicePath\"=\"C:\\\\OLD;D:\\\\ELSEWHERE\"\n";
constexpr char kCreated[] = "Created directory: c:\\windows\\inf\\other\n";
constexpr char kNewValue[] =
    "\"OtherDevicePath\"=\"c:\\\\windows\\\\inf\\\\other\"";
constexpr char kOldValue[] =
    "\"OtherDevicePath\"=\"C:\\\\OLD;D:\\\\ELSEWHERE\"";

enum class Inf { Missing, Directory, PlainFile, NoParent };

struct PrepareCase {
  const char* name;
  Inf inf;
  const char* registry;
  std::vector<Fault> faults;
  std::string output;
  int result;
  bool directoryAfter;
  const char* valueAfter;
};

TEST(PrepareInfDirectoryTest, EveryOutcomeAndItsResult) {
  const std::string attributes =
      "Can not get attributes for directory 'c:\\windows\\inf\\other'\n";
  const std::string create =
      "Can not create directory 'c:\\windows\\inf\\other'\n";
  const PrepareCase cases[] = {
      {"present", Inf::Directory, kVersionKey, {}, "", 0, true, kOldValue},
      {"a plain file counts as present",
       Inf::PlainFile,
       kVersionKey,
       {},
       "",
       0,
       false,
       kOldValue},
      {"created and recorded",
       Inf::Missing,
       kVersionKey,
       {},
       kCreated,
       0,
       true,
       kNewValue},
      {"parent missing",
       Inf::NoParent,
       kVersionKey,
       {},
       attributes + "The system cannot find the path specified.\n\n",
       1,
       false,
       kOldValue},
      {"attributes refused",
       Inf::Missing,
       kVersionKey,
       {{"GetFileAttributesA", ERROR_ACCESS_DENIED, "", 0}},
       attributes + "Access is denied.\n\n",
       1,
       false,
       kOldValue},
      {"cannot create",
       Inf::Missing,
       kVersionKey,
       {{"CreateDirectoryA", 82, "", 0}},
       create + "The directory or file cannot be created.\n\n",
       1,
       false,
       kOldValue},
      {"version key missing: stop, the directory stays",
       Inf::Missing,
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows]\n",
       {},
       std::string(kCreated) +
           "Can not open the current version key.\nThe system cannot find the "
           "file specified.\n\n",
       1,
       true,
       nullptr},
      {"value cannot be set",
       Inf::Missing,
       kVersionKey,
       {{"RegSetValueExA", 1013, "", 0}},
       std::string(kCreated) +
           "Can not set the other path value.\nThe configuration registry key "
           "could not be written.\n\n",
       0,
       true,
       kOldValue},
      {"key cannot be closed",
       Inf::Missing,
       kVersionKey,
       {{"RegCloseKey", ERROR_INVALID_HANDLE, "", 0}},
       std::string(kCreated) +
           "Can not close the current version key.\nThe handle is invalid.\n\n",
       0,
       true,
       kNewValue},
  };
  for (const PrepareCase& c : cases) {
    TestMachine machine(c.registry);
    if (c.inf != Inf::NoParent)
      MakeHostDirectories(machine.OnDrive("windows/inf"));
    if (c.inf == Inf::Directory)
      MakeHostDirectories(machine.OnDrive("windows/inf/other"));
    if (c.inf == Inf::PlainFile)
      WriteHostFile(machine.OnDrive("windows/inf/other"), "");
    for (const Fault& fault : c.faults) machine.platform().Add(fault);

    EXPECT_EQ(PrepareInfDirectory(machine.platform(), machine.console()),
              c.result)
        << c.name;
    EXPECT_EQ(machine.output(), c.output) << c.name;
    struct stat status;
    bool directory =
        ::stat(machine.OnDrive("windows/inf/other").c_str(), &status) == 0 &&
        S_ISDIR(status.st_mode);
    EXPECT_EQ(directory, c.directoryAfter) << c.name;
    std::string registry = machine.RegistryText();
    if (c.valueAfter != nullptr) {
      EXPECT_NE(registry.find(c.valueAfter), std::string::npos)
          << c.name << registry;
    } else {
      EXPECT_EQ(registry.find("OtherDevicePath"), std::string::npos) << c.name;
    }
    EXPECT_EQ(machine.platform().openKeys(), 0) << c.name;
    if (c.inf == Inf::Directory || c.inf == Inf::PlainFile) {
      EXPECT_TRUE(machine.platform().CallsTo("RegOpenKeyExA").empty())
          << c.name;
    }
  }
}

TEST(PrepareInfDirectoryTest, TheValueIsTheOnePathWithItsNul) {
  TestMachine machine(kVersionKey);
  MakeHostDirectories(machine.OnDrive("windows/inf"));
  PrepareInfDirectory(machine.platform(), machine.console());
  std::vector<std::string> expected = {
      "RegSetValueExA(HKLM\\Software\\Microsoft\\Windows\\CurrentVersion, "
      "OtherDevicePath, 1, c:\\windows\\inf\\other, 21)"};
  EXPECT_EQ(machine.platform().CallsTo("RegSetValueExA"), expected);
}

}  // namespace
}  // namespace brindle
