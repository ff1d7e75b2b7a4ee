// WOW64: a 32-bit program on 64-bit Windows.  The installer is one (install.exe); its
// counterpart installx64.exe is a 64-bit program and sees the machine as it is.  For a 32-bit
// process the registry redirector shows HKLM\SOFTWARE\Wow6432Node as HKLM\SOFTWARE (with the
// keys Windows shares between the two views left where they are, SOFTWARE\Classes among them), the file
// system redirector shows %SystemRoot%\SysWOW64 as %SystemRoot%\System32, and SetupAPI refuses to install or
// remove devices (ERROR_IN_WOW64).
#include "platform/sim/wow64/wow64.h"

#include <errno.h>

#include <string>
#include <string_view>

#include "platform/sim/machine/machine.h"

namespace sim {
namespace {

int process_bits_override = 0;  // 0: by the program's name

// The keys below HKLM\SOFTWARE that both views share on Windows 7 ("Registry Keys Affected by
// WOW64"); everything else below SOFTWARE is redirected.
constexpr const char* kSharedSoftwareKeys[] = {
    "Microsoft\\COM3",
    "Microsoft\\Cryptography\\Calais\\Current",
    "Microsoft\\Cryptography\\Calais\\Readers",
    "Microsoft\\Cryptography\\Services",
    "Microsoft\\CTF\\SystemShared",
    "Microsoft\\CTF\\TIP",
    "Microsoft\\DFS",
    "Microsoft\\Driver Signing",
    "Microsoft\\EnterpriseCertificates",
    "Microsoft\\EventSystem",
    "Microsoft\\MSMQ",
    "Microsoft\\Non-Driver Signing",
    "Microsoft\\Notepad\\DefaultFonts",
    "Microsoft\\OLE",
    "Microsoft\\RAS",
    "Microsoft\\RPC",
    "Microsoft\\Shared Tools\\MSInfo",
    "Microsoft\\SystemCertificates",
    "Microsoft\\TermServLicensing",
    "Microsoft\\Transaction Server",
    "Microsoft\\Windows\\CurrentVersion\\App Paths",
    "Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    "Microsoft\\Windows\\CurrentVersion\\Group Policy",
    "Microsoft\\Windows\\CurrentVersion\\Policies",
    "Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Setup",
    "Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    "Microsoft\\Windows NT\\CurrentVersion\\Console",
    "Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    "Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    "Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    "Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    "Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    "Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    "Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    "Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    "Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    "Microsoft\\Windows NT\\CurrentVersion\\Ports",
    "Microsoft\\Windows NT\\CurrentVersion\\Print",
    "Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    "Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    "Policies",
    "RegisteredApplications",
};

// SOFTWARE\Classes is shared on Windows 7, but for these subkeys: the 32-bit view finds them
// below SOFTWARE\Classes\Wow6432Node, where Windows keeps them.
constexpr const char* kRedirectedClassesKeys[] = {"CLSID", "DirectShow", "Interface", "Media Type",
                                                  "MediaFoundation"};

// The folders of System32 that the file system redirector leaves alone.
constexpr const char* kUnredirectedSystemFolders[] = {"catroot",      "catroot2", "DriverStore",
                                                      "drivers\\etc", "LogFiles", "spool"};

// parts[from..] starts with the parts of prefix (compared ignoring case).
bool starts_with_parts(const std::vector<std::string>& parts, std::size_t from, std::string_view prefix) {
  std::vector<std::string> wanted = internal::split_key_path(prefix);
  if (parts.size() - from < wanted.size()) return false;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (!internal::iequals(parts[from + i], wanted[i])) return false;
  }
  return true;
}

std::string join(const std::vector<std::string>& parts, char separator) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

}  // namespace

namespace internal {

void set_process_bits(int bits) {
  process_bits_override = bits;
}

bool process_is_wow64() {
  if (!iequals(machine().ini.get_or("system", "processor", "x86"), "AMD64")) return false;
  if (process_bits_override != 0) return process_bits_override == 32;
  // The installer is the 32-bit program; everything else here runs as a 64-bit one.
  return program_name() == "install";
}

std::string registry_view_path(const std::string& path, DWORD access) {
  bool wow64 = process_is_wow64();
  bool view_32 = wow64 ? (access & port::KEY_WOW64_64KEY) == 0 : (access & port::KEY_WOW64_32KEY) != 0;
  if (!view_32 || !iequals(machine().ini.get_or("system", "processor", "x86"), "AMD64")) return path;
  std::vector<std::string> parts = split_key_path(path);
  if (parts.empty() || !iequals(parts[0], "SOFTWARE")) return path;
  if (parts.size() > 1 && iequals(parts[1], "Wow6432Node")) return path;
  if (parts.size() > 1 && iequals(parts[1], "Classes")) {
    if (parts.size() < 3 || iequals(parts[2], "Wow6432Node")) return path;
    for (const char* redirected : kRedirectedClassesKeys) {
      if (iequals(parts[2], redirected)) {
        parts.insert(parts.begin() + 2, "Wow6432Node");
        return join(parts, '\\');
      }
    }
    return path;
  }
  for (const char* shared : kSharedSoftwareKeys) {
    if (starts_with_parts(parts, 1, shared)) return path;
  }
  parts.insert(parts.begin() + 1, "Wow6432Node");
  return join(parts, '\\');
}

std::string file_view_path(const std::string& full) {
  if (!process_is_wow64()) return full;
  std::string root = machine().ini.get_or("environment", "SystemRoot", "C:\\Windows");
  std::vector<std::string> parts = split_path(full);
  std::vector<std::string> root_parts = split_path(root);
  if (root_parts.empty() || parts.size() <= root_parts.size() || !iequals(parts[0], root_parts[0]))
    return full;
  for (std::size_t i = 1; i < root_parts.size(); ++i) {
    if (!iequals(parts[i], root_parts[i])) return full;
  }
  std::size_t system = root_parts.size();
  if (iequals(parts[system], "Sysnative")) {
    parts[system] = "System32";  // the 32-bit program's way to the real System32
  } else if (iequals(parts[system], "System32")) {
    for (const char* folder : kUnredirectedSystemFolders) {
      if (starts_with_parts(parts, system + 1, folder)) return full;
    }
    parts[system] = "SysWOW64";
  } else {
    return full;
  }
  return join(parts, '\\');
}

}  // namespace internal
}  // namespace sim
