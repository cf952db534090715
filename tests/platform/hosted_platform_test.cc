#include "platform/hosted/machine/hosted_platform.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/test_machine.h"

namespace brindle {
namespace {

const char kRegistry[] =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\A]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\B]\n\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\C]\n"
    "\"v\"=\"1\"\n\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\C\\Deep]\n\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\D]\n\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\E]"
    "\n";

std::string NameAt(Platform& platform, HKey key, std::uint32_t index) {
  char name[80];
  std::uint32_t length = sizeof name;
  ErrorCode error = platform.RegEnumKeyExA(key, index, name, &length);
  return error == ERROR_SUCCESS ? std::string(name, length)
                                : "error " + std::to_string(error);
}

TEST(HostedPlatformTest, AnEnumerationStaysRightWhenASubkeyIsDeleted) {
  struct Case {
    const char* name;
    std::uint32_t walkedTo;
    const char* deleted;
    bool throughTheHandle;
    std::uint32_t index;
    const char* found;
  };
  const Case cases[] = {
      {"before the walk", 2, "B", false, 2, "D"},
      {"the first, through the handle", 3, "A", true, 3, "E"},
      {"the one just named, through the handle", 2, "C", true, 2, "D"},
      {"after the walk", 1, "D", false, 3, "E"},
      {"the last, then past the end", 4, "E", false, 4, "error 259"},
  };
  for (const Case& c : cases) {
    TestMachine machine(kRegistry);
    Platform& platform = machine.platform();
    HKey usb = nullptr;
    ASSERT_EQ(platform.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB", 0,
                                     KEY_ENUMERATE_SUB_KEYS, &usb),
              ERROR_SUCCESS);
    for (std::uint32_t i = 0; i <= c.walkedTo; ++i) NameAt(platform, usb, i);
    std::string path = std::string("Enum\\USB\\") + c.deleted;
    EXPECT_EQ(c.throughTheHandle
                  ? platform.RegDeleteKeyA(usb, c.deleted)
                  : platform.RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()),
              ERROR_SUCCESS)
        << c.name;
    EXPECT_EQ(NameAt(platform, usb, c.index), c.found) << c.name;
    EXPECT_EQ(platform.RegCloseKey(usb), ERROR_SUCCESS);
  }
}

TEST(HostedPlatformTest, HandlesBelowADeletedKeyNameADeletedKey) {
  struct Call {
    const char* name;
    std::function<ErrorCode(Platform&, HKey)> make;
    ErrorCode result;
  };
  const Call calls[] = {
      {"RegEnumKeyExA",
       [](Platform& p, HKey k) {
         char name[80];
         std::uint32_t length = sizeof name;
         return p.RegEnumKeyExA(k, 0, name, &length);
       },
       ERROR_KEY_DELETED},
      {"RegQueryValueExA",
       [](Platform& p, HKey k) {
         std::uint8_t data[80];
         std::uint32_t size = sizeof data;
         return p.RegQueryValueExA(k, "v", data, &size);
       },
       ERROR_KEY_DELETED},
      {"RegSetValueExA",
       [](Platform& p, HKey k) {
         return p.RegSetValueExA(k, "v", REG_SZ,
                                 reinterpret_cast<const std::uint8_t*>("x"), 2);
       },
       ERROR_KEY_DELETED},
      {"RegOpenKeyExA",
       [](Platform& p, HKey k) {
         HKey opened = nullptr;
         return p.RegOpenKeyExA(k, "Deep", 0, KEY_QUERY_VALUE, &opened);
       },
       ERROR_KEY_DELETED},
      {"RegDeleteKeyA",
       [](Platform& p, HKey k) { return p.RegDeleteKeyA(k, "Deep"); },
       ERROR_KEY_DELETED},
      {"RegCloseKey", [](Platform& p, HKey k) { return p.RegCloseKey(k); },
       ERROR_SUCCESS},
  };
  for (const Call& call : calls) {
    for (const char* doomed : {"Enum\\USB\\C", "Enum"}) {
      TestMachine machine(kRegistry);
      Platform& platform = machine.platform();
      HKey key = nullptr;
      ASSERT_EQ(platform.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB\\C", 0,
                                       KEY_QUERY_VALUE, &key),
                ERROR_SUCCESS);
      ASSERT_EQ(platform.RegDeleteKeyA(HKEY_LOCAL_MACHINE, doomed),
                ERROR_SUCCESS);
      EXPECT_EQ(call.make(platform, key), call.result)
          << call.name << " after deleting " << doomed;
      EXPECT_FALSE(machine.HasKey("Enum\\USB\\C"));
    }
  }
}

}  // namespace
}  // namespace brindle
