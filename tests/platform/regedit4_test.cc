#include "platform/hosted/forms/regedit4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/platform.h"
#include "tools/genmachine/hive9x_writer.h"

namespace brindle {
namespace {

std::string Export(const Registry& registry,
                   std::string_view lineEnd = "\r\n") {
  return Regedit4Text(registry, lineEnd);
}

// Reads `text` and writes it back with the line end it read.
std::string RoundTrip(const std::string& text) {
  Registry registry;
  LoadFault fault;
  std::string lineEnd;
  EXPECT_TRUE(ReadRegedit4(text, registry, &fault, &lineEnd))
      << "line " << fault.at << ": " << fault.what;
  return Export(registry, lineEnd);
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
  registry.top.FindOrAddSubkey("HKEY_LOCAL_MACHINE")
      ->SetValue("a", 3, std::string(60, '\x11'));
  std::string text = Export(registry, "\n");
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
      // A string never closed is named by the line where it began.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"open\r\nmore\n\nmore", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\nb\" c\n", 4},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\\\n\"\n", 3},
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
    LoadFault fault;
    EXPECT_FALSE(ReadRegedit4(c.input, registry, &fault)) << c.input;
    EXPECT_EQ(fault.at, c.line) << c.input << ": " << fault.what;
    EXPECT_FALSE(fault.what.empty());
    // The loader refuses it alike.
    Registry loaded;
    LoadFault loadFault;
    EXPECT_FALSE(LoadRegedit4(FileBytes::Copy(c.input), loaded, &loadFault));
    EXPECT_EQ(loadFault.at, c.line) << c.input << ": " << loadFault.what;
  }
}

// Loads `text` the way a machine does; null when it is refused.
std::unique_ptr<RegistryFile> Load(const std::string& text,
                                   Registry& registry) {
  LoadFault fault;
  return LoadRegedit4(FileBytes::Copy(text), registry, &fault);
}

// Where the registry loaded from `text`, looked into everywhere, differs
// from what the line-by-line reader makes of it; "refused" when only one
// of them refuses it.
std::string LoadedOtherwise(const std::string& text) {
  Registry loaded;
  Registry read;
  LoadFault fault;
  std::string lineEnd;
  bool readOk = ReadRegedit4(text, read, &fault, &lineEnd);
  const auto file = Load(text, loaded);
  if ((file != nullptr) != readOk) return "refused";
  if (!readOk) return std::string();
  if (file->lineEnd() != lineEnd) return "line end";
  return RegistryDifference(loaded.top, read.top);
}

// A file with one key made at its end: written, every span of it goes out
// as it stands, and the new key after them.
std::string WrittenWithAKeyMade(RegistryFile& file, Registry& registry) {
  registry.MakeKey("HKEY_CURRENT_CONFIG");
  return NewFileBytes(file, registry);
}
std::string WithAKeyMade(const std::string& text, const RegistryFile& file) {
  const std::string_view end = file.lineEnd();
  const bool ended =
      !text.empty() && (text.back() == '\n' || text.back() == '\r');
  return text + std::string(ended ? "" : end) + "[HKEY_CURRENT_CONFIG]" +
         std::string(end) + std::string(end);
}

// A run's kind of change to a registry: keys deleted, values set, keys made.
using Change = std::function<void(Registry&)>;

void Delete(Registry& registry, const char* path) {
  RegistryKey* key = registry.Find(path);
  ASSERT_NE(key, nullptr) << path;
  registry.DeleteKey(*key);
}

void Set(Registry& registry, const char* path, const char* name,
         const char* data) {
  registry.SetValue(*registry.MakeKey(path), name, REG_SZ,
                    std::string(data, std::strlen(data) + 1));
}

// A file written back keeps the text of every key the run did not change as
// it stands, writes a changed key anew in its place and leaves out a
// deleted one, and reads back as the registry the run left.
TEST(LoadRegedit4Test, TextOfKeysARunLeftAloneIsWrittenBackAsItStands) {
  struct Case {
    const char* name;
    std::string input;
    Change change;
    std::string output;
  };
  const std::string handMade =
      "REGEDIT4\n; exported by hand\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0100]\n"
      "\"DeviceDesc\" = \"Ours\"   \n  \"Bytes\"=hex:0A,FF\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
      "\"Flags\"=dword:0000ABCD\n; kept with it\n\n"
      "[hkey_local_machine\\enum\\usb\\VID_0E7D&PID_0100\\Child]\n@=\"x\"\n\n"
      "  [HKEY_LOCAL_MACHINE\\Enum\\USB\\Theirs]\n\"v\"=hex:0B\n";
  // Parents first, the subtrees of siblings taken in turn.
  const std::string interleaved =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\HID]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0100]\r\n\"D\"="
      "\"a\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100]\r\n\"D\"="
      "\"b\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0100\\1]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100\\1]\r\n\r\n";
  const Case cases[] = {
      {"untouched", handMade, [](Registry&) {}, handMade},
      {"a key deleted, another changed, one made", handMade,
       [](Registry& r) {
         Delete(r, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0100");
         Set(r, "HKEY_LOCAL_MACHINE\\Software\\Other", "New", "1");
         Set(r, "HKEY_LOCAL_MACHINE\\Software\\Made\\Deeper", "", "2");
       },
       // The deleted key's line was the first to name Enum and USB: they
       // are named there still, to keep their place.
       "REGEDIT4\n; exported by hand\n\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\USB]\n\n"
       "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
       "\"Flags\"=dword:0000abcd\n\"New\"=\"1\"\n\n"
       "  [HKEY_LOCAL_MACHINE\\Enum\\USB\\Theirs]\n\"v\"=hex:0B\n"
       "[HKEY_LOCAL_MACHINE\\Software\\Made]\n\n"
       "[HKEY_LOCAL_MACHINE\\Software\\Made\\Deeper]\n@=\"2\"\n\n"},
      {"a value set to what it was", handMade,
       [](Registry& r) {
         r.SetValue(*r.Find("HKEY_LOCAL_MACHINE\\Software\\Other"), "flags",
                    REG_DWORD, std::string("\xcd\xab\0\0", 4));
       },
       handMade},
      {"sibling subtrees interleaved", interleaved,
       [](Registry& r) {
         Delete(r, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0100");
         Set(r, "HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100\\1", "v",
             "c");
       },
       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\USB]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\HID]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100]\r\n\"D\"=\"b\"\r\n"
       "\r\n[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100\\1]\r\n"
       "\"v\"=\"c\"\r\n\r\n"},
      // Another key changed: both spans of the one named twice stand.
      {"a key named twice, unchanged",
       interleaved + "[HKEY_LOCAL_MACHINE\\ENUM]\r\n\"e\"=\"1\"\r\n",
       [](Registry& r) {
         Delete(r, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0E7D&PID_0100");
       },
       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\USB]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\HID]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100]\r\n\"D\"=\"b\"\r\n"
       "\r\n[HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_0E7D&PID_0100\\1]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\ENUM]\r\n\"e\"=\"1\"\r\n"},
      {"a key named twice, changed",
       interleaved + "[HKEY_LOCAL_MACHINE\\ENUM]\r\n\"e\"=\"1\"\r\n",
       [](Registry& r) { Set(r, "HKEY_LOCAL_MACHINE\\Enum", "f", "2"); },
       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\"e\"=\"1\"\r\n"
       "\"f\"=\"2\"\r\n\r\n" +
           interleaved.substr(interleaved.find("[HKEY_LOCAL_MACHINE\\Enum\\"))},
  };
  for (const Case& c : cases) {
    Registry loaded;
    Registry read;
    LoadFault fault;
    const auto file = Load(c.input, loaded);
    ASSERT_TRUE(file) << c.name;
    ASSERT_TRUE(ReadRegedit4(c.input, read, &fault)) << c.name;
    c.change(loaded);
    c.change(read);
    const std::string written = NewFileBytes(*file, loaded);
    EXPECT_EQ(written, c.output) << c.name;
    Registry again;
    ASSERT_TRUE(ReadRegedit4(written, again, &fault)) << c.name;
    EXPECT_EQ(RegistryDifference(again.top, read.top), "") << c.name;
  }
}

