// A restart of the simulated machine, as far as the parts this program touches go: the file
// operations scheduled for the restart are carried out, services marked for deletion go, the
// service manager reads its database from the Services keys again, the boards are enumerated
// and get drivers, the services that start with the system start, and the reboot request is
// answered.
#include <filesystem>
#include <system_error>

#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"
#include "platform/sim/runtime/process.h"

namespace sim::internal {
namespace {

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingOperations[] = "PendingFileRenameOperations";

// "\??\C:\path" (a rename target may start with "!": replace an existing file) as a host path;
// empty when it names no simulated drive.
std::string without_prefixes(std::string name) {
  if (!name.empty() && name[0] == '!') name.erase(0, 1);
  if (name.rfind("\\??\\", 0) == 0) name.erase(0, 4);
  return name;
}

std::string host_of(const std::string& name) {
  std::string host;
  return host_path_of(without_prefixes(name), &host) ? host : std::string();
}

// The Windows path a pending operation names, "" when it names no simulated drive.
std::string full_of(const std::string& name) {
  std::string full;
  return full_windows_path(without_prefixes(name), &full) ? full : std::string();
}

// Each pair is a source and a target; an empty target deletes the source.  An operation that
// can't be carried out is dropped, as the session manager drops it.
void carry_out_pending_operations() {
  Machine& m = machine();
  Key* key = find_key(m.hklm.get(), kSessionManagerKey);
  Value* value = key == nullptr ? nullptr : key->find_value(kPendingOperations);
  if (value == nullptr) return;
  for (const auto& [from, to] : scheduled_file_operations()) {
    std::string source = host_of(from);
    if (source.empty()) continue;
    std::error_code ignored;
    if (to.empty()) {
      // A file goes; a directory only when it is empty, as MoveFileEx documents.
      if (std::filesystem::remove(source, ignored)) forget_file_records(full_of(from));
    } else if (std::string target = host_of(to); !target.empty()) {
      // Without "!" the rename doesn't replace a file already there.
      bool replace = to[0] == '!';
      if (replace || !std::filesystem::exists(target, ignored)) {
        std::filesystem::rename(source, target, ignored);
        if (!ignored) {
          std::string security = file_security(full_of(from));
          forget_file_records(full_of(from));
          set_file_security(full_of(to), security);
        }
      }
    }
  }
  key->values.erase(static_cast<std::size_t>(value - key->values.begin()));
  registry_changed();
}

DWORD dword_of(Key* key, std::string_view name) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_DWORD || value->data.size() < 4) return 0;
  return value->data[0] | (value->data[1] << 8) | (value->data[2] << 16) |
         (static_cast<DWORD>(value->data[3]) << 24);
}

// At boot the service manager deletes the keys of the services marked for deletion (DeleteFlag)
// and reads its database from the keys that remain.  Every service starts out stopped; the
// awkward behaviours (NAME.stop, NAME.delete) stay with the services that are still there.
void boot_service_manager() {
  Machine& m = machine();
  if (Key* services = find_key(m.hklm.get(), kServicesKey)) {
    std::vector<std::string> marked;
    for (Key* key : services->subkeys) {
      if (dword_of(key, "DeleteFlag") != 0) marked.emplace_back(key->name);
    }
    for (const std::string& name : marked) services->delete_subkey(name);
    if (!marked.empty()) registry_changed();
  }
  read_service_database(m);
  if (IniSection* states = m.ini.section("services")) {
    std::vector<std::string> forgotten;
    for (const IniEntry& entry : states->entries) {
      std::size_t dot = entry.key.find('.');
      if (dot == std::string::npos || !service_known(entry.key.substr(0, dot)))
        forgotten.push_back(entry.key);
    }
    for (const std::string& key : forgotten) m.ini.erase("services", key);
  }
  ini_changed();
}

// A service whose image file isn't there fails to start; one without an image (no ImagePath,
// and no driver) has nothing to miss.
bool image_present(const std::string& name) {
  std::string image = service_image_file(name);
  std::string host;
  std::error_code ignored;
  return image.empty() || !native_host_path_of(image, &host) ||
         std::filesystem::is_regular_file(host, ignored);
}

// A disabled service (Start 4) starts for no one, not even for a device that names it.
void start_service(const std::string& name) {
  constexpr DWORD kDisabled = 4;
  Key* services = find_key(machine().hklm.get(), kServicesKey);
  Key* key = services == nullptr ? nullptr : services->find_subkey(name);
  if (key != nullptr && service_known(name) && dword_of(key, "Start") != kDisabled &&
      image_present(std::string(key->name)))
    store_service_state(std::string(key->name), port::SERVICE_RUNNING);
}

// Boot (0), system (1) and automatic (2) services start with the machine, and so does the
// function driver of every present device that has its driver installed.
void start_services() {
  std::vector<std::string> names;
  if (Key* services = find_key(machine().hklm.get(), kServicesKey)) {
    for (Key* key : services->subkeys) {
      if (key->find_value("Start") != nullptr && dword_of(key, "Start") <= 2) names.emplace_back(key->name);
    }
  }
  for (const std::string& id : devices::present_node_ids()) {
    std::string service = devices::node_string(id, "Service");
    if (!service.empty() && !devices::node_string(id, "Driver").empty()) names.push_back(service);
  }
  for (const std::string& name : names) start_service(name);
}

}  // namespace

void restart() {
  // The shutdown wrote every hive to the disk; volatile keys were held in memory only, and the
  // machine comes up without them.
  registry_all_durable();
  if (drop_volatile_keys(machine().hklm.get())) registry_changed();
  carry_out_pending_operations();
  boot_service_manager();
  // The boards are enumerated again: a board without a driver gets one from the driver store
  // (the INF directory before Vista) when one matches.
  devices::reenumerate();
  start_services();
  machine().ini.set("system", "reboot_requested", "0");
  // The reason went with the request: Windows logged it when it went down.
  machine().ini.erase("system", "reboot_reason");
  ini_changed();
}

std::vector<std::pair<std::string, std::string>> scheduled_file_operations() {
  Key* key = find_key(machine().hklm.get(), kSessionManagerKey);
  Value* value = key == nullptr ? nullptr : key->find_value(kPendingOperations);
  std::vector<std::pair<std::string, std::string>> operations;
  if (value == nullptr) return operations;
  // An empty target ends the string list early, so walk the pairs by hand.
  std::vector<std::string> names;
  std::string current;
  for (std::uint8_t byte : value->data) {
    if (byte != 0) {
      current += static_cast<char>(byte);
    } else {
      names.push_back(current);
      current.clear();
    }
  }
  for (std::size_t i = 0; i + 1 < names.size() && !names[i].empty(); i += 2)
    operations.emplace_back(names[i], names[i + 1]);
  return operations;
}

}  // namespace sim::internal
