// A scenario directory: a machine, a driver directory, the runs made on them
// and what they should leave.
#ifndef BRINDLE_TESTS_SUPPORT_SCENARIO_H_
#define BRINDLE_TESTS_SUPPORT_SCENARIO_H_

#include <string>
#include <vector>

namespace brindle {

class Scenario {
 public:
  explicit Scenario(std::string directory) : directory_(std::move(directory)) {}

  /// A file of the scenario; empty when there is none.
  std::string Read(const char* name) const;
  /// Makes the machine (registry.reg, drive_c) and the driver directory.
  void Lay(const std::string& machine, const std::string& sources) const;
  /// The driver files its driver directory holds.
  std::vector<std::string> Sources() const;
  /// The command lines to run, each split into its arguments.
  std::vector<std::vector<std::string>> Steps() const;
  /// Rewrites the expected files.
  void Update(const std::string& transcript, const std::string& registry,
              const std::string& drive) const;

  /// One run as the transcript shows it.
  static std::string TranscriptEntry(const std::vector<std::string>& step,
                                     const std::string& out, int status);
  /// The content a source file of that name is given.
  static std::string SourceContent(const std::string& name);

 private:
  std::string directory_;
};

/// The scenarios of tests/scenarios, sorted; with `underWine`, only those
/// Wine can set up (the others say why in not-under-wine.txt).
std::vector<std::string> ScenarioNames(bool underWine);

/// Drive C: as "d <path>" and "f <path> <content>" lines, sorted, with
/// backslashes, the way drive.txt describes it.
std::string ListDrive(const std::string& root,
                      const std::string& leaveOut = "");

/// Everything under `root` as a run could change it: each entry's path,
/// kind, permissions, size, modification time and content, a line each.
std::string TreeState(const std::string& root);

}  // namespace brindle

#endif  // BRINDLE_TESTS_SUPPORT_SCENARIO_H_
