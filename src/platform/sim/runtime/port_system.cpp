// Process token and its groups, shutdown, system messages, version and the virtual clock of
// the simulated machine.
//
// The process's token holds BUILTIN\Administrators enabled unless [process] administrator = 0
// says the program runs without administrator rights: a user who is no administrator, or an
// administrator under UAC whose filtered token holds the group for deny only.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/sim/machine/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kNoSuchPrivilege = 1313;
constexpr DWORD kNoImpersonationToken = 1309;
constexpr DWORD kInvalidSid = 1337;
constexpr DWORD kNoAccess = 998;  // a pointer the system can't write through
constexpr DWORD kMaxSubAuthorities = 8;
constexpr DWORD kMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string result_text(BOOL ok) {
  return ok ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

struct Privilege {
  const char* name;
  DWORD luid;
};

// The locally unique ids Windows gives its privileges.
constexpr Privilege kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},    {"SeAssignPrimaryTokenPrivilege", 3}, {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},  {"SeMachineAccountPrivilege", 6},     {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},       {"SeTakeOwnershipPrivilege", 9},      {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11}, {"SeSystemtimePrivilege", 12},        {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},       {"SeShutdownPrivilege", 19},          {"SeDebugPrivilege", 20},
    {"SeChangeNotifyPrivilege", 23},  {"SeRemoteShutdownPrivilege", 24},
};
constexpr DWORD kShutdownLuid = 19;

// Windows XP's own texts for the codes the program can meet.
struct Message {
  DWORD code;
  const char* text;
};
constexpr Message kMessages[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {13, "The data is invalid."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1004, "Invalid flags."},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
     "the system's memory image of the file is corrupted, or the file could not be recovered because the "
     "alternate copy or log was absent or corrupted."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1051, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1168, "Element not found."},
    {1300, "Not all privileges referenced are assigned to the caller."},
    {1314, "A required privilege is not held by the client."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
    {3010,
     "The requested operation is successful. Changes will not be effective until the system is rebooted."},
};

// The SID's text form, S-1-5-32-544.
std::string sid_text(const SidRecord& sid) {
  std::string text = "S-1-" + std::to_string(sid.authority);
  for (DWORD sub_authority : sid.sub_authorities) {
    text += '-';
    text += std::to_string(sub_authority);
  }
  return text;
}

// Whether the process's token holds the group enabled.  Everyone, Users and Authenticated Users
// are in every interactive user's token; Administrators as machine.ini says.
bool token_holds(const std::string& sid) {
  if (sid == "S-1-5-32-544") return ini_value(machine().ini.get_or("process", "administrator", "1")) != "0";
  return sid == "S-1-1-0" || sid == "S-1-5-32-545" || sid == "S-1-5-11";
}

DWORD ini_number(const char* key, DWORD fallback) {
  std::string text = machine().ini.get_or("system", key, "");
  if (text.empty()) return fallback;
  return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

HANDLE GetCurrentProcess() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE process, DWORD desired, HANDLE* token) {
  BOOL ok = FALSE;
  Machine& m = machine();
  if (DWORD error = fault("OpenProcessToken")) {
    fail(error);
  } else if (process != GetCurrentProcess()) {
    fail(ERROR_INVALID_HANDLE);
  } else if (token == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
  } else {
    void* handle = reinterpret_cast<void*>(m.next_token);
    m.next_token += 4;
    m.tokens[handle] = desired;
    *token = handle;
    ok = TRUE;
  }
  trace_line("OpenProcessToken " + hex32(desired) + " -> " + result_text(ok));
  return ok;
}

