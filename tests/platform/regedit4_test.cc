#include "platform/hosted/regedit4.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

std::string Export(const Registry& registry) {
  std::string text;
  WriteRegedit4(registry, [&](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

// Reads `text` and writes it back (the reader keeps its line end).
std::string RoundTrip(const std::string& text) {
  Registry registry;
  Regedit4Fault fault;
  EXPECT_TRUE(ReadRegedit4(text, registry, &fault))
      << "line " << fault.line << ": " << fault.what;
  return Export(registry);
}

std::string WithLineEnd(std::string text, const std::string& lineEnd) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += lineEnd;
    } else {
      out += c;
    }
  }
  return out;
}

const char kCanonical[] =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Enum]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB]\n"
    "@=\"default \\\"quoted\\\" c:\\\\path\"\n"
    "\"Empty\"=\"\"\n"
    "\"High\"=\"caf\xE9 \xFF\"\n"
    "\"Flags\"=dword:0000001f\n"
    "\"Bytes\"=hex:01,ab,ff\n"
    "\"None\"=hex(0):\n"
    "\"Expand\"=hex(2):25,53,79,73,00\n"
    "\"Odd\"=hex(1):41,42\n"
    "\"ShortDword\"=hex(4):01,02\n"
    "\"Custom\"=hex(1a2b):00\n"
    "\"Long binary value "
    "name\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,\\\n"
    "  "
    "10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,"
    "28,\\\n"
    "  29,2a,2b,2c,2d,2e,2f\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\zeta]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\Alpha]\n"
    "\n"
    "[HKEY_CURRENT_USER]\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software]\n"
    "\"a\"=\"b\"\n"
    "\n";

TEST(Regedit4Test, CanonicalFilesStayByteIdentical) {
  for (const char* lineEnd : {"\r\n", "\n"}) {
    std::string text = WithLineEnd(kCanonical, lineEnd);
    EXPECT_EQ(RoundTrip(text), text) << (lineEnd[0] == '\r' ? "CRLF" : "LF");
  }
}

TEST(Regedit4Test, HexWrapsWhereRegeditWrapsIt) {
  Registry registry;
  registry.lineEnd = "\n";
  registry.top.FindOrAddSubkey("HKEY_LOCAL_MACHINE")
      ->SetValue("a", 3, std::string(60, '\x11'));
  std::string text = Export(registry);
  // "a"=hex: counts 8; 23 bytes reach 77; then 25 bytes a line from 2.
  std::string first = "\"a\"=hex:";
  for (int i = 0; i < 23; ++i) first += "11,";
  std::string second = "  ";
  for (int i = 0; i < 25; ++i) second += "11,";
  std::string third = "  ";
  for (int i = 0; i < 11; ++i) third += "11,";
  third += "11";
  EXPECT_NE(text.find(first + "\\\n" + second + "\\\n" + third + "\n"),
            std::string::npos)
      << text;
}

TEST(Regedit4Test, HandMadeFilesKeepEveryKeyAndValue) {
  struct Case {
    const char* name;
    std::string input;
    std::string output;
  };
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\n";
  const Case cases[] = {
      {"comments, blanks and spacing",
       "REGEDIT4\n; made by hand\n\n  [HKEY_LOCAL_MACHINE\\A]  \n"
       "  \"x\" = \"1\"\n; between\n\"y\"= hex: 01, 02 ,\\\n   03\n"
       "\"z\" =dword:F\n",
       head + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"y\"=hex:01,02,03\n"
              "\"z\"=dword:0000000f\n\n"},
      {"parents made, listed later, merged",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"v\"=\"1\"\n[hkey_local_"
       "machine\\a]\n"
       "\"w\"=\"2\"\n[HKEY_LOCAL_MACHINE\\a\\b]\n\"V\"=\"3\"\n",
       head + "[HKEY_LOCAL_MACHINE\\A]\n\"w\"=\"2\"\n\n[HKEY_LOCAL_"
              "MACHINE\\A\\B]\n"
              "\"v\"=\"3\"\n\n"},
      {"deletions applied as read",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n[HKEY_LOCAL_MACHINE\\A]"
       "\n\"v\"=\"1\"\n"
       "\"w\"=\"2\"\n\"v\"=-\n[-HKEY_LOCAL_MACHINE\\a\\b]\n[-HKEY_LOCAL_"
       "MACHINE\\None]\n",
       head + "[HKEY_LOCAL_MACHINE\\A]\n\"w\"=\"2\"\n\n"},
      {"lone CR line ends", "REGEDIT4\r[HKEY_LOCAL_MACHINE\\A]\r\"v\"=\"1\"\r",
       WithLineEnd(head + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n\n", "\r\n")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RoundTrip(c.input), c.output) << c.name;
  }
}

TEST(Regedit4Test, MalformedTextIsRefusedWithItsLine) {
  struct Case {
    const char* input;
    std::size_t line;
  };
  const Case cases[] = {
      {"", 1},
      {"REGEDIT5\n", 1},
      {"\xEF\xBB\xBFREGEDIT4\n", 1},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"open\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,zz\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n  0g\n", 4},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:\n", 3},
      {"REGEDIT4\n\"v\"=\"1\"\n", 2},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n", 3},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2},
      {"REGEDIT4\n[HKLM\\A]\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\\tb\"\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\" trailing\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(z):01\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=text\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nstray words\n", 3},
  };
  for (const Case& c : cases) {
    Registry registry;
    Regedit4Fault fault;
    EXPECT_FALSE(ReadRegedit4(c.input, registry, &fault)) << c.input;
    EXPECT_EQ(fault.line, c.line) << c.input << ": " << fault.what;
    EXPECT_FALSE(fault.what.empty());
  }
}

}  // namespace
}  // namespace brindle
