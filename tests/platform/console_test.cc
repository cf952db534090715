#include "platform/console.h"

#include <gtest/gtest.h>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

TEST(ConsoleTest, PrintSystemErrorPrintsTheTextThenAnEmptyLine) {
  struct TextCase {
    ErrorCode code;
    const char* printed;
  };
  const TextCase cases[] = {
      {2, "The system cannot find the file specified.\n\n"},
      {3, "The system cannot find the path specified.\n\n"},
      {5, "Access is denied.\n\n"},
      {234, "More data is available.\n\n"},
      {1018,
       "Illegal operation attempted on a registry key that has been marked "
       "for deletion.\n\n"},
      // No text for the code: it is still named.
      {12345, "System error 12345.\n\n"},
      {0xFFFFFFFFu, "System error 4294967295.\n\n"},
  };
  for (const TextCase& c : cases) {
    TestMachine machine;
    machine.console().PrintSystemError(c.code);
    EXPECT_EQ(machine.output(), c.printed);
    EXPECT_TRUE(machine.console().failureReported());
    EXPECT_FALSE(machine.console().rebootAdvised());
    EXPECT_EQ(machine.platform().unreleasedTexts(), 0) << c.code;
  }
}

TEST(ConsoleTest, AsksForTheSystemsOwnTextAndReleasesIt) {
  TestMachine machine;
  machine.console().PrintSystemError(19);
  std::vector<std::string> expected = {"FormatMessageA(4352, 19, 1024)",
                                       "LocalFree()"};
  EXPECT_EQ(machine.platform().calls(), expected);
  EXPECT_EQ(machine.output(), "The media is write protected.\n\n");
}

TEST(ConsoleTest, FailedFormatMessageReleasesNothing) {
  TestMachine machine;
  machine.platform().Add({"FormatMessageA", 1, "", 0});
  machine.console().PrintSystemError(5);
  EXPECT_EQ(machine.platform().CallsTo("LocalFree").size(), 0u);
  EXPECT_EQ(machine.output(), "System error 5.\n\n");
}

TEST(ConsoleTest, PrintReplacesEachPlaceholderInTurnAndNothingElse) {
  TestMachine machine;
  machine.console().Print("'%s\\%s' 100%d\n", "Ports", "0000");
  EXPECT_EQ(machine.output(), "'Ports\\0000' 100%d\n");
  EXPECT_FALSE(machine.console().failureReported());
}

TEST(ConsoleTest, ControlBytesFromTheRegistryCannotBreakALine) {
  TestMachine machine;
  machine.console().Print("Deleted key : %s enum for %s\n", "USB",
                          "VID_0E7D\nDeleted file: c:\\x\r\x1b[2J\x7f\xe9");
  EXPECT_EQ(
      machine.output(),
      "Deleted key : USB enum for VID_0E7D?Deleted file: c:\\x??[2J?\xe9\n");
}

TEST(ConsoleTest, RebootAdviceStandsInForTheSystemText) {
  TestMachine machine;
  machine.console().PrintRebootAdvice();
  EXPECT_EQ(machine.output(),
            "Access denied.  Reboot the computer and run this program "
            "again.\n\n");
  EXPECT_TRUE(machine.console().rebootAdvised());
  EXPECT_TRUE(machine.platform().calls().empty());
}

}  // namespace
}  // namespace brindle
