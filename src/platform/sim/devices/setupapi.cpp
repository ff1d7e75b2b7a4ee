// SetupAPI's device information lists on the simulated machine, and what the device calls share
// (device_calls.h); the class and INF calls are in setupapi_inf.cpp, newdev, the configuration
// manager and the module look-up in cfgmgr.cpp.  Each call is traced and can be made to fail
// from machine.ini [faults] like every other port call; the device work itself is in
// devices.cpp and drivers.cpp.  Device information lists are counted among the machine's open
// handles.
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/sim/devices/device_calls.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/wow64/wow64.h"

namespace port {

using namespace device_calls;

namespace {

// ---- device information lists ------------------------------------------------------------

struct Element {
  std::string instance_id;
  std::string class_guid;            // "" when the node has none
  bool registered = false;           // has a device node
  std::vector<BYTE> hardware_ids;    // until registered
  std::vector<BYTE> compatible_ids;  // until registered
  bool remove_params = false;
  DWORD install_flags = 0;  // SP_DEVINSTALL_PARAMS Flags and FlagsEx, as set
  DWORD install_flags_ex = 0;
};

struct DeviceList {
  std::string class_guid;  // "" when the list has no class
  std::vector<Element> elements;
  std::unordered_map<std::string, std::size_t> by_id;  // upper-cased instance ID -> element
  DWORD install_flags = 0;                             // the list's own install parameters
  DWORD install_flags_ex = 0;
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
  auto* list = new DeviceList{class_guid, {}, {}, 0, 0};
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

}  // namespace

namespace device_calls {

// Trace lines read "Call arguments -> result [what came back]", as for every other port call.
// A call that succeeds leaves the last error as it was: Windows documents no reset for SetupAPI
// and newdev, and a caller that reads it after a success reads whatever an earlier call left.
BOOL succeed(const std::string& call, const std::string& detail) {
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

bool local_machine(const char* machine_name) {
  return machine_name == nullptr || *machine_name == '\0';
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

}  // namespace device_calls

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

namespace {

// The flags the install parameters of the element (or, for no element, of the list) keep; the
// other fields of the record are the defaults of a machine where no installer has set them.
// false, with *error, when the list, element or record is not one Windows would take.
bool install_params_of(HDEVINFO set, SP_DEVINFO_DATA* data, const SP_DEVINSTALL_PARAMS_A* params,
                       DWORD** flags, DWORD** flags_ex, DWORD* error) {
  DeviceList* list = list_of(set);
  if (list == nullptr) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  Element* element = nullptr;
  if (data != nullptr && (element = element_of(list, data, error)) == nullptr) return false;
  if (params == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
    *error = kErrorInvalidUserBuffer;
    return false;
  }
  *flags = element != nullptr ? &element->install_flags : &list->install_flags;
  *flags_ex = element != nullptr ? &element->install_flags_ex : &list->install_flags_ex;
  return true;
}

std::string install_params_call(const char* name, HDEVINFO set, SP_DEVINFO_DATA* data) {
  DeviceList* list = list_of(set);
  Element* element = nullptr;
  DWORD ignored = 0;
  if (list != nullptr && data != nullptr) element = element_of(list, data, &ignored);
  return std::string(name) + " " + quote(element == nullptr ? "" : element->instance_id);
}

}  // namespace

BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_DEVINSTALL_PARAMS_A* params) {
  std::string call = install_params_call("SetupDiGetDeviceInstallParamsA", set, data);
  if (DWORD injected = sim::internal::fault("SetupDiGetDeviceInstallParamsA")) return fail(call, injected);
  DWORD* flags = nullptr;
  DWORD* flags_ex = nullptr;
  DWORD error = 0;
  if (!install_params_of(set, data, params, &flags, &flags_ex, &error)) return fail(call, error);
  *params = SP_DEVINSTALL_PARAMS_A{};
  params->cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
  params->Flags = *flags;
  params->FlagsEx = *flags_ex;
  return succeed(call, hex32(*flags));
}

BOOL SetupDiSetDeviceInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_DEVINSTALL_PARAMS_A* params) {
  std::string call = install_params_call("SetupDiSetDeviceInstallParamsA", set, data) + " " +
                     (params == nullptr ? std::string("(null)") : hex32(params->Flags));
  if (DWORD injected = sim::internal::fault("SetupDiSetDeviceInstallParamsA")) return fail(call, injected);
  DWORD* flags = nullptr;
  DWORD* flags_ex = nullptr;
  DWORD error = 0;
  if (!install_params_of(set, data, params, &flags, &flags_ex, &error)) return fail(call, error);
  *flags = params->Flags;
  *flags_ex = params->FlagsEx;
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

// The ID with its NUL; a buffer too small gets nothing and the size it needs.
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* buffer, DWORD size,
                                 DWORD* required_size) {
  DeviceList* list = list_of(set);
  Element* element = nullptr;
  DWORD error = ERROR_INVALID_HANDLE;
  if (list != nullptr) element = element_of(list, data, &error);
  std::string instance = element == nullptr ? "" : element->instance_id;
  std::string call = "SetupDiGetDeviceInstanceIdA " + quote(instance) + " " + std::to_string(size);
  if (DWORD injected = sim::internal::fault("SetupDiGetDeviceInstanceIdA", {instance}))
    return fail(call, injected);
  if (element == nullptr) return fail(call, error);
  if (buffer == nullptr && size != 0) return fail(call, ERROR_INVALID_PARAMETER);
  auto needed = static_cast<DWORD>(instance.size() + 1);
  if (required_size != nullptr) *required_size = needed;
  if (size < needed) return fail(call, ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, instance.c_str(), needed);
  return succeed(call);
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

}  // namespace port

namespace sim::internal {

namespace {
void close_device_lists() {
  for (port::DeviceList* list : port::lists()) delete list;
  port::lists().clear();
}
}  // namespace

}  // namespace sim::internal

namespace sim::devices {

void install_device_hooks() {
  internal::set_device_lists_closer(internal::close_device_lists);
}

}  // namespace sim::devices
