// The driver store of Windows Vista and later on the simulated machine: packages staged under
// System32\DriverStore\FileRepository in folders named after their INF, and SetupUninstallOEMInf's
// work on the INF directory and the store.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/devices/detail.h"
#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace sim::devices {

using internal::iequals;
using internal::lower;
using internal::upper;

bool has_driver_store() {
  const internal::Ini& ini = internal::machine().ini;
  std::string version = ini.get_or("system", "version", "5.1");
  return ini.get_or("system", "platform", "2") == "2" && std::strtoul(version.c_str(), nullptr, 10) >= 6;
}

std::string driver_store_dir() {
  return windows_dir() + "\\System32\\DriverStore\\FileRepository";
}

std::string file_name_of(const std::string& windows_path) {
  std::size_t slash = windows_path.find_last_of("\\/");
  return slash == std::string::npos ? windows_path : windows_path.substr(slash + 1);
}

namespace {

// Stands in for the hash Windows names a staged package by: the same INF gives the same folder.
std::string package_hash(const std::string& content) {
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (unsigned char c : content) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace

std::vector<std::string> staged_infs() {
  std::vector<std::string> out;
  std::string store = host(driver_store_dir());
  std::error_code error;
  if (store.empty() || !std::filesystem::is_directory(store, error)) return out;
  std::vector<std::string> folders;
  for (const auto& entry : std::filesystem::directory_iterator(store, error)) {
    if (entry.is_directory(error)) folders.push_back(entry.path().filename().string());
  }
  std::sort(folders.begin(), folders.end(),
            [](const std::string& a, const std::string& b) { return upper(a) < upper(b); });
  for (const std::string& folder : folders) {
    // The folder is named after its INF: NAME.inf_ARCH_HASH.
    std::size_t end = upper(folder).find(".INF_");
    if (end == std::string::npos) continue;
    std::string inf = driver_store_dir() + "\\" + folder + "\\" + folder.substr(0, end + 4);
    if (file_present(inf)) out.push_back(inf);
  }
  return out;
}

DWORD stage_package(const std::string& full_inf_path, const std::string& content, std::string* staged_inf) {
  std::string name = file_name_of(full_inf_path);
  std::string dir = driver_store_dir() + "\\" + lower(name) + "_" + platform() + "_" + package_hash(content);
  *staged_inf = dir + "\\" + name;
  if (iequals(directory_of(full_inf_path), dir)) return port::ERROR_SUCCESS;  // staged already
  // The package's files keep their places relative to the INF.
  inf::Inf parsed = inf::parse(content);
  std::string source_dir = directory_of(full_inf_path);
  std::vector<FileCopy> copies;
  for (const std::string& section : {std::string("SourceDisksFiles"), "SourceDisksFiles." + platform()}) {
    const inf::Section* files = parsed.section(section);
    if (files == nullptr) continue;
    for (const inf::Line& line : files->lines) {
      if (!line.has_key) continue;
      std::string source = source_file(parsed, line.key, source_dir);
      if (!file_present(source) || source.size() <= source_dir.size()) return port::ERROR_FILE_NOT_FOUND;
      copies.push_back({source, dir + source.substr(source_dir.size())});
    }
  }
  if (!write_windows_file(*staged_inf, content)) return port::ERROR_ACCESS_DENIED;
  for (const FileCopy& copy : copies) {
    if (!copy_file(copy)) return port::ERROR_ACCESS_DENIED;
  }
  return port::ERROR_SUCCESS;
}

DWORD uninstall_oem_inf(const std::string& name, bool force) {
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) return port::ERROR_INVALID_PARAMETER;
  // Only an INF that SetupCopyOEMInf installed (oemN.inf) can be uninstalled: one of the
  // system's own, or a name that isn't there, is not an installed OEM INF.
  bool oem_name = name.size() > 7 && iequals(name.substr(0, 3), "oem") &&
                  iequals(name.substr(name.size() - 4), ".inf") &&
                  std::all_of(name.begin() + 3, name.end() - 4, [](char c) { return c >= '0' && c <= '9'; });
  std::string inf_path = inf_dir() + "\\" + name;
  std::string content;
  if (!oem_name || !read_windows_file(inf_path, &content)) return kErrorNotAnInstalledOemInf;
  // A device installed from the INF keeps it, present or not, unless the removal is forced.
  if (Key* classes = force ? nullptr : key_at(kClassKey)) {
    for (Key* class_key : classes->subkeys) {
      for (Key* instance : class_key->subkeys) {
        if (iequals(sz_text(instance->find_value("InfPath")), name)) return kErrorInfInUseByDevices;
      }
    }
  }
  std::error_code error;
  std::filesystem::remove(host(inf_dir() + "\\" + base_name(name) + ".pnf"), error);
  std::filesystem::remove(host(inf_path), error);
  if (has_driver_store()) {
    for (const std::string& staged : staged_infs()) {
      std::string bytes;
      if (read_windows_file(staged, &bytes) && bytes == content) {
        std::filesystem::remove_all(host(directory_of(staged)), error);
      }
    }
  }
  return port::ERROR_SUCCESS;
}

}  // namespace sim::devices
