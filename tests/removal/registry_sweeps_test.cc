#include "removal/registry_sweeps.h"

#include <gtest/gtest.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

const std::string kLongName(80, 'L');  // one more than the name buffer holds

// Device keys under Enum\USB, each with an instance below it.
std::string EnumRegistry(const std::vector<std::string>& devices) {
  std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\USB]\n";
  for (const std::string& device : devices) {
    text += "[HKEY_LOCAL_MACHINE\\Enum\\USB\\" + device + "\\5&1&0]\n";
  }
  return text;
}

std::vector<std::string> SubkeysOf(TestMachine& machine, const char* path) {
  std::vector<std::string> names;
  std::string text = machine.RegistryText();
  std::string head = std::string("[HKEY_LOCAL_MACHINE\\") + path + "\\";
  for (std::size_t at = text.find(head); at != std::string::npos;
       at = text.find(head, at + 1)) {
    std::size_t start = at + head.size();
    std::size_t end = text.find_first_of("\\]", start);
    if (text[end] == ']') names.push_back(text.substr(start, end - start));
  }
  return names;
}

struct EnumCase {
  const char* name;
  std::vector<std::string> devices;
  std::vector<Fault> faults;
  std::string output;
  std::vector<std::string> left;
};

TEST(SweepEnumKeysTest, DeletesMatchesWhileWalkingAndReportsEachFailure) {
  const std::string deleted = "Deleted key : USB enum for ";
  const EnumCase cases[] = {
      {"consecutive matches at 0 and 1",
       {"VID_0E7D&PID_0001", "VID_0E7D&PID_0002", "VID_046D&PID_C00E"},
       {},
       deleted + "VID_0E7D&PID_0001\n" + deleted + "VID_0E7D&PID_0002\n",
       {"VID_046D&PID_C00E"}},
      {"a failed delete is stepped over, a later match still goes",
       {"VID_0E7D&PID_0001", "VID_0E7D&PID_0002"},
       {{"RegDeleteKeyA", ERROR_ACCESS_DENIED, "PID_0001", 0}},
       "\nCan not delete USB enum for VID_0E7D&PID_0001\nAccess is "
       "denied.\n\n" +
           deleted + "VID_0E7D&PID_0002\n",
       {"VID_0E7D&PID_0001"}},
      {"prefix: exact 8, any tail; case counts; 7 is not enough",
       {"vid_0e7d&PID_0001", "VID_0E7D", "VID_0E7", "VID_0E7D anything"},
       {},
       deleted + "VID_0E7D\n" + deleted + "VID_0E7D anything\n",
       {"vid_0e7d&PID_0001", "VID_0E7"}},
      {"empty enumerator key", {}, {}, "", {}},
      {"open refused",
       {"VID_0E7D&PID_0001"},
       {{"RegOpenKeyExA", ERROR_ACCESS_DENIED, "Enum\\USB", 0}},
       "Can not open the enum key 'USB'.\nAccess is denied.\n\n",
       {"VID_0E7D&PID_0001"}},
      {"open fails with another code",
       {},
       {{"RegOpenKeyExA", 1011, "Enum\\USB", 0}},
       "Can not open the enum key 'USB'.\nThe configuration registry key "
       "could not be opened.\n\n",
       {}},
      {"enumeration fails midway, parent still closed",
       {"VID_0E7D&PID_0001", "VID_046D&PID_C00E", "VID_0E7D&PID_0002"},
       {{"RegEnumKeyExA", 1009, ", 1, ", 0}},
       deleted + "VID_0E7D&PID_0001\n" +
           "Can not enumerate the enum key 'USB'.\nThe configuration registry "
           "database is corrupt.\n\n",
       {"VID_046D&PID_C00E", "VID_0E7D&PID_0002"}},
      {"a name too long for the buffer ends the walk",
       {"VID_0E7D&PID_0001", kLongName, "VID_0E7D&PID_0002"},
       {},
       deleted + "VID_0E7D&PID_0001\n" +
           "Can not enumerate the enum key 'USB'.\nMore data is available.\n\n",
       {kLongName, "VID_0E7D&PID_0002"}},
      {"close fails",
       {"VID_0E7D&PID_0001"},
       {{"RegCloseKey", ERROR_INVALID_HANDLE, "Enum\\USB", 0}},
       deleted + "VID_0E7D&PID_0001\n" +
           "Can not close the enum key.\nThe handle is invalid.\n\n",
       {}},
  };
  for (const EnumCase& c : cases) {
    TestMachine machine(EnumRegistry(c.devices));
    for (const Fault& fault : c.faults) machine.platform().Add(fault);
    SweepEnumKeys(machine.platform(), machine.console(), "USB", "VID_0E7D");
    EXPECT_EQ(machine.output(), c.output) << c.name;
    EXPECT_EQ(SubkeysOf(machine, "Enum\\USB"), c.left) << c.name;
    EXPECT_EQ(machine.platform().openKeys(), 0) << c.name;
  }
}

