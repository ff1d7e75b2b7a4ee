// Templates a new machine is built from.  Each is a function that fills the machine's
// registry, machine.ini and drives; `xp` (the default) and `w2k` share one builder driven by
// a profile of the Windows version.  More templates join by name with register_template().
#include "platform/sim/templates/templates.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/machine/machine.h"
#include "platform/sim/templates/package_inf.h"

namespace sim::internal {

namespace {

struct WindowsProfile {
  const char* version;       // "5.1"
  const char* build;         // "2600"
  const char* service_pack;  // "3"
  const char* windows_dir;   // "WINDOWS"
  const char* product_name;
};

constexpr WindowsProfile kXp{"5.1", "2600", "3", "WINDOWS", "Microsoft Windows XP"};
constexpr WindowsProfile kW2k{"5.0", "2195", "4", "WINNT", "Microsoft Windows 2000"};

enum class Kind { sz, expand, multi, dword };

// One registry value of a template; "{root}" in a text stands for the system root
// (C:\WINDOWS), "{dir}" for its directory name, "{version}", "{build}" and "{sp}" for the
// profile's numbers.  A multi-string's parts are separated by '|'.
struct Entry {
  const char* key;
  const char* name;
  Kind kind;
  const char* text;
  DWORD number;
};

constexpr char kMemory[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
constexpr char kEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kEventLog[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog";
constexpr char kEventLogSystem[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";
constexpr char kEventLogApplication[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr char kBeep[] = "SYSTEM\\CurrentControlSet\\Services\\Beep";
constexpr char kTcpip[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip";
constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

const Entry kRegistry[] = {
    {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", Kind::sz, "C:\\Program Files", 0},
    {kMemory, "ClearPageFileAtShutdown", Kind::dword, nullptr, 0},
    {kMemory, "DisablePagingExecutive", Kind::dword, nullptr, 0},
    {kMemory, "LargeSystemCache", Kind::dword, nullptr, 0},
    {kMemory, "NonPagedPoolQuota", Kind::dword, nullptr, 0},
    {kMemory, "NonPagedPoolSize", Kind::dword, nullptr, 0},
    {kMemory, "PagedPoolQuota", Kind::dword, nullptr, 0},
    {kMemory, "PagedPoolSize", Kind::dword, nullptr, 0},
    {kMemory, "SecondLevelDataCache", Kind::dword, nullptr, 0},
    {kMemory, "SystemPages", Kind::dword, nullptr, 0},
    {kMemory, "PagingFiles", Kind::multi, "C:\\pagefile.sys 768 1536", 0},
    {kEnvironment, "ComSpec", Kind::expand, "%SystemRoot%\\system32\\cmd.exe", 0},
    {kEnvironment, "NUMBER_OF_PROCESSORS", Kind::sz, "1", 0},
    {kEnvironment, "OS", Kind::sz, "Windows_NT", 0},
    {kEnvironment, "Path", Kind::expand, "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem",
     0},
    {kEnvironment, "PATHEXT", Kind::sz, ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH", 0},
    {kEnvironment, "PROCESSOR_ARCHITECTURE", Kind::sz, "x86", 0},
    {kEnvironment, "PROCESSOR_IDENTIFIER", Kind::sz, "x86 Family 6 Model 15 Stepping 6, GenuineIntel", 0},
    {kEnvironment, "PROCESSOR_LEVEL", Kind::sz, "6", 0},
    {kEnvironment, "PROCESSOR_REVISION", Kind::sz, "0f06", 0},
    {kEnvironment, "TEMP", Kind::expand, "%SystemRoot%\\TEMP", 0},
    {kEnvironment, "TMP", Kind::expand, "%SystemRoot%\\TEMP", 0},
    {kEnvironment, "windir", Kind::expand, "%SystemRoot%", 0},
    {kBeep, "ErrorControl", Kind::dword, nullptr, 1},
    {kBeep, "Group", Kind::sz, "Base", 0},
    {kBeep, "ImagePath", Kind::expand, "system32\\DRIVERS\\beep.sys", 0},
    {kBeep, "Start", Kind::dword, nullptr, 1},
    {kBeep, "Type", Kind::dword, nullptr, 1},
    {kEventLog, "DisplayName", Kind::sz, "Event Log", 0},
    {kEventLog, "ErrorControl", Kind::dword, nullptr, 1},
    {kEventLog, "Group", Kind::sz, "Event log", 0},
    {kEventLog, "ImagePath", Kind::expand, "%SystemRoot%\\system32\\services.exe", 0},
    {kEventLog, "ObjectName", Kind::sz, "LocalSystem", 0},
    {kEventLog, "Start", Kind::dword, nullptr, 2},
    {kEventLog, "Type", Kind::dword, nullptr, 0x20},
    {kEventLogApplication, "File", Kind::expand, "%SystemRoot%\\system32\\config\\AppEvent.Evt", 0},
    {kEventLogApplication, "MaxSize", Kind::dword, nullptr, 0x80000},
    {kEventLogApplication, "Retention", Kind::dword, nullptr, 0x93a80},
    {kEventLogSystem, "File", Kind::expand, "%SystemRoot%\\system32\\config\\SysEvent.Evt", 0},
    {kEventLogSystem, "MaxSize", Kind::dword, nullptr, 0x80000},
    {kEventLogSystem, "Retention", Kind::dword, nullptr, 0x93a80},
    {kEventLogSystem, "Sources", Kind::multi, "Beep|EventLog|Service Control Manager|Tcpip|System", 0},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\EventLog", "EventMessageFile", Kind::expand,
     "%SystemRoot%\\System32\\netevent.dll", 0},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\EventLog", "TypesSupported", Kind::dword,
     nullptr, 7},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Service Control Manager", "EventMessageFile",
     Kind::expand, "%SystemRoot%\\System32\\netevent.dll", 0},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Service Control Manager", "TypesSupported",
     Kind::dword, nullptr, 7},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Tcpip", "EventMessageFile", Kind::expand,
     "%SystemRoot%\\System32\\netevent.dll", 0},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Tcpip", "TypesSupported", Kind::dword, nullptr,
     7},
    {kTcpip, "DisplayName", Kind::sz, "TCP/IP Protocol Driver", 0},
    {kTcpip, "ErrorControl", Kind::dword, nullptr, 1},
    {kTcpip, "Group", Kind::sz, "PNP_TDI", 0},
    {kTcpip, "ImagePath", Kind::expand, "system32\\DRIVERS\\tcpip.sys", 0},
    {kTcpip, "Start", Kind::dword, nullptr, 1},
    {kTcpip, "Type", Kind::dword, nullptr, 1},
    {"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", "Hostname", Kind::sz, "tessaridge-lab", 0},
    {kCurrentVersion, "CSDVersion", Kind::sz, "Service Pack {sp}", 0},
    {kCurrentVersion, "CurrentBuildNumber", Kind::sz, "{build}", 0},
    {kCurrentVersion, "CurrentType", Kind::sz, "Uniprocessor Free", 0},
    {kCurrentVersion, "CurrentVersion", Kind::sz, "{version}", 0},
    {kCurrentVersion, "PathName", Kind::sz, "{root}", 0},
    {kCurrentVersion, "ProductName", Kind::sz, "{product}", 0},
    {kCurrentVersion, "RegisteredOrganization", Kind::sz, "Quillant", 0},
    {kCurrentVersion, "RegisteredOwner", Kind::sz, "Lab", 0},
    {kCurrentVersion, "SystemRoot", Kind::sz, "{root}", 0},
};

// Services the machine runs; the others in the registry are stopped.
const char* const kRunningServices[] = {"Beep", "EventLog", "Tcpip"};

// Files on drive C; "{dir}" is the Windows directory's name.
struct FileEntry {
  const char* path;
  const char* content;  // nullptr: a directory
};

const FileEntry kFiles[] = {
    {"{dir}\\inf\\machine.inf",
     "; MACHINE.INF  -- System devices\r\n\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n"
     "ClassGUID={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\nProvider=%MS%\r\nLayoutFile=layout.inf\r\n\r\n"
     "[Manufacturer]\r\n%GENDEV_MFG%=GENDEV_SYS\r\n\r\n[Strings]\r\nMS=\"Microsoft\"\r\n"
     "GENDEV_MFG=\"(Standard system devices)\"\r\n"},
    {"{dir}\\inf\\machine.PNF", "PNF\x01\x01\x02\x03 machine.inf precompiled"},
    {"{dir}\\inf\\usb.inf",
     "; USB.INF  -- USB host controllers and hubs\r\n\r\n[Version]\r\nSignature=\"$Windows "
     "NT$\"\r\nClass=USB\r\n"
     "ClassGUID={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%Msft%\r\nLayoutFile=layout.inf\r\n\r\n"
     "[Strings]\r\nMsft=\"Microsoft\"\r\n"},
    {"{dir}\\inf\\usb.PNF", "PNF\x01\x01\x02\x03 usb.inf precompiled"},
    {"{dir}\\system32\\drivers\\beep.sys", "MZ beep driver"},
    {"{dir}\\system32\\drivers\\tcpip.sys", "MZ tcpip driver"},
    {"{dir}\\system32\\cmd.exe", "MZ command interpreter"},
    {"{dir}\\Temp", nullptr},
    {"Tessaridge\\install\\install.exe", kInstallStandIn},
    {"Program Files", nullptr},
};

std::string expand(std::string text, const WindowsProfile& profile) {
  const std::string root = std::string("C:\\") + profile.windows_dir;
  const std::pair<const char*, std::string> tokens[] = {
      {"{root}", root},           {"{dir}", profile.windows_dir}, {"{version}", profile.version},
      {"{build}", profile.build}, {"{sp}", profile.service_pack}, {"{product}", profile.product_name}};
  for (const auto& [token, replacement] : tokens) {
    for (std::size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + replacement.size()))
      text.replace(at, std::string(token).size(), replacement);
  }
  return text;
}

std::vector<std::uint8_t> string_bytes(const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void build_windows(Machine& m, const WindowsProfile& profile) {
  for (const Entry& entry : kRegistry) {
    Key* key = create_key(m.hklm.get(), entry.key);
    switch (entry.kind) {
      case Kind::dword: {
        DWORD v = entry.number;
        key->set_value(entry.name, port::REG_DWORD,
                       {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                        static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
        break;
      }
      case Kind::sz:
        key->set_value(entry.name, port::REG_SZ, string_bytes(expand(entry.text, profile)));
        break;
      case Kind::expand:
        key->set_value(entry.name, port::REG_EXPAND_SZ, string_bytes(expand(entry.text, profile)));
        break;
      case Kind::multi: {
        std::vector<std::uint8_t> bytes;
        std::string text = expand(entry.text, profile);
        for (char c : text) bytes.push_back(c == '|' ? 0 : static_cast<std::uint8_t>(c));
        bytes.push_back(0);
        bytes.push_back(0);
        key->set_value(entry.name, port::REG_MULTI_SZ, bytes);
        break;
      }
    }
  }

  // Where Programs and Features finds the installed programs; Windows always has the key.
  create_key(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");

  const std::string root = std::string("C:\\") + profile.windows_dir;
  Ini& ini = m.ini;
  ini.set("system", "platform", "2");
  ini.set("system", "version", profile.version);
  ini.set("system", "build", profile.build);
  ini.set("system", "service_pack", profile.service_pack);
  ini.set("system", "processor", "x86");
  ini.set("system", "reboot_requested", "0");
  ini.set("process", "current_directory", "C:\\Tessaridge\\install");
  const std::pair<const char*, std::string> environment[] = {
      {"ComSpec", root + "\\system32\\cmd.exe"},
      {"NUMBER_OF_PROCESSORS", "1"},
      {"OS", "Windows_NT"},
      {"PATH", root + "\\system32;" + root + ";" + root + "\\System32\\Wbem"},
      {"PATHEXT", ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"},
      {"PROCESSOR_ARCHITECTURE", "x86"},
      {"ProgramFiles", "C:\\Program Files"},
      {"SystemDrive", "C:"},
      {"SystemRoot", root},
      {"TEMP", root + "\\Temp"},
      {"TMP", root + "\\Temp"},
      {"windir", root},
  };
  for (const auto& [name, value] : environment) ini.set("environment", name, value);
  for (const char* service : kRunningServices) ini.set("services", service, "running");
  ini.set("trace", "enabled", "0");

  for (const FileEntry& file : kFiles) {
    std::string relative = expand(file.path, profile);
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    std::filesystem::path host = std::filesystem::path(m.dir) / "drive_c" / relative;
    std::error_code ignored;
    if (file.content == nullptr) {
      std::filesystem::create_directories(host, ignored);
    } else {
      std::filesystem::create_directories(host.parent_path(), ignored);
      std::ofstream(host, std::ios::binary) << file.content;
    }
  }
}

void xp(Machine& m) {
  build_windows(m, kXp);
}
void w2k(Machine& m) {
  build_windows(m, kW2k);
}

}  // namespace

void register_builtin_templates() {
  static bool done = false;
  if (done) return;
  done = true;
  register_template("xp", xp);
  register_template("w2k", w2k);
  register_device_templates();
}

// ---- templates -----------------------------------------------------------------------------

namespace {
std::map<std::string, TemplateFunction>& templates() {
  static std::map<std::string, TemplateFunction> table;
  return table;
}
}  // namespace

void register_template(const std::string& name, TemplateFunction function) {
  templates()[lower(name)] = function;
}

TemplateFunction find_template(const std::string& name) {
  register_builtin_templates();
  auto found = templates().find(lower(name));
  return found == templates().end() ? nullptr : found->second;
}

std::vector<std::string> template_names() {
  register_builtin_templates();
  std::vector<std::string> names;
  for (const auto& [name, function] : templates()) names.push_back(name);
  return names;
}

}  // namespace sim::internal
