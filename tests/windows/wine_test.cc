// The Windows program under Wine, on the same scenarios as the simulated
// build: each in a fresh prefix, in Wine's default (NT-like) mode and with
// Wine reporting Windows 98. The transcript must be the simulated one once
// line ends and Wine's shorter system texts are put right, and the keys,
// values and files the scenario names must end as the simulated run left
// them.
//
// Every case is written to a directory and run by one script,
// tests/windows/run-cases.sh: under the Wine of this host, or, where the
// host runs no 32-bit programs, under 32-bit Wine inside a libguestfs
// appliance, whose kernel does (BRINDLE_WINE_ROOT names its root). The
// tests then compare what the script wrote down.
//
// BRINDLE_WINDOWS_EXE names the program; without it the tests are skipped,
// or fail when BRINDLE_REQUIRE_WINE is set.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "catalogue/catalogue.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/machine/appliance_start.h"
#include "tests/support/program_lines.h"
#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"

#if BRINDLE_APPLIANCE
#include <guestfs.h>
#endif

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

// Wine's text for a string or name up to `end` (a quote, or a key line's
// bracket), its escapes undone, each UTF-16 unit a byte ('?' where it has
// none): what a program using the ANSI calls reads. `*at` moves past `end`.
std::string Unescape(const std::string& text, std::size_t* at, char end) {
  std::string bytes;
  for (; *at < text.size() && text[*at] != end; ++*at) {
    unsigned unit = static_cast<unsigned char>(text[*at]);
    if (unit == '\\' && ++*at < text.size()) {
      const char c = text[*at];
      const char* named = std::strchr("a\ab\bt\tn\nv\vf\fr\re\x1b", c);
      const bool hex = c == 'x';
      const unsigned base = hex ? 16 : 8;
      auto digit = [&](char d) {
        return std::isxdigit(static_cast<unsigned char>(d)) &&
               (hex || (d >= '0' && d <= '7'));
      };
      if (hex || digit(c)) {
        unit = 0;
        std::size_t from = *at + (hex ? 1 : 0);
        for (*at = from; *at < text.size() && *at < from + (hex ? 4 : 3) &&
                         digit(text[*at]);
             ++*at) {
          unit = unit * base + std::stoul(text.substr(*at, 1), nullptr, 16);
        }
        --*at;
      } else {
        unit = static_cast<unsigned char>(named && c != '\0' ? named[1] : c);
      }
    }
    bytes += unit < 256 ? static_cast<char>(unit) : '?';
  }
  ++*at;
  return bytes;
}

// HKEY_LOCAL_MACHINE as Wine saved it (system.reg, its keys relative to
// it) into `registry`: every key, and the values of the watched keys.
void ReadWineRegistry(const std::string& saved,
                      const std::set<std::string>& watched,
                      Registry* registry) {
  RegistryKey* key = nullptr;
  std::istringstream lines(saved);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = 1;
    if (!line.empty() && line[0] == '[') {
      const std::string path =
          "HKEY_LOCAL_MACHINE\\" + Unescape(line, &at, ']');
      key = FindKeyPath(registry->top, path, true);
      bool keep = false;
      for (const std::string& w : watched)
        keep = keep || EqualsAsciiFolded(w, path);
      if (!keep) key = nullptr;
      continue;
    }
    if (key == nullptr || line.empty() || (line[0] != '"' && line[0] != '@'))
      continue;
    const std::string name = line[0] == '@' ? "" : Unescape(line, &at, '"');
    std::string data = line.substr(at + (line[0] == '@' ? 0 : 1));
    std::uint32_t type = REG_SZ;
    std::string bytes;
    if (data.rfind("str(", 0) == 0) {  // a string of another type
      type = std::stoul(data.substr(4), nullptr, 16);
      data = data.substr(data.find(':') + 1);
    }
    if (data[0] == '"') {
      at = 1;
      bytes = Unescape(data, &at, '"') + '\0';
    } else if (data.rfind("dword:", 0) == 0) {
      type = REG_DWORD;
      const std::uint32_t number = std::stoul(data.substr(6), nullptr, 16);
      bytes.assign(reinterpret_cast<const char*>(&number), 4);
    } else {  // hex: or hex(N):, its lines ending in '\' going on
      type =
          data[3] == '(' ? std::stoul(data.substr(4), nullptr, 16) : REG_BINARY;
      data = data.substr(data.find(':') + 1);
      while (!data.empty() && data.back() == '\\' && std::getline(lines, line))
        data.back() = ',', data += line;
      std::istringstream hex(data);
      for (std::string byte; std::getline(hex, byte, ',');) {
        if (byte.find_first_not_of(" \t\r") != std::string::npos)
          bytes += static_cast<char>(std::stoul(byte, nullptr, 16));
      }
    }
    key->SetValue(name, type, bytes);
  }
}

