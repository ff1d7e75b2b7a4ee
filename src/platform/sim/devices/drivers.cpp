// Driver installation on the simulated machine: an INF's driver planned and checked before
// anything changes, then its class, files, services and device keys; UpdateDriverForPlugAndPlay-
// Devices' work and re-enumeration.  The driver store is driver_store.cpp.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/sim/devices/detail.h"
#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"

namespace sim::devices {

using internal::iequals;
using internal::lower;
using internal::trim;
using internal::upper;

// ---- drivers -------------------------------------------------------------------------------
namespace {

// Everything a driver installation needs, gathered and checked before anything changes.
struct DriverPlan {
  inf::Inf inf;
  inf::Model model;
  std::string matching_id;
  std::string install_section;  // decorated, as found
  std::string class_guid;
  std::string class_name;
  std::string inf_name;    // as registered in the store (oemN.inf)
  std::string source_dir;  // where the package's files are
  std::vector<FileCopy> copies;
};

std::string dirid_path(DWORD dirid, const std::string& source_dir) {
  switch (dirid) {
    case 1:
      return source_dir;
    case 10:
      return windows_dir();
    case 11:
      return windows_dir() + "\\system32";
    case 12:
      return windows_dir() + "\\system32\\drivers";
    case 17:
      return inf_dir();
    default:
      return "";
  }
}

// %10%, %11%, %12%, %17% and %01% in a value.
std::string expand_dirids(const std::string& text, const std::string& source_dir) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      std::size_t close = text.find('%', i + 1);
      if (close != std::string::npos) {
        std::string number = text.substr(i + 1, close - i - 1);
        bool digits = !number.empty() &&
                      std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
        std::string path = digits ? dirid_path(parse_number(number), source_dir) : "";
        if (!path.empty()) {
          out += path;
          i = close;
          continue;
        }
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string join_path(const std::string& a, const std::string& b) {
  std::string tail = b;
  while (!tail.empty() && (tail.front() == '\\' || tail.front() == '/')) tail.erase(0, 1);
  while (!tail.empty() && (tail.back() == '\\' || tail.back() == '/')) tail.pop_back();
  if (tail.empty()) return a;
  return a + "\\" + tail;
}

std::string destination_dir(const inf::Inf& inf, const std::string& section, const std::string& source_dir) {
  const inf::Section* dirs = inf.section("DestinationDirs");
  const inf::Line* chosen = nullptr;
  const inf::Line* fallback = nullptr;
  if (dirs != nullptr) {
    for (const inf::Line& line : dirs->lines) {
      if (line.has_key && inf::equal_ignoring_case(line.key, section)) chosen = &line;
      if (line.has_key && inf::equal_ignoring_case(line.key, "DefaultDestDir")) fallback = &line;
    }
  }
  if (chosen == nullptr) chosen = fallback;
  // Without any entry Windows copies to system32 (11).
  if (chosen == nullptr || chosen->fields.empty()) return dirid_path(11, source_dir);
  std::string dir = dirid_path(parse_number(chosen->fields[0]), source_dir);
  if (dir.empty()) return "";
  return chosen->fields.size() > 1 ? join_path(dir, chosen->fields[1]) : dir;
}

// The platform's entry of a decorated section ([SourceDisksFiles.amd64]) or the plain one.
const inf::Line* find_platform_line(const inf::Inf& inf, const std::string& section, const std::string& key) {
  for (const std::string& name : {section + "." + platform(), section}) {
    const inf::Section* found = inf.section(name);
    if (found == nullptr) continue;
    for (const inf::Line& line : found->lines) {
      if (line.has_key && inf::equal_ignoring_case(line.key, key)) return &line;
    }
  }
  return nullptr;
}

}  // namespace

std::string source_file(const inf::Inf& inf, const std::string& name, const std::string& inf_dir_path) {
  const inf::Line* file = find_platform_line(inf, "SourceDisksFiles", name);
  if (file == nullptr || file->fields.empty()) return join_path(inf_dir_path, name);
  std::string dir = inf_dir_path;
  const inf::Line* disk = find_platform_line(inf, "SourceDisksNames", file->fields[0]);
  if (disk != nullptr && disk->fields.size() > 3) dir = join_path(dir, disk->fields[3]);
  if (file->fields.size() > 1) dir = join_path(dir, file->fields[1]);
  return join_path(dir, name);
}

bool file_present(const std::string& windows_path) {
  std::string path = host(windows_path);
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error);
}

namespace {

// The files that CopyFiles names in one install section.
DWORD plan_copies(const inf::Inf& inf, const std::string& section, const std::string& source_dir,
                  std::vector<FileCopy>* copies) {
  for (const std::string& entry : inf.list_values(section, "CopyFiles")) {
    std::vector<std::pair<std::string, std::string>> files;  // destination name, source name
    std::string dir;
    if (entry.front() == '@') {
      files.emplace_back(entry.substr(1), entry.substr(1));
      dir = destination_dir(inf, "", source_dir);
    } else {
      const inf::Section* list = inf.section(entry);
      if (list == nullptr) return 0xE0000101;  // ERROR_SECTION_NOT_FOUND
      for (const inf::Line& line : list->lines) {
        std::string destination = line.has_key ? line.key : (line.fields.empty() ? "" : line.fields[0]);
        if (destination.empty()) continue;
        std::size_t source_field = line.has_key ? 0 : 1;
        std::string source = line.fields.size() > source_field && !line.fields[source_field].empty()
                                 ? line.fields[source_field]
                                 : destination;
        files.emplace_back(destination, source);
      }
      dir = destination_dir(inf, entry, source_dir);
    }
    if (dir.empty()) return port::ERROR_INVALID_PARAMETER;
    for (const auto& [destination, source] : files) {
      FileCopy copy{source_file(inf, source, source_dir), dir + "\\" + destination};
      if (!file_present(copy.source)) return port::ERROR_FILE_NOT_FOUND;
      copies->push_back(copy);
    }
  }
  return port::ERROR_SUCCESS;
}

// AddReg lines: root, subkey, value name, flags, value...; HKR is `relative_root`.
void apply_add_reg(const inf::Inf& inf, const std::string& section, const std::string& relative_root,
                   const std::string& source_dir) {
  for (const std::string& add_reg : inf.list_values(section, "AddReg")) {
    const inf::Section* lines = inf.section(add_reg);
    if (lines == nullptr) continue;
    for (const inf::Line& line : lines->lines) {
      std::vector<std::string> fields = line.fields;
      if (line.has_key) fields.insert(fields.begin(), line.key);
      if (fields.empty()) continue;
      std::string root;
      if (inf::equal_ignoring_case(fields[0], "HKR")) {
        root = relative_root;
      } else if (!inf::equal_ignoring_case(fields[0], "HKLM")) {
        continue;  // other roots do not exist in the simulated registry
      }
      std::string path = fields.size() > 1 && !fields[1].empty()
                             ? (root.empty() ? fields[1] : root + "\\" + fields[1])
                             : root;
      Key* key = create_key_at(path);
      if (fields.size() < 3) continue;
      std::string name = fields[2];
      DWORD flags = fields.size() > 3 ? parse_number(fields[3]) : 0;
      if ((flags & 0x10) != 0) continue;                                     // FLG_ADDREG_KEYONLY
      if ((flags & 0x2) != 0 && key->find_value(name) != nullptr) continue;  // FLG_ADDREG_NOCLOBBER
      std::vector<std::string> data(fields.begin() + std::min<std::size_t>(4, fields.size()), fields.end());
      DWORD type_bits = flags & 0xFFFF0001;
      if (type_bits == 0x00010001) {
        set_dword(key, name, data.empty() ? 0 : parse_number(data[0]));
      } else if (type_bits == 0x00010000) {
        key->set_value(name, port::REG_MULTI_SZ, multi_sz_bytes(data));
        internal::registry_changed();
      } else if (type_bits == 0x00020000) {
        set_sz(key, name, data.empty() ? "" : expand_dirids(data[0], source_dir), port::REG_EXPAND_SZ);
      } else if (type_bits == 0x00000001) {
        std::vector<std::uint8_t> bytes;
        for (const std::string& byte : data)
          bytes.push_back(static_cast<std::uint8_t>(std::strtoul(byte.c_str(), nullptr, 16)));
        key->set_value(name, port::REG_BINARY, bytes);
        internal::registry_changed();
      } else {
        set_sz(key, name, data.empty() ? "" : data[0]);
      }
    }
  }
}

// Chooses the INF's driver for a node: its first hardware ID (then compatible ID) that some
// model of the platform lists.
bool select_model(const inf::Inf& inf, const std::string& instance_id, inf::Model* model,
                  std::string* matching_id) {
  std::vector<std::string> ids = node_ids_value(instance_id, "HardwareID");
  for (const std::string& id : node_ids_value(instance_id, "CompatibleIDs")) ids.push_back(id);
  std::vector<inf::Model> offered = inf::models(inf, platform());
  for (const std::string& id : ids) {
    for (const inf::Model& candidate : offered) {
      for (const std::string& model_id : candidate.ids) {
        if (inf::equal_ignoring_case(model_id, id)) {
          *model = candidate;
          *matching_id = id;
          return true;
        }
      }
    }
  }
  return false;
}

DWORD plan_driver(const inf::Inf& inf, const inf::Model& model, const std::string& source_dir,
                  DriverPlan* plan) {
  plan->inf = inf;
  plan->model = model;
  plan->source_dir = source_dir;
  plan->class_guid = inf::class_guid(inf);
  plan->class_name = inf::class_name(inf);
  port::GUID guid{};
  if (!parse_guid(plan->class_guid, &guid)) return 0xE0000206;  // ERROR_INVALID_CLASS
  plan->class_guid = format_guid(guid);
  plan->install_section = inf::choose_install_section(inf, model.install_section, platform());
  if (plan->install_section.empty()) return 0xE0000101;  // ERROR_SECTION_NOT_FOUND
  DWORD error = plan_copies(inf, plan->install_section, source_dir, &plan->copies);
  if (error == port::ERROR_SUCCESS) {
    error = plan_copies(inf, plan->install_section + ".CoInstallers", source_dir, &plan->copies);
  }
  return error;
}

void install_class(const DriverPlan& plan) {
  std::string class_path = std::string(kClassKey) + "\\" + plan.class_guid;
  Key* key = key_at(class_path);
  if (key != nullptr && key->find_value("Class") != nullptr) return;  // installed already
  key = create_key_at(class_path);
  std::string section = inf::choose_install_section(plan.inf, "ClassInstall32", platform());
  if (!section.empty()) apply_add_reg(plan.inf, section, class_path, plan.source_dir);
  set_sz(key, "Class", plan.class_name);
}

}  // namespace

bool copy_file(const FileCopy& copy) {
  std::string bytes;
  if (!read_windows_file(copy.source, &bytes)) return false;
  // Every board of a package gets its files copied; a copy already in place is left as it is
  // rather than written again for each of them.
  std::string present;
  if (read_windows_file(copy.destination, &present) && present == bytes) return true;
  return write_windows_file(copy.destination, bytes);
}

namespace {

// The numbers of driver keys (Class\{GUID}\NNNN) for one pass of installations: each class's
// taken numbers are read once, then each driver gets the lowest free one.  Nothing deletes
// driver keys during a pass.
class DriverNumbers {
 public:
  // "" when all 10,000 are taken.
  std::string next(const std::string& class_guid) {
    auto [found, added] = classes_.try_emplace(upper(class_guid));
    Taken& taken = found->second;
    if (added) {
      taken.numbers.assign(10000, false);
      if (Key* class_key = key_at(std::string(kClassKey) + "\\" + class_guid)) {
        for (Key* key : class_key->subkeys) {
          std::string_view name = key->name;
          if (name.size() == 4 &&
              std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            taken.numbers[static_cast<std::size_t>(std::stoi(std::string(name)))] = true;
        }
      }
    }
    while (taken.lowest < taken.numbers.size() && taken.numbers[taken.lowest]) ++taken.lowest;
    if (taken.lowest == taken.numbers.size()) return "";
    taken.numbers[taken.lowest] = true;
    std::string number = std::to_string(taken.lowest);
    return class_guid + "\\" + std::string(4 - number.size(), '0') + number;
  }

 private:
  struct Taken {
    std::vector<bool> numbers;
    std::size_t lowest = 0;  // every number below is taken
  };
  std::unordered_map<std::string, Taken> classes_;
};

std::string driver_key_for(const std::string& instance_id, const std::string& class_guid,
                           DriverNumbers* numbers) {
  std::string driver = node_string(instance_id, "Driver");
  std::vector<std::string> parts = internal::split_path(driver);
  if (parts.size() == 2 && iequals(parts[0], class_guid)) return parts[0] + "\\" + parts[1];
  return numbers->next(class_guid);
}

// The services the installation adds (AddService names), as the service manager must take them.
std::vector<std::string> added_services(const DriverPlan& plan) {
  std::vector<std::string> names;
  const inf::Section* services = plan.inf.section(plan.install_section + ".Services");
  if (services == nullptr) return names;
  for (const inf::Line& line : services->lines) {
    if (line.has_key && inf::equal_ignoring_case(line.key, "AddService") && !line.fields.empty()) {
      names.push_back(line.fields[0]);
    }
  }
  return names;
}

// The service manager refuses to create (or change) a service marked for deletion, and the
// installation fails with its error before anything is installed.
DWORD check_services(const DriverPlan& plan) {
  for (const std::string& name : added_services(plan)) {
    if (internal::service_marked_for_delete(name)) return port::ERROR_SERVICE_MARKED_FOR_DELETE;
  }
  return port::ERROR_SUCCESS;
}

void add_services(const DriverPlan& plan, bool start, std::string* function_service) {
  const inf::Section* services = plan.inf.section(plan.install_section + ".Services");
  if (services == nullptr) return;
  for (const inf::Line& line : services->lines) {
    if (!line.has_key || !inf::equal_ignoring_case(line.key, "AddService") || line.fields.empty()) continue;
    const std::string& name = line.fields[0];
    DWORD flags = line.fields.size() > 1 ? parse_number(line.fields[1]) : 0;
    std::string section = line.fields.size() > 2 ? line.fields[2] : "";
    // An existing service key keeps what it holds (the driver's Parameters among it).
    Key* key = create_key_at(std::string(internal::kServicesKey) + "\\" + name);
    auto number = [&](const char* entry, DWORD fallback) {
      return plan.inf.has_value(section, entry) ? parse_number(plan.inf.value(section, entry)) : fallback;
    };
    set_dword(key, "Type", number("ServiceType", 1));
    if (internal::create_service(name, number("ServiceType", 1)) == port::ERROR_SERVICE_EXISTS) {
      internal::set_service_type(name, number("ServiceType", 1));
    }
    set_dword(key, "Start", number("StartType", 3));
    set_dword(key, "ErrorControl", number("ErrorControl", 1));
    std::string binary = expand_dirids(plan.inf.value(section, "ServiceBinary"), plan.source_dir);
    std::string prefix = windows_dir() + "\\";
    if (binary.size() > prefix.size() && iequals(binary.substr(0, prefix.size()), prefix)) {
      binary = binary.substr(prefix.size());  // stored relative to the Windows directory
    }
    if (!binary.empty()) set_sz(key, "ImagePath", binary, port::REG_EXPAND_SZ);
    std::string display_name = plan.inf.value(section, "DisplayName");
    if (!display_name.empty()) set_sz(key, "DisplayName", display_name);
    std::string group = plan.inf.value(section, "LoadOrderGroup");
    if (!group.empty()) set_sz(key, "Group", group);
    if ((flags & 0x2) != 0) {  // SPSVCINST_ASSOCSERVICE: the device's function driver
      *function_service = name;
      if (start) internal::store_service_state(name, port::SERVICE_RUNNING);
    }
  }
}

void install_driver(const std::string& instance_id, const DriverPlan& plan, bool start,
                    DriverNumbers* numbers) {
  install_class(plan);
  for (const FileCopy& copy : plan.copies) copy_file(copy);
  std::string driver = driver_key_for(instance_id, plan.class_guid, numbers);
  std::string driver_path = std::string(kClassKey) + "\\" + driver;
  Key* key = create_key_at(driver_path);
  std::string provider = plan.inf.value("Version", "Provider");
  std::vector<std::string> driver_version = plan.inf.list_values("Version", "DriverVer");
  set_sz(key, "DriverDesc", plan.model.description);
  set_sz(key, "ProviderName", provider);
  if (!driver_version.empty()) set_sz(key, "DriverDate", driver_version[0]);
  if (driver_version.size() > 1) set_sz(key, "DriverVersion", driver_version[1]);
  set_sz(key, "InfPath", plan.inf_name);
  set_sz(key, "InfSection", plan.model.install_section);
  if (!iequals(plan.install_section, plan.model.install_section)) {
    set_sz(key, "InfSectionExt", plan.install_section.substr(plan.model.install_section.size()));
  }
  set_sz(key, "MatchingDeviceId", lower(plan.matching_id));
  apply_add_reg(plan.inf, plan.install_section, driver_path, plan.source_dir);
  apply_add_reg(plan.inf, plan.install_section + ".CoInstallers", driver_path, plan.source_dir);

  std::string service;
  add_services(plan, start, &service);
  Key* node = key_at(node_path(instance_id));
  set_sz(node, "Driver", driver);
  set_sz(node, "ClassGUID", plan.class_guid);
  set_sz(node, "Class", plan.class_name);
  set_sz(node, "DeviceDesc", plan.model.description);
  set_sz(node, "Mfg", plan.model.manufacturer);
  if (!service.empty()) set_sz(node, "Service", service);
}

}  // namespace

DWORD update_driver(const std::string& hardware_id, const std::string& inf_path, bool* restart,
                    bool* source_missing) {
  *restart = false;
  *source_missing = false;
  std::string full;
  std::string bytes;
  if (!internal::full_windows_path(inf_path, &full) || !read_windows_file(full, &bytes)) {
    return port::ERROR_FILE_NOT_FOUND;
  }
  inf::Inf parsed = inf::parse(bytes);
  std::vector<std::string> matching;
  for (const std::string& id : node_ids()) {
    if (!node_present(id)) continue;
    std::vector<std::string> ids = node_ids_value(id, "HardwareID");
    for (const std::string& compatible : node_ids_value(id, "CompatibleIDs")) ids.push_back(compatible);
    if (std::any_of(ids.begin(), ids.end(),
                    [&](const std::string& each) { return iequals(each, hardware_id); })) {
      matching.push_back(id);
    }
  }
  if (matching.empty()) return port::ERROR_NO_SUCH_DEVINST;

  std::vector<std::pair<std::string, DriverPlan>> plans;
  for (const std::string& id : matching) {
    inf::Model model;
    std::string matching_id;
    if (!select_model(parsed, id, &model, &matching_id)) continue;
    DriverPlan plan;
    DWORD error = plan_driver(parsed, model, directory_of(full), &plan);
    // Everything else the plan looks for was found before the package's files are.
    *source_missing = error == port::ERROR_FILE_NOT_FOUND;
    if (error != port::ERROR_SUCCESS) return error;
    plan.matching_id = matching_id;
    plans.emplace_back(id, plan);
  }
  // The INF offers no driver for any of the devices: not a better match than what they have.
  if (plans.empty()) return port::ERROR_NO_MORE_ITEMS;

  // From Vista on the package is staged in the driver store and its oemN.inf published before
  // any device is installed from it: a device installation that fails then (a service marked
  // for deletion) leaves the package staged.  Before Vista nothing is copied until it can be
  // installed.
  std::string oem_name;
  DWORD error = port::ERROR_SUCCESS;
  if (has_driver_store()) error = register_inf(full, &oem_name);
  for (const auto& [id, plan] : plans) {
    if (error == port::ERROR_SUCCESS) error = check_services(plan);
  }
  if (error == port::ERROR_SUCCESS && !has_driver_store()) error = register_inf(full, &oem_name);
  if (error != port::ERROR_SUCCESS) return error;
  *restart = restart_required();
  DriverNumbers numbers;
  for (auto& [id, plan] : plans) {
    plan.inf_name = oem_name;
    install_driver(id, plan, !*restart, &numbers);
  }
  return port::ERROR_SUCCESS;
}

void reenumerate() {
  for (const Board& board : read_boards()) create_board_node(board);
  // Drivers come from the driver store from Vista on, from the INF directory before.
  std::vector<std::string> store;
  if (has_driver_store()) {
    store = staged_infs();
  } else {
    for (const std::string& name : inf_file_names()) store.push_back(inf_dir() + "\\" + name);
  }
  std::vector<std::pair<std::string, inf::Inf>> parsed;  // read once per re-enumeration
  DriverNumbers numbers;
  for (const std::string& id : node_ids()) {
    if (!node_present(id) || !node_string(id, "Driver").empty()) continue;
    if (parsed.empty()) {
      for (const std::string& path : store) {
        std::string bytes;
        if (read_windows_file(path, &bytes)) parsed.emplace_back(path, inf::parse(bytes));
      }
    }
    for (const auto& [path, candidate] : parsed) {
      inf::Model model;
      std::string matching_id;
      if (!select_model(candidate, id, &model, &matching_id)) continue;
      std::string name = file_name_of(path);
      std::string source_dir = directory_of(path);
      if (has_driver_store()) {
        // A package taken from the store is registered in the INF directory again.
        if (register_inf(path, &name) != port::ERROR_SUCCESS) continue;
      } else {
        std::string pnf;
        source_dir = inf_dir();
        if (read_windows_file(inf_dir() + "\\" + base_name(name) + ".pnf", &pnf) &&
            !pnf_source_dir(pnf).empty()) {
          source_dir = pnf_source_dir(pnf);
        }
      }
      DriverPlan plan;
      if (plan_driver(candidate, model, source_dir, &plan) != port::ERROR_SUCCESS ||
          check_services(plan) != port::ERROR_SUCCESS)
        continue;  // no driver then
      plan.matching_id = matching_id;
      plan.inf_name = name;
      install_driver(id, plan, true, &numbers);
      break;
    }
  }
}

}  // namespace sim::devices
