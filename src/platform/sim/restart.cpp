// A restart of the simulated machine, as far as the parts this program touches go: the file
// operations scheduled for the restart are carried out, services marked for deletion go, and
// the reboot request is answered.
#include <filesystem>
#include <system_error>

#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

namespace sim {
namespace {

using namespace internal;

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingOperations[] = "PendingFileRenameOperations";

// "\??\C:\path" (a rename target may start with "!": replace an existing file) as a host path;
// empty when it names no simulated drive.
std::string host_of(std::string name) {
  if (!name.empty() && name[0] == '!') name.erase(0, 1);
  if (name.rfind("\\??\\", 0) == 0) name.erase(0, 4);
  std::string host;
  return host_path_of(name, &host) ? host : std::string();
}

// Each pair is a source and a target; an empty target deletes the source.  An operation that
// can't be carried out is dropped, as the session manager drops it.
void carry_out_pending_operations() {
  Machine& m = machine();
  Key* key = find_key(m.hklm.get(), kSessionManagerKey);
  Value* value = key == nullptr ? nullptr : key->find_value(kPendingOperations);
  if (value == nullptr) return;
  // An empty target ends the string list early, so walk the pairs by hand.
  std::vector<std::string> names;
  std::string current;
  for (std::size_t i = 0; i < value->data.size(); ++i) {
    if (value->data[i] != 0) {
      current += static_cast<char>(value->data[i]);
    } else {
      names.push_back(current);
      current.clear();
    }
  }
  for (std::size_t i = 0; i + 1 < names.size() && !names[i].empty(); i += 2) {
    std::string source = host_of(names[i]);
    if (source.empty()) continue;
    std::error_code ignored;
    if (names[i + 1].empty()) {
      std::filesystem::remove_all(source, ignored);
    } else if (std::string target = host_of(names[i + 1]); !target.empty()) {
      std::filesystem::rename(source, target, ignored);
    }
  }
  key->values.erase(key->values.begin() + (value - key->values.data()));
  registry_changed();
}

// A service marked for deletion goes at the restart, whatever held it; a state left in
// machine.ini for a service the registry no longer has is forgotten.
void drop_deleted_services() {
  Machine& m = machine();
  std::vector<std::string> names;
  if (Key* services = find_key(m.hklm.get(), kServicesKey)) {
    for (const auto& [folded, key] : services->subkeys) names.push_back(key->name);
  }
  for (const std::string& name : names) {
    if (service_marked_for_delete(name)) remove_service(name);
  }
  if (IniSection* states = m.ini.section("services")) {
    std::vector<std::string> forgotten;
    for (const IniEntry& entry : states->entries) {
      std::string name = entry.key.substr(0, entry.key.find('.'));
      if (!service_known(name)) forgotten.push_back(entry.key);
    }
    for (const std::string& key : forgotten) m.ini.erase("services", key);
    if (!forgotten.empty()) ini_changed();
  }
}

}  // namespace

void restart_machine() {
  carry_out_pending_operations();
  drop_deleted_services();
  machine().ini.set("system", "reboot_requested", "0");
  ini_changed();
}

}  // namespace sim