TEST(LoadRegedit4Test, AnyFormIsReadAsTheLineByLineReaderReadsIt) {
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n";
  const std::string key = "\n[HKEY_LOCAL_MACHINE\\A]\n";
  const std::string cases[] = {
      head + key + "\"v\"=hex:0A\n\n",
      head + key + "\"v\"=dword:1\n\n",
      head + key + "\"v\"=hex(1):41,00\n\n",
      head + key + "\"v\"=hex(4):01,02,03,04\n\n",
      head + key + "\"v\"=hex(04):01\n\n",
      head + key + "\"v\" = \"1\"\n\n",
      head + key + "\"\"=\"1\"\n\n",
      head + key + "\"v\"=-\n\n",
      head + key + "\"v\"=\"x=-\"\n\n",
      head + key + "\"v\"=" + std::string("\"a\0b\"", 5) + "\n\n",
      head + key + "\"v\"=\"1\"\r\n\n",
      head + key + "\"A\"=\"1\"\n\"a\"=dword:00000002\n",
      head +
          "\n[hkey_local_machine\\A]\n\n[HKEY_LOCAL_MACHINE\\a\\B]\n"
          "[HKEY_LOCAL_MACHINE\\C]\n[HKEY_LOCAL_MACHINE\\A\\b\\D]\n",
      head + "\n[-HKEY_LOCAL_MACHINE\\A]\n\n",
      head + "\n[HKEY_LOCAL_MACHINE\\A] \n\n",
      head + "\n[HKEY_NOWHERE]\n\n",
      head,
      "REGEDIT4",
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\n\r\n",
      // Strings over line ends, as regedit writes them.
      head + key + "\"v\"=\"a\r\n\r\nb\"\n",
      head + key + "\"v\"=\"\r\na\n\nb\r\n\"\n\"w\"=\"[HKEY_LOCAL_MACHINE]\"\n",
      head + key + "\"v\"=\"a\\\"\r\n\\\"b\\\\\"\n",
      head + key + "\"v\n2\"=\"x\"\n\"v\"=\"y\"\n",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(LoadedOtherwise(text), "") << text;
    // Untouched, it is written back as it stands; but a file that deletes
    // keys or values is applied in order and written anew.
    Registry loaded;
    const auto file = Load(text, loaded);
    if (file && text.find("=-\n") == std::string::npos &&
        text.find("[-") == std::string::npos) {
      EXPECT_EQ(NewFileBytes(*file, loaded), text);
      EXPECT_EQ(WrittenWithAKeyMade(*file, loaded), WithAKeyMade(text, *file))
          << "not written back as it stands";
    }
  }
}

