// Faults chosen by call, argument and occurrence; the token and reboot calls; system messages.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

class FaultsTest : public MachineTest {};

// Opens keys below Services in turn and returns each status.
std::vector<port::LSTATUS> open_each(const std::vector<const char*>& paths) {
  std::vector<port::LSTATUS> statuses;
  for (const char* path : paths) {
    port::HKEY key = nullptr;
    port::LSTATUS status = port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, path, 0, port::KEY_READ, &key);
    if (status == 0) port::RegCloseKey(key);
    statuses.push_back(status);
  }
  return statuses;
}

struct FaultCase {
  const char* name;
  const char* argument;
  int occurrence;
  std::vector<port::LSTATUS> expected;
};

class FaultSelectionTest : public FaultsTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultSelectionTest, FailsOnlyTheSelectedCalls) {
  sim::add_fault("RegOpenKeyExA", GetParam().argument, GetParam().occurrence, 5);
  const char* beep = "SYSTEM\\CurrentControlSet\\Services\\Beep";
  const char* tcpip = "SYSTEM\\CurrentControlSet\\Services\\Tcpip";
  EXPECT_EQ(open_each({beep, tcpip, beep, tcpip, beep}), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultSelectionTest,
    ::testing::Values(
        FaultCase{"EveryCall", "", 0, {5, 5, 5, 5, 5}},
        FaultCase{"ByKeyPath", "system\\currentcontrolset\\services\\TCPIP", 0, {0, 5, 0, 5, 0}},
        FaultCase{"ByKeyPathWithHive",
                  "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Beep",
                  0,
                  {5, 0, 5, 0, 5}},
        FaultCase{"SecondCallOfAll", "", 2, {0, 5, 0, 0, 0}},
        FaultCase{"SecondMatchingCall", "SYSTEM\\CurrentControlSet\\Services\\Beep", 2, {0, 0, 5, 0, 0}}),
    [](const ::testing::TestParamInfo<FaultCase>& param_info) { return param_info.param.name; });

TEST_F(FaultsTest, ValueNameSelectsRegistryWritesAndNonRegistryCallsSetTheLastError) {
  sim::add_fault("RegSetValueExA", "PHYBUFSIZE", 0, 5);
  sim::add_fault("OpenServiceA", "beep", 0, 1060);
  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\F", 0, nullptr, 0,
                                  port::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  port::DWORD value = 1;
  EXPECT_EQ(
      port::RegSetValueExA(key, "APPBUFSIZE", 0, port::REG_DWORD, reinterpret_cast<port::BYTE*>(&value), 4),
      0);
  EXPECT_EQ(
      port::RegSetValueExA(key, "phybufsize", 0, port::REG_DWORD, reinterpret_cast<port::BYTE*>(&value), 4),
      5);
  port::RegCloseKey(key);
  EXPECT_EQ(sim::reg_value_names("SOFTWARE\\F"), std::vector<std::string>{"APPBUFSIZE"});

  port::SC_HANDLE manager = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
  port::SetLastError(0);
  EXPECT_EQ(port::OpenServiceA(manager, "Beep", port::SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(port::GetLastError(), 1060u);
  port::CloseServiceHandle(manager);
}

TEST_F(FaultsTest, FaultsWrittenInMachineIniApplyAfterLoading) {
  {
    std::ofstream ini(dir() + "/machine.ini", std::ios::app);
    ini << "\n[faults]\nOpenSCManagerA = 5\nSHDeleteKeyA SOFTWARE\\Gone #2 = 32\n";
  }
  std::string error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  EXPECT_EQ(port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(port::GetLastError(), 5u);
  EXPECT_EQ(port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone"), port::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone"), 32);
  EXPECT_EQ(port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone"), port::ERROR_FILE_NOT_FOUND);
  sim::clear_faults();
  port::SC_HANDLE manager = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
  EXPECT_NE(manager, nullptr);
  port::CloseServiceHandle(manager);
}

// [faults.PROGRAM] applies only in that program; "%P" stands for this test program's name.
struct ProgramFaultCase {
  const char* name;
  const char* ini;
  bool reload_after_first;  // as a parent does after its child ran
  std::vector<port::LSTATUS> expected;
};

class ProgramFaultTest : public FaultsTest, public ::testing::WithParamInterface<ProgramFaultCase> {};

TEST_P(ProgramFaultTest, AppliesOnlyInThatProgram) {
  std::string ini = GetParam().ini;
  for (std::size_t at = ini.find("%P"); at != std::string::npos; at = ini.find("%P"))
    ini.replace(at, 2, program_invocation_short_name);
  std::ofstream(dir() + "/machine.ini", std::ios::app) << "\n" << ini;
  std::string error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  const char* beep = "SYSTEM\\CurrentControlSet\\Services\\Beep";
  std::vector<port::LSTATUS> statuses = open_each({beep});
  if (GetParam().reload_after_first) {
    ASSERT_TRUE(sim::internal::reload(&error)) << error;
  }
  for (port::LSTATUS status : open_each({beep, beep, beep, beep})) statuses.push_back(status);
  EXPECT_EQ(statuses, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramFaultTest,
    ::testing::Values(
        ProgramFaultCase{"OwnProgram", "[faults.%P]\nRegOpenKeyExA #2 = 5\n", false, {0, 5, 0, 0, 0}},
        ProgramFaultCase{"OtherProgram", "[faults.installx64]\nRegOpenKeyExA = 5\n", false, {0, 0, 0, 0, 0}},
        ProgramFaultCase{"BesideEveryProgramsFaults",
                         "[faults]\nRegOpenKeyExA #1 = 5\n[faults.%P]\nRegOpenKeyExA #4 = 32\n",
                         false,
                         {5, 0, 0, 32, 0}},
        ProgramFaultCase{
            "CountSurvivesReload", "[faults.%P]\nRegOpenKeyExA #2 = 5\n", true, {0, 5, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<ProgramFaultCase>& param_info) { return param_info.param.name; });

TEST_F(FaultsTest, ABadFaultLineIsRefused) {
  {
    std::ofstream ini(dir() + "/machine.ini", std::ios::app);
    ini << "\n[faults]\nOpenSCManagerA = denied\n";
  }
  std::string error;
  EXPECT_FALSE(sim::use_machine(dir(), &error));
  EXPECT_NE(error.find("bad fault"), std::string::npos);
}

// Enables the shutdown privilege the way a program does before asking for a reboot.
port::BOOL enable_shutdown(port::DWORD* last_error) {
  port::HANDLE token = nullptr;
  if (!port::OpenProcessToken(port::GetCurrentProcess(), port::TOKEN_ADJUST_PRIVILEGES | port::TOKEN_QUERY,
                              &token))
    return port::FALSE;
  port::TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  port::BOOL ok = port::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
  privileges.Privileges[0].Attributes = port::SE_PRIVILEGE_ENABLED;
  if (ok) ok = port::AdjustTokenPrivileges(token, port::FALSE, &privileges, 0, nullptr, nullptr);
  *last_error = port::GetLastError();
  port::CloseHandle(token);
  return ok;
}

TEST_F(FaultsTest, RebootNeedsTheShutdownPrivilegeAndIsOnlyRecorded) {
  EXPECT_FALSE(port::ExitWindowsEx(port::EWX_REBOOT, 0));
  EXPECT_EQ(port::GetLastError(), port::ERROR_PRIVILEGE_NOT_HELD);
  port::DWORD last_error = 99;
  port::SetLastError(99);
  ASSERT_TRUE(enable_shutdown(&last_error));
  EXPECT_EQ(last_error, 0u);
  EXPECT_FALSE(sim::reboot_requested());
  EXPECT_TRUE(port::ExitWindowsEx(port::EWX_REBOOT, 0x80040002));
  EXPECT_TRUE(sim::reboot_requested());
  std::ifstream ini(dir() + "/machine.ini");
  std::string text((std::istreambuf_iterator<char>(ini)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("reboot_requested = 1\nreboot_reason = 0x80040002\n"), std::string::npos) << text;
  // The restart takes the request and its reason.
  sim::restart_machine();
  EXPECT_FALSE(sim::reboot_requested());
  ASSERT_TRUE(sim::save_machine(&text));
  std::ifstream restarted(dir() + "/machine.ini");
  text.assign(std::istreambuf_iterator<char>(restarted), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("reboot_reason"), std::string::npos);
}

// BUILTIN\Administrators in the process's token, as CheckTokenMembership answers for it.
TEST_F(FaultsTest, TokenMembershipFollowsTheMachineAndRefusesWhatWindowsRefuses) {
  port::HANDLE primary = nullptr;
  ASSERT_TRUE(port::OpenProcessToken(port::GetCurrentProcess(), port::TOKEN_QUERY, &primary));
  const struct {
    const char* label;
    bool administrator;  // [process] administrator
    port::BYTE count;    // sub-authorities given
    port::DWORD rid;     // the second one
    port::HANDLE token;
    port::DWORD error;  // of AllocateAndInitializeSid, then of CheckTokenMembership
    bool member;
  } cases[] = {
      {"administrator", true, 2, port::DOMAIN_ALIAS_RID_ADMINS, nullptr, 0, true},
      {"no administrator", false, 2, port::DOMAIN_ALIAS_RID_ADMINS, nullptr, 0, false},
      {"users", false, 2, 0x221, nullptr, 0, true},
      {"guests", true, 2, 0x222, nullptr, 0, false},
      {"nine sub-authorities", true, 9, port::DOMAIN_ALIAS_RID_ADMINS, nullptr, 1337, false},  // invalid SID
      {"primary token", true, 2, port::DOMAIN_ALIAS_RID_ADMINS, primary, 1309, false},  // not impersonation
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::set_administrator(c.administrator);
    port::SID_IDENTIFIER_AUTHORITY authority = port::SECURITY_NT_AUTHORITY;
    port::PSID sid = nullptr;
    port::BOOL member = 7;
    port::BOOL ok = port::AllocateAndInitializeSid(&authority, c.count, port::SECURITY_BUILTIN_DOMAIN_RID,
                                                   c.rid, 0, 0, 0, 0, 0, 0, &sid);
    if (ok) ok = port::CheckTokenMembership(c.token, sid, &member);
    EXPECT_EQ(ok != port::FALSE, c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(port::GetLastError(), c.error);
    } else {
      EXPECT_EQ(member != port::FALSE, c.member);
    }
    if (sid != nullptr) {
      EXPECT_EQ(port::FreeSid(sid), nullptr);
    }
  }
  EXPECT_EQ(sim::trace().back(), "FreeSid S-1-5-32-544 -> NULL");
  port::CloseHandle(primary);
}

TEST_F(FaultsTest, NotAllAssignedIsASuccessWithThatLastError) {
  sim::add_fault("AdjustTokenPrivileges", "", 0, port::ERROR_NOT_ALL_ASSIGNED);
  port::DWORD last_error = 0;
  EXPECT_TRUE(enable_shutdown(&last_error));
  EXPECT_EQ(last_error, port::ERROR_NOT_ALL_ASSIGNED);
}

TEST_F(FaultsTest, SleepIsRecordedNotWaited) {
  for (int i = 0; i < 30; ++i) port::Sleep(1000);
  EXPECT_EQ(sim::trace().size(), 30u);
  EXPECT_EQ(sim::trace().front(), "Sleep 1000");
}

struct MessageCase {
  port::DWORD code;
  const char* text;
};

class MessagesTest : public FaultsTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(MessagesTest, SystemTextsEndInCrLf) {
  char buffer[512];
  port::DWORD length = port::FormatMessageA(port::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, GetParam().code, 0,
                                            buffer, sizeof buffer, nullptr);
  if (GetParam().text == nullptr) {
    EXPECT_EQ(length, 0u);
  } else {
    std::string expected = std::string(GetParam().text) + "\r\n";
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::string(buffer), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, MessagesTest,
    ::testing::Values(MessageCase{0, "The operation completed successfully."},
                      MessageCase{2, "The system cannot find the file specified."},
                      MessageCase{5, "Access is denied."}, MessageCase{234, "More data is available."},
                      MessageCase{1060, "The specified service does not exist as an installed service."},
                      MessageCase{1072, "The specified service has been marked for deletion."},
                      MessageCase{1314, "A required privilege is not held by the client."},
                      MessageCase{4, nullptr}, MessageCase{0xE000020B, nullptr}));

TEST_F(FaultsTest, VersionComesFromMachineIni) {
  sim::set_version(port::VER_PLATFORM_WIN32_NT, 5, 0, 4);
  port::OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(port::GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwPlatformId, port::VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(info.wServicePackMajor, 4);
  EXPECT_STREQ(info.szCSDVersion, "Service Pack 4");
  info.dwOSVersionInfoSize = 12;
  EXPECT_FALSE(port::GetVersionExA(&info));
}

}  // namespace
