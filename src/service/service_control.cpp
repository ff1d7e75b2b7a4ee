#include "service/service_control.h"

#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "config/memory_adjustment.h"

namespace {

constexpr const char* kDriverService = "halvik";
constexpr const char* kHostService = "halvservice";
constexpr const char* kEventLogKeyPath = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\halvik";
constexpr port::DWORD kStopWaitSleeps = 5;
constexpr port::DWORD kVanishAttempts = 10;
constexpr port::DWORD kPollMilliseconds = 1000;

constexpr std::size_t kDriverDirectorySize = 256;
static_assert(kDriverDirectorySize <= port::MAX_PATH, "the directory is walked in a MAX_PATH buffer");

// The driver directory, %SystemRoot%\halvik, into a kDriverDirectorySize buffer.  Empty when
// the system root is too long to form it: a cut path would name a different directory.  false
// when SystemRoot is not set (the directory is then looked for under \winnt).
bool find_driver_directory(char* directory) {
  const char* root = port::getenv("SystemRoot");
  bool root_known = root != nullptr;
  if (root == nullptr) root = "\\winnt";
  int length = std::snprintf(directory, kDriverDirectorySize, "%s\\%s", root, kDriverService);
  if (length < 0 || static_cast<std::size_t>(length) >= kDriverDirectorySize) directory[0] = '\0';
  return root_known;
}

enum class Presence { absent, present, unknown };

// Whether the driver directory is there (its attributes in *attributes); unknown when its
// attributes can't be read for a reason other than its absence.
Presence directory_presence(const char* path, port::DWORD* attributes) {
  if (path[0] == '\0') return Presence::unknown;
  *attributes = port::GetFileAttributesA(path);
  if (*attributes == port::INVALID_FILE_ATTRIBUTES) {
    port::DWORD error = port::GetLastError();
    return error == port::ERROR_FILE_NOT_FOUND || error == port::ERROR_PATH_NOT_FOUND ? Presence::absent
                                                                                      : Presence::unknown;
  }
  return (*attributes & port::FILE_ATTRIBUTE_DIRECTORY) != 0 ? Presence::present : Presence::absent;
}

void remove_entry(char* path, std::size_t length, port::DWORD attributes);

// Removes what the folder in path holds, depth first.  path is a MAX_PATH buffer holding the
// folder's path (length characters), extended in place for each entry and given back as it
// was; an entry whose path would not fit can't be named to the system and stays.
void remove_folder_contents(char* path, std::size_t length) {
  if (length + 2 >= port::MAX_PATH) return;
  std::memcpy(path + length, "\\*", 3);
  port::WIN32_FIND_DATAA entry{};
  port::HANDLE search = port::FindFirstFileA(path, &entry);
  path[length] = '\0';
  if (search == port::INVALID_HANDLE_VALUE) return;
  do {
    const char* name = entry.cFileName;
    std::size_t name_length = std::strlen(name);
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
        length + 1 + name_length >= port::MAX_PATH)
      continue;
    path[length] = '\\';
    std::memcpy(path + length + 1, name, name_length + 1);
    remove_entry(path, length + 1 + name_length, entry.dwFileAttributes);
    path[length] = '\0';
  } while (port::FindNextFileA(search, &entry));
  port::FindClose(search);
}

