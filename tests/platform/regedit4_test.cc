#include "platform/hosted/forms/regedit4.h"

#include <gtest/gtest.h>

#include <cstring>

namespace brindle {
namespace {

std::string Export(const Registry& registry) { return Regedit4Text(registry); }

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
    Regedit4Fault fault;
    EXPECT_FALSE(ReadRegedit4(c.input, registry, &fault)) << c.input;
    EXPECT_EQ(fault.line, c.line) << c.input << ": " << fault.what;
    EXPECT_FALSE(fault.what.empty());
  }
}

// Loads `text` the way a machine does.
bool Load(const std::string& text, Registry& registry) {
  Regedit4Fault fault;
  return LoadRegedit4(FileBytes::Copy(text), registry, &fault);
}

// True when `registry`, loaded from `text`, is written back as the text
// stands without any key below the top built for it.
bool KeptWhole(const Registry& registry, const std::string& text) {
  if (Export(registry) != text) return false;
  bool waiting = true;
  registry.top.ForEachSubkey([&](const RegistryKey& root) {
    waiting = waiting && root.subkeysWaiting();
  });
  return waiting;
}

// What the line-by-line reader makes of `text`, written back.
std::string ReadAndExport(const std::string& text) {
  Registry registry;
  Regedit4Fault fault;
  if (!ReadRegedit4(text, registry, &fault)) return "refused";
  return Export(registry);
}

TEST(LoadRegedit4Test, AnExportAsWrittenIsKeptWholeAndWrittenBackAsItIs) {
  for (const char* lineEnd : {"\r\n", "\n"}) {
    std::string text = WithLineEnd(kCanonical, lineEnd);
    Registry registry;
    ASSERT_TRUE(Load(text, registry));
    EXPECT_TRUE(KeptWhole(registry, text)) << "not taken whole";
    EXPECT_EQ(registry.lineEnd, lineEnd);
    EXPECT_EQ(Export(registry), text);
    // Looked into everywhere, the keys hold what the text says.
    const RegistryKey* usb = registry.Find("HKEY_LOCAL_MACHINE\\ENUM\\usb");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->subkeyCount(), 2u);
    EXPECT_EQ(usb->SubkeyAt(1)->name(), "Alpha");
    auto flags = usb->FindValue("flags");
    ASSERT_TRUE(flags.has_value());
    EXPECT_EQ(flags->type, 4u);
    EXPECT_EQ(flags->data, std::string("\x1f\0\0\0", 4));
    EXPECT_EQ(usb->FindValue("Long binary value name")->data.size(), 48u);
    EXPECT_EQ(usb->FindValue("")->data,
              "default \"quoted\" c:\\path" + std::string(1, '\0'));
    EXPECT_EQ(Export(registry), text);
  }
}

TEST(LoadRegedit4Test, StringsRunOverLineEndsAsRegeditWritesThem) {
  struct Case {
    const char* name;
    const char* lineEnd;
    std::string valueLines;
    std::string data;  // of "v", without its NUL
  };
  const Case cases[] = {
      {"one CR LF", "\r\n", "\"v\"=\"a\r\nb\"\r\n", "a\r\nb"},
      {"one LF", "\n", "\"v\"=\"a\nb\"\n", "a\nb"},
      {"two", "\r\n", "\"v\"=\"a\r\n\r\nb\"\r\n", "a\r\n\r\nb"},
      {"three, as they stand", "\n", "\"v\"=\"\r\na\n\nb\r\n\"\n",
       "\r\na\n\nb\r\n"},
      {"a quote escaped before a line end", "\r\n",
       "\"v\"=\"a\\\"\r\n\\\"b\\\\\"\r\n", "a\"\r\n\"b\\"},
      {"a value after one", "\r\n",
       "\"v\"=\"a\r\n\"\r\n\"w\"=\"[HKEY_LOCAL_MACHINE]\"\r\n", "a\r\n"},
      {"a name over a line end", "\n", "\"v\n2\"=\"x\"\n\"v\"=\"y\"\n", "y"},
  };
  for (const Case& c : cases) {
    const std::string text =
        WithLineEnd(
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\n[HKEY_LOCAL_MACHINE\\A]\n",
            c.lineEnd) +
        c.valueLines + c.lineEnd;
    Registry read;
    Regedit4Fault fault;
    ASSERT_TRUE(ReadRegedit4(text, read, &fault))
        << c.name << ": line " << fault.line << ": " << fault.what;
    Registry loaded;
    ASSERT_TRUE(Load(text, loaded)) << c.name;
    EXPECT_TRUE(KeptWhole(loaded, text)) << c.name << ": not taken whole";
    for (Registry* registry : {&read, &loaded}) {
      RegistryKey* key = registry->Find("HKEY_LOCAL_MACHINE\\A");
      ASSERT_NE(key, nullptr) << c.name;
      EXPECT_EQ(key->FindValue("v")->data, c.data + '\0') << c.name;
      EXPECT_EQ(registry->lineEnd, c.lineEnd) << c.name;
      EXPECT_EQ(Export(*registry), text) << c.name;
      // Another value of the key changed: the string is written as it was.
      key->SetValue("new", 4, std::string(4, '\0'));
      EXPECT_EQ(
          Export(*registry).substr(0, text.size() - std::strlen(c.lineEnd)),
          text.substr(0, text.size() - std::strlen(c.lineEnd)))
          << c.name;
    }
  }
}

