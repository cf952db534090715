// Every platform call of every operation failed with each kind of code,
// alone and in pairs. The expected output is put together site by site from
// what each call prints when it succeeds or fails, and which later calls a
// failure leaves out; the run must print exactly that, and make none of the
// calls it leaves out.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "app/program.h"
#include "install/inf_directory.h"
#include "install/install_plan.h"
#include "platform/hosted/machine/windows_errors.h"
#include "removal/file_key_deletion.h"
#include "removal/registry_sweeps.h"
#include "tests/support/program_lines.h"
#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"

namespace brindle {
namespace {

// Not found, path not found, access denied, more data, and one other.
const ErrorCode kCodes[] = {2, 3, 5, 234, 1011};

struct Context {
  bool formatFails = false;  // FormatMessageA fails too: codes are named
  std::string description = "Kelvin Storage";
  bool providerFailed = false;
  int result = 0;          // what PrepareInfDirectory returns
  bool carriesOn = false;  // the failure just seen leaves nothing out
  std::string Text(ErrorCode code) const {
    if (formatFails) return "System error " + std::to_string(code) + ".\n\n";
    return std::string(SystemText(code)) + "\n\n";
  }
};

// One platform call of an operation on its fixture.
struct Site {
  std::string label;
  std::string call;
  std::string match;
  int occurrence;
  // Printed when the call succeeds.
  std::function<std::string(const Context&)> success;
  // Printed when it fails with the code; may change what later sites print.
  std::function<std::string(ErrorCode, Context&)> failure;
  // The sites a failure here leaves out.
  std::vector<std::string> skips;
};

struct Operation {
  std::string name;
  std::string registry;
  std::function<void(TestMachine&)> prepare;
  std::function<void(TestMachine&, Context&)> run;
  std::vector<Site> sites;
};

std::string Fixed(const char* text) { return text; }
auto Prints(std::string text) {
  return [text](const Context&) { return text; };
}
auto Silent() {
  return [](const Context&) { return std::string(); };
}
std::vector<std::string> AllAfter(const std::vector<Site>& sites,
                                  const std::string& label,
                                  const std::string& until = "") {
  std::vector<std::string> after;
  bool seen = false;
  for (const Site& site : sites) {
    if (site.label == until) break;
    if (seen) after.push_back(site.label);
    seen = seen || site.label == label;
  }
  return after;
}

const char kEnumRegistry[] =
    "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0200\\5&1]\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\ROOT_HUB]\n";
const char kClassRegistry[] =
    "REGEDIT4\n[HKEY_LOCAL_"
    "MACHINE\\System\\CurrentControlSet\\Services\\Class\\"
    "USB\\0000]\n\"ProviderName\"=\"ZEL\"\n\"DriverDesc\"=\"Kelvin Storage\"\n";
const char kVersionRegistry[] =
    "REGEDIT4\n[HKEY_LOCAL_"
    "MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n";
const FilePair kPair[] = {
    {"kelvclas.sys", "c:\\windows\\system\\kelvclas.sys"}};
const char* const kKey[] = {"Enum\\TAVPORT"};

std::vector<Operation> Operations() {
  std::vector<Operation> operations;

  Operation enumSweep{"SweepEnumKeys",
                      kEnumRegistry,
                      nullptr,
                      [](TestMachine& m, Context&) {
                        SweepEnumKeys(m.platform(), m.console(), "USB",
                                      "VID_0E7D");
                      },
                      {}};
  auto enumerateFails = [](ErrorCode code, Context& c) {
    return "Can not enumerate the enum key 'USB'.\n" + c.Text(code);
  };
  enumSweep.sites = {
      {"open",
       "RegOpenKeyExA",
       "Enum\\USB",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return code == 2 ? std::string()
                          : "Can not open the enum key 'USB'.\n" + c.Text(code);
       },
       {}},
      {"enumerate 1", "RegEnumKeyExA", "", 1, Silent(), enumerateFails, {}},
      {"delete",
       "RegDeleteKeyA",
       "VID_0E7D",
       1,
       Prints("Deleted key : USB enum for VID_0E7D&PID_0200\n"),
       [](ErrorCode code, Context& c) {
         return "\nCan not delete USB enum for VID_0E7D&PID_0200\n" +
                c.Text(code);
       },
       {}},
      {"enumerate 2", "RegEnumKeyExA", "", 2, Silent(), enumerateFails, {}},
      {"enumerate 3", "RegEnumKeyExA", "", 3, Silent(), enumerateFails, {}},
      {"close",
       "RegCloseKey",
       "Enum\\USB",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return "Can not close the enum key.\n" + c.Text(code);
       },
       {}},
  };
  enumSweep.sites[0].skips = AllAfter(enumSweep.sites, "open");
  enumSweep.sites[1].skips = AllAfter(enumSweep.sites, "enumerate 1", "close");
  enumSweep.sites[3].skips = {"enumerate 3"};
  operations.push_back(enumSweep);

