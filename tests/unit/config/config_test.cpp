#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/driver_config.h"
#include "config/memory_adjustment.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

const std::string kParameters = kParametersKeyPath;
const std::string kMemory = kMemoryManagementKeyPath;

// The record the front end builds from the dialogue's defaults, with the given module table.
DriverConfig usual_config(const ReservedModule* table, std::uint32_t count) {
  DriverConfig config{};
  config.isa_hw_int = -1;
  config.max_pci_modules = 16;
  config.phybufsize = 0x8000;
  config.appbufsize = 0x2800;
  config.machine_id = 1;
  config.do_reset = 1;
  config.dhsize = 1024000;
  config.hist_phy_admin_only = 1;
  config.num_I2O_frames = 16;
  config.fc_interval = 250;
  config.mem_drv_alloc_min = 152;
  config.mem_drv_alloc_quanta = 128;
  config.num_reserved_modules = count;
  config.reserved_modules = table;
  config.reserved_modules_length = kReservedModulesBytes;
  config.test1 = 7;
  config.test2 = 8;
  config.test3 = 9;
  return config;
}

std::uint32_t dword_at(const std::string& key, const std::string& name) {
  std::uint32_t value = 0xDEADBEEF;
  EXPECT_TRUE(sim::reg_get_dword(key, name, &value)) << name;
  return value;
}

using ConfigTest = MachineTest;

TEST_F(ConfigTest, WritesTheTwentyTwoValuesWithTheirTypes) {
  ReservedModule table[kReservedModuleSlots] = {};
  DriverConfig config = usual_config(table, 0);
  FailureInfo failure;
  ASSERT_EQ(write_driver_parameters(config, &failure), 0);
  EXPECT_EQ(failure.context, nullptr);

  const struct {
    const char* name;
    std::uint32_t value;
  } dwords[] = {
      {"MILL_NUM_ISA_ADDRS", 0},
      {"MILL_ISA_HW_INT", 0xFFFFFFFF},
      {"PHYBUFSIZE", 0x8000},
      {"APPBUFSIZE", 0x2800},
      {"MACHINE_ID", 1},
      {"MILL_HISTORY_ENABLE", 0},
      {"MILL_HISTORY_SIZE", 1024000},
      {"MILL_NUM_HISTS_PHY", 0},
      {"MILL_NUM_HISTS_APL", 0},
      {"MILL_HIST_PHY_ADMIN_ONLY", 1},
      {"DO_INITIAL_RESET", 1},
      {"MILL_NUM_RESERVED_MODULES", 0},
      {"MILL_MAX_PCI_HW_MODULES", 16},
      {"MILL_DRIVER_FC_INTERVAL", 250},
      {"NUM_I2O_FRAMES_PER_MODULE", 16},
      {"MEM_DRV_ALLOC_MIN", 152},
      {"MEM_DRV_ALLOC_QUANTA", 128},
      {"MILL_TEST1", 7},
      {"MILL_TEST2", 8},
      {"MILL_TEST3", 9},
  };
  for (const auto& expected : dwords) {
    port::DWORD type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(sim::reg_get(kParameters, expected.name, &type, &data)) << expected.name;
    EXPECT_EQ(type, port::REG_DWORD) << expected.name;
    EXPECT_EQ(dword_at(kParameters, expected.name), expected.value) << expected.name;
  }

  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim::reg_get(kParameters, "MILL_ISA_ADDRS", &type, &data));
  EXPECT_EQ(type, port::REG_BINARY);
  EXPECT_TRUE(data.empty());
  ASSERT_TRUE(sim::reg_get(kParameters, "MILL_RESERVED_MODULES", &type, &data));
  EXPECT_EQ(type, port::REG_BINARY);
  EXPECT_EQ(data.size(), 256u);
  EXPECT_EQ(sim::reg_value_names(kParameters).size(), 22u);
}

TEST_F(ConfigTest, ReservedModulesAreStoredAsLittleEndianPairsInEntryOrder) {
  ReservedModule table[kReservedModuleSlots] = {{0x1234, 0xF0}, {0x5678, 0x20}, {0xABCDEF01, 0xFD}};
  FailureInfo failure;
  ASSERT_EQ(write_driver_parameters(usual_config(table, 3), &failure), 0);
  EXPECT_EQ(dword_at(kParameters, "MILL_NUM_RESERVED_MODULES"), 3u);
  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim::reg_get(kParameters, "MILL_RESERVED_MODULES", &type, &data));
  ASSERT_EQ(data.size(), 256u);
  const std::uint8_t first_three[24] = {0x34, 0x12, 0, 0, 0xF0, 0,    0,    0,    0x78, 0x56, 0, 0,
                                        0x20, 0,    0, 0, 0x01, 0xEF, 0xCD, 0xAB, 0xFD, 0,    0, 0};
  EXPECT_EQ(std::memcmp(data.data(), first_three, sizeof first_three), 0);
}