TEST(LoadRegedit4Test, ChangesWriteWhatTheLineByLineReaderWouldHave) {
  std::string text = WithLineEnd(kCanonical, "\r\n");
  Registry loaded;
  Registry read;
  ASSERT_TRUE(Load(text, loaded));
  Regedit4Fault fault;
  ASSERT_TRUE(ReadRegedit4(text, read, &fault));
  for (Registry* registry : {&loaded, &read}) {
    RegistryKey* usb = registry->Find("HKEY_LOCAL_MACHINE\\Enum\\USB");
    usb->RemoveSubkey(usb->FindSubkey("zeta"));
    usb->SetValue("Flags", 4, std::string("\x01\0\0\0", 4));
    usb->RemoveValue("Empty");
    MakeKeyPath(registry->top, "HKEY_CURRENT_USER\\Software\\New")
        ->SetValue("n", 1, std::string("v\0", 2));
  }
  EXPECT_EQ(Export(loaded), Export(read));
}

TEST(LoadRegedit4Test, AKeyOrValueNamedTwiceIsOne) {
  const std::string text =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\n[HKEY_LOCAL_MACHINE\\Enum]\n"
      "\"A\"=\"1\"\n\"a\"=dword:00000002\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB]\n\"Data\"=hex(2):41,00\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\Dev]\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\SCSI]\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\usb]\n\"data\"=hex:01\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\usb\\Hub]\n@=\"x\"\n\n";
  // With a line out of the written form, the keys below the root are
  // written from the file's notes without being built: made one alike.
  std::string spoiled = text;
  spoiled.insert(spoiled.find("\"A\""), "; note\n");
  Registry untouched;
  ASSERT_TRUE(Load(spoiled, untouched));
  EXPECT_EQ(Export(untouched), ReadAndExport(text));
  Registry registry;
  ASSERT_TRUE(Load(text, registry));
  EXPECT_TRUE(KeptWhole(registry, text));
  const RegistryKey* enumKey = registry.Find("HKEY_LOCAL_MACHINE\\Enum");
  EXPECT_EQ(enumKey->subkeyCount(), 2u);
  EXPECT_EQ(enumKey->Values().size(), 1u);
  EXPECT_EQ(enumKey->FindValue("A")->type, 4u);
  const RegistryKey* usb = enumKey->FindSubkey("USB");
  EXPECT_EQ(usb->subkeyCount(), 2u);
  EXPECT_EQ(usb->FindValue("Data")->type, 3u);
  EXPECT_EQ(Export(registry), ReadAndExport(text));
}