void CollectKeys(const RegistryKey& key, std::set<std::string>* paths) {
  key.ForEachSubkey([&](const RegistryKey& subkey) {
    paths->insert(subkey.Path());
    CollectKeys(subkey, paths);
  });
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
  LoadFault fault;
  EXPECT_TRUE(ReadRegedit4(text, *registry, &fault))
      << what << " line " << fault.at << ": " << fault.what;
}

// The program run under Wine: the release build unless told otherwise.
std::string ExeUnderWine() {
  const char* exe = std::getenv("BRINDLE_WINE_EXE");
  if (exe == nullptr || *exe == '\0') exe = std::getenv("BRINDLE_WINDOWS_EXE");
  return exe != nullptr ? exe : "";
}

std::string FromEnvironment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : otherwise;
}

const std::string kScripts = std::string(BRINDLE_SOURCE_DIR) + "/tests/windows";

// The name of run `i` of a case, as the script's files have it.
std::string RunName(std::size_t i) {
  return (i < 10 ? "0" : "") + std::to_string(i);
}

// Writes a case for run-cases.sh: its mode, what to lay on drive C:, the
// driver directory, the runs, and what to read back.
struct WineCase {
  bool win98 = false;
  std::string registry;  // imported first unless empty
  std::vector<std::string> lay;
  std::map<std::string, std::string> sources;
  std::vector<std::vector<std::string>> steps;
  std::set<std::string> paths;

  void Write(const std::string& directory) const {
    WriteHostFile(directory + "/mode", win98 ? "win98\n" : "default\n");
    if (!registry.empty()) {
      std::string crlf;
      for (char c : registry) crlf += c == '\n' ? "\r\n" : std::string(1, c);
      WriteHostFile(directory + "/import.reg", crlf);
    }
    MakeHostDirectories(directory + "/sources");
    for (const auto& [name, content] : sources)
      WriteHostFile(directory + "/sources/" + name, content);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      std::string arguments;
      for (const std::string& argument : steps[i]) arguments += argument + "\n";
      const std::string name = RunName(i);
      WriteHostFile(directory + "/steps/" + name, arguments);
    }
    auto lines = [](const auto& list) {
      std::string text;
      for (const std::string& line : list) text += line + "\n";
      return text;
    };
    WriteHostFile(directory + "/lay", lines(lay));
    WriteHostFile(directory + "/paths", lines(paths));
  }
};

// A scenario as a case: its registry imported, its drive laid (what it
// lists made, the directories it leaves out moved aside), its steps run,
// and the keys, files and directories it names read back.
WineCase ScenarioCase(const Scenario& scenario, bool win98) {
  WineCase c;
  c.win98 = win98;
  c.registry = scenario.Read("registry.reg");
  std::map<std::string, std::string> before =
      DriveStates(scenario.Read("drive.txt"));
  for (const char* directory : kManagedDirectories) {
    if (before.count(directory) == 0)
      c.lay.push_back(std::string("away ") + directory);
  }
  for (const auto& [path, state] : before)
    c.lay.push_back(state == "d" ? "d " + path : "f " + path + state.substr(1));
  for (const std::string& name : scenario.Sources())
    c.sources[name] = Scenario::SourceContent(name);
  c.steps = scenario.Steps();
  for (const auto& entry : before) c.paths.insert(entry.first);
  for (const auto& entry : DriveStates(scenario.Read("expected-drive.txt")))
    c.paths.insert(entry.first);
  c.paths.insert(std::begin(kManagedDirectories),
                 std::end(kManagedDirectories));
  for (const DriverGroup* group :
       {&PortGroup, &StorageGroup, &AltStorageGroup, &HidGroup}) {
    for (std::size_t i = 0; i < group->filePairCount; ++i)
      c.paths.insert(group->filePairs[i].installedPath + 3);  // past "c:\"
  }
  return c;
}

