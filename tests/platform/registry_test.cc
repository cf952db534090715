#include "platform/hosted/registry/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hosted/forms/registry_file.h"
#include "platform/platform.h"

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
  // A few subkeys are looked up one by one, many by their names' index.
  for (int others : {0, 40}) {
    RegistryKey key("K", nullptr);
    for (const char* name : {"a", "b", "c", "d", "e"})
      key.FindOrAddSubkey(name);
    for (int i = 0; i < others; ++i)
      key.FindOrAddSubkey("other" + std::to_string(i));
    SubkeyCursor cursor;
    EXPECT_EQ(key.SubkeyAt(3, &cursor)->name(), "d");
    key.RemoveSubkey(key.FindSubkey("e"));
    key.RemoveSubkey(key.FindSubkey("b"));
    EXPECT_EQ(key.FindSubkey("B"), nullptr) << others;
    EXPECT_EQ(key.FindSubkey("e"), nullptr) << others;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < 3; ++i)
      names.emplace_back(key.SubkeyAt(i)->name());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_EQ(key.subkeyCount(), 3u + others);
    RegistryKey* again = key.FindOrAddSubkey("B");  // added at the end
    EXPECT_EQ(again->slot(), 5u + others);
    EXPECT_EQ(key.FindSubkey("b"), again);
  }
}

// A run's changes, through the registry: the record names the key once,
// and each value it changed once, whatever the case it was named in.
TEST(RegistryKeyTest, ValuesKeepTheirPlaceAndFirstSpelling) {
  Registry registry;
  RegistryKey& key = *registry.MakeKey("K");
  registry.SetValue(key, "One", REG_SZ, std::string("1\0", 2));
  registry.SetValue(key, "Two", REG_DWORD, std::string(4, '\2'));
  registry.SetValue(key, "ONE", REG_BINARY, "x");
  std::vector<RegistryValue> values = key.Values();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "One");
  EXPECT_EQ(values[0].type, REG_BINARY);
  EXPECT_EQ(values[0].data, "x");
  EXPECT_TRUE(registry.RemoveValue(key, "two"));
  EXPECT_FALSE(registry.RemoveValue(key, "two"));
  const std::vector<ChangedKey> changed = ChangedKeys(registry);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_FALSE(changed[0].deleted);
  EXPECT_EQ(changed[0].values, (std::vector<std::string_view>{"One", "Two"}));
}

TEST(RegistryDifferenceTest, NamesWhereTwoTreesDiffer) {
  struct Case {
    const char* name;
    void (*change)(RegistryKey&);
    const char* difference;  // the start of it; empty when none
  };
  const Case cases[] = {
      {"the same", [](RegistryKey&) {}, ""},
      {"a value's data",
       [](RegistryKey& k) { k.FindSubkey("A")->SetValue("v", REG_SZ, "y"); },
       "K\\A: values differ"},
      {"a value's type",
       [](RegistryKey& k) {
         k.FindSubkey("A")->SetValue("v", REG_BINARY, "x");
       },
       "K\\A: values differ"},
      {"a value's name's case",
       [](RegistryKey& k) {
         k.FindSubkey("A")->RemoveValue("v");
         k.FindSubkey("A")->SetValue("V", REG_SZ, "x");
       },
       "K\\A: values differ"},
      {"a subkey gone",
       [](RegistryKey& k) { k.RemoveSubkey(k.FindSubkey("B")); },
       "K\\B: missing"},
      {"subkeys in another order",
       [](RegistryKey& k) {
         k.RemoveSubkey(k.FindSubkey("A"));
         k.FindOrAddSubkey("A")->SetValue("v", REG_SZ, "x");
       },
       "K\\"},
      {"a key deep down",
       [](RegistryKey& k) { k.FindSubkey("B")->FindOrAddSubkey("C"); },
       "K\\B\\C: missing"},
  };
  auto make = [](RegistryKey& top) {
    RegistryKey* k = top.FindOrAddSubkey("K");
    k->FindOrAddSubkey("A")->SetValue("v", REG_SZ, "x");
    k->FindOrAddSubkey("B");
  };
  for (const Case& c : cases) {
    RegistryKey left("", nullptr);
    RegistryKey right("", nullptr);
    make(left);
    make(right);
    c.change(*right.FindSubkey("K"));
    std::string difference = RegistryDifference(left, right);
    EXPECT_EQ(difference.substr(0, std::string(c.difference).size()),
              c.difference)
        << c.name << ": " << difference;
    EXPECT_EQ(difference.empty(), *c.difference == '\0') << c.name;
  }
}

}  // namespace
}  // namespace brindle
