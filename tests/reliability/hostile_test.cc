// Machines made to trip the program: what it cannot read is refused clearly
// (status 4, one line naming the file), what it can is handled with faithful
// codes, and nothing outside the machine is ever touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/program_lines.h"
#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"
#include "tools/genmachine/hive9x_writer.h"
#include "tools/genmachine/machine_generator.h"

namespace brindle {
namespace {

const char kRegistry[] =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\..]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\../../etc]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D/../../x]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D\x01\x1b[31mred]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D\xe9\xff]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\vid_0e7d\xc3\xa9]\n\n"
    "[HKEY_LOCAL_"
    "MACHINE\\System\\CurrentControlSet\\Services\\Class\\USB\\0000]\n"
    "\"ProviderName\"=\"ZEL\"\n\"DriverDesc\"=\"line\\\\one\\\"\x07\"\n\n";

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = work_.path() + "/machine";
    MakeHostDirectories(machine_ + "/drive_c/windows/system/iosubsys");
    MakeHostDirectories(machine_ + "/drive_c/windows/system32/drivers");
    MakeHostDirectories(machine_ + "/drive_c/windows/inf/other");
    WriteHostFile(machine_ + "/registry.reg", kRegistry);
  }
  ProgramRun Run(const char* mode = "remove") {
    return RunProgram({mode}, work_.path(), machine_);
  }

  TempDirectory work_;
  std::string machine_;
};

TEST_F(HostileTest, WhatCannotBeOpenedIsRefusedWithItsName) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> spoil;
    const char* says;
  };
  const Case cases[] = {
      {"registry is a directory",
       [](const std::string& m) {
         ::unlink((m + "/registry.reg").c_str());
         ::mkdir((m + "/registry.reg").c_str(), 0755);
       },
       "registry.reg: Is a directory"},
      {"no registry",
       [](const std::string& m) { ::unlink((m + "/registry.reg").c_str()); },
       "registry.reg: No such file"},
      {"no drive",
       [](const std::string& m) {
         RunCommand({"rm", "-rf", m + "/drive_c"}, "", {});
       },
       "drive_c"},
      {"drive is a file",
       [](const std::string& m) {
         RunCommand({"rm", "-rf", m + "/drive_c"}, "", {});
         WriteHostFile(m + "/drive_c", "");
       },
       "drive_c"},
      {"journal is a directory",
       [](const std::string& m) {
         ::mkdir((m + "/registry.log").c_str(), 0755);
       },
       "registry.log"},
      {"a key line cut short",
       [](const std::string& m) {
         WriteHostFile(m + "/registry.reg",
                       std::string(kRegistry) + "[HKEY_LOCAL_MACHINE\\Enum\n");
       },
       "registry.reg:19: malformed registry file: unterminated key line"},
      {"a binary file",
       [](const std::string& m) {
         WriteHostFile(m + "/registry.reg", std::string("\x7f"
                                                        "ELF\x02\x01",
                                                        6));
       },
       "registry.reg:1: malformed registry file: no REGEDIT4 header"},
      {"a Unicode export",
       [](const std::string& m) {
         WriteHostFile(m + "/registry.reg",
                       std::string("\xff\xfeW\0i\0n\0", 8));
       },
       "registry.reg:1: malformed"},
  };
  for (const Case& c : cases) {
    SetUp();
    c.spoil(machine_);
    std::string before = ReadHostFile(machine_ + "/registry.reg");
    ProgramRun run = Run();
    EXPECT_EQ(run.status, 4) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
    EXPECT_NE(run.err.find(c.says), std::string::npos)
        << c.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name;
    EXPECT_EQ(ReadHostFile(machine_ + "/registry.reg"), before) << c.name;
    EXPECT_FALSE(HostPathExists(machine_ + "/registry.bak")) << c.name;
    RunCommand({"rm", "-rf", machine_}, "", {});
  }
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// A drive whose SYSTEM.DAT is cut short, loops or lies is refused before
// anything changes, naming the file, the offset and what is wrong.
TEST_F(HostileTest, AHiveThatFailsItsChecksIsRefusedWithTheOffset) {
  MachineOptions options;
  options.keys = 200;
  options.matchShare = 1.0;
  Registry registry;
  GenerateRegistry(options, registry);
  std::string hive;
  std::string why;
  ASSERT_TRUE(WriteHive9x(*registry.Find("HKEY_LOCAL_MACHINE"), &hive, &why));
  // Where the file's first links and counts are (its header, its key
  // navigation record from offset 32, its first data block).
  const std::size_t root = 32 + Get32(hive, 32 + 8);
  const std::size_t firstKey = 32 + Get32(hive, root + 16);
  const std::size_t firstName = Get32(hive, 8) + 32;
  struct Case {
    const char* name;
    std::function<void(std::string&)> spoil;
    const char* says;
  };
  const Case cases[] = {
      {"empty", [](std::string& h) { h.clear(); },
       "System.dat: at 0x0: malformed registry file: not a Windows 9x"},
      {"a header and nothing more",
       [](std::string& h) { h = "CREG" + std::string(60, '\0'); },
       "System.dat: at 0x6: malformed registry file: format version"},
      {"cut short", [](std::string& h) { h.resize(h.size() / 2); },
       "does not fit the file"},
      {"a subkey linked back to the root",
       [&](std::string& h) {
         h.replace(firstKey + 16, 4, h.substr(32 + 8, 4));  // its first subkey
       },
       "reaches a key twice: a loop"},
      {"a value count that lies",
       [&](std::string& h) { h.replace(firstName + 14, 2, "\xff\x7f"); },
       "value past the end of its key's entry"},
  };
  for (const Case& c : cases) {
    TempDirectory drive;
    std::string spoiled = hive;
    c.spoil(spoiled);
    WriteHostFile(drive.path() + "/Windows/System.dat", spoiled);
    ProgramRun run = RunProgram({"remove"}, work_.path(), drive.path());
    EXPECT_EQ(run.status, 4) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
    EXPECT_NE(run.err.find(c.says), std::string::npos)
        << c.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name;
    EXPECT_TRUE(ReadHostFile(drive.path() + "/Windows/System.dat") == spoiled)
        << c.name;
    EXPECT_EQ(ListDrive(drive.path()).find("SYSTEM.BR"), std::string::npos);
  }
  // A directory that is neither machine says what it looked for.
  TempDirectory nothing;
  ProgramRun run = RunProgram({"remove"}, work_.path(), nothing.path());
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(
      run.err.find("neither drive_c and registry.reg nor WINDOWS\\SYSTEM.DAT"),
      std::string::npos)
      << run.err;
}

