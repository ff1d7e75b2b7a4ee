// Installation of the Plug and Play driver package.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/driver_config.h"
#include "config/memory_adjustment.h"
#include "delegate/delegate.h"
#include "platform/port.h"
#include "pnp/device_walk.h"
#include "pnp/hardware_ids.h"
#include "pnp/inf_ownership.h"
#include "pnp/pnp.h"
#include "pnp/pnp_steps.h"

namespace {

constexpr const char* kHotfixContext =
    "Failed to install the device node. You have to install Windows 2000 Hotfix - KB822831."
    " Refer to <http://support.microsoft.com/default.aspx?scid=kb;en-us;822831>";

// What the walk over the boards after the installation found.
struct BindingWalk {
  bool all_bound;                             // every device of ours present has the halvik driver
  bool any_bound;                             // at least one has it
  char unbound[port::MAX_DEVICE_ID_LEN + 1];  // the first that hasn't
};

int binding_visitor(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, std::uint32_t, void* context) {
  auto* walk = static_cast<BindingWalk*>(context);
  char service[64] = "";
  port::DWORD type = 0;
  bool bound = port::SetupDiGetDeviceRegistryPropertyA(set, device, port::SPDRP_SERVICE, &type,
                                                       reinterpret_cast<port::BYTE*>(service),
                                                       sizeof(service) - 1, nullptr) &&
               equal_ignoring_letter_case(service, "halvik");
  if (bound) {
    walk->any_bound = true;
  } else if (walk->all_bound) {
    walk->all_bound = false;
    port::SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
    detail.cbSize = sizeof(detail);
    if (!port::SetupDiGetDeviceInfoListDetailA(set, &detail) ||
        port::CM_Get_Device_ID_ExA(device->DevInst, walk->unbound, port::MAX_DEVICE_ID_LEN, 0,
                                   detail.RemoteMachineHandle) != port::CR_SUCCESS) {
      std::snprintf(walk->unbound, sizeof(walk->unbound), "%s", "?");
    }
  }
  return 0;
}

// Every present device of ours, root-enumerated node included, looked at once for each row it
// matches.
BindingWalk walk_bindings() {
  BindingWalk bindings{true, false, ""};
  DeviceWalk walk;
  open_device_walk(port::DIGCF_PRESENT, supported_hardware_ids, supported_hardware_id_count, &walk);
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row)
    walk_row(&walk, row, binding_visitor, &bindings, false);
  close_device_walk(&walk);
  return bindings;
}

int version_code(const port::OSVERSIONINFOEXA& info) {
  if (info.dwPlatformId == port::VER_PLATFORM_WIN32_WINDOWS) {
    if (info.dwMajorVersion == 4 && info.dwMinorVersion == 0) return 1;
    if (info.dwMajorVersion == 4 && info.dwMinorVersion == 10) return 2;
    if (info.dwMajorVersion == 4 && info.dwMinorVersion == 90) return 3;
    return 8;
  }
  if (info.dwPlatformId == port::VER_PLATFORM_WIN32_NT) {
    if (info.dwMajorVersion <= 4) return 4;
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 0) return 5;
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 1) return 6;
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 2) return 7;
    return 8;
  }
  return 0;
}

