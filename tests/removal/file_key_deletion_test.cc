#include "removal/file_key_deletion.h"

#include <gtest/gtest.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

constexpr char kAdvice[] =
    "Access denied.  Reboot the computer and run this program again.\n\n";

const FilePair kPairs[] = {
    {"tavcom.sys", "c:\\windows\\system\\tavcom.sys"},
    {"tavlpt.vxd", "c:\\windows\\system\\tavlpt.vxd"},
};

TEST(DeleteFilePairsTest, ReportsEachOutcomeAndGoesOn) {
  struct Case {
    const char* name;
    bool present;
    ErrorCode injected;  // for the first file; 0 for none
    std::string firstLines;
  };
  const std::string failure =
      "\nCan not delete file 'c:\\windows\\system\\tavcom.sys'.\n";
  const Case cases[] = {
      {"deleted", true, 0, "Deleted file: c:\\windows\\system\\tavcom.sys\n"},
      {"absent", false, 0, ""},
      {"not found is silent", true, ERROR_FILE_NOT_FOUND, ""},
      {"access denied gives the advice", true, ERROR_ACCESS_DENIED,
       failure + kAdvice},
      {"missing directory", true, ERROR_PATH_NOT_FOUND,
       failure + "The system cannot find the path specified.\n\n"},
      {"sharing violation", true, 32,
       failure +
           "The process cannot access the file because it is being used by "
           "another process.\n\n"},
      {"write protected", true, 19,
       failure + "The media is write protected.\n\n"},
  };
  for (const Case& c : cases) {
    TestMachine machine;
    if (c.present)
      WriteHostFile(machine.OnDrive("windows/system/tavcom.sys"), "x");
    WriteHostFile(machine.OnDrive("windows/system/tavlpt.vxd"), "y");
    if (c.injected != 0) {
      machine.platform().Add({"DeleteFileA", c.injected, "tavcom.sys", 0});
    }
    DeleteFilePairs(machine.platform(), machine.console(), kPairs, 2);
    EXPECT_EQ(machine.output(),
              c.firstLines + "Deleted file: c:\\windows\\system\\tavlpt.vxd\n")
        << c.name;
    EXPECT_EQ(machine.console().rebootAdvised(),
              c.injected == ERROR_ACCESS_DENIED)
        << c.name;
  }
}

TEST(DeleteFilePairsTest, FilesAbsentFromExistingDirectoriesPrintNothing) {
  TestMachine machine;
  MakeHostDirectories(machine.OnDrive("windows/system"));
  DeleteFilePairs(machine.platform(), machine.console(), kPairs, 2);
  EXPECT_EQ(machine.output(), "");
  EXPECT_FALSE(machine.console().failureReported());
}

TEST(DeleteFilePairsTest, ACountOfZeroMakesNoCall) {
  TestMachine machine;
  DeleteFilePairs(machine.platform(), machine.console(), kPairs, 0);
  DeleteKeyList(machine.platform(), machine.console(), nullptr, 0);
  EXPECT_TRUE(machine.platform().calls().empty());
}

TEST(DeleteKeyListTest, DeletesWholeKeysAndReportsEveryCodeButNotFound) {
  const char* const keys[] = {"Enum\\TAVPORT",
                              "System\\CurrentControlSet\\Services\\qfdx1"};
  struct Case {
    const char* name;
    ErrorCode injected;
    std::string firstLines;
  };
  const std::string failure = "\nCan not delete key 'Enum\\TAVPORT'.\n";
  const Case cases[] = {
      {"deleted with its subkeys", 0, "Deleted key : Enum\\TAVPORT\n"},
      {"absent is silent", ERROR_FILE_NOT_FOUND, ""},
      // A key refused is no file: the system text, not the reboot advice.
      {"access denied", ERROR_ACCESS_DENIED, failure + "Access is denied.\n\n"},
      {"key invalid", 1010,
       failure + "The configuration registry key is invalid.\n\n"},
      {"unknown code", 99999, failure + "System error 99999.\n\n"},
  };
  for (const Case& c : cases) {
    TestMachine machine(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\TAVPORT\\0000\\Sub]\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\Other]\n");
    if (c.injected != 0) {
      machine.platform().Add({"RegDeleteKeyA", c.injected, "TAVPORT", 0});
    }
    DeleteKeyList(machine.platform(), machine.console(), keys, 2);
    EXPECT_EQ(machine.output(), c.firstLines) << c.name;
    EXPECT_EQ(machine.HasKey("Enum\\TAVPORT"), c.injected != 0) << c.name;
    EXPECT_TRUE(machine.HasKey("Enum\\Other")) << c.name;
    EXPECT_FALSE(machine.console().rebootAdvised());
    EXPECT_EQ(machine.platform().CallsTo("RegDeleteKeyA").size(), 2u);
  }
}

}  // namespace
}  // namespace brindle
