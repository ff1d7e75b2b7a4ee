// The device nodes the export records, which of them are present, and the drivers the setup
// classes record as installed.
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "pnp/hardware_ids.h"
#include "steps.h"

namespace halvik_sim {

using namespace sim::internal;

namespace importer {

namespace {

constexpr char kPciEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\PCI";

std::vector<PciNode> pci_nodes(Key* hklm) {
  std::vector<PciNode> nodes;
  Key* pci = find_key(hklm, kPciEnum);
  if (pci == nullptr) return nodes;
  for (Key* device : pci->subkeys) {
    for (Key* instance : device->subkeys) {
      PciNode node;
      node.instance_id = "PCI\\" + std::string(device->name) + "\\" + std::string(instance->name);
      node.hardware_ids = multi_value(instance, "HardwareID");
      if (node.hardware_ids.empty()) node.hardware_ids.push_back("PCI\\" + std::string(device->name));
      node.compatible_ids = multi_value(instance, "CompatibleIDs");
      node.service = string_value(instance, "Service");
      nodes.push_back(std::move(node));
    }
  }
  return nodes;
}

// The instance IDs in a --present file: one a line, blank lines and ';' comments skipped.
bool read_present(const std::string& path, std::vector<std::string>* ids, std::string* error) {
  std::string text;
  if (!read_whole_file(path, &text)) {
    *error = "cannot read " + path;
    return false;
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = trim(line);
    if (!line.empty() && line[0] != ';') ids->push_back(line);
  }
  return true;
}

}  // namespace

bool find_present_boards(Key* hklm, Import* run, std::string* error) {
  run->nodes = pci_nodes(hklm);
  if (run->present_file.empty()) {
    for (const PciNode& node : run->nodes) run->present.push_back(&node);
    return true;
  }
  std::vector<std::string> ids;
  if (!read_present(run->present_file, &ids, error)) return false;
  for (const std::string& id : ids) {
    const PciNode* match = nullptr;
    for (const PciNode& node : run->nodes) {
      if (iequals(node.instance_id, id)) match = &node;
    }
    if (match == nullptr) {
      *error = run->present_file + ": " + id + " is no PCI device node of the export";
      return false;
    }
    run->present.push_back(match);
  }
  return true;
}

std::vector<ClassInstance> class_instances(Key* hklm) {
  std::vector<ClassInstance> out;
  Key* classes = find_key(hklm, sim::devices::kClassKey);
  if (classes == nullptr) return out;
  for (Key* class_key : classes->subkeys) {
    for (Key* instance : class_key->subkeys) {
      ClassInstance item{std::string(class_key->name),         string_value(class_key, "Class"),
                         std::string(instance->name),          string_value(instance, "InfPath"),
                         string_value(instance, "InfSection"), string_value(instance, "MatchingDeviceId"),
                         string_value(instance, "DriverDesc"), string_value(instance, "ProviderName")};
      if (!item.inf_path.empty()) out.push_back(std::move(item));
    }
  }
  return out;
}

}  // namespace importer

bool is_supported(const std::vector<std::string>& ids) {
  for (const std::string& id : ids) {
    for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row) {
      std::string_view supported = supported_hardware_ids[row];
      // A row is the ID without its revision; the revision-qualified form names it too.
      if (id.size() >= supported.size() &&
          iequals(std::string_view(id).substr(0, supported.size()), supported) &&
          (id.size() == supported.size() || id[supported.size()] == '&'))
        return true;
    }
  }
  return false;
}

}  // namespace halvik_sim