TEST_F(HostileTest, OddNamesAreSweptByTheRuleAndPrintedHarmlessly) {
  ProgramRun run = Run();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ForeignLines(run.out), std::vector<std::string>()) << run.out;
  EXPECT_NE(run.out.find("Deleted key : USB enum for VID_0E7D/../../x\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("Deleted key : USB enum for VID_0E7D??[31mred\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("Deleted key : USB driver for line\\one\"?\n"),
            std::string::npos);
  std::string registry = ReadHostFile(machine_ + "/registry.reg");
  // What no rule names stays, byte for byte.
  for (const char* kept :
       {"[HKEY_LOCAL_MACHINE\\Enum\\USB\\..]",
        "[HKEY_LOCAL_MACHINE\\Enum\\USB\\../../etc]",
        "[HKEY_LOCAL_MACHINE\\Enum\\USB\\vid_0e7d\xc3\xa9]"}) {
    EXPECT_NE(registry.find(kept), std::string::npos) << kept;
  }
  EXPECT_EQ(registry.find("VID_0E7D"), std::string::npos);
  EXPECT_TRUE(HostPathExists(machine_ + "/drive_c/windows/inf/other"));
}

TEST_F(HostileTest, LinksOutOfTheMachineAreNeverFollowed) {
  TempDirectory outside;
  WriteHostFile(outside.path() + "/tavcom.sys", "not the machine's");
  MakeHostDirectories(outside.path() + "/other");
  RunCommand({"rm", "-rf", machine_ + "/drive_c/windows/system"}, "", {});
  ASSERT_EQ(::symlink(outside.path().c_str(),
                      (machine_ + "/drive_c/windows/system").c_str()),
            0);
  ProgramRun remove = Run("remove");
  EXPECT_EQ(remove.status, 3) << remove.out;
  EXPECT_NE(
      remove.out.find("Can not delete file 'c:\\windows\\system\\tavcom.sys'.\n"
                      "Access denied."),
      std::string::npos);
  WriteHostFile(work_.path() + "/tavcom.sys", "new");
  WriteHostFile(work_.path() + "/kelvusb.inf", "new");
  ProgramRun install = Run("install");
  EXPECT_EQ(install.status, 2) << install.out;
  EXPECT_NE(
      install.out.find("Can not copy file 'tavcom.sys'.\nAccess is denied.\n"),
      std::string::npos);
  EXPECT_NE(install.out.find("Copied file: kelvusb.inf"), std::string::npos);
  EXPECT_EQ(ReadHostFile(outside.path() + "/tavcom.sys"), "not the machine's");

  // An INF directory that leads out: the install stops before copying.
  RunCommand({"rm", "-rf", machine_ + "/drive_c/windows/inf/other"}, "", {});
  ASSERT_EQ(::symlink((outside.path() + "/other").c_str(),
                      (machine_ + "/drive_c/windows/inf/other").c_str()),
            0);
  ProgramRun stopped = Run("install");
  EXPECT_EQ(stopped.status, 1) << stopped.out;
  EXPECT_NE(
      stopped.out.find(
          "Can not get attributes for directory 'c:\\windows\\inf\\other'\n"
          "Access is denied.\n"),
      std::string::npos);
  EXPECT_FALSE(HostPathExists(outside.path() + "/other/kelvusb.inf"));
}

// A machine on a read-only file system: each change is refused with the code
// Windows gives for write-protected media, and the run goes on.
TEST_F(HostileTest, ChangesThatCannotBeSavedEndTheRunWithStatusFour) {
  // The new file cannot be made: the run says so and ends with status 4,
  // and its journal keeps what it did for the next run.
  ::mkdir((machine_ + "/registry.reg.new").c_str(), 0755);
  ProgramRun run = Run();
  EXPECT_EQ(run.status, 4) << run.out;
  EXPECT_NE(run.out.find("Deleted key : USB enum for VID_0E7D"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("registry.reg.new"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(ReadHostFile(machine_ + "/registry.reg"), kRegistry);
  ::rmdir((machine_ + "/registry.reg.new").c_str());
  ProgramRun next = Run();
  EXPECT_EQ(next.status, 0) << next.out << next.err;
  EXPECT_EQ(ReadHostFile(machine_ + "/registry.reg").find("VID_0E7D"),
            std::string::npos);
  EXPECT_FALSE(HostPathExists(machine_ + "/registry.log"));
}

// On a drive, a new hive or a backup that cannot be written leaves the hive
// as it was, says so, ends with status 4, and the next run finishes the job.
TEST_F(HostileTest, ADriveWhoseHiveCannotBeReplacedKeepsIt) {
  for (const char* blocked : {"SYSTEM.BRN", "SYSTEM.BRB"}) {
    TempDirectory drive;
    MachineOptions options;
    options.keys = 300;
    options.matchShare = 1.0;
    options.hive = true;
    options.directory = drive.path();
    ASSERT_EQ(GenerateMachine(options), 0);
    const std::string hive = drive.path() + "/windows/SYSTEM.DAT";
    const std::string before = ReadHostFile(hive);
    const std::string path = drive.path() + "/windows/" + blocked;
    ::mkdir(path.c_str(), 0755);
    ProgramRun run = RunProgram({"remove"}, work_.path(), drive.path());
    EXPECT_EQ(run.status, 4) << blocked << run.out;
    EXPECT_NE(run.out.find("Deleted key"), std::string::npos) << blocked;
    EXPECT_NE(run.err.find(blocked), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(ReadHostFile(hive) == before) << blocked;
    EXPECT_TRUE(HostPathExists(drive.path() + "/windows/SYSTEM.BRJ"));
    ::rmdir(path.c_str());
    ProgramRun next = RunProgram({"remove"}, work_.path(), drive.path());
    EXPECT_EQ(next.status, 0) << blocked << next.out << next.err;
    EXPECT_TRUE(ReadHostFile(drive.path() + "/windows/SYSTEM.BRB") == before);
    EXPECT_FALSE(HostPathExists(drive.path() + "/windows/SYSTEM.BRJ"));
    EXPECT_FALSE(ReadHostFile(hive) == before) << blocked;
  }
}

TEST_F(HostileTest, AReadOnlyMachineRefusesEveryChangeFaithfully) {
  WriteHostFile(machine_ + "/drive_c/windows/system/tavcom.sys", "installed");
  WriteHostFile(machine_ + "/registry.reg",
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\TAVPORT]\n");
  // A private mount namespace: a tmpfs holding a copy of the machine, made
  // read-only.
  std::string script =
      "set -e; d=$(mktemp -d); mount -t tmpfs -o size=8m none \"$d\" || exit "
      "99; "
      "cp -a '" +
      machine_ +
      "' \"$d/m\"; mount -o remount,ro \"$d\" || exit 99; "
      "cd '" +
      work_.path() +
      "'; set +e; BRINDLE_MACHINE=\"$d/m\" '" BRINDLE_BINARY
      "' --dry-run remove; echo \"dry=$?\"; BRINDLE_MACHINE=\"$d/m\" "
      "'" BRINDLE_BINARY "' remove; echo \"status=$?\"; ls \"$d/m\"";
  ProgramRun run = RunCommand({"unshare", "-m", "sh", "-c", script}, "", {});
  if (run.status == 99 || run.status == 127 || run.out.empty()) {
    GTEST_SKIP() << "no private read-only mount here: " << run.err;
  }
  // A dry run works on it, and shows what a run would do on a machine it
  // may write.
  EXPECT_NE(run.out.find("\nDeleted file: c:\\windows\\system\\tavcom.sys\n"
                         "Deleted key : Enum\\TAVPORT\nDone\ndry=0\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(
      run.out.find("Can not delete file 'c:\\windows\\system\\tavcom.sys'.\n"
                   "The media is write protected.\n"),
      std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Can not delete key 'Enum\\TAVPORT'.\n"
                         "The media is write protected.\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Done\nstatus=2\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("registry.log"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace brindle
