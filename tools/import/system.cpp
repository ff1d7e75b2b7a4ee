// What the program finds of Windows itself: its version, processor and system root, and the
// environment a program started there gets.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "steps.h"

namespace halvik_sim::importer {

using namespace sim::internal;

namespace {

constexpr char kControl[] = "SYSTEM\\CurrentControlSet\\Control";
constexpr char kEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

void define(Environment* environment, const std::string& name, const std::string& value) {
  environment->names[upper(name)] = value;
  for (auto& entry : environment->variables) {
    if (iequals(entry.first, name)) {
      entry.second = value;
      return;
    }
  }
  environment->variables.emplace_back(name, value);
}

}  // namespace

bool read_system(Key* hklm, System* system, std::string* error) {
  Key* version_key = find_key(hklm, kCurrentVersion);
  if (version_key == nullptr) {
    *error = std::string("no HKEY_LOCAL_MACHINE\\") + kCurrentVersion +
             " in the exports (reg export HKLM\\SOFTWARE software.reg writes it)";
    return false;
  }
  DWORD major = 0;
  DWORD minor = 0;
  // Windows 10 and later keep "6.3" in CurrentVersion for old programs; the numbers are real.
  if (dword_value(version_key, "CurrentMajorVersionNumber", &major) &&
      dword_value(version_key, "CurrentMinorVersionNumber", &minor)) {
    system->version = std::to_string(major) + "." + std::to_string(minor);
  } else {
    system->version = string_value(version_key, "CurrentVersion");
  }
  system->build = string_value(version_key, "CurrentBuildNumber");
  if (system->build.empty()) system->build = string_value(version_key, "CurrentBuild");
  std::string csd = string_value(version_key, "CSDVersion");
  system->service_pack = csd.rfind("Service Pack ", 0) == 0 ? trim(csd.substr(13)) : std::string("0");
  if (system->version.empty() || system->build.empty()) {
    *error = std::string("HKEY_LOCAL_MACHINE\\") + kCurrentVersion +
             " gives no CurrentVersion or no CurrentBuildNumber";
    return false;
  }
  system->processor = string_value(find_key(hklm, kEnvironment), "PROCESSOR_ARCHITECTURE");
  bool root_found = false;
  system->system_root = string_value(version_key, "SystemRoot", &root_found);
  if (!root_found) system->system_root = "C:\\WINDOWS";
  system->wow64 = iequals(system->processor, "AMD64");
  return true;
}

// The system's variables, expanded as the session manager does.
void read_environment(Key* hklm, const System& system, Environment* environment) {
  const std::string drive = system.system_root.substr(0, 2);
  define(environment, "SystemRoot", system.system_root);
  define(environment, "SystemDrive", drive);
  // The Program Files folder as the system records it, which every Windows has but an export of
  // less than SOFTWARE lacks; the installation's Programs and Features folder goes there.
  Key* current_version = create_key(hklm, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
  if (current_version->find_value("ProgramFilesDir") == nullptr) {
    std::string folder = drive + "\\Program Files";
    std::vector<std::uint8_t> data(folder.begin(), folder.end());
    data.push_back(0);
    current_version->set_value("ProgramFilesDir", port::REG_SZ, data);
  }
  // Set by the shell, not the session manager; a 32-bit program on AMD64 gets the (x86) folder.
  define(environment, "ProgramFiles", drive + "\\Program Files" + (system.wow64 ? " (x86)" : ""));
  std::string computer =
      string_value(find_key(hklm, std::string(kControl) + "\\ComputerName\\ComputerName"), "ComputerName");
  if (!computer.empty()) define(environment, "COMPUTERNAME", computer);
  if (Key* environment_key = find_key(hklm, kEnvironment)) {
    for (const Value& value : environment_key->values) {
      if (value.type == port::REG_SZ)
        define(environment, std::string(value.name),
               string_value(environment_key, std::string(value.name).c_str()));
    }
    for (const Value& value : environment_key->values) {
      if (value.type == port::REG_EXPAND_SZ)
        define(environment, std::string(value.name),
               expand(string_value(environment_key, std::string(value.name).c_str()), environment->names));
    }
  }
  if (system.wow64) {
    // The installer is a 32-bit program: its own environment is that of WOW64.
    define(environment, "PROCESSOR_ARCHITECTURE", "x86");
    define(environment, "PROCESSOR_ARCHITEW6432", "AMD64");
  }
}

// %NAME% references replaced from `names` (case-insensitive); unknown ones stay, as
// ExpandEnvironmentStrings leaves them.
std::string expand(const std::string& text, const std::map<std::string, std::string>& names) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t open = text.find('%', at);
    std::size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
    if (close == std::string::npos) break;
    auto found = names.find(upper(text.substr(open + 1, close - open - 1)));
    out += text.substr(at, open - at);
    if (found == names.end()) {
      out += text.substr(open, close - open);
      at = close;
    } else {
      out += found->second;
      at = close + 1;
    }
  }
  return out + text.substr(at);
}

}  // namespace halvik_sim::importer