  Operation classSweep{"SweepClassInstances",
                       kClassRegistry,
                       nullptr,
                       [](TestMachine& m, Context&) {
                         SweepClassInstances(m.platform(), m.console(), "USB",
                                             "ZEL");
                       },
                       {}};
  auto classEnumerateFails = [](ErrorCode code, Context& c) {
    return "Can not enumerate the class key 'USB'.\n" + c.Text(code);
  };
  classSweep.sites = {
      {"open",
       "RegOpenKeyExA",
       "Class\\USB, ",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return code == 2
                    ? std::string()
                    : "Can not open the class key 'USB'.\n" + c.Text(code);
       },
       {}},
      {"enumerate 1",
       "RegEnumKeyExA",
       "",
       1,
       Silent(),
       classEnumerateFails,
       {}},
      {"open instance",
       "RegOpenKeyExA",
       "USB\\0000",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return "Can not open the class instance 'USB\\0000'.\n" + c.Text(code);
       },
       {"read provider", "read description", "close instance", "delete"}},
      {"read provider",
       "RegQueryValueExA",
       "ProviderName",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         c.providerFailed = true;
         return "Can not get the name of the instance provider.\n" +
                c.Text(code);
       },
       {"read description", "delete"}},
      {"read description",
       "RegQueryValueExA",
       "DriverDesc",
       1,
       Silent(),
       [](ErrorCode, Context& c) {
         c.description = "Unknown Device";
         return std::string();
       },
       {}},
      {"close instance",
       "RegCloseKey",
       "USB\\0000",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         // After a failed provider read the close's result is not looked at.
         return c.providerFailed ? std::string()
                                 : "Can not close the instance 'USB\\0000'.\n" +
                                       c.Text(code);
       },
       {}},
      {"delete",
       "RegDeleteKeyA",
       "USB\\0000",
       1,
       [](const Context& c) {
         return "Deleted key : USB driver for " + c.description + "\n";
       },
       [](ErrorCode code, Context& c) {
         return "\nCan not delete USB driver for " + c.description + "\n" +
                c.Text(code);
       },
       {}},
      {"enumerate 2",
       "RegEnumKeyExA",
       "",
       2,
       Silent(),
       classEnumerateFails,
       {}},
      {"close",
       "RegCloseKey",
       "Class\\USB$",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return "Can not close the class key.\n" + c.Text(code);
       },
       {}},
  };
  classSweep.sites[0].skips = AllAfter(classSweep.sites, "open");
  classSweep.sites[1].skips =
      AllAfter(classSweep.sites, "enumerate 1", "close");
  operations.push_back(classSweep);

  operations.push_back(Operation{
      "DeleteFilePairs",
      "REGEDIT4\n",
      [](TestMachine& m) {
        WriteHostFile(m.OnDrive("windows/system/kelvclas.sys"), "x");
      },
      [](TestMachine& m, Context&) {
        DeleteFilePairs(m.platform(), m.console(), kPair, 1);
      },
      {{"delete",
        "DeleteFileA",
        "kelvclas",
        1,
        Prints("Deleted file: c:\\windows\\system\\kelvclas.sys\n"),
        [](ErrorCode code, Context& c) {
          if (code == 2) return std::string();
          return "\nCan not delete file "
                 "'c:\\windows\\system\\kelvclas.sys'.\n" +
                 (code == 5
                      ? Fixed("Access denied.  Reboot the computer and run "
                              "this program again.\n\n")
                      : c.Text(code));
        },
        {}}}});

  operations.push_back(Operation{
      "DeleteKeyList",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\TAVPORT\\0000]\n",
      nullptr,
      [](TestMachine& m, Context&) {
        DeleteKeyList(m.platform(), m.console(), kKey, 1);
      },
      {{"delete",
        "RegDeleteKeyA",
        "TAVPORT",
        1,
        Prints("Deleted key : Enum\\TAVPORT\n"),
        [](ErrorCode code, Context& c) {
          return code == 2
                     ? std::string()
                     : "\nCan not delete key 'Enum\\TAVPORT'.\n" + c.Text(code);
        },
        {}}}});

  operations.push_back(Operation{
      "CopyFilePairs",
      "REGEDIT4\n",
      [](TestMachine& m) { MakeHostDirectories(m.OnDrive("windows/system")); },
      [](TestMachine& m, Context& c) {
        TempDirectory drivers;
        WriteHostFile(drivers.path() + "/kelvclas.sys", "driver");
        InDirectory inDrivers(drivers.path());
        c.result = static_cast<int>(
            CopyFilePairs(m.platform(), m.console(), kPair, 1));
      },
      {{"copy",
        "CopyFileA",
        "kelvclas",
        1,
        Prints(
            "Copied file: kelvclas.sys to c:\\windows\\system\\kelvclas.sys\n"),
        [](ErrorCode code, Context& c) {
          return code == 2
                     ? std::string()
                     : "Can not copy file 'kelvclas.sys'.\n" + c.Text(code);
        },
        {}}}});

  Operation prepare{
      "PrepareInfDirectory",
      kVersionRegistry,
      [](TestMachine& m) { MakeHostDirectories(m.OnDrive("windows/inf")); },
      [](TestMachine& m, Context& c) {
        c.result = PrepareInfDirectory(m.platform(), m.console());
      },
      {}};
  auto stops = [](const char* line) {
    return [line](ErrorCode code, Context& c) {
      c.result = 1;
      return line + c.Text(code);
    };
  };
  prepare.sites = {
      {"attributes",
       "GetFileAttributesA",
       "other",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         if (code == 2) {  // as when nothing is there: the walk goes on
           c.carriesOn = true;
           return std::string();
         }
         c.result = 1;
         return "Can not get attributes for directory "
                "'c:\\windows\\inf\\other'\n" +
                c.Text(code);
       },
       {}},
      {"create",
       "CreateDirectoryA",
       "other",
       1,
       Prints("Created directory: c:\\windows\\inf\\other\n"),
       stops("Can not create directory 'c:\\windows\\inf\\other'\n"),
       {}},
      {"open",
       "RegOpenKeyExA",
       "CurrentVersion",
       1,
       Silent(),
       stops("Can not open the current version key.\n"),
       {}},
      {"set",
       "RegSetValueExA",
       "OtherDevicePath",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return "Can not set the other path value.\n" + c.Text(code);
       },
       {}},
      {"close",
       "RegCloseKey",
       "CurrentVersion",
       1,
       Silent(),
       [](ErrorCode code, Context& c) {
         return "Can not close the current version key.\n" + c.Text(code);
       },
       {}},
  };
  prepare.sites[0].skips = AllAfter(prepare.sites, "attributes");
  prepare.sites[1].skips = AllAfter(prepare.sites, "create");
  prepare.sites[2].skips = AllAfter(prepare.sites, "open");
  operations.push_back(prepare);
  return operations;
}