TEST(LoadRegedit4Test, AKeyNamedTwiceAmongManyIsOne) {
  for (int repeated : {0, 150, 299}) {
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n";
    for (int i = 0; i < 300; ++i) {
      text += "\n[HKEY_LOCAL_MACHINE\\Key" + std::to_string(i) + "]\n";
    }
    text += "\n[HKEY_LOCAL_MACHINE\\KEY" + std::to_string(repeated) +
            "]\n\"v\"=\"1\"\n\n";
    std::string spoiled = text;
    spoiled.insert(spoiled.find("\n\n[") + 1, "; note\n");
    Registry untouched;  // as above
    ASSERT_TRUE(Load(spoiled, untouched));
    EXPECT_EQ(Export(untouched), ReadAndExport(text));
    Registry registry;
    ASSERT_TRUE(Load(text, registry));
    const RegistryKey* root = registry.Find("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(root->subkeyCount(), 300u);
    EXPECT_TRUE(root->SubkeyAt(repeated)->FindValue("v").has_value());
    EXPECT_EQ(Export(registry), ReadAndExport(text));
  }
}

TEST(LoadRegedit4Test, AnyOtherFormIsReadLineByLine) {
  // Each differs from the written form in one way; each is read as the
  // line-by-line reader reads it, refusals and all.
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n";
  const std::string key = "\n[HKEY_LOCAL_MACHINE\\A]\n";
  const std::string cases[] = {
      head + key + "\"v\"=hex:0A\n\n",
      head + key + "\"v\"=dword:1\n\n",
      head + key + "\"v\"=hex(1):41,00\n\n",
      head + key + "\"v\"=hex(4):01,02,03,04\n\n",
      head + key + "\"v\"=hex(3):01\n\n",
      head + key + "\"v\"=hex(04):01\n\n",
      head + key + "\"v\"=hex:01,02\n\n\n",
      head + key + "\"v\" = \"1\"\n\n",
      head + key + "\"\"=\"1\"\n\n",
      head + key + "\"v\"=-\n\n",
      head + key + "\"v\"=" + std::string("\"a\0b\"", 5) + "\n\n",
      head + key + "; note\n\n",
      head + key + "\"v\"=\"1\"\r\n\n",
      head + "[HKEY_LOCAL_MACHINE\\A]\n\n",
      head + "\n[HKEY_LOCAL_MACHINE\\A\\B]\n\n",
      head + "\n[hkey_local_machine\\A]\n\n",
      head + "\n[-HKEY_LOCAL_MACHINE\\A]\n\n",
      head + "\n[HKEY_LOCAL_MACHINE\\A] \n\n",
      head + "\n[HKEY_NOWHERE]\n\n",
      head + key + "\"v\"=hex:" + std::string(30, '1') + "\n\n",
      head,
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\n\r\n",
  };
  for (const std::string& text : cases) {
    Registry registry;
    bool loaded = Load(text, registry);
    EXPECT_EQ(loaded ? Export(registry) : "refused", ReadAndExport(text))
        << text;
  }
}

TEST(LoadRegedit4Test, ALargeExportIsReadAlikeWhereverItDiffers) {
  Registry registry;
  RegistryKey* usb = MakeKeyPath(registry.top, "HKEY_LOCAL_MACHINE\\Enum\\USB");
  for (int i = 0; i < 90000; ++i) {
    RegistryKey* device = usb->FindOrAddSubkey("Device" + std::to_string(i));
    device->SetValue("DeviceDesc", 1,
                     std::string("A device with a long description\0", 34));
    device->SetValue("ConfigFlags", 3, std::string(4, '\0'));
  }
  const std::string text = Export(registry);
  ASSERT_GT(text.size(), 9u << 20);
  Registry loaded;
  ASSERT_TRUE(Load(text, loaded));
  EXPECT_TRUE(KeptWhole(loaded, text));
  EXPECT_EQ(loaded.Find("HKEY_LOCAL_MACHINE\\Enum\\USB")->subkeyCount(),
            90000u);
  EXPECT_EQ(Export(loaded), text);

  // A line out of the written form in either half, or a key just after the
  // middle whose parent was never named: read line by line instead.
  std::vector<std::string> others;
  for (std::size_t from : {text.size() / 4, text.size() * 3 / 4}) {
    std::string other = text;
    other.replace(other.find("=hex:00", from), 7, "=hex:0A");
    others.push_back(other);
  }
  std::string orphan = text;
  std::size_t middle = orphan.find("\r\n\r\n[", orphan.size() / 2);
  orphan.replace(orphan.find("\\USB\\", middle), 5, "\\USX\\");
  others.push_back(orphan);
  for (const std::string& other : others) {
    Registry fallback;
    ASSERT_TRUE(Load(other, fallback));
    EXPECT_EQ(Export(fallback), ReadAndExport(other));
  }
}

TEST(LoadRegedit4Test, LongValuesWrappedAsWrittenAreTakenWhole) {
  for (std::size_t size : {0, 1, 23, 24, 48, 49, 200}) {
    for (const char* name :
         {"a", "a much longer name that pushes the column on"}) {
      Registry registry;
      registry.lineEnd = "\n";
      registry.top.FindOrAddSubkey("HKEY_LOCAL_MACHINE")
          ->SetValue(name, 0x2b, std::string(size, '\x7f'));
      std::string text = Export(registry);
      Registry loaded;
      ASSERT_TRUE(Load(text, loaded));
      EXPECT_TRUE(KeptWhole(loaded, text)) << text;
      auto value = loaded.Find("HKEY_LOCAL_MACHINE")->FindValue(name);
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(value->data, std::string(size, '\x7f'));
      EXPECT_EQ(value->type, 0x2bu);
    }
  }
}

}  // namespace
}  // namespace brindle