TEST_F(ConfigTest, RewritingKeepsValuesOfOtherNames) {
  sim::reg_create_key(kParameters);
  sim::reg_set_dword(kParameters, "OLD_SYSPAGES", 1234);
  sim::reg_set_dword(kParameters, "PHYBUFSIZE", 1);
  ReservedModule table[kReservedModuleSlots] = {};
  FailureInfo failure;
  ASSERT_EQ(write_driver_parameters(usual_config(table, 0), &failure), 0);
  EXPECT_EQ(dword_at(kParameters, "OLD_SYSPAGES"), 1234u);
  EXPECT_EQ(dword_at(kParameters, "PHYBUFSIZE"), 0x8000u);
}

TEST_F(ConfigTest, AFailedWriteStopsTheSequenceAndKeepsEarlierValues) {
  sim::add_fault("RegSetValueExA", "PHYBUFSIZE", 0, port::ERROR_ACCESS_DENIED);
  ReservedModule table[kReservedModuleSlots] = {};
  FailureInfo failure;
  EXPECT_EQ(write_driver_parameters(usual_config(table, 0), &failure), 1);
  EXPECT_STREQ(failure.context, "SetValue");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(failure.message, nullptr);
  std::vector<std::string> names = sim::reg_value_names(kParameters);
  EXPECT_EQ(names, (std::vector<std::string>{"MILL_NUM_ISA_ADDRS", "MILL_ISA_ADDRS", "MILL_ISA_HW_INT"}));
}

TEST_F(ConfigTest, KeyCreationFailuresNameTheKey) {
  const struct {
    int occurrence;
    const char* context;
  } cases[] = {{1, "Failed to open the driver registry key"},
               {2, "Failed to open the driver parameters registry key"}};
  for (const auto& c : cases) {
    sim::clear_faults();
    sim::reg_delete_key(kServiceKeyPath);
    sim::add_fault("RegCreateKeyExA", "", c.occurrence, port::ERROR_ACCESS_DENIED);
    ReservedModule table[kReservedModuleSlots] = {};
    FailureInfo failure;
    EXPECT_EQ(write_driver_parameters(usual_config(table, 0), &failure), 1);
    EXPECT_STREQ(failure.context, c.context);
    EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
    EXPECT_EQ(sim::open_handle_count(), 0u);
  }
}

TEST_F(ConfigTest, DriverIsInstalledWhenTheServiceKeyExistsEvenEmpty) {
  EXPECT_FALSE(driver_is_installed());
  sim::reg_create_key(kServiceKeyPath);
  EXPECT_TRUE(driver_is_installed());
}

TEST_F(ConfigTest, QueryDwordValueRejectsOtherTypes) {
  sim::reg_create_key(kParameters);
  sim::reg_set_dword(kParameters, "DWORD", 42);
  sim::reg_set(kParameters, "BINARY4", port::REG_BINARY, {1, 2, 3, 4});
  sim::reg_set_string(kParameters, "SHORT", "ab");
  sim::reg_set(kParameters, "BINARY8", port::REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
  sim::reg_set_string(kParameters, "LONG", "abcdef");
  const struct {
    const char* name;
    int result;
    const char* message;
  } cases[] = {
      {"DWORD", 0, nullptr},
      {"BINARY4", 1, "Query value got invalid type"},
      {"SHORT", 1, "Query value got invalid type"},
      {"BINARY8", 1, nullptr},
      {"LONG", 1, nullptr},
      {"MISSING", 1, nullptr},
  };
  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, port::KEY_READ, &key), 0);
  for (const auto& c : cases) {
    std::uint32_t value = 7;
    FailureInfo failure;
    EXPECT_EQ(query_dword_value(key, c.name, &value, &failure), c.result) << c.name;
    EXPECT_STREQ(failure.message, c.message) << c.name;
    EXPECT_EQ(failure.context, nullptr) << c.name;
    EXPECT_EQ(value, c.result == 0 ? 42u : 7u) << c.name;
  }
  port::RegCloseKey(key);
}

// ---- memory adjustment

class MemoryTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::reg_create_key(kParameters);
  }
  DriverConfig config_for(std::uint32_t modules) {
    DriverConfig config{};
    config.max_pci_modules = modules;
    return config;
  }
};

