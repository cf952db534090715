// End-to-end runs of the built program on disk images, made and read back
// with tools that are not the program's: sfdisk and mkfs.fat lay them out,
// mcopy fills them and copies them out, qemu-img converts them, fsck.fat
// checks their file systems, libcreg reads their hives. Each run starts a
// libguestfs appliance (about 12 s here), so the cases are few and each
// does all its runs on one image.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"

namespace brindle {
namespace {

const std::string kSource = BRINDLE_SOURCE_DIR;
const std::string kDrivers = kSource + "/examples/drivers";
const std::string kRealHive = kSource + "/tests/data/SYSTEM.DAT";
const std::string kGenerator = BRINDLE_GENERATOR;

// Skips a test whose tools are missing, unless every test must run.
#define TOOLS_OR_SKIP()                                                    \
  do {                                                                     \
    ProgramRun tools_ = RunCommand(                                        \
        {"sh", "-c",                                                       \
         "for t in sfdisk mkfs.fat fsck.fat mcopy mshowfat qemu-img; do "  \
         "command -v $t >/dev/null || PATH=$PATH:/sbin:/usr/sbin command " \
         "-v $t >/dev/null || echo $t; done"},                             \
        "", {});                                                           \
    if (!tools_.out.empty() || !HostPathExists(kRealHive)) {               \
      if (std::getenv("BRINDLE_REQUIRE_ALL") != nullptr)                   \
        FAIL() << "missing: " << tools_.out << " or " << kRealHive;        \
      GTEST_SKIP() << "missing: " << tools_.out << " or " << kRealHive;    \
    }                                                                      \
  } while (false)

// The lines a run prints on standard error when it goes on without KVM:
// its own start found KVM silent, or an earlier one in this boot did.
const std::string kKvmSilent =
    "brindle: KVM did not start the appliance in 30 s; going on without KVM "
    "(slower)\n";
const std::string kKvmSilentEarlier =
    "brindle: KVM did not start the appliance earlier in this boot; going on "
    "without KVM (slower)\n";

// True where the appliance starts under KVM, which a silent one can play.
bool HaveKvm() { return ::access("/dev/kvm", R_OK | W_OK) == 0; }

// What the image's `run`th run (from 0) says of KVM: where it is silent,
// the first run says so, and the later ones that an earlier run found it.
std::string KvmLine(bool silent, int run) {
  if (!silent || !HaveKvm()) return "";
  return run == 0 ? kKvmSilent : kKvmSilentEarlier;
}

// `err` without the lines above: on a host whose KVM never starts the
// appliance, the runs that do not play one print them too.
std::string WithoutKvmLines(std::string err) {
  for (const std::string& line : {kKvmSilent, kKvmSilentEarlier}) {
    for (std::size_t at; (at = err.find(line)) != std::string::npos;)
      err.erase(at, line.size());
  }
  return err;
}

// Where the runs keep their verdict on KVM: one place for the whole test
// program, so that on a host whose KVM is silent only its first run waits.
const std::string& SharedCache() {
  static const TempDirectory cache;
  return cache.path();
}

// The environment of a run whose qemu never runs a guest under KVM.
std::vector<std::string> StallingKvm() {
  return {"LIBGUESTFS_HV=" + kSource + "/tests/support/appliance-qemu.sh",
          "BRINDLE_QEMU_KVM_STALLS=1"};
}

// The program on `image` from the driver directory, its verdict on KVM kept
// in `cache`, with `more` added to its environment.
ProgramRun RunOnImage(const std::vector<std::string>& arguments,
                      const std::string& image,
                      const std::string& cache = SharedCache(),
                      const std::vector<std::string>& more = {}) {
  std::vector<std::string> environment = {"BRINDLE_MACHINE=" + image,
                                          "XDG_CACHE_HOME=" + cache};
  environment.insert(environment.end(), more.begin(), more.end());
  std::vector<std::string> command = {BRINDLE_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunCommand(command, kDrivers, environment);
}

// The processes whose command line names `path` (qemu names its image),
// one line each.
std::string ProcessesNaming(const std::string& path) {
  std::string found;
  DIR* processes = ::opendir("/proc");
  while (const dirent* entry = processes ? ::readdir(processes) : nullptr) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::string line =
        ReadHostFile("/proc/" + std::string(entry->d_name) + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(path) != std::string::npos)
      found += std::string(entry->d_name) + ": " + line + "\n";
  }
  if (processes != nullptr) ::closedir(processes);
  return found;
}

ProgramRun Shell(const std::string& script) {
  return RunCommand({"sh", "-c", "PATH=$PATH:/sbin:/usr/sbin; " + script}, "",
                    {});
}

// Where a layout of make_image.sh puts the file system that holds the drive.
std::uint64_t OffsetOf(const std::string& layout) {
  return layout == "bare" ? 0 : layout == "logical" ? 38912 * 512 : 1 << 20;
}

// A drive directory: generated keys planted in the real hive, or a wholly
// generated registry of `keys` keys.
void MakeDrive(const std::string& directory, bool real, long keys) {
  std::vector<std::string> command = {kGenerator, "--keys",
                                      std::to_string(keys), "--match"};
  command.insert(command.end(), {real ? "100" : "10", "--hive"});
  if (real) command.insert(command.end(), {"--base", kRealHive});
  command.push_back(directory);
  ProgramRun made = RunCommand(command, "", {});
  ASSERT_EQ(made.status, 0) << made.err;
}

void MakeImage(const std::string& drive, const std::string& image,
               const std::string& layout) {
  ProgramRun made = RunCommand(
      {kSource + "/tests/image/make_image.sh", drive, image, layout}, "", {});
  ASSERT_EQ(made.status, 0) << made.err;
}

// What an image holds, read by other tools: its file system copied out to
// `to` with mcopy, and fsck.fat's verdict on it (read only).
struct ReadBack {
  bool clean = false;
  std::string fsck;
};
ReadBack CopyOut(const std::string& image, const std::string& layout,
                 const std::string& to) {
  const std::string raw = to + ".raw", part = to + ".part";
  const std::string offset = std::to_string(OffsetOf(layout));
  ProgramRun copied =
      Shell("set -e; qemu-img convert -O raw '" + image + "' '" + raw +
            "'; mkdir -p '" + to + "'; mcopy -s -n -Q -i '" + raw + "@@" +
            offset + "' '::/' '" + to + "/'; dd if='" + raw + "' of='" + part +
            "' bs=512 skip=" + std::to_string(OffsetOf(layout) / 512) +
            " status=none");
  EXPECT_EQ(copied.status, 0) << copied.err;
  ProgramRun fsck = Shell("fsck.fat -n '" + part + "'; echo status $?");
  Shell("rm -f '" + raw + "' '" + part + "'");
  return {fsck.out.find("status 0") != std::string::npos, fsck.out + fsck.err};
}

// A registry file as libcreg reads it, in REGEDIT4 export form.
std::string Exported(const std::string& hive) {
  ProgramRun run = RunCommand(
      {"/usr/bin/python3", kSource + "/tests/tools/hive_to_regedit4.py", hive,
       hive + ".reg"},
      "", {});
  EXPECT_EQ(run.status, 0) << hive << ": " << run.err;
  return ReadHostFile(hive + ".reg");
}

struct ImageCase {
  const char* name;
  const char* file;    // its extension gives the format
  const char* layout;  // of make_image.sh
  bool real;           // the real hive with the drivers' keys planted
  long keys;
  const char* readOnly = nullptr;  // a driver file made read-only, if any
  bool kvmStalls = false;  // a KVM that never runs the appliance's guest
};

void PrintTo(const ImageCase& c, std::ostream* out) { *out << c.file; }

class ImageTest : public ::testing::TestWithParam<ImageCase> {};

// The same drive as a directory and as an image of each format, the same
// runs: the same transcripts and statuses, the same hive byte for byte,
// the same files; fsck.fat finds each file system clean after each run.
// Where KVM is silent, the first run says it went on without it, and the
// later ones that they did so at once.
TEST_P(ImageTest, RunsLeaveWhatTheDriveDirectoryLeaves) {
  TOOLS_OR_SKIP();
  const ImageCase& c = GetParam();
  TempDirectory work;
  const std::string directory = work.path() + "/directory";
  const std::string image = work.path() + "/" + c.file;
  ASSERT_NO_FATAL_FAILURE(MakeDrive(directory, c.real, c.keys));
  ASSERT_NO_FATAL_FAILURE(MakeImage(directory, image, c.layout));
  if (c.readOnly != nullptr) {  // no write permission; FAT's attribute
    ASSERT_EQ(
        Shell("chmod a-w '" + directory + "/" + c.readOnly +
              "' && mattrib -i '" + image + "@@" +
              std::to_string(OffsetOf(c.layout)) + "' +r ::/" + c.readOnly)
            .status,
        0);
  }
  const std::string cache = c.kvmStalls ? work.path() : SharedCache();
  const std::vector<std::string> kvm =
      c.kvmStalls ? StallingKvm() : std::vector<std::string>();
  int imageRuns = 0;
  int step = 0;
  for (const char* mode : {"remove", "install", "remove"}) {
    // A dry run first, on the image made immutable: it prints what the run
    // then prints, ends as it ends, and leaves the image as it was.
    ProgramRun dry;
    std::string dryKvm;
    const bool dryRun = step == 0;
    if (dryRun) {
      ASSERT_EQ(Shell("chattr +i '" + image + "'").status, 0);
      const std::string before = TreeState(image);
      dry = RunOnImage({"--dry-run", mode}, image, cache, kvm);
      EXPECT_EQ(Shell("chattr -i '" + image + "'").status, 0);
      EXPECT_EQ(TreeState(image), before);
      dryKvm = KvmLine(c.kvmStalls, imageRuns++);
    }
    ProgramRun onImage = RunOnImage({mode}, image, cache, kvm);
    ProgramRun onDirectory = RunProgram({mode}, kDrivers, directory);
    EXPECT_EQ(onImage.out, onDirectory.out) << mode;
    EXPECT_EQ(onImage.status, onDirectory.status) << mode;
    if (c.kvmStalls) {
      EXPECT_EQ(onImage.err, KvmLine(true, imageRuns++) + onDirectory.err)
          << mode;
    } else {
      EXPECT_EQ(WithoutKvmLines(onImage.err), onDirectory.err) << mode;
    }
    if (dryRun) {
      EXPECT_EQ(dry.out, onImage.out);
      EXPECT_EQ(dry.status, onImage.status);
      EXPECT_EQ(c.kvmStalls ? dry.err : WithoutKvmLines(dry.err),
                dryKvm + onDirectory.err +
                    "brindle: a dry run: nothing was changed\n");
    }
    if (c.readOnly != nullptr && std::string(mode) == "remove") {
      EXPECT_EQ(onImage.status, 3);
      EXPECT_NE(onImage.out.find("Can not delete file 'c:\\windows\\system\\"
                                 "tavcom.sys'.\nAccess denied.  Reboot"),
                std::string::npos)
          << onImage.out;
      // Offline, rebooting will not help: the user is told what will.
      EXPECT_EQ(onDirectory.err.rfind("brindle: not deleted: c:\\windows\\"
                                      "system\\tavcom.sys; rebooting will "
                                      "not help",
                                      0),
                0u)
          << onDirectory.err;
    }
    const std::string copy = work.path() + "/copy" + std::to_string(++step);
    ReadBack back = CopyOut(image, c.layout, copy);
    EXPECT_TRUE(back.clean) << mode << ": " << back.fsck;
    EXPECT_TRUE(ReadHostFile(copy + "/windows/SYSTEM.DAT") ==
                ReadHostFile(directory + "/windows/SYSTEM.DAT"))
        << mode;
    EXPECT_TRUE(ListDrive(copy) == ListDrive(directory)) << mode;
    if (step == 3) {
      EXPECT_TRUE(Exported(copy + "/windows/SYSTEM.DAT") ==
                  Exported(directory + "/windows/SYSTEM.DAT"));
    }
  }
  std::cout << "[ IMAGE    ] " << c.file << " (" << c.layout
            << "): " << ReadHostFile(directory + "/windows/SYSTEM.DAT").size()
            << "-byte hive, 3 runs alike\n";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageTest,
    ::testing::Values(
        ImageCase{"RawFat32", "win98.img", "mbr", true, 60},
        ImageCase{"VhdLogicalFat16", "win98.vhd", "logical", true, 60},
        ImageCase{"Vhdx", "win98.vhdx", "mbr", true, 60},
        ImageCase{"Vdi", "win98.vdi", "mbr", true, 60},
        ImageCase{"VmdkLogicalFat16", "win98.vmdk", "logical", true, 60},
        ImageCase{"Qcow2", "win98.qcow2", "mbr", true, 60},
        ImageCase{"FloppyFat12", "win98.ima", "bare", true, 60},
        // A driver file read-only: not deleted, as Windows would not.
        ImageCase{"ReadOnlyDriver", "readonly.img", "mbr", true, 60,
                  "windows/system/tavcom.sys"},
        // Larger than libguestfs's single messages: 30,000 keys, 6 MB.
        ImageCase{"GeneratedQcow2", "big.qcow2", "mbr", false, 30000},
        // A host whose KVM takes the guest in and never runs it.
        ImageCase{"KvmSilent", "silent.vdi", "mbr", true, 60, nullptr, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Where an image is mounted in `temporary`, or empty.
std::string MountedIn(const std::string& temporary) {
  std::string mounted;
  if (DIR* listing = ::opendir(temporary.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      if (std::string(entry->d_name).rfind("brindle-image-", 0) == 0)
        mounted = temporary + "/" + entry->d_name;
    }
    ::closedir(listing);
  }
  return mounted;
}

// A run stopped at a moment `until` names: it is asked every 10 ms with the
// directory the image is mounted at (once there is one) and the seconds
// since the run began.
struct Kill {
  const char* moment;
  std::function<bool(const std::string&, double)> until;
  int signal = SIGKILL;
  bool kvmStalls = false;  // a KVM that never runs the appliance's guest
};

// The program on `image` from the driver directory, its standard output in
// `out`, stopped as `kill` says or after five minutes.
void RunUntil(const std::string& image, const std::string& temporary,
              const std::string& out, const Kill& kill) {
  const auto start = std::chrono::steady_clock::now();
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the test
    if (::chdir(kDrivers.c_str()) != 0) ::_exit(126);
    ::setenv("BRINDLE_MACHINE", image.c_str(), 1);
    ::setenv("TMPDIR", temporary.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", temporary.c_str(), 1);
    if (kill.kvmStalls) {
      ::setenv("LIBGUESTFS_HV",
               (kSource + "/tests/support/appliance-qemu.sh").c_str(), 1);
      ::setenv("BRINDLE_QEMU_KVM_STALLS", "1", 1);
    }
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::execl(BRINDLE_BINARY, BRINDLE_BINARY, "remove",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int status = 0; ::waitpid(child, &status, WNOHANG) == 0;) {
    const std::string mounted = MountedIn(temporary);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    if (kill.until(mounted, seconds) || seconds > 300) {
      ::kill(child, kill.signal);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The appliance's own process closes the image once the run is gone,
  // lets go of its lock last, and leaves no mount, no qemu and no helper
  // behind.
  Shell("while ! flock -n '" + image + "' true; do sleep 0.2; done");
  EXPECT_EQ(MountedIn(temporary), "");
  EXPECT_EQ(ProcessesNaming(image), "") << kill.moment;
}

// Runs stopped at four moments leave an image the next run finishes, with
// the hive an uninterrupted run leaves; fsck.fat's verdict after each kill
// is printed. A second run while one holds the image is refused. What a
// run printed before it was stopped is in its output file, whatever that
// is: a run stopped during the sweeps has its files' deletions there.
TEST(ImageKillTest, AKilledRunIsFinishedByTheNext) {
  TOOLS_OR_SKIP();
  TempDirectory work;
  const std::string directory = work.path() + "/directory";
  const std::string made = work.path() + "/made.img";
  ASSERT_NO_FATAL_FAILURE(MakeDrive(directory, true, 60));
  ASSERT_NO_FATAL_FAILURE(MakeImage(directory, made, "mbr"));
  ASSERT_EQ(RunProgram({"remove"}, kDrivers, directory).status, 0);
  const std::string left = ReadHostFile(directory + "/windows/SYSTEM.DAT");
  auto has = [](const std::string& mounted, const char* file) {
    return !mounted.empty() &&
           HostPathExists(mounted + "/windows/" + std::string(file));
  };
  const std::string image = work.path() + "/win98.img";
  const Kill kills[] = {
      {"while the appliance starts",
       [&](const std::string&, double seconds) {
         if (seconds < 3) return false;
         ProgramRun second = RunOnImage({"remove"}, image);
         EXPECT_EQ(second.status, 4);
         EXPECT_NE(second.err.find("in use by another run"), std::string::npos)
             << second.err;
         return true;
       }},
      {"while a silent KVM holds the appliance",
       [&](const std::string&, double seconds) { return seconds > 8; }, SIGKILL,
       true},
      {"by ^C during the sweeps",
       [&](const std::string& mounted, double) {
         return has(mounted, "SYSTEM.BRJ");
       },
       SIGINT},
      {"during the save", [&](const std::string& mounted,
                              double) { return has(mounted, "SYSTEM.BRB"); }},
  };
  const std::string out = work.path() + "/out";
  for (const Kill& kill : kills) {
    Shell("cp '" + made + "' '" + image + "'");
    RunUntil(image, work.path(), out, kill);
    if (kill.signal == SIGINT) {
      EXPECT_NE(ReadHostFile(out).find("Deleted file: "), std::string::npos)
          << kill.moment << ": " << ReadHostFile(out);
    }
    ReadBack killed = CopyOut(image, "mbr", work.path() + "/killed");
    const std::string summary =
        killed.fsck.substr(killed.fsck.find(": ", killed.fsck.find('\n')) + 2);
    std::cout << "[ KILLED   ] " << kill.moment
              << ": fsck.fat -n: " << (killed.clean ? "clean, " : "NOT CLEAN: ")
              << summary;
    ProgramRun next = RunOnImage({"remove"}, image);
    EXPECT_EQ(next.status, 0) << kill.moment << next.err;
    ReadBack finished = CopyOut(image, "mbr", work.path() + "/finished");
    EXPECT_TRUE(finished.clean) << kill.moment << finished.fsck;
    EXPECT_TRUE(ReadHostFile(work.path() + "/finished/windows/SYSTEM.DAT") ==
                left)
        << kill.moment;
    Shell("rm -rf '" + work.path() + "/killed' '" + work.path() + "/finished'");
  }
}

// Images that are broken or not what they claim: each refused with one
// line and status 4, within the time of a run, the host untouched.
TEST(ImageHostileTest, EachIsRefusedWithOneLine) {
  TOOLS_OR_SKIP();
  TempDirectory work;
  const std::string drive = work.path() + "/drive";
  ASSERT_NO_FATAL_FAILURE(MakeDrive(drive, true, 60));
  const std::string good = work.path() + "/good.img";
  ASSERT_NO_FATAL_FAILURE(MakeImage(drive, good, "mbr"));
  struct Hostile {
    const char* name;
    std::string file;
    std::string make;  // a shell script that makes it from good.img
    std::string says;
    std::string after = "";  // a shell script that checks what is left
    // Refused from the file alone: no appliance may start (a qemu that
    // fails at once stands in, whose failure would show).
    bool beforeStart = false;
  };
  const std::string w = "'" + work.path() + "'";
  const Hostile cases[] = {
      {"an unknown extension", "win98.iso",
       "cp " + w + "/good.img " + w + "/win98.iso",
       "not a disk image this program knows"},
      {"a floppy image cut short", "cut.ima",
       kSource + "/tests/image/make_image.sh " + w + "/drive " + w +
           "/cut.ima bare && truncate -s 8M " + w + "/cut.ima",
       "and the file has 8388608: the image is cut short", "", true},
      {"a partition that starts past the end", "past.img",
       "cp " + w + "/good.img " + w +
           "/past.img; "
           "printf '\\377\\377\\377\\0' | dd of=" +
           w + "/past.img bs=1 seek=454 conv=notrunc status=none",
       "partition 1 needs", "", true},
      {"an empty image", "empty.vhd", "touch " + w + "/empty.vhd",
       "empty.vhd: the image is empty", "", true},
      {"a qcow2 image cut short in its header", "short.qcow2",
       "qemu-img create -q -f qcow2 " + w + "/whole.qcow2 64M && head -c 40 " +
           w + "/whole.qcow2 > " + w + "/short.qcow2",
       "its qcow2 header needs 72 bytes and the file has 40", "", true},
      {"a VDI image that is none", "none.vdi",
       "head -c 1048576 " + w + "/good.img > " + w + "/none.vdi",
       "it holds no VDI header: the image is cut short, or is not a VDI image",
       "", true},
      {"a loop in SYSTEM.DAT's cluster chain", "loop.img",
       "cp " + w + "/good.img " + w + "/loop.img; " + kSource +
           "/tests/image/loop_fat.py " + w + "/loop.img",
       "loop.img"},
      {"SYSTEM.DAT a directory", "folder.img",
       "mkdir -p " + w + "/folder/windows/SYSTEM.DAT && echo x > " + w +
           "/folder/windows/SYSTEM.DAT/x && " + kSource +
           "/tests/image/make_image.sh " + w + "/folder " + w + "/folder.img",
       "SYSTEM.DAT"},
      {"no Windows file system", "empty.qcow2",
       "mkdir -p " + w + "/empty && echo x > " + w + "/empty/x && " + kSource +
           "/tests/image/make_image.sh " + w + "/empty " + w + "/empty.qcow2",
       "no FAT file system holds WINDOWS\\SYSTEM.DAT"},
      {"two Windows file systems", "twice.vdi",
       kSource + "/tests/image/make_image.sh " + w + "/drive " + w +
           "/twice.vdi twice",
       "more than one FAT file system holds WINDOWS\\SYSTEM.DAT"},
      // A guest can write into its own raw disk a qcow2 header that names a
      // file of the host as its backing file: read by its name, the image
      // is raw, and the named file is never opened.
      {"a raw image holding a qcow2 header", "header.img",
       "cp " + w + "/good.img " + w + "/backing.img && qemu-img create -q " +
           "-f qcow2 -b " + w + "/backing.img -F raw " + w +
           "/header.qcow2 && head -c 65536 " + w + "/header.qcow2 > " + w +
           "/header.img && truncate -s 64M " + w +
           "/header.img && touch -a -d 2000-01-01 " + w + "/backing.img",
       "no FAT file system holds WINDOWS\\SYSTEM.DAT",
       "test \"$(stat -c %X " + w + "/backing.img)\" = 946684800"},
      // Each mistake a user makes most, refused with its own reason.
      {"a virtual machine still running on it", "running.img",
       "cp " + w + "/good.img " + w +
           "/running.img && qemu-nbd --fork -f raw --pid-file=" + w +
           "/nbd.pid -k " + w + "/nbd.sock " + w + "/running.img",
       "in use by another program, perhaps a virtual machine still running "
       "on it (qemu: Failed to get shared \"write\" lock)",
       "kill $(cat " + w + "/nbd.pid)"},
      {"an image that cannot be written", "fixed.img",
       "cp " + w + "/good.img " + w + "/fixed.img && chattr +i " + w +
           "/fixed.img",
       "fixed.img: cannot be written: Operation not permitted",
       "chattr -i " + w + "/fixed.img"},
      {"no such image", "nope.img", "true",
       "nope.img: No such file or directory"},
      {"an overlay whose base is gone", "overlay.qcow2",
       "qemu-img create -q -f raw " + w + "/base.img 64M && qemu-img create " +
           "-q -f qcow2 -b " + w + "/base.img -F raw " + w +
           "/overlay.qcow2 && rm " + w + "/base.img",
       "its base image cannot be opened (qemu: Could not open backing file: "
       "Could not open '" +
           work.path() +
           "/base.img': No such file or "
           "directory)"},
      {"an image a stopped run is still closing", "closing.img",
       // The run starts only once the lock is held: on a busy machine the
       // background flock may otherwise come second.
       "cp " + w + "/good.img " + w + "/closing.img && (exec 9<" + w +
           "/closing.img && flock 9 && exec sleep 61) >/dev/null 2>&1 & " +
           "echo $! > " + w + "/closing.pid; while flock -n " + w +
           "/closing.img true; do sleep 0.1; done",
       "a run that was stopped is still closing the image (waited 30 s)",
       "kill $(cat " + w + "/closing.pid)"},
  };
  const std::string host = ListDrive(kDrivers);
  for (const Hostile& c : cases) {
    ProgramRun made = Shell(c.make);
    ASSERT_EQ(made.status, 0) << c.name << made.err;
    const auto start = std::chrono::steady_clock::now();
    ProgramRun run =
        RunOnImage({"remove"}, work.path() + "/" + c.file, SharedCache(),
                   c.beforeStart ? std::vector<std::string>{"LIBGUESTFS_HV="
                                                            "/bin/false"}
                                 : std::vector<std::string>());
    run.err = WithoutKvmLines(run.err);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(run.status, 4) << c.name << run.out << run.err;
    EXPECT_EQ(run.out, "") << c.name;
    EXPECT_EQ(run.err.rfind("brindle: ", 0), 0u) << c.name << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1)
        << c.name << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << run.err;
    if (!c.after.empty()) {
      EXPECT_EQ(Shell(c.after).status, 0) << c.name;
    }
    std::cout << "[ REFUSED  ] " << c.name << " in " << seconds
              << " s: " << run.err;
  }
  EXPECT_TRUE(ListDrive(kDrivers) == host);
}

}  // namespace
}  // namespace brindle