// The configuration manager reports through its result and sets no last error.  The Win32
// error each result stands for, as Windows maps them (CM_MapCrToWin32Err does the same from
// Windows 7 on, too late for the systems this runs on); a result without one is a device
// failure.
struct ResultError {
  port::CONFIGRET result;
  port::DWORD error;
};
constexpr port::DWORD kDeviceFailure = 31;  // ERROR_GEN_FAILURE
constexpr ResultError kResultErrors[] = {
    {0x02, port::ERROR_NOT_ENOUGH_MEMORY},    // CR_OUT_OF_MEMORY
    {0x03, 1784},                             // CR_INVALID_POINTER: ERROR_INVALID_USER_BUFFER
    {0x04, 1004},                             // CR_INVALID_FLAG: ERROR_INVALID_FLAGS
    {0x05, port::ERROR_INVALID_DATA},         // CR_INVALID_DEVNODE
    {0x0D, 1168},                             // CR_NO_SUCH_DEVNODE: ERROR_NOT_FOUND
    {0x10, port::ERROR_ALREADY_EXISTS},       // CR_ALREADY_SUCH_DEVNODE
    {0x1A, port::ERROR_INSUFFICIENT_BUFFER},  // CR_BUFFER_SMALL
    {0x1C, port::ERROR_INVALID_HANDLE},       // CR_NO_REGISTRY_HANDLE
    {0x1D, 1015},                             // CR_REGISTRY_ERROR: ERROR_REGISTRY_CORRUPT
    {0x1E, port::ERROR_INVALID_DATA},         // CR_INVALID_DEVICE_ID
    {0x25, 1168},                             // CR_NO_SUCH_VALUE: ERROR_NOT_FOUND
    {0x2E, port::ERROR_FILE_NOT_FOUND},       // CR_NO_SUCH_REGISTRY_KEY
    {0x2F, port::ERROR_INVALID_DATA},         // CR_INVALID_MACHINENAME
    {0x30, port::ERROR_SERVICE_NOT_ACTIVE},   // CR_REMOTE_COMM_FAILURE
    {0x31, port::ERROR_SERVICE_NOT_ACTIVE},   // CR_MACHINE_UNAVAILABLE
    {0x32, port::ERROR_SERVICE_NOT_ACTIVE},   // CR_NO_CM_SERVICES
    {0x33, port::ERROR_ACCESS_DENIED},        // CR_ACCESS_DENIED
    {0x34, 120},                              // CR_CALL_NOT_IMPLEMENTED: ERROR_CALL_NOT_IMPLEMENTED
    {0x35, port::ERROR_INVALID_DATA},         // CR_INVALID_PROPERTY
    {0x37, 1168},                             // CR_NO_SUCH_DEVICE_INTERFACE: ERROR_NOT_FOUND
    {0x38, port::ERROR_INVALID_DATA},         // CR_INVALID_REFERENCE_STRING
};

}  // namespace

port::DWORD win32_error_of(port::CONFIGRET result) {
  for (const ResultError& entry : kResultErrors) {
    if (entry.result == result) return entry.error;
  }
  return kDeviceFailure;
}

namespace {

// Step 6: register the INF, so that the boards the re-enumeration finds, and any plugged in
// later, get the driver from it; then, when the boards' class is installed already, bring the
// driver of the boards present up to date.  The package is registered either way: an earlier
// removal keeps the class but takes the boards' device nodes, and boards found again with no
// package to install from would stay without a driver.  Registering the same INF again gives
// the name it has, so reinstalling never piles up copies.  0 or 1.
int install_driver_package(const char* inf_path, char* registered_inf, int* reboot_needed,
                           FailureInfo* failure) {
  char full_path[port::MAX_PATH];
  if (!full_inf_path(inf_path, full_path)) {
    failure->context = "Failed to locate the INF";
    failure->code = port::GetLastError();
    return 1;
  }
  if (copy_oem_inf(full_path, registered_inf) != 0) {
    failure->context = "Failed to install/register the INF file";
    failure->code = port::GetLastError();
    return 1;
  }
  if (hardware_class_installed() != 1) return 0;
  // Which rows have a board present, from one look at the devices: the updates below change
  // drivers, not which devices are present or their IDs.
  std::uint32_t present[kSupportedHardwareIdCount] = {};
  DeviceWalk walk;
  open_device_walk(port::DIGCF_PRESENT, supported_hardware_ids, supported_hardware_id_count, &walk);
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row)
    walk_row(&walk, row, count_visitor, &present[row], false);
  close_device_walk(&walk);
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row) {
    const char* id = supported_hardware_ids[row];
    if (present[row] == 0) continue;
    // A failed update is passed over: the board keeps its driver and the others go on.
    if (update_driver_for_hardware_id(id, inf_path) == kUpdatedRestartNeeded) {
      set_failure_context(failure, "An error occurred while updating the driver for device: \n%s", id);
      // The update succeeded: its last error says nothing.  What it asks for is the restart.
      failure->code = port::ERROR_SUCCESS_REBOOT_REQUIRED;
      *reboot_needed = 1;
      return 1;
    }
  }
  return 0;
}

