// The installation and removal on AMD64, with the real installx64 as the 64-bit side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/driver_config.h"
#include "pnp/pnp.h"
#include "pnp_fixture.h"

namespace {

namespace fs = std::filesystem;

class Amd64 : public PnpMachine {
 protected:
  void SetUp() override {
    // The simulated machine runs a Windows program as the native program of the same name
    // beside the running executable.
    fs::path built = fs::path(HALVIK_BIN_DIR) / "installx64";
    if (!fs::exists(built)) GTEST_SKIP() << "installx64 is not built";
    fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() / "installx64";
    std::error_code ignored;
    if (!fs::exists(beside, ignored)) {
      fs::path temporary = beside.string() + "." + std::to_string(::getpid());
      fs::create_symlink(built, temporary, ignored);
      fs::rename(temporary, beside, ignored);
    }
    PnpMachine::SetUp();
    sim::reg_set_string(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", "AMD64");
    sim::write_file("C:\\Tessaridge\\install\\installx64.exe", "MZ");
  }
  int memory_outcome = 9;
  int reboot_needed = 9;
  FailureInfo failure{};
};

TEST_F(Amd64, TheRemovalIsDoneByTheCounterpart) {
  sim::reg_create_key(kServiceKeyPath);
  ::testing::internal::CaptureStdout();
  int result = remove_pnp_driver(&memory_outcome, &reboot_needed, &failure);
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0) << (failure.message ? failure.message : "");
  EXPECT_EQ(memory_outcome, 0);
  EXPECT_FALSE(sim::reg_key_exists(kServiceKeyPath));
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\Temp\\instlib.tmp"));
  EXPECT_NE(output.find("Removing registry entries...\n"), std::string::npos);
}

// The counterpart knows nothing of the memory adjustment made before the hand-over; its
// answer must not take back the reboot that adjustment needs.
TEST_F(Amd64, TheMemoryAdjustmentsRebootSurvivesTheAnswer) {
  DriverConfig c = config(8);
  ::testing::internal::CaptureStdout();
  int result = install_pnp_driver(&c, 1, 1, 512, &memory_outcome, kInfPath, 0, &reboot_needed, &failure);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0) << (failure.context ? failure.context : "")
                       << (failure.message ? failure.message : "");
  EXPECT_EQ(memory_outcome, 1);
  EXPECT_EQ(reboot_needed, 1);
  port::DWORD value = 1;
  EXPECT_TRUE(sim::reg_get_dword(kCoInstallerKey, "displayCoinstallerPage", &value));
}

TEST_F(Amd64, ACounterpartThatCannotAnswerEndsWithItsExitCode) {
  // The exchange folder is the first one this process makes; the counterpart's second open of
  // the file is the one for its answer.
  char folder[64];
  std::snprintf(folder, sizeof folder, "C:\\WINDOWS\\Temp\\halvik-%lx-0", static_cast<unsigned long>(::getpid()));
  sim::add_fault("fopen", std::string(folder) + "\\instlib.tmp", 2, port::ERROR_ACCESS_DENIED);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int result = remove_pnp_driver(&memory_outcome, &reboot_needed, &failure);
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(failure.message, "Exit code 1 spawning 64-bit program.");
  // Nothing of the exchange outlives it.
  EXPECT_FALSE(sim::file_exists(folder));
}

}  // namespace
