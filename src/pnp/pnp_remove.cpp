// Removal of the Plug and Play driver package.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_deletion.h"
#include "common/letter_case.h"
#include "common/report.h"
#include "config/driver_config.h"
#include "config/memory_adjustment.h"
#include "delegate/delegate.h"
#include "platform/port.h"
#include "pnp/device_walk.h"
#include "pnp/hardware_ids.h"
#include "pnp/inf_ownership.h"
#include "pnp/pnp.h"
#include "pnp/pnp_steps.h"
#include "service/service_control.h"

namespace {

constexpr port::LSTATUS kSuccess = static_cast<port::LSTATUS>(port::ERROR_SUCCESS);

// A string value into a MAX_PATH buffer.  The value's type is not looked at; a value that
// does not fit, terminator included, counts as missing.
bool read_path_value(port::HKEY key, const char* name, char* text) {
  port::DWORD size = port::MAX_PATH;
  if (port::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<port::BYTE*>(text), &size) !=
      kSuccess) {
    text[0] = '\0';
    return false;
  }
  if (size < port::MAX_PATH) {
    text[size] = '\0';
  } else if (text[port::MAX_PATH - 1] != '\0') {
    text[0] = '\0';
    return false;
  }
  return true;
}

// DriverDesc of a class instance contains "morvellan", in either case.
bool is_package_instance(port::HKEY instance) {
  char description[port::MAX_PATH];
  if (!read_path_value(instance, "DriverDesc", description)) return false;
  return find_ignoring_letter_case(description, "morvellan") != nullptr;
}

// From *index on, the next instance subkey of the class key whose DriverDesc names the
// package: its name into subkey (a MAX_PATH buffer), *index at its position and the subkey
// open in *instance for the caller to close.  Subkeys that can't be opened or read are passed
// over.  false at the end of the list.
bool find_package_instance(port::HKEY class_key, port::DWORD* index, char* subkey, port::HKEY* instance) {
  for (;; ++*index) {
    port::DWORD size = port::MAX_PATH;
    if (port::SHEnumKeyExA(class_key, *index, subkey, &size) != kSuccess) return false;
    if (port::RegOpenKeyExA(class_key, subkey, 0, port::KEY_ALL_ACCESS, instance) != kSuccess) continue;
    if (is_package_instance(*instance)) return true;
    port::RegCloseKey(*instance);
  }
}

// The instance's InfPath and the PNF name that goes with it; both empty, and false, when the
// value is missing or names anything but a file of the INF directory.
bool read_inf_name(port::HKEY instance, char* inf_name, char* pnf_name) {
  if (read_path_value(instance, "InfPath", inf_name) && is_plain_file_name(inf_name)) {
    pnf_name_for(inf_name, pnf_name);
    return true;
  }
  inf_name[0] = '\0';
  pnf_name[0] = '\0';
  return false;
}

// The INF the system registered for the first package instance of the first device class.
void read_first_inf_name(char* inf_name, char* pnf_name) {
  inf_name[0] = '\0';
  pnf_name[0] = '\0';
  port::HKEY class_key = nullptr;
  if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kFirstClassKeyPath, 0, port::KEY_ALL_ACCESS,
                          &class_key) != kSuccess) {
    return;
  }
  char subkey[port::MAX_PATH];
  port::HKEY instance = nullptr;
  for (port::DWORD index = 0; find_package_instance(class_key, &index, subkey, &instance); ++index) {
    bool found = read_inf_name(instance, inf_name, pnf_name);
    port::RegCloseKey(instance);
    if (found) break;
  }
  port::RegCloseKey(class_key);
}

