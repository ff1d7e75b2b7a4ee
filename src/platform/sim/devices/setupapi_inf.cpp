// SetupAPI's setup classes and INF files on the simulated machine: the class list, names and
// descriptions, an INF's class, the INF directory's list, and copying an INF into the store and
// uninstalling it (devices.cpp and drivers.cpp do the work).
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/devices/device_calls.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/wow64/wow64.h"

namespace port {

using namespace device_calls;

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

}  // namespace port
