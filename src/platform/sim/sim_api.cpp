// The test-facing view of the simulated machine (sim.h): direct reads and changes, with no
// faults and no trace.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/runtime/process.h"
#include "platform/sim/services/services.h"
#include "platform/sim/sim.h"
#include "platform/sim/templates/templates.h"
#include "platform/sim/wow64/wow64.h"

namespace sim {

using namespace internal;

bool create_machine(const std::string& dir, const std::string& template_name, std::string* error) {
  TemplateFunction build = find_template(template_name);
  if (build == nullptr) {
    std::string known;
    for (const std::string& name : template_names()) known += (known.empty() ? "" : ", ") + name;
    *error = "unknown template \"" + template_name + "\" (known: " + known + ")";
    return false;
  }
  std::error_code fs_error;
  if (std::filesystem::exists(dir, fs_error) && !std::filesystem::is_empty(dir, fs_error)) {
    *error = dir + " exists and is not empty";
    return false;
  }
  std::filesystem::create_directories(dir, fs_error);
  if (fs_error) {
    *error = "cannot create " + dir + ": " + fs_error.message();
    return false;
  }
  Machine fresh;
  fresh.dir = dir;
  fresh.hklm = new_tree();
  fresh.hklm->name = "HKEY_LOCAL_MACHINE";
  std::filesystem::create_directories(dir + "/drive_c", fs_error);
  build(fresh);
  read_service_database(fresh);
  return write_machine(fresh, error);
}

bool use_machine(const std::string& dir, std::string* error) {
  install_service_hooks();
  devices::install_device_hooks();
  return load(dir, error);
}

bool save_machine(std::string* error) {
  return save(error);
}

std::string machine_dir() {
  return raw_machine().dir;
}

// ---- registry ------------------------------------------------------------------------------

namespace {

Key* key_at(const std::string& key) {
  return find_key(machine().hklm.get(), key);
}

}  // namespace

bool reg_key_exists(const std::string& key) {
  return key_at(key) != nullptr;
}

void reg_create_key(const std::string& key) {
  create_key(machine().hklm.get(), key);
  registry_changed();
}

void reg_delete_key(const std::string& key) {
  std::vector<std::string> parts = split_key_path(key);
  if (parts.empty()) return;
  std::string leaf = parts.back();
  parts.pop_back();
  std::string parent_path;
  for (const std::string& part : parts) parent_path += part + "\\";
  if (Key* parent = key_at(parent_path)) {
    if (parent->delete_subkey(leaf)) registry_changed();
  }
}

bool reg_get(const std::string& key, const std::string& name, port::DWORD* type,
             std::vector<std::uint8_t>* data) {
  Key* found = key_at(key);
  Value* value = found == nullptr ? nullptr : found->find_value(name);
  if (value == nullptr) return false;
  if (type != nullptr) *type = value->type;
  if (data != nullptr) *data = value->data.vector();
  return true;
}

bool reg_get_dword(const std::string& key, const std::string& name, port::DWORD* value) {
  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!reg_get(key, name, &type, &data) || type != port::REG_DWORD || data.size() != 4) return false;
  *value = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<port::DWORD>(data[3]) << 24);
  return true;
}

void reg_set(const std::string& key, const std::string& name, port::DWORD type,
             const std::vector<std::uint8_t>& data) {
  create_key(machine().hklm.get(), key)->set_value(name, type, data);
  registry_changed();
}

