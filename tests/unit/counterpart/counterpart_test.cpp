// installx64 run in-process on the simulated machine: request in, device work, response out.
#include "counterpart/counterpart.h"

#include <gtest/gtest.h>

#include <string>

#include "pnp/device_walk.h"
#include "pnp/pnp.h"
#include "unit/pnp/pnp_fixture.h"

namespace {

const char* const kRequest = "C:\\WINDOWS\\Temp\\instlib.tmp";

class Counterpart : public PnpMachine {
 protected:
  int run(const std::string& request) {
    sim::write_file(kRequest, request);
    char program[] = "installx64.exe";
    char option[] = "-6";
    std::string path = kRequest;
    char* argv[] = {program, option, path.data(), nullptr};
    ::testing::internal::CaptureStdout();
    int exit_code = run_counterpart(3, argv);
    output = ::testing::internal::GetCapturedStdout();
    return exit_code;
  }
  std::string response() { return sim::read_file(kRequest); }
  std::string output;
};

TEST_F(Counterpart, RemovalAnswersWithTheOutcome) {
  EXPECT_EQ(run("0\r\nR\r\n1\r\n"), 0);
  EXPECT_EQ(response(), "1\r\nR\r\n0\r\n:\r\n0\r\n:\r\n0\r\n");
  EXPECT_NE(output.find("Removing registry entries...\n"), std::string::npos);
}

TEST_F(Counterpart, InstallationRunsTheDeviceWorkWithThePathFromTheRequest) {
  EXPECT_EQ(run("0\r\nI\r\n..\\pnp\\morvellan.inf\r\n1\r\n1\r\n"), 0);
  EXPECT_EQ(response(), "1\r\nI\r\n0\r\n:\r\n0\r\n:\r\n0\r\n");
  port::DWORD value = 1;
  EXPECT_TRUE(sim::reg_get_dword(kCoInstallerKey, "displayCoinstallerPage", &value));
  EXPECT_EQ(count_matching_devices(supported_hardware_ids[0]), 1);
}

// The request says whether anyone may answer the system's prompts; a request of an earlier
// installer, without that line, keeps them.
TEST_F(Counterpart, ABatchRequestRunsTheClassInstallerQuiet) {
  for (const char* last_lines : {"1\r\n0\r\n", "1\r\n1\r\n", "1\r\n"}) {
    SCOPED_TRACE(last_lines);
    for (const sim::Board& b : sim::boards()) sim::add_board(b);
    sim::clear_trace();
    EXPECT_EQ(run(std::string("0\r\nR\r\n") + last_lines), 0);
    interactive = 1;
    int quiet_calls = 0;
    for (const std::string& line : sim::trace())
      quiet_calls += line.starts_with("SetupDiSetDeviceInstallParamsA");
    EXPECT_EQ(quiet_calls > 0, std::string(last_lines) == "1\r\n0\r\n");
    EXPECT_NE(output.find("Removed Device"), std::string::npos);
  }
}

TEST_F(Counterpart, AFailureTravelsOnOneLinePerText) {
  sim::add_service("halvservice", 0x10, port::SERVICE_RUNNING);
  EXPECT_EQ(run("0\r\nR\r\n1\r\n"), 0);
  EXPECT_EQ(response(),
            "1\r\nR\r\n0\r\n:\r\n0\r\n"
            "Cannot uninstall the driver without stopping the Halvik host service. Stop the Halvik host "
            "service and try again. To stop the Halvik host service type \"net stop halvservice\"\r\n1\r\n");
}

TEST_F(Counterpart, ContextWithALineBreakAndItsCode) {
  sim::set_reenumerate_error(port::CR_FAILURE);
  EXPECT_EQ(run("0\nI\n..\\pnp\\morvellan.inf\n0\n1\n"), 0);
  std::string r = response();
  EXPECT_EQ(r.rfind("1\r\nI\r\n0\r\nFailed to scan the device node\r\n", 0), 0u) << r;
  EXPECT_EQ(r.substr(r.size() - 3), "1\r\n");
}

TEST_F(Counterpart, AnUnreadableRequestGetsAnAnswerSayingWhy) {
  EXPECT_EQ(run("garbage\r\n"), 0);
  EXPECT_EQ(
      response(),
      "1\r\n?\r\n0\r\n:\r\n0\r\nThe request file does not begin with a request (io specifier 0).\r\n1\r\n");
}

TEST_F(Counterpart, WrongCommandLine) {
  char program[] = "installx64.exe";
  char option[] = "-5";
  char* argv[] = {program, option, nullptr};
  EXPECT_NE(run_counterpart(2, argv), 0);
  EXPECT_NE(run_counterpart(1, argv), 0);
}

TEST_F(Counterpart, APathWithBlanksArrivesInPieces) {
  sim::make_directory("C:\\Documents and Settings\\Temp");
  const char* path = "C:\\Documents and Settings\\Temp\\instlib.tmp";
  sim::write_file(path, "0\r\nR\r\n1\r\n");
  char program[] = "installx64.exe";
  char option[] = "-6";
  char a[] = "C:\\Documents";
  char b[] = "and";
  char c[] = "Settings\\Temp\\instlib.tmp";
  char* argv[] = {program, option, a, b, c, nullptr};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run_counterpart(5, argv), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(sim::read_file(path), "1\r\nR\r\n0\r\n:\r\n0\r\n:\r\n0\r\n");
}

}  // namespace
