// What machine.ini says of an imported machine: what the exports tell of the system, its
// environment and the boards present, and, with a comment saying so, what no export can tell
// (a restart pending, the services running, where the package is unpacked).
#include <set>
#include <string>

#include "steps.h"

namespace halvik_sim::importer {

using namespace sim::internal;

namespace {

// Running or not is no part of any export: a service started at boot, or used by a device
// that is there, is taken to run.
void fill_services(Key* hklm, const Import& run, Ini* ini) {
  std::set<std::string> started;
  for (const PciNode* node : run.present) {
    if (!node->service.empty()) started.insert(upper(node->service));
  }
  // Root-enumerated devices are always there: their function drivers run as the boards' do.
  if (Key* root = find_key(hklm, "SYSTEM\\CurrentControlSet\\Enum\\Root")) {
    for (Key* device : root->subkeys) {
      for (Key* instance : device->subkeys) {
        std::string service = string_value(instance, "Service");
        if (!service.empty() && !string_value(instance, "Driver").empty()) started.insert(upper(service));
      }
    }
  }
  if (Key* services = find_key(hklm, kServices)) {
    for (Key* service : services->subkeys) {
      DWORD type = 0;
      DWORD start = 4;
      if (!dword_value(service, "Type", &type)) continue;
      bool has_start = dword_value(service, "Start", &start);
      if (has_start && start <= 2) {
        ini->set("services", std::string(service->name),
                 "running ; not in the export: assumed from Start = " + std::to_string(start));
      } else if (started.count(upper(service->name)) != 0) {
        ini->set("services", std::string(service->name),
                 "running ; not in the export: assumed, a present device uses it");
      }
    }
  }
}

}  // namespace

void fill_machine_ini(Key* hklm, const Import& run, Ini* ini) {
  const System& system = run.system;
  ini->set("system", "platform", "2");
  ini->set("system", "version", system.version);
  ini->set("system", "build", system.build);
  ini->set("system", "service_pack", system.service_pack);
  ini->set("system", "processor",
           system.processor.empty() ? "x86 ; not in the export: assumed" : system.processor);
  ini->set("system", "reboot_requested", "0 ; not in the export: assumed no restart pending");
  ini->set("process", "current_directory",
           std::string(kPackageDir) + "\\install ; not in the export: where the package is unpacked");
  for (const auto& [name, value] : run.environment.variables) ini->set("environment", name, value);
  for (const PciNode* node : run.present) {
    std::string value = join(node->hardware_ids, ",");
    if (!node->compatible_ids.empty()) value += " ; compatible = " + join(node->compatible_ids, ",");
    ini->set("hardware", node->instance_id, value);
  }
  fill_services(hklm, run, ini);
  ini->set("trace", "enabled", "0");
  ini->set("import", "sources", join(run.exports, " "));
  if (!run.mapped_control_set.empty()) {
    ini->set("import", "current_control_set",
             run.mapped_control_set + " ; the export's current control set, renamed CurrentControlSet");
  }
}

}  // namespace halvik_sim::importer
