#include "platform/hosted/machine/drive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

// A drive C: holding WINDOWS\SYSTEM\TAVCOM.SYS, a read-only KELVCLAS.SYS,
// a plain file where a directory could be, and a directory where a file
// could be.
class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHostFile(Host("WINDOWS/SYSTEM/TAVCOM.SYS"), "old");
    WriteHostFile(Host("WINDOWS/plain"), "p");
    WriteHostFile(Host("WINDOWS/SYSTEM/KELVCLAS.SYS"), "read-only");
    ::chmod(Host("WINDOWS/SYSTEM/KELVCLAS.SYS").c_str(), 0444);
    MakeHostDirectories(Host("WINDOWS/SYSTEM/folder.sys"));
    MakeHostDirectories(Host("WINDOWS/INF"));
    WriteHostFile(drivers_.path() + "/tavcom.sys", "new driver");
    WriteHostFile(drivers_.path() + "/Kelv1.INF", "inf");
    MakeHostDirectories(drivers_.path() + "/subdir");
    ::chdir(drivers_.path().c_str());
  }
  void TearDown() override { ::chdir("/"); }
  std::string Host(const std::string& path) const {
    return machine_.path() + "/drive_c/" + path;
  }

  TempDirectory machine_;
  TempDirectory drivers_;
};

TEST_F(DriveTest, DeleteFileCodes) {
  struct Case {
    const char* path;
    ErrorCode code;
  };
  const Case cases[] = {
      {"c:\\windows\\system\\absent.sys", 2},
      {"c:\\windows\\nowhere\\tavcom.sys", 3},
      {"c:\\windows\\plain\\tavcom.sys", 3},
      {"c:\\windows\\system\\folder.sys", 5},
      {"c:\\windows\\system\\kelvclas.sys", 5},  // even for root
      {"d:\\windows\\system\\tavcom.sys", 3},
      {"\\\\server\\share\\tavcom.sys", 3},
      {"c:\\windows\\system\\bad|name", 123},
      {"C:\\Windows\\System\\TavCom.Sys", 0},
  };
  for (const Case& c : cases) {
    Drive drive(machine_.path() + "/drive_c");
    EXPECT_EQ(drive.DeleteFile(c.path), c.code) << c.path;
  }
  EXPECT_FALSE(HostPathExists(Host("WINDOWS/SYSTEM/TAVCOM.SYS")));
}

TEST_F(DriveTest, DotsStayBelowTheRoot) {
  WriteHostFile(machine_.path() + "/outside.sys", "keep");
  Drive drive(machine_.path() + "/drive_c");
  EXPECT_EQ(drive.DeleteFile("c:\\..\\..\\outside.sys"), 2u);
  EXPECT_EQ(drive.DeleteFile("c:\\windows\\.\\..\\windows\\system\\tavcom.sys"),
            0u);
  EXPECT_TRUE(HostPathExists(machine_.path() + "/outside.sys"));
}

TEST_F(DriveTest, CopyFileCodes) {
  struct Case {
    const char* source;
    const char* destination;
    ErrorCode code;
  };
  const Case cases[] = {
      {"absent.sys", "c:\\windows\\system\\absent.sys", 2},
      {"subdir", "c:\\windows\\system\\subdir", 5},
      {"tavcom.sys", "c:\\windows\\nowhere\\tavcom.sys", 3},
      {"tavcom.sys", "c:\\windows\\plain\\tavcom.sys", 3},
      {"tavcom.sys", "c:\\windows\\system\\folder.sys", 5},
      {"tavcom.sys", "c:\\windows\\system\\kelvclas.sys", 5},
      {"tavcom.sys", "e:\\tavcom.sys", 3},
      {"kelv1.inf", "c:\\windows\\inf\\zelkelv1.inf", 0},
      {"tavcom.sys", "c:\\windows\\system\\tavcom.sys", 0},
  };
  for (const Case& c : cases) {
    Drive drive(machine_.path() + "/drive_c");
    EXPECT_EQ(drive.CopyFile(c.source, c.destination), c.code) << c.source;
  }
  // Overwritten under the name it had; the source's content and time kept.
  EXPECT_EQ(ReadHostFile(Host("WINDOWS/SYSTEM/TAVCOM.SYS")), "new driver");
  EXPECT_FALSE(HostPathExists(Host("WINDOWS/SYSTEM/tavcom.sys")));
  EXPECT_EQ(ReadHostFile(Host("WINDOWS/INF/zelkelv1.inf")), "inf");
  struct stat source, copy;
  ASSERT_EQ(::stat((drivers_.path() + "/tavcom.sys").c_str(), &source), 0);
  ASSERT_EQ(::stat(Host("WINDOWS/SYSTEM/TAVCOM.SYS").c_str(), &copy), 0);
  EXPECT_EQ(source.st_mtim.tv_sec, copy.st_mtim.tv_sec);
  EXPECT_EQ(source.st_mtim.tv_nsec, copy.st_mtim.tv_nsec);
  // Nothing is left beside the copies.
  EXPECT_FALSE(HostPathExists(Host("WINDOWS/SYSTEM/TAVCOM.SYS.brindle-new")));
}

