#include "platform/hosted/registry/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

TEST(RegistryKeyTest, NamesMatchWithoutRegardToAsciiCaseOnly) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"Enum", "ENUM", true},  {"az", "AZ", true},   {"Zeta", "zETA", true},
      {"a", "b", false},       {"@", "`", false},    {"[", "{", false},
      {"\xC9", "\xE9", false}, {"ab", "abc", false}, {"", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsAsciiFolded(c.a, c.b), c.equal) << c.a << " " << c.b;
    // Found alike among a few subkeys and among many, looked up by hash.
    for (int others : {0, 40}) {
      RegistryKey key("K", nullptr);
      for (int i = 0; i < others; ++i)
        key.FindOrAddSubkey("other" + std::to_string(i));
      RegistryKey* added = key.FindOrAddSubkey(c.a);
      EXPECT_EQ(key.FindSubkey(c.b) == added, c.equal)
          << c.a << " " << c.b << " among " << others;
    }
  }
}

TEST(RegistryKeyTest, SubkeysKeepTheirOrderAndMoveDownWhenOneGoes) {
  RegistryKey key("K", nullptr);
  for (const char* name : {"a", "b", "c", "d", "e"}) key.FindOrAddSubkey(name);
  SubkeyCursor cursor;
  EXPECT_EQ(key.SubkeyAt(3, &cursor)->name(), "d");
  key.RemoveSubkey(key.FindSubkey("e"));
  key.RemoveSubkey(key.FindSubkey("b"));
  std::vector<std::string> names;
  for (std::size_t i = 0; RegistryKey* subkey = key.SubkeyAt(i); ++i)
    names.emplace_back(subkey->name());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(key.subkeyCount(), 3u);
  EXPECT_EQ(key.FindOrAddSubkey("B")->slot(), 5u);  // added at the end
}

TEST(RegistryKeyTest, ValuesKeepTheirPlaceAndFirstSpelling) {
  RegistryKey key("K", nullptr);
  key.SetValue("One", REG_SZ, std::string("1\0", 2));
  key.SetValue("Two", REG_DWORD, std::string(4, '\2'));
  key.SetValue("ONE", REG_BINARY, "x");
  std::vector<RegistryValue> values = key.Values();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "One");
  EXPECT_EQ(values[0].type, REG_BINARY);
  EXPECT_EQ(values[0].data, "x");
  EXPECT_TRUE(key.RemoveValue("two"));
  EXPECT_FALSE(key.RemoveValue("two"));
  EXPECT_EQ(key.valueWrites(), 4u);
}

}  // namespace
}  // namespace brindle
