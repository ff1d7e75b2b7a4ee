#include "frontend/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/settings.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

int parse(std::vector<std::string> arguments) {
  reset_settings();
  arguments.insert(arguments.begin(), "install");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(arguments.size()), argv.data());
}

// A complete installation list: the 22 fixed entries, then pairs, then the six closing ones.
std::vector<std::string> installation_list(const std::vector<std::string>& pairs,
                                           const std::string& auto_start = "yes",
                                           const std::string& machine = "fe") {
  std::vector<std::string> list = {"-c",    "r",   "r",   "r",    "8", "40000", "20000", "r",
                                   machine, "0",   "1",   "2048", "2", "3",     "0",     "32",
                                   "100",   "200", "300", "r",    "7", "8",     "9"};
  list.insert(list.end(), pairs.begin(), pairs.end());
  for (const char* entry : {auto_start.c_str(), "y", "3", "512", "r", "1"}) list.push_back(entry);
  return list;
}

using CommandLineTest = MachineTest;

TEST_F(CommandLineTest, RemovalFormsOfTheList) {
  const std::vector<std::vector<std::string>> cases = {{"-r", "-c", "1"}, {"-c", "1", "-r"}};
  for (const auto& arguments : cases) {
    EXPECT_EQ(parse(arguments), 2);
    EXPECT_EQ(removal_mode, 1);
    EXPECT_EQ(batch_mode, 1);
    EXPECT_EQ(do_reboot, 1);
  }
}

TEST_F(CommandLineTest, InstallationListFillsEverySetting) {
  EXPECT_EQ(parse(installation_list({"f00", "f2", "0"})), 1);
  EXPECT_EQ(batch_mode, 1);
  EXPECT_EQ(removal_mode, 0);
  EXPECT_EQ(max_pci_modules, 8u);
  EXPECT_EQ(phybufsize, 40000u);
  EXPECT_EQ(appbufsize, 20000u);
  EXPECT_EQ(machine_id, 0xFEu);
  EXPECT_EQ(do_reset, 0);
  EXPECT_EQ(hist_enable, 1);
  EXPECT_EQ(dhsize, 2048u);
  EXPECT_EQ(num_hists_phy, 2u);
  EXPECT_EQ(num_hists_apl, 3u);
  EXPECT_EQ(hist_phy_admin_only, 0u);
  EXPECT_EQ(num_I2O_frames, 32u);
  EXPECT_EQ(fc_interval, 100u);
  EXPECT_EQ(mem_drv_alloc_min, 200u);
  EXPECT_EQ(mem_drv_alloc_quanta, 300u);
  EXPECT_EQ(test1, 7u);
  EXPECT_EQ(test2, 8u);
  EXPECT_EQ(test3, 9u);
  ASSERT_EQ(num_reserved_modules, 1u);
  EXPECT_EQ(reserved_module_table[0].mod_id, 0xF00u);
  EXPECT_EQ(reserved_module_table[0].mod_num, 0xF2u);
  EXPECT_EQ(auto_start, 1);
  EXPECT_EQ(do_adj, 1);
  EXPECT_EQ(already_opt, 3);
  EXPECT_EQ(meg_in_system, 512u);
  EXPECT_EQ(do_reboot, 1);
}

TEST_F(CommandLineTest, ListEntriesAreTakenAsTheyStand) {
  const struct {
    const char* auto_start;
    const char* machine;
    int expected_auto_start;
    std::uint32_t expected_machine;
  } cases[] = {{"yes", "0x1f", 1, 0x1F}, {"Y", "zz", 0, 0}, {"n", "1", 0, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(parse(installation_list({"0"}, c.auto_start, c.machine)), 1);
    EXPECT_EQ(auto_start, c.expected_auto_start) << c.auto_start;
    EXPECT_EQ(machine_id, c.expected_machine) << c.machine;
    EXPECT_EQ(num_reserved_modules, 0u);
  }
}

TEST_F(CommandLineTest, ThirtyTwoPairsEndWithoutAMarker) {
  std::vector<std::string> pairs;
  for (int i = 1; i <= 32; ++i) {
    pairs.push_back(std::to_string(i));
    pairs.push_back("1");  // no range applies to batch values
  }
  EXPECT_EQ(parse(installation_list(pairs)), 1);
  EXPECT_EQ(num_reserved_modules, 32u);
  EXPECT_EQ(reserved_module_table[31].mod_id, 0x32u);
  EXPECT_EQ(auto_start, 1);
}

TEST_F(CommandLineTest, AnInstallationListFollowedByRemovalRemoves) {
  std::vector<std::string> arguments = installation_list({"0"});
  arguments.push_back("-r");
  EXPECT_EQ(parse(arguments), 2);
  EXPECT_EQ(removal_mode, 1);
  EXPECT_EQ(do_reboot, 1);
}

TEST_F(CommandLineTest, WorkingDirectoryChangesAtOnce) {
  sim::make_directory("C:\\Tessaridge\\install");
  EXPECT_EQ(parse({"-d", "C:\\Tessaridge\\install", "-r"}), 2);
  char directory[port::MAX_PATH] = {};
  port::GetCurrentDirectoryA(sizeof directory, directory);
  EXPECT_STREQ(directory, "C:\\Tessaridge\\install");
}

TEST_F(CommandLineTest, DirectoryErrorsGoToStandardOutput) {
  const struct {
    std::vector<std::string> arguments;
    std::string out;
  } cases[] = {
      {{"-d"}, "Missing argument (directory) for -d.\n"},
      {{"-d", "-r"}, "Missing argument (directory) for -d.\n"},
      {{"-d", "C:\\nowhere"},
       "Failed to update the current working directory C:\\nowhere. Make sure you entered a valid path.\n"},
      {{"-d", "C:\\" + std::string(300, 'a')},
       "Failed to update the current working directory C:\\" + std::string(300, 'a') +
           ". Make sure you entered a valid path.\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(c.arguments), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
  }
}

TEST_F(CommandLineTest, AnOverlongDirectoryIsNeverTried) {
  sim::clear_trace();
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"-d", std::string(260, 'a')}), -1);
  testing::internal::GetCapturedStdout();
  for (const std::string& line : sim::trace())
    EXPECT_EQ(line.find("SetCurrentDirectoryA"), std::string::npos);
}

TEST_F(CommandLineTest, UnknownArgumentIsNamed) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"-r", "-x"}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown or unexpected argument -x.\n");
}

}  // namespace
