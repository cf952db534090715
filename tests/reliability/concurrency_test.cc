// Two runs on one machine at once: one works, the other is refused with
// status 4 and says so, and nothing is lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/scenario.h"
#include "tests/support/test_machine.h"
#include "tools/genmachine/machine_generator.h"

namespace brindle {
namespace {

// Starts the program on `machine` with its output in `prefix`.out and .err.
pid_t Start(const std::string& machine, const std::string& prefix) {
  pid_t child = ::fork();
  if (child == 0) {
    int out =
        ::open((prefix + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err =
        ::open((prefix + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::setenv("BRINDLE_MACHINE", machine.c_str(), 1);
    ::execl(BRINDLE_BINARY, BRINDLE_BINARY, "remove",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

int Wait(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConcurrencyTest, ASecondRunWhileOneHoldsTheMachineIsRefused) {
  TempDirectory work;
  MachineOptions options;
  options.keys = 1000;
  options.directory = work.path() + "/machine";
  ASSERT_EQ(GenerateMachine(options), 0);
  std::string before = ReadHostFile(options.directory + "/registry.reg");
  int lock = ::open(options.directory.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  ProgramRun refused = RunProgram({"remove"}, work.path(), options.directory);
  ::close(lock);
  EXPECT_EQ(refused.status, 4);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("in use by another run"), std::string::npos)
      << refused.err;
  EXPECT_EQ(ReadHostFile(options.directory + "/registry.reg"), before);
}

TEST(ConcurrencyTest, TwoRunsStartedTogetherNeverBothWorkOnTheMachine) {
  TempDirectory work;
  MachineOptions options;
  options.keys = 50000;
  options.matchShare = 0.2;
  options.directory = work.path() + "/pristine";
  ASSERT_EQ(GenerateMachine(options), 0);
  std::string reference = work.path() + "/reference";
  ASSERT_EQ(
      RunCommand({"cp", "-a", options.directory, reference}, "", {}).status, 0);
  ASSERT_EQ(RunProgram({"remove"}, work.path(), reference).status, 0);
  const std::string expected = ReadHostFile(reference + "/registry.reg");

  int refusals = 0;
  for (int trial = 0; trial < 10; ++trial) {
    std::string machine = work.path() + "/machine" + std::to_string(trial);
    ASSERT_EQ(
        RunCommand({"cp", "-a", options.directory, machine}, "", {}).status, 0);
    pid_t first = Start(machine, machine + "-1");
    pid_t second = Start(machine, machine + "-2");
    int statuses[] = {Wait(first), Wait(second)};
    for (int i = 0; i < 2; ++i) {
      std::string prefix = machine + "-" + std::to_string(i + 1);
      if (statuses[i] == 4) {
        ++refusals;
        EXPECT_EQ(ReadHostFile(prefix + ".out"), "");
        EXPECT_NE(ReadHostFile(prefix + ".err").find("in use"),
                  std::string::npos);
      } else {
        // A run that got the machine, first or after the other's end.
        EXPECT_EQ(statuses[i], 0) << ReadHostFile(prefix + ".err");
      }
    }
    EXPECT_FALSE(statuses[0] == 4 && statuses[1] == 4);
    // Whatever the order, the machine ends as one remove leaves it.
    EXPECT_EQ(ReadHostFile(machine + "/registry.reg"), expected)
        << "trial " << trial;
    EXPECT_FALSE(HostPathExists(machine + "/registry.log"));
  }
  std::cout << "[ RACES    ] 10 pairs of runs, " << refusals << " refused\n";
  EXPECT_GT(refusals, 0);
}

}  // namespace
}  // namespace brindle
