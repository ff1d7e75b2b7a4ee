// What of the registry outlasts a process, a restart and a power cut: volatile keys live until
// the next restart; a hive's changes are durable once it is flushed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

using sim::internal::find_key;
using sim::internal::raw_machine;

class DurabilityTest : public MachineTest {
 protected:
  port::LSTATUS create(const char* path, port::DWORD options, port::DWORD* disposition = nullptr) {
    port::HKEY key = nullptr;
    port::LSTATUS status = port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, path, 0, nullptr, options,
                                                 port::KEY_ALL_ACCESS, nullptr, &key, disposition);
    if (status == 0) port::RegCloseKey(key);
    return status;
  }
  // "" when the key is missing, else "volatile" or "plain".
  static std::string kind(const char* path) {
    auto* key = find_key(raw_machine().hklm.get(), path);
    return key == nullptr ? "" : key->is_volatile ? "volatile" : "plain";
  }
  // As the next process finds the machine.
  void next_process() {
    std::string error;
    ASSERT_TRUE(sim::save_machine(&error)) << error;
    ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  }
};

TEST_F(DurabilityTest, VolatileKeysAreCreatedAsAskedAndGoAtTheRestart) {
  constexpr port::DWORD kVolatile = port::REG_OPTION_VOLATILE;
  constexpr port::DWORD kPlain = port::REG_OPTION_NON_VOLATILE;
  struct Step {
    const char* path;
    port::DWORD options;
    port::LSTATUS status;
    port::DWORD disposition;
    const char* kind_after;  // of the key named, "" missing
  };
  const Step steps[] = {
      {"SOFTWARE\\Plain", kPlain, 0, port::REG_CREATED_NEW_KEY, "plain"},
      {"SOFTWARE\\Marker\\Run", kVolatile, 0, port::REG_CREATED_NEW_KEY, "volatile"},
      {"SOFTWARE\\Marker", kVolatile, 0, port::REG_OPENED_EXISTING_KEY, "volatile"},
      // The option counts only for what is created: an existing key stays as it is.
      {"SOFTWARE\\Plain", kVolatile, 0, port::REG_OPENED_EXISTING_KEY, "plain"},
      {"SOFTWARE\\Marker\\Run", kPlain, 0, port::REG_OPENED_EXISTING_KEY, "volatile"},
      // Below a volatile key only volatile keys, however deep the path goes.
      {"SOFTWARE\\Marker\\Run\\Lasting", kPlain, port::ERROR_CHILD_MUST_BE_VOLATILE, 0, ""},
      {"SOFTWARE\\Marker\\Run\\A\\B", kPlain, port::ERROR_CHILD_MUST_BE_VOLATILE, 0, ""},
      {"SOFTWARE\\Plain\\Held", kVolatile, 0, port::REG_CREATED_NEW_KEY, "volatile"},
  };
  for (const Step& step : steps) {
    port::DWORD disposition = 0;
    EXPECT_EQ(create(step.path, step.options, &disposition), step.status) << step.path;
    EXPECT_EQ(disposition, step.disposition) << step.path;
    EXPECT_EQ(kind(step.path), step.kind_after) << step.path;
  }
  EXPECT_EQ(kind("SOFTWARE\\Marker\\Run\\A"), "");
  const std::vector<std::string>& trace = sim::trace();
  EXPECT_NE(std::find(trace.begin(), trace.end(),
                      "RegCreateKeyExA \"HKLM\\SOFTWARE\\Marker\\Run\" 0xf003f volatile -> 0 created"),
            trace.end());

  next_process();
  EXPECT_EQ(kind("SOFTWARE\\Marker\\Run"), "volatile");
  EXPECT_EQ(kind("SOFTWARE\\Plain\\Held"), "volatile");

  sim::restart_machine();
  next_process();
  EXPECT_EQ(kind("SOFTWARE\\Marker"), "");
  EXPECT_EQ(kind("SOFTWARE\\Plain\\Held"), "");
  EXPECT_EQ(kind("SOFTWARE\\Plain"), "plain");
}

// Every pair of hives flushed or not, the changes made by an earlier process: a power cut keeps
// a hive's changes exactly when it was flushed since, whoever made them, and no volatile key.
TEST_F(DurabilityTest, APowerCutKeepsWhatItsHiveFlushed) {
  const char* const hives[] = {"SYSTEM\\Durable", "SOFTWARE\\Durable"};
  for (int flushed = 0; flushed < 4; ++flushed) {
    std::string value = "Change" + std::to_string(flushed);
    for (const char* key : hives) sim::reg_set_dword(key, value, 1);
    next_process();
    ASSERT_EQ(create("SOFTWARE\\Durable\\Run", port::REG_OPTION_VOLATILE), 0);
    for (int i = 0; i < 2; ++i) {
      if ((flushed & (1 << i)) == 0) continue;
      port::HKEY key = nullptr;
      ASSERT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, hives[i], 0, port::KEY_QUERY_VALUE, &key), 0);
      EXPECT_EQ(port::RegFlushKey(key), 0);
      port::RegCloseKey(key);
    }
    next_process();
    std::string error;
    ASSERT_TRUE(sim::power_cut_machine(&error)) << error;
    next_process();
    for (int i = 0; i < 2; ++i) {
      port::DWORD kept = 0;
      EXPECT_EQ(sim::reg_get_dword(hives[i], value, &kept), (flushed & (1 << i)) != 0) << hives[i] << flushed;
    }
    EXPECT_EQ(kind("SOFTWARE\\Durable\\Run"), "");
    EXPECT_FALSE(std::filesystem::exists(dir() + "/registry.flushed"));
  }
}

}  // namespace
