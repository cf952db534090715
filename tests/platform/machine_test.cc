#include "platform/hosted/machine/machine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/hosted/machine/appliance_start.h"
#include "tests/support/test_machine.h"
#include "tools/genmachine/hive9x_writer.h"

namespace brindle {
namespace {

const char kRegistry[] =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\Enum\\TAVPORT]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\TAVPORT\\0000]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0001]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0002]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software]\r\n\"v\"=\"1\"\r\n\r\n";

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeHostDirectories(directory_.path() + "/drive_c");
    WriteHostFile(File("registry.reg"), kRegistry);
  }
  std::string File(const char* name) const {
    return directory_.path() + "/" + name;
  }
  std::unique_ptr<Machine> Open() {
    std::string error;
    std::unique_ptr<Machine> machine = Machine::Open(directory_.path(), &error);
    EXPECT_TRUE(machine) << error;
    return machine;
  }
  std::string OpenFails() {
    std::string error;
    EXPECT_FALSE(Machine::Open(directory_.path(), &error));
    return error;
  }

  TempDirectory directory_;
};

TEST_F(MachineTest, AKilledRunsWholeBatchesAreAppliedAndTheTornOneDropped) {
  {
    std::unique_ptr<Machine> machine = Open();
    HostedPlatform platform(machine->registry(), machine->drive(),
                            machine.get());
    EXPECT_EQ(platform.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\TAVPORT"), 0u);
    HKey usb = nullptr;
    ASSERT_EQ(platform.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB", 0,
                                     KEY_ENUMERATE_SUB_KEYS, &usb),
              0u);
    EXPECT_EQ(platform.RegDeleteKeyA(usb, "VID_0E7D&PID_0001"), 0u);
    EXPECT_EQ(platform.RegCloseKey(usb), 0u);
    // Killed here: the machine is dropped without being saved.
  }
  // A batch cut short by the kill.
  std::string journal = ReadHostFile(File("registry.log"));
  WriteHostFile(
      File("registry.log"),
      journal + "[-HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0002]\r\n");
  EXPECT_EQ(ReadHostFile(File("registry.reg")), kRegistry);

  std::unique_ptr<Machine> machine = Open();
  EXPECT_TRUE(machine->journalReplayed());
  const Registry& registry = machine->registry();
  EXPECT_EQ(registry.Find("HKEY_LOCAL_MACHINE\\Enum\\TAVPORT"), nullptr);
  EXPECT_EQ(registry.Find("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0001"),
            nullptr);
  EXPECT_NE(registry.Find("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0002"),
            nullptr);
  EXPECT_EQ(ReadHostFile(File("registry.log")), journal);

  std::string error;
  ASSERT_TRUE(machine->Save(&error)) << error;
  EXPECT_FALSE(HostPathExists(File("registry.log")));
  EXPECT_EQ(ReadHostFile(File("registry.bak")), kRegistry);
  std::string saved = ReadHostFile(File("registry.reg"));
  EXPECT_EQ(saved.find("TAVPORT"), std::string::npos);
  EXPECT_EQ(saved.find("PID_0001"), std::string::npos);
  EXPECT_NE(saved.find("PID_0002"), std::string::npos);
}

TEST_F(MachineTest, ValuesSetThroughAnOpenKeyAreLoggedWhenItCloses) {
  std::unique_ptr<Machine> machine = Open();
  HostedPlatform platform(machine->registry(), machine->drive(), machine.get());
  HKey key = nullptr;
  ASSERT_EQ(platform.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software", 0,
                                   KEY_SET_VALUE, &key),
            0u);
  const char data[] = "c:\\a \"b\"";
  EXPECT_EQ(platform.RegSetValueExA(key, "Path", REG_SZ,
                                    reinterpret_cast<const std::uint8_t*>(data),
                                    sizeof(data)),
            0u);
  EXPECT_FALSE(HostPathExists(File("registry.log")));
  EXPECT_EQ(platform.RegCloseKey(key), 0u);
  EXPECT_EQ(ReadHostFile(File("registry.log")),
            "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"
            "\"Path\"=\"c:\\\\a \\\"b\\\"\"\r\n; end of batch\r\n");
  EXPECT_EQ(platform.RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(MachineTest, OneRunAtATime) {
  std::unique_ptr<Machine> first = Open();
  EXPECT_NE(OpenFails().find("in use by another run"), std::string::npos);
  first.reset();
  EXPECT_TRUE(Open());
}

TEST_F(MachineTest, WhatCannotBeOpenedIsNamedAndLeftUntouched) {
  struct Case {
    const char* registry;
    const char* expected;
  };
  const Case cases[] = {
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:0g\r\n",
       "registry.reg:3: malformed registry file: bad hex byte"},
      {"Windows Registry Editor Version 5.00\r\n", "registry.reg:1: malformed"},
  };
  for (const Case& c : cases) {
    WriteHostFile(File("registry.reg"), c.registry);
    std::string error = OpenFails();
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(ReadHostFile(File("registry.reg")), c.registry);
    EXPECT_FALSE(HostPathExists(File("registry.bak")));
  }
  ::unlink(File("registry.reg").c_str());
  EXPECT_NE(OpenFails().find("registry.reg: No such file"), std::string::npos);
  WriteHostFile(File("registry.reg"), kRegistry);
  ::rmdir((directory_.path() + "/drive_c").c_str());
  EXPECT_NE(OpenFails().find("drive_c"), std::string::npos);
}

