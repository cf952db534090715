#include "tests/support/scenario.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

std::string HostPath(std::string windowsPath) {
  std::replace(windowsPath.begin(), windowsPath.end(), '\\', '/');
  return windowsPath;
}

void List(const std::string& host, const std::string& windows,
          const std::string& leaveOut, std::vector<std::string>* lines) {
  DIR* listing = ::opendir(host.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  for (const std::string& name : names) {
    std::string path = windows.empty() ? name : windows + "\\" + name;
    struct stat status;
    if (::lstat((host + "/" + name).c_str(), &status) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      lines->push_back("d " + path);
      List(host + "/" + name, path, leaveOut, lines);
    } else if (leaveOut.empty() || path.rfind(leaveOut, 0) != 0) {
      std::string content = ReadHostFile(host + "/" + name);
      while (!content.empty() && content.back() == '\n') content.pop_back();
      lines->push_back("f " + path + " " + content);
    }
  }
}

}  // namespace

std::string Scenario::Read(const char* name) const {
  return ReadHostFile(directory_ + "/" + name);
}

std::string Scenario::SourceContent(const std::string& name) {
  return name + " from the driver disk\n";
}

void Scenario::Lay(const std::string& machine,
                   const std::string& sources) const {
  WriteHostFile(machine + "/registry.reg", Read("registry.reg"));
  MakeHostDirectories(machine + "/drive_c");
  for (const std::string& line : Lines(Read("drive.txt"))) {
    std::string rest = line.substr(2);
    if (line[0] == 'd') {
      MakeHostDirectories(machine + "/drive_c/" + HostPath(rest));
    } else {
      std::size_t space = rest.find(' ');
      WriteHostFile(
          machine + "/drive_c/" + HostPath(rest.substr(0, space)),
          space == std::string::npos ? "" : rest.substr(space + 1) + "\n");
    }
  }
  for (const std::string& name : Sources()) {
    WriteHostFile(sources + "/" + name, SourceContent(name));
  }
}

std::vector<std::string> Scenario::Sources() const {
  return Lines(Read("sources.txt"));
}

std::vector<std::vector<std::string>> Scenario::Steps() const {
  std::vector<std::vector<std::string>> steps;
  for (const std::string& line : Lines(Read("steps.txt"))) {
    std::vector<std::string> arguments;
    std::istringstream words(line);
    std::string word;
    while (words >> word) arguments.push_back(word);
    steps.push_back(arguments);
  }
  return steps;
}

void Scenario::Update(const std::string& transcript,
                      const std::string& registry,
                      const std::string& drive) const {
  WriteHostFile(directory_ + "/transcript.txt", transcript);
  WriteHostFile(directory_ + "/expected.reg", registry);
  WriteHostFile(directory_ + "/expected-drive.txt", drive);
}

std::string Scenario::TranscriptEntry(const std::vector<std::string>& step,
                                      const std::string& out, int status) {
  std::string entry = "$ brindle";
  for (const std::string& argument : step) entry += " " + argument;
  return entry + "\n" + out + "[exit " + std::to_string(status) + "]\n";
}

std::vector<std::string> ScenarioNames(bool underWine) {
  std::vector<std::string> names;
  std::string root = std::string(BRINDLE_SOURCE_DIR) + "/tests/scenarios";
  if (DIR* listing = ::opendir(root.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      std::string name = entry->d_name;
      std::string directory = root + "/" + name;
      if (name[0] == '.' || !HostPathExists(directory + "/steps.txt")) continue;
      if (underWine && HostPathExists(directory + "/not-under-wine.txt"))
        continue;
      names.push_back(name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ListDrive(const std::string& root, const std::string& leaveOut) {
  std::vector<std::string> lines;
  List(root, "", leaveOut, &lines);
  std::sort(lines.begin(), lines.end(),
            [](const std::string& a, const std::string& b) {
              return a.substr(2) < b.substr(2);
            });
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

namespace {

std::vector<std::string>* treeLines = nullptr;  // TreeState's, while it walks

int NoteEntry(const char* path, const struct stat* status, int, struct FTW*) {
  std::ostringstream line;
  line << path << " " << std::oct << status->st_mode << std::dec << " "
       << status->st_size << " " << status->st_mtim.tv_sec << "."
       << status->st_mtim.tv_nsec;
  if (S_ISREG(status->st_mode))
    line << " " << std::hash<std::string>()(ReadHostFile(path));
  treeLines->push_back(line.str());
  return 0;
}

}  // namespace

std::string TreeState(const std::string& root) {
  std::vector<std::string> lines;
  treeLines = &lines;
  ::nftw(root.c_str(), NoteEntry, 16, FTW_PHYS);
  treeLines = nullptr;
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace brindle