// The INF registered for instance 0000 of the second device class.
void read_second_inf_name(char* inf_name, char* pnf_name) {
  inf_name[0] = '\0';
  pnf_name[0] = '\0';
  port::HKEY class_key = nullptr;
  if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kSecondClassKeyPath, 0, port::KEY_ALL_ACCESS,
                          &class_key) != kSuccess) {
    return;
  }
  port::HKEY instance = nullptr;
  if (port::RegOpenKeyExA(class_key, "0000", 0, port::KEY_ALL_ACCESS, &instance) == kSuccess) {
    read_inf_name(instance, inf_name, pnf_name);
    port::RegCloseKey(instance);
  }
  port::RegCloseKey(class_key);
}

}  // namespace

void read_registered_inf_names(RegisteredInfNames* names) {
  read_first_inf_name(names->first_inf, names->first_pnf);
  read_second_inf_name(names->second_inf, names->second_pnf);
}

namespace {

// "<root>\<directory>\<name>" into a MAX_PATH buffer; false when it does not fit, so that no
// shortened path is ever deleted.
bool windows_path(const char* root, const char* directory, const char* name, char* path) {
  int length = std::snprintf(path, port::MAX_PATH, "%s\\%s\\%s", root, directory, name);
  return length > 0 && length < static_cast<int>(port::MAX_PATH);
}

// What became of a file the removal deletes.
// package_kept: an INF whose published package the system would not take out.
enum class Deletion { gone, at_restart, stayed, package_kept };

// One file step of a removal: the restart it needs, and the files it has dealt with already
// and what became of each.  An INF named by the class keys is found again by the scan of the
// INF directory: a file is deleted, scheduled or named once, never twice.
struct HandledFile {
  std::string path;
  Deletion outcome;
};
struct FileRemoval {
  int* reboot_needed;
  std::vector<HandledFile> handled;
};

const HandledFile* handled_before(const FileRemoval* removal, const char* path) {
  for (const HandledFile& file : removal->handled) {
    if (equal_ignoring_letter_case(file.path.c_str(), path)) return &file;
  }
  return nullptr;
}

Deletion remember(FileRemoval* removal, const char* path, Deletion outcome) {
  removal->handled.push_back({path, outcome});
  return outcome;
}

Deletion delete_file(const char* path, FileRemoval* removal) {
  if (const HandledFile* before = handled_before(removal, path)) {
    return before->outcome == Deletion::package_kept ? Deletion::stayed : before->outcome;
  }
  switch (delete_or_schedule(path, false)) {
    case FileDeletion::gone:
      return remember(removal, path, Deletion::gone);
    case FileDeletion::at_restart:
      report_error("%s will be deleted when the system restarts.\n", path);
      *removal->reboot_needed = 1;
      return remember(removal, path, Deletion::at_restart);
    case FileDeletion::stayed:
      break;
  }
  report_error("Unable to delete %s\n", path);
  return remember(removal, path, Deletion::stayed);
}

Deletion delete_windows_file(const char* root, const char* directory, const char* name,
                             FileRemoval* removal) {
  char path[port::MAX_PATH];
  if (!windows_path(root, directory, name, path)) {
    report_error("Unable to delete %s\n", name);
    return Deletion::stayed;
  }
  return delete_file(path, removal);
}

enum class InfOwner { ours, not_ours, unreadable };

// Whether the INF file installs the package.  A file that isn't there is nobody's; one that
// can't be read is never taken for ours, but is named on standard error, since it may be one of
// ours that stays.
InfOwner inf_owner(const char* path) {
  port::HANDLE file = port::CreateFileA(path, port::GENERIC_READ, port::FILE_SHARE_READ, nullptr,
                                        port::OPEN_EXISTING, 0, nullptr);
  if (file == port::INVALID_HANDLE_VALUE) {
    port::DWORD error = port::GetLastError();
    if (error == port::ERROR_FILE_NOT_FOUND || error == port::ERROR_PATH_NOT_FOUND) return InfOwner::not_ours;
    report_error("Unable to read %s\n", path);
    return InfOwner::unreadable;
  }
  InfOwner owner = InfOwner::unreadable;
  port::DWORD size = port::GetFileSize(file, nullptr);
  // One more byte than the file, so that an empty file still gets a buffer.
  char* text = size == port::INVALID_FILE_SIZE ? nullptr : static_cast<char*>(std::malloc(size + 1ULL));
  port::DWORD read = 0;
  if (text != nullptr && port::ReadFile(file, text, size, &read, nullptr)) {
    owner = inf_installs_package(text, read) ? InfOwner::ours : InfOwner::not_ours;
  }
  std::free(text);
  port::CloseHandle(file);
  if (owner == InfOwner::unreadable) report_error("Unable to read %s\n", path);
  return owner;
}

// Whether Windows keeps a driver store (Vista and later): there a registered INF is only the
// published face of a package staged in the store, which puts the driver back on the boards at
// the next enumeration unless the package itself is taken out.
enum class DriverStore { none, present, unknown };

DriverStore driver_store_of_this_system() {
  port::OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!port::GetVersionExA(&info)) return DriverStore::unknown;
  return info.dwPlatformId == port::VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6 ? DriverStore::present
                                                                                      : DriverStore::none;
}

