#include "platform/win32/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

std::vector<std::string> Split(const char* line, std::size_t storage = 256) {
  std::vector<char> buffer(storage);
  const char* arguments[8];
  int count =
      SplitCommandLine(line, buffer.data(), buffer.size(), arguments, 8);
  return std::vector<std::string>(arguments, arguments + count);
}

TEST(SplitCommandLineTest, SplitsAsTheMicrosoftRuntimeDoes) {
  struct LineCase {
    const char* line;
    std::vector<std::string> arguments;
  };
  const LineCase cases[] = {
      {"brindle", {"brindle"}},
      {"brindle  install\t", {"brindle", "install"}},
      {"brindle \"\"", {"brindle", ""}},
      {"brindle \"re move\" x", {"brindle", "re move", "x"}},
      {"brindle re\"mo ve\"x", {"brindle", "remo vex"}},
      // Backslashes count only before a quote.
      {"brindle a\\b a\\\\b", {"brindle", "a\\b", "a\\\\b"}},
      {"brindle a\\\"b", {"brindle", "a\"b"}},
      {"brindle a\\\\\"b c\"", {"brindle", "a\\b c"}},
      {"brindle a\\\\\\\"b", {"brindle", "a\\\"b"}},
      {"brindle \"a\\\\\"", {"brindle", "a\\"}},
      // Two quotes inside quotes give one and stay quoted.
      {"brindle \"a\"\"b c\"", {"brindle", "a\"b c"}},
      {"brindle \"open to the end", {"brindle", "open to the end"}},
      // The program name: quotes group, backslashes are kept, and a quoted
      // name ends at its closing quote.
      {"\"c:\\my dir\\brindle.exe\" remove",
       {"c:\\my dir\\brindle.exe", "remove"}},
      {"\"c:\\tools\\\"remove", {"c:\\tools\\", "remove"}},
      {"c:\\tools\\brindle.exe\\ remove",
       {"c:\\tools\\brindle.exe\\", "remove"}},
      {"", {""}},
  };
  for (const LineCase& c : cases) {
    EXPECT_EQ(Split(c.line), c.arguments) << c.line;
  }
}

TEST(SplitCommandLineTest, AnArgumentThatDoesNotFitEndsTheList) {
  // Never cut short: "installed" cut to "install" would select a mode.
  EXPECT_EQ(Split("brindle installed", 15),
            std::vector<std::string>{"brindle"});
  EXPECT_EQ(Split("brindle installed", 18),
            (std::vector<std::string>{"brindle", "installed"}));
  EXPECT_EQ(Split("brindle.exe", 5), std::vector<std::string>{});
}

}  // namespace
}  // namespace brindle