BOOL LookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid) {
  BOOL ok = FALSE;
  std::string privilege = name == nullptr ? "" : name;
  if (DWORD error = fault("LookupPrivilegeValueA", {privilege})) {
    fail(error);
  } else if (luid == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
  } else {
    for (const Privilege& known : kPrivileges) {
      if (iequals(known.name, privilege)) {
        luid->LowPart = known.luid;
        luid->HighPart = 0;
        ok = TRUE;
      }
    }
    if (!ok) fail(kNoSuchPrivilege);
  }
  trace_line("LookupPrivilegeValueA " + quote(system_name) + " " + quote(name) + " -> " + result_text(ok));
  return ok;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state, DWORD,
                           TOKEN_PRIVILEGES*, DWORD*) {
  BOOL ok = FALSE;
  Machine& m = machine();
  auto found = m.tokens.find(token);
  DWORD error = fault("AdjustTokenPrivileges");
  if (error == ERROR_NOT_ALL_ASSIGNED) {
    // Windows reports a privilege the account lacks by succeeding with this last error.
    SetLastError(error);
    ok = TRUE;
  } else if (error != 0) {
    fail(error);
  } else if (found == m.tokens.end()) {
    fail(ERROR_INVALID_HANDLE);
  } else if ((found->second & TOKEN_ADJUST_PRIVILEGES) == 0) {
    fail(ERROR_ACCESS_DENIED);
  } else if (!disable_all && new_state == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
  } else {
    if (disable_all) {
      m.shutdown_privilege_enabled = false;
    } else {
      for (DWORD i = 0; i < new_state->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = new_state->Privileges[i];
        if (entry.Luid.LowPart == kShutdownLuid && entry.Luid.HighPart == 0)
          m.shutdown_privilege_enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      }
    }
    SetLastError(ERROR_SUCCESS);
    ok = TRUE;
  }
  trace_line("AdjustTokenPrivileges " + std::to_string(disable_all) + " -> " + result_text(ok) +
             (ok ? " last error " + std::to_string(GetLastError()) : ""));
  return ok;
}

BOOL ExitWindowsEx(DWORD flags, DWORD reason) {
  BOOL ok = FALSE;
  Machine& m = machine();
  if (DWORD error = fault("ExitWindowsEx")) {
    fail(error);
  } else if (!m.shutdown_privilege_enabled) {
    fail(ERROR_PRIVILEGE_NOT_HELD);
  } else {
    // The reboot is only recorded, with the reason the system would log; the machine keeps
    // running.
    m.ini.set("system", "reboot_requested", "1");
    m.ini.set("system", "reboot_reason", hex32(reason));
    ini_changed();
    std::string ignored;
    save(&ignored);
    ok = TRUE;
  }
  trace_line("ExitWindowsEx " + hex32(flags) + " " + hex32(reason) + " -> " + result_text(ok));
  return ok;
}

BOOL CloseHandle(HANDLE handle) {
  BOOL ok = FALSE;
  Machine& m = machine();
  std::string what = "(invalid handle)";
  if (m.tokens.count(handle) != 0) what = "token";
  if (m.files.count(handle) != 0) what = quote(m.files[handle]->path);
  if (handle == GetCurrentProcess()) what = "process";
  if (DWORD error = fault("CloseHandle")) {
    fail(error);
  } else if (m.tokens.erase(handle) != 0 || m.files.erase(handle) != 0 || handle == GetCurrentProcess()) {
    ok = TRUE;
  } else {
    fail(ERROR_INVALID_HANDLE);
  }
  trace_line("CloseHandle " + what + " -> " + result_text(ok));
  return ok;
}

BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE sub_authority_count,
                              DWORD sub_authority0, DWORD sub_authority1, DWORD sub_authority2,
                              DWORD sub_authority3, DWORD sub_authority4, DWORD sub_authority5,
                              DWORD sub_authority6, DWORD sub_authority7, PSID* sid) {
  BOOL ok = FALSE;
  auto record = std::make_unique<SidRecord>();
  if (authority != nullptr) {
    for (BYTE byte : authority->Value) record->authority = record->authority << 8 | byte;
  }
  const DWORD given[] = {sub_authority0, sub_authority1, sub_authority2, sub_authority3,
                         sub_authority4, sub_authority5, sub_authority6, sub_authority7};
  record->sub_authorities.assign(given, given + std::min<DWORD>(sub_authority_count, kMaxSubAuthorities));
  std::string text = sid_text(*record);
  if (DWORD error = fault("AllocateAndInitializeSid", {text})) {
    fail(error);
  } else if (sub_authority_count > kMaxSubAuthorities) {
    fail(kInvalidSid);
  } else if (authority == nullptr || sid == nullptr) {
    fail(kNoAccess);
  } else {
    *sid = record.get();
    machine().sids.emplace(record.get(), std::move(record));
    ok = TRUE;
  }
  trace_line("AllocateAndInitializeSid " + text + " -> " + result_text(ok));
  return ok;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, BOOL* is_member) {
  BOOL ok = FALSE;
  Machine& m = machine();
  auto found = m.sids.find(sid);
  std::string text = found == m.sids.end() ? "(invalid SID)" : sid_text(*found->second);
  if (DWORD error = fault("CheckTokenMembership", {text})) {
    fail(error);
  } else if (token != nullptr) {
    // OpenProcessToken gives the process's primary token; the call wants an impersonation token.
    fail(m.tokens.count(token) != 0 ? kNoImpersonationToken : ERROR_INVALID_HANDLE);
  } else if (found == m.sids.end()) {
    fail(kInvalidSid);
  } else if (is_member == nullptr) {
    fail(kNoAccess);
  } else {
    *is_member = token_holds(text) ? TRUE : FALSE;
    ok = TRUE;
  }
  std::string line = "CheckTokenMembership " + std::string(token == nullptr ? "NULL" : "token") + " " + text +
                     " -> " + result_text(ok);
  if (ok) line += *is_member ? " member" : " not a member";
  trace_line(line);
  return ok;
}