// Whether the name is one the system gives a package it publishes: oem<number>.inf.
bool is_published_inf_name(const char* name) {
  if (!equal_ignoring_letter_case(name, "oem", 3)) return false;
  const char* rest = name + 3;
  if (*rest < '0' || *rest > '9') return false;
  while (*rest >= '0' && *rest <= '9') ++rest;
  return equal_ignoring_letter_case(rest, ".inf");
}

// An INF of ours and its PNF.  Where there may be a driver store the system takes the package
// out, INF, PNF and staged files, even while devices still name it.  A published package
// (oemN.inf) that the system won't take out stays staged, and the next enumeration gives the
// boards the driver again: the INF stays and is named, and the removal has failed (the call's
// error comes back; 0 otherwise).
// Deleted alone it would leave the staged package without the name a later removal finds it
// by.  Where the call doesn't exist (Windows 2000), there is no store, or the name is no
// published package, the files are deleted, the PNF first: while it stays, the INF stays with
// it, so that a later removal still finds the pair by the INF's content.
port::DWORD delete_inf_pair(const char* root, const char* inf_name, const char* inf_path,
                            const char* pnf_name, DriverStore driver_store, FileRemoval* removal) {
  if (handled_before(removal, inf_path) != nullptr) return 0;  // its failure, if any, is counted
  if (driver_store != DriverStore::none) {
    if (port::SetupUninstallOEMInfA(inf_name, port::SUOI_FORCEDELETE, nullptr)) {
      remember(removal, inf_path, Deletion::gone);
      // Windows takes the PNF with the INF; Wine deletes the INF alone.
      if (pnf_name[0] != '\0') delete_windows_file(root, "inf", pnf_name, removal);
      return 0;
    }
    port::DWORD error = port::GetLastError();
    bool not_published = error == port::ERROR_NOT_AN_INSTALLED_OEM_INF && !is_published_inf_name(inf_name);
    if (error != port::ERROR_PROC_NOT_FOUND && error != port::ERROR_FILE_NOT_FOUND && !not_published) {
      report_error("Unable to delete %s\n", inf_path);
      remember(removal, inf_path, Deletion::package_kept);
      return error != 0 ? error : 31;  // ERROR_GEN_FAILURE: it failed without saying why
    }
  }
  if (pnf_name[0] != '\0' && delete_windows_file(root, "inf", pnf_name, removal) == Deletion::stayed)
    return 0;
  delete_file(inf_path, removal);
  return 0;
}

// An INF the registry names as ours, with its PNF.  The registry is only a pointer: the file
// goes only when it installs the package itself, so that a stray InfPath can never take a
// system INF with it.  0, or the error with which a published package of ours stayed.
port::DWORD delete_registered_inf(const char* root, const char* inf_name, const char* pnf_name,
                                  DriverStore driver_store, FileRemoval* removal) {
  char path[port::MAX_PATH];
  if (!is_plain_file_name(inf_name)) return 0;
  if (!windows_path(root, "inf", inf_name, path)) {
    report_error("Unable to delete %s\n", inf_name);
    return 0;
  }
  if (inf_owner(path) != InfOwner::ours) return 0;
  return delete_inf_pair(root, inf_name, path, pnf_name, driver_store, removal);
}

