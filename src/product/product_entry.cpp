#include "product/product_entry.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_deletion.h"
#include "common/letter_case.h"
#include "common/processor_architecture.h"
#include "common/protected_folder.h"
#include "common/registry_flush.h"
#include "common/report.h"
#include "common/failure.h"
#include "platform/port.h"
#include "pnp/pnp_steps.h"
#include "runlog/run_log.h"

namespace {

constexpr port::LSTATUS kSuccess = static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
constexpr const char* kProductFolderName = "Tessaridge";
constexpr const char* kDisplayName = "Quillant(R) Tessaridge(R) Device Driver";
constexpr const char* kPublisher = "Quillant";

constexpr const char* kCurrentVersionKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// Whether the machine is 64-bit, where this 32-bit program runs under WOW64: from the
// machine-wide environment, as the hand-over to the counterpart decides it, not from this
// process's own variables.  false when it can't be read (failure filled).
bool read_wow64(bool* wow64, FailureInfo* failure) {
  char architecture[32];
  bool opened = false;
  port::LSTATUS status =
      read_processor_architecture(port::KEY_READ, architecture, sizeof architecture, &opened);
  if (status != kSuccess) {
    failure->context = "Unable to read the processor architecture (Session Manager\\Environment)";
    failure->code = static_cast<port::DWORD>(status);
    return false;
  }
  *wow64 = std::strcmp(architecture, "AMD64") == 0;
  return true;
}

// Windows 2000 doesn't know the flag; a 32-bit Windows has only the one view.
port::REGSAM view_of(bool wow64) {
  return wow64 ? port::KEY_WOW64_64KEY : 0;
}

// The programs a removal runs: the installer and, where the device work is handed to it, the
// 64-bit counterpart.
std::vector<const char*> product_programs(bool wow64) {
  std::vector<const char*> names{"install.exe"};
  if (wow64) names.push_back("installx64.exe");
  return names;
}

// <Program Files>\Tessaridge, the Program Files folder as the system records it in the view
// the entry goes to, never the ProgramFiles variable of this process's environment, which
// whoever started it sets.  A value with a quote would break the entry's command line, and a
// relative one names no fixed place: both are refused.  false with failure filled.
bool product_folder(bool wow64, std::string* folder, std::string* parent, FailureInfo* failure) {
  char value[port::MAX_PATH] = "";
  port::DWORD size = sizeof value - 1;
  port::DWORD type = 0;
  port::HKEY key = nullptr;
  port::LSTATUS status = port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kCurrentVersionKeyPath, 0,
                                             port::KEY_READ | view_of(wow64), &key);
  if (status == kSuccess) {
    status = port::RegQueryValueExA(key, "ProgramFilesDir", nullptr, &type, reinterpret_cast<port::BYTE*>(value),
                                    &size);
    port::RegCloseKey(key);
  }
  value[size < sizeof value ? size : sizeof value - 1] = '\0';
  if (status != kSuccess || type != port::REG_SZ || value[0] == '\0') {
    failure->message = "Unable to find the Program Files folder (ProgramFilesDir).";
    return false;
  }
  if (std::strchr(value, '"') != nullptr) {
    set_failure_message(failure,
                        "The Program Files folder (ProgramFilesDir) holds a quote, which the uninstall "
                        "command can't carry: %s",
                        value);
    return false;
  }
  bool drive_path = ((value[0] >= 'A' && value[0] <= 'Z') || (value[0] >= 'a' && value[0] <= 'z')) &&
                    value[1] == ':' && value[2] == '\\';
  if (!drive_path) {
    set_failure_message(failure, "The Program Files folder (ProgramFilesDir) is not a full path: %s", value);
    return false;
  }
  *parent = value;
  while (!parent->empty() && parent->back() == '\\') parent->pop_back();
  *folder = *parent + "\\" + kProductFolderName;
  if (folder->size() + std::strlen("\\installx64.exe") < port::MAX_PATH) return true;
  failure->message = "Unable to find the Program Files folder (ProgramFilesDir).";
  return false;
}