TEST_F(MemoryTest, ApplyComputesSystemPagesAndBookkeeping) {
  const struct {
    std::uint32_t previous;
    int already_opt;
    std::uint32_t meg;
    std::uint32_t modules;
    std::uint32_t expected;
    int outcome;
  } cases[] = {
      {0, 2, 512, 16, 163840, 1},
      {0, 1, 512, 16, 163840, 1},
      {0, 3, 512, 16, 163840, 1},
      {50000, 3, 512, 4, 54096, 2},
      {50000, 2, 256, 4, 86016, 2},
      {50000, 0, 256, 4, 86016, 2},
      // Sums beyond 32 bits are held at the largest value, never wrapped to a small one.
      {0, 2, 16777216, 0, 0xFFFFFFFF, 1},
      {0xFFFFFFFF, 3, 0, 16, 0xFFFFFFFF, 2},
  };
  for (const auto& c : cases) {
    sim::reg_set_dword(kMemory, "SystemPages", c.previous);
    int outcome = 0;
    int reboot = 0;
    FailureInfo failure;
    EXPECT_EQ(
        apply_memory_adjustment(config_for(c.modules), c.already_opt, c.meg, &outcome, &reboot, &failure), 0);
    EXPECT_EQ(dword_at(kMemory, "SystemPages"), c.expected) << c.previous << " " << c.already_opt;
    EXPECT_EQ(dword_at(kParameters, "OLD_SYSPAGES"), c.previous);
    EXPECT_EQ(dword_at(kParameters, "NEW_SYSPAGES"), c.expected);
    EXPECT_EQ(dword_at(kParameters, "SYSP_NUM_PCI"), c.modules);
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(reboot, 1);
  }
}

TEST_F(MemoryTest, ApplySkipsAnEarlierAdjustmentWhenAskedTo) {
  sim::reg_set_dword(kMemory, "SystemPages", 50000);
  int outcome = 0;
  int reboot = 0;
  FailureInfo failure;
  EXPECT_EQ(apply_memory_adjustment(config_for(4), 1, 512, &outcome, &reboot, &failure), 0);
  EXPECT_EQ(dword_at(kMemory, "SystemPages"), 50000u);
  EXPECT_TRUE(sim::reg_value_names(kParameters).empty());
  EXPECT_EQ(outcome, 2);
  EXPECT_EQ(reboot, 0);
}

TEST_F(MemoryTest, ApplyFailures) {
  int outcome = 0;
  int reboot = 0;

  sim::reg_set_string(kMemory, "SystemPages", "x");
  FailureInfo wrong_type;
  EXPECT_EQ(apply_memory_adjustment(config_for(4), 2, 512, &outcome, &reboot, &wrong_type), 1);
  EXPECT_STREQ(wrong_type.message, "Unable to determine or make system adjustments.");
  EXPECT_EQ(wrong_type.context, nullptr);

  // SystemPages is never left raised without the bookkeeping that undoes it.
  for (const char* value : {"SystemPages", "OLD_SYSPAGES", "NEW_SYSPAGES", "SYSP_NUM_PCI"}) {
    SCOPED_TRACE(value);
    sim::clear_faults();
    sim::reg_set_dword(kMemory, "SystemPages", 5000);
    sim::add_fault("RegSetValueExA", value, 1, port::ERROR_ACCESS_DENIED);
    FailureInfo write_failed;
    EXPECT_EQ(apply_memory_adjustment(config_for(4), 2, 512, &outcome, &reboot, &write_failed), 1);
    EXPECT_STREQ(write_failed.context, "SetValue");
    EXPECT_EQ(write_failed.code, port::ERROR_ACCESS_DENIED);
    EXPECT_EQ(dword_at(kMemory, "SystemPages"), 5000u);
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(reboot, 0);
  }

  sim::clear_faults();
  sim::reg_delete_key(kServiceKeyPath);
  FailureInfo no_parameters;
  EXPECT_EQ(apply_memory_adjustment(config_for(4), 2, 512, &outcome, &reboot, &no_parameters), 1);
  EXPECT_STREQ(no_parameters.context, "OpenKey - Parameters");
  EXPECT_EQ(no_parameters.code, port::ERROR_FILE_NOT_FOUND);

  sim::reg_delete_key(kMemory);
  FailureInfo no_memory_key;
  EXPECT_EQ(apply_memory_adjustment(config_for(4), 2, 512, &outcome, &reboot, &no_memory_key), 1);
  EXPECT_STREQ(no_memory_key.context, "OpenKey - Memory manager");
  EXPECT_EQ(no_memory_key.code, port::ERROR_FILE_NOT_FOUND);
  EXPECT_STREQ(no_memory_key.message, "Unable to determine or make system adjustments.");
}

