// SetupAPI, the configuration manager and newdev on the simulated machine, and the module
// look-up that finds CMP_WaitNoPendingInstallEvents.  Each call is traced and can be made to
// fail from machine.ini [faults] like every other port call; the device work itself is in
// devices.cpp.  Device information lists are counted among the machine's open handles.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/port.h"
#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/sim.h"
#include "platform/sim/wow64/wow64.h"

namespace port {

namespace {

namespace devices = sim::devices;
using sim::internal::hex32;
using sim::internal::iequals;
using sim::internal::quote;

constexpr DWORD kErrorInvalidUserBuffer = 1784;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorSectionNotFound = 0xE0000101;
constexpr DWORD kErrorClassMismatch = 0xE0000201;
constexpr DWORD kErrorInvalidDevinstName = 0xE0000205;
constexpr DWORD kErrorInvalidClass = 0xE0000206;
constexpr DWORD kErrorDevinfoNotRegistered = 0xE0000208;
constexpr DWORD kErrorInvalidRegProperty = 0xE0000209;
constexpr DWORD kErrorInvalidMachineName = 0xE0000220;
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr CONFIGRET kCrInvalidPointer = 0x03;
constexpr CONFIGRET kCrInvalidDevnode = 0x05;
constexpr CONFIGRET kCrNoSuchDevnode = 0x0D;
constexpr CONFIGRET kCrBufferSmall = 0x1A;
constexpr CONFIGRET kCrInvalidMachineName = 0x2F;

constexpr DWORD kSpdrpDeviceDesc = 0x00;
constexpr DWORD kSpdrpService = 0x04;
constexpr DWORD kSpdrpClass = 0x07;
constexpr DWORD kSpdrpClassGuid = 0x08;
constexpr DWORD kSpdrpDriver = 0x09;
constexpr DWORD kSpdrpMfg = 0x0B;
constexpr DWORD kDibciNoInstallClass = 0x1;
constexpr DWORD kDibciNoDisplayClass = 0x2;

// The root of the device tree, as CM_Locate_DevNode_ExA names it without a device ID.
constexpr char kRootDevnode[] = "HTREE\\ROOT\\0";

// ---- tracing and faults ------------------------------------------------------------------

// Trace lines read "Call arguments -> result [what came back]", as for every other port call.
// A call that succeeds leaves the last error as it was: Windows documents no reset for SetupAPI
// and newdev, and a caller that reads it after a success reads whatever an earlier call left.
BOOL succeed(const std::string& call, const std::string& detail = "") {
  sim::internal::trace_line(call + " -> TRUE" + (detail.empty() ? "" : " " + detail));
  return TRUE;
}

BOOL fail(const std::string& call, DWORD error) {
  SetLastError(error);
  sim::internal::trace_line(call + " -> FALSE " + std::to_string(error));
  return FALSE;
}

// A configuration manager call reports through its result alone: the last error stays as it was.
CONFIGRET answer(const std::string& call, CONFIGRET result) {
  sim::internal::trace_line(call + " -> " + std::to_string(result));
  return result;
}

std::string guid_text(const GUID* guid) {
  return guid == nullptr ? "(null)" : devices::format_guid(*guid);
}

// ---- device information lists ------------------------------------------------------------

struct Element {
  std::string instance_id;
  std::string class_guid;            // "" when the node has none
  bool registered = false;           // has a device node
  std::vector<BYTE> hardware_ids;    // until registered
  std::vector<BYTE> compatible_ids;  // until registered
  bool remove_params = false;
};

struct DeviceList {
  std::string class_guid;  // "" when the list has no class
  std::vector<Element> elements;
  std::unordered_map<std::string, std::size_t> by_id;  // upper-cased instance ID -> element
};

std::set<DeviceList*>& lists() {
  static std::set<DeviceList*> live;
  return live;
}

DeviceList* list_of(HDEVINFO set) {
  auto* list = static_cast<DeviceList*>(set);
  return lists().count(list) != 0 ? list : nullptr;
}

HDEVINFO new_list(const std::string& class_guid) {
  auto* list = new DeviceList{class_guid, {}, {}};
  lists().insert(list);
  sim::internal::count_handle_opened();
  return list;
}

// Device instance handles (DevInst): one number per instance ID for the life of the process,
// the IDs in the order they were first handed out, and where each is in that order.
struct Devnodes {
  std::vector<std::string> ids{kRootDevnode};
  std::unordered_map<std::string, DEVINST> handles{{kRootDevnode, 1}};
};

Devnodes& devnodes() {
  static Devnodes table;
  return table;
}

DEVINST devinst_of(const std::string& any_case_id) {
  Devnodes& table = devnodes();
  auto [found, added] =
      table.handles.emplace(sim::internal::upper(any_case_id), static_cast<DEVINST>(table.ids.size() + 1));
  if (added) table.ids.push_back(found->first);
  return found->second;
}

const std::string* instance_of(DEVINST devinst) {
  const std::vector<std::string>& table = devnodes().ids;
  if (devinst == 0 || devinst > table.size()) return nullptr;
  return &table[devinst - 1];
}

void fill_data(const Element& element, std::size_t index, SP_DEVINFO_DATA* data) {
  data->ClassGuid = GUID{};
  if (!element.class_guid.empty()) devices::parse_guid(element.class_guid, &data->ClassGuid);
  data->DevInst = devinst_of(element.instance_id);
  data->Reserved = index + 1;
}

Element element_for_node(const std::string& stored_id) {
  Element element;
  element.instance_id = stored_id;
  element.registered = true;
  std::string guid = devices::node_string(stored_id, "ClassGUID");
  GUID parsed{};
  if (devices::parse_guid(guid, &parsed)) element.class_guid = devices::format_guid(parsed);
  return element;
}

std::size_t add_element(DeviceList* list, const Element& element) {
  auto [found, added] = list->by_id.emplace(sim::internal::upper(element.instance_id), list->elements.size());
  if (added) list->elements.push_back(element);
  return found->second;
}

// The element a SP_DEVINFO_DATA record names; sets the error when there is none.
Element* element_of(DeviceList* list, const SP_DEVINFO_DATA* data, DWORD* error) {
  if (data == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    *error = kErrorInvalidUserBuffer;
    return nullptr;
  }
  if (data->Reserved == 0 || data->Reserved > list->elements.size()) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return &list->elements[data->Reserved - 1];
}

bool local_machine(const char* machine_name) {
  return machine_name == nullptr || *machine_name == '\0';
}

const char* property_name(DWORD property) {
  switch (property) {
    case kSpdrpDeviceDesc:
      return "SPDRP_DEVICEDESC";
    case SPDRP_HARDWAREID:
      return "SPDRP_HARDWAREID";
    case SPDRP_COMPATIBLEIDS:
      return "SPDRP_COMPATIBLEIDS";
    case kSpdrpService:
      return "SPDRP_SERVICE";
    case kSpdrpClass:
      return "SPDRP_CLASS";
    case kSpdrpClassGuid:
      return "SPDRP_CLASSGUID";
    case kSpdrpDriver:
      return "SPDRP_DRIVER";
    case kSpdrpMfg:
      return "SPDRP_MFG";
    default:
      return nullptr;
  }
}

// The registry value behind a device property.
const char* property_value_name(DWORD property) {
  switch (property) {
    case kSpdrpDeviceDesc:
      return "DeviceDesc";
    case SPDRP_HARDWAREID:
      return "HardwareID";
    case SPDRP_COMPATIBLEIDS:
      return "CompatibleIDs";
    case kSpdrpService:
      return "Service";
    case kSpdrpClass:
      return "Class";
    case kSpdrpClassGuid:
      return "ClassGUID";
    case kSpdrpDriver:
      return "Driver";
    case kSpdrpMfg:
      return "Mfg";
    default:
      return nullptr;
  }
}

const char* dif_name(DWORD function) {
  switch (function) {
    case DIF_REMOVE:
      return "DIF_REMOVE";
    case DIF_REGISTERDEVICE:
      return "DIF_REGISTERDEVICE";
    default:
      return "DIF_OTHER";
  }
}

// Copies text and its NUL into a caller's buffer: the required size (with the NUL) always, the
// text only when it fits.
bool copy_out(const std::string& text, char* buffer, DWORD size, DWORD* required_size) {
  DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (required_size != nullptr) *required_size = needed;
  if (buffer == nullptr || size < needed) return false;
  std::memcpy(buffer, text.c_str(), needed);
  return true;
}

}  // namespace

// ---- classes ---------------------------------------------------------------------------------

BOOL SetupDiBuildClassInfoListExA(DWORD flags, GUID* class_guid_list, DWORD list_size, DWORD* required_size,
                                  const char* machine_name, void* /*reserved*/) {
  std::string call = "SetupDiBuildClassInfoListExA " + hex32(flags) + " " + std::to_string(list_size) + " " +
                     quote(machine_name);
  if (DWORD error = sim::internal::fault("SetupDiBuildClassInfoListExA")) return fail(call, error);
  if (!local_machine(machine_name)) return fail(call, kErrorInvalidMachineName);
  if ((flags & ~(kDibciNoInstallClass | kDibciNoDisplayClass)) != 0) return fail(call, kErrorInvalidFlags);
  if (required_size == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  std::vector<GUID> listed;
  for (const std::string& name : devices::class_guids()) {
    sim::internal::Key* key = sim::internal::find_key(sim::internal::machine().hklm.get(),
                                                      std::string(devices::kClassKey) + "\\" + name);
    if ((flags & kDibciNoInstallClass) != 0 && key->find_value("NoInstallClass") != nullptr) continue;
    if ((flags & kDibciNoDisplayClass) != 0 && key->find_value("NoDisplayClass") != nullptr) continue;
    GUID guid{};
    devices::parse_guid(name, &guid);
    listed.push_back(guid);
  }
  *required_size = static_cast<DWORD>(listed.size());
  if (class_guid_list != nullptr) {
    std::copy_n(listed.begin(), std::min<std::size_t>(listed.size(), list_size), class_guid_list);
  }
  if (listed.size() > list_size) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  return succeed(call, std::to_string(listed.size()));
}

BOOL SetupDiClassNameFromGuidExA(const GUID* class_guid, char* class_name, DWORD size, DWORD* required_size,
                                 const char* machine_name, void* /*reserved*/) {
  std::string guid = guid_text(class_guid);
  std::string call = "SetupDiClassNameFromGuidExA " + guid + " " + std::to_string(size);
  if (DWORD error = sim::internal::fault("SetupDiClassNameFromGuidExA", {guid})) return fail(call, error);
  if (!local_machine(machine_name)) return fail(call, kErrorInvalidMachineName);
  if (class_guid == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  std::string name;
  if (!devices::class_name_of(guid, &name)) return fail(call, kErrorInvalidClass);
  if (!copy_out(name, class_name, size, required_size)) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  return succeed(call, quote(name));
}

BOOL SetupDiGetClassDescriptionExA(const GUID* class_guid, char* description, DWORD size,
                                   DWORD* required_size, const char* machine_name, void* /*reserved*/) {
  std::string guid = guid_text(class_guid);
  std::string call = "SetupDiGetClassDescriptionExA " + guid + " " + std::to_string(size);
  if (DWORD error = sim::internal::fault("SetupDiGetClassDescriptionExA", {guid})) return fail(call, error);
  if (!local_machine(machine_name)) return fail(call, kErrorInvalidMachineName);
  if (class_guid == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  std::string text;
  if (!devices::class_description_of(guid, &text)) return fail(call, kErrorInvalidClass);
  if (!copy_out(text, description, size, required_size)) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  return succeed(call, quote(text));
}

// ---- INF files -----------------------------------------------------------------------------

BOOL SetupCopyOEMInfA(const char* source_inf, const char* source_media_location, DWORD media_type,
                      DWORD copy_style, char* destination_name, DWORD destination_size, DWORD* required_size,
                      char** destination_file_component) {
  std::string call = "SetupCopyOEMInfA " + quote(source_inf) + " " + quote(source_media_location) + " " +
                     std::to_string(media_type) + " " + hex32(copy_style);
  if (DWORD error = sim::internal::fault("SetupCopyOEMInfA", {source_inf == nullptr ? "" : source_inf})) {
    return fail(call, error);
  }
  if (source_inf == nullptr || *source_inf == '\0') return fail(call, ERROR_INVALID_PARAMETER);
  // Device installation belongs to 64-bit processes on 64-bit Windows.
  if (sim::internal::process_is_wow64()) return fail(call, ERROR_IN_WOW64);
  std::string oem_name;
  DWORD error = devices::register_inf(source_inf, &oem_name);
  if (error != ERROR_SUCCESS) return fail(call, error);
  std::string full = devices::inf_dir() + "\\" + oem_name;
  if (destination_name != nullptr || required_size != nullptr) {
    if (!copy_out(full, destination_name, destination_size, required_size) && destination_name != nullptr) {
      return fail(call, ERROR_INSUFFICIENT_BUFFER);
    }
    if (destination_name != nullptr && destination_file_component != nullptr) {
      *destination_file_component = destination_name + (full.size() - oem_name.size());
    }
  }
  return succeed(call, quote(oem_name));
}

BOOL SetupGetInfFileListA(const char* directory, DWORD style, char* buffer, DWORD size,
                          DWORD* required_size) {
  std::string call =
      "SetupGetInfFileListA " + quote(directory) + " " + hex32(style) + " " + std::to_string(size);
  if (DWORD error = sim::internal::fault("SetupGetInfFileListA", {directory == nullptr ? "" : directory})) {
    return fail(call, error);
  }
  std::string dir = directory == nullptr ? devices::inf_dir() : directory;
  std::vector<std::string> names;
  if (iequals(dir, devices::inf_dir())) {
    names = devices::inf_file_names();
  } else {
    // Another directory: the same listing, found through its host path.
    std::string saved = dir;
    std::string host = devices::host(saved);
    std::error_code ignored;
    if (host.empty() || !std::filesystem::is_directory(host, ignored))
      return fail(call, ERROR_PATH_NOT_FOUND);
    for (const auto& entry : std::filesystem::directory_iterator(host, ignored)) {
      std::string name = entry.path().filename().string();
      if (name.size() > 4 && iequals(name.substr(name.size() - 4), ".inf")) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return sim::internal::upper(a) < sim::internal::upper(b);
    });
  }
  std::string list;
  for (const std::string& name : names) {
    list += name;
    list.push_back('\0');
  }
  list.push_back('\0');
  if (names.empty()) list.push_back('\0');
  DWORD needed = static_cast<DWORD>(list.size());
  if (required_size != nullptr) *required_size = needed;
  // Asked for the size alone (no buffer, size 0), Windows answers it and succeeds.
  if (buffer == nullptr && size == 0) return succeed(call, "size " + std::to_string(needed));
  if (buffer == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  if (size < needed) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, list.data(), needed);
  return succeed(call, std::to_string(names.size()) + " files");
}

BOOL SetupUninstallOEMInfA(const char* inf_file_name, DWORD flags, void* reserved) {
  std::string name = inf_file_name == nullptr ? "" : inf_file_name;
  std::string call = "SetupUninstallOEMInfA " + quote(inf_file_name) + " " + hex32(flags);
  if (DWORD error = sim::internal::fault("SetupUninstallOEMInfA", {name})) return fail(call, error);
  std::string version = sim::internal::machine().ini.get_or("system", "version", "5.1");
  if (std::strtod(version.c_str(), nullptr) < 5.1) return fail(call, ERROR_PROC_NOT_FOUND);  // from XP on
  // Driver packages are a 64-bit process's business on 64-bit Windows, as installing them is.
  if (sim::internal::process_is_wow64()) return fail(call, ERROR_IN_WOW64);
  if (inf_file_name == nullptr || reserved != nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  DWORD error = devices::uninstall_oem_inf(name, (flags & SUOI_FORCEDELETE) != 0);
  return error == ERROR_SUCCESS ? succeed(call) : fail(call, error);
}

BOOL SetupDiGetINFClassA(const char* inf_name, GUID* class_guid, char* class_name, DWORD size,
                         DWORD* required_size) {
  std::string call = "SetupDiGetINFClassA " + quote(inf_name) + " " + std::to_string(size);
  if (DWORD error = sim::internal::fault("SetupDiGetINFClassA", {inf_name == nullptr ? "" : inf_name})) {
    return fail(call, error);
  }
  if (inf_name == nullptr || class_guid == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  std::string full;
  std::string bytes;
  std::string path = inf_name;
  // A plain file name is looked for in the INF directory.
  if (path.find_first_of("\\/:") == std::string::npos) path = devices::inf_dir() + "\\" + path;
  if (!sim::internal::full_windows_path(path, &full) || !devices::read_windows_file(full, &bytes)) {
    return fail(call, ERROR_FILE_NOT_FOUND);
  }
  sim::inf::Inf inf = sim::inf::parse(bytes);
  std::string name = sim::inf::class_name(inf);
  std::string guid_string = sim::inf::class_guid(inf);
  GUID guid{};
  if (!devices::parse_guid(guid_string, &guid)) {
    // Only a class name: the GUID of an installed class of that name.
    bool found = false;
    for (const std::string& installed : devices::class_guids()) {
      std::string installed_name;
      if (!name.empty() && devices::class_name_of(installed, &installed_name) &&
          iequals(installed_name, name)) {
        devices::parse_guid(installed, &guid);
        found = true;
        break;
      }
    }
    if (!found && name.empty()) return fail(call, kErrorInvalidClass);
  }
  *class_guid = guid;
  if (!copy_out(name, class_name, size, required_size)) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  return succeed(call, devices::format_guid(guid) + " " + quote(name));
}

// ---- device information lists ------------------------------------------------------------

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* class_guid, HWND /*parent*/) {
  std::string guid = guid_text(class_guid);
  std::string call = "SetupDiCreateDeviceInfoList " + guid;
  if (DWORD error = sim::internal::fault("SetupDiCreateDeviceInfoList", {guid})) {
    fail(call, error);
    return INVALID_HANDLE_VALUE;
  }
  HDEVINFO set = new_list(class_guid == nullptr ? "" : guid);
  succeed(call);
  return set;
}

BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char* device_name, const GUID* class_guid,
                              const char* description, HWND /*parent*/, DWORD flags, SP_DEVINFO_DATA* data) {
  std::string guid = guid_text(class_guid);
  std::string call = "SetupDiCreateDeviceInfoA " + quote(device_name) + " " + guid + " " +
                     quote(description) + " " + hex32(flags);
  if (DWORD error =
          sim::internal::fault("SetupDiCreateDeviceInfoA", {device_name == nullptr ? "" : device_name})) {
    return fail(call, error);
  }
  DeviceList* list = list_of(set);
  if (list == nullptr) return fail(call, ERROR_INVALID_HANDLE);
  if (device_name == nullptr || *device_name == '\0' || class_guid == nullptr)
    return fail(call, ERROR_INVALID_PARAMETER);
  if ((flags & ~DICD_GENERATE_ID & ~0x2U) != 0) return fail(call, kErrorInvalidFlags);
  if (!list->class_guid.empty() && !iequals(list->class_guid, guid)) return fail(call, kErrorClassMismatch);
  if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(call, kErrorInvalidUserBuffer);
  std::string instance_id;
  if ((flags & DICD_GENERATE_ID) != 0) {
    if (std::strpbrk(device_name, "\\/ ") != nullptr) return fail(call, kErrorInvalidDevinstName);
    std::vector<std::string> taken;
    for (DeviceList* other : lists()) {
      for (const Element& element : other->elements) taken.push_back(element.instance_id);
    }
    instance_id = devices::generate_root_id(device_name, taken);
  } else {
    instance_id = device_name;
    if (sim::internal::split_path(instance_id).size() != 3) return fail(call, kErrorInvalidDevinstName);
    if (devices::node_exists(instance_id)) return fail(call, ERROR_DEVINST_ALREADY_EXISTS);
  }
  Element element;
  element.instance_id = instance_id;
  element.class_guid = guid;
  std::size_t index = add_element(list, element);
  if (data != nullptr) fill_data(list->elements[index], index, data);
  return succeed(call, quote(instance_id));
}

BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property,
                                       const BYTE* buffer, DWORD size) {
  const char* name = property_name(property);
  std::string call = "SetupDiSetDeviceRegistryPropertyA " +
                     std::string(name != nullptr ? name : hex32(property)) + " " + std::to_string(size);
  DeviceList* list = list_of(set);
  Element* element = nullptr;
  DWORD error = ERROR_INVALID_HANDLE;
  if (list != nullptr) element = element_of(list, data, &error);
  std::string instance = element == nullptr ? "" : element->instance_id;
  if (DWORD injected = sim::internal::fault("SetupDiSetDeviceRegistryPropertyA",
                                            {instance, name == nullptr ? "" : name})) {
    return fail(call, injected);
  }
  if (element == nullptr) return fail(call, error);
  if (property != SPDRP_HARDWAREID && property != SPDRP_COMPATIBLEIDS && property != kSpdrpDeviceDesc &&
      property != kSpdrpMfg) {
    return fail(call, kErrorInvalidRegProperty);
  }
  if (buffer == nullptr && size != 0) return fail(call, ERROR_INVALID_PARAMETER);
  std::vector<BYTE> bytes(buffer, buffer + size);
  bool multi = property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS;
  if (!element->registered) {
    if (property == SPDRP_HARDWAREID) element->hardware_ids = bytes;
    if (property == SPDRP_COMPATIBLEIDS) element->compatible_ids = bytes;
    if (!multi) return fail(call, kErrorDevinfoNotRegistered);
  } else if (!devices::node_exists(element->instance_id)) {
    return fail(call, ERROR_NO_SUCH_DEVINST);
  } else {
    devices::set_node_value(element->instance_id, property_value_name(property),
                            multi ? REG_MULTI_SZ : REG_SZ, bytes);
  }
  return succeed(call);
}

BOOL SetupDiCallClassInstaller(DWORD install_function, HDEVINFO set, SP_DEVINFO_DATA* data) {
  DeviceList* list = list_of(set);
  Element* element = nullptr;
  DWORD error = ERROR_INVALID_HANDLE;
  if (list != nullptr) element = element_of(list, data, &error);
  std::string instance = element == nullptr ? "" : element->instance_id;
  std::string call =
      "SetupDiCallClassInstaller " + std::string(dif_name(install_function)) + " " + quote(instance);
  if (DWORD injected = sim::internal::fault("SetupDiCallClassInstaller",
                                            {dif_name(install_function), std::string_view(instance)})) {
    return fail(call, injected);
  }
  if (element == nullptr) return fail(call, error);
  if ((install_function == DIF_REGISTERDEVICE || install_function == DIF_REMOVE) &&
      sim::internal::process_is_wow64()) {
    return fail(call, ERROR_IN_WOW64);
  }
  if (install_function == DIF_REGISTERDEVICE) {
    if (element->registered) return fail(call, ERROR_DEVINST_ALREADY_EXISTS);
    if (devices::node_exists(element->instance_id)) return fail(call, ERROR_DEVINST_ALREADY_EXISTS);
    std::string class_name;
    if (!element->class_guid.empty()) devices::class_name_of(element->class_guid, &class_name);
    devices::create_root_node(element->instance_id, element->class_guid, class_name, element->hardware_ids,
                              element->compatible_ids);
    element->registered = true;
    data->DevInst = devinst_of(element->instance_id);
    return succeed(call);
  }
  if (install_function == DIF_REMOVE) {
    if (!element->registered) return fail(call, kErrorDevinfoNotRegistered);
    DWORD removed = devices::remove_node(element->instance_id);
    if (removed != ERROR_SUCCESS) return fail(call, removed);
    return succeed(call);
  }
  // Other installer functions have nothing to do on this machine: the default action is taken.
  return succeed(call);
}

BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params,
                                   DWORD size) {
  std::string call = "SetupDiSetClassInstallParamsA " +
                     std::string(params == nullptr ? "(null)" : dif_name(params->InstallFunction)) + " " +
                     std::to_string(size);
  if (DWORD injected = sim::internal::fault("SetupDiSetClassInstallParamsA")) return fail(call, injected);
  DeviceList* list = list_of(set);
  if (list == nullptr) return fail(call, ERROR_INVALID_HANDLE);
  Element* element = nullptr;
  if (data != nullptr) {
    DWORD error = 0;
    element = element_of(list, data, &error);
    if (element == nullptr) return fail(call, error);
  }
  if (params != nullptr && params->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
    return fail(call, kErrorInvalidUserBuffer);
  if (params != nullptr && params->InstallFunction == DIF_REMOVE) {
    if (size < sizeof(SP_REMOVEDEVICE_PARAMS)) return fail(call, ERROR_INVALID_PARAMETER);
    const auto* remove = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS*>(params);
    if (remove->Scope != DI_REMOVEDEVICE_GLOBAL && remove->Scope != 2) return fail(call, kErrorInvalidFlags);
  }
  if (element != nullptr) element->remove_params = params != nullptr && params->InstallFunction == DIF_REMOVE;
  return succeed(call);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::string call = "SetupDiDestroyDeviceInfoList";
  DeviceList* list = list_of(set);
  if (list == nullptr) return fail(call, ERROR_INVALID_HANDLE);
  lists().erase(list);
  delete list;
  sim::internal::count_handle_closed();
  // A fault here still frees the list, as the handle is gone either way.
  if (DWORD injected = sim::internal::fault("SetupDiDestroyDeviceInfoList")) return fail(call, injected);
  return succeed(call);
}

HDEVINFO SetupDiGetClassDevsExA(const GUID* class_guid, const char* enumerator, HWND /*parent*/, DWORD flags,
                                HDEVINFO existing_set, const char* machine_name, void* /*reserved*/) {
  std::string guid = guid_text(class_guid);
  std::string call = "SetupDiGetClassDevsExA " + guid + " " + quote(enumerator) + " " + hex32(flags) + " " +
                     quote(machine_name);
  auto failed = [&](DWORD error) {
    fail(call, error);
    return INVALID_HANDLE_VALUE;
  };
  if (DWORD injected = sim::internal::fault("SetupDiGetClassDevsExA")) return failed(injected);
  if (!local_machine(machine_name)) return failed(kErrorInvalidMachineName);
  if (class_guid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) return failed(ERROR_INVALID_PARAMETER);
  DeviceList* list = nullptr;
  if (existing_set != nullptr && existing_set != INVALID_HANDLE_VALUE) {
    list = list_of(existing_set);
    if (list == nullptr) return failed(ERROR_INVALID_HANDLE);
  }
  std::vector<Element> found;
  for (const std::string& id :
       (flags & DIGCF_PRESENT) != 0 ? devices::present_node_ids() : devices::node_ids()) {
    if (enumerator != nullptr && *enumerator != '\0' &&
        !iequals(sim::internal::split_path(id)[0], enumerator))
      continue;
    Element element = element_for_node(id);
    if ((flags & DIGCF_ALLCLASSES) == 0 && !iequals(element.class_guid, guid)) continue;
    found.push_back(element);
  }
  std::size_t count = found.size();
  HDEVINFO result = existing_set;
  if (list == nullptr) {
    result = new_list((flags & DIGCF_ALLCLASSES) != 0 || class_guid == nullptr ? "" : guid);
    list = static_cast<DeviceList*>(result);
    list->elements = std::move(found);  // node IDs are unique: nothing to merge
  } else {
    for (const Element& element : found) add_element(list, element);
  }
  succeed(call, std::to_string(count) + " devices");
  return result;
}

BOOL SetupDiOpenDeviceInfoA(HDEVINFO set, const char* instance_id, HWND /*parent*/, DWORD open_flags,
                            SP_DEVINFO_DATA* data) {
  std::string call = "SetupDiOpenDeviceInfoA " + quote(instance_id) + " " + hex32(open_flags);
  if (DWORD injected =
          sim::internal::fault("SetupDiOpenDeviceInfoA", {instance_id == nullptr ? "" : instance_id})) {
    return fail(call, injected);
  }
  DeviceList* list = list_of(set);
  if (list == nullptr) return fail(call, ERROR_INVALID_HANDLE);
  if (instance_id == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(call, kErrorInvalidUserBuffer);
  std::string stored = devices::stored_node_id(instance_id);
  if (stored.empty()) return fail(call, ERROR_NO_SUCH_DEVINST);
  Element element = element_for_node(stored);
  if (!list->class_guid.empty() && !iequals(list->class_guid, element.class_guid))
    return fail(call, kErrorClassMismatch);
  std::size_t index = add_element(list, element);
  if (data != nullptr) fill_data(list->elements[index], index, data);
  return succeed(call);
}

BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
  std::string call = "SetupDiGetDeviceInfoListDetailA";
  if (DWORD injected = sim::internal::fault("SetupDiGetDeviceInfoListDetailA")) return fail(call, injected);
  DeviceList* list = list_of(set);
  if (list == nullptr) return fail(call, ERROR_INVALID_HANDLE);
  if (detail == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  if (detail->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A)) return fail(call, kErrorInvalidUserBuffer);
  detail->ClassGuid = GUID{};
  if (!list->class_guid.empty()) devices::parse_guid(list->class_guid, &detail->ClassGuid);
  detail->RemoteMachineHandle = nullptr;  // the local machine
  detail->RemoteMachineName[0] = '\0';
  return succeed(call);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  std::string call = "SetupDiEnumDeviceInfo " + std::to_string(index);
  if (DWORD injected = sim::internal::fault("SetupDiEnumDeviceInfo")) return fail(call, injected);
  DeviceList* list = list_of(set);
  if (list == nullptr) return fail(call, ERROR_INVALID_HANDLE);
  if (data == nullptr) return fail(call, ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(call, kErrorInvalidUserBuffer);
  if (index >= list->elements.size()) return fail(call, ERROR_NO_MORE_ITEMS);
  fill_data(list->elements[index], index, data);
  return succeed(call, quote(list->elements[index].instance_id));
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, DWORD* type,
                                       BYTE* buffer, DWORD size, DWORD* required_size) {
  const char* name = property_name(property);
  DeviceList* list = list_of(set);
  Element* element = nullptr;
  DWORD error = ERROR_INVALID_HANDLE;
  if (list != nullptr) element = element_of(list, data, &error);
  std::string instance = element == nullptr ? "" : element->instance_id;
  std::string call = "SetupDiGetDeviceRegistryPropertyA " + quote(instance) + " " +
                     std::string(name != nullptr ? name : hex32(property)) + " " + std::to_string(size);
  if (DWORD injected = sim::internal::fault("SetupDiGetDeviceRegistryPropertyA",
                                            {instance, name == nullptr ? "" : name})) {
    return fail(call, injected);
  }
  if (element == nullptr) return fail(call, error);
  if (name == nullptr) return fail(call, kErrorInvalidRegProperty);
  if (buffer == nullptr && size != 0) return fail(call, ERROR_INVALID_PARAMETER);
  DWORD value_type = 0;
  std::vector<BYTE> value;
  bool have = false;
  if (element->registered) {
    have = devices::node_value(element->instance_id, property_value_name(property), &value_type, &value);
  } else if (property == SPDRP_HARDWAREID && !element->hardware_ids.empty()) {
    have = true;
    value_type = REG_MULTI_SZ;
    value = element->hardware_ids;
  } else if (property == SPDRP_COMPATIBLEIDS && !element->compatible_ids.empty()) {
    have = true;
    value_type = REG_MULTI_SZ;
    value = element->compatible_ids;
  }
  // A property the device does not have: Windows answers ERROR_INVALID_DATA.
  if (!have) return fail(call, ERROR_INVALID_DATA);
  if (type != nullptr) *type = value_type;
  if (required_size != nullptr) *required_size = static_cast<DWORD>(value.size());
  if (size < value.size()) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
  return succeed(call, std::to_string(value.size()) + " bytes");
}

// ---- newdev --------------------------------------------------------------------------------

BOOL UpdateDriverForPlugAndPlayDevicesA(HWND /*parent*/, const char* hardware_id, const char* full_inf_path,
                                        DWORD install_flags, BOOL* reboot_required) {
  std::string call = "UpdateDriverForPlugAndPlayDevicesA " + quote(hardware_id) + " " + quote(full_inf_path) +
                     " " + hex32(install_flags);
  if (DWORD injected = sim::internal::fault(
          "UpdateDriverForPlugAndPlayDevicesA",
          {hardware_id == nullptr ? "" : hardware_id, full_inf_path == nullptr ? "" : full_inf_path})) {
    return fail(call, injected);
  }
  if (hardware_id == nullptr || *hardware_id == '\0' || full_inf_path == nullptr || *full_inf_path == '\0') {
    return fail(call, ERROR_INVALID_PARAMETER);
  }
  if ((install_flags & ~0x3U) != 0) return fail(call, kErrorInvalidFlags);  // INSTALLFLAG_FORCE, _READONLY
  if (sim::internal::process_is_wow64()) return fail(call, ERROR_IN_WOW64);
  bool restart = false;
  DWORD error = devices::update_driver(hardware_id, full_inf_path, &restart);
  if (error != ERROR_SUCCESS) return fail(call, error);
  if (reboot_required != nullptr) *reboot_required = restart ? TRUE : FALSE;
  return succeed(call, restart ? "restart required" : "");
}

// ---- the configuration manager -------------------------------------------------------------

CONFIGRET CM_Locate_DevNode_ExA(DEVINST* devinst, const char* device_id, DWORD flags, HMACHINE machine) {
  std::string call = "CM_Locate_DevNode_ExA " + quote(device_id) + " " + hex32(flags);
  if (DWORD injected =
          sim::internal::fault("CM_Locate_DevNode_ExA", {device_id == nullptr ? "" : device_id})) {
    return answer(call, injected);
  }
  if (devinst == nullptr) return answer(call, kCrInvalidPointer);
  *devinst = 0;
  if (machine != nullptr) return answer(call, kCrInvalidMachineName);
  if (device_id == nullptr || *device_id == '\0' || iequals(device_id, kRootDevnode)) {
    *devinst = devinst_of(kRootDevnode);
    return answer(call, CR_SUCCESS);
  }
  std::string stored = devices::stored_node_id(device_id);
  // CM_LOCATE_DEVNODE_PHANTOM (1) finds nodes whose board is gone too.
  if (stored.empty() || ((flags & 1) == 0 && !devices::node_present(stored)))
    return answer(call, kCrNoSuchDevnode);
  *devinst = devinst_of(stored);
  return answer(call, CR_SUCCESS);
}

CONFIGRET CM_Reenumerate_DevNode_Ex(DEVINST devinst, DWORD flags, HMACHINE machine) {
  std::string call = "CM_Reenumerate_DevNode_Ex " + std::to_string(devinst) + " " + hex32(flags);
  if (DWORD injected = sim::internal::fault("CM_Reenumerate_DevNode_Ex")) return answer(call, injected);
  if (machine != nullptr) return answer(call, kCrInvalidMachineName);
  if (instance_of(devinst) == nullptr) return answer(call, kCrInvalidDevnode);
  if (CONFIGRET configured = devices::reenumerate_error()) return answer(call, configured);
  devices::reenumerate();
  return answer(call, CR_SUCCESS);
}

CONFIGRET CM_Get_Device_ID_ExA(DEVINST devinst, char* buffer, DWORD size, DWORD flags, HMACHINE machine) {
  const std::string* instance = instance_of(devinst);
  std::string call = "CM_Get_Device_ID_ExA " + quote(instance == nullptr ? "" : *instance) + " " +
                     std::to_string(size) + " " + hex32(flags);
  if (DWORD injected = sim::internal::fault("CM_Get_Device_ID_ExA", {instance == nullptr ? "" : *instance})) {
    return answer(call, injected);
  }
  if (buffer == nullptr) return answer(call, kCrInvalidPointer);
  if (machine != nullptr) return answer(call, kCrInvalidMachineName);
  if (instance == nullptr) return answer(call, kCrInvalidDevnode);
  if (size > 0) buffer[0] = '\0';
  // Like Windows: an ID that fills the buffer exactly is copied without its NUL and succeeds.
  if (instance->size() > size) {
    if (size > 0) {
      std::memcpy(buffer, instance->data(), size - 1);
      buffer[size - 1] = '\0';
    }
    return answer(call, kCrBufferSmall);
  }
  std::memcpy(buffer, instance->data(), instance->size());
  if (instance->size() < size) buffer[instance->size()] = '\0';
  return answer(call, CR_SUCCESS);
}

// ---- module look-up ------------------------------------------------------------------------

namespace {

HMODULE setupapi_module() {
  static char marker;
  return reinterpret_cast<HMODULE>(&marker);
}

DWORD PORT_WINAPI wait_no_pending_install_events(DWORD timeout) {
  // Nothing installs in the background on this machine: nothing to wait for, unless the
  // machine is set to let the wait run out.
  DWORD result = devices::wait_no_pending_times_out() ? 258 : 0;  // WAIT_TIMEOUT, WAIT_OBJECT_0
  sim::internal::trace_line("CMP_WaitNoPendingInstallEvents " + std::to_string(timeout) + " -> " +
                            std::to_string(result));
  return result;
}

// The module calls set the last error only when they fail.
void found(const std::string& call) {
  sim::internal::trace_line(call + " -> TRUE");
}

}  // namespace

HMODULE GetModuleHandleA(const char* module_name) {
  std::string call = "GetModuleHandleA " + quote(module_name);
  if (DWORD injected =
          sim::internal::fault("GetModuleHandleA", {module_name == nullptr ? "" : module_name})) {
    fail(call, injected);
    return nullptr;
  }
  std::string name = module_name == nullptr ? "" : module_name;
  if (iequals(name, "setupapi.dll") || iequals(name, "setupapi")) {
    found(call);
    return setupapi_module();
  }
  fail(call, kErrorModNotFound);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* proc_name) {
  std::string call = "GetProcAddress " + quote(proc_name);
  if (DWORD injected = sim::internal::fault("GetProcAddress", {proc_name == nullptr ? "" : proc_name})) {
    fail(call, injected);
    return nullptr;
  }
  if (module != setupapi_module()) {
    fail(call, ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (proc_name != nullptr && std::strcmp(proc_name, "CMP_WaitNoPendingInstallEvents") == 0 &&
      devices::wait_no_pending_available()) {
    found(call);
    return reinterpret_cast<FARPROC>(&wait_no_pending_install_events);
  }
  fail(call, kErrorProcNotFound);
  return nullptr;
}

}  // namespace port

// ---- the test API's device part ----------------------------------------------------------

namespace sim {

namespace internal {

void close_device_lists() {
  for (port::DeviceList* list : port::lists()) delete list;
  port::lists().clear();
}

}  // namespace internal

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
  devices::set_setting("reenumerate_error", error == 0 ? "" : sim::internal::hex32(error));
}

}  // namespace sim
