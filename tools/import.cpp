// halvik-sim import: a simulated machine made from an administrator's own registry exports.
//
//   halvik-sim import DIR [--present FILE] FILE.reg...
//
// The exports (what `reg export HKLM\SYSTEM` and `reg export HKLM\SOFTWARE` write) are merged
// under HKEY_LOCAL_MACHINE, a later file's values winning; what machine.ini needs is taken from
// where Windows keeps it, and what no export can tell is written there with a comment saying
// so.  DIR must not hold a machine yet; files the administrator already put on its drives stay.
#include "import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"
#include "platform/sim/templates/package_inf.h"
#include "platform/sim/templates/templates.h"
#include "pnp/hardware_ids.h"

namespace halvik_sim {

namespace {

using namespace sim::internal;

constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kControl[] = "SYSTEM\\CurrentControlSet\\Control";
constexpr char kEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kMemory[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
constexpr char kServices[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr char kPciEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\PCI";
constexpr char kPackageDir[] = "C:\\Tessaridge";

// A string value as the program reads it (ANSI, without its terminator); "" when absent.
std::string string_value(Key* key, const char* name, bool* found = nullptr) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  bool usable = value != nullptr && (value->type == port::REG_SZ || value->type == port::REG_EXPAND_SZ);
  if (found != nullptr) *found = usable;
  if (!usable) return "";
  std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

bool dword_value(Key* key, const char* name, DWORD* out) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_DWORD || value->data.size() != 4) return false;
  *out = static_cast<DWORD>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                            static_cast<DWORD>(value->data[3]) << 24);
  return true;
}

std::vector<std::string> multi_value(Key* key, const char* name) {
  std::vector<std::string> out;
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_MULTI_SZ) return out;
  std::string item;
  for (std::uint8_t byte : value->data) {
    if (byte != 0) {
      item.push_back(static_cast<char>(byte));
    } else if (!item.empty()) {
      out.push_back(item);
      item.clear();
    }
  }
  if (!item.empty()) out.push_back(item);
  return out;
}

// Windows opens CurrentControlSet as the control set that Select\Current names.  The simulated
// registry has no links: that control set is renamed CurrentControlSet (the program only ever
// opens it by that name; a copy would double the largest part of the export and leave two
// versions to drift apart).  The other control sets (the last known good one) stay as they are.
bool settle_control_set(Key* hklm, std::string* mapped, std::string* error) {
  Key* system = hklm->find_subkey("SYSTEM");
  if (system == nullptr) {
    *error = "no HKEY_LOCAL_MACHINE\\SYSTEM in the exports (reg export HKLM\\SYSTEM system.reg writes it)";
    return false;
  }
  if (system->find_subkey("CurrentControlSet") != nullptr) return true;
  DWORD current = 0;
  if (!dword_value(find_key(system, "Select"), "Current", &current)) {
    *error = "the export has neither SYSTEM\\CurrentControlSet nor SYSTEM\\Select with a Current value";
    return false;
  }
  char name[32];
  std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(current));
  Key* set = system->detach(name);
  if (set == nullptr) {
    *error =
        std::string("SYSTEM\\Select names ") + name + " as the current control set, which the export lacks";
    return false;
  }
  *mapped = set->name;
  set->rename("CurrentControlSet");
  system->adopt(set);
  return true;
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

// "C:\A\b" as a path below the machine directory (drive_c/A/b); "" for other paths.  A
// Windows path names one folder whatever its case: an entry already there is taken as it is
// spelt ("C:\WINDOWS\temp" is drive_c/WINDOWS/Temp once Temp exists).
std::filesystem::path host_of(const std::string& dir, const std::string& windows_path) {
  if (windows_path.size() < 2 || windows_path[1] != ':' ||
      !std::isalpha(static_cast<unsigned char>(windows_path[0])))
    return {};
  std::filesystem::path host = std::filesystem::path(dir) / ("drive_" + lower(windows_path.substr(0, 1)));
  for (const std::string& part : split_path(windows_path.substr(2))) {
    std::string name = part;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(host, ignored)) {
      if (iequals(entry.path().filename().string(), part)) {
        name = entry.path().filename().string();
        break;
      }
    }
    host /= name;
  }
  return host;
}