// The folder this program runs from; false when the system can't say.
bool own_folder(std::string* folder) {
  char path[port::MAX_PATH];
  port::DWORD length = port::GetModuleFileNameA(nullptr, path, port::MAX_PATH);
  if (length == 0 || length >= port::MAX_PATH) return false;
  const char* slash = std::strrchr(path, '\\');
  if (slash == nullptr) return false;
  folder->assign(path, static_cast<std::size_t>(slash - path));
  return true;
}

bool same_path(const std::string& a, const std::string& b) {
  return a.size() == b.size() && equal_ignoring_letter_case(a.c_str(), b.c_str());
}

int fail(FailureInfo* failure, const char* what, const std::string& path, port::DWORD code) {
  set_failure_context(failure, "%s %s", what, path.c_str());
  failure->code = code;
  return 1;
}

// Whether the folder holds nothing but the programs' copies (and so nothing a removal run
// from it could pick up).  false with failure filled, naming the first other entry.
bool holds_only_product_files(const std::string& folder, FailureInfo* failure) {
  port::WIN32_FIND_DATAA entry{};
  port::HANDLE search = port::FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search == port::INVALID_HANDLE_VALUE) {
    if (port::GetLastError() == port::ERROR_FILE_NOT_FOUND) return true;
    fail(failure, "Unable to list", folder, port::GetLastError());
    return false;
  }
  bool only_ours = true;
  do {
    std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    bool ours = (entry.dwFileAttributes & (port::FILE_ATTRIBUTE_DIRECTORY | port::FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    bool known = false;
    for (const char* program : product_programs(true)) known |= same_path(name, program);
    if (!ours || !known) {
      set_failure_message(failure, "The folder %s holds %s, which is not the installer's: it is left as it is.",
                          folder.c_str(), name.c_str());
      only_ours = false;
    }
  } while (only_ours && port::FindNextFileA(search, &entry));
  port::FindClose(search);
  return only_ours;
}

// The product folder, made ours before anything goes into it: created new with access for
// Administrators and SYSTEM only, or, when it is there already (an earlier installation's, or
// one that someone else made first), taken over, owner and access, when it is a plain folder
// holding nothing but the programs' copies; else it is refused and left as it is.  Its parent,
// which Windows always has but an imported machine may lack, is made when missing.
int take_product_folder(const std::string& folder, const std::string& parent, bool* made, FailureInfo* failure) {
  if (!port::CreateDirectoryA(parent.c_str(), nullptr) && port::GetLastError() != port::ERROR_ALREADY_EXISTS)
    return fail(failure, "Unable to create", parent, port::GetLastError());
  *made = create_protected_folder(folder.c_str());
  if (*made) return 0;
  if (port::GetLastError() != port::ERROR_ALREADY_EXISTS)
    return fail(failure, "Unable to create", folder, port::GetLastError());
  port::DWORD attributes = port::GetFileAttributesA(folder.c_str());
  if (attributes == port::INVALID_FILE_ATTRIBUTES) return fail(failure, "Unable to find", folder, port::GetLastError());
  if ((attributes & port::FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & port::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    set_failure_message(failure, "%s is not a plain folder (a file or a link): it is left as it is.",
                        folder.c_str());
    return 1;
  }
  if (!holds_only_product_files(folder, failure)) return 1;
  if (!protect_path(folder.c_str())) return fail(failure, "Unable to take over", folder, port::GetLastError());
  // Whatever came in before it was ours is looked at once more.
  return holds_only_product_files(folder, failure) ? 0 : 1;
}

std::string quoted_command(const std::string& folder, const char* arguments) {
  // -d: the counterpart is looked for in the working directory, which Programs and Features
  // doesn't set to the program's folder.
  return "\"" + folder + "\\install.exe\" -r -d \"" + folder + "\"" + arguments;
}

int set_text(port::HKEY key, const char* name, const std::string& text, FailureInfo* failure) {
  port::LSTATUS status =
      port::RegSetValueExA(key, name, 0, port::REG_SZ, reinterpret_cast<const port::BYTE*>(text.c_str()),
                           static_cast<port::DWORD>(text.size() + 1));
  if (status == kSuccess) return 0;
  return fail(failure, "Unable to write the Programs and Features entry value", name,
              static_cast<port::DWORD>(status));
}

int set_number(port::HKEY key, const char* name, port::DWORD number, FailureInfo* failure) {
  port::BYTE data[4] = {static_cast<port::BYTE>(number), static_cast<port::BYTE>(number >> 8),
                        static_cast<port::BYTE>(number >> 16), static_cast<port::BYTE>(number >> 24)};
  port::LSTATUS status = port::RegSetValueExA(key, name, 0, port::REG_DWORD, data, sizeof data);
  if (status == kSuccess) return 0;
  return fail(failure, "Unable to write the Programs and Features entry value", name,
              static_cast<port::DWORD>(status));
}

// Programs and Features shows the date as the entry gives it, YYYYMMDD in local time.
std::string install_date() {
  port::SYSTEMTIME now{};
  port::GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
  return text;
}

// The size Programs and Features shows, in kilobytes: the programs' copies and the driver's
// own file, as far as this program sees them (a 32-bit program on 64-bit Windows doesn't see
// the driver's).  false, named on standard error, when a folder can't be read: the value is
// then left out rather than written wrong.
bool estimated_size(const std::string& folder, port::DWORD* kilobytes) {
  std::vector<std::string> files{folder + "\\*.exe"};
  char system[port::MAX_PATH];
  port::DWORD length = port::GetSystemDirectoryA(system, port::MAX_PATH);
  if (length > 0 && length < port::MAX_PATH) files.push_back(std::string(system) + "\\drivers\\halvik.sys");
  unsigned long long bytes = 0;
  for (const std::string& pattern : files) {
    port::WIN32_FIND_DATAA entry{};
    port::HANDLE search = port::FindFirstFileA(pattern.c_str(), &entry);
    port::DWORD error = search == port::INVALID_HANDLE_VALUE ? port::GetLastError() : 0;
    if (error == port::ERROR_FILE_NOT_FOUND || error == port::ERROR_PATH_NOT_FOUND) continue;
    while (error == 0) {
      if ((entry.dwFileAttributes & port::FILE_ATTRIBUTE_DIRECTORY) == 0)
        bytes += (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) + entry.nFileSizeLow;
      if (!port::FindNextFileA(search, &entry)) error = port::GetLastError();
    }
    if (search != port::INVALID_HANDLE_VALUE) port::FindClose(search);
    if (error != port::ERROR_NO_MORE_FILES) {
      char text[2 * port::MAX_PATH];
      std::snprintf(text, sizeof text, "Unable to measure %s for the entry's EstimatedSize",
                    pattern.c_str());
      report_system_error(text, error);
      return false;
    }
  }
  *kilobytes = static_cast<port::DWORD>((bytes + 1023) / 1024);
  return true;
}

// The entry in two steps, both once the copies are in place: first where they are and how to
// remove them, then the name and version, by which Programs and Features lists the entry and
// detection rules find it.  An earlier entry's name and version go in the first step, so that
// an entry cut short is not taken for a finished one.  The second step also records what was
// installed, before the version by which detection rules take the entry as finished.
int write_entry(const std::string& folder, bool wow64, const std::string* installed_list, FailureInfo* failure) {
  bool published = installed_list != nullptr;
  std::string path = std::string(kUninstallKeyPath) + "\\" + kUninstallEntryName;
  port::HKEY key = nullptr;
  port::LSTATUS status =
      port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, port::REG_OPTION_NON_VOLATILE,
                            port::KEY_ALL_ACCESS | view_of(wow64), nullptr, &key, nullptr);
  if (status != kSuccess)
    return fail(failure, "Unable to create", "HKEY_LOCAL_MACHINE\\" + path, static_cast<port::DWORD>(status));
  bool failed = false;
  if (!published) {
    // An earlier installation's name and version go until this one is in place.
    port::RegDeleteValueA(key, "DisplayVersion");
    failed = set_text(key, "InstallLocation", folder, failure) != 0 ||
             set_text(key, "DisplayIcon", folder + "\\install.exe,0", failure) != 0 ||
             set_text(key, "Publisher", kPublisher, failure) != 0 ||
             set_text(key, "UninstallString", quoted_command(folder, ""), failure) != 0 ||
             set_text(key, "QuietUninstallString", quoted_command(folder, " -c 0"), failure) != 0 ||
             set_number(key, "NoModify", 1, failure) != 0 || set_number(key, "NoRepair", 1, failure) != 0;
  } else {
    port::DWORD size = 0;
    bool measured = estimated_size(folder, &size);
    if (!measured) port::RegDeleteValueA(key, "EstimatedSize");
    failed = set_text(key, "InstalledList", *installed_list, failure) != 0 ||
             set_text(key, "InstallDate", install_date(), failure) != 0 ||
             (measured && set_number(key, "EstimatedSize", size, failure) != 0) ||
             set_text(key, "DisplayName", kDisplayName, failure) != 0 ||
             set_text(key, "DisplayVersion", HALVIK_VERSION, failure) != 0;
  }
  port::RegCloseKey(key);
  return failed ? 1 : 0;
}

// Deletes one file; one in use (the running program) is scheduled for the restart, and so is
// any file when `until_restart` asks for it.  True when it is gone or scheduled.
bool delete_product_file(const std::string& path, bool until_restart) {
  // Only a file that is there: a deletion scheduled for nothing would still ask for a restart.
  if (port::GetFileAttributesA(path.c_str()) == port::INVALID_FILE_ATTRIBUTES) {
    port::DWORD error = port::GetLastError();
    if (error == port::ERROR_FILE_NOT_FOUND || error == port::ERROR_PATH_NOT_FOUND) return true;
  }
  switch (delete_or_schedule(path.c_str(), until_restart)) {
    case FileDeletion::gone:
      return true;
    case FileDeletion::at_restart:
      report_output("%s will be deleted when the system restarts.\n", path.c_str());
      return true;
    case FileDeletion::stayed:
      break;
  }
  report_error("Unable to delete %s\n", path.c_str());
  return false;
}

// The copies and their folder.  0; or 1 when something can't go, named on standard error.
int remove_product_folder(const std::string& folder) {
  bool scheduled = false;
  for (const char* name : product_programs(true)) {
    std::string path = folder + "\\" + name;
    // Run from this folder, the command that ran it is still the entry's until the restart:
    // run again (an agent retries), it needs the counterpart beside it, so that goes with it.
    if (!delete_product_file(path, scheduled)) return 1;
    if (port::GetFileAttributesA(path.c_str()) != port::INVALID_FILE_ATTRIBUTES) scheduled = true;
  }
  if (!port::RemoveDirectoryA(folder.c_str())) {
    port::DWORD error = port::GetLastError();
    bool gone = error == port::ERROR_FILE_NOT_FOUND || error == port::ERROR_PATH_NOT_FOUND;
    // A folder that holds the running copy goes at the restart, after it.
    if (!gone &&
        !(scheduled && port::MoveFileExA(folder.c_str(), nullptr, port::MOVEFILE_DELAY_UNTIL_REBOOT))) {
      report_error("Unable to delete %s\n", folder.c_str());
      return 1;
    }
  }
  return 0;
}

// An installation that failed before its entry was written may have left the product folder
// with its copies: it goes too, but only a plain folder that holds a copy and nothing else.
int remove_unregistered_copies(bool wow64) {
  std::string folder;
  std::string parent;
  FailureInfo ignored;
  if (!product_folder(wow64, &folder, &parent, &ignored)) return 0;
  port::DWORD attributes = port::GetFileAttributesA(folder.c_str());
  if (attributes == port::INVALID_FILE_ATTRIBUTES || (attributes & port::FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & port::FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !holds_only_product_files(folder, &ignored))
    return 0;
  bool holds_a_copy = false;
  for (const char* name : product_programs(true))
    holds_a_copy |= port::GetFileAttributesA((folder + "\\" + name).c_str()) != port::INVALID_FILE_ATTRIBUTES;
  return holds_a_copy ? remove_product_folder(folder) : 0;
}

// The copies, their deletions taken back, and then the entry.  0, or 1 with failure filled.
int place_copies(const std::string& folder, const std::string& source, bool wow64, const std::string& installed_list,
                 FailureInfo* failure) {
  std::vector<std::string> placed{"\\??\\" + folder};
  for (const char* name : product_programs(wow64)) {
    std::string target = folder + "\\" + name;
    placed.push_back("\\??\\" + target);
    // Run from the product folder itself, the copy is already there.
    if (same_path(source, folder)) continue;
    std::string from = source + "\\" + name;
    port::SetFileAttributesA(target.c_str(), port::FILE_ATTRIBUTE_NORMAL);
    if (!port::CopyFileA(from.c_str(), target.c_str(), port::FALSE))
      return fail(failure, "Unable to copy", from, port::GetLastError());
    // A copy replaced in place keeps the access of the old one, which may be anyone's.
    if (!protect_path(target.c_str())) return fail(failure, "Unable to take over", target, port::GetLastError());
  }
  if (keep_files_at_restart(placed, failure) != 0) return 1;
  // Only now that the folder is ours and holds the copies: the entry runs what is there.
  if (write_entry(folder, wow64, nullptr, failure) != 0) return 1;
  return write_entry(folder, wow64, &installed_list, failure);
}

}  // namespace

int check_product_folder(FailureInfo* failure) {
  std::string folder;
  std::string parent;
  bool wow64 = false;
  return read_wow64(&wow64, failure) && product_folder(wow64, &folder, &parent, failure) ? 0 : 1;
}

int register_product(const std::string& installed_list, FailureInfo* failure) {
  std::string folder;
  std::string parent;
  std::string source;
  bool wow64 = false;
  if (!read_wow64(&wow64, failure)) return 1;
  if (!product_folder(wow64, &folder, &parent, failure)) return 1;
  if (!own_folder(&source)) return fail(failure, "Unable to find", "the program's own file", 0);
  bool made = false;
  if (take_product_folder(folder, parent, &made, failure) != 0) return 1;
  // The driver's keys are on the disk before the entry that says they are there.
  flush_registry();
  // A folder this run made goes again when the rest fails: nothing names it yet.
  if (place_copies(folder, source, wow64, installed_list, failure) != 0) {
    if (made) remove_product_folder(folder);
    return 1;
  }
  // The events' texts are in the program's copy, which stays until the removal.  Without the
  // source the events are still reported, shown without their text: that fails nothing.
  port::DWORD code = 0;
  if (register_event_source((folder + "\\install.exe").c_str(), &code) != 0) {
    char text[2 * port::MAX_PATH];
    std::snprintf(text, sizeof text, "Unable to register the event source %s", kEventSourceKeyPath);
    report_system_error(text, code);
  }
  return 0;
}

int unregister_product() {
  FailureInfo failure;
  bool wow64 = false;
  if (!read_wow64(&wow64, &failure)) {
    print_failure(failure);
    return 1;
  }
  // The removal's changes are on the disk before the entry that tells they are to be made goes.
  flush_registry();
  // First, while the entry is still there to run the removal again: a source left behind
  // would name a message file that is gone.
  port::DWORD code = 0;
  if (unregister_event_source(&code) != 0) {
    report_error("Unable to delete HKEY_LOCAL_MACHINE\\%s\n", kEventSourceKeyPath);
    return 1;
  }
  std::string entry = std::string(kUninstallKeyPath) + "\\" + kUninstallEntryName;
  port::HKEY key = nullptr;
  port::LSTATUS status =
      port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, entry.c_str(), 0, port::KEY_READ | view_of(wow64), &key);
  if (status == static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) return remove_unregistered_copies(wow64);
  char location[port::MAX_PATH] = "";
  port::DWORD size = sizeof location - 1;
  if (status == kSuccess) {
    status = port::RegQueryValueExA(key, "InstallLocation", nullptr, nullptr,
                                    reinterpret_cast<port::BYTE*>(location), &size);
    port::RegCloseKey(key);
  }
  if (status != kSuccess && status != static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) {
    // Kept, so that the next removal finds the copies again.
    report_error("Unable to read HKEY_LOCAL_MACHINE\\%s\\InstallLocation\n", entry.c_str());
    return 1;
  }
  // The entry says where its copies are: nothing else is taken for it.  One cut short before it
  // said so is taken as no entry.
  if ((status == kSuccess ? remove_product_folder(location) : remove_unregistered_copies(wow64)) != 0) return 1;
  // The entry has no subkeys; SHDeleteKeyA would look for it in the 32-bit view.
  status = port::RegDeleteKeyExA(port::HKEY_LOCAL_MACHINE, entry.c_str(), view_of(wow64), 0);
  if (status == kSuccess || status == static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) return 0;
  report_error("Unable to delete HKEY_LOCAL_MACHINE\\%s\n", entry.c_str());
  return 1;
}
