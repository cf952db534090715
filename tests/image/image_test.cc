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
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"

namespace brindle {
namespace {

const std::string kSource = BRINDLE_SOURCE_DIR;
const std::string kDrivers = kSource + "/examples/drivers";
const std::string kRealHive = kSource + "/../shared/hives/SYSTEM.DAT";
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
};

void PrintTo(const ImageCase& c, std::ostream* out) { *out << c.file; }

class ImageTest : public ::testing::TestWithParam<ImageCase> {};

// The same drive as a directory and as an image of each format, the same
// runs: the same transcripts and statuses, the same hive byte for byte,
// the same files; fsck.fat finds each file system clean after each run.
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
  int step = 0;
  for (const char* mode : {"remove", "install", "remove"}) {
    ProgramRun onImage = RunProgram({mode}, kDrivers, image);
    ProgramRun onDirectory = RunProgram({mode}, kDrivers, directory);
    EXPECT_EQ(onImage.out, onDirectory.out) << mode;
    EXPECT_EQ(onImage.status, onDirectory.status) << mode;
    EXPECT_EQ(onImage.err, "") << mode;
    if (c.readOnly != nullptr && std::string(mode) == "remove") {
      EXPECT_EQ(onImage.status, 3);
      EXPECT_NE(onImage.out.find("Can not delete file 'c:\\windows\\system\\"
                                 "tavcom.sys'.\nAccess denied.  Reboot"),
                std::string::npos)
          << onImage.out;
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
        ImageCase{"GeneratedQcow2", "big.qcow2", "mbr", false, 30000}),
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

// The program on `image` from the driver directory, killed when `until`
// says so (it is asked every 10 ms with the directory the image is mounted
// at, once there is one) or after five minutes.
void RunUntil(const std::string& image, const std::string& temporary,
              const std::function<bool(const std::string&, double)>& until) {
  const auto start = std::chrono::steady_clock::now();
  pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(kDrivers.c_str()) != 0) ::_exit(126);
    ::setenv("BRINDLE_MACHINE", image.c_str(), 1);
    ::setenv("TMPDIR", temporary.c_str(), 1);
    ::dup2(::open("/dev/null", O_WRONLY), 1);  // not the test's own buffer
    ::execl(BRINDLE_BINARY, BRINDLE_BINARY, "remove",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int status = 0; ::waitpid(child, &status, WNOHANG) == 0;) {
    const std::string mounted = MountedIn(temporary);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    if (until(mounted, seconds) || seconds > 300) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The appliance's own process closes the image once the run is gone,
  // lets go of its lock last, and leaves no mount behind.
  Shell("while ! flock -n '" + image + "' true; do sleep 0.2; done");
  EXPECT_EQ(MountedIn(temporary), "");
}

// Runs killed at three moments leave an image the next run finishes, with
// the hive an uninterrupted run leaves; fsck.fat's verdict after each kill
// is printed. A second run while one holds the image is refused.
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
  struct Kill {
    const char* moment;
    std::function<bool(const std::string&, double)> until;
  };
  const std::string image = work.path() + "/win98.img";
  const Kill kills[] = {
      {"while the appliance starts",
       [&](const std::string&, double seconds) {
         if (seconds < 3) return false;
         ProgramRun second = RunProgram({"remove"}, kDrivers, image);
         EXPECT_EQ(second.status, 4);
         EXPECT_NE(second.err.find("in use by another run"), std::string::npos)
             << second.err;
         return true;
       }},
      {"during the sweeps", [&](const std::string& mounted,
                                double) { return has(mounted, "SYSTEM.BRJ"); }},
      {"during the save", [&](const std::string& mounted,
                              double) { return has(mounted, "SYSTEM.BRB"); }},
  };
  for (const Kill& kill : kills) {
    Shell("cp '" + made + "' '" + image + "'");
    RunUntil(image, work.path(), kill.until);
    ReadBack killed = CopyOut(image, "mbr", work.path() + "/killed");
    const std::string summary =
        killed.fsck.substr(killed.fsck.find(": ", killed.fsck.find('\n')) + 2);
    std::cout << "[ KILLED   ] " << kill.moment
              << ": fsck.fat -n: " << (killed.clean ? "clean, " : "NOT CLEAN: ")
              << summary;
    ProgramRun next = RunProgram({"remove"}, kDrivers, image);
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
  };
  const std::string w = "'" + work.path() + "'";
  const Hostile cases[] = {
      {"an unknown extension", "win98.iso",
       "cp " + w + "/good.img " + w + "/win98.iso",
       "not a disk image this program knows"},
      {"a floppy image cut short", "cut.ima",
       kSource + "/tests/image/make_image.sh " + w + "/drive " + w +
           "/cut.ima bare && truncate -s 8M " + w + "/cut.ima",
       "the image is cut short"},
      {"a partition that starts past the end", "past.img",
       "cp " + w + "/good.img " + w +
           "/past.img; "
           "printf '\\377\\377\\377\\0' | dd of=" +
           w + "/past.img bs=1 seek=454 conv=notrunc status=none",
       "no FAT file system holds"},
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
           "/running.img && qemu-nbd --fork -f raw " + "-k " + w +
           "/nbd.sock " + w + "/running.img",
       "in use by another program, perhaps a virtual machine still running "
       "on it (qemu: Failed to get shared \"write\" lock)",
       "pkill -f 'qemu-nb[d].*running.img'"},
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
       "cp " + w + "/good.img " + w + "/closing.img && (flock " + w +
           "/closing.img sleep 61 >/dev/null 2>&1 &) && while flock -n " + w +
           "/closing.img true; do sleep 0.1; done",
       "a run that was stopped is still closing the image (waited 30 s)",
       "pkill -f 'sleep 6[1]'"},
  };
  const std::string host = ListDrive(kDrivers);
  for (const Hostile& c : cases) {
    ProgramRun made = Shell(c.make);
    ASSERT_EQ(made.status, 0) << c.name << made.err;
    const auto start = std::chrono::steady_clock::now();
    ProgramRun run =
        RunProgram({"remove"}, kDrivers, work.path() + "/" + c.file);
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
