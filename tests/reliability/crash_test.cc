// Runs killed with SIGKILL at many moments of a remove and of an install on
// a populated machine: each time the machine must open cleanly, no installed
// file may be part-written, and a run afterwards must end in the state an
// uninterrupted run leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "platform/hosted/machine/machine.h"
#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"
#include "tools/genmachine/machine_generator.h"

namespace brindle {
namespace {

const std::string kDrivers =
    std::string(BRINDLE_SOURCE_DIR) + "/examples/drivers";

void CopyTree(const std::string& from, const std::string& to) {
  ProgramRun copy = RunCommand({"cp", "-a", from, to}, "", {});
  ASSERT_EQ(copy.status, 0) << copy.err;
}

// Where a machine keeps drive C: and its registry's files.
struct Layout {
  std::string drive, registry, journal, fresh;
};

Layout LayoutOf(const std::string& machine, bool hive) {
  if (hive) {
    const std::string windows = machine + "/windows/";
    return {machine, windows + "SYSTEM.DAT", windows + "SYSTEM.BRJ",
            windows + "SYSTEM.BRN"};
  }
  return {machine + "/drive_c", machine + "/registry.reg",
          machine + "/registry.log", machine + "/registry.reg.new"};
}

// The machine's state: its registry file and its drive (on a Windows 9x
// drive the hive, and the backup beside it, are on the drive).
std::string State(const Layout& layout) {
  return ReadHostFile(layout.registry) + "\n--\n" + ListDrive(layout.drive);
}

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// Starts the program in `mode` on `machine` from the driver directory, its
// output thrown away.
// Starts the program on `machine`, its output thrown away or, with
// `readerGone`, written to a pipe no one reads any more.
pid_t StartProgram(const std::string& mode, const std::string& machine,
                   bool readerGone = false) {
  pid_t child = ::fork();
  if (child == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    int pipe[2];
    if (readerGone && ::pipe(pipe) == 0) {
      ::close(pipe[0]);
      ::dup2(pipe[1], 1);
    } else {
      ::dup2(null, 1);
    }
    ::dup2(null, 2);
    if (::chdir(kDrivers.c_str()) != 0) ::_exit(126);
    ::setenv("BRINDLE_MACHINE", machine.c_str(), 1);
    ::execl(BRINDLE_BINARY, BRINDLE_BINARY, mode.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

// Starts the program on `machine` and kills it after `delay`; true when the
// kill came before it ended.
bool RunAndKill(const std::string& mode, const std::string& machine,
                double delay) {
  pid_t child = StartProgram(mode, machine);
  struct timespec pause = {
      static_cast<time_t>(delay),
      static_cast<long>((delay - static_cast<long>(delay)) * 1e9)};
  ::nanosleep(&pause, nullptr);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status);
}

struct CrashCase {
  const char* mode;
  long keys;
  bool hive;  // a Windows 9x drive, its SYSTEM.DAT changed in place
};

class CrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashTest, KilledAtAnyMomentTheMachineStaysWhole) {
  const CrashCase param = GetParam();
  TempDirectory work;
  std::string pristine = work.path() + "/pristine";
  MachineOptions options;
  options.keys = param.keys;
  options.matchShare = 0.2;
  options.directory = pristine;
  options.hive = param.hive;
  ASSERT_EQ(GenerateMachine(options), 0);
  // (The generator's installed files hold other bytes than the sources, so a
  // part-written copy shows.) The state an uninterrupted run leaves, and how
  // long one takes from its start to its end (the shortest of a few). The
  // last run's reader is gone from the start, as `| head -1` goes: it still
  // runs to its end, with the same status, and leaves the same machine.
  std::string reference = work.path() + "/reference";
  double duration = 1e9;
  std::string expected;
  int expectedStatus = -1;
  for (int i = 0; i < 6; ++i) {
    RunCommand({"rm", "-rf", reference}, "", {});
    CopyTree(pristine, reference);
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    const bool readerGone = i == 5;
    ::waitpid(StartProgram(param.mode, reference, readerGone), &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 4);
    if (readerGone) {
      EXPECT_EQ(WEXITSTATUS(status), expectedStatus);
      EXPECT_EQ(State(LayoutOf(reference, param.hive)), expected);
      break;
    }
    duration =
        std::min(duration, Seconds(std::chrono::steady_clock::now() - start));
    expected = State(LayoutOf(reference, param.hive));
    expectedStatus = WEXITSTATUS(status);
  }

  std::mt19937 random(2026);
  const int kills = 200;
  int killedMidRun = 0;
  int withJournal = 0;
  int duringSave = 0;
  for (int i = 0; i < kills; ++i) {
    std::string machine = work.path() + "/run" + std::to_string(i);
    CopyTree(pristine, machine);
    // Spread evenly over the run, from its start to its end.
    double delay = duration *
                   (i + std::uniform_real_distribution<double>(0, 1)(random)) /
                   kills;
    const Layout layout = LayoutOf(machine, param.hive);
    killedMidRun += RunAndKill(param.mode, machine, delay);
    withJournal += HostPathExists(layout.journal);
    duringSave += HostPathExists(layout.fresh);

    std::string error;
    EXPECT_TRUE(Machine::Open(machine, &error))
        << "kill " << i << ": " << error;
    // Every installed file is the old one or the new one, never part of
    // one (or, for a remove, gone).
    for (const char* path :
         {"windows/system/tavcom.sys", "windows/system/iosubsys/kelvmini.mpd",
          "windows/inf/other/kelvusb.inf"}) {
      std::string host = layout.drive + "/" + path;
      std::string name = host.substr(host.rfind('/') + 1);
      std::string content = ReadHostFile(host);
      bool whole =
          content == name + " as installed\n" ||
          content == ReadHostFile(kDrivers + "/" + name) ||
          (!HostPathExists(host) && std::string(param.mode) == "remove");
      EXPECT_TRUE(whole) << "kill " << i << ": " << path << " holds '"
                         << content << "'";
    }
    ProgramRun completion = RunCommand({BRINDLE_BINARY, param.mode}, kDrivers,
                                       {"BRINDLE_MACHINE=" + machine});
    EXPECT_NE(completion.status, 4) << "kill " << i << ": " << completion.err;
    EXPECT_EQ(State(layout), expected)
        << "kill " << i << " after " << delay << " s";
    RunCommand({"rm", "-rf", machine}, "", {});
    if (HasFailure()) break;
  }
  std::cout << "[ KILLS    ] " << param.mode << (param.hive ? " (hive)" : "")
            << ": " << kills << " kills over " << duration * 1000 << " ms, "
            << killedMidRun << " before the run ended, " << withJournal
            << " left a journal, " << duringSave
            << " during the rewrite; all recovered\n";
  // The kills must land inside the run for the test to mean anything.
  EXPECT_GT(killedMidRun, kills / 4);
}

// The keys of the registry a run opening `machine` finds: its file with
// the whole batches of its journal applied.
long KeysOpened(const std::string& machine) {
  std::string error;
  std::unique_ptr<Machine> opened = Machine::Open(machine, &error);
  EXPECT_TRUE(opened) << error;
  long keys = 0;
  std::vector<const RegistryKey*> walk{&opened->registry().top};
  while (!walk.empty()) {
    const RegistryKey* key = walk.back();
    walk.pop_back();
    ++keys;
    key->ForEachSubkey([&](const RegistryKey& s) { walk.push_back(&s); });
  }
  return keys;
}

// One call of a traced run (strace -y: each descriptor with its path).
struct TracedCall {
  std::string name;
  std::vector<std::string> paths;  // the descriptors' and the quoted ones
};

std::vector<TracedCall> ReadTrace(const std::string& log) {
  std::vector<TracedCall> calls;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t name = line.find_first_not_of(' ', line.find(' '));
    const std::size_t paren = line.find('(', name);
    if (name == std::string::npos || paren == std::string::npos) continue;
    TracedCall call{line.substr(name, paren - name), {}};
    for (std::size_t at = paren; at < line.size(); ++at) {
      const char open = line[at];
      if (open != '<' && open != '"') continue;
      const std::size_t end = line.find(open == '<' ? '>' : '"', at + 1);
      if (end == std::string::npos) break;
      call.paths.push_back(line.substr(at + 1, end - at - 1));
      at = end;
    }
    calls.push_back(call);
  }
  return calls;
}

// What a save owes a power cut, checked on the calls it made in order:
// the new registry file is synced after its last write and before the
// rename that puts it in place; a backup written as a copy is synced
// before that rename too; and the directory is synced after it and before
// the journal is removed. Empty, or the rule the calls break.
std::string DurabilityBroken(const std::vector<TracedCall>& calls,
                             const Layout& layout, const std::string& backup) {
  const std::string directory =
      layout.registry.substr(0, layout.registry.rfind('/'));
  const std::string copy = backup + ".brindle-new";
  std::map<std::string, long> lastWrite, lastSync;
  long renamed = -1, copied = -1, directorySynced = -1;
  for (long i = 0; i < static_cast<long>(calls.size()); ++i) {
    const TracedCall& call = calls[i];
    if (call.paths.empty()) continue;
    const std::string& target =
        call.name == "copy_file_range" && call.paths.size() > 1 ? call.paths[1]
                                                                : call.paths[0];
    if (call.name == "write" || call.name == "pwrite64" ||
        call.name == "copy_file_range") {
      lastWrite[target] = i;
    } else if (call.name == "fsync" || call.name == "fdatasync") {
      lastSync[target] = i;
      if (target == directory && renamed >= 0 && directorySynced < 0)
        directorySynced = i;
    } else if (call.name == "rename" && call.paths.size() == 2) {
      if (call.paths == std::vector<std::string>{layout.fresh, layout.registry})
        renamed = i;
      if (call.paths == std::vector<std::string>{copy, backup}) copied = i;
    } else if (call.name == "unlink" && target == layout.journal &&
               renamed >= 0) {
      if (directorySynced < 0)
        return "the journal was removed before the directory was synced";
    }
  }
  if (renamed < 0) return "the new registry file was never put in place";
  if (!(lastWrite[layout.fresh] < lastSync[layout.fresh] &&
        lastSync[layout.fresh] < renamed)) {
    return "the new registry file was not synced after its last write and "
           "before its rename";
  }
  if (copied >= 0 &&
      !(lastWrite[copy] < lastSync[copy] && lastSync[copy] < renamed)) {
    return "the backup copy was not synced before the registry's rename";
  }
  if (directorySynced < 0)
    return "the directory was not synced after the rename";
  return "";
}

// A remove killed at each of its calls that change the disk in turn, by
// strace: the registry the next run opens never has a key back that an
// earlier kill found gone (no whole batch is ever lost, the save's steps
// included, where the random kill times above seldom land), and the next
// run leaves what an uninterrupted run leaves. The uninterrupted run's
// calls keep the order a power cut needs (DurabilityBroken). On a host
// directory the backup is a hard link; where links fail (as on FAT, played
// by strace) it is a copy.
struct WalkCase {
  bool hive;
  bool linksFail;
};

class KillAtEachCallTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(KillAtEachCallTest, NoWholeBatchIsLostAndTheNextRunFinishes) {
  const char* calls = "write,pwrite64,link,rename,unlink,fsync";
  const WalkCase walk = GetParam();
  // Links that fail, where asked for; the syscall must be traced to be.
  const std::vector<std::string> noLinks =
      walk.linksFail ? std::vector<std::string>{"-e", "inject=link:error=EPERM"}
                     : std::vector<std::string>();
  if (RunCommand({"strace", "-V"}, "", {}).status != 0) {
    if (std::getenv("BRINDLE_REQUIRE_ALL") != nullptr) FAIL() << "no strace";
    GTEST_SKIP() << "no strace";
  }
  TempDirectory work;
  const std::string pristine = work.path() + "/pristine";
  MachineOptions options;
  options.keys = 300;
  options.matchShare = 0.2;
  options.directory = pristine;
  options.hive = walk.hive;
  ASSERT_EQ(GenerateMachine(options), 0);
  // The uninterrupted run: what it leaves, and its calls in order.
  const std::string reference = work.path() + "/reference";
  CopyTree(pristine, reference);
  const std::string log = work.path() + "/calls";
  std::vector<std::string> command = {
      "strace",
      "-f",
      "-qq",
      "-y",
      "-o",
      log,
      "-e",
      std::string("trace=") + calls +
          ",copy_file_range,fdatasync,renameat,renameat2"};
  command.insert(command.end(), noLinks.begin(), noLinks.end());
  command.insert(command.end(), {BRINDLE_BINARY, "remove"});
  ProgramRun traced =
      RunCommand(command, kDrivers, {"BRINDLE_MACHINE=" + reference});
  ASSERT_EQ(traced.status, 0) << traced.err;
  const Layout layout = LayoutOf(reference, options.hive);
  const std::string expected = State(layout);
  const std::vector<TracedCall> called = ReadTrace(ReadHostFile(log));
  const std::string backup = options.hive ? reference + "/windows/SYSTEM.BRB"
                                          : reference + "/registry.bak";
  EXPECT_EQ(DurabilityBroken(called, layout, backup), "");
  std::vector<std::string> names;
  bool backupCopied = false;
  for (const TracedCall& call : called) {
    if (("," + std::string(calls) + ",").find("," + call.name + ",") !=
        std::string::npos) {
      names.push_back(call.name);
    }
    backupCopied =
        backupCopied || (call.name == "rename" && call.paths.size() == 2 &&
                         call.paths[1] == backup);
  }
  EXPECT_EQ(backupCopied, walk.linksFail);
  ASSERT_GT(names.size(), 20u);
  std::map<std::string, int> seen;
  long keys = KeysOpened(pristine);
  for (const std::string& name : names) {
    const std::string at = name + " " + std::to_string(++seen[name]);
    const std::string machine = work.path() + "/killed";
    RunCommand({"rm", "-rf", machine}, "", {});
    CopyTree(pristine, machine);
    std::vector<std::string> kill = {
        "strace",
        "-f",
        "-qq",
        "-o",
        "/dev/null",
        "-e",
        "trace=" + name + ",link",
        "-e",
        "inject=" + name +
            ":signal=SIGKILL:when=" + std::to_string(seen[name])};
    if (name != "link") kill.insert(kill.end(), noLinks.begin(), noLinks.end());
    kill.insert(kill.end(), {BRINDLE_BINARY, "remove"});
    RunCommand(kill, kDrivers, {"BRINDLE_MACHINE=" + machine});
    const long opened = KeysOpened(machine);
    EXPECT_LE(opened, keys) << "killed at " << at << ": keys came back";
    keys = opened;
    // A dry run first, over what the kill left (a journal among it): it
    // prints what the next run prints, and leaves everything where it is.
    const std::string left = TreeState(machine);
    ProgramRun dry = RunCommand({BRINDLE_BINARY, "--dry-run", "remove"},
                                kDrivers, {"BRINDLE_MACHINE=" + machine});
    EXPECT_EQ(TreeState(machine), left) << at;
    // The next run on the same kind of file system: links fail there too.
    std::vector<std::string> again = {"strace", "-f", "-qq", "-o", "/dev/null"};
    again.insert(again.end(), noLinks.begin(), noLinks.end());
    again.insert(again.end(), {BRINDLE_BINARY, "remove"});
    ProgramRun next = RunCommand(
        walk.linksFail ? again
                       : std::vector<std::string>{BRINDLE_BINARY, "remove"},
        kDrivers, {"BRINDLE_MACHINE=" + machine});
    EXPECT_NE(next.status, 4) << at << ": " << next.err;
    EXPECT_EQ(dry.out, next.out) << at;
    EXPECT_EQ(dry.status, next.status) << at;
    EXPECT_EQ(State(LayoutOf(machine, options.hive)), expected) << at;
    if (HasFailure()) break;
  }
  if (!HasFailure()) {
    std::cout << "[ KILLS    ] " << (options.hive ? "drive" : "directory")
              << (walk.linksFail ? " (backup copied)" : "")
              << ": killed at each of " << names.size() << " calls (" << calls
              << "); no batch lost, each finished by the next run\n";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Machines, KillAtEachCallTest,
    ::testing::Values(WalkCase{false, false}, WalkCase{true, false},
                      WalkCase{true, true}),
    [](const auto& info) {
      return std::string(info.param.hive ? "drive" : "directory") +
             (info.param.linksFail ? "_backup_copied" : "");
    });

INSTANTIATE_TEST_SUITE_P(Runs, CrashTest,
                         ::testing::Values(CrashCase{"remove", 20000, false},
                                           CrashCase{"install", 2000, false},
                                           CrashCase{"remove", 20000, true},
                                           CrashCase{"install", 2000, true}),
                         [](const auto& info) {
                           return std::string(info.param.mode) +
                                  (info.param.hive ? "_hive" : "");
                         });

}  // namespace
}  // namespace brindle
