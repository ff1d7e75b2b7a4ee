// Temporary: the simulated machine is being built; until then every call fails.
#include <cerrno>

#include "platform/port.h"
#include "platform/sim/sim.h"

namespace port {
namespace {
thread_local DWORD last_error = 0;
BOOL fail() {
  last_error = 120;
  return FALSE;
}
}  // namespace
LSTATUS RegCreateKeyExA(HKEY, const char*, DWORD, char*, DWORD, REGSAM, void*, HKEY*, DWORD*) { return 120; }
LSTATUS RegOpenKeyExA(HKEY, const char*, DWORD, REGSAM, HKEY*) { return 120; }
LSTATUS RegSetValueExA(HKEY, const char*, DWORD, DWORD, const BYTE*, DWORD) { return 120; }
LSTATUS RegQueryValueExA(HKEY, const char*, DWORD*, DWORD*, BYTE*, DWORD*) { return 120; }
LSTATUS RegCloseKey(HKEY) { return 120; }
LSTATUS SHDeleteKeyA(HKEY, const char*) { return 120; }
LSTATUS SHEnumKeyExA(HKEY, DWORD, char*, DWORD*) { return 120; }
SC_HANDLE OpenSCManagerA(const char*, const char*, DWORD) {
  fail();
  return nullptr;
}
SC_HANDLE OpenServiceA(SC_HANDLE, const char*, DWORD) {
  fail();
  return nullptr;
}
BOOL QueryServiceStatus(SC_HANDLE, SERVICE_STATUS*) { return fail(); }
BOOL ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) { return fail(); }
BOOL DeleteService(SC_HANDLE) { return fail(); }
BOOL CloseServiceHandle(SC_HANDLE) { return fail(); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
BOOL OpenProcessToken(HANDLE, DWORD, HANDLE*) { return fail(); }
BOOL LookupPrivilegeValueA(const char*, const char*, LUID*) { return fail(); }
BOOL AdjustTokenPrivileges(HANDLE, BOOL, TOKEN_PRIVILEGES*, DWORD, TOKEN_PRIVILEGES*, DWORD*) { return fail(); }
BOOL ExitWindowsEx(DWORD, DWORD) { return fail(); }
BOOL CloseHandle(HANDLE) { return fail(); }
DWORD GetLastError() { return last_error; }
void SetLastError(DWORD error) { last_error = error; }
DWORD FormatMessageA(DWORD, const void*, DWORD, DWORD, char*, DWORD, void*) { return 0; }
BOOL SetCurrentDirectoryA(const char*) { return fail(); }
DWORD GetCurrentDirectoryA(DWORD, char*) { return 0; }
DWORD GetFullPathNameA(const char*, DWORD, char*, char**) { return 0; }
BOOL GetVersionExA(OSVERSIONINFOEXA*) { return fail(); }
void Sleep(DWORD) {}
DWORD GetFileAttributesA(const char*) { return INVALID_FILE_ATTRIBUTES; }
BOOL SetFileAttributesA(const char*, DWORD) { return fail(); }
BOOL DeleteFileA(const char*) { return fail(); }
HANDLE CreateFileA(const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
DWORD GetFileSize(HANDLE, DWORD*) { return INVALID_FILE_SIZE; }
BOOL ReadFile(HANDLE, void*, DWORD, DWORD*, void*) { return fail(); }
const char* getenv(const char*) { return nullptr; }
int system(const char*) { return 1; }
std::FILE* fopen(const char*, const char*) {
  errno = ENOENT;
  return nullptr;
}
int remove(const char*) { return -1; }
std::intptr_t spawnlp_wait(const char*, const char*, const char*, const char*) {
  errno = ENOENT;
  return -1;
}
int initialize() { return 0; }
void shutdown() {}
}  // namespace port

namespace sim {
namespace {
std::vector<std::string> empty_trace;
}
bool create_machine(const std::string&, const std::string&, std::string* error) {
  *error = "the simulated machine is not built yet";
  return false;
}
bool use_machine(const std::string&, std::string* error) {
  *error = "the simulated machine is not built yet";
  return false;
}
bool save_machine(std::string*) { return false; }
std::string machine_dir() { return {}; }
bool reg_key_exists(const std::string&) { return false; }
void reg_create_key(const std::string&) {}
void reg_delete_key(const std::string&) {}
bool reg_get(const std::string&, const std::string&, port::DWORD*, std::vector<std::uint8_t>*) { return false; }
bool reg_get_dword(const std::string&, const std::string&, port::DWORD*) { return false; }
void reg_set(const std::string&, const std::string&, port::DWORD, const std::vector<std::uint8_t>&) {}
void reg_set_dword(const std::string&, const std::string&, port::DWORD) {}
void reg_set_string(const std::string&, const std::string&, const std::string&) {}
std::vector<std::string> reg_value_names(const std::string&) { return {}; }
std::vector<std::string> reg_subkeys(const std::string&) { return {}; }
void add_service(const std::string&, port::DWORD, port::DWORD) {}
void set_service_state(const std::string&, port::DWORD) {}
port::DWORD service_state(const std::string&) { return 0; }
bool service_exists(const std::string&) { return false; }
void set_service_stop_stuck(const std::string&, bool) {}
void set_service_delete_linger(const std::string&, bool) {}
std::string host_path(const std::string&) { return {}; }
bool file_exists(const std::string&) { return false; }
void write_file(const std::string&, const std::string&) {}
std::string read_file(const std::string&) { return {}; }
void make_directory(const std::string&) {}
void set_env(const std::string&, const std::string&) {}
void unset_env(const std::string&) {}
void set_current_directory(const std::string&) {}
void set_version(port::DWORD, port::DWORD, port::DWORD, port::DWORD) {}
void add_fault(const std::string&, const std::string&, int, port::DWORD) {}
void clear_faults() {}
const std::vector<std::string>& trace() { return empty_trace; }
void clear_trace() {}
std::size_t open_handle_count() { return 0; }
bool reboot_requested() { return false; }
}  // namespace sim
