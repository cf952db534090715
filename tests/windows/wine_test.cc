// The Windows program under Wine, on the same scenarios as the simulated
// build: each in a fresh prefix, in Wine's default (NT-like) mode and with
// Wine reporting Windows 98. The transcript must be the simulated one once
// line ends and Wine's shorter system texts are put right, and the keys,
// values and files the scenario names must end as the simulated run left
// them.
//
// BRINDLE_WINDOWS_EXE names the program; without it the tests are skipped,
// or fail when BRINDLE_REQUIRE_WINE is set.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "catalogue/catalogue.h"
#include "platform/hosted/forms/regedit4.h"
#include "tests/support/program_lines.h"
#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"

namespace brindle {
namespace {

// Wine's texts for the codes the scenarios meet, and Windows' for the same.
struct TextPair {
  const char* wine;
  const char* windows;
};
const TextPair kWineTexts[] = {
    {"File not found.", "The system cannot find the file specified."},
    {"Path not found.", "The system cannot find the path specified."},
    {"Access denied.", "Access is denied."},
    {"Invalid handle.", "The handle is invalid."},
    {"Invalid parameter.", "The parameter is incorrect."},
    {"Disk full.", "There is not enough space on the disk."},
    {"Sharing violation.",
     "The process cannot access the file because it is being used by another "
     "process."},
    {"File already exists.",
     "Cannot create a file when that file already exists."},
    {"Directory is not empty.", "The directory is not empty."},
    {"More data available.", "More data is available."},
    {"No more data available.", "No more data is available."},
    {"Registry corrupt.", "The configuration registry database is corrupt."},
    {"Can't open registry key.",
     "The configuration registry key could not be opened."},
    {"Key deleted.",
     "Illegal operation attempted on a registry key that has been marked for "
     "deletion."},
};

// The keys whose subtrees the comparison reads back from Wine.
const char* const kExportedKeys[] = {
    "HKEY_LOCAL_MACHINE\\Enum",
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\qfdx1",
};

// Directories Wine's prefix may hold that a scenario may say are missing.
const char* const kManagedDirectories[] = {
    "windows\\inf\\other", "windows\\system\\iosubsys", "windows\\inf"};

// Drops every CR before a line feed and puts Windows' texts in for Wine's.
std::string NormalizeWineOutput(const std::string& out) {
  std::string text;
  for (char c : out) {
    if (c == '\n') {
      while (!text.empty() && text.back() == '\r') text.pop_back();
    }
    text += c;
  }
  std::string result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    for (const TextPair& pair : kWineTexts) {
      if (line == pair.wine) line = pair.windows;
    }
    result += line;
    if (end < text.size()) result += '\n';
    start = end + 1;
  }
  return result;
}

std::string Utf16ToBytes(const std::string& raw) {
  std::string text;
  std::size_t at =
      (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE') ? 2 : 0;
  for (; at + 1 < raw.size(); at += 2) {
    unsigned unit = static_cast<unsigned char>(raw[at]) |
                    (static_cast<unsigned char>(raw[at + 1]) << 8);
    text += unit < 256 ? static_cast<char>(unit) : '?';
  }
  return text;
}

void CollectKeys(const RegistryKey& key, std::set<std::string>* paths) {
  key.ForEachSubkey([&](const RegistryKey& subkey) {
    paths->insert(subkey.Path());
    CollectKeys(subkey, paths);
  });
}

bool Watched(const std::string& path) {
  for (const char* exported : kExportedKeys) {
    std::string head = exported;
    if (EqualsAsciiFolded(path.substr(0, head.size()), head) &&
        (path.size() == head.size() || path[head.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

// Keeps of an export only the key lines and the values of watched keys:
// Wine's own values elsewhere need not be readable as REGEDIT4.
std::string KeepWatched(const std::string& text,
                        const std::set<std::string>& watched) {
  std::string kept = "REGEDIT4\n";
  bool keep = false;
  bool continued = false;
  std::size_t start = text.find('\n');
  while (start != std::string::npos && start < text.size()) {
    std::size_t end = text.find('\n', start + 1);
    std::string line =
        text.substr(start + 1, end == std::string::npos ? std::string::npos
                                                        : end - start - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end;
    bool wasContinued = continued;
    continued = !line.empty() && line.back() == '\\';
    if (!wasContinued && !line.empty() && line[0] == '[') {
      std::string path = line.substr(1, line.size() - 2);
      keep = false;
      for (const std::string& candidate : watched) {
        keep = keep || EqualsAsciiFolded(candidate, path);
      }
      kept += line + "\n";
      continued = false;
    } else if (keep) {
      kept += line + "\n";
    }
  }
  return kept;
}

std::string PathState(const std::string& root, const std::string& windowsPath) {
  std::string host = root;
  std::size_t start = 0;
  while (start <= windowsPath.size()) {
    std::size_t end = windowsPath.find('\\', start);
    if (end == std::string::npos) end = windowsPath.size();
    std::string name = windowsPath.substr(start, end - start);
    std::string found;
    if (DIR* listing = ::opendir(host.c_str())) {
      while (dirent* entry = ::readdir(listing)) {
        if (EqualsAsciiFolded(entry->d_name, name)) found = entry->d_name;
      }
      ::closedir(listing);
    }
    if (found.empty()) return "absent";
    host += "/" + found;
    start = end + 1;
  }
  struct stat status;
  if (::stat(host.c_str(), &status) != 0) return "absent";
  if (S_ISDIR(status.st_mode)) return "d";
  std::string content = ReadHostFile(host);
  while (!content.empty() && content.back() == '\n') content.pop_back();
  return "f " + content;
}

std::map<std::string, std::string> DriveStates(const std::string& listing) {
  std::map<std::string, std::string> states;
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    std::string line = listing.substr(start, end - start);
    start = end == std::string::npos ? listing.size() : end + 1;
    if (line.size() < 3 || line[0] == '#') continue;
    std::string rest = line.substr(2);
    if (line[0] == 'd') {
      states[rest] = "d";
    } else {
      std::size_t space = rest.find(' ');
      states[rest.substr(0, space)] =
          "f " + (space == std::string::npos ? "" : rest.substr(space + 1));
    }
  }
  return states;
}

void ParseInto(const std::string& text, Registry* registry, const char* what) {
  Regedit4Fault fault;
  EXPECT_TRUE(ReadRegedit4(text, *registry, &fault))
      << what << " line " << fault.line << ": " << fault.what;
}

// The Wine to run, its server and its prefix's architecture: wine, its
// server and win32 unless tools/windows-tests.sh says otherwise (on a host
// that cannot run 32-bit programs, wine64 and the 64-bit build).
std::string FromEnvironment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : otherwise;
}
const std::string kWine = FromEnvironment("BRINDLE_WINE", "wine");
const std::string kWineServer =
    FromEnvironment("BRINDLE_WINESERVER", "wineserver");

// The program run under Wine: the release build unless told otherwise.
const char* ExeUnderWine() {
  const char* exe = std::getenv("BRINDLE_WINE_EXE");
  return exe != nullptr && *exe != '\0' ? exe
                                        : std::getenv("BRINDLE_WINDOWS_EXE");
}

class Wine {
 public:
  Wine(const std::string& prefix, bool win98)
      : environment_(
            {"WINEPREFIX=" + prefix,
             "WINEARCH=" + FromEnvironment("BRINDLE_WINEARCH", "win32"),
             "WINEDEBUG=-all", "DISPLAY", "WAYLAND_DISPLAY"}) {
    Run({kWine, "wineboot", "-i"}, "");
    Run({kWineServer, "-w"}, "");
    if (win98) {
      Run({kWine, "reg", "add", "HKEY_CURRENT_USER\\Software\\Wine", "/v",
           "Version", "/t", "REG_SZ", "/d", "win98", "/f"},
          "");
    }
  }
  ~Wine() { Run({kWineServer, "-k"}, ""); }

  ProgramRun Run(const std::vector<std::string>& command,
                 const std::string& directory) {
    return RunCommand(command, directory, environment_);
  }

 private:
  std::vector<std::string> environment_;
};

using WineCase = std::tuple<std::string, bool>;

class WineScenarioTest : public ::testing::TestWithParam<WineCase> {};

TEST_P(WineScenarioTest, SameTranscriptKeysAndFilesAsTheSimulatedBuild) {
  const char* exe = ExeUnderWine();
  if (exe == nullptr || *exe == '\0') {
    if (std::getenv("BRINDLE_REQUIRE_WINE") != nullptr) {
      FAIL() << "BRINDLE_WINDOWS_EXE is not set";
    }
    GTEST_SKIP() << "no Windows program to run (BRINDLE_WINDOWS_EXE)";
  }
  const std::string name = std::get<0>(GetParam());
  const bool win98 = std::get<1>(GetParam());
  Scenario scenario(std::string(BRINDLE_SOURCE_DIR) + "/tests/scenarios/" +
                    name);

  TempDirectory work;
  std::string prefix = work.path() + "/prefix";
  Wine wine(prefix, win98);
  std::string driveC = prefix + "/drive_c";
  ASSERT_TRUE(HostPathExists(driveC + "/windows/system32")) << "no Wine prefix";

  // The scenario's registry, imported as regedit would on the machine.
  std::string registryText = scenario.Read("registry.reg");
  std::string crlf;
  for (char c : registryText)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteHostFile(work.path() + "/import.reg", crlf);
  ASSERT_EQ(
      wine.Run({kWine, "regedit", "/S", "import.reg"}, work.path()).status, 0);

  // Its drive: what it lists is made, what it leaves out is taken away.
  TempDirectory sources;
  TempDirectory simulated;
  scenario.Lay(simulated.path(), sources.path());
  std::map<std::string, std::string> before =
      DriveStates(scenario.Read("drive.txt"));
  for (const char* directory : kManagedDirectories) {
    std::string host = driveC + "/" + directory;
    std::replace(host.begin(), host.end(), '\\', '/');
    if (before.count(directory) == 0 && HostPathExists(host)) {
      ASSERT_EQ(::rename(host.c_str(), (host + ".away").c_str()), 0) << host;
    }
  }
  for (const auto& [path, state] : before) {
    std::string host = driveC + "/" + path;
    std::replace(host.begin(), host.end(), '\\', '/');
    if (state == "d") {
      MakeHostDirectories(host);
    } else {
      WriteHostFile(host, state.substr(2) + "\n");
    }
  }

  std::string transcript;
  for (const std::vector<std::string>& step : scenario.Steps()) {
    std::vector<std::string> command = {kWine, exe};
    command.insert(command.end(), step.begin(), step.end());
    ProgramRun run = wine.Run(command, sources.path());
    transcript += Scenario::TranscriptEntry(step, NormalizeWineOutput(run.out),
                                            run.status);
  }
  EXPECT_EQ(transcript, scenario.Read("transcript.txt"));

  // Keys and values: every key of the scenario below the exported keys must
  // be there or gone as the simulated run left it, with the same values.
  Registry initial;
  Registry expected;
  ParseInto(registryText, &initial, "registry.reg");
  ParseInto(scenario.Read("expected.reg"), &expected, "expected.reg");
  std::set<std::string> keys;
  CollectKeys(initial.top, &keys);
  CollectKeys(expected.top, &keys);
  std::set<std::string> watched;
  for (const std::string& key : keys) {
    if (Watched(key)) watched.insert(key);
  }
  std::string exported = "REGEDIT4\n";
  for (const char* key : kExportedKeys) {
    std::string file = work.path() + "/export.reg";
    ::unlink(file.c_str());
    wine.Run({kWine, "regedit", "/E", "export.reg", key}, work.path());
    std::string text = Utf16ToBytes(ReadHostFile(file));
    exported += KeepWatched(text, watched).substr(9);
  }
  Registry actual;
  ParseInto(exported, &actual, "Wine's export");
  for (const std::string& key : watched) {
    const RegistryKey* want = expected.Find(key);
    const RegistryKey* got = actual.Find(key);
    EXPECT_EQ(got != nullptr, want != nullptr) << key;
    if (want == nullptr || got == nullptr) continue;
    for (const RegistryValue& value : want->Values()) {
      std::optional<RegistryValue> found = got->FindValue(value.name);
      ASSERT_TRUE(found) << key << " " << value.name;
      EXPECT_EQ(found->type, value.type) << key << " " << value.name;
      EXPECT_EQ(found->data, value.data) << key << " " << value.name;
    }
    if (const RegistryKey* had = initial.Find(key)) {
      for (const RegistryValue& value : had->Values()) {
        if (!want->FindValue(value.name)) {
          EXPECT_FALSE(got->FindValue(value.name)) << key << " " << value.name;
        }
      }
    }
  }

  // Files: each the scenario or the catalogue names, and the directories it
  // manages.
  std::map<std::string, std::string> after =
      DriveStates(scenario.Read("expected-drive.txt"));
  std::set<std::string> paths;
  for (const auto& entry : before) paths.insert(entry.first);
  for (const auto& entry : after) paths.insert(entry.first);
  for (const char* directory : kManagedDirectories) paths.insert(directory);
  for (const DriverGroup* group :
       {&PortGroup, &StorageGroup, &AltStorageGroup, &HidGroup}) {
    for (std::size_t i = 0; i < group->filePairCount; ++i) {
      paths.insert(group->filePairs[i].installedPath + 3);  // past "c:\"
    }
  }
  for (const std::string& path : paths) {
    std::string want = after.count(path) ? after[path] : "absent";
    EXPECT_EQ(PathState(driveC, path), want) << path;
  }
}

// The command line as Windows hands it over: each case selects under Wine
// what it selects in the simulated build. A driver file in the current
// directory tells install (it is copied) from remove (it never is).
class WineCommandLineTest : public ::testing::TestWithParam<bool> {};

TEST_P(WineCommandLineTest, EveryCaseSelectsTheSameMode) {
  const char* exe = ExeUnderWine();
  if (exe == nullptr || *exe == '\0') {
    if (std::getenv("BRINDLE_REQUIRE_WINE") != nullptr) {
      FAIL() << "BRINDLE_WINDOWS_EXE is not set";
    }
    GTEST_SKIP() << "no Windows program to run (BRINDLE_WINDOWS_EXE)";
  }
  TempDirectory work;
  Wine wine(work.path() + "/prefix", GetParam());
  // Where tavmon.dll goes (a 64-bit prefix is made without it).
  MakeHostDirectories(work.path() + "/prefix/drive_c/windows/system");
  WriteHostFile(work.path() + "/drivers/tavmon.dll", "tavmon\n");
  for (const CommandLineCase& c : CommandLineCases) {
    std::vector<std::string> command = {kWine, exe};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    ProgramRun run = wine.Run(command, work.path() + "/drivers");
    std::string out = NormalizeWineOutput(run.out);
    std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
    bool copied = out.find("Copied file: tavmon.dll") != std::string::npos;
    if (c.selects == CommandLineCase::Usage) {
      EXPECT_EQ(out, UsageRunOutput) << label;
      EXPECT_EQ(run.status, 0) << label;
    } else {
      EXPECT_NE(out, UsageRunOutput) << label;
      EXPECT_EQ(copied, c.selects == CommandLineCase::Install) << label << out;
      EXPECT_EQ(out.substr(out.size() - 5), "Done\n") << label;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, WineCommandLineTest, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "win98" : "default";
                         });

// The release program must load on Windows 95: a console program for
// subsystem 4.0 that imports from nothing but these two DLLs.
TEST(WindowsProgramTest, ImportsAndHeaderFitWindows95) {
  struct Program {
    const char* exeVariable;
    const char* objdumpVariable;
    bool release;
  };
  for (const Program program :
       {Program{"BRINDLE_WINDOWS_EXE", "BRINDLE_OBJDUMP", true},
        Program{"BRINDLE_WINDOWS64_EXE", "BRINDLE_OBJDUMP64", false}}) {
    const char* exe = std::getenv(program.exeVariable);
    const char* objdump = std::getenv(program.objdumpVariable);
    if (exe == nullptr || objdump == nullptr) {
      if (std::getenv("BRINDLE_REQUIRE_WINE") != nullptr) {
        ADD_FAILURE() << program.exeVariable << " or "
                      << program.objdumpVariable << " is not set";
      }
      continue;
    }
    ProgramRun dump = RunCommand({objdump, "-p", exe}, "", {});
    ASSERT_EQ(dump.status, 0) << dump.err;
    std::set<std::string> dlls;
    std::map<std::string, std::string> header;
    std::size_t start = 0;
    while (start < dump.out.size()) {
      std::size_t end = dump.out.find('\n', start);
      if (end == std::string::npos) end = dump.out.size();
      std::string line = dump.out.substr(start, end - start);
      start = end + 1;
      std::size_t dll = line.find("DLL Name: ");
      if (dll != std::string::npos) dlls.insert(line.substr(dll + 10));
      std::size_t tab = line.find('\t');
      if (tab != std::string::npos && line[0] != '\t') {
        std::size_t value = line.find_first_not_of('\t', tab);
        header[line.substr(0, tab)] =
            value == std::string::npos ? "" : line.substr(value);
      }
    }
    // No C runtime DLL: tools/check-imports.sh holds the calls to the list.
    EXPECT_EQ(dlls, (std::set<std::string>{"ADVAPI32.dll", "KERNEL32.dll"}))
        << exe;
    EXPECT_EQ(header["Subsystem"].substr(0, 8), "00000003") << exe;  // console
    if (program.release) {
      EXPECT_EQ(header["MajorSubsystemVersion"], "4") << exe;
      EXPECT_EQ(header["MinorSubsystemVersion"], "0") << exe;
      EXPECT_NE(dump.out.find("pei-i386"), std::string::npos) << exe;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, WineScenarioTest,
    ::testing::Combine(::testing::ValuesIn(ScenarioNames(true)),
                       ::testing::Bool()),
    [](const auto& info) {
      std::string name = std::get<0>(info.param);
      std::replace(name.begin(), name.end(), '-', '_');
      return name + (std::get<1>(info.param) ? "_win98" : "_default");
    });

}  // namespace
}  // namespace brindle