struct Failing {
  std::size_t site;
  ErrorCode code;
};

// What the operation must print, and which sites it must not reach.
std::string Expect(const Operation& operation,
                   const std::vector<Failing>& failing, bool formatFails,
                   Context* context, std::set<std::string>* skipped) {
  context->formatFails = formatFails;
  std::string out;
  for (std::size_t i = 0; i < operation.sites.size(); ++i) {
    const Site& site = operation.sites[i];
    if (skipped->count(site.label)) continue;
    const Failing* fault = nullptr;
    for (const Failing& f : failing) {
      if (f.site == i) fault = &f;
    }
    if (fault == nullptr) {
      out += site.success(*context);
      continue;
    }
    context->carriesOn = false;
    out += site.failure(fault->code, *context);
    if (context->carriesOn) continue;
    for (const std::string& label : site.skips) skipped->insert(label);
  }
  return out;
}

std::string Label(const Operation& operation,
                  const std::vector<Failing>& failing, bool formatFails) {
  std::string label = operation.name + ":";
  for (const Failing& f : failing) {
    label += " " + operation.sites[f.site].label + "=" + std::to_string(f.code);
  }
  if (formatFails) label += " +FormatMessageA";
  return label;
}

int RunCell(const Operation& operation, const std::vector<Failing>& failing,
            bool formatFails) {
  TestMachine machine(operation.registry);
  if (operation.prepare) operation.prepare(machine);
  for (const Failing& f : failing) {
    const Site& site = operation.sites[f.site];
    machine.platform().Add({site.call, f.code, site.match, site.occurrence});
  }
  if (formatFails) machine.platform().Add({"FormatMessageA", 317, "", 0});
  Context ran;
  operation.run(machine, ran);

  Context expected;
  std::set<std::string> skipped;
  std::string output =
      Expect(operation, failing, formatFails, &expected, &skipped);
  std::string label = Label(operation, failing, formatFails);
  EXPECT_EQ(machine.output(), output) << label;
  if (operation.name == "PrepareInfDirectory") {
    EXPECT_EQ(ran.result, expected.result) << label;
  } else if (operation.name == "CopyFilePairs") {
    EXPECT_EQ(ran.result, failing.empty() ? 1 : 0) << label;
  }
  EXPECT_EQ(machine.platform().openKeys(), 0) << label;
  EXPECT_EQ(machine.platform().unreleasedTexts(), 0) << label;
  // A call the run must leave out was not made.
  for (const Site& site : operation.sites) {
    if (!skipped.count(site.label)) continue;
    EXPECT_LT(machine.platform().CountCalls(site.call, site.match),
              site.occurrence)
        << label << ": " << site.label << " was called";
  }
  return 1;
}

