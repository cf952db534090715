#include "removal/remove_plan.h"

#include <gtest/gtest.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

// The run's calls, folded: "F<n>" for n file deletions in a row, "K<n>" for
// n fixed-key deletions, and the key a sweep opened.
std::vector<std::string> Trace(const FaultPlatform& platform) {
  std::vector<std::string> trace;
  char last = 0;
  int run = 0;
  auto flush = [&] {
    if (run > 0) trace.push_back(std::string(1, last) + std::to_string(run));
    run = 0;
  };
  const std::string classHead = "HKLM\\System\\CurrentControlSet\\Services\\";
  for (const std::string& call : platform.calls()) {
    char kind = call.rfind("DeleteFileA(", 0) == 0     ? 'F'
                : call.rfind("RegDeleteKeyA(", 0) == 0 ? 'K'
                                                       : 0;
    if (kind != 0) {
      if (kind != last) flush();
      last = kind;
      ++run;
      continue;
    }
    if (call.rfind("RegOpenKeyExA(", 0) == 0) {
      flush();
      last = 0;
      std::string key = call.substr(14, call.find(',') - 14);
      if (key.rfind(classHead, 0) == 0) key = key.substr(classHead.size());
      if (key.rfind("HKLM\\", 0) == 0) key = key.substr(5);
      trace.push_back(key);
    }
  }
  flush();
  return trace;
}

TEST(RemovePlanTest, TheSixteenCallsComeInTheirOrderWhateverFails) {
  const std::vector<std::string> expected = {
      "F8",         "K3", "Enum\\USB",  "Enum\\USB",  "Class\\Ports",
      "Class\\USB", "F5", "Enum\\SCSI", "Enum\\SCSI", "Class\\SCSIAdapter",
      "Class\\USB", "F4", "K1",         "Class\\USB", "F4",
      "Enum\\HID"};
  const std::vector<Fault> variants[] = {
      {},
      // A refused file keeps neither its group's registry steps nor the
      // later groups from running.
      {{"DeleteFileA", ERROR_ACCESS_DENIED, "", 0}},
      {{"RegDeleteKeyA", ERROR_ACCESS_DENIED, "", 0},
       {"RegOpenKeyExA", ERROR_ACCESS_DENIED, "", 0}},
  };
  for (const auto& faults : variants) {
    TestMachine machine;
    for (const Fault& fault : faults) machine.platform().Add(fault);
    RunRemove(machine.platform(), machine.console());
    EXPECT_EQ(Trace(machine.platform()), expected);
  }
}

TEST(RemovePlanTest, EachProviderAndPrefixGoesWithItsOwnSweepOnly) {
  const std::string cls =
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";
  TestMachine machine(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C19&PID_0002]\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\TAV_____]\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\TAV_____KELV]\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0C19&PID_0002]\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0003]\n" +
      cls + "USB\\0000]\n\"ProviderName\"=\"Velmora\"\n\"DriverDesc\"=\"V\"\n" +
      cls + "USB\\0001]\n\"ProviderName\"=\"ZEL\"\n\"DriverDesc\"=\"Z\"\n" +
      cls + "Ports\\0000]\n\"ProviderName\"=\"ZEL\"\n" + cls +
      "SCSIAdapter\\0000]\n\"ProviderName\"=\"Tarnwick\"\n");
  for (const char* path : {"windows/system/iosubsys",
                           "windows/system32/drivers", "windows/inf/other"}) {
    MakeHostDirectories(machine.OnDrive(path));
  }
  RunRemove(machine.platform(), machine.console());
  EXPECT_EQ(machine.output(),
            "Deleted key : USB enum for VID_0C19&PID_0002\n"
            "Deleted key : SCSI enum for TAV_____KELV\n"
            "Deleted key : USB driver for Z\n"
            "Deleted key : USB driver for V\n"
            "Deleted key : HID enum for VID_0E7D&PID_0003\n");
  EXPECT_TRUE(machine.HasKey("Enum\\USB\\TAV_____"));
  EXPECT_TRUE(machine.HasKey("Enum\\HID\\VID_0C19&PID_0002"));
  EXPECT_TRUE(machine.HasKey(
      "System\\CurrentControlSet\\Services\\Class\\Ports\\0000"));
  EXPECT_TRUE(machine.HasKey(
      "System\\CurrentControlSet\\Services\\Class\\SCSIAdapter\\0000"));
}

}  // namespace
}  // namespace brindle