// The co-installer shows no page of its own during an installer-driven setup.  The
// installation goes on without it, but a switch that couldn't be set is reported: the
// co-installer's page may then show up.
void set_coinstaller_switch(FailureInfo* failure) {
  port::HKEY key = nullptr;
  port::LSTATUS status = create_key(port::HKEY_LOCAL_MACHINE, kCoInstallerKeyPath, &key);
  if (status != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    failure->context = "CreateKey - co-installer";
    failure->code = static_cast<std::uint32_t>(status);
    return;
  }
  set_dword_value(key, "displayCoinstallerPage", 0, failure);
  port::RegCloseKey(key);
}

// Windows 2000 SP3 and SP4 can't create root-enumerated nodes without hotfix KB822831; say
// so when the hotfix is missing.
const char* device_node_failure_context() {
  if (windows_version_is(5, 3) || windows_version_is(5, 4)) {
    port::HKEY key = nullptr;
    if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kHotfixKeyPath, 0, port::KEY_ALL_ACCESS, &key) !=
        static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
      return kHotfixContext;
    }
    port::RegCloseKey(key);
  }
  return "Failed to install the device node";
}

// A new element of the set, named by the system under the root enumerator from the class name,
// given the hardware ID list and registered as a device node.  false at the first call that
// fails.
bool register_device_node(port::HDEVINFO set, const port::GUID& class_guid, const char* class_name,
                          const char* hardware_id_list) {
  port::SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  auto list_size = static_cast<port::DWORD>(std::strlen(hardware_id_list) + 2);
  return port::SetupDiCreateDeviceInfoA(set, class_name, &class_guid, nullptr, nullptr,
                                        port::DICD_GENERATE_ID, &device) &&
         keep_class_installer_quiet(set, &device) &&
         port::SetupDiSetDeviceRegistryPropertyA(set, &device, port::SPDRP_HARDWAREID,
                                                 reinterpret_cast<const port::BYTE*>(hardware_id_list),
                                                 list_size) &&
         port::SetupDiCallClassInstaller(port::DIF_REGISTERDEVICE, set, &device);
}

}  // namespace

int install_pnp_driver(const DriverConfig* config, int do_adj, int already_opt, int meg_in_system,
                       int* memory_outcome, const char* inf_path, int auto_start, int* reboot_needed,
                       FailureInfo* failure) {
  clear_failure(failure);
  *memory_outcome = 0;
  *reboot_needed = 0;

  if (driver_is_installed()) {
    failure->message = "Driver is already installed";
    return 1;
  }

  if (config != nullptr && write_driver_parameters(*config, failure) != 0) {
    // A half-written Parameters key must not look like an installed driver.
    port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, kServiceKeyPath);
    failure->context = "Failed to write the driver parameters";
    return 1;
  }

  if (do_adj != 0 && config != nullptr && config->max_pci_modules != 0) {
    if (apply_memory_adjustment(*config, already_opt, static_cast<std::uint32_t>(meg_in_system),
                                memory_outcome, reboot_needed, failure) != 0) {
      return 1;
    }
  }

  // The counterpart's answer replaces the reboot flag, but it knows nothing of the memory
  // adjustment made here, which needs a reboot all the same.
  int memory_reboot = *reboot_needed;
  int status = 0;
  if (delegate_to_x64(kX64Install, inf_path, auto_start, reboot_needed, failure, &status) != 0) {
    if (memory_reboot != 0) *reboot_needed = 1;
    return status;
  }

  return install_pnp_devices(inf_path, auto_start, reboot_needed, failure);
}