// Every INF of the system that installs the package, with its PNF; copies the system made
// under another name included.  Another vendor's INF that merely mentions a board of ours (a
// comment, a string) is not the package and stays, published package and all.  false when the
// list could not be allocated.  *stayed gets the error with which a published package of ours
// stayed, when one did.
bool delete_package_inf_files(const char* root, DriverStore driver_store, FileRemoval* removal,
                              port::DWORD* stayed) {
  port::DWORD size = 0;
  port::SetupGetInfFileListA(nullptr, port::INF_STYLE_WIN4, nullptr, 0, &size);
  auto* list = static_cast<char*>(std::calloc(size + 1ULL, 1));
  if (list == nullptr) return false;
  if (port::SetupGetInfFileListA(nullptr, port::INF_STYLE_WIN4, list, size, nullptr)) {
    for (port::DWORD offset = 0; offset < size && list[offset] != '\0';) {
      const char* name = list + offset;
      offset += static_cast<port::DWORD>(strnlen(name, size - offset)) + 1;
      char path[port::MAX_PATH];
      if (!is_plain_file_name(name) || !windows_path(root, "inf", name, path)) continue;
      if (inf_owner(path) != InfOwner::ours) continue;
      char pnf_name[port::MAX_PATH];
      if (!pnf_name_for(name, pnf_name)) pnf_name[0] = '\0';
      port::DWORD error = delete_inf_pair(root, name, path, pnf_name, driver_store, removal);
      if (*stayed == 0) *stayed = error;
    }
  } else {
    // Copies of our INF under other names may stay; a later removal looks again.
    report_error("Unable to list the INF files of %s\\inf\n", root);
  }
  std::free(list);
  return true;
}

}  // namespace

int remove_pnp_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  clear_failure(failure);
  *memory_outcome = 0;
  *reboot_needed = 0;

  int status = 0;
  if (delegate_to_x64(kX64Remove, nullptr, 0, reboot_needed, failure, &status) != 0) return status;

  return remove_pnp_components(memory_outcome, reboot_needed, failure);
}

int remove_pnp_components(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  if (host_service_blocks_removal(failure)) return 1;

  // The names are read before the registry step deletes the keys that hold them.
  RegisteredInfNames names;
  read_registered_inf_names(&names);

  // A restoration that finds no bookkeeping of ours is no reason to keep the driver; one that
  // can't undo an adjustment of ours is: deleting the service key would lose its bookkeeping.
  if (restore_memory_adjustment(memory_outcome, reboot_needed, failure) == kAdjustmentStuck) return 1;

  int result = 0;
  // Every device node of the boards, present or not: a board that was out during the removal
  // would come back with its old binding.  One list serves all rows.
  DeviceWalk walk;
  open_device_walk(0, supported_hardware_ids, supported_hardware_id_count, &walk);
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row) {
    const char* id = supported_hardware_ids[row];
    int removed = remove_devices_of_row(&walk, row);
    if (removed == kWalkAllVisited || removed == kWalkNothingMatched) continue;
    if (!has_text(failure->context)) {
      failure->context = "An error occurred while uninstalling one of the devices";
      failure->code = port::GetLastError();
    }
    result |= removed;
    if (verbose) report_output("An error occurred while uninstalling device: %s\n", id);
  }
  close_device_walk(&walk);

  // A service that can't be deleted is reported, but the devices are gone already and the
  // removal counts by them; a service manager that can't even be asked fails the removal, and
  // so does a package the system keeps staged: the next enumeration would bring the driver back.
  port::DWORD package_stayed = 0;
  if (remove_service_and_files(names.second_inf, names.second_pnf, names.first_inf, names.first_pnf,
                               reboot_needed, failure, &package_stayed) == kServiceManagerUnavailable) {
    result |= 1;
  }
  if (package_stayed != 0) {
    if (!has_text(failure->context)) {
      failure->context = "Failed to remove the driver package";
      failure->code = package_stayed;
    }
    result |= 1;
  }
  return result;
}

