// The simulated Windows machine behind the sim backend of the port, as tests and tools see it.
//
// A machine is a directory: registry.reg (all of HKEY_LOCAL_MACHINE), machine.ini (version,
// process, environment, service states, faults, trace switch), drive_c/ (drive_d/, ...) and,
// when tracing is on, trace.log.  use_machine() loads one; from then on every port:: call
// answers from it, and these functions read and change it directly (no faults, no trace).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/port.h"
#include "platform/sim/sim_devices.h"

namespace sim {

// Creates a new machine in dir (which must not exist or be empty) from a template ("xp",
// "w2k", ...).  Does not load it.
bool create_machine(const std::string& dir, const std::string& template_name, std::string* error);
// Loads the machine in dir; the port answers from it.  On failure the previous machine stays.
bool use_machine(const std::string& dir, std::string* error);
// Writes registry.reg and machine.ini by atomic replace.
bool save_machine(std::string* error);
std::string machine_dir();

// Registry, key paths relative to HKLM ("SYSTEM\\CurrentControlSet\\Services\\halvik").
bool reg_key_exists(const std::string& key);
void reg_create_key(const std::string& key);  // creates missing parents
void reg_delete_key(const std::string& key);  // with all its subkeys
bool reg_get(const std::string& key, const std::string& name, port::DWORD* type,
             std::vector<std::uint8_t>* data);
bool reg_get_dword(const std::string& key, const std::string& name, port::DWORD* value);
void reg_set(const std::string& key, const std::string& name, port::DWORD type,
             const std::vector<std::uint8_t>& data);
void reg_set_dword(const std::string& key, const std::string& name, port::DWORD value);
void reg_set_string(const std::string& key, const std::string& name, const std::string& value);  // REG_SZ
std::vector<std::string> reg_value_names(const std::string& key);  // in stored order
std::vector<std::string> reg_subkeys(const std::string& key);      // case-insensitive alphabetical

// Services of the service manager's database; add_service installs one, key and entry.
void add_service(const std::string& name, port::DWORD type, port::DWORD state);
void set_service_state(const std::string& name, port::DWORD state);
port::DWORD service_state(const std::string& name);  // 0 when there is no such service
bool service_exists(const std::string& name);
void set_service_stop_stuck(const std::string& name, bool stuck);
void set_service_delete_linger(const std::string& name, bool linger);

// Files on the simulated drives (Windows paths).
std::string host_path(const std::string& windows_path);
bool file_exists(const std::string& windows_path);                             // files and directories
void write_file(const std::string& windows_path, const std::string& content);  // creates parents
std::string read_file(const std::string& windows_path);
void make_directory(const std::string& windows_path);  // creates parents

// Environment, current directory, version.
void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);
void set_current_directory(const std::string& windows_path);
// Whether the process's token holds the Administrators group enabled (default: it does).
void set_administrator(bool administrator);
void set_version(port::DWORD platform, port::DWORD major, port::DWORD minor, port::DWORD service_pack);

// The calling process's bitness on a 64-bit machine: 32 makes it a WOW64 process, 64 a native
// one, 0 goes by the program's name (install is the 32-bit program).
void set_process_bits(int bits);

// Faults, trace, handles, reboot.
// argument "" = any, occurrence 0 = every
void add_fault(const std::string& call, const std::string& argument, int occurrence, port::DWORD error);
void clear_faults();
// Always recorded in memory; written to trace.log only when [trace] enabled = 1.
const std::vector<std::string>& trace();
void clear_trace();
std::size_t open_handle_count();  // SIDs not yet freed and DLLs loaded and not freed count too
bool reboot_requested();
// What a restart does to the machine: the operations in PendingFileRenameOperations are carried
// out and the value goes, services marked for deletion go and the service manager rereads the
// Services keys, the boards are enumerated and get drivers from the driver store (the INF
// directory before Vista), the services that start with the system and the drivers of present
// devices start, reboot_requested is cleared.
void restart_machine();
// A power cut, and the machine started again: each hive of the registry goes back to what it
// held at the last restart or at its last RegFlushKey (volatile keys go too), then the restart
// happens as above, from that registry.  The files on the drives stay as they are.  False, with
// the reason, when the state on the disk can't be read.
bool power_cut_machine(std::string* error);
// The file operations PendingFileRenameOperations holds, in order: each a source and a target
// as the value names them ("\\??\\C:\\..."), an empty target for a deletion.
std::vector<std::pair<std::string, std::string>> pending_file_operations();

}  // namespace sim