// The command line cases in one: a driver file in the current directory
// tells install (it is copied) from remove (it never is).
WineCase CommandLineRuns(bool win98) {
  WineCase c;
  c.win98 = win98;
  c.lay = {"d windows\\system"};  // where tavmon.dll goes
  c.sources["tavmon.dll"] = "tavmon\n";
  for (const CommandLineCase& line : CommandLineCases)
    c.steps.push_back(line.arguments);
  return c;
}

std::string ModeName(bool win98) { return win98 ? "win98" : "default"; }

#if BRINDLE_APPLIANCE
const char* const kVerdicts[] = {"started", "KVM silent, started again",
                                 "did not start in time", "run gone"};

void ShowToWatch(guestfs_h*, void* watch, std::uint64_t, int, int,
                 const char* text, std::size_t size, const std::uint64_t*,
                 std::size_t) {
  static_cast<StartWatch*>(watch)->Heard(text, size);
}

// Runs run-cases.sh in a libguestfs appliance whose root is 32-bit Wine
// (tests/windows/make-wine-root.sh), in one start for all the cases: the
// cases go in and the results come out as tar files. Empty, or why not.
std::string RunInAppliance(const std::string& root, const std::string& in,
                           const std::string& results) {
  TempDirectory transfer;
  const std::string casesTar = transfer.path() + "/in.tar";
  const std::string resultsTar = transfer.path() + "/out.tar";
  ProgramRun pack = RunCommand({"tar", "-cf", casesTar, "-C", in, "."}, "", {});
  if (pack.status != 0) return "tar: " + pack.err;
  const std::string qemu =
      std::string(BRINDLE_SOURCE_DIR) + "/tests/support/appliance-qemu.sh";
  // Playing a silent KVM, the first start must be found so.
  const bool kvmStalls = FromEnvironment("BRINDLE_QEMU_KVM_STALLS", "") == "1";
  guestfs_h* g = nullptr;
  std::string failed;
  auto step = [&](const char* what, int result) {
    if (result != 0 && failed.empty()) {
      const char* error = guestfs_last_error(g);
      failed = std::string(what) + ": " + (error ? error : "failed");
    }
    return failed.empty();
  };
  // Wine wants about 3 GB a worker, and the two workers a CPU each; qemu,
  // a CPU the appliance's kernel can return to 32-bit code on. Where qemu
  // cannot use KVM, or KVM shows no kernel within the program's own bound,
  // the appliance is started again, emulated, as the program does.
  for (bool emulated : {false, true}) {
    if (g != nullptr) guestfs_close(g);
    failed.clear();
    if ((g = guestfs_create()) == nullptr) return "guestfs_create failed";
    guestfs_set_error_handler(g, nullptr, nullptr);
    const bool underKvm = StartsUnderKvm(emulated);
    StartWatch watch(underKvm, -1);
    guestfs_set_event_callback(g, ShowToWatch, GUESTFS_EVENT_APPLIANCE, 0,
                               &watch);
    const bool launched =
        step("set_hv", guestfs_set_hv(g, qemu.c_str())) &&
        step("set_memsize", guestfs_set_memsize(g, 5120)) &&
        step("set_smp", guestfs_set_smp(g, 2)) &&
        (!emulated ||
         step("force_tcg", guestfs_set_backend_setting(g, "force_tcg", "1"))) &&
        step("add_drive", guestfs_add_drive_opts(
                              g, root.c_str(), GUESTFS_ADD_DRIVE_OPTS_FORMAT,
                              "raw", GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, -1)) &&
        step("launch", guestfs_launch(g));
    const StartWatch::Verdict verdict = watch.Finish();
    std::cout << "[ APPLIANCE] " << (underKvm ? "under KVM: " : "emulated: ")
              << kVerdicts[verdict] << "\n";
    if (underKvm && kvmStalls && verdict != StartWatch::kKvmSilent)
      return std::string("a silent KVM was found ") + kVerdicts[verdict];
    if (launched && verdict == StartWatch::kStarted) break;
    if (!underKvm || verdict == StartWatch::kTooSlow) {
      if (verdict != StartWatch::kStarted) failed = kVerdicts[verdict];
      break;
    }
  }
  const char* const command[] = {"/bin/sh", "/work/run-cases.sh", "/work/cases",
                                 "/work/results", nullptr};
  if (failed.empty() && step("mount", guestfs_mount(g, "/dev/sda", "/")) &&
      step("tar_in", guestfs_tar_in(g, casesTar.c_str(), "/work"))) {
    char* out = guestfs_command(g, const_cast<char**>(command));
    step("run-cases.sh", out == nullptr ? -1 : 0);
    std::free(out);
    step("tar_out", guestfs_tar_out(g, "/work/results", resultsTar.c_str()));
  }
  guestfs_shutdown(g);
  guestfs_close(g);
  if (!failed.empty()) return failed;
  MakeHostDirectories(results);
  ProgramRun unpack =
      RunCommand({"tar", "-xf", resultsTar, "-C", results}, "", {});
  return unpack.status == 0 ? "" : "tar: " + unpack.err;
}
#endif

