// The service manager's database and the service states of the simulated machine, and the
// images of loaded services.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/sim/files/files.h"
#include "platform/sim/services/services.h"

namespace sim::internal {

// ---- services ------------------------------------------------------------------------------
//
// The service manager's database lives in machine.ini's [service_database]: one line per service
// it knows, "NAME = TYPE" or "NAME = TYPE marked" for a service marked for deletion.  It is read
// from the Services keys at boot (a machine without the section, and a restart); between
// restarts it is the manager's own, so deleting or writing a Services key changes nothing the
// manager knows.

namespace {

constexpr char kDatabase[] = "service_database";

const IniEntry* database_entry(const std::string& name) {
  if (name.empty() || name.find('\\') != std::string::npos) return nullptr;
  const IniSection* database = machine().ini.section(kDatabase);
  if (database == nullptr) return nullptr;
  for (const IniEntry& entry : database->entries) {
    if (iequals(entry.key, name)) return &entry;
  }
  return nullptr;
}

std::string database_value(DWORD type, bool marked) {
  return hex32(type) + (marked ? " marked" : "");
}

DWORD dword_value(Key* key, std::string_view name) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_DWORD || value->data.size() < 4) return 0;
  return value->data[0] | (value->data[1] << 8) | (value->data[2] << 16) |
         (static_cast<DWORD>(value->data[3]) << 24);
}

}  // namespace

bool parse_database_entry(const std::string& value, DWORD* type, bool* marked) {
  std::string text = ini_value(value);
  std::size_t blank = text.find(' ');
  std::string number = text.substr(0, blank);
  std::string rest = blank == std::string::npos ? "" : trim(text.substr(blank));
  char* end = nullptr;
  unsigned long parsed = std::strtoul(number.c_str(), &end, 0);
  if (number.empty() || end == nullptr || *end != '\0' || !(rest.empty() || rest == "marked")) return false;
  *type = static_cast<DWORD>(parsed);
  *marked = !rest.empty();
  return true;
}

void read_service_database(Machine& m) {
  IniSection& database = m.ini.ensure_section(kDatabase);
  database.entries.clear();
  database.touch();
  Key* services = find_key(m.hklm.get(), kServicesKey);
  if (services == nullptr) return;
  for (Key* key : services->subkeys) {
    if (key->find_value("Type") == nullptr) continue;
    database.entries.push_back({std::string(key->name), database_value(dword_value(key, "Type"),
                                                                       dword_value(key, "DeleteFlag") != 0)});
  }
}

bool service_known(const std::string& name) {
  return database_entry(name) != nullptr;
}

std::string service_key_name(const std::string& name) {
  const IniEntry* entry = database_entry(name);
  return entry == nullptr ? name : entry->key;
}

DWORD service_type(const std::string& name) {
  const IniEntry* entry = database_entry(name);
  DWORD type = 0;
  bool marked = false;
  if (entry != nullptr) parse_database_entry(entry->value, &type, &marked);
  return type;
}

DWORD create_service(const std::string& name, DWORD type) {
  if (service_marked_for_delete(name)) return port::ERROR_SERVICE_MARKED_FOR_DELETE;
  if (service_known(name)) return port::ERROR_SERVICE_EXISTS;
  machine().ini.set(kDatabase, name, database_value(type, false));
  ini_changed();
  return port::ERROR_SUCCESS;
}

void set_service_type(const std::string& name, DWORD type) {
  if (!service_known(name)) return;
  machine().ini.set(kDatabase, service_key_name(name), database_value(type, service_marked_for_delete(name)));
  ini_changed();
}

DWORD current_service_state(const std::string& name) {
  DWORD state = service_state_from_name(machine().ini.get_or("services", name, "stopped"));
  return state == 0 ? port::SERVICE_STOPPED : state;
}

void store_service_state(const std::string& name, DWORD state) {
  machine().ini.set("services", service_key_name(name), service_state_name(state));
  ini_changed();
}

std::string service_option(const std::string& name, const std::string& option) {
  return machine().ini.get_or("services", name + "." + option, "");
}