TEST_F(DriveTest, AttributesAndDirectoryCreation) {
  Drive drive(machine_.path() + "/drive_c");
  struct Case {
    const char* path;
    ErrorCode code;
    std::uint32_t attributes;
  };
  const Case cases[] = {
      {"c:\\windows\\system", 0, 0x10},
      {"C:\\WINDOWS\\SYSTEM\\tavcom.sys", 0, 0x20},
      {"c:\\", 0, 0x10},
      {"c:\\windows\\absent", 2, 0},
      {"c:\\windows\\absent\\deeper", 3, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t attributes = 0;
    EXPECT_EQ(drive.GetAttributes(c.path, &attributes), c.code) << c.path;
    if (c.code == 0) {
      EXPECT_EQ(attributes, c.attributes) << c.path;
    }
  }
  EXPECT_EQ(drive.CreateDirectory("c:\\windows\\INF"), 183u);
  EXPECT_EQ(drive.CreateDirectory("c:\\windows\\plain"), 183u);
  EXPECT_EQ(drive.CreateDirectory("c:\\windows\\absent\\other"), 3u);
  EXPECT_EQ(drive.CreateDirectory("c:\\windows\\inf\\Other"), 0u);
  EXPECT_TRUE(HostPathExists(Host("WINDOWS/INF/Other")));
}

TEST_F(DriveTest, LinksLeadingOutOfTheMachineAreRefused) {
  TempDirectory outside;
  WriteHostFile(outside.path() + "/victim.sys", "keep");
  ASSERT_EQ(::symlink(outside.path().c_str(), Host("WINDOWS/escape").c_str()),
            0);
  ASSERT_EQ(::symlink((outside.path() + "/victim.sys").c_str(),
                      Host("WINDOWS/SYSTEM/link.sys").c_str()),
            0);
  Drive drive(machine_.path() + "/drive_c");
  EXPECT_EQ(drive.DeleteFile("c:\\windows\\escape\\victim.sys"), 5u);
  EXPECT_EQ(drive.CopyFile("tavcom.sys", "c:\\windows\\escape\\victim.sys"),
            5u);
  EXPECT_EQ(drive.CopyFile("tavcom.sys", "c:\\windows\\system\\link.sys"), 5u);
  EXPECT_EQ(drive.DeleteFile("c:\\windows\\system\\link.sys"), 5u);
  EXPECT_EQ(drive.CreateDirectory("c:\\windows\\escape\\made"), 5u);
  EXPECT_EQ(ReadHostFile(outside.path() + "/victim.sys"), "keep");
  EXPECT_FALSE(HostPathExists(outside.path() + "/made"));
}

TEST_F(DriveTest, ALinkedDriveIsFollowed) {
  TempDirectory elsewhere;
  ::symlink(machine_.path().c_str(), (elsewhere.path() + "/c").c_str());
  Drive drive(elsewhere.path() + "/c/drive_c");
  EXPECT_EQ(drive.DeleteFile("c:\\windows\\system\\tavcom.sys"), 0u);
}

}  // namespace
}  // namespace brindle