TEST(LoadRegedit4Test, ALargeFileInAnyOrderIsReadAlike) {
  Registry registry;
  RegistryKey* usb =
      FindKeyPath(registry.top, "HKEY_LOCAL_MACHINE\\Enum\\USB", true);
  for (int i = 0; i < 20000; ++i) {
    RegistryKey* device = usb->FindOrAddSubkey("Device" + std::to_string(i));
    device->SetValue("DeviceDesc", 1, std::string("A device\0", 9));
    device->FindOrAddSubkey("0000")->SetValue("ConfigFlags", 3,
                                              std::string(4, '\0'));
  }
  const std::string text = Export(registry);
  // The same keys, each device's instance long after it, and a device
  // named again in another case.
  std::string later;
  std::string reordered = "REGEDIT4\n";
  for (std::size_t at = text.find("\n\n["); at != std::string::npos;) {
    std::size_t next = text.find("\n\n[", at + 1);
    std::string block = text.substr(
        at, next == std::string::npos ? std::string::npos : next - at);
    (block.find("\\0000]") != std::string::npos ? later : reordered) += block;
    at = next;
  }
  reordered +=
      later + "\n\n[HKEY_LOCAL_MACHINE\\ENUM\\usb\\DEVICE7]\n\"v\"=\"1\"\n";
  for (const std::string* file :
       {&text, static_cast<const std::string*>(&reordered)}) {
    EXPECT_EQ(LoadedOtherwise(*file), "");
    Registry loaded;
    const auto read = Load(*file, loaded);
    ASSERT_TRUE(read);
    EXPECT_TRUE(WrittenWithAKeyMade(*read, loaded) ==
                WithAKeyMade(*file, *read));
  }
}

}  // namespace
}  // namespace brindle
