// The imported machine's drives: the folders the program uses, and stand-ins of the files no
// export holds (the package, the services' images, the INF files the setup classes name).
// Files the administrator already put on its drives stay as they are.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/services/services.h"
#include "platform/sim/templates/package_inf.h"
#include "platform/sim/templates/templates.h"
#include "steps.h"

namespace halvik_sim::importer {

using namespace sim::internal;

namespace {

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

// The folders the program uses, the program itself, and the Temp folders Windows keeps for its
// services.
void make_folders(const Import& run) {
  const std::string& dir = run.dir;
  const std::string& system_root = run.system.system_root;
  const std::string& version = run.system.version;
  for (const std::string& folder :
       {system_root + "\\inf", system_root + "\\system32\\drivers", system_root + "\\Temp",
        std::string(kPackageDir) + "\\install", run.environment.names.at("PROGRAMFILES")})
    make_folder(dir, folder);
  put_file(dir, std::string(kPackageDir) + "\\install\\install.exe", kInstallStandIn);
  if (run.system.wow64) make_folder(dir, system_root + "\\SysWOW64\\drivers");
  for (const std::string& folder : local_system_temp_folders(
           static_cast<int>(std::strtol(version.c_str(), nullptr, 10)), run.system.wow64))
    make_folder(dir, system_root + "\\" + folder);
  // Windows Vista and later keep their driver store there.
  if (std::strtoul(version.c_str(), nullptr, 10) >= 6)
    make_folder(dir, system_root + "\\System32\\DriverStore\\FileRepository");
}

// Every service's image, so that those the export records as started start again at the
// restart (a driver without ImagePath is System32\drivers\NAME.sys).  A stand-in: no export
// holds the file.
void put_service_images(Key* hklm, const Import& run) {
  Key* services = find_key(hklm, kServices);
  if (services == nullptr) return;
  for (Key* service : services->subkeys) {
    DWORD type = 0;
    if (!dword_value(service, "Type", &type)) continue;
    std::string image = string_value(service, "ImagePath");
    if (image.empty() && (type & 0x3) != 0)
      image = "System32\\drivers\\" + std::string(service->name) + ".sys";
    if (image.empty()) continue;
    put_file(run.dir, image_file_of(expand(image, run.environment.names), run.system.system_root),
             "MZ stand-in image of the service " + std::string(service->name) +
                 " (written by halvik-sim import)\n");
  }
}

// The driver package as it is unpacked, and the 64-bit counterpart on AMD64.
void put_package(const Import& run) {
  for (const PackageFile& file : package_files()) put_file(run.dir, file.path, file.content);
  if (run.system.wow64)
    put_file(run.dir, std::string(kPackageDir) + "\\install\\installx64.exe", kInstallx64StandIn);
}

// Each oemN.inf the class keys name, with its precompiled PNF.
void put_oem_infs(const Import& run) {
  std::map<std::string, std::vector<const ClassInstance*>> infs;  // upper-case name -> instances
  for (const ClassInstance& instance : run.instances) {
    std::string name = upper(instance.inf_path);
    if (name.rfind("OEM", 0) == 0 && name.size() > 7 && name.substr(name.size() - 4) == ".INF")
      infs[name].push_back(&instance);
  }
  const std::string inf_dir = run.system.system_root + "\\inf\\";
  for (const auto& [upper_name, uses] : infs) {
    const std::string& name = uses.front()->inf_path;
    put_file(run.dir, inf_dir + name, stand_in_inf(name, uses));
    put_file(run.dir, inf_dir + name.substr(0, name.size() - 4) + ".PNF",
             std::string("PNF\x01\x01\x02\x03 ", 8) + name + " precompiled (stand-in)");
  }
}

}  // namespace

bool make_drives(Key* hklm, const Import& run, std::string* error) {
  std::error_code fs_error;
  std::filesystem::create_directories(run.dir, fs_error);
  if (fs_error) {
    *error = "cannot create " + run.dir + ": " + fs_error.message();
    return false;
  }
  make_folders(run);
  put_service_images(hklm, run);
  for (const char* name : {"TEMP", "TMP"}) {
    auto found = run.environment.names.find(name);
    if (found != run.environment.names.end()) make_folder(run.dir, found->second);
  }
  put_package(run);
  put_oem_infs(run);
  return true;
}

}  // namespace halvik_sim::importer
