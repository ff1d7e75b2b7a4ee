// The service manager of the simulated machine: its database ([service_database] in
// machine.ini), the service states ([services]) and the images of loaded services.  The
// service calls (port_services.cpp) and the restart work through these.
#pragma once

#include <string>

#include "platform/sim/machine/machine.h"

namespace sim::internal {

inline constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char* service_state_name(DWORD state);
DWORD service_state_from_name(const std::string& name);  // 0 when unknown

// Fills the database from the Services keys, as the manager does at boot: every key with a
// Type value, marked for deletion when its DeleteFlag says so.
void read_service_database(Machine& machine);
// "TYPE" or "TYPE marked"; false when the entry is neither.
bool parse_database_entry(const std::string& value, DWORD* type, bool* marked);
bool service_known(const std::string& name);            // in the database
std::string service_key_name(const std::string& name);  // stored case, or name
DWORD service_type(const std::string& name);            // 0 when unknown
// Adds a service to the database: 1072 while one of that name is marked for deletion, 1073
// when it exists.
DWORD create_service(const std::string& name, DWORD type);
void set_service_type(const std::string& name, DWORD type);
DWORD current_service_state(const std::string& name);
void store_service_state(const std::string& name, DWORD state);
std::string service_option(const std::string& name, const std::string& option);
void set_service_option(const std::string& name, const std::string& option, const std::string& value);
bool service_marked_for_delete(const std::string& name);
void mark_service_for_delete(const std::string& name);
void remove_service(const std::string& name);  // from the database, with its key
void service_maybe_vanish(const std::string& name);
// The full Windows path of the image file an ImagePath value names: quoted or not (an unquoted
// one ends at the first blank after a .exe, .sys or .dll, so that arguments don't count), with
// \??\, \SystemRoot\, %SystemRoot%\ or %windir%\ in front, or relative to system_root.
std::string image_file_of(const std::string& image_path, const std::string& system_root);
// The image file of a service of the database ("" when it has none): its ImagePath, or for a
// driver without one System32\drivers\NAME.sys, as the loader finds it.
std::string service_image_file(const std::string& name);
// Whether a host file is the image of a loaded service (any state but stopped): the system has
// it mapped, and it can't be deleted until the service has stopped.
bool loaded_image(const std::string& host);

// Hands the manager's part in loading a machine and in a process's end to machine/, and the
// loaded images' part in deleting a file to files/.
void install_service_hooks();

}  // namespace sim::internal
