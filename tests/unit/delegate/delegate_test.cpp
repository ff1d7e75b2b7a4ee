// The hand-over to the 64-bit counterpart: the architecture decision, the request bytes and the
// reading of the response.
#include "delegate/delegate.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>

#include "delegate/x64_exchange.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

const char* const kEnvironmentKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char* const kInfPath = "..\\pnp\\morvellan.inf";

class Delegation : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::set_env("TEMP", "C:\\Temp");
    sim::make_directory("C:\\Temp");
  }
  void set_architecture(const std::string& value) {
    sim::reg_set_string(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", value);
  }
  // Outputs preset to values the call must keep or overwrite.
  int reboot_needed = 7;
  int status = 7;
  FailureInfo failure{"old context", 9, "old message"};
};

TEST_F(Delegation, OnX86NothingIsHandedOver) {
  set_architecture("x86");
  EXPECT_EQ(delegate_to_x64('I', kInfPath, 1, &reboot_needed, &failure, &status), 0);
  EXPECT_EQ(failure.context, nullptr);
  EXPECT_EQ(failure.message, nullptr);
  EXPECT_EQ(failure.code, 9u);
  EXPECT_EQ(reboot_needed, 7);
  EXPECT_EQ(status, 7);
  EXPECT_FALSE(sim::file_exists("C:\\Temp\\instlib.tmp"));
}

struct ArchitectureFailure {
  const char* name;
  const char* fault_call;  // "" for none
  const char* fault_argument;
  const char* architecture;
  const char* message;
};

void PrintTo(const ArchitectureFailure& c, std::ostream* os) {
  *os << c.name;
}

class DelegationArchitecture : public Delegation,
                               public ::testing::WithParamInterface<ArchitectureFailure> {};