void make_folder(const std::string& dir, const std::string& windows_path) {
  std::filesystem::path host = host_of(dir, windows_path);
  std::error_code ignored;
  if (!host.empty()) std::filesystem::create_directories(host, ignored);
}

// A file the administrator has not put there already.
void put_file(const std::string& dir, const std::string& windows_path, const std::string& content) {
  std::filesystem::path host = host_of(dir, windows_path);
  std::error_code ignored;
  if (host.empty() || std::filesystem::exists(host, ignored)) return;
  std::filesystem::create_directories(host.parent_path(), ignored);
  std::ofstream(host, std::ios::binary) << content;
}

struct PciNode {
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::string service;
};

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

std::string join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
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

struct ClassInstance {
  std::string guid;
  std::string class_name;
  std::string instance;
  std::string inf_path;
  std::string inf_section;
  std::string matching_id;
  std::string description;
  std::string provider;
};

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

// A stand-in for an oemN.inf that the class keys name: the INF itself is not in any export, but
// what the class keys say of it (class, section, the device IDs it matched) is what an INF of
// that driver names, so the program finds in it what it would find in the real one.  Windows
// records the matched ID in lower case; INF files name hardware IDs in upper case.
std::string stand_in_inf(const std::string& name, const std::vector<const ClassInstance*>& uses) {
  const ClassInstance& first = *uses.front();
  std::string text = "; " + name +
                     ": stand-in written by halvik-sim import from what the class keys record of it\r\n"
                     "\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" +
                     first.class_name + "\r\nClassGUID=" + first.guid +
                     "\r\nProvider=%Provider%\r\n\r\n[Manufacturer]\r\n%Provider%=Models\r\n\r\n[Models]\r\n";
  std::set<std::string> seen;
  for (std::size_t i = 0; i < uses.size(); ++i) {
    if (uses[i]->matching_id.empty() || !seen.insert(upper(uses[i]->matching_id)).second) continue;
    text += "%Device" + std::to_string(i) + "%=" + uses[i]->inf_section + "," + upper(uses[i]->matching_id) +
            "\r\n";
  }
  text += "\r\n[Strings]\r\nProvider=\"" + first.provider + "\"\r\n";
  seen.clear();
  for (std::size_t i = 0; i < uses.size(); ++i) {
    if (uses[i]->matching_id.empty() || !seen.insert(upper(uses[i]->matching_id)).second) continue;
    text += "Device" + std::to_string(i) + "=\"" + uses[i]->description + "\"\r\n";
  }
  return text;
}

std::size_t count_keys(const Key& key) {
  std::size_t count = 1;
  for (Key* child : key.subkeys) count += count_keys(*child);
  return count;
}

// Why an export is cut short (a fetch or copy that stopped early), "" when it ends as an export
// ends.  The parser would take such a file up to where it stops and leave out everything
// after: a machine without its Services key, say, that isn't the real one.  reg export writes
// UTF-16 and ends with an empty line; any export ends with a line end after a complete line.
// How many lines an export has: its line ends, plus one.  Read a piece at a time.
std::size_t count_lines(int fd, bool wide) {
  std::size_t lines = 1;
  std::vector<char> piece(std::size_t{1} << 20);
  off_t offset = 0;
  while (true) {
    ssize_t n = ::pread(fd, piece.data(), piece.size(), offset);
    if (n <= 0) return lines;
    // A piece is an even number of bytes from an even offset: a UTF-16 unit never straddles two.
    for (ssize_t i = 0; i + (wide ? 1 : 0) < n; i += wide ? 2 : 1) {
      if (piece[static_cast<std::size_t>(i)] == '\n' &&
          (!wide || piece[static_cast<std::size_t>(i) + 1] == '\0'))
        ++lines;
    }
    offset += n;
  }
}