TEST(FaultMatrixTest, EveryCallOfEveryOperationFailsAloneAndInPairs) {
  int cells = 0;
  for (const Operation& operation : Operations()) {
    for (bool formatFails : {false, true}) {
      cells += RunCell(operation, {}, formatFails);
      for (std::size_t a = 0; a < operation.sites.size(); ++a) {
        for (ErrorCode codeA : kCodes) {
          cells += RunCell(operation, {{a, codeA}}, formatFails);
          for (std::size_t b = a + 1; b < operation.sites.size(); ++b) {
            for (ErrorCode codeB : kCodes) {
              cells +=
                  RunCell(operation, {{a, codeA}, {b, codeB}}, formatFails);
            }
          }
        }
      }
    }
  }
  std::cout << "[ MATRIX   ] " << cells << " cells\n";
  EXPECT_GT(cells, 1000);
}

// Whole runs with one kind of call failing every time: the run still goes to
// its end (or to the install's stop), says only the program's own lines, and
// its exit status tells what it printed.
TEST(FaultMatrixTest, WholeRunsGoOnAndTheirStatusTellsWhatHappened) {
  const char* const calls[] = {
      "RegOpenKeyExA",    "RegEnumKeyExA", "RegQueryValueExA",
      "RegSetValueExA",   "RegDeleteKeyA", "RegCloseKey",
      "CopyFileA",        "DeleteFileA",   "GetFileAttributesA",
      "CreateDirectoryA", "FormatMessageA"};
  const std::string advice =
      "Access denied.  Reboot the computer and run this program again.\n";
  int runs = 0;
  for (const char* scenarioName : {"full-remove", "install-then-remove"}) {
    Scenario scenario(std::string(BRINDLE_SOURCE_DIR) + "/tests/scenarios/" +
                      scenarioName);
    for (Mode mode : {Mode::Remove, Mode::Install}) {
      for (const char* call : calls) {
        for (ErrorCode code : kCodes) {
          TestMachine machine(scenario.Read("registry.reg"));
          TempDirectory drivers;
          scenario.Lay(machine.directory(), drivers.path());
          machine.platform().Add({call, code, "", 0});
          std::ostringstream out;
          int status;
          {
            InDirectory inDrivers(drivers.path());
            StreamOutput output(out);
            status = RunMode(mode, machine.platform(), output);
          }
          ++runs;
          const std::string text = out.str();
          std::string label = std::string(scenarioName) + " " + call + "=" +
                              std::to_string(code) +
                              (mode == Mode::Remove ? " remove" : " install");
          EXPECT_EQ(ForeignLines(text), std::vector<std::string>()) << label;
          bool done = text.size() >= 5 &&
                      text.compare(text.size() - 5, 5, "Done\n") == 0;
          bool failed = text.find("Can not ") != std::string::npos;
          bool stopped =
              text.find("Can not get attributes") != std::string::npos ||
              text.find("Can not create directory") != std::string::npos ||
              text.find("Can not open the current version") !=
                  std::string::npos;
          EXPECT_EQ(done, !stopped) << label;
          int expected = stopped                                  ? 1
                         : text.find(advice) != std::string::npos ? 3
                         : failed                                 ? 2
                                                                  : 0;
          EXPECT_EQ(status, expected) << label << "\n" << text;
          EXPECT_EQ(machine.platform().openKeys(), 0) << label;
          if (stopped) {
            EXPECT_EQ(machine.platform().CallsTo("CopyFileA").size(), 0u)
                << label;
          }
        }
      }
    }
  }
  std::cout << "[ MATRIX   ] " << runs << " whole runs\n";
}

}  // namespace
}  // namespace brindle
