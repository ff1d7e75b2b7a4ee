#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "config/driver_config.h"
#include "config/memory_adjustment.h"
#include "platform/port.h"
#include "platform/sim/sim.h"
#include "service/service_control.h"
#include "unit/machine_fixture.h"

namespace {

const std::string kEventLog = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\halvik";
const std::string kParameters = kParametersKeyPath;
const std::string kMemory = kMemoryManagementKeyPath;
constexpr port::DWORD kKernelDriver = 1;

long trace_count(const std::string& prefix) {
  const auto& lines = sim::trace();
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// The position in the trace of the first line starting with prefix, or -1.
long trace_position(const std::string& prefix) {
  const auto& lines = sim::trace();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind(prefix, 0) == 0) return static_cast<long>(i);
  return -1;
}

int stop_and_delete(FailureInfo* failure, int* reboot = nullptr) {
  port::SC_HANDLE manager = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
  EXPECT_NE(manager, nullptr);
  sim::clear_trace();
  int ignored = 0;
  int status = stop_and_delete_service(manager, reboot != nullptr ? reboot : &ignored, failure);
  port::CloseServiceHandle(manager);
  return status;
}

using ServiceTest = MachineTest;

TEST_F(ServiceTest, QueryServiceStateReadsTheCurrentState) {
  sim::add_service("halvservice", 0x10, port::SERVICE_PAUSED);
  port::DWORD state = 0;
  EXPECT_EQ(query_service_state("halvservice", &state), 0);
  EXPECT_EQ(state, port::SERVICE_PAUSED);
  state = 99;
  EXPECT_EQ(query_service_state("nosuchservice", &state), 1);
  EXPECT_EQ(state, 99u);
}

// How long the removal waits, counted in the one-second sleeps it records.
TEST_F(ServiceTest, WaitsAreBoundedByFiveStopPollsAndTenVanishAttempts) {
  const struct {
    const char* label;
    bool present;
    port::DWORD state;
    bool stuck;
    bool linger;
    long sleeps_before_delete;
    long sleeps_total;
    bool gone;
    int reboot;  // a driver that didn't stop stays loaded until the restart
  } cases[] = {
      {"absent", false, 0, false, false, 0, 0, true, 0},
      {"already stopped", true, port::SERVICE_STOPPED, false, false, 0, 1, true, 0},
      // Still stopping when deleted: marked for deletion, it can't go before it stops.
      {"stuck stopping", true, port::SERVICE_RUNNING, true, false, 5, 16, false, 1},
      // Another program holds it open: it goes at the restart, which the removal asks for.
      {"never vanishes", true, port::SERVICE_STOPPED, false, true, 0, 11, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::reg_delete_key("SYSTEM\\CurrentControlSet\\Services\\halvik");
    if (c.present) {
      sim::add_service("halvik", kKernelDriver, c.state);
      sim::set_service_stop_stuck("halvik", c.stuck);
      sim::set_service_delete_linger("halvik", c.linger);
    }
    FailureInfo failure;
    int reboot = 0;
    EXPECT_EQ(stop_and_delete(&failure, &reboot), 0);
    EXPECT_EQ(failure.context, nullptr);
    EXPECT_EQ(reboot, c.reboot);
    EXPECT_EQ(trace_count("Sleep 1000"), c.sleeps_total);
    long delete_at = trace_position("DeleteService");
    if (c.present) {
      ASSERT_GE(delete_at, 0);
      long before = 0;
      for (long i = 0; i < delete_at; ++i)
        if (sim::trace()[static_cast<std::size_t>(i)].rfind("Sleep 1000", 0) == 0) ++before;
      EXPECT_EQ(before, c.sleeps_before_delete);
    } else {
      EXPECT_EQ(delete_at, -1);
    }
    EXPECT_EQ(sim::service_exists("halvik"), !c.gone);
    sim::set_service_delete_linger("halvik", false);
    sim::set_service_stop_stuck("halvik", false);
  }
}

TEST_F(ServiceTest, TheEventLogRegistrationGoesWithTheService) {
  sim::add_service("halvik", kKernelDriver, port::SERVICE_RUNNING);
  sim::reg_create_key(kEventLog);
  FailureInfo failure;
  EXPECT_EQ(stop_and_delete(&failure), 0);
  EXPECT_FALSE(sim::reg_key_exists(kEventLog));
  EXPECT_FALSE(sim::service_exists("halvik"));
}

TEST_F(ServiceTest, AnEarlierFailureKeepsItsContextOverTheEventLogFailure) {
  sim::add_service("halvik", kKernelDriver, port::SERVICE_STOPPED);
  sim::reg_create_key(kEventLog);
  sim::add_fault("DeleteService", "", 0, port::ERROR_ACCESS_DENIED);
  sim::add_fault("SHDeleteKeyA", "", 0, port::ERROR_ACCESS_DENIED);
  FailureInfo failure;
  EXPECT_EQ(stop_and_delete(&failure), 1);
  EXPECT_STREQ(failure.context, "DeleteService");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);

  sim::clear_faults();
  sim::add_fault("SHDeleteKeyA", "", 0, port::ERROR_ACCESS_DENIED);
  FailureInfo event_log_only;
  EXPECT_EQ(stop_and_delete(&event_log_only), 1);
  EXPECT_STREQ(event_log_only.context, "DeleteKey - EventLog");
  EXPECT_EQ(event_log_only.code, port::ERROR_ACCESS_DENIED);
}

TEST_F(ServiceTest, OpenServiceFailureOtherThanAbsenceIsReported) {
  sim::add_service("halvik", kKernelDriver, port::SERVICE_STOPPED);
  sim::add_fault("OpenServiceA", "halvik", 0, port::ERROR_ACCESS_DENIED);
  FailureInfo failure;
  EXPECT_EQ(stop_and_delete(&failure), 1);
  EXPECT_STREQ(failure.context, "OpenService - driver");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_EQ(trace_count("Sleep"), 0);
}

TEST_F(ServiceTest, ARunningOrPausedHostServiceRefusesTheRemoval) {
  for (port::DWORD state : {port::SERVICE_RUNNING, port::SERVICE_PAUSED}) {
    sim::add_service("halvservice", 0x10, state);
    sim::add_service("halvik", kKernelDriver, port::SERVICE_RUNNING);
    sim::reg_set_dword(kParameters, "OLD_SYSPAGES", 0);
    sim::reg_set_dword(kParameters, "NEW_SYSPAGES", 20000);
    sim::reg_set_dword(kParameters, "SYSP_NUM_PCI", 4);
    sim::reg_set_dword(kMemory, "SystemPages", 20000);
    int outcome = 9;
    int reboot = 9;
    FailureInfo failure;
    failure.context = "left over";
    EXPECT_EQ(remove_legacy_driver(&outcome, &reboot, &failure), 1);
    EXPECT_STREQ(failure.message, kHostServiceRefusal);
    EXPECT_EQ(failure.context, nullptr);
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(reboot, 0);
    std::uint32_t pages = 0;
    EXPECT_TRUE(sim::reg_get_dword(kMemory, "SystemPages", &pages));
    EXPECT_EQ(pages, 20000u);
    EXPECT_EQ(sim::service_state("halvik"), port::SERVICE_RUNNING);
  }
}

TEST_F(ServiceTest, LegacyRemovalRestoresMemoryRemovesServiceAndDirectory) {
  sim::add_service("halvservice", 0x10, port::SERVICE_STOPPED);
  sim::add_service("halvik", kKernelDriver, port::SERVICE_RUNNING);
  sim::reg_set_dword(kParameters, "OLD_SYSPAGES", 0);
  sim::reg_set_dword(kParameters, "NEW_SYSPAGES", 20000);
  sim::reg_set_dword(kParameters, "SYSP_NUM_PCI", 4);
  sim::reg_set_dword(kMemory, "SystemPages", 20000);
  sim::set_env("SystemRoot", "C:\\WINDOWS");
  sim::write_file("C:\\WINDOWS\\halvik\\halvik.sys", "driver");
  int outcome = 0;
  int reboot = 0;
  FailureInfo failure;
  EXPECT_EQ(remove_legacy_driver(&outcome, &reboot, &failure), 0);
  EXPECT_EQ(outcome, 1);
  EXPECT_EQ(reboot, 1);
  std::uint32_t pages = 1;
  EXPECT_TRUE(sim::reg_get_dword(kMemory, "SystemPages", &pages));
  EXPECT_EQ(pages, 0u);
  EXPECT_FALSE(sim::service_exists("halvik"));
  EXPECT_FALSE(sim::file_exists("C:\\WINDOWS\\halvik"));
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS"));
}

// The directory is %SystemRoot%\halvik, \winnt\halvik on the current drive without SystemRoot;
// the folders beside it stay.
TEST_F(ServiceTest, TheDriverDirectoryFollowsSystemRootAndIsRemovedOnlyThere) {
  const std::string long_root = "C:\\Windows\\" + std::string(90, 'a');
  const struct {
    const char* label;
    const char* root;  // nullptr: unset
    std::string directory;
    std::string bystander;  // must survive
    std::string err;        // "": removed
  } cases[] = {
      {"plain", "C:\\WINDOWS", "C:\\WINDOWS\\halvik", "C:\\WINDOWS\\system32", ""},
      {"blanks", "C:\\My Windows", "C:\\My Windows\\halvik", "C:\\My", ""},
      {"long", long_root.c_str(), long_root + "\\halvik", long_root, ""},
      {"what a shell would expand", "C:\\%WINDIR%&B", "C:\\%WINDIR%&B\\halvik", "C:\\WINDOWS\\halvik", ""},
      // Not a drive's folder: whatever the current drive puts there is left alone and named.
      {"unset", nullptr, "C:\\winnt\\halvik", "C:\\WINDOWS\\halvik", "Unable to delete \\winnt\\halvik\n"},
      {"empty", "", "C:\\halvik", "C:\\WINDOWS\\halvik", "Unable to delete \\halvik\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.root == nullptr)
      sim::unset_env("SystemRoot");
    else
      sim::set_env("SystemRoot", c.root);
    sim::write_file(c.directory + "\\halvik.sys", "driver");
    sim::write_file(c.bystander + "\\keep.txt", "keep");
    int outcome = 0;
    int reboot = 0;
    FailureInfo failure;
    testing::internal::CaptureStderr();
    EXPECT_EQ(remove_legacy_driver(&outcome, &reboot, &failure), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(sim::file_exists(c.directory), !c.err.empty());
    EXPECT_TRUE(sim::file_exists(c.bystander + "\\keep.txt"));
  }
}

// Without the directory, or with a system root too long to name it within 255 characters,
// nothing is searched or deleted: a cut path could name another directory.
TEST_F(ServiceTest, NothingIsDeletedWithoutTheDriverDirectory) {
  const std::string long_root = "C:\\" + std::string(250, 'r');
  const std::string cut_path = long_root + "\\h";  // the directory path cut to 255 characters
  sim::make_directory(cut_path);
  sim::make_directory(long_root + "\\halvik");
  for (const std::string& root : {std::string("C:\\WINDOWS"), long_root}) {
    sim::set_env("SystemRoot", root);
    int outcome = 0;
    int reboot = 0;
    FailureInfo failure;
    sim::clear_trace();
    testing::internal::CaptureStderr();
    EXPECT_EQ(remove_legacy_driver(&outcome, &reboot, &failure), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              root == long_root ? "Unable to delete the driver directory\n" : "");
    EXPECT_EQ(trace_count("FindFirstFileA "), 0);
    EXPECT_EQ(failure.context, nullptr);
  }
  EXPECT_TRUE(sim::file_exists(cut_path));
}

// The directory is walked, never through a link: a link inside it (or the directory itself as
// a link) goes as the link, and the folder it points at stays whole.  Whatever can't be
// removed keeps the directory, which is then named; the removal's status is unchanged.
TEST_F(ServiceTest, TheDriverDirectoryIsWalkedWithoutFollowingLinks) {
  const std::string outside_file = "C:\\Data\\keep.txt";
  const struct {
    const char* label;
    const char* fault;  // call
    const char* argument;
    int occurrence;
    bool directory_is_link;
    bool removed;
  } cases[] = {
      {"whole tree", "", "", 0, false, true},
      {"directory itself a link", "", "", 0, true, true},
      {"a file that stays", "DeleteFileA", "C:\\WINDOWS\\halvik\\ro.sys", 0, false, false},
      {"search refused", "FindFirstFileA", "", 0, false, false},
      {"search cut short", "FindNextFileA", "", 2, false, false},
      {"nested folder stays", "RemoveDirectoryA", "C:\\WINDOWS\\halvik\\a\\b", 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::clear_faults();
    sim::write_file(outside_file, "keep");
    sim::make_directory("C:\\Data\\sub");
    if (c.directory_is_link) {
      std::filesystem::create_directory_symlink(sim::host_path("C:\\Data"),
                                                sim::host_path("C:\\WINDOWS\\halvik"));
    } else {
      sim::write_file("C:\\WINDOWS\\halvik\\a\\b\\deep.log", "log");
      sim::write_file("C:\\WINDOWS\\halvik\\ro.sys", "driver");
      ASSERT_TRUE(port::SetFileAttributesA("C:\\WINDOWS\\halvik\\ro.sys",
                                           port::FILE_ATTRIBUTE_READONLY | port::FILE_ATTRIBUTE_HIDDEN));
      std::filesystem::create_directory_symlink(sim::host_path("C:\\Data"),
                                                sim::host_path("C:\\WINDOWS\\halvik\\a\\data"));
      std::filesystem::create_symlink(sim::host_path(outside_file),
                                      sim::host_path("C:\\WINDOWS\\halvik\\keep"));
    }
    if (c.fault[0] != '\0') sim::add_fault(c.fault, c.argument, c.occurrence, port::ERROR_ACCESS_DENIED);
    int outcome = 0;
    int reboot = 0;
    FailureInfo failure;
    testing::internal::CaptureStderr();
    EXPECT_EQ(remove_legacy_driver(&outcome, &reboot, &failure), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              c.removed ? "" : "Unable to delete C:\\WINDOWS\\halvik\n");
    EXPECT_EQ(sim::file_exists("C:\\WINDOWS\\halvik"), !c.removed);
    EXPECT_EQ(sim::read_file(outside_file), "keep");
    EXPECT_TRUE(sim::file_exists("C:\\Data\\sub"));
    EXPECT_EQ(sim::open_handle_count(), 0u);
    std::filesystem::remove_all(sim::host_path("C:\\WINDOWS\\halvik"));
  }
}

TEST_F(ServiceTest, ServiceManagerFailureKeepsTheDirectory) {
  sim::add_service("halvik", kKernelDriver, port::SERVICE_RUNNING);
  sim::set_env("SystemRoot", "C:\\WINDOWS");
  sim::make_directory("C:\\WINDOWS\\halvik");
  // The host-service check opens the manager first; the removal's own open is the second.
  sim::add_fault("OpenSCManagerA", "", 2, port::ERROR_ACCESS_DENIED);
  int outcome = 0;
  int reboot = 0;
  FailureInfo failure;
  EXPECT_EQ(remove_legacy_driver(&outcome, &reboot, &failure), 1);
  EXPECT_STREQ(failure.context, "OpenSCManager");
  EXPECT_EQ(failure.code, port::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::file_exists("C:\\WINDOWS\\halvik"));
  EXPECT_TRUE(sim::service_exists("halvik"));
}

}  // namespace