// Why the export open as `fd`, of `size` bytes, is cut short; "" when it ends as reg export
// ends a file.  Only its end is read, and all of it only to say on which line a cut file ends.
std::string where_export_is_cut(int fd, std::size_t size) {
  unsigned char mark[2] = {0, 0};
  bool wide = size >= 2 && ::pread(fd, mark, 2, 0) == 2 && mark[0] == 0xFF && mark[1] == 0xFE;
  std::size_t unit = wide ? 2 : 1;
  auto at = [&] {
    return "at byte " + std::to_string(size) + " (line " + std::to_string(count_lines(fd, wide)) + ")";
  };
  if (wide && size % 2 != 0) return "it ends inside a character, " + at();
  // The tail as text: ASCII is all the checks need.
  std::size_t from = size > 8192 * unit ? size - 8192 * unit : (wide ? 2 : 0);
  std::string bytes(size - from, '\0');
  if (::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(from)) != static_cast<ssize_t>(bytes.size()))
    return "it could not be read to its end, " + at();
  std::string tail;
  for (std::size_t i = 0; i + unit <= bytes.size(); i += unit) {
    bool ascii = !wide || bytes[i + 1] == '\0';
    tail += ascii ? bytes[i] : '?';
  }
  if (tail.empty() || tail.back() != '\n') return "its last line has no end, " + at();
  if (wide && (tail.size() < 4 || tail.compare(tail.size() - 4, 4, "\r\n\r\n") != 0))
    return "it lacks the empty line reg export ends with, " + at();
  std::size_t end = tail.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  std::size_t start = tail.find_last_of('\n', end);
  std::string last = tail.substr(start == std::string::npos ? 0 : start + 1,
                                 end + 1 - (start == std::string::npos ? 0 : start + 1));
  if (last.back() == '\\') return "its last value goes on past the end, " + at();
  bool quoted = false;
  for (std::size_t i = 0; i < last.size(); ++i) {
    if (last[i] == '\\' && quoted) {
      ++i;
    } else if (last[i] == '"') {
      quoted = !quoted;
    }
  }
  if (quoted) return "its last line ends inside a string, " + at();
  return "";
}

}  // namespace

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