TEST(SweepEnumKeysTest, AbsentEnumeratorIsSilentAndOpensNothing) {
  TestMachine machine("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\VID_0E7D]\n");
  SweepEnumKeys(machine.platform(), machine.console(), "USB", "VID_0E7D");
  EXPECT_EQ(machine.output(), "");
  EXPECT_TRUE(machine.platform().CallsTo("RegCloseKey").empty());
  // Sweeping one enumerator leaves the same prefix under another alone.
  EXPECT_TRUE(machine.HasKey("Enum\\SCSI\\VID_0E7D"));
}

TEST(SweepEnumKeysTest, OverlongEnumeratorIsRefusedBeforeAnyCall) {
  TestMachine machine;
  std::string enumerator(75, 'E');
  SweepEnumKeys(machine.platform(), machine.console(), enumerator.c_str(),
                "VID_0E7D");
  EXPECT_EQ(machine.output(), "Can not open the enum key '" + enumerator +
                                  "'.\nThe parameter is incorrect.\n\n");
  EXPECT_TRUE(machine.platform().CallsTo("RegOpenKeyExA").empty());
}

// One class instance: its name and the value lines below it.
struct Instance {
  std::string name;
  std::string values;
};

std::string ClassRegistry(const std::vector<Instance>& instances) {
  std::string head =
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USB";
  std::string text = "REGEDIT4\n" + head + "]\n@=\"Universal serial bus\"\n";
  for (const Instance& instance : instances) {
    text += head + "\\" + instance.name + "]\n" + instance.values;
  }
  return text;
}

std::string Provided(const std::string& provider, const std::string& desc) {
  return "\"ProviderName\"=\"" + provider + "\"\n\"DriverDesc\"=\"" + desc +
         "\"\n";
}

struct ClassCase {
  const char* name;
  std::vector<Instance> instances;
  std::vector<Fault> faults;
  std::string output;
  std::vector<std::string> left;
};

