// What an import tells the administrator of the machine it made, and what a rehearsal shows of
// it.
#include <cstdio>
#include <string>
#include <vector>

#include "steps.h"

namespace halvik_sim {

using namespace sim::internal;

namespace importer {

namespace {

std::size_t count_keys(const Key& key) {
  std::size_t count = 1;
  for (Key* child : key.subkeys) count += count_keys(*child);
  return count;
}

// What of halvik the machine already has: its service and the drivers the setup classes
// record for a supported board.
std::vector<std::string> earlier_installation(Key* hklm, const Import& run) {
  std::vector<std::string> earlier;
  if (Key* service = find_key(hklm, std::string(kServices) + "\\halvik")) {
    DWORD start = 0;
    std::string start_text = dword_value(service, "Start", &start) ? ", Start " + std::to_string(start) : "";
    earlier.push_back("service halvik" + start_text);
  }
  for (const ClassInstance& instance : run.instances) {
    if (is_supported({instance.matching_id})) {
      earlier.push_back("class " + instance.guid + " (" + instance.class_name + ") " + instance.instance +
                        ": " + instance.inf_path);
    }
  }
  return earlier;
}

}  // namespace

void print_summary(Key* hklm, const Import& run, HostFacts* facts) {
  const System& system = run.system;
  std::printf("Imported %s: %zu keys from %s.\n", run.dir.c_str(), count_keys(*hklm),
              join(run.exports, ", ").c_str());
  std::printf("Windows %s build %s%s, %s, SystemRoot %s.\n", system.version.c_str(), system.build.c_str(),
              system.service_pack == "0" ? "" : (" Service Pack " + system.service_pack).c_str(),
              system.processor.empty() ? "processor unknown (x86 assumed)" : system.processor.c_str(),
              system.system_root.c_str());
  if (!run.mapped_control_set.empty())
    std::printf("CurrentControlSet is the export's %s.\n", run.mapped_control_set.c_str());
  std::vector<std::string> boards;
  for (const PciNode* node : run.present) {
    if (is_supported(node->hardware_ids)) boards.push_back(node->instance_id);
  }
  std::printf("Supported boards present: %zu (of %zu PCI devices present).\n", boards.size(),
              run.present.size());
  if (facts != nullptr) *facts = host_facts(hklm, system.processor, boards.size());
  for (const std::string& board : boards) std::printf("  %s\n", board.c_str());
  std::vector<std::string> earlier = earlier_installation(hklm, run);
  if (earlier.empty()) {
    std::printf("Earlier installation: none found.\n");
  } else {
    std::printf("Earlier installation:\n");
    for (const std::string& line : earlier) std::printf("  %s\n", line.c_str());
  }
  DWORD pages = 0;
  if (dword_value(find_key(hklm, kMemory), "SystemPages", &pages)) {
    std::printf("SystemPages: %u (0x%x).\n", static_cast<unsigned>(pages), static_cast<unsigned>(pages));
  } else {
    std::printf("SystemPages: not set.\n");
  }
}

}  // namespace importer

HostFacts host_facts(Key* hklm, const std::string& processor, std::size_t boards) {
  HostFacts facts;
  Key* version = find_key(hklm, importer::kCurrentVersion);
  facts.windows = importer::string_value(version, "ProductName");
  if (facts.windows.empty()) facts.windows = "Windows";
  std::string service_pack = importer::string_value(version, "CSDVersion");
  if (!service_pack.empty()) facts.windows += " " + service_pack;
  facts.processor = processor.empty() ? "x86" : processor;
  facts.boards = std::to_string(boards);
  facts.was = importer::string_value(
      find_key(hklm, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\halvik"), "DisplayVersion");
  if (facts.was.empty())
    facts.was = find_key(hklm, std::string(importer::kServices) + "\\halvik") != nullptr
                    ? "earlier (not listed)"
                    : "none";
  DWORD pages = 0;
  facts.pages = importer::dword_value(find_key(hklm, importer::kMemory), "SystemPages", &pages)
                    ? std::to_string(pages)
                    : "none";
  return facts;
}

}  // namespace halvik_sim
