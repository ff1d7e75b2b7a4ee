// The registry calls of the port answer as Windows does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

class RegistryCallsTest : public MachineTest {
 protected:
  port::HKEY open(const char* path, port::REGSAM access = port::KEY_ALL_ACCESS) {
    port::HKEY key = nullptr;
    EXPECT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, path, 0, access, &key), 0) << path;
    return key;
  }
};

TEST_F(RegistryCallsTest, CreateReportsWhetherTheKeyIsNew) {
  port::HKEY key = nullptr;
  port::DWORD disposition = 0;
  ASSERT_EQ(port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Deep", 0, nullptr, 0,
                                  port::KEY_ALL_ACCESS, nullptr, &key, &disposition),
            0);
  EXPECT_EQ(disposition, port::REG_CREATED_NEW_KEY);
  port::RegCloseKey(key);
  ASSERT_EQ(port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, "software\\NEW\\deep", 0, nullptr, 0,
                                  port::KEY_ALL_ACCESS, nullptr, &key, &disposition),
            0);
  EXPECT_EQ(disposition, port::REG_OPENED_EXISTING_KEY);
  port::RegCloseKey(key);
  EXPECT_EQ(sim::reg_subkeys("SOFTWARE\\New"), std::vector<std::string>{"Deep"});
}

TEST_F(RegistryCallsTest, QueryAsksForTheSizeAndReportsASmallBuffer) {
  sim::reg_set_string("SOFTWARE\\Q", "Text", "twelve chars");
  port::HKEY key = open("SOFTWARE\\Q", port::KEY_READ);
  port::DWORD type = 0;
  port::DWORD size = 0;
  EXPECT_EQ(port::RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(type, port::REG_SZ);

  char small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(port::RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<port::BYTE*>(small), &size),
            port::ERROR_MORE_DATA);
  EXPECT_EQ(size, 13u);

  char exact[13];
  size = sizeof exact;
  EXPECT_EQ(port::RegQueryValueExA(key, "text", nullptr, &type, reinterpret_cast<port::BYTE*>(exact), &size),
            0);
  EXPECT_STREQ(exact, "twelve chars");

  EXPECT_EQ(port::RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
            port::ERROR_FILE_NOT_FOUND);
  port::RegCloseKey(key);
}

TEST_F(RegistryCallsTest, AccessRightsOfTheHandleCount) {
  port::HKEY key = open("SYSTEM\\CurrentControlSet\\Services\\Beep", port::KEY_READ);
  port::DWORD value = 1;
  EXPECT_EQ(port::RegSetValueExA(key, "X", 0, port::REG_DWORD, reinterpret_cast<port::BYTE*>(&value), 4),
            port::ERROR_ACCESS_DENIED);
  port::RegCloseKey(key);
  key = open("SYSTEM\\CurrentControlSet\\Services\\Beep", port::KEY_SET_VALUE);
  port::DWORD size = 4;
  EXPECT_EQ(
      port::RegQueryValueExA(key, "Type", nullptr, nullptr, reinterpret_cast<port::BYTE*>(&value), &size),
      port::ERROR_ACCESS_DENIED);
  char name[16];
  size = sizeof name;
  EXPECT_EQ(port::SHEnumKeyExA(key, 0, name, &size), port::ERROR_ACCESS_DENIED);
  port::RegCloseKey(key);
}

TEST_F(RegistryCallsTest, OnlyHklmAndOpenHandlesAreRoots) {
  port::HKEY key = nullptr;
  auto bogus = reinterpret_cast<port::HKEY>(static_cast<std::intptr_t>(0x80000001));  // HKEY_CURRENT_USER
  EXPECT_EQ(port::RegOpenKeyExA(bogus, "Software", 0, port::KEY_READ, &key), port::ERROR_INVALID_HANDLE);
  port::HKEY services = open("SYSTEM\\CurrentControlSet\\Services");
  EXPECT_EQ(port::RegOpenKeyExA(services, "tcpip", 0, port::KEY_READ, &key), 0);
  EXPECT_EQ(port::RegCloseKey(key), 0);
  EXPECT_EQ(port::RegCloseKey(services), 0);
  EXPECT_EQ(port::RegCloseKey(services), port::ERROR_INVALID_HANDLE);
}

