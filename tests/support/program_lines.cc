#include "tests/support/program_lines.h"

#include <regex>
#include <set>

#include "platform/hosted/machine/windows_errors.h"

namespace brindle {

bool IsProgramLine(const std::string& line) {
  static const std::regex forms(
      "|Brindle Pre-Install Program Version 1\\.1|Done"
      "|To (un)?install the port replicator, type:|      brindle "
      "(install|remove)"
      "|Deleted file: c:\\\\.*|Deleted key : .*"
      "|Copied file: .* to c:\\\\.*|Created directory: "
      "c:\\\\windows\\\\inf\\\\other"
      "|Can not (delete|open|enumerate|close|get|set|copy|create) .*"
      "|Access denied\\.  Reboot the computer and run this program again\\."
      "|System error [0-9]+\\.");
  if (std::regex_match(line, forms)) return true;
  // The system's texts, gathered once rather than looked up code by code
  // for every line.
  static const std::set<std::string> texts = [] {
    std::set<std::string> all;
    for (ErrorCode code = 0; code < 2000; ++code) {
      if (const char* text = SystemText(code)) all.insert(text);
    }
    return all;
  }();
  return texts.count(line) != 0;
}

std::vector<std::string> ForeignLines(const std::string& output) {
  std::vector<std::string> foreign;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!IsProgramLine(line)) foreign.push_back(line);
    start = end + 1;
  }
  return foreign;
}

const char UsageRunOutput[] =
    "\nBrindle Pre-Install Program Version 1.1\n\n"
    "To install the port replicator, type:\n"
    "\n"
    "      brindle install\n"
    "\n"
    "To uninstall the port replicator, type:\n"
    "\n"
    "      brindle remove\n"
    "\n"
    "Done\n";

const std::vector<CommandLineCase> CommandLineCases = {
    {{}, CommandLineCase::Usage},
    {{"install"}, CommandLineCase::Install},
    {{"INSTALL"}, CommandLineCase::Install},
    {{"InStAlL"}, CommandLineCase::Install},
    {{"remove"}, CommandLineCase::Remove},
    {{"REMOVE", "install"},
     CommandLineCase::Remove,
     CommandLineCase::NamesMachine},
    {{"install", "a b", "c\\\"d"},
     CommandLineCase::Install,
     CommandLineCase::Refused,
     "c\\\"d"},
    {{"help", "remove"}, CommandLineCase::Usage},
    {{"-?", "install"}, CommandLineCase::Usage, CommandLineCase::Refused, "-?"},
    // Linux's own: options anywhere, -- before a word that begins with -.
    {{"--dryrun", "remove"},
     CommandLineCase::Usage,
     CommandLineCase::Refused,
     "--dryrun"},
    {{"remove", "--dry-ru"},
     CommandLineCase::Remove,
     CommandLineCase::Refused,
     "--dry-ru"},
    {{"-n", "REMOVE"}, CommandLineCase::Usage, CommandLineCase::DryRun},
    {{"install", "--dry-run"},
     CommandLineCase::Install,
     CommandLineCase::DryRun},
    {{"--", "-n"}, CommandLineCase::Usage},
    {{"--help"}, CommandLineCase::Usage, CommandLineCase::Help},
    {{"remove", "-h"}, CommandLineCase::Remove, CommandLineCase::Help},
    {{"-V"}, CommandLineCase::Usage, CommandLineCase::Version},
    {{"--version", "install"},
     CommandLineCase::Usage,
     CommandLineCase::Version},
    {{"installx"}, CommandLineCase::Usage},
    {{"instal"}, CommandLineCase::Usage},
    {{"remov"}, CommandLineCase::Usage},
    {{""}, CommandLineCase::Usage},
    {{" remove"}, CommandLineCase::Usage},
    {{"re move"}, CommandLineCase::Usage},
    {{"\"remove\""}, CommandLineCase::Usage},
    {{"remove\\"}, CommandLineCase::Usage},
    // Only ASCII letters fold: a Latin-1 capital is no match for anything.
    {{"r\xC9move"}, CommandLineCase::Usage},
};

}  // namespace brindle