int install_pnp_devices(const char* inf_path, int auto_start, int* reboot_needed, FailureInfo* failure) {
  char registered_inf[port::MAX_PATH] = "";
  if (install_driver_package(inf_path, registered_inf, reboot_needed, failure) != 0) return 1;

  set_coinstaller_switch(failure);

  if (auto_start != 0) {
    // The code matters only when the node failed: a success leaves no error to report.
    port::DWORD code = 0;
    if (create_root_device_node(supported_hardware_ids[0], inf_path, &code) != 0) {
      failure->code = code;
      failure->context = device_node_failure_context();
      return 1;
    }
  }

  if (rescan_device_tree(&failure->code) != 0) {
    failure->context = "Failed to scan the device node";
    return 1;
  }
  // A board found without a driver would stay so, though the installation said it succeeded.
  BindingWalk bindings = walk_bindings();
  if (!bindings.all_bound) {
    set_failure_message(failure, "The halvik driver was not installed on device %s.", bindings.unbound);
    return 1;
  }
  return keep_installed_files_at_restart(registered_inf, bindings.any_bound, failure);
}

namespace {

// The whole file behind an open handle into text; false when it can't be read.
bool read_whole_file(port::HANDLE file, std::string* text) {
  port::DWORD size = port::GetFileSize(file, nullptr);
  if (size == port::INVALID_FILE_SIZE) return false;
  text->assign(size, '\0');
  port::DWORD read = 0;
  if (size != 0 && !port::ReadFile(file, text->data(), size, &read, nullptr)) return false;
  text->resize(read);
  return true;
}

// Every file the INF copies, looked for beside it before anything changes: a package that lacks
// one (a copy cut short, a binary an antivirus took away) would have the driver update ask for
// the disk, and in a run without anyone at the console nobody answers.  0, or 1 with the first
// missing file named.
int check_copied_files(const char* full_path, const std::string& inf_text, FailureInfo* failure) {
  std::vector<std::string> files;
  // An INF setup can't read is for the driver update to refuse; there is nothing to look for.
  if (!inf_copied_files(inf_text.data(), inf_text.size(), &files)) return 0;
  const char* name = std::strrchr(full_path, '\\');
  std::string folder(full_path, name == nullptr ? 0 : static_cast<std::size_t>(name - full_path) + 1);
  for (const std::string& file : files) {
    std::string path = folder + file;
    port::DWORD error = port::ERROR_FILENAME_EXCED_RANGE;
    if (path.size() < port::MAX_PATH) {
      port::HANDLE handle = port::CreateFileA(path.c_str(), port::GENERIC_READ, port::FILE_SHARE_READ,
                                              nullptr, port::OPEN_EXISTING, 0, nullptr);
      if (handle != port::INVALID_HANDLE_VALUE) {
        port::CloseHandle(handle);
        continue;
      }
      error = port::GetLastError();
    }
    set_failure_context(failure, "Unable to read the driver package file %s", path.c_str());
    failure->code = error;
    return 1;
  }
  return 0;
}

}  // namespace

int check_driver_package(const char* inf_path, FailureInfo* failure) {
  char full_path[port::MAX_PATH];
  if (!full_inf_path(inf_path, full_path)) {
    failure->context = "Failed to locate the INF";
    failure->code = port::GetLastError();
    return 1;
  }
  port::HANDLE file = port::CreateFileA(full_path, port::GENERIC_READ, port::FILE_SHARE_READ, nullptr,
                                        port::OPEN_EXISTING, 0, nullptr);
  std::string text;
  bool read = file != port::INVALID_HANDLE_VALUE && read_whole_file(file, &text);
  // Taken before the handle is closed, which may set an error of its own.
  port::DWORD error = port::GetLastError();
  if (file != port::INVALID_HANDLE_VALUE) port::CloseHandle(file);
  if (!read) {
    set_failure_context(failure, "Unable to read the driver package %s", full_path);
    failure->code = error;
    return 1;
  }
  return check_copied_files(full_path, text, failure);
}