void set_service_option(const std::string& name, const std::string& option, const std::string& value) {
  Machine& m = machine();
  if (value.empty()) {
    m.ini.erase("services", name + "." + option);
  } else {
    m.ini.set("services", service_key_name(name) + "." + option, value);
  }
  ini_changed();
}

// The manager deletes a service by deleting its key, with everything below it.
void remove_service(const std::string& name) {
  Machine& m = machine();
  if (Key* services = find_key(m.hklm.get(), kServicesKey)) {
    if (services->delete_subkey(name)) registry_changed();
  }
  m.ini.erase(kDatabase, name);
  for (const char* option : {"", ".stop", ".delete"}) m.ini.erase("services", name + option);
  ini_changed();
}

bool service_marked_for_delete(const std::string& name) {
  const IniEntry* entry = database_entry(name);
  DWORD type = 0;
  bool marked = false;
  return entry != nullptr && parse_database_entry(entry->value, &type, &marked) && marked;
}

// As DeleteService records it: the database entry is marked, and the key (when there still is
// one) says so with DeleteFlag = 1 and Start = 4 (disabled) for the next boot.
void mark_service_for_delete(const std::string& name) {
  Machine& m = machine();
  m.ini.set(kDatabase, service_key_name(name), database_value(service_type(name), true));
  ini_changed();
  Key* services = find_key(m.hklm.get(), kServicesKey);
  Key* key = services == nullptr ? nullptr : services->find_subkey(name);
  if (key != nullptr) {
    key->set_value("DeleteFlag", port::REG_DWORD, {1, 0, 0, 0});
    key->set_value("Start", port::REG_DWORD, {4, 0, 0, 0});
    registry_changed();
  }
}

// A service marked for deletion goes once nothing holds it: no open handle and stopped.
void service_maybe_vanish(const std::string& name) {
  Machine& m = machine();
  if (!service_marked_for_delete(name)) return;
  if (iequals(service_option(name, "delete"), "linger")) return;
  for (const auto& [handle, service] : m.services) {
    if (!service->manager && iequals(service->name, name)) return;
  }
  if (current_service_state(name) != port::SERVICE_STOPPED) return;
  remove_service(name);
}

// ---- service images ------------------------------------------------------------------------

std::string image_file_of(const std::string& image_path, const std::string& system_root) {
  std::string image = trim(image_path);
  if (!image.empty() && image[0] == '"') {
    std::size_t close = image.find('"', 1);
    image = image.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    for (std::size_t blank = image.find(' '); blank != std::string::npos;
         blank = image.find(' ', blank + 1)) {
      std::string_view before(image.data(), blank);
      bool program = before.size() > 4 && (iequals(before.substr(before.size() - 4), ".exe") ||
                                           iequals(before.substr(before.size() - 4), ".sys") ||
                                           iequals(before.substr(before.size() - 4), ".dll"));
      if (program) {
        image.resize(blank);
        break;
      }
    }
  }
  for (std::string_view prefix : {"\\??\\", "\\SystemRoot\\", "%SystemRoot%\\", "%windir%\\"}) {
    if (image.size() > prefix.size() && iequals(std::string_view(image).substr(0, prefix.size()), prefix)) {
      image = (prefix[1] == '?' ? "" : system_root + "\\") + image.substr(prefix.size());
      break;
    }
  }
  if (image.size() >= 2 && image[1] == ':') return image;
  if (!image.empty() && image[0] == '\\') return system_root.substr(0, 2) + image;
  return image.empty() ? "" : system_root + "\\" + image;
}