TEST_F(MemoryTest, RestoreUndoesRecalculatesOrLeavesAlone) {
  const struct {
    std::uint32_t current;
    std::uint32_t expected;
    int outcome;
    int reboot;
  } cases[] = {
      {163840, 40000, 1, 1},               // ours: the earlier value comes back
      {165840, 165840 - 16 * 1024, 2, 1},  // raised further by someone else: take back our share
      {100000, 100000, 3, 0},              // lowered since: leave it
      {40000, 40000, 1, 0},                // put back by a run ended before its record went
  };
  for (const auto& c : cases) {
    sim::reg_set_dword(kParameters, "OLD_SYSPAGES", 40000);
    sim::reg_set_dword(kParameters, "NEW_SYSPAGES", 163840);
    sim::reg_set_dword(kParameters, "SYSP_NUM_PCI", 16);
    sim::reg_set_dword(kMemory, "SystemPages", c.current);
    int outcome = 0;
    int reboot = 0;
    FailureInfo failure;
    EXPECT_EQ(restore_memory_adjustment(&outcome, &reboot, &failure), 0);
    EXPECT_EQ(dword_at(kMemory, "SystemPages"), c.expected) << c.current;
    EXPECT_EQ(outcome, c.outcome) << c.current;
    EXPECT_EQ(reboot, c.reboot) << c.current;
    EXPECT_EQ(failure.context, nullptr);
  }
}

TEST_F(MemoryTest, RestoreWithoutBookkeepingDoesNothingAndRecordsNothing) {
  sim::reg_set_dword(kMemory, "SystemPages", 5000);
  int outcome = 0;
  int reboot = 0;
  FailureInfo failure;
  EXPECT_EQ(restore_memory_adjustment(&outcome, &reboot, &failure), 1);
  EXPECT_EQ(failure.context, nullptr);
  EXPECT_EQ(failure.message, nullptr);

  sim::reg_delete_key(kServiceKeyPath);
  EXPECT_EQ(restore_memory_adjustment(&outcome, &reboot, &failure), 0);
  EXPECT_EQ(outcome, 0);
  EXPECT_EQ(reboot, 0);
  EXPECT_EQ(dword_at(kMemory, "SystemPages"), 5000u);
}

// An adjustment of ours that is there but can't be read or undone is reported as stuck, so
// that the removal keeps the bookkeeping for the next attempt; absence means none of ours.
TEST_F(MemoryTest, RestoreThatCantUndoAnAdjustmentSaysSo) {
  const std::string memory_path = kMemory;
  const struct {
    const char* label;
    const char* call;
    std::string argument;
    int result;
    const char* context;
  } cases[] = {
      {"Parameters unreadable", "RegOpenKeyExA", kParameters, 2, "OpenKey - Parameters"},
      {"Memory Management unreadable", "RegOpenKeyExA", memory_path, 2, "OpenKey - Memory manager"},
      {"bookkeeping unreadable", "RegQueryValueExA", "NEW_SYSPAGES", 2, "QueryValue"},
      {"SystemPages unreadable", "RegQueryValueExA", "SystemPages", 2, "QueryValue"},
      {"restoring write fails", "RegSetValueExA", "SystemPages", 2, "SetValue"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::clear_faults();
    sim::reg_set_dword(kParameters, "OLD_SYSPAGES", 40000);
    sim::reg_set_dword(kParameters, "NEW_SYSPAGES", 163840);
    sim::reg_set_dword(kParameters, "SYSP_NUM_PCI", 16);
    sim::reg_set_dword(kMemory, "SystemPages", 163840);
    sim::add_fault(c.call, c.argument, 0, port::ERROR_ACCESS_DENIED);
    int outcome = 0;
    int reboot = 0;
    FailureInfo failure;
    EXPECT_EQ(restore_memory_adjustment(&outcome, &reboot, &failure), c.result);
    EXPECT_STREQ(failure.context, c.context);
    EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
    EXPECT_EQ(dword_at(kMemory, "SystemPages"), 163840u);
    EXPECT_EQ(outcome, 0);
  }
}

TEST_F(MemoryTest, ApplyThenRestoreGivesBackTheOriginalValue) {
  sim::reg_set_dword(kMemory, "SystemPages", 0);
  int outcome = 0;
  int reboot = 0;
  FailureInfo failure;
  ASSERT_EQ(apply_memory_adjustment(config_for(16), 2, 512, &outcome, &reboot, &failure), 0);
  outcome = 0;
  ASSERT_EQ(restore_memory_adjustment(&outcome, &reboot, &failure), 0);
  EXPECT_EQ(dword_at(kMemory, "SystemPages"), 0u);
  EXPECT_EQ(outcome, 1);
}

}  // namespace