bool full_inf_path(const char* inf_path, char* full_path) {
  full_path[0] = '\0';
  port::DWORD length = port::GetFullPathNameA(inf_path, port::MAX_PATH, full_path, nullptr);
  // 0 means the path could not be formed at all; the buffer then holds nothing usable.
  if (length == 0 || length >= port::MAX_PATH) {
    full_path[0] = '\0';
    // A path too long is no failure of the call, whose last error says nothing: say what it is.
    if (length != 0) port::SetLastError(port::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

int hardware_class_installed() {
  port::DWORD capacity = 128;
  auto* guids = static_cast<port::GUID*>(std::malloc(capacity * sizeof(port::GUID)));
  if (guids == nullptr) return 0;
  port::DWORD count = 0;
  while (!port::SetupDiBuildClassInfoListExA(0, guids, capacity, &count, nullptr, nullptr)) {
    // Taken before the list is freed, which may set an error of its own.
    port::DWORD error = port::GetLastError();
    std::free(guids);
    if (error != port::ERROR_INSUFFICIENT_BUFFER || count == 0) return 0;
    capacity = count;
    guids = static_cast<port::GUID*>(std::malloc(capacity * sizeof(port::GUID)));
    if (guids == nullptr) return 0;
  }
  if (count > capacity) count = capacity;

  int installed = 0;
  for (port::DWORD i = 0; i < count && installed == 0; ++i) {
    char name[port::MAX_CLASS_NAME_LEN] = "";
    if (!port::SetupDiClassNameFromGuidExA(&guids[i], name, sizeof(name), nullptr, nullptr, nullptr)) {
      std::strcpy(name, "?");
    }
    name[sizeof(name) - 1] = '\0';
    char description[port::LINE_LEN] = "";
    if (!port::SetupDiGetClassDescriptionExA(&guids[i], description, sizeof(description), nullptr, nullptr,
                                             nullptr)) {
      std::strcpy(description, name);
    }
    description[sizeof(description) - 1] = '\0';
    if (equal_ignoring_letter_case(description, kTessaridgeClassDescription)) installed = 1;
  }
  std::free(guids);
  return installed;
}

bool keep_class_installer_quiet(port::HDEVINFO set, port::SP_DEVINFO_DATA* device) {
  if (interactive != 0) return true;
  port::SP_DEVINSTALL_PARAMS_A params{};
  params.cbSize = sizeof(params);
  if (!port::SetupDiGetDeviceInstallParamsA(set, device, &params)) return false;
  params.Flags |= port::DI_QUIETINSTALL;
  return port::SetupDiSetDeviceInstallParamsA(set, device, &params) != port::FALSE;
}

int update_driver_for_hardware_id(const char* hardware_id, const char* inf_path) {
  if (hardware_id == nullptr) return kUpdateNoHardwareId;
  char full_path[port::MAX_PATH];
  if (!full_inf_path(inf_path, full_path)) return kUpdateFailed;
  // Without anyone to answer, the update fails where it would ask (for a disk, about a driver's
  // signature) instead of waiting for ever.  Windows 2000 knows no such flag and refuses the
  // call with it; there the package check, which found every file the update copies, is what
  // keeps it from asking for a disk.
  port::DWORD flags = 0;
  if (interactive == 0) {
    port::OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (port::GetVersionExA(&info) && info.dwPlatformId == port::VER_PLATFORM_WIN32_NT &&
        (info.dwMajorVersion > 5 || (info.dwMajorVersion == 5 && info.dwMinorVersion >= 1)))
      flags = port::INSTALLFLAG_NONINTERACTIVE;
  }
  port::BOOL restart = port::FALSE;
  if (!port::UpdateDriverForPlugAndPlayDevicesA(nullptr, hardware_id, full_path, flags, &restart))
    return kUpdateFailed;
  return restart ? kUpdatedRestartNeeded : kUpdated;
}

int copy_oem_inf(const char* full_inf_path_text, char* registered_name) {
  char destination[port::MAX_PATH] = "";
  char* name = nullptr;
  bool named = registered_name != nullptr;
  if (!port::SetupCopyOEMInfA(full_inf_path_text, nullptr, port::SPOST_PATH, 0, named ? destination : nullptr,
                              named ? port::MAX_PATH : 0, nullptr, named ? &name : nullptr))
    return 2;
  if (named) std::snprintf(registered_name, port::MAX_PATH, "%s", name != nullptr ? name : "");
  return 0;
}

int create_root_device_node(const char* hardware_id, const char* inf_path, port::DWORD* code) {
  if (hardware_id == nullptr) return kUpdateFailed;
  char full_path[port::MAX_PATH];
  if (!full_inf_path(inf_path, full_path)) return kUpdateFailed;

  // A REG_MULTI_SZ with one entry: the ID, its terminator and the list's terminator.
  char hardware_id_list[port::MAX_PATH] = {};
  std::strncpy(hardware_id_list, hardware_id, 255);

  int result = kUpdateFailed;
  port::HDEVINFO set = port::INVALID_HANDLE_VALUE;
  port::GUID class_guid{};
  char class_name[port::MAX_CLASS_NAME_LEN] = "";
  if (port::SetupDiGetINFClassA(full_path, &class_guid, class_name, sizeof(class_name), nullptr)) {
    set = port::SetupDiCreateDeviceInfoList(&class_guid, nullptr);
  }
  if (set != port::INVALID_HANDLE_VALUE &&
      register_device_node(set, class_guid, class_name, hardware_id_list)) {
    result = update_driver_for_hardware_id(hardware_id, inf_path);
  }
  // An update that succeeded but asks for a restart left no error of its own.
  *code = result == kUpdatedRestartNeeded ? port::ERROR_SUCCESS_REBOOT_REQUIRED : port::GetLastError();
  if (set != port::INVALID_HANDLE_VALUE) port::SetupDiDestroyDeviceInfoList(set);
  return result;
}

int rescan_device_tree(port::DWORD* code) {
  port::DEVINST root = 0;
  port::CONFIGRET result =
      port::CM_Locate_DevNode_ExA(&root, nullptr, port::CM_LOCATE_DEVNODE_NORMAL, nullptr);
  if (result == port::CR_SUCCESS)
    result = port::CM_Reenumerate_DevNode_Ex(root, port::CM_REENUMERATE_SYNCHRONOUS, nullptr);
  if (result != port::CR_SUCCESS) *code = win32_error_of(result);
  // Boards found by the re-enumeration get their driver in the background; give that time
  // to finish before the installer reports back.
  wait_for_pending_installs();
  return result == port::CR_SUCCESS ? 0 : 2;
}

int wait_for_pending_installs() {
  // setupapi is loaded by its full path in the system directory, never searched for: a
  // setupapi.dll beside the program or in the current directory must not run in it.
  static const char kSetupapi[] = "\\setupapi.dll";
  char path[port::MAX_PATH];
  port::DWORD length = port::GetSystemDirectoryA(path, port::MAX_PATH);
  if (length == 0 || length + sizeof kSetupapi > sizeof path) return 2;
  std::memcpy(path + length, kSetupapi, sizeof kSetupapi);
  port::HMODULE setupapi = port::LoadLibraryExA(path, nullptr, port::LOAD_WITH_ALTERED_SEARCH_PATH);
  if (setupapi == nullptr) return 2;
  int result = 2;
  if (port::FARPROC proc = port::GetProcAddress(setupapi, "CMP_WaitNoPendingInstallEvents")) {
    auto wait = reinterpret_cast<port::WaitNoPendingInstallEventsProc>(proc);
    result = wait(kPendingInstallTimeoutMs) == 0 ? 0 : 2;
  }
  port::FreeLibrary(setupapi);
  return result;
}

bool windows_version_is(int version, int service_pack_major) {
  port::OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  int code = 8;
  int service_pack = 0;
  if (port::GetVersionExA(&info)) {
    code = version_code(info);
    service_pack = info.wServicePackMajor;
  }
  return code == version && service_pack == service_pack_major;
}