void reg_set_dword(const std::string& key, const std::string& name, port::DWORD value) {
  reg_set(key, name, port::REG_DWORD,
          {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
           static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

void reg_set_string(const std::string& key, const std::string& name, const std::string& value) {
  std::vector<std::uint8_t> data(value.begin(), value.end());
  data.push_back(0);
  reg_set(key, name, port::REG_SZ, data);
}

std::vector<std::string> reg_value_names(const std::string& key) {
  std::vector<std::string> names;
  if (Key* found = key_at(key)) {
    for (const Value& value : found->values) names.emplace_back(value.name);
  }
  return names;
}

std::vector<std::string> reg_subkeys(const std::string& key) {
  std::vector<std::string> names;
  if (Key* found = key_at(key)) {
    for (Key* child : found->subkeys) names.emplace_back(child->name);
  }
  return names;
}

// ---- services ------------------------------------------------------------------------------

void add_service(const std::string& name, port::DWORD type, port::DWORD state) {
  Key* key = create_key(machine().hklm.get(), std::string(kServicesKey) + "\\" + name);
  auto dword = [](port::DWORD v) {
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  key->set_value("Type", port::REG_DWORD, dword(type));
  if (key->find_value("Start") == nullptr) key->set_value("Start", port::REG_DWORD, dword(3));
  if (key->find_value("ErrorControl") == nullptr) key->set_value("ErrorControl", port::REG_DWORD, dword(1));
  registry_changed();
  // The machine is given this service as it is installed, whatever the manager knew before.
  machine().ini.erase("service_database", name);
  create_service(name, type);
  store_service_state(name, state == 0 ? port::SERVICE_STOPPED : state);
}

void set_service_state(const std::string& name, port::DWORD state) {
  store_service_state(name, state);
  if (state == port::SERVICE_STOPPED) service_maybe_vanish(name);
}

port::DWORD service_state(const std::string& name) {
  return service_known(name) ? current_service_state(name) : 0;
}

bool service_exists(const std::string& name) {
  return service_known(name);
}

void set_service_stop_stuck(const std::string& name, bool stuck) {
  set_service_option(name, "stop", stuck ? "stuck" : "");
}

void set_service_delete_linger(const std::string& name, bool linger) {
  set_service_option(name, "delete", linger ? "linger" : "");
}

// ---- files ---------------------------------------------------------------------------------

std::string host_path(const std::string& windows_path) {
  std::string host;
  return host_path_of(windows_path, &host) ? host : "";
}

bool file_exists(const std::string& windows_path) {
  std::string host = host_path(windows_path);
  struct stat info {};
  return !host.empty() && ::stat(host.c_str(), &info) == 0;
}

void write_file(const std::string& windows_path, const std::string& content) {
  std::string host = host_path(windows_path);
  if (host.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(host).parent_path(), ignored);
  // Written anew so that a read-only file's permission doesn't stand in the way.
  std::filesystem::remove(host, ignored);
  std::ofstream(host, std::ios::binary) << content;
}

std::string read_file(const std::string& windows_path) {
  std::ifstream in(host_path(windows_path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void make_directory(const std::string& windows_path) {
  std::string host = host_path(windows_path);
  std::error_code ignored;
  if (!host.empty()) std::filesystem::create_directories(host, ignored);
}

// ---- environment, current directory, version ----------------------------------------------

void set_env(const std::string& name, const std::string& value) {
  machine().ini.set("environment", name, value);
  ini_changed();
}

void unset_env(const std::string& name) {
  machine().ini.erase("environment", name);
  ini_changed();
}

void set_current_directory(const std::string& windows_path) {
  std::string full;
  if (!full_windows_path(windows_path, &full)) return;
  Machine& m = machine();
  m.current_directory = full;
  m.ini.set("process", "current_directory", full);
  ini_changed();
}

void set_administrator(bool administrator) {
  machine().ini.set("process", "administrator", administrator ? "1" : "0");
  ini_changed();
}

void set_version(port::DWORD platform, port::DWORD major, port::DWORD minor, port::DWORD service_pack) {
  Ini& ini = machine().ini;
  ini.set("system", "platform", std::to_string(platform));
  ini.set("system", "version", std::to_string(major) + "." + std::to_string(minor));
  ini.set("system", "service_pack", std::to_string(service_pack));
  ini_changed();
}

// ---- faults, trace, handles, reboot --------------------------------------------------------

void add_fault(const std::string& call, const std::string& argument, int occurrence, port::DWORD error) {
  Machine& m = machine();
  Fault fault{call, argument, occurrence, error, 0};
  std::string key = fault_key(fault);
  std::erase_if(m.faults, [&](const Fault& existing) { return fault_key(existing) == key; });
  m.faults.push_back(fault);
  m.ini.set("faults", key, std::to_string(error));
  ini_changed();
}

void clear_faults() {
  Machine& m = machine();
  m.faults.clear();
  m.kill_at_call = 0;
  for (IniSection& section : m.ini.sections) {
    if (iequals(section.name, "faults") || lower(section.name).rfind("faults.", 0) == 0) {
      section.entries.clear();
      section.touch();
    }
  }
  ini_changed();
}

const std::vector<std::string>& trace() {
  return raw_machine().trace;
}

void clear_trace() {
  raw_machine().trace.clear();
}

std::size_t open_handle_count() {
  const Machine& m = raw_machine();
  return m.keys.size() + m.services.size() + m.tokens.size() + m.files.size() + m.finds.size() +
         m.sids.size() + m.other_handles + m.modules.size();
}

void set_process_bits(int bits) {
  internal::set_process_bits(bits);
}

void restart_machine() {
  restart();
}

std::vector<std::pair<std::string, std::string>> pending_file_operations() {
  return scheduled_file_operations();
}

bool power_cut_machine(std::string* error) {
  if (!restore_durable_registry(error)) return false;
  // The machine comes up from what its disk held, as a restart does.
  restart_machine();
  return true;
}

bool reboot_requested() {
  return machine().ini.get_or("system", "reboot_requested", "0") == "1";
}

// ---- devices -------------------------------------------------------------------------------

void add_board(const Board& board) {
  devices::write_board(board);
  devices::create_board_node(board);
}

void remove_board(const std::string& instance_id) {
  devices::erase_board(instance_id);
}

std::vector<Board> boards() {
  return devices::read_boards();
}

std::vector<std::string> device_nodes() {
  return devices::node_ids();
}

bool device_present(const std::string& instance_id) {
  return devices::node_present(instance_id);
}

std::string device_driver(const std::string& instance_id) {
  return devices::node_string(instance_id, "Driver");
}

void set_wait_no_pending_available(bool available) {
  devices::set_setting("wait_no_pending", available ? "" : "absent");
}

void set_wait_no_pending_times_out(bool times_out) {
  devices::set_setting("wait_no_pending", times_out ? "timeout" : "");
}

void set_update_restart_required(bool required) {
  devices::set_setting("restart_required", required ? "1" : "");
}

void set_reenumerate_error(port::CONFIGRET error) {
  devices::set_setting("reenumerate_error", error == 0 ? "" : hex32(error));
}


}  // namespace sim

// ---- start-up and shut-down ----------------------------------------------------------------

namespace {

std::string default_machine_dir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state != '\0') return std::string(state) + "/halvik/machine";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/halvik/machine";
}

}  // namespace

namespace port {

using namespace sim::internal;

int initialize() {
  Machine& m = raw_machine();
  if (m.loaded) return 0;
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit([] { port::shutdown(); });
  }
  std::string error;
  const char* named = std::getenv("HALVIK_MACHINE");
  std::string dir;
  if (named != nullptr && *named != '\0') {
    dir = named;
  } else {
    dir = default_machine_dir();
    std::error_code ignored;
    if (!std::filesystem::exists(dir + "/registry.reg", ignored)) {
      std::filesystem::create_directories(dir, ignored);
      if (!sim::create_machine(dir, "xp", &error)) {
        std::fprintf(stderr, "halvik: cannot create the simulated machine: %s\n", error.c_str());
        return 1;
      }
    }
  }
  if (!sim::use_machine(dir, &error)) {
    std::fprintf(stderr, "halvik: cannot load the simulated machine: %s\n", error.c_str());
    return 1;
  }
  // A program started by another one on this machine inherits its current directory.
  if (const char* inherited = std::getenv("HALVIK_CURRENT_DIRECTORY")) {
    if (*inherited != '\0') {
      raw_machine().current_directory = inherited;
      raw_machine().image_path = image_path_in(raw_machine().ini, inherited);
    }
  }
  if (const char* image = std::getenv("HALVIK_IMAGE"); image != nullptr && *image != '\0')
    raw_machine().image_path = image;
  if (const char* start = std::getenv("HALVIK_START"); start != nullptr && std::atol(start) > 0)
    raw_machine().start_number = std::atol(start);
  return 0;
}

void shutdown() {
  close_process_handles();
  std::string error;
  if (!save(&error)) std::fprintf(stderr, "halvik: cannot save the simulated machine: %s\n", error.c_str());
}

}  // namespace port
