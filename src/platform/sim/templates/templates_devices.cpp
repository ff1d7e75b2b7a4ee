// The device side of the machine templates: the driver package at C:\Tessaridge\pnp on every
// machine, the boards of `xp`, `w2k` and `amd64`, and two more templates:
//
//   amd64      Windows 7 SP1 (6.1.7601) on an AMD64 processor, C:\Windows, installx64.exe
//              beside the installer, two boards without a driver.
//   leftovers  Windows XP with an older installation left behind: both device class keys with
//              instances whose INF files are oem3.inf and oem4.inf, those files (and their .PNF)
//              in the INF directory, another INF that names a board, one that names a board
//              only in UTF-16, the DLLs and driver file, the halvik service with its Parameters,
//              and %SystemRoot%\halvik.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/devices/devices.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"
#include "platform/sim/templates/package_inf.h"
#include "platform/sim/templates/templates.h"

namespace sim::internal {

namespace {

constexpr char kTessaridgeClass[] = "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}";
constexpr char kOlderClass[] = "{9E21C4B7-0A3D-4F88-B61E-D4075A2C93E8}";
constexpr char kSystemClass[] = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";
constexpr char kLegacyClass[] = "{8ECC055D-047F-11D1-A537-0000F8753ED1}";

// A board as a template puts it in: its PCI identity and where it sits.
struct PciBoard {
  const char* vendor;      // "1E5C"
  const char* device;      // "0410"
  const char* subsystem;   // "00011E5C"
  const char* revision;    // "01"
  const char* class_code;  // "118000"
  const char* location;    // "4&1F2E3D&0&0008"
};

// Rows 1 and 2 of the supported hardware IDs, and a board of row 4 for the older installation.
constexpr PciBoard kFirstBoard{"1E5C", "0410", "00011E5C", "01", "118000", "4&1F2E3D&0&0008"};
constexpr PciBoard kSecondBoard{"1E5C", "0410", "00021E5C", "01", "118000", "4&1F2E3D&0&0010"};
constexpr PciBoard kOlderBoard{"1E5C", "0420", "00021E5C", "02", "118000", "4&1F2E3D&0&0018"};
// Not ours: the chipset's PCI bridge, with its own driver, which nothing here may touch.
constexpr PciBoard kBridge{"8086", "244E", "00000000", "C1", "060401", "3&267A616A&0&F0"};

// The IDs Windows' PCI bus driver gives a function, most specific first.
Board pci_board(const PciBoard& pci) {
  std::string ven_dev = std::string("PCI\\VEN_") + pci.vendor + "&DEV_" + pci.device;
  std::string cc = pci.class_code;
  Board board;
  board.instance_id = ven_dev + "&SUBSYS_" + pci.subsystem + "&REV_" + pci.revision + "\\" + pci.location;
  board.hardware_ids = {ven_dev + "&SUBSYS_" + pci.subsystem + "&REV_" + pci.revision,
                        ven_dev + "&SUBSYS_" + pci.subsystem, ven_dev + "&CC_" + cc,
                        ven_dev + "&CC_" + cc.substr(0, 4)};
  board.compatible_ids = {ven_dev + "&REV_" + pci.revision,
                          ven_dev,
                          std::string("PCI\\VEN_") + pci.vendor + "&CC_" + cc,
                          std::string("PCI\\VEN_") + pci.vendor + "&CC_" + cc.substr(0, 4),
                          std::string("PCI\\VEN_") + pci.vendor,
                          "PCI\\CC_" + cc,
                          "PCI\\CC_" + cc.substr(0, 4)};
  return board;
}

std::vector<std::uint8_t> sz(const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

std::vector<std::uint8_t> dword(DWORD value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

void set_sz(Key* key, const std::string& name, const std::string& text) {
  key->set_value(name, port::REG_SZ, sz(text));
}
void set_dword(Key* key, const std::string& name, DWORD value) {
  key->set_value(name, port::REG_DWORD, dword(value));
}

std::string windows_root(Machine& m) {
  std::string root = m.ini.get_or("environment", "SystemRoot", "C:\\WINDOWS");
  return root.empty() ? "C:\\WINDOWS" : root;
}

// A file on drive C of the machine being built; `path` is a Windows path on C:.
void put_file(Machine& m, const std::string& path, const std::string& content) {
  std::string relative = path.substr(3);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::filesystem::path host = std::filesystem::path(m.dir) / "drive_c" / relative;
  std::error_code ignored;
  std::filesystem::create_directories(host.parent_path(), ignored);
  std::ofstream(host, std::ios::binary) << content;
}

// A folder on drive C of the machine being built, with the folders on its way.
void put_folder(Machine& m, const std::string& path) {
  std::string relative = path.substr(3);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(m.dir) / "drive_c" / relative, ignored);
}

// The board in [hardware] and its node, not yet with a driver.
void add_board(Machine& m, const Board& board) {
  std::string value;
  for (const std::string& id : board.hardware_ids) value += (value.empty() ? "" : ",") + id;
  std::string compatible;
  for (const std::string& id : board.compatible_ids) compatible += (compatible.empty() ? "" : ",") + id;
  if (!compatible.empty()) value += " ; compatible = " + compatible;
  m.ini.set("hardware", board.instance_id, value);
  Key* node = create_key(m.hklm.get(), std::string(devices::kEnumKey) + "\\" + board.instance_id);
  node->set_value("HardwareID", port::REG_MULTI_SZ, devices::multi_sz_bytes(board.hardware_ids));
  node->set_value("CompatibleIDs", port::REG_MULTI_SZ, devices::multi_sz_bytes(board.compatible_ids));
  set_dword(node, "ConfigFlags", 0);
}

// The node of a board that has its driver: class, driver key, service.
void bind_driver(Machine& m, const Board& board, const std::string& class_guid, const std::string& class_name,
                 const std::string& instance, const std::string& description, const std::string& service) {
  Key* node = create_key(m.hklm.get(), std::string(devices::kEnumKey) + "\\" + board.instance_id);
  set_sz(node, "ClassGUID", class_guid);
  set_sz(node, "Class", class_name);
  set_sz(node, "Driver", class_guid + "\\" + instance);
  set_sz(node, "DeviceDesc", description);
  if (!service.empty()) set_sz(node, "Service", service);
}

// The driver package beside the installer: C:\Tessaridge\pnp\morvellan.inf and, beside it, the
// binaries of both platforms under the source names the INF gives them (halvik_x86.sys, ...;
// stand-ins: the simulated machine never runs them).
void add_driver_package(Machine& m) {
  for (const PackageFile& file : package_files()) put_file(m, file.path, file.content);
}

// The System class with the chipset bridge bound to machine.inf: a device of another class.
void add_system_devices(Machine& m) {
  Key* system = create_key(m.hklm.get(), std::string(devices::kClassKey) + "\\" + kSystemClass);
  system->set_value("", port::REG_SZ, sz("System devices"));
  set_sz(system, "Class", "System");
  Key* instance = system->create_subkey("0000");
  set_sz(instance, "DriverDesc", "Intel(R) 82801 PCI Bridge - 244E");
  set_sz(instance, "InfPath", "machine.inf");
  set_sz(instance, "InfSection", "NO_DRV");
  set_sz(instance, "MatchingDeviceId", "pci\\ven_8086&dev_244e");
  set_sz(instance, "ProviderName", "Microsoft");
  Board bridge = pci_board(kBridge);
  add_board(m, bridge);
  bind_driver(m, bridge, kSystemClass, "System", "0000", "Intel(R) 82801 PCI Bridge - 244E", "");
}

// A legacy driver's root-enumerated node, always present, as every Windows machine has them.
void add_legacy_node(Machine& m) {
  Key* legacy = create_key(m.hklm.get(), std::string(devices::kClassKey) + "\\" + kLegacyClass);
  legacy->set_value("", port::REG_SZ, sz("Non-Plug and Play Drivers"));
  set_sz(legacy, "Class", "LegacyDriver");
  set_sz(legacy, "NoDisplayClass", "1");
  set_sz(legacy, "NoInstallClass", "1");
  Key* node = create_key(m.hklm.get(), std::string(devices::kEnumKey) + "\\Root\\LEGACY_BEEP\\0000");
  set_sz(node, "Class", "LegacyDriver");
  set_sz(node, "ClassGUID", kLegacyClass);
  set_dword(node, "ConfigFlags", 0);
  set_sz(node, "DeviceDesc", "Beep");
  set_dword(node, "Legacy", 1);
  set_sz(node, "Service", "Beep");
}

void add_devices(Machine& m) {
  add_driver_package(m);
  add_system_devices(m);
  add_legacy_node(m);
  add_board(m, pci_board(kFirstBoard));
  add_board(m, pci_board(kSecondBoard));
}

// Replaces every occurrence of `from` (ignoring case) in the machine's string values.
void replace_in_strings(Key* key, const std::string& from, const std::string& to) {
  for (Value& value : key->values) {
    if (value.type != port::REG_SZ && value.type != port::REG_EXPAND_SZ) continue;
    std::string text(value.data.begin(), value.data.end());
    std::string upper_text = upper(text);
    std::size_t at = upper_text.find(upper(from));
    if (at == std::string::npos) continue;
    while (at != std::string::npos) {
      text.replace(at, from.size(), to);
      upper_text = upper(text);
      at = upper_text.find(upper(from), at + to.size());
    }
    value.data = key->hive->copy({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    value.wide = {};
  }
  for (Key* subkey : key->subkeys) replace_in_strings(subkey, from, to);
}

TemplateFunction xp_base = nullptr;
TemplateFunction w2k_base = nullptr;

// A template's LocalSystem temporary folders, on drive C below its Windows folder.
void add_local_system_temp(Machine& m, int major_version, bool wow64) {
  for (const std::string& folder : local_system_temp_folders(major_version, wow64))
    put_folder(m, windows_root(m) + "\\" + folder);
}

void xp(Machine& m) {
  xp_base(m);
  add_local_system_temp(m, 5, false);
  add_devices(m);
}

void w2k(Machine& m) {
  w2k_base(m);
  add_local_system_temp(m, 5, false);
  add_devices(m);
}

void amd64(Machine& m) {
  xp_base(m);
  // Windows 7 keeps its directory as C:\Windows.
  std::error_code ignored;
  std::filesystem::rename(std::filesystem::path(m.dir) / "drive_c" / "WINDOWS",
                          std::filesystem::path(m.dir) / "drive_c" / "Windows", ignored);
  replace_in_strings(m.hklm.get(), "C:\\WINDOWS", "C:\\Windows");
  for (IniSection& section : m.ini.sections) {
    for (IniEntry& entry : section.entries) {
      std::string upper_value = upper(entry.value);
      for (std::size_t at = upper_value.find("C:\\WINDOWS"); at != std::string::npos;
           at = upper_value.find("C:\\WINDOWS", at + 1)) {
        entry.value.replace(at, 10, "C:\\Windows");
      }
    }
    section.touch();
  }
  m.ini.set("system", "version", "6.1");
  m.ini.set("system", "build", "7601");
  m.ini.set("system", "service_pack", "1");
  m.ini.set("system", "processor", "AMD64");
  // The installer is a 32-bit program: its own environment is that of WOW64.
  m.ini.set("environment", "PROCESSOR_ARCHITECTURE", "x86");
  m.ini.set("environment", "PROCESSOR_ARCHITEW6432", "AMD64");
  m.ini.set("environment", "ProgramFiles", "C:\\Program Files (x86)");
  m.ini.set("environment", "ProgramW6432", "C:\\Program Files");
  std::filesystem::create_directories(std::filesystem::path(m.dir) / "drive_c" / "Program Files (x86)",
                                      ignored);
  Key* version = create_key(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  set_sz(version, "CurrentVersion", "6.1");
  set_sz(version, "CurrentBuildNumber", "7601");
  set_sz(version, "CSDVersion", "Service Pack 1");
  set_sz(version, "ProductName", "Windows 7 Professional");
  set_sz(version, "CurrentType", "Multiprocessor Free");
  // What the 32-bit programs see of SOFTWARE: a view of their own, with the version again.
  Key* version_32 = create_key(m.hklm.get(), "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion");
  for (const Value& value : version->values) version_32->set_value(value.name, value.type, value.data);
  Key* environment =
      create_key(m.hklm.get(), "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
  set_sz(environment, "PROCESSOR_ARCHITECTURE", "AMD64");
  set_sz(environment, "PROCESSOR_IDENTIFIER", "Intel64 Family 6 Model 42 Stepping 7, GenuineIntel");
  set_sz(environment, "NUMBER_OF_PROCESSORS", "2");
  std::filesystem::create_directories(
      std::filesystem::path(m.dir) / "drive_c" / "Windows" / "SysWOW64" / "drivers", ignored);
  // The driver store, where driver packages are staged before they are installed.
  std::filesystem::create_directories(
      std::filesystem::path(m.dir) / "drive_c" / "Windows" / "system32" / "DriverStore" / "FileRepository",
      ignored);
  put_file(m, "C:\\Tessaridge\\install\\installx64.exe", kInstallx64StandIn);
  add_local_system_temp(m, 6, true);
  add_devices(m);
}

// An INF in the older package's style, naming one board.
std::string older_inf(const std::string& class_line, const std::string& hardware_id,
                      const std::string& description) {
  return "; tessaridge.inf: Quillant Tessaridge driver package, release 4\r\n\r\n"
         "[Version]\r\nSignature=\"$Windows NT$\"\r\n" +
         class_line +
         "Provider=%Quillant%\r\nDriverVer=03/14/2019,5.2.0.0\r\n\r\n"
         "[Manufacturer]\r\n%Quillant%=Quillant\r\n\r\n"
         "[Quillant]\r\n%DeviceDesc%=Tessaridge_Install," +
         hardware_id +
         "\r\n\r\n"
         "[Tessaridge_Install]\r\nCopyFiles=Tessaridge_Files\r\n\r\n"
         "[Tessaridge_Install.Services]\r\nAddService=halvik,0x00000002,halvik_Service\r\n\r\n"
         "[halvik_Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
         "ServiceBinary=%12%\\halvik.sys\r\n\r\n"
         "[DestinationDirs]\r\nDefaultDestDir=12\r\n\r\n"
         "[Tessaridge_Files]\r\nhalvik.sys\r\n\r\n"
         "[Strings]\r\nQuillant=\"Quillant\"\r\nDeviceDesc=\"" +
         description + "\"\r\n";
}

std::string utf16(const std::string& ascii) {
  std::string out("\xFF\xFE", 2);
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

std::string pnf_stand_in(const std::string& inf_name) {
  return std::string("PNF\x01\x01\x02\x03 ", 8) + inf_name + " precompiled";
}

void leftovers(Machine& m) {
  xp_base(m);
  add_driver_package(m);
  add_system_devices(m);
  add_legacy_node(m);
  const std::string root = windows_root(m);
  const std::string row1 = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C";
  const std::string row4 = "PCI\\VEN_1E5C&DEV_0420&SUBSYS_00021E5C";
  const std::string row7 = "PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C";
  const std::string row11 = "PCI\\VEN_10B5&DEV_9656&SUBSYS_04601E5C";

  // The first class key: the installed Tessaridge Hardware class, two drivers of the package.
  Key* first = create_key(m.hklm.get(), std::string(devices::kClassKey) + "\\" + kTessaridgeClass);
  first->set_value("", port::REG_SZ, sz("Tessaridge Hardware"));
  set_sz(first, "Class", "TessaridgeHardware");
  set_sz(first, "Icon", "-5");
  const char* descriptions[] = {"Quillant(R) Tessaridge(R) Morvellan PCI module",
                                "Quillant(R) Tessaridge(R) MORVELLAN PCI module"};
  const char* matching[] = {"pci\\ven_1e5c&dev_0410&subsys_00011e5c",
                            "pci\\ven_1e5c&dev_0420&subsys_00021e5c"};
  for (int i = 0; i < 2; ++i) {
    Key* instance = first->create_subkey(i == 0 ? "0000" : "0001");
    set_sz(instance, "DriverDesc", descriptions[i]);
    set_sz(instance, "InfPath", "oem3.inf");
    set_sz(instance, "InfSection", "Morvellan_Device");
    set_sz(instance, "MatchingDeviceId", matching[i]);
    set_sz(instance, "ProviderName", "Quillant");
    set_sz(instance, "DriverVersion", "5.9.0.0");
    set_sz(instance, "EnumPropPages32", "tsrgBdevpp.dll,MorvellanPropPageProvider");
    instance->set_value("CoInstallers32", port::REG_MULTI_SZ,
                        devices::multi_sz_bytes({"tsrgBdevco.dll,MorvellanCoInstaller"}));
  }
  // The second class key: the older package's own class.
  Key* older = create_key(m.hklm.get(), std::string(devices::kClassKey) + "\\" + kOlderClass);
  older->set_value("", port::REG_SZ, sz("Tessaridge Adapters"));
  set_sz(older, "Class", "TessaridgeAdapters");
  Key* older_instance = older->create_subkey("0000");
  set_sz(older_instance, "DriverDesc", "Quillant Tessaridge PCI adapter (release 4)");
  set_sz(older_instance, "InfPath", "oem4.inf");
  set_sz(older_instance, "InfSection", "Tessaridge_Install");
  set_sz(older_instance, "MatchingDeviceId", lower(row7));
  set_sz(older_instance, "ProviderName", "Quillant");

  // Two boards, bound to the two drivers of the first class key.
  Board board = pci_board(kFirstBoard);
  Board other = pci_board(kOlderBoard);
  add_board(m, board);
  add_board(m, other);
  bind_driver(m, board, kTessaridgeClass, "TessaridgeHardware", "0000", descriptions[0], "halvik");
  bind_driver(m, other, kTessaridgeClass, "TessaridgeHardware", "0001", descriptions[1], "halvik");

  // The INF directory: the registered files, another INF of the package and one in UTF-16.
  std::string inf = root + "\\inf\\";
  put_file(m, inf + "oem3.inf", package_inf_text());
  put_file(m, inf + "oem3.PNF", pnf_stand_in("oem3.inf"));
  put_file(m, inf + "oem4.inf",
           older_inf("Class=TessaridgeAdapters\r\nClassGUID=" + std::string(kOlderClass) + "\r\n", row7,
                     "Quillant Tessaridge PCI adapter (release 4)"));
  put_file(m, inf + "oem4.PNF", pnf_stand_in("oem4.inf"));
  put_file(m, inf + "oem6.inf",
           older_inf("Class=TessaridgeAdapters\r\nClassGUID=" + std::string(kOlderClass) + "\r\n", row11,
                     "Quillant Tessaridge PCI bridge adapter (release 3)"));
  put_file(m, inf + "oem6.PNF", pnf_stand_in("oem6.inf"));
  // A diagnostics package that names a board only in UTF-16: it offers no driver and stays.
  put_file(
      m, inf + "oem7.inf",
      utf16(
          "; tsrgdiag.inf: Quillant Tessaridge diagnostics\r\n\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n"
          "Class=System\r\nClassGUID=" +
          std::string(kSystemClass) +
          "\r\nProvider=%Quillant%\r\nDriverVer=05/02/2018,1.0.0.0\r\n\r\n"
          "[ControlFlags]\r\nExcludeFromSelect=" +
          row4 + "\r\n\r\n[Strings]\r\nQuillant=\"Quillant\"\r\n"));
  put_file(m, inf + "oem7.PNF", pnf_stand_in("oem7.inf"));

  put_file(m, root + "\\system32\\tsrgBdevco.dll", "MZ Morvellan co-installer (release 5)\n");
  put_file(m, root + "\\system32\\tsrgBdevpp.dll", "MZ Morvellan property pages (release 5)\n");
  put_file(m, root + "\\system32\\drivers\\halvik.sys", "MZ halvik kernel driver (release 5)\n");
  put_file(m, root + "\\halvik\\halvik.log", "halvik 5.9.0: started\r\n");

  // The service as the older installation left it, running, with its parameters.
  Key* service = create_key(m.hklm.get(), std::string(kServicesKey) + "\\halvik");
  set_dword(service, "Type", 1);
  set_dword(service, "Start", 3);
  set_dword(service, "ErrorControl", 1);
  service->set_value("ImagePath", port::REG_EXPAND_SZ, sz("system32\\DRIVERS\\halvik.sys"));
  set_sz(service, "DisplayName", "Quillant(R) Tessaridge(R) halvik driver");
  Key* parameters = service->create_subkey("Parameters");
  set_dword(parameters, "PHYBUFSIZE", 0x400000);
  set_dword(parameters, "APPBUFSIZE", 0x100000);
  set_dword(parameters, "MILL_MAX_PCI_HW_MODULES", 2);
  m.ini.set("services", "halvik", "running");
}

}  // namespace

void register_device_templates() {
  xp_base = find_template("xp");
  w2k_base = find_template("w2k");
  if (xp_base != nullptr && xp_base != xp) {
    register_template("xp", xp);
    register_template("amd64", amd64);
    register_template("leftovers", leftovers);
  }
  if (w2k_base != nullptr && w2k_base != w2k) register_template("w2k", w2k);
}

std::vector<std::string> local_system_temp_folders(int major_version, bool wow64) {
  const char* profile_temp =
      major_version >= 6 ? "config\\systemprofile\\AppData\\Local\\Temp" : "config\\systemprofile\\Local Settings\\Temp";
  std::vector<std::string> folders{std::string("system32\\") + profile_temp};
  if (wow64) folders.push_back(std::string("SysWOW64\\") + profile_temp);
  return folders;
}

}  // namespace sim::internal