void* FreeSid(PSID sid) {
  Machine& m = machine();
  auto found = m.sids.find(sid);
  std::string text = found == m.sids.end() ? "(invalid SID)" : sid_text(*found->second);
  void* result = sid;
  // Only a SID this process allocated can be freed; anything else comes back.
  if (fault("FreeSid", {text}) == 0 && found != m.sids.end()) {
    m.sids.erase(found);
    result = nullptr;
  }
  trace_line("FreeSid " + text + " -> " + (result == nullptr ? "NULL" : "SID"));
  return result;
}

DWORD FormatMessageA(DWORD flags, const void*, DWORD message_id, DWORD, char* buffer, DWORD size, void*) {
  DWORD length = 0;
  if (DWORD error = fault("FormatMessageA", {std::to_string(message_id)})) {
    SetLastError(error);
  } else if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
  } else {
    // Found, the text is copied and the last error left as it was.
    DWORD outcome = kMessageNotFound;
    for (const Message& message : kMessages) {
      if (message.code != message_id) continue;
      std::string text = std::string(message.text) + "\r\n";
      if (text.size() + 1 > size) {
        outcome = ERROR_INSUFFICIENT_BUFFER;
      } else {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        length = static_cast<DWORD>(text.size());
        outcome = ERROR_SUCCESS;
      }
    }
    if (outcome != ERROR_SUCCESS) SetLastError(outcome);
  }
  trace_line("FormatMessageA " + std::to_string(message_id) + " -> " + std::to_string(length));
  return length;
}

BOOL GetVersionExA(OSVERSIONINFOEXA* info) {
  BOOL ok = FALSE;
  constexpr DWORD kBasicSize = offsetof(OSVERSIONINFOEXA, wServicePackMajor);
  if (DWORD error = fault("GetVersionExA")) {
    fail(error);
  } else if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA) &&
                                 info->dwOSVersionInfoSize != kBasicSize)) {
    fail(ERROR_INSUFFICIENT_BUFFER);
  } else {
    const Ini& ini = machine().ini;
    std::string version = ini.get_or("system", "version", "5.1");
    DWORD major = static_cast<DWORD>(std::strtoul(version.c_str(), nullptr, 10));
    std::size_t dot = version.find('.');
    DWORD minor = dot == std::string::npos
                      ? 0
                      : static_cast<DWORD>(std::strtoul(version.c_str() + dot + 1, nullptr, 10));
    DWORD service_pack = ini_number("service_pack", 0);
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = ini_number("build", 2600);
    info->dwPlatformId = ini_number("platform", VER_PLATFORM_WIN32_NT);
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (service_pack > 0)
      std::snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "Service Pack %u",
                    static_cast<unsigned>(service_pack));
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
      info->wServicePackMajor = static_cast<WORD>(service_pack);
      info->wServicePackMinor = 0;
      info->wSuiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS, as a workstation reports
      info->wProductType = 1;    // VER_NT_WORKSTATION
      info->wReserved = 0;
    }
    ok = TRUE;
  }
  trace_line("GetVersionExA -> " + result_text(ok));
  return ok;
}

void Sleep(DWORD milliseconds) {
  // Time is virtual: the sleep is recorded, not waited.
  fault("Sleep", {std::to_string(milliseconds)});
  trace_line("Sleep " + std::to_string(milliseconds));
}

}  // namespace port