TEST_F(RegistryCallsTest, ShDeleteKeyRemovesTheSubtreeAndHandlesTurnStale) {
  sim::reg_set_dword("SOFTWARE\\Tree\\A\\B\\C", "v", 1);
  sim::reg_set_dword("SOFTWARE\\Tree\\A", "v", 1);
  sim::reg_create_key("SOFTWARE\\Tree\\Keep");
  port::HKEY inner = open("SOFTWARE\\Tree\\A\\B");
  EXPECT_EQ(port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, "software\\tree\\a"), 0);
  EXPECT_FALSE(sim::reg_key_exists("SOFTWARE\\Tree\\A"));
  EXPECT_EQ(sim::reg_subkeys("SOFTWARE\\Tree"), std::vector<std::string>{"Keep"});
  port::DWORD value = 0;
  port::DWORD size = 4;
  EXPECT_EQ(
      port::RegQueryValueExA(inner, "v", nullptr, nullptr, reinterpret_cast<port::BYTE*>(&value), &size),
      port::ERROR_KEY_DELETED);
  port::HKEY child = nullptr;
  EXPECT_EQ(
      port::RegCreateKeyExA(inner, "New", 0, nullptr, 0, port::KEY_ALL_ACCESS, nullptr, &child, nullptr),
      port::ERROR_KEY_DELETED);
  EXPECT_EQ(port::RegCloseKey(inner), 0);
  EXPECT_EQ(port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree\\A"), port::ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryCallsTest, EnumerationEndsAndReportsANameThatDoesNotFit) {
  sim::reg_create_key("SOFTWARE\\Enum\\LongerName");
  port::HKEY key = open("SOFTWARE\\Enum", port::KEY_READ);
  char name[10];
  port::DWORD size = sizeof name;  // "LongerName" needs 11 with its terminator
  EXPECT_EQ(port::SHEnumKeyExA(key, 0, name, &size), port::ERROR_MORE_DATA);
  size = sizeof name;
  EXPECT_EQ(port::SHEnumKeyExA(key, 1, name, &size), port::ERROR_NO_MORE_ITEMS);
  port::RegCloseKey(key);
}

TEST_F(RegistryCallsTest, ValuesAreStoredAsWritten) {
  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\W", 0, nullptr, 0,
                                  port::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  EXPECT_EQ(port::RegSetValueExA(key, "Empty", 0, port::REG_BINARY, nullptr, 0), 0);
  const port::BYTE text[] = "abc";
  EXPECT_EQ(port::RegSetValueExA(key, nullptr, 0, port::REG_SZ, text, 4), 0);
  port::RegCloseKey(key);
  port::DWORD type = 0;
  std::vector<std::uint8_t> data{9};
  ASSERT_TRUE(sim::reg_get("SOFTWARE\\W", "Empty", &type, &data));
  EXPECT_EQ(type, port::REG_BINARY);
  EXPECT_TRUE(data.empty());
  ASSERT_TRUE(sim::reg_get("SOFTWARE\\W", "", &type, &data));
  EXPECT_EQ(data, (std::vector<std::uint8_t>{'a', 'b', 'c', 0}));
}

}  // namespace

namespace {

// Windows' limits: a key name of 255 characters, a value name of 16,383, 512 levels.  What the
// calls take, a saved machine loads again.
TEST_F(RegistryCallsTest, NamesAndDepthBeyondWindowsLimitsAreRefused) {
  std::string deep = "SOFTWARE";
  for (int level = 2; level <= 512; ++level) deep += "\\d";
  const std::string name255(255, 'k');
  const struct {
    const char* label;
    std::string key;    // created below HKLM
    std::string value;  // then set in it ("" none)
    port::LSTATUS create;
    port::LSTATUS open;  // when the creation failed
    port::LSTATUS set;
  } cases[] = {
      {"a key name of 255", "SOFTWARE\\" + name255, "", 0, 0, 0},
      {"a key name of 256", "SOFTWARE\\" + name255 + "k", "", port::ERROR_INVALID_PARAMETER,
       port::ERROR_INVALID_PARAMETER, 0},
      {"512 levels", deep, "", 0, 0, 0},
      {"513 levels", deep + "\\d", "", port::ERROR_INVALID_PARAMETER, port::ERROR_FILE_NOT_FOUND, 0},
      {"a value name of 16383", "SOFTWARE\\V", std::string(16383, 'v'), 0, 0, 0},
      {"a value name of 16384", "SOFTWARE\\V", std::string(16384, 'v'), 0, 0, 206},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    port::HKEY key = nullptr;
    ASSERT_EQ(port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, c.key.c_str(), 0, nullptr, 0,
                                    port::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              c.create);
    if (c.create != 0) {
      EXPECT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, c.key.c_str(), 0, port::KEY_READ, &key),
                c.open);
      continue;
    }
    port::DWORD one = 1;
    if (!c.value.empty()) {
      EXPECT_EQ(port::RegSetValueExA(key, c.value.c_str(), 0, port::REG_DWORD,
                                     reinterpret_cast<const port::BYTE*>(&one), sizeof one),
                c.set);
    }
    port::RegCloseKey(key);
  }
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  EXPECT_TRUE(sim::reg_key_exists(deep));
}

}  // namespace