// Every case, run once for the whole test program: under the Wine of this
// host (BRINDLE_WINE, its server and prefix architecture), or under 32-bit
// Wine in an appliance (BRINDLE_WINE_ROOT, its root file system). The
// results lie in results/NAME, NAME a scenario or "command-line" with the
// mode; `error` says why there are none.
struct Batch {
  TempDirectory work;
  std::string results = work.path() + "/results";
  std::string error;

  Batch() {
    const std::string in = work.path() + "/in";
    const std::string exe = ExeUnderWine();
    for (bool win98 : {false, true}) {
      for (const std::string& name : ScenarioNames(true)) {
        Scenario scenario(std::string(BRINDLE_SOURCE_DIR) +
                          "/tests/scenarios/" + name);
        ScenarioCase(scenario, win98)
            .Write(in + "/cases/" + name + "_" + ModeName(win98));
      }
      CommandLineRuns(win98).Write(in + "/cases/command-line_" +
                                   ModeName(win98));
    }
    const std::string root = FromEnvironment("BRINDLE_WINE_ROOT", "");
    if (root.empty()) {
      ProgramRun run = RunCommand(
          {"sh", kScripts + "/run-cases.sh", in + "/cases", results}, "",
          {"EXE=" + exe, "WINE=" + FromEnvironment("BRINDLE_WINE", "wine"),
           "WINESERVER=" + FromEnvironment("BRINDLE_WINESERVER", "wineserver"),
           "WINEARCH=" + FromEnvironment("BRINDLE_WINEARCH", "win32"),
           "WORKERS=" + FromEnvironment("BRINDLE_WINE_WORKERS", "2")});
      if (run.status != 0) error = "run-cases.sh: " + run.err;
      return;
    }
#if BRINDLE_APPLIANCE
    ProgramRun copy =
        RunCommand({"cp", exe, kScripts + "/run-cases.sh", in}, "", {});
    error = copy.status != 0 ? copy.err : RunInAppliance(root, in, results);
    if (!error.empty()) error += "; " + ReadHostFile(results + "/log");
#else
    error = "this build has no libguestfs to start an appliance with";
#endif
  }
};