TEST(SweepClassInstancesTest, DeletesInstancesOfTheProviderAndReportsFailures) {
  const std::string deleted = "Deleted key : USB driver for ";
  const std::string noProvider =
      "Can not get the name of the instance provider.\n";
  const ClassCase cases[] = {
      {"consecutive matches at 0 and 1",
       {{"0000", Provided("Tarnwick", "Tarnwick USB Serial")},
        {"0001", Provided("Tarnwick", "Tarnwick USB Parallel")},
        {"0002", Provided("Microsoft", "USB Root Hub")}},
       {},
       deleted + "Tarnwick USB Serial\n" + deleted + "Tarnwick USB Parallel\n",
       {"0002"}},
      {"provider compared whole, case counting",
       {{"0000", Provided("Tarnwick ", "Padded")},
        {"0001", Provided("tarnwick", "Lower")},
        {"0002", Provided("Tarnwick", "Exact")}},
       {},
       deleted + "Exact\n",
       {"0000", "0001"}},
      {"no description",
       {{"0000", "\"ProviderName\"=\"Tarnwick\"\n"}},
       {},
       deleted + "Unknown Device\n",
       {}},
      {"description too long for the buffer",
       {{"0000", Provided("Tarnwick", kLongName)}},
       {},
       deleted + "Unknown Device\n",
       {}},
      {"description without a NUL is cut at the bytes returned",
       {{"0000",
         "\"ProviderName\"=\"Tarnwick\"\n\"DriverDesc\"=hex:41,42,43\n"}},
       {},
       deleted + "ABC\n",
       {}},
      {"no provider: reported, kept, the walk goes on",
       {{"0000", "\"DriverDesc\"=\"Orphan\"\n"},
        {"0001", Provided("Tarnwick", "After")}},
       {},
       noProvider + "The system cannot find the file specified.\n\n" + deleted +
           "After\n",
       {"0000"}},
      {"provider too long for the buffer",
       {{"0000", Provided(kLongName, "Long")}},
       {},
       noProvider + "More data is available.\n\n",
       {"0000"}},
      {"provider bytes without a NUL never match, silently",
       {{"0000", "\"ProviderName\"=hex:54,61,72,6e,77,69,63,6b\n"},
        {"0001", "\"ProviderName\"=dword:6e726154\n"}},
       {},
       "",
       {"0000", "0001"}},
      {"provider bytes with their NUL match whatever the type",
       {{"0000", "\"ProviderName\"=hex:54,61,72,6e,77,69,63,6b,00\n"}},
       {},
       deleted + "Unknown Device\n",
       {}},
      {"instance cannot be opened",
       {{"0000", Provided("Tarnwick", "Locked")},
        {"0001", Provided("Tarnwick", "Open")}},
       {{"RegOpenKeyExA", ERROR_ACCESS_DENIED, "USB\\0000", 0}},
       "Can not open the class instance 'USB\\0000'.\nAccess is denied.\n\n" +
           deleted + "Open\n",
       {"0000"}},
      {"instance cannot be closed: reported, then deleted all the same",
       {{"0000", Provided("Tarnwick", "Sticky")}},
       {{"RegCloseKey", ERROR_INVALID_HANDLE, "USB\\0000", 0}},
       "Can not close the instance 'USB\\0000'.\nThe handle is invalid.\n\n" +
           deleted + "Sticky\n",
       {}},
      {"provider read fails with another code",
       {{"0000", Provided("Tarnwick", "Unread")}},
       {{"RegQueryValueExA", 1012, "ProviderName", 0}},
       noProvider + "The configuration registry key could not be read.\n\n",
       {"0000"}},
      {"delete fails: stepped over, a later match still goes",
       {{"0000", Provided("Tarnwick", "Kept")},
        {"0001", Provided("Tarnwick", "Gone")}},
       {{"RegDeleteKeyA", ERROR_ACCESS_DENIED, "USB\\0000", 0}},
       "\nCan not delete USB driver for Kept\nAccess is denied.\n\n" + deleted +
           "Gone\n",
       {"0000"}},
      {"class key cannot be opened",
       {{"0000", Provided("Tarnwick", "Kept")}},
       {{"RegOpenKeyExA", ERROR_ACCESS_DENIED, "Class\\USB", 0}},
       "Can not open the class key 'USB'.\nAccess is denied.\n\n",
       {"0000"}},
      {"enumeration fails at once",
       {{"0000", Provided("Tarnwick", "Kept")}},
       {{"RegEnumKeyExA", 1009, "", 1}},
       "Can not enumerate the class key 'USB'.\nThe configuration registry "
       "database is corrupt.\n\n",
       {"0000"}},
      {"class key cannot be closed",
       {},
       {{"RegCloseKey", 1010, "Class\\USB", 0}},
       "Can not close the class key.\nThe configuration registry key is "
       "invalid.\n\n",
       {}},
  };
  for (const ClassCase& c : cases) {
    TestMachine machine(ClassRegistry(c.instances));
    for (const Fault& fault : c.faults) machine.platform().Add(fault);
    SweepClassInstances(machine.platform(), machine.console(), "USB",
                        "Tarnwick");
    EXPECT_EQ(machine.output(), c.output) << c.name;
    EXPECT_EQ(
        SubkeysOf(machine, "System\\CurrentControlSet\\Services\\Class\\USB"),
        c.left)
        << c.name;
    EXPECT_EQ(machine.platform().openKeys(), 0) << c.name;
  }
}

TEST(SweepClassInstancesTest, OverlongClassNameIsRefusedBeforeAnyCall) {
  TestMachine machine;
  std::string className(40, 'C');
  SweepClassInstances(machine.platform(), machine.console(), className.c_str(),
                      "Tarnwick");
  EXPECT_EQ(machine.output(), "Can not open the class key '" + className +
                                  "'.\nThe parameter is incorrect.\n\n");
  EXPECT_TRUE(machine.platform().calls().size() == 2u);  // the text only
}

TEST(SweepClassInstancesTest, LongestNamesWithinTheLimitsAreOpened) {
  TestMachine machine;
  std::string className(39, 'C');
  std::string enumerator(74, 'E');
  SweepClassInstances(machine.platform(), machine.console(), className.c_str(),
                      "Tarnwick");
  SweepEnumKeys(machine.platform(), machine.console(), enumerator.c_str(),
                "VID_0E7D");
  EXPECT_EQ(machine.output(), "");
  EXPECT_EQ(machine.platform().CallsTo("RegOpenKeyExA").size(), 2u);
}

}  // namespace
}  // namespace brindle