// Removes one entry of the driver directory, or the directory itself.  A link (a junction or
// symbolic link) goes as the link alone and is never followed: what it points at may be any
// folder of the machine.  A folder is emptied first; a file has its attributes reset, since a
// read-only file can't be deleted.  Whatever can't be removed stays, and so do the folders
// holding it: the caller sees the directory still there.
void remove_entry(char* path, std::size_t length, port::DWORD attributes) {
  bool folder = (attributes & port::FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((attributes & port::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (folder)
      port::RemoveDirectoryA(path);
    else
      port::DeleteFileA(path);
  } else if (folder) {
    remove_folder_contents(path, length);
    port::RemoveDirectoryA(path);
  } else {
    port::SetFileAttributesA(path, port::FILE_ATTRIBUTE_NORMAL);
    port::DeleteFileA(path);
  }
}

// The directory, when it is there, is removed with all it holds; one that stays, or whose
// presence can't be told, is named on standard error.
void remove_driver_directory_if_present(const char* directory, bool root_known) {
  port::DWORD attributes = 0;
  Presence presence = directory_presence(directory, &attributes);
  if (presence == Presence::absent) {
    // Without the Windows directory there is no telling where the driver directory is.
    if (!root_known) {
      report_error("%s",
                   "Unable to delete the driver directory: the Windows directory (SystemRoot) is unknown.\n");
    }
    return;
  }
  // Only a folder of a drive ("X:\...") is walked: a path the environment left relative would
  // name whatever folder the current drive or directory puts there.
  bool drive_path = ((directory[0] >= 'A' && directory[0] <= 'Z') || (directory[0] >= 'a' && directory[0] <= 'z')) &&
                    directory[1] == ':' && directory[2] == '\\';
  if (presence == Presence::present && drive_path) {
    char path[port::MAX_PATH];
    std::size_t length = std::strlen(directory);
    std::memcpy(path, directory, length + 1);
    remove_entry(path, length, attributes);
    if (directory_presence(directory, &attributes) == Presence::absent) return;
  }
  report_error("Unable to delete %s\n", directory[0] != '\0' ? directory : "the driver directory");
}

// Sends the stop request and waits, five seconds at most, while the service is running or
// stopping.  True when the service is known to have stopped; a status that can't be read ends
// the wait, and the service then counts as still loaded.
bool stop_service(port::SC_HANDLE service) {
  port::SERVICE_STATUS status{};
  port::ControlService(service, port::SERVICE_CONTROL_STOP, &status);
  for (port::DWORD sleeps = 0;; ++sleeps) {
    if (!port::QueryServiceStatus(service, &status)) return false;
    port::DWORD state = status.dwCurrentState;
    if (state != port::SERVICE_STOP_PENDING && state != port::SERVICE_RUNNING)
      return state == port::SERVICE_STOPPED;
    if (sleeps == kStopWaitSleeps) return false;
    port::Sleep(kPollMilliseconds);
  }
}

// The service goes only when every handle to it is closed; give other holders time.  False
// when it is still there at the end.
bool wait_until_service_gone(port::SC_HANDLE manager) {
  for (port::DWORD attempt = 0; attempt < kVanishAttempts; ++attempt) {
    port::SC_HANDLE lingering =
        port::OpenServiceA(manager, kDriverService, port::DELETE | port::SERVICE_STOP);
    if (lingering == nullptr) return true;
    port::CloseServiceHandle(lingering);
    port::Sleep(kPollMilliseconds);
  }
  return false;
}

// Whether the legacy removal, the second pass of a run, is under way.
bool in_legacy_pass = false;

// Stops and deletes the service behind the open handle, closes the handle and waits for the
// service to go.  0, or 1 with the failed deletion recorded.  A driver that would not stop stays
// loaded, marked for deletion, until the system restarts: *reboot_needed is set.
int delete_open_service(port::SC_HANDLE manager, port::SC_HANDLE service, int* reboot_needed,
                        FailureInfo* failure) {
  // Each said once per run: the second removal pass finds the same service still there.  On
  // AMD64 the first pass runs in the counterpart, so the legacy pass can't know what it said;
  // but a service it finds marked for deletion already is one the first pass has dealt with
  // (and named), in this run or an earlier one.
  static bool said_not_stopped = false;
  static bool said_in_use = false;
  bool stopped = stop_service(service);
  int result = 0;
  bool marked_before = false;
  // A service already marked for deletion (by an earlier pass that couldn't stop it) goes as
  // this deletion would have it go: once stopped, or at the restart.
  if (!port::DeleteService(service)) {
    port::DWORD error = port::GetLastError();
    marked_before = error == port::ERROR_SERVICE_MARKED_FOR_DELETE;
    if (!marked_before) {
      failure->context = "DeleteService";
      failure->code = error;
      result = 1;
    }
  }
  bool named_by_first_pass = marked_before && in_legacy_pass;
  if (!stopped) {
    if (!said_not_stopped && !named_by_first_pass) report_error("%s", kServiceNotStopped);
    said_not_stopped = true;
    *reboot_needed = 1;
  }
  port::CloseServiceHandle(service);
  port::Sleep(kPollMilliseconds);
  // Stopped and deleted, but another program holds it open: it stays marked for deletion, and
  // refuses a new installation, until the last handle closes or the system restarts.
  if (!wait_until_service_gone(manager) && stopped && result == 0) {
    if (!said_in_use && !named_by_first_pass) report_error("%s", kServiceInUse);
    said_in_use = true;
    *reboot_needed = 1;
  }
  return result;
}

}  // namespace

int query_service_state(const char* service_name, port::DWORD* state) {
  port::SC_HANDLE manager = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 1;
  int result = 1;
  port::SC_HANDLE service = port::OpenServiceA(manager, service_name, port::SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    port::SERVICE_STATUS status{};
    if (port::QueryServiceStatus(service, &status)) {
      *state = status.dwCurrentState;
      result = 0;
    }
    port::CloseServiceHandle(service);
  }
  port::CloseServiceHandle(manager);
  return result;
}

bool host_service_blocks_removal(FailureInfo* failure) {
  port::DWORD state = 0;
  if (query_service_state(kHostService, &state) != 0 || state == port::SERVICE_STOPPED) return false;
  failure->message = kHostServiceRefusal;
  return true;
}

int stop_and_delete_service(port::SC_HANDLE manager, int* reboot_needed, FailureInfo* failure) {
  int result = 0;
  port::SC_HANDLE service = port::OpenServiceA(
      manager, kDriverService, port::DELETE | port::SERVICE_STOP | port::SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    result = delete_open_service(manager, service, reboot_needed, failure);
  } else {
    port::DWORD error = port::GetLastError();
    if (error != port::ERROR_SERVICE_DOES_NOT_EXIST) {
      failure->context = "OpenService - driver";
      failure->code = error;
      result = 1;
    } else {
      // No service registered, but its key may be left from an installation that failed before
      // its device work; a later installation would take that key for an installed driver.
      port::LSTATUS deleted = port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, kServiceKeyPath);
      if (deleted != static_cast<port::LSTATUS>(port::ERROR_SUCCESS) &&
          deleted != static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) {
        result = 1;
        // The legacy pass only follows a Plug and Play pass that went as far as this key and
        // reported it (here, as a key its registry step couldn't delete, or as the service
        // failure that kept it): it fails the run for the key that stays, without naming it a
        // second time.
        if (!in_legacy_pass) {
          failure->context = "DeleteKey - driver";
          failure->code = static_cast<std::uint32_t>(deleted);
        }
      }
    }
  }

  port::LSTATUS deleted = port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, kEventLogKeyPath);
  if (deleted != static_cast<port::LSTATUS>(port::ERROR_SUCCESS) &&
      deleted != static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) {
    result = 1;
    // An earlier failure says more about what went wrong; keep it.
    if (!has_text(failure->context)) {
      failure->context = "DeleteKey - EventLog";
      failure->code = static_cast<std::uint32_t>(deleted);
    }
  }
  return result;
}

int remove_legacy_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  *memory_outcome = 0;
  *reboot_needed = 0;
  clear_failure(failure);

  if (host_service_blocks_removal(failure)) return 1;

  char driver_directory[kDriverDirectorySize];
  bool root_known = find_driver_directory(driver_directory);
  // An adjustment of ours that can't be undone keeps the service key that holds its
  // bookkeeping, so that the next removal can still restore it.
  if (restore_memory_adjustment(memory_outcome, reboot_needed, failure) == kAdjustmentStuck) return 1;

  port::SC_HANDLE manager = port::OpenSCManagerA(nullptr, nullptr, port::SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    failure->context = "OpenSCManager";
    failure->code = port::GetLastError();
    return 1;
  }
  in_legacy_pass = true;
  int result = stop_and_delete_service(manager, reboot_needed, failure);
  in_legacy_pass = false;
  port::CloseServiceHandle(manager);

  remove_driver_directory_if_present(driver_directory, root_known);
  return result;
}