namespace {

std::string system_root() {
  std::string root = machine().ini.get_or("environment", "SystemRoot", "C:\\WINDOWS");
  while (root.size() > 3 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  return root;
}

}  // namespace

std::string service_image_file(const std::string& name) {
  Key* services = find_key(machine().hklm.get(), kServicesKey);
  Key* key = services == nullptr ? nullptr : services->find_subkey(name);
  const Value* value = key == nullptr ? nullptr : key->find_value("ImagePath");
  std::string image;
  if (value != nullptr && (value->type == port::REG_SZ || value->type == port::REG_EXPAND_SZ)) {
    image.assign(value->data.begin(), value->data.end());
    image.resize(std::min(image.size(), image.find('\0')));
  }
  if (image.empty() && (service_type(name) & 0x3) != 0) image = "System32\\drivers\\" + name + ".sys";
  // The service manager expands the system's variables in it (%ProgramFiles%, ...).
  std::string expanded;
  for (std::size_t at = 0; at < image.size();) {
    std::size_t open = image.find('%', at);
    std::size_t close = open == std::string::npos ? std::string::npos : image.find('%', open + 1);
    if (close == std::string::npos) {
      expanded += image.substr(at);
      break;
    }
    const std::string* defined = machine().ini.get("environment", image.substr(open + 1, close - open - 1));
    expanded += image.substr(at, open - at);
    expanded += defined == nullptr ? image.substr(open, close + 1 - open) : ini_value(*defined);
    at = close + 1;
  }
  return expanded.empty() ? "" : image_file_of(expanded, system_root());
}

bool loaded_image(const std::string& host) {
  const IniSection* states = machine().ini.section("services");
  if (states == nullptr) return false;
  for (const IniEntry& entry : states->entries) {
    if (entry.key.find('.') != std::string::npos || !service_known(entry.key)) continue;
    DWORD state = service_state_from_name(ini_value(entry.value));
    if (state == 0 || state == port::SERVICE_STOPPED) continue;
    std::string image = service_image_file(entry.key);
    std::string image_host;
    if (!image.empty() && native_host_path_of(image, &image_host) && image_host == host) return true;
  }
  return false;
}

// ---- service states ------------------------------------------------------------------------

namespace {
constexpr const char* kStateNames[] = {"",        "stopped",          "start_pending", "stop_pending",
                                       "running", "continue_pending", "pause_pending", "paused"};
}

const char* service_state_name(DWORD state) {
  return state >= 1 && state <= 7 ? kStateNames[state] : "stopped";
}

DWORD service_state_from_name(const std::string& name) {
  for (DWORD state = 1; state <= 7; ++state) {
    if (iequals(name, kStateNames[state])) return state;
  }
  return 0;
}

// ---- the manager's part in loading a machine -------------------------------------------------

namespace {

bool load_service_settings(Machine& m, const std::string& dir, std::string* error) {
  if (const IniSection* services = m.ini.section("services")) {
    for (const IniEntry& entry : services->entries) {
      std::string value = ini_value(entry.value);
      std::size_t dot = entry.key.rfind('.');
      std::string option = dot == std::string::npos ? "" : lower(entry.key.substr(dot + 1));
      bool valid = option.empty()       ? service_state_from_name(value) != 0
                   : option == "stop"   ? iequals(value, "stuck")
                   : option == "delete" ? iequals(value, "linger")
                                        : true;
      if (!valid) {
        *error = dir + "/machine.ini:" + std::to_string(entry.line) + ": [services] " + entry.key + " = " +
                 value +
                 (option.empty() ? ": not a service state (stopped, start_pending, stop_pending, running, "
                                   "continue_pending, pause_pending, paused)"
                                 : ": not a known setting");
        return false;
      }
    }
  }
  if (const IniSection* database = m.ini.section("service_database")) {
    for (const IniEntry& entry : database->entries) {
      DWORD type = 0;
      bool marked = false;
      if (!parse_database_entry(entry.value, &type, &marked)) {
        *error = dir + "/machine.ini: [service_database] " + entry.key + " = " + entry.value +
                 ": not a service type, optionally followed by \"marked\"";
        return false;
      }
    }
  } else {
    // A machine that has never been started: the manager reads the keys.
    read_service_database(m);
    m.ini_dirty = true;
  }
  return true;
}

}  // namespace

void install_service_hooks() {
  ServiceHooks hooks;
  hooks.load_settings = load_service_settings;
  hooks.handle_closed = service_maybe_vanish;
  set_service_hooks(hooks);
  set_mapped_image_check(loaded_image);
}

}  // namespace sim::internal