TEST_F(MachineTest, AMalformedJournalIsRefused) {
  WriteHostFile(File("registry.log"),
                "REGEDIT4\r\n[-HKEY_NOWHERE\\A]\r\n; end of batch\r\n");
  EXPECT_NE(OpenFails().find("registry.log:2: malformed journal"),
            std::string::npos);
}

// A hive that does not read back as what the run left is not put in
// place: here the run sets a string without its closing NUL, which Windows
// 9x would hand out with one.
TEST(HiveMachineTest, AHiveThatReadsBackOtherwiseIsKeptAsItWas) {
  TempDirectory drive;
  Registry registry;
  FindKeyPath(registry.top, "HKEY_LOCAL_MACHINE\\Software", true)
      ->SetValue("v", REG_SZ, std::string("1\0", 2));
  std::string hive;
  std::string why;
  ASSERT_TRUE(WriteHive9x(*registry.Find("HKEY_LOCAL_MACHINE"), &hive, &why));
  const std::string path = drive.path() + "/WINDOWS/SYSTEM.DAT";
  WriteHostFile(path, hive);
  std::string error;
  std::unique_ptr<Machine> machine = Machine::Open(drive.path(), &error);
  ASSERT_TRUE(machine) << error;
  HostedPlatform platform(machine->registry(), machine->drive(), machine.get());
  HKey key = nullptr;
  ASSERT_EQ(platform.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0,
                                   KEY_SET_VALUE, &key),
            0u);
  const std::uint8_t data[] = {'c', ':', '\\'};
  EXPECT_EQ(platform.RegSetValueExA(key, "Path", REG_SZ, data, sizeof data),
            0u);
  EXPECT_EQ(platform.RegCloseKey(key), 0u);
  EXPECT_FALSE(machine->Save(&error));
  EXPECT_NE(error.find("the new hive read back is not what the run left"),
            std::string::npos)
      << error;
  EXPECT_TRUE(ReadHostFile(path) == hive);
  EXPECT_TRUE(HostPathExists(drive.path() + "/WINDOWS/SYSTEM.BRJ"));
  EXPECT_FALSE(HostPathExists(drive.path() + "/WINDOWS/SYSTEM.BRN"));
}

TEST(WholeJournalBatchesTest, EndsAtTheLastWholeBatch) {
  EXPECT_EQ(
      WholeJournalBatches("REGEDIT4\n[-A]\n; end of batch\n[-B]\n; end of"),
      "REGEDIT4\n[-A]\n; end of batch\n");
  EXPECT_EQ(WholeJournalBatches("REGEDIT4\r\n[-A]\r\n; end of batch"), "");
  EXPECT_EQ(WholeJournalBatches("REGEDIT4\r\n"), "");
  // The last batch whole, its end line the file's last.
  EXPECT_EQ(WholeJournalBatches("REGEDIT4\n[-A]\n; end of batch\n"),
            "REGEDIT4\n[-A]\n; end of batch\n");
  EXPECT_EQ(
      WholeJournalBatches(
          "REGEDIT4\r\n[-A]\r\n; end of batch\r\n[-B]\r\n; end of batch\r\n"),
      "REGEDIT4\r\n[-A]\r\n; end of batch\r\n[-B]\r\n; end of batch\r\n");
}

// A start that hangs, played by a process named as qemu is that sleeps: the
// watch ends it as each bound (1 s for KVM, 3 s in all) or the run's end
// says, and the "launch", which waits for it, returns.
TEST(StartWatchTest, EndsTheStartAtEachBoundAndWhenTheRunIsGone) {
  struct WatchCase {
    const char* name;
    bool underKvm;
    const char* heard;  // the appliance's console, if anything
    bool runGone;
    StartWatch::Verdict verdict;
  };
  const WatchCase cases[] = {
      {"a silent KVM", true, nullptr, false, StartWatch::kKvmSilent},
      {"firmware alone is silence", true, "SeaBIOS (version 1.16)\nBooting",
       false, StartWatch::kKvmSilent},
      {"a KVM whose kernel runs, but slowly", true, "supermin: mounting /proc",
       false, StartWatch::kTooSlow},
      {"emulated, too slow", false, nullptr, false, StartWatch::kTooSlow},
      {"the run gone", true, nullptr, true, StartWatch::kRunGone},
  };
  TempDirectory work;
  const std::string qemu = work.path() + "/qemu-stand-in";
  ASSERT_EQ(::symlink("/bin/sleep", qemu.c_str()), 0);
  for (const WatchCase& c : cases) {
    int gone[2];
    ASSERT_EQ(::pipe(gone), 0);
    if (c.runGone) ::close(gone[1]);
    const pid_t child = ::fork();
    if (child == 0) {
      ::execl(qemu.c_str(), "qemu-stand-in", "60", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    StartWatch watch(c.underKvm, gone[0], 1, 3);
    if (c.heard != nullptr) watch.Heard(c.heard, std::strlen(c.heard));
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(watch.Finish(), c.verdict) << c.name;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << c.name;
    ::close(gone[0]);
    if (!c.runGone) ::close(gone[1]);
  }
}

}  // namespace
}  // namespace brindle
