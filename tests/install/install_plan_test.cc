#include "install/install_plan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

void MakeWindows(TestMachine& machine) {
  for (const char* path : {"windows/system/iosubsys",
                           "windows/system32/drivers", "windows/inf/other"}) {
    MakeHostDirectories(machine.OnDrive(path));
  }
}

std::vector<std::string> CopiedSources(const std::string& output) {
  std::vector<std::string> sources;
  const std::string head = "Copied file: ";
  for (std::size_t at = output.find(head); at != std::string::npos;
       at = output.find(head, at + 1)) {
    std::size_t start = at + head.size();
    sources.push_back(output.substr(start, output.find(' ', start) - start));
  }
  return sources;
}

TEST(RunInstallTest, AlternateStorageOnlyWhenNoStorageFileWasCopied) {
  struct Case {
    const char* name;
    std::vector<std::string> sources;
    std::vector<Fault> faults;
    std::vector<std::string> copied;
  };
  const std::vector<std::string> alternate = {"qfdx1.sys", "qfdx2.vxd",
                                              "qfdxtav.inf", "qfdxkelv.inf"};
  const Case cases[] = {
      {"one storage file",
       {"kelv2.inf", "qfdx1.sys", "qfdx2.vxd", "qfdxtav.inf", "qfdxkelv.inf"},
       {},
       {"kelv2.inf"}},
      {"no storage file", alternate, {}, alternate},
      {"every storage copy failed",
       {"kelvclas.sys", "kelv1.inf", "qfdx1.sys", "qfdx2.vxd", "qfdxtav.inf",
        "qfdxkelv.inf"},
       {{"CopyFileA", ERROR_ACCESS_DENIED, "kelvclas.sys,", 0},
        {"CopyFileA", ERROR_ACCESS_DENIED, "kelv1.inf,", 0}},
       alternate},
      {"port and HID before storage",
       {"kelvusb.inf", "tavcom.inf", "kelvclas.sys", "tavcom.sys"},
       {},
       {"tavcom.sys", "tavcom.inf", "kelvusb.inf", "kelvclas.sys"}},
      {"nothing to copy", {}, {}, {}},
  };
  for (const Case& c : cases) {
    TestMachine machine;
    MakeWindows(machine);
    TempDirectory drivers;
    for (const std::string& source : c.sources) {
      WriteHostFile(drivers.path() + "/" + source, source);
    }
    for (const Fault& fault : c.faults) machine.platform().Add(fault);
    InDirectory inDrivers(drivers.path());
    EXPECT_EQ(RunInstall(machine.platform(), machine.console()), 0) << c.name;
    EXPECT_EQ(CopiedSources(machine.output()), c.copied) << c.name << "\n"
                                                         << machine.output();
  }
}

TEST(CopyFilePairsTest, ReportsEveryFailureButAMissingSource) {
  const FilePair pairs[] = {
      {"tavcom.sys", "c:\\windows\\system\\tavcom.sys"},
      {"missing.sys", "c:\\windows\\system\\missing.sys"},
      {"tavmon.dll", "c:\\windows\\system\\tavmon.dll"},
      {"qfdx1.sys", "c:\\windows\\system32\\drivers\\qfdx1.sys"},
  };
  TestMachine machine;
  MakeHostDirectories(machine.OnDrive("windows/system"));
  TempDirectory drivers;
  for (const char* source : {"tavcom.sys", "tavmon.dll", "qfdx1.sys"}) {
    WriteHostFile(drivers.path() + "/" + source, source);
  }
  machine.platform().Add({"CopyFileA", 112, "tavmon.dll", 0});
  InDirectory inDrivers(drivers.path());
  EXPECT_EQ(CopyFilePairs(machine.platform(), machine.console(), pairs, 4), 1u);
  EXPECT_EQ(machine.output(),
            "Copied file: tavcom.sys to c:\\windows\\system\\tavcom.sys\n"
            "Can not copy file 'tavmon.dll'.\n"
            "There is not enough space on the disk.\n\n"
            "Can not copy file 'qfdx1.sys'.\n"
            "The system cannot find the path specified.\n\n");
  EXPECT_EQ(ReadHostFile(machine.OnDrive("windows/system/tavcom.sys")),
            "tavcom.sys");
}

TEST(RunInstallTest, AStoppedPreparationCopiesNothing) {
  TestMachine machine;
  MakeHostDirectories(machine.OnDrive("windows/system"));
  TempDirectory drivers;
  WriteHostFile(drivers.path() + "/tavcom.sys", "x");
  InDirectory inDrivers(drivers.path());
  EXPECT_EQ(RunInstall(machine.platform(), machine.console()), 1);
  EXPECT_TRUE(machine.platform().CallsTo("CopyFileA").empty());
}

}  // namespace
}  // namespace brindle
