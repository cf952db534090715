#include "tests/support/test_machine.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/hosted/forms/regedit4.h"

namespace brindle {
namespace {

// A test program whose runner is gone (ctest timed out, or was killed)
// ends too, and so do the runs it started, each of which ends with it:
// nothing is left spinning under init. A disk image's own process then
// closes the image, as it does for any run that was stopped.
bool EndWithTheRunner() { return ::prctl(PR_SET_PDEATHSIG, SIGTERM) == 0; }
const bool kEndsWithTheRunner = EndWithTheRunner();

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::chmod(path, 0755);
  return ::remove(path);
}

}  // namespace

TempDirectory::TempDirectory() {
  char pattern[] = "/tmp/brindle-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void MakeHostDirectories(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      ::mkdir(path.substr(0, at).c_str(), 0755);
    }
  }
}

void WriteHostFile(const std::string& path, std::string_view content) {
  MakeHostDirectories(path.substr(0, path.rfind('/')));
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool HostPathExists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

namespace {

std::string MakeDrive(const std::string& directory) {
  std::string drive = directory + "/drive_c";
  MakeHostDirectories(drive);
  return drive;
}

}  // namespace

TestMachine::TestMachine(std::string_view registryText)
    : drive_(std::make_unique<Drive>(MakeDrive(directory_.path()))),
      hosted_(std::make_unique<HostedPlatform>(registry_, *drive_, nullptr)),
      faults_(*hosted_),
      console_(faults_, outStream_) {
  LoadFault fault;
  if (!ReadRegedit4(registryText, registry_, &fault)) {
    throw std::runtime_error("test registry line " + std::to_string(fault.at) +
                             ": " + fault.what);
  }
}

std::string TestMachine::RegistryText() const {
  return Regedit4Text(registry_, "\n");
}

bool TestMachine::HasKey(std::string_view path) const {
  const RegistryKey* root = registry_.top.FindSubkey("HKEY_LOCAL_MACHINE");
  return root != nullptr && FindKeyPath(*root, path) != nullptr;
}

std::string TestMachine::OnDrive(const std::string& path) const {
  return directory_.path() + "/drive_c/" + path;
}

InDirectory::InDirectory(const std::string& path) {
  char* here = ::getcwd(nullptr, 0);
  previous_ = here != nullptr ? here : "/";
  std::free(here);
  if (::chdir(path.c_str()) != 0) throw std::runtime_error("chdir " + path);
}

InDirectory::~InDirectory() {
  if (::chdir(previous_.c_str()) != 0) std::abort();
}

ProgramRun RunCommand(const std::vector<std::string>& command,
                      const std::string& directory,
                      const std::vector<std::string>& environment) {
  TempDirectory capture;
  std::string outPath = capture.path() + "/out";
  std::string errPath = capture.path() + "/err";
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
    for (const std::string& setting : environment) {
      std::size_t equals = setting.find('=');
      if (equals == std::string::npos) {
        ::unsetenv(setting.c_str());
      } else {
        ::setenv(setting.substr(0, equals).c_str(),
                 setting.substr(equals + 1).c_str(), 1);
      }
    }
    std::vector<std::string> copies = command;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ProgramRun run;
  run.out = ReadHostFile(outPath);
  run.err = ReadHostFile(errPath);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

ProgramRun RunProgram(const std::vector<std::string>& arguments,
                      const std::string& directory,
                      const std::string& machine) {
  std::vector<std::string> command = {BRINDLE_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunCommand(
      command, directory,
      {machine.empty() ? "BRINDLE_MACHINE" : "BRINDLE_MACHINE=" + machine});
}

}  // namespace brindle
