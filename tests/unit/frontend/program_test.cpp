#include "frontend/program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "config/memory_adjustment.h"
#include "frontend/settings.h"
#include "platform/port.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

std::string description_of(std::uint32_t code) {
  char text[200] = {};
  port::FormatMessageA(port::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400, text, sizeof text, nullptr);
  return text;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using ProgramTest = MachineTest;

TEST_F(ProgramTest, RebootSystemReportsEachFailedStepAndGoesOn) {
  const struct {
    const char* fault;
    port::DWORD error;
    std::string err;
    bool rebooted;
  } cases[] = {
      {"", 0, "", true},
      {"OpenProcessToken", port::ERROR_ACCESS_DENIED, "OpenProcessToken: " + description_of(5), false},
      // Too long for one console line: broken at the last blank within 80 columns.
      {"AdjustTokenPrivileges", port::ERROR_NOT_ALL_ASSIGNED,
       "AdjustTokenPrivileges: Not all privileges referenced are assigned to the\ncaller.\r\n", false},
      {"ExitWindowsEx", port::ERROR_ACCESS_DENIED, "Shutting down: " + description_of(5), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::string error;
    ASSERT_TRUE(sim::create_machine(dir() + "/" + c.fault + "machine", "xp", &error)) << error;
    ASSERT_TRUE(sim::use_machine(dir() + "/" + c.fault + "machine", &error)) << error;
    if (c.error != 0) sim::add_fault(c.fault, "", 0, c.error);
    testing::internal::CaptureStderr();
    reboot_system();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(sim::reboot_requested(), c.rebooted);
    // Planned, for an application's installation: Windows logs it as such.
    EXPECT_EQ(read_text(sim::machine_dir() + "/machine.ini").find("reboot_reason = 0x80040002") !=
                  std::string::npos,
              c.rebooted);
    EXPECT_EQ(sim::open_handle_count(), 0u);
  }
}

TEST_F(ProgramTest, RemovalPassPrintsTheMemoryOutcome) {
  const std::string parameters = kParametersKeyPath;
  const struct {
    std::uint32_t current;
    std::string out;
    int reboot;
  } cases[] = {
      {20000,
       "Original memory values restored.\n"
       "For the memory adjustments to take effect, the system must be rebooted.\n",
       1},
      {30000,
       "Memory values readjusted.\n"
       "Another program had adjusted the same memory parameters,\n"
       "so values were recalculated rather than restored.\n"
       "For the memory adjustments to take effect, the system must be rebooted.\n",
       1},
      {10000, "Memory values not modified, value had been decreased.\n", 0},
  };
  for (const auto& c : cases) {
    sim::reg_set_dword(parameters, "OLD_SYSPAGES", 0);
    sim::reg_set_dword(parameters, "NEW_SYSPAGES", 20000);
    sim::reg_set_dword(parameters, "SYSP_NUM_PCI", 4);
    sim::reg_set_dword(kMemoryManagementKeyPath, "SystemPages", c.current);
    int reboot_needed = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run_removal_pass(&reboot_needed, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(reboot_needed, c.reboot);
  }
}

TEST_F(ProgramTest, TheRecordCarriesTheWholeModuleTable) {
  reset_settings();
  num_reserved_modules = 2;
  DriverConfig config = build_driver_config();
  EXPECT_EQ(config.isa_hw_int, -1);
  EXPECT_EQ(config.isa_addrs_length, 0u);
  EXPECT_EQ(config.reserved_modules, reserved_module_table);
  EXPECT_EQ(config.reserved_modules_length, 256u);
  EXPECT_EQ(config.num_reserved_modules, 2u);
}

}  // namespace