TEST_P(DelegationArchitecture, FailsWithoutStartingAnything) {
  const ArchitectureFailure& c = GetParam();
  set_architecture(c.architecture);
  if (c.fault_call[0] != '\0') sim::add_fault(c.fault_call, c.fault_argument, 0, 2);
  EXPECT_EQ(delegate_to_x64('R', nullptr, 0, &reboot_needed, &failure, &status), 1);
  EXPECT_STREQ(failure.message, c.message);
  EXPECT_EQ(failure.context, nullptr);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(reboot_needed, 7);
  EXPECT_FALSE(sim::file_exists("C:\\Temp\\instlib.tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DelegationArchitecture,
    ::testing::Values(ArchitectureFailure{"KeyMissing", "RegOpenKeyExA", kEnvironmentKey, "AMD64",
                                          "Error accessing registry to query architecture."},
                      ArchitectureFailure{"ValueMissing", "RegQueryValueExA", "PROCESSOR_ARCHITECTURE",
                                          "AMD64", "Error accessing registry key to query architecture."},
                      ArchitectureFailure{"LowerCaseAmd64", "", "", "amd64",
                                          "Unsupported processor architecture."},
                      ArchitectureFailure{"Itanium", "", "", "IA64", "Unsupported processor architecture."}),
    [](const ::testing::TestParamInfo<ArchitectureFailure>& param_info) {
      return std::string(param_info.param.name);
    });

// The request as the counterpart finds it, in a file that must be new.
TEST_F(Delegation, RequestBytes) {
  const struct {
    char command;
    const char* inf_path;
    int auto_start;
    const char* error;
    std::string bytes;
  } cases[] = {
      {'I', kInfPath, 1, nullptr, "0\r\nI\r\n..\\pnp\\morvellan.inf\r\n1\r\n1\r\n1\r\n"},
      {'R', nullptr, 0, nullptr, "0\r\nR\r\n1\r\n1\r\n"},
      {'X', nullptr, 0, "Invalid command for 64-bit program.", "0\r\nX\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    sim::write_file("C:\\Temp\\old.txt", "");
    port::DeleteFileA("C:\\Temp\\instlib.tmp");
    const char* error = write_x64_request("C:\\Temp\\instlib.tmp", c.command, c.inf_path, c.auto_start);
    EXPECT_EQ(error == nullptr ? "" : std::string(error), c.error == nullptr ? "" : c.error);
    EXPECT_EQ(sim::read_file("C:\\Temp\\instlib.tmp"), c.bytes);
  }
  // A name that is taken, by a file or by a link to one, is never written through.
  sim::write_file("C:\\Temp\\victim.txt", "keep");
  std::filesystem::remove(sim::host_path("C:\\Temp\\instlib.tmp"));
  std::filesystem::create_symlink(sim::host_path("C:\\Temp\\victim.txt"), sim::host_path("C:\\Temp\\instlib.tmp"));
  EXPECT_STREQ(write_x64_request("C:\\Temp\\instlib.tmp", 'R', nullptr, 0),
               "Error opening input file for 64-bit program.");
  EXPECT_EQ(sim::read_file("C:\\Temp\\victim.txt"), "keep");
}

// The exchange folder of this process's first attempt, as the sim names processes.
std::string exchange_folder(int attempt) {
  char folder[80];
  std::snprintf(folder, sizeof folder, "C:\\WINDOWS\\Temp\\halvik-%lx-%d", static_cast<unsigned long>(::getpid()),
                attempt);
  return folder;
}

// The counterpart is only ever the one beside the program: one in the current directory or
// on PATH is never started, and nothing of the exchange stays.
TEST_F(Delegation, OnlyTheCounterpartBesideTheProgramIsStarted) {
  set_architecture("AMD64");
  for (const char* planted : {"C:\\Work\\installx64.exe", "C:\\Tools\\installx64.exe"})
    sim::write_file(planted, "MZ planted");
  sim::set_env("PATH", "C:\\Tools");
  sim::set_current_directory("C:\\Work");
  sim::clear_trace();
  EXPECT_EQ(delegate_to_x64('R', nullptr, 0, &reboot_needed, &failure, &status), 1);
  EXPECT_STREQ(failure.message, "Error 2 spawning 64-bit program.");
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(sim::file_exists(exchange_folder(0)));
  bool started_beside = false;
  for (const std::string& line : sim::trace())
    started_beside |= line.rfind("spawnl_wait \"C:\\Tessaridge\\install\\installx64.exe\"", 0) == 0;
  EXPECT_TRUE(started_beside);
}

// A folder name that is taken is never used: what an earlier run left (its request file) is
// cleared away, anything else stays as it is and the name is passed over.  A folder that can't
// be made at all stops the exchange before anything is written.
TEST_F(Delegation, TheExchangeFolderIsAlwaysNew) {
  set_architecture("AMD64");
  const std::string stale = "C:\\WINDOWS\\Temp\\halvik-1-0";
  sim::write_file(stale + "\\instlib.tmp", "0\r\nR\r\n1\r\n");
  sim::write_file(exchange_folder(0) + "\\other.txt", "someone else's");
  EXPECT_EQ(delegate_to_x64('R', nullptr, 0, &reboot_needed, &failure, &status), 1);
  EXPECT_STREQ(failure.message, "Error 2 spawning 64-bit program.");
  EXPECT_FALSE(sim::file_exists(stale));
  EXPECT_EQ(sim::read_file(exchange_folder(0) + "\\other.txt"), "someone else's");
  EXPECT_FALSE(sim::file_exists(exchange_folder(0) + "\\instlib.tmp"));
  EXPECT_FALSE(sim::file_exists(exchange_folder(1)));

  // Which folder, and why, comes before the message.
  sim::add_fault("CreateDirectoryA", "", 0, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(delegate_to_x64('R', nullptr, 0, &reboot_needed, &failure, &status), 1);
  EXPECT_EQ(failure.context, "Unable to create " + exchange_folder(0));
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_STREQ(failure.message, "Error opening input file for 64-bit program.");
}

// The response as the counterpart leaves it.
struct ResponseCase {
  const char* name;
  std::string content;
  const char* error;  // null: read completely
  int reboot_needed;
  const char* context;
  std::uint32_t code;
  const char* message;
  int status;
};

void PrintTo(const ResponseCase& c, std::ostream* os) {
  *os << c.name;
}

class DelegationResponse : public Delegation, public ::testing::WithParamInterface<ResponseCase> {};

TEST_P(DelegationResponse, FieldsReachTheCaller) {
  const ResponseCase& c = GetParam();
  sim::write_file("C:\\Temp\\instlib.tmp", c.content);
  failure = FailureInfo{};
  const char* error = read_x64_response("C:\\Temp\\instlib.tmp", 'I', &reboot_needed, &failure, &status);
  if (c.error == nullptr) {
    EXPECT_EQ(error, nullptr) << error;
    EXPECT_FALSE(sim::file_exists("C:\\Temp\\instlib.tmp"));
    EXPECT_EQ(status, c.status);
  } else {
    EXPECT_STREQ(error, c.error);
    EXPECT_TRUE(sim::file_exists("C:\\Temp\\instlib.tmp"));
  }
  EXPECT_EQ(reboot_needed, c.reboot_needed);
  if (c.context == nullptr) {
    EXPECT_EQ(failure.context, nullptr);
  } else {
    EXPECT_STREQ(failure.context, c.context);
  }
  EXPECT_EQ(failure.code, c.code);
  if (c.message == nullptr) {
    EXPECT_EQ(failure.message, nullptr);
  } else {
    EXPECT_STREQ(failure.message, c.message);
  }
}

const std::string kLong(600, 'x');
const std::string kLongCut = kLong.substr(0, 510);

INSTANTIATE_TEST_SUITE_P(
    Cases, DelegationResponse,
    ::testing::Values(
        ResponseCase{"Success", "1\r\nI\r\n0\r\n:\r\n0\r\n:\r\n0\r\n", nullptr, 0, nullptr, 0, nullptr, 0},
        ResponseCase{"BareLineFeeds", "1\nI\n1\n:\n0\n:\n0", nullptr, 1, nullptr, 0, nullptr, 0},
        ResponseCase{"ContextAndCode", "1\r\nI\r\n0\r\nFailed to scan the device node\r\n5\r\n:\r\n1\r\n",
                     nullptr, 0, "Failed to scan the device node", 5, nullptr, 1},
        ResponseCase{"EmptyTextIsPresent", "1\r\nI\r\n0\r\n\r\n0\r\nsome message\r\n1\r\n", nullptr, 0, "", 0,
                     "some message", 1},
        ResponseCase{"JunkAfterANumberIsSkipped", "1\r\nI\r\n1 junk\r\nctx\r\n3 more\r\n:\r\n1\r\n", nullptr,
                     1, "ctx", 3, nullptr, 1},
        ResponseCase{"NegativeCodeKeepsItsBits", "1\r\nI\r\n0\r\nctx\r\n-536870389\r\n:\r\n1\r\n", nullptr, 0,
                     "ctx", 0xE000020Bu, nullptr, 1},
        ResponseCase{"LongTextIsCutAndTheRestStillRead", "1\r\nI\r\n0\r\n" + kLong + "\r\n4\r\n:\r\n1\r\n",
                     nullptr, 0, kLongCut.c_str(), 4, nullptr, 1},
        ResponseCase{"Empty", "", "Error reading io specifier from 64-bit program.", 7, nullptr, 0, nullptr,
                     7},
        ResponseCase{"ARequestNotAResponse", "0\r\nI\r\n", "Error reading io specifier from 64-bit program.",
                     7, nullptr, 0, nullptr, 7},
        ResponseCase{"OtherCommand", "1\r\nR\r\n0\r\n:\r\n0\r\n:\r\n0\r\n",
                     "Error reading command from 64-bit program.", 7, nullptr, 0, nullptr, 7},
        ResponseCase{"LowerCaseCommand", "1\r\ni\r\n0\r\n:\r\n0\r\n:\r\n0\r\n",
                     "Error reading command from 64-bit program.", 7, nullptr, 0, nullptr, 7},
        ResponseCase{"NoRebootValue", "1\r\nI\r\n", "Error reading value from 64-bit program.", 7, nullptr, 0,
                     nullptr, 7},
        ResponseCase{"EndsAfterTheMessage", "1\r\nI\r\n1\r\nctx\r\n5\r\nmsg\r\n",
                     "Error reading value from 64-bit program.", 1, "ctx", 5, "msg", 7}),
    [](const ::testing::TestParamInfo<ResponseCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(Delegation, MissingResponseFile) {
  EXPECT_STREQ(read_x64_response("C:\\Temp\\instlib.tmp", 'R', &reboot_needed, &failure, &status),
               "Error opening output file from 64-bit program.");
}

}  // namespace
