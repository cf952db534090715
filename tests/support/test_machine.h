// Machines for tests: an in-memory one for the operations, and one on disk
// for runs of the built program.
#ifndef BRINDLE_TESTS_SUPPORT_TEST_MACHINE_H_
#define BRINDLE_TESTS_SUPPORT_TEST_MACHINE_H_

#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/hosted/machine/drive.h"
#include "platform/hosted/machine/hosted_platform.h"
#include "platform/hosted/machine/stream_output.h"
#include "platform/hosted/registry/registry.h"
#include "tests/support/fault_platform.h"

namespace brindle {

/// A temporary directory, removed with everything in it.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Writes `content` to the host file `path`, making its directories.
void WriteHostFile(const std::string& path, std::string_view content);
/// The whole content of a host file; empty when it cannot be read.
std::string ReadHostFile(const std::string& path);
/// Makes a host directory and its parents.
void MakeHostDirectories(const std::string& path);
/// True when something of that name exists on the host.
bool HostPathExists(const std::string& path);

/// A registry from REGEDIT4 text and a drive C: in a temporary directory,
/// served through a FaultPlatform, printing into a string.
class TestMachine {
 public:
  explicit TestMachine(std::string_view registryText = "REGEDIT4\n");

  FaultPlatform& platform() { return faults_; }
  Console& console() { return console_; }
  std::string output() const { return out_.str(); }
  /// The registry as regedit would export it, LF line ends.
  std::string RegistryText() const;
  /// True when the key at this path below HKEY_LOCAL_MACHINE exists.
  bool HasKey(std::string_view path) const;
  /// The host directory holding drive_c.
  const std::string& directory() const { return directory_.path(); }
  /// The host path of a path relative to C:\, with forward slashes.
  std::string OnDrive(const std::string& path) const;

 private:
  TempDirectory directory_;
  Registry registry_;
  std::unique_ptr<Drive> drive_;
  std::unique_ptr<HostedPlatform> hosted_;
  FaultPlatform faults_;
  std::ostringstream out_;
  StreamOutput outStream_{out_};
  Console console_;
};

/// The current directory changed for a scope, as a driver directory.
class InDirectory {
 public:
  explicit InDirectory(const std::string& path);
  ~InDirectory();

 private:
  std::string previous_;
};

/// What a run of the built program printed and ended with.
struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;
};

/// Runs `command` (a path and its arguments) in `directory` (unless empty),
/// with `environment` ("NAME=value", or "NAME" to unset) added.
ProgramRun RunCommand(const std::vector<std::string>& command,
                      const std::string& directory,
                      const std::vector<std::string>& environment);

/// Runs the built program with `arguments` in `directory`, BRINDLE_MACHINE
/// set to `machine` unless it is empty.
ProgramRun RunProgram(const std::vector<std::string>& arguments,
                      const std::string& directory, const std::string& machine);

}  // namespace brindle

#endif  // BRINDLE_TESTS_SUPPORT_TEST_MACHINE_H_
