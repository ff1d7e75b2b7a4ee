// halvik-sim import: a simulated machine made from an administrator's own registry exports.
//
//   halvik-sim import DIR [--present FILE] FILE.reg...
//
// The exports (what `reg export HKLM\SYSTEM` and `reg export HKLM\SOFTWARE` write) are merged
// under HKEY_LOCAL_MACHINE, a later file's values winning; what machine.ini needs is taken from
// where Windows keeps it, and what no export can tell is written there with a comment saying
// so.  DIR must not hold a machine yet; files the administrator already put on its drives stay.
#include <filesystem>
#include <string>
#include <vector>

#include "steps.h"

namespace halvik_sim {

namespace {

// DIR [--present FILE] FILE.reg...: false when something is missing.
bool read_arguments(const std::vector<std::string>& args, importer::Import* run) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--present") {
      if (i + 1 >= args.size()) return false;
      run->present_file = args[++i];
    } else if (run->dir.empty()) {
      run->dir = args[i];
    } else {
      run->exports.push_back(args[i]);
    }
  }
  return !run->dir.empty() && !run->exports.empty();
}

bool holds_no_machine(const std::string& dir, std::string* error) {
  std::error_code ignored;
  for (const char* file : {"registry.reg", "machine.ini"}) {
    if (std::filesystem::exists(std::filesystem::path(dir) / file, ignored)) {
      *error = dir + " already holds a machine (" + file + ")";
      return false;
    }
  }
  return true;
}

}  // namespace

int command_import(const std::vector<std::string>& args, HostFacts* facts) {
  using namespace importer;
  Import run;
  if (!read_arguments(args, &run)) return -1;
  std::string error;
  if (!holds_no_machine(run.dir, &error)) return trouble(error);
  Machine imported;
  imported.dir = run.dir;
  if (!read_exports(run.exports, &imported, &error)) return trouble(error);
  Key* hklm = imported.hklm.get();
  // Programs and Features' key, which every Windows has but an export of less than SOFTWARE
  // lacks; the installation registers itself there.
  sim::internal::create_key(hklm, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
  if (!settle_control_set(hklm, &run.mapped_control_set, &error)) return trouble(error);
  if (!read_system(hklm, &run.system, &error)) return trouble(error);
  read_environment(hklm, run.system, &run.environment);
  if (!find_present_boards(hklm, &run, &error)) return trouble(error);
  run.instances = class_instances(hklm);
  fill_machine_ini(hklm, run, &imported.ini);
  if (!make_drives(hklm, run, &error)) return trouble(error);
  if (!write_machine(imported, &error)) return trouble(error);
  print_summary(hklm, run, facts);
  return 0;
}

}  // namespace halvik_sim
