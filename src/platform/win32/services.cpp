// The Service Control Manager, the process token, its groups, the event log and shutdown: advapi32
// and user32.
#include "platform/win32/windows_api.h"

using win32::win;

static_assert(sizeof(port::SERVICE_STATUS) == sizeof(::SERVICE_STATUS));
static_assert(offsetof(port::SERVICE_STATUS, dwCurrentState) == offsetof(::SERVICE_STATUS, dwCurrentState));
static_assert(offsetof(port::SERVICE_STATUS, dwWaitHint) == offsetof(::SERVICE_STATUS, dwWaitHint));
static_assert(sizeof(port::LUID) == sizeof(::LUID));
static_assert(offsetof(port::LUID, HighPart) == offsetof(::LUID, HighPart));
static_assert(sizeof(port::LUID_AND_ATTRIBUTES) == sizeof(::LUID_AND_ATTRIBUTES));
static_assert(offsetof(port::LUID_AND_ATTRIBUTES, Attributes) == offsetof(::LUID_AND_ATTRIBUTES, Attributes));
static_assert(sizeof(port::TOKEN_PRIVILEGES) == sizeof(::TOKEN_PRIVILEGES));
static_assert(offsetof(port::TOKEN_PRIVILEGES, Privileges) == offsetof(::TOKEN_PRIVILEGES, Privileges));
static_assert(sizeof(port::SID_IDENTIFIER_AUTHORITY) == sizeof(::SID_IDENTIFIER_AUTHORITY));

namespace {
::SERVICE_STATUS* win_status(port::SERVICE_STATUS* status) {
  return reinterpret_cast<::SERVICE_STATUS*>(status);
}
::TOKEN_PRIVILEGES* win_privileges(port::TOKEN_PRIVILEGES* privileges) {
  return reinterpret_cast<::TOKEN_PRIVILEGES*>(privileges);
}
port::SC_HANDLE port_handle(::SC_HANDLE handle) {
  return reinterpret_cast<port::SC_HANDLE>(handle);
}
}  // namespace

port::SC_HANDLE port::OpenSCManagerA(const char* machine_name, const char* database_name,
                                     port::DWORD desired) {
  return port_handle(::OpenSCManagerA(machine_name, database_name, desired));
}

port::SC_HANDLE port::OpenServiceA(port::SC_HANDLE manager, const char* service_name, port::DWORD desired) {
  return port_handle(::OpenServiceA(win(manager), service_name, desired));
}

port::BOOL port::QueryServiceStatus(port::SC_HANDLE service, port::SERVICE_STATUS* status) {
  return ::QueryServiceStatus(win(service), win_status(status));
}

port::BOOL port::ControlService(port::SC_HANDLE service, port::DWORD control, port::SERVICE_STATUS* status) {
  return ::ControlService(win(service), control, win_status(status));
}

port::BOOL port::DeleteService(port::SC_HANDLE service) {
  return ::DeleteService(win(service));
}

port::BOOL port::CloseServiceHandle(port::SC_HANDLE handle) {
  return ::CloseServiceHandle(win(handle));
}

port::HANDLE port::GetCurrentProcess() {
  return ::GetCurrentProcess();
}

port::BOOL port::OpenProcessToken(port::HANDLE process, port::DWORD desired, port::HANDLE* token) {
  return ::OpenProcessToken(process, desired, token);
}

port::BOOL port::LookupPrivilegeValueA(const char* system_name, const char* name, port::LUID* luid) {
  return ::LookupPrivilegeValueA(system_name, name, reinterpret_cast<::LUID*>(luid));
}

port::BOOL port::AdjustTokenPrivileges(port::HANDLE token, port::BOOL disable_all,
                                       port::TOKEN_PRIVILEGES* new_state, port::DWORD buffer_length,
                                       port::TOKEN_PRIVILEGES* previous_state, port::DWORD* return_length) {
  return ::AdjustTokenPrivileges(token, disable_all, win_privileges(new_state), buffer_length,
                                 win_privileges(previous_state), win(return_length));
}

port::BOOL port::ExitWindowsEx(port::DWORD flags, port::DWORD reason) {
  return ::ExitWindowsEx(flags, reason);
}

port::BOOL port::CloseHandle(port::HANDLE handle) {
  return ::CloseHandle(handle);
}

port::BOOL port::AllocateAndInitializeSid(port::SID_IDENTIFIER_AUTHORITY* authority,
                                          port::BYTE sub_authority_count, port::DWORD sub_authority0,
                                          port::DWORD sub_authority1, port::DWORD sub_authority2,
                                          port::DWORD sub_authority3, port::DWORD sub_authority4,
                                          port::DWORD sub_authority5, port::DWORD sub_authority6,
                                          port::DWORD sub_authority7, port::PSID* sid) {
  return ::AllocateAndInitializeSid(reinterpret_cast<::SID_IDENTIFIER_AUTHORITY*>(authority),
                                    sub_authority_count, sub_authority0, sub_authority1, sub_authority2,
                                    sub_authority3, sub_authority4, sub_authority5, sub_authority6,
                                    sub_authority7, sid);
}

port::BOOL port::CheckTokenMembership(port::HANDLE token, port::PSID sid, port::BOOL* is_member) {
  return ::CheckTokenMembership(token, sid, win(is_member));
}

void* port::FreeSid(port::PSID sid) {
  return ::FreeSid(sid);
}

port::HANDLE port::RegisterEventSourceA(const char* server, const char* source) {
  return ::RegisterEventSourceA(server, source);
}

port::BOOL port::ReportEventA(port::HANDLE event_log, port::WORD type, port::WORD category, port::DWORD event_id,
                              port::PSID user_sid, port::WORD num_strings, port::DWORD data_size,
                              const char** strings, void* raw_data) {
  return ::ReportEventA(event_log, type, category, event_id, user_sid, num_strings, data_size, strings, raw_data);
}

port::BOOL port::DeregisterEventSource(port::HANDLE event_log) {
  return ::DeregisterEventSource(event_log);
}