int remove_devices_of_row(DeviceWalk* devices, std::uint32_t row) {
  RemovalWalk walk{0};
  int result = walk_row(devices, row, remove_device_visitor, &walk, true);
  // A walk that failed by itself left its own error; a failed removal left it in the context.
  if (result == kWalkFailed && walk.error == 0) walk.error = port::GetLastError();
  port::SetLastError(walk.error);
  return result;
}

int remove_device_visitor(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, std::uint32_t, void* context) {
  auto* walk = static_cast<RemovalWalk*>(context);
  port::SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
  detail.cbSize = sizeof(detail);
  char instance_id[port::MAX_DEVICE_ID_LEN + 1] = {};
  // A device that can't even be named is still a device of ours that stays: the walk for this
  // ID ends with it, as it does for a failed removal, and the removal reports it.
  if (!port::SetupDiGetDeviceInfoListDetailA(set, &detail)) {
    walk->error = port::GetLastError();
    return 2;
  }
  port::CONFIGRET named = port::CM_Get_Device_ID_ExA(device->DevInst, instance_id, port::MAX_DEVICE_ID_LEN, 0,
                                                     detail.RemoteMachineHandle);
  if (named != port::CR_SUCCESS) {
    walk->error = win32_error_of(named);
    return 2;
  }
  // Every device has an ID: an empty one "read" (Wine's configuration manager answers so) is
  // asked of the list instead, so that the lines below name the device.
  if (instance_id[0] == '\0' &&
      !port::SetupDiGetDeviceInstanceIdA(set, device, instance_id, sizeof instance_id, nullptr))
    instance_id[0] = '\0';

  port::SP_REMOVEDEVICE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(port::SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = port::DIF_REMOVE;
  params.Scope = port::DI_REMOVEDEVICE_GLOBAL;
  params.HwProfile = 0;
  // A request that goes out without its parameters removes the device from the whole system,
  // the scope asked for here: parameters the system won't take (Wine's SetupAPI takes none, and
  // says so with a stale last error) must not keep a device of ours, with or without a driver,
  // on the machine for good.
  port::SetupDiSetClassInstallParamsA(set, device, &params.ClassInstallHeader, sizeof(params));
  if (!keep_class_installer_quiet(set, device) || !port::SetupDiCallClassInstaller(port::DIF_REMOVE, set, device)) {
    walk->error = port::GetLastError();
    if (verbose) report_output("%-60s: %s\n", instance_id, "removal failure");
    return 2;
  }
  if (verbose) report_output("Removed Device: %-60s\n", instance_id);
  return 0;
}

int remove_service_and_files(const char* second_inf, const char* second_pnf, const char* first_inf,
                             const char* first_pnf, int* reboot_needed, FailureInfo* failure,
                             port::DWORD* package_stayed) {
  if (verbose) report_output("Removing the halvik service...\n");
  int result = 0;
  port::SC_HANDLE manager = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
  if (manager != nullptr) {
    result = stop_and_delete_service(manager, reboot_needed, failure);
    port::CloseServiceHandle(manager);
  } else {
    // The service stays registered: say so, unless an earlier failure is already the report.
    if (!has_text(failure->context)) {
      failure->context = "OpenSCManager";
      failure->code = port::GetLastError();
    }
    result = kServiceManagerUnavailable;
  }
  *package_stayed = delete_pnp_files(second_inf, second_pnf, first_inf, first_pnf, reboot_needed);
  delete_pnp_registry_keys(result != 0);
  return result;
}

port::DWORD delete_pnp_files(const char* second_inf, const char* second_pnf, const char* first_inf,
                             const char* first_pnf, int* reboot_needed) {
  if (verbose) report_output("Removing the Quillant(R) Tessaridge(R) PnP components...\n");

  // The Windows directory is read once: every path below is built from the same root.
  const char* windows = port::getenv("SystemRoot");
  char root[port::MAX_PATH];
  if (windows == nullptr || windows[0] == '\0' || std::strlen(windows) >= sizeof root) {
    report_error("%s",
                 "Unable to delete the driver's files: the Windows directory (SystemRoot) is unknown.\n");
    return 0;
  }
  std::strcpy(root, windows);

  DriverStore driver_store = driver_store_of_this_system();
  FileRemoval removal{reboot_needed, {}};
  port::DWORD stayed = delete_registered_inf(root, second_inf, second_pnf, driver_store, &removal);
  port::DWORD error = delete_registered_inf(root, first_inf, first_pnf, driver_store, &removal);
  if (stayed == 0) stayed = error;

  if (!delete_package_inf_files(root, driver_store, &removal, &stayed)) return stayed;

  for (const DriverFile& file : kDriverFiles) delete_windows_file(root, file.directory, file.name, &removal);
  return stayed;
}

namespace {

// SHDeleteKeyA's status; a key that can't be deleted stays and is named on standard error.
port::LSTATUS delete_key(port::HKEY parent, const char* parent_path, const char* path) {
  port::LSTATUS status = port::SHDeleteKeyA(parent, path);
  if (status != kSuccess && status != static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) {
    report_error("Unable to delete HKEY_LOCAL_MACHINE\\%s%s%s\n", parent_path,
                 parent_path[0] != '\0' ? "\\" : "", path);
  }
  return status;
}

}  // namespace

void delete_pnp_registry_keys(bool keep_service_key) {
  if (verbose) report_output("Removing registry entries...\n");

  port::HKEY class_key = nullptr;
  if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kFirstClassKeyPath, 0, port::KEY_ALL_ACCESS,
                          &class_key) == kSuccess) {
    char subkey[port::MAX_PATH];
    port::HKEY instance = nullptr;
    for (port::DWORD index = 0; find_package_instance(class_key, &index, subkey, &instance);) {
      port::RegCloseKey(instance);
      // After a deletion the following subkeys move up to this index.  A subkey that can't be
      // deleted stays where it is, so the scan steps past it instead of finding it forever.
      if (delete_key(class_key, kFirstClassKeyPath, subkey) != kSuccess) ++index;
    }
    port::RegCloseKey(class_key);
  }
  delete_key(port::HKEY_LOCAL_MACHINE, "", kSecondClassKeyPath);
  // A service that is still registered keeps its key, and with it the driver's parameters
  // and memory bookkeeping, for the removal that finishes the job.
  if (!keep_service_key) delete_key(port::HKEY_LOCAL_MACHINE, "", kServiceKeyPath);
}

bool is_plain_file_name(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (std::strpbrk(name, "\\/:") != nullptr) return false;
  return std::strstr(name, "..") == nullptr;
}

bool pnf_name_for(const char* inf_name, char* pnf_name) {
  pnf_name[0] = '\0';
  // The system writes ".inf" in lower case, but a name typed by hand or copied by another
  // tool may say ".INF"; fall back to a search that ignores case.  A name without the
  // extension at all has no PNF to go with it.
  const char* extension = std::strstr(inf_name, ".inf");
  if (extension == nullptr) extension = find_ignoring_letter_case(inf_name, ".inf");
  if (extension == nullptr || extension == inf_name) return false;
  auto stem_length = static_cast<int>(extension - inf_name);
  int length = std::snprintf(pnf_name, port::MAX_PATH, "%.*s.pnf", stem_length, inf_name);
  if (length <= 0 || length >= static_cast<int>(port::MAX_PATH)) {
    pnf_name[0] = '\0';
    return false;
  }
  return true;
}