// The results of the batch, or null where there is no program to run.
const Batch* Results() {
  if (ExeUnderWine().empty()) {
    if (std::getenv("BRINDLE_REQUIRE_WINE") != nullptr)
      ADD_FAILURE() << "BRINDLE_WINDOWS_EXE is not set";
    return nullptr;
  }
  static const Batch batch;
  return &batch;
}

using WineScenario = std::tuple<std::string, bool>;

class WineScenarioTest : public ::testing::TestWithParam<WineScenario> {};

TEST_P(WineScenarioTest, SameTranscriptKeysAndFilesAsTheSimulatedBuild) {
  const Batch* batch = Results();
  if (batch == nullptr)
    GTEST_SKIP() << "no Windows program to run (BRINDLE_WINDOWS_EXE)";
  ASSERT_EQ(batch->error, "");
  const std::string name = std::get<0>(GetParam());
  const bool win98 = std::get<1>(GetParam());
  Scenario scenario(std::string(BRINDLE_SOURCE_DIR) + "/tests/scenarios/" +
                    name);
  const WineCase c = ScenarioCase(scenario, win98);
  const std::string results =
      batch->results + "/" + name + "_" + ModeName(win98);

  std::string transcript;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const std::string n = RunName(i);
    const std::string status = ReadHostFile(results + "/status." + n);
    ASSERT_FALSE(status.empty()) << "no run " << n;
    transcript += Scenario::TranscriptEntry(
        c.steps[i], NormalizeWineOutput(ReadHostFile(results + "/out." + n)),
        std::stoi(status));
  }
  EXPECT_EQ(transcript, scenario.Read("transcript.txt"));

  // Keys and values: every key of the scenario must be there or gone as the
  // simulated run left it, with the same values.
  Registry initial;
  Registry expected;
  ParseInto(c.registry, &initial, "registry.reg");
  ParseInto(scenario.Read("expected.reg"), &expected, "expected.reg");
  std::set<std::string> watched;
  CollectKeys(initial.top, &watched);
  CollectKeys(expected.top, &watched);
  Registry actual;
  ReadWineRegistry(ReadHostFile(results + "/system.reg"), watched, &actual);
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
  // manages, as the case read them back.
  std::map<std::string, std::string> after =
      DriveStates(scenario.Read("expected-drive.txt"));
  for (const std::string& path : c.paths) {
    std::string want = after.count(path) ? after[path] : "absent";
    EXPECT_EQ(PathState(results + "/drive", path), want) << path;
  }
}

// The command line as Windows hands it over: each case selects under Wine
// what it selects in the simulated build.
class WineCommandLineTest : public ::testing::TestWithParam<bool> {};

TEST_P(WineCommandLineTest, EveryCaseSelectsTheSameMode) {
  const Batch* batch = Results();
  if (batch == nullptr)
    GTEST_SKIP() << "no Windows program to run (BRINDLE_WINDOWS_EXE)";
  ASSERT_EQ(batch->error, "");
  const std::string results =
      batch->results + "/command-line_" + ModeName(GetParam());
  for (std::size_t i = 0; i < CommandLineCases.size(); ++i) {
    const CommandLineCase& c = CommandLineCases[i];
    const std::string n = RunName(i);
    std::string out = NormalizeWineOutput(ReadHostFile(results + "/out." + n));
    std::string status = ReadHostFile(results + "/status." + n);
    std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
    bool copied = out.find("Copied file: tavmon.dll") != std::string::npos;
    if (c.selects == CommandLineCase::Usage) {
      EXPECT_EQ(out, UsageRunOutput) << label;
      EXPECT_EQ(status, "0\n") << label;
    } else {
      EXPECT_NE(out, UsageRunOutput) << label;
      EXPECT_EQ(copied, c.selects == CommandLineCase::Install) << label << out;
      EXPECT_GE(out.size(), 5u) << label;
      EXPECT_EQ(out.substr(out.size() < 5 ? 0 : out.size() - 5), "Done\n")
          << label;
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