HostFacts host_facts(Key* hklm, const std::string& processor, std::size_t boards) {
  HostFacts facts;
  Key* version = find_key(hklm, kCurrentVersion);
  facts.windows = string_value(version, "ProductName");
  if (facts.windows.empty()) facts.windows = "Windows";
  std::string service_pack = string_value(version, "CSDVersion");
  if (!service_pack.empty()) facts.windows += " " + service_pack;
  facts.processor = processor.empty() ? "x86" : processor;
  facts.boards = std::to_string(boards);
  facts.was = string_value(find_key(hklm, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\halvik"),
                           "DisplayVersion");
  if (facts.was.empty())
    facts.was =
        find_key(hklm, std::string(kServices) + "\\halvik") != nullptr ? "earlier (not listed)" : "none";
  DWORD pages = 0;
  facts.pages = dword_value(find_key(hklm, kMemory), "SystemPages", &pages) ? std::to_string(pages) : "none";
  return facts;
}

int command_import(const std::vector<std::string>& args, HostFacts* facts) {
  std::string dir;
  std::string present_file;
  std::vector<std::string> exports;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--present") {
      if (i + 1 >= args.size()) return -1;
      present_file = args[++i];
    } else if (dir.empty()) {
      dir = args[i];
    } else {
      exports.push_back(args[i]);
    }
  }
  if (dir.empty() || exports.empty()) return -1;

  std::error_code fs_error;
  for (const char* file : {"registry.reg", "machine.ini"}) {
    if (std::filesystem::exists(std::filesystem::path(dir) / file, fs_error))
      return trouble(dir + " already holds a machine (" + file + ")");
  }

  // ---- the registry ----
  Machine imported;
  imported.dir = dir;
  for (const std::string& path : exports) {
    // Read a piece at a time: the export is never held whole beside its keys.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      if (fd >= 0) ::close(fd);
      return trouble("cannot read " + path);
    }
    // UTF-16 without its byte-order mark (a copy that dropped it, a tool that never wrote it)
    // has a zero byte beside each ASCII one: read as UTF-8 it would only seem cut short.
    unsigned char start[2] = {0xFF, 0xFF};
    if (::pread(fd, start, 2, 0) == 2 && start[0] != 0 && start[1] == 0) {
      ::close(fd);
      return trouble(path + ":1: not a registry export: UTF-16 without the byte-order mark reg export writes");
    }
    std::string cut = where_export_is_cut(fd, static_cast<std::size_t>(status.st_size));
    KeyPtr root;
    std::string error;
    bool parsed = cut.empty() && parse_reg_fd(fd, path, &root, &error);
    ::close(fd);
    if (!cut.empty()) return trouble(path + " is cut short: " + cut);
    if (!parsed) return trouble(error);
    if (imported.hklm == nullptr) {
      imported.hklm = std::move(root);
    } else {
      merge_tree(imported.hklm.get(), root.get());
    }
  }
  Key* hklm = imported.hklm.get();
  // Programs and Features' key, which every Windows has but an export of less than SOFTWARE
  // lacks; the installation registers itself there.
  create_key(hklm, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
  std::string mapped_control_set;
  std::string error;
  if (!settle_control_set(hklm, &mapped_control_set, &error)) return trouble(error);
  Key* version_key = find_key(hklm, kCurrentVersion);
  if (version_key == nullptr) {
    return trouble(std::string("no HKEY_LOCAL_MACHINE\\") + kCurrentVersion +
                   " in the exports (reg export HKLM\\SOFTWARE software.reg writes it)");
  }

  // ---- the system: version, processor, system root ----
  Ini& ini = imported.ini;
  std::string version;
  DWORD major = 0;
  DWORD minor = 0;
  // Windows 10 and later keep "6.3" in CurrentVersion for old programs; the numbers are real.
  if (dword_value(version_key, "CurrentMajorVersionNumber", &major) &&
      dword_value(version_key, "CurrentMinorVersionNumber", &minor)) {
    version = std::to_string(major) + "." + std::to_string(minor);
  } else {
    version = string_value(version_key, "CurrentVersion");
  }
  std::string build = string_value(version_key, "CurrentBuildNumber");
  if (build.empty()) build = string_value(version_key, "CurrentBuild");
  std::string csd = string_value(version_key, "CSDVersion");
  std::string service_pack = "0";
  if (csd.rfind("Service Pack ", 0) == 0) service_pack = trim(csd.substr(13));
  if (version.empty() || build.empty()) {
    return trouble(std::string("HKEY_LOCAL_MACHINE\\") + kCurrentVersion +
                   " gives no CurrentVersion or no CurrentBuildNumber");
  }
  Key* environment_key = find_key(hklm, kEnvironment);
  std::string processor = string_value(environment_key, "PROCESSOR_ARCHITECTURE");
  bool root_found = false;
  std::string system_root = string_value(version_key, "SystemRoot", &root_found);
  ini.set("system", "platform", "2");
  ini.set("system", "version", version);
  ini.set("system", "build", build);
  ini.set("system", "service_pack", service_pack);
  ini.set("system", "processor", processor.empty() ? "x86 ; not in the export: assumed" : processor);
  ini.set("system", "reboot_requested", "0 ; not in the export: assumed no restart pending");
  ini.set("process", "current_directory",
          std::string(kPackageDir) + "\\install ; not in the export: where the package is unpacked");

  // ---- the environment: the system's variables, expanded as the session manager does ----
  if (!root_found) system_root = "C:\\WINDOWS";
  std::map<std::string, std::string> names;  // upper-case name -> value
  std::vector<std::pair<std::string, std::string>> environment;
  auto define = [&](const std::string& name, const std::string& value) {
    names[upper(name)] = value;
    for (auto& entry : environment) {
      if (iequals(entry.first, name)) {
        entry.second = value;
        return;
      }
    }
    environment.emplace_back(name, value);
  };
  define("SystemRoot", system_root);
  define("SystemDrive", system_root.substr(0, 2));
  // The Program Files folder as the system records it, which every Windows has but an export of
  // less than SOFTWARE lacks; the installation's Programs and Features folder goes there.
  Key* current_version = create_key(hklm, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
  if (current_version->find_value("ProgramFilesDir") == nullptr) {
    std::string folder = system_root.substr(0, 2) + "\\Program Files";
    std::vector<std::uint8_t> data(folder.begin(), folder.end());
    data.push_back(0);
    current_version->set_value("ProgramFilesDir", port::REG_SZ, data);
  }
  // Set by the shell, not the session manager; a 32-bit program on AMD64 gets the (x86) folder.
  define("ProgramFiles",
         system_root.substr(0, 2) + "\\Program Files" + (iequals(processor, "AMD64") ? " (x86)" : ""));
  std::string computer =
      string_value(find_key(hklm, std::string(kControl) + "\\ComputerName\\ComputerName"), "ComputerName");
  if (!computer.empty()) define("COMPUTERNAME", computer);
  if (environment_key != nullptr) {
    for (const Value& value : environment_key->values) {
      if (value.type == port::REG_SZ)
        define(std::string(value.name), string_value(environment_key, std::string(value.name).c_str()));
    }
    for (const Value& value : environment_key->values) {
      if (value.type == port::REG_EXPAND_SZ)
        define(std::string(value.name),
               expand(string_value(environment_key, std::string(value.name).c_str()), names));
    }
  }
  if (iequals(processor, "AMD64")) {
    // The installer is a 32-bit program: its own environment is that of WOW64.
    define("PROCESSOR_ARCHITECTURE", "x86");
    define("PROCESSOR_ARCHITEW6432", "AMD64");
  }
  for (const auto& [name, value] : environment) ini.set("environment", name, value);

  // ---- the boards present ----
  std::vector<PciNode> nodes = pci_nodes(hklm);
  std::vector<const PciNode*> present;
  if (present_file.empty()) {
    for (const PciNode& node : nodes) present.push_back(&node);
  } else {
    std::vector<std::string> ids;
    if (!read_present(present_file, &ids, &error)) return trouble(error);
    for (const std::string& id : ids) {
      const PciNode* match = nullptr;
      for (const PciNode& node : nodes) {
        if (iequals(node.instance_id, id)) match = &node;
      }
      if (match == nullptr) return trouble(present_file + ": " + id + " is no PCI device node of the export");
      present.push_back(match);
    }
  }
  for (const PciNode* node : present) {
    std::string value = join(node->hardware_ids, ",");
    if (!node->compatible_ids.empty()) value += " ; compatible = " + join(node->compatible_ids, ",");
    ini.set("hardware", node->instance_id, value);
  }

  // ---- services: running or not is no part of any export ----
  std::set<std::string> started;
  for (const PciNode* node : present) {
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
        ini.set("services", std::string(service->name),
                "running ; not in the export: assumed from Start = " + std::to_string(start));
      } else if (started.count(upper(service->name)) != 0) {
        ini.set("services", std::string(service->name),
                "running ; not in the export: assumed, a present device uses it");
      }
    }
  }
  ini.set("trace", "enabled", "0");
  ini.set("import", "sources", join(exports, " "));
  if (!mapped_control_set.empty()) {
    ini.set("import", "current_control_set",
            mapped_control_set + " ; the export's current control set, renamed CurrentControlSet");
  }

  // ---- the drives: the folders the program uses, the registered INF files as stand-ins ----
  std::filesystem::create_directories(dir, fs_error);
  if (fs_error) return trouble("cannot create " + dir + ": " + fs_error.message());
  bool wow64 = iequals(processor, "AMD64");
  for (const std::string& folder :
       {system_root + "\\inf", system_root + "\\system32\\drivers", system_root + "\\Temp",
        std::string(kPackageDir) + "\\install", names["PROGRAMFILES"]})
    make_folder(dir, folder);
  put_file(dir, std::string(kPackageDir) + "\\install\\install.exe",
           "MZ install (stand-in: the native program runs)\n");
  if (wow64) make_folder(dir, system_root + "\\SysWOW64\\drivers");
  for (const std::string& folder :
       local_system_temp_folders(static_cast<int>(std::strtol(version.c_str(), nullptr, 10)), wow64))
    make_folder(dir, system_root + "\\" + folder);
  // Windows Vista and later keep their driver store there.
  if (std::strtoul(version.c_str(), nullptr, 10) >= 6)
    make_folder(dir, system_root + "\\System32\\DriverStore\\FileRepository");
  // Every service's image, so that those the export records as started start again at the
  // restart (a driver without ImagePath is System32\drivers\NAME.sys).  A stand-in: no export
  // holds the file.
  if (Key* services = find_key(hklm, kServices)) {
    for (Key* service : services->subkeys) {
      DWORD type = 0;
      if (!dword_value(service, "Type", &type)) continue;
      std::string image = string_value(service, "ImagePath");
      if (image.empty() && (type & 0x3) != 0)
        image = "System32\\drivers\\" + std::string(service->name) + ".sys";
      if (image.empty()) continue;
      put_file(dir, image_file_of(expand(image, names), system_root),
               "MZ stand-in image of the service " + std::string(service->name) +
                   " (written by halvik-sim import)\n");
    }
  }
  for (const char* name : {"TEMP", "TMP"}) {
    auto found = names.find(name);
    if (found != names.end()) make_folder(dir, found->second);
  }
  const std::string package = std::string(kPackageDir) + "\\pnp\\";
  put_file(dir, package + "morvellan.inf", package_inf_text());
  for (const std::string platform : {"x86", "amd64"}) {
    put_file(dir, package + "halvik_" + platform + ".sys", "MZ halvik kernel driver (" + platform + ")\n");
    put_file(dir, package + "tsrgBdevco_" + platform + ".dll",
             "MZ Morvellan co-installer (" + platform + ")\n");
    put_file(dir, package + "tsrgBdevpp_" + platform + ".dll",
             "MZ Morvellan property pages (" + platform + ")\n");
  }
  if (wow64) {
    put_file(dir, std::string(kPackageDir) + "\\install\\installx64.exe",
             "MZ installx64 (stand-in: the native counterpart runs)\n");
  }
  std::vector<ClassInstance> instances = class_instances(hklm);
  std::map<std::string, std::vector<const ClassInstance*>> infs;  // upper-case name -> instances
  for (const ClassInstance& instance : instances) {
    std::string name = upper(instance.inf_path);
    if (name.rfind("OEM", 0) == 0 && name.size() > 7 && name.substr(name.size() - 4) == ".INF")
      infs[name].push_back(&instance);
  }
  for (const auto& [upper_name, uses] : infs) {
    const std::string& name = uses.front()->inf_path;
    put_file(dir, system_root + "\\inf\\" + name, stand_in_inf(name, uses));
    put_file(dir, system_root + "\\inf\\" + name.substr(0, name.size() - 4) + ".PNF",
             std::string("PNF\x01\x01\x02\x03 ", 8) + name + " precompiled (stand-in)");
  }

  if (!write_machine(imported, &error)) return trouble(error);

  // ---- the summary ----
  std::printf("Imported %s: %zu keys from %s.\n", dir.c_str(), count_keys(*hklm),
              join(exports, ", ").c_str());
  std::printf("Windows %s build %s%s, %s, SystemRoot %s.\n", version.c_str(), build.c_str(),
              service_pack == "0" ? "" : (" Service Pack " + service_pack).c_str(),
              processor.empty() ? "processor unknown (x86 assumed)" : processor.c_str(), system_root.c_str());
  if (!mapped_control_set.empty())
    std::printf("CurrentControlSet is the export's %s.\n", mapped_control_set.c_str());
  std::vector<std::string> boards;
  for (const PciNode* node : present) {
    if (is_supported(node->hardware_ids)) boards.push_back(node->instance_id);
  }
  std::printf("Supported boards present: %zu (of %zu PCI devices present).\n", boards.size(), present.size());
  if (facts != nullptr) *facts = host_facts(hklm, processor, boards.size());
  for (const std::string& board : boards) std::printf("  %s\n", board.c_str());
  std::vector<std::string> earlier;
  if (Key* service = find_key(hklm, std::string(kServices) + "\\halvik")) {
    DWORD start = 0;
    std::string start_text = dword_value(service, "Start", &start) ? ", Start " + std::to_string(start) : "";
    earlier.push_back("service halvik" + start_text);
  }
  for (const ClassInstance& instance : instances) {
    if (is_supported({instance.matching_id})) {
      earlier.push_back("class " + instance.guid + " (" + instance.class_name + ") " + instance.instance +
                        ": " + instance.inf_path);
    }
  }
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
  return 0;
}

}  // namespace halvik_sim
