// Handing the Plug and Play work to the 64-bit counterpart on AMD64 machines.
#include "delegate/delegate.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/processor_architecture.h"
#include "common/protected_folder.h"
#include "common/report.h"
#include "common/run_switches.h"
#include "delegate/x64_exchange.h"
#include "platform/port.h"

namespace {

constexpr std::size_t kTextSize = 512;
constexpr const char* kOpenInputError = "Error opening input file for 64-bit program.";

int fail(FailureInfo* failure, int* status, const char* message) {
  failure->message = message;
  *status = 1;
  return 1;
}

// The machine's architecture; null, or the failure message.  The key is opened for all access,
// as it always has been here.
const char* read_architecture(char* architecture, port::DWORD size) {
  bool opened = false;
  if (read_processor_architecture(port::KEY_ALL_ACCESS, architecture, size, &opened) ==
      static_cast<port::LSTATUS>(port::ERROR_SUCCESS))
    return nullptr;
  return opened ? "Error accessing registry key to query architecture."
                : "Error accessing registry to query architecture.";
}

// One whole line into a kTextSize buffer, without its line end.  A longer line is cut to
// kTextSize - 2 characters and the rest of it skipped, so the next field starts on its own
// line.  false when no line could be read.
bool read_text_line(std::FILE* file, char* text) {
  if (std::fgets(text, static_cast<int>(kTextSize), file) == nullptr) return false;
  std::size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == '\n') {
    text[length - 1] = '\0';
  } else if (length == kTextSize - 1) {
    text[length - 1] = '\0';
    skip_rest_of_line(file);
  }
  return true;
}

// Exchange folders that an earlier run could not remove (a deletion that failed, a run that
// was ended) go before a new one is made: the request file in it, then the folder.  Neither
// call follows a link, and RemoveDirectoryA takes only an empty folder, so a folder of that
// name that someone else made loses at most a link of that name.  Best effort and silent.
void remove_stale_exchange_folders(const char* temp) {
  char pattern[port::MAX_PATH];
  if (std::snprintf(pattern, sizeof pattern, "%s\\halvik-*", temp) >= static_cast<int>(sizeof pattern)) return;
  port::WIN32_FIND_DATAA entry{};
  port::HANDLE search = port::FindFirstFileA(pattern, &entry);
  if (search == port::INVALID_HANDLE_VALUE) return;
  do {
    if ((entry.dwFileAttributes & port::FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (entry.dwFileAttributes & port::FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      continue;
    char folder[port::MAX_PATH];
    char file[port::MAX_PATH];
    int length = std::snprintf(folder, sizeof folder, "%s\\%s", temp, entry.cFileName);
    if (length < 0 || static_cast<std::size_t>(length) + sizeof "\\instlib.tmp" > sizeof folder) continue;
    if (std::snprintf(file, sizeof file, "%s\\instlib.tmp", folder) < 0) continue;
    port::DeleteFileA(file);
    port::RemoveDirectoryA(folder);
  } while (port::FindNextFileA(search, &entry));
  port::FindClose(search);
}

// The exchange lives in a folder made for this run in the system's own Temp folder, not in
// the TEMP the process's environment names: only Administrators and SYSTEM can open it, so
// nobody without those rights can read the request, rewrite the response or plant a link
// where the file goes.  The Windows directory comes from the system, not from SystemRoot in
// the environment, and its Temp folder is outside System32, so the 64-bit counterpart finds
// the file where this 32-bit program wrote it.  false when no folder could be made.
// On failure `folder` names what could not be made and the last error says why.
bool make_exchange_folder(char* folder, std::size_t size) {
  std::snprintf(folder, size, "%s", "the exchange folder in the Windows directory");
  char windows[port::MAX_PATH];
  port::DWORD length = port::GetSystemWindowsDirectoryA(windows, sizeof windows);
  if (length == 0 || length >= sizeof windows) {
    if (length != 0) port::SetLastError(port::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  while (length > 0 && windows[length - 1] == '\\') windows[--length] = '\0';
  char temp[port::MAX_PATH];
  if (std::snprintf(temp, sizeof temp, "%s\\Temp", windows) >= static_cast<int>(sizeof temp)) {
    port::SetLastError(port::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  remove_stale_exchange_folders(temp);
  // A name that is taken (by an earlier run, or by someone who guessed it) is never used: the
  // folder must be new to be ours.
  constexpr int kAttempts = 32;
  unsigned long process = port::GetCurrentProcessId();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int written = std::snprintf(folder, size, "%s\\halvik-%lx-%d", temp, process, attempt);
    if (written < 0 || static_cast<std::size_t>(written) + sizeof "\\instlib.tmp" > size) {
      port::SetLastError(port::ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (create_protected_folder(folder)) return true;
    if (port::GetLastError() != port::ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

// The counterpart beside this program's own file, never looked for in the current directory
// or along PATH.  false when the program's own path can't be had.
bool counterpart_beside_program(char* path, std::size_t size) {
  char own[port::MAX_PATH];
  port::DWORD length = port::GetModuleFileNameA(nullptr, own, sizeof own);
  if (length == 0 || length >= sizeof own) return false;
  const char* slash = std::strrchr(own, '\\');
  if (slash == nullptr) return false;
  int written = std::snprintf(path, size, "%.*s\\installx64.exe", static_cast<int>(slash - own), own);
  return written > 0 && static_cast<std::size_t>(written) < size;
}

// The request file and its folder go once the exchange is over, whatever its outcome.
void remove_exchange(const char* folder, const char* path) {
  if (port::GetFileAttributesA(path) != port::INVALID_FILE_ATTRIBUTES && port::remove(path) != 0)
    report_error("Unable to delete %s\n", path);
  if (!port::RemoveDirectoryA(folder)) report_error("Unable to delete %s\n", folder);
}

// A request that can't be written says which file and why before the message: an agent's log
// has nothing else to go on.
int fail_creating(FailureInfo* failure, int* status, const char* path, port::DWORD error) {
  // A path longer than the record's room is cut: the context only names it.
  set_failure_context(failure, "Unable to create %s", path);
  failure->code = error;
  return fail(failure, status, kOpenInputError);
}

int exchange(char command, const char* inf_path, int auto_start, const char* path, int* reboot_needed,
             FailureInfo* failure, int* status) {
  if (const char* error = write_x64_request(path, command, inf_path, auto_start)) {
    if (error == kOpenInputError) return fail_creating(failure, status, path, port::GetLastError());
    return fail(failure, status, error);
  }

  char counterpart[kTextSize];
  if (!counterpart_beside_program(counterpart, sizeof counterpart)) {
    set_failure_message(failure, "Error %d spawning 64-bit program.", ENOENT);
    return fail(failure, status, failure->message);
  }
  // The runtime joins the arguments unquoted into one command line that the counterpart splits
  // at blanks again: quoted, the path arrives whole, blanks and all.
  char quoted_path[kTextSize + 2];
  if (std::snprintf(quoted_path, sizeof(quoted_path), "\"%s\"", path) < 0) quoted_path[0] = '\0';
  // The counterpart writes to the same standard output and error; what this process has
  // written so far must come out before its lines, and a redirected output is fully buffered.
  std::fflush(stdout);
  std::fflush(stderr);
  errno = 0;
  std::intptr_t exit_code = port::spawnl_wait(counterpart, "installx64.exe", "-6", quoted_path);
  if (exit_code == -1 && errno != 0) {
    set_failure_message(failure, "Error %d spawning 64-bit program.", errno);
    return fail(failure, status, failure->message);
  }
  if (exit_code != 0) {
    set_failure_message(failure, "Exit code %d spawning 64-bit program.", static_cast<int>(exit_code));
    return fail(failure, status, failure->message);
  }

  if (const char* error = read_x64_response(path, command, reboot_needed, failure, status)) {
    return fail(failure, status, error);
  }
  return 1;
}

const char* text_or_none(const char* text) {
  return std::strcmp(text, ":") == 0 ? nullptr : text;
}

const char* read_response_fields(std::FILE* file, char command, int* reboot_needed, FailureInfo* failure,
                                 int* status) {
  int io_specifier = 0;
  if (std::fscanf(file, "%d", &io_specifier) != 1 || io_specifier != 1) {
    return "Error reading io specifier from 64-bit program.";
  }
  char letter[2] = {};
  if (std::fscanf(file, "%1s", letter) != 1 || letter[0] != command) {
    return "Error reading command from 64-bit program.";
  }
  constexpr const char* kValueError = "Error reading value from 64-bit program.";
  int value = 0;
  if (std::fscanf(file, "%d", &value) != 1) return kValueError;
  *reboot_needed = value;
  char text[kTextSize];
  if (!skip_rest_of_line(file) || !read_text_line(file, text)) return kValueError;
  set_failure_context(failure, "%s", text);
  failure->context = text_or_none(failure->context);
  if (std::fscanf(file, "%d", &value) != 1) return kValueError;
  failure->code = static_cast<std::uint32_t>(value);
  if (!skip_rest_of_line(file) || !read_text_line(file, text)) return kValueError;
  set_failure_message(failure, "%s", text);
  failure->message = text_or_none(failure->message);
  if (std::fscanf(file, "%d", &value) != 1) return kValueError;
  *status = value;
  return nullptr;
}

}  // namespace

int delegate_to_x64(char command, const char* inf_path, int auto_start, int* reboot_needed,
                    FailureInfo* failure, int* status) {
  failure->context = nullptr;
  failure->message = nullptr;

  char architecture[kTextSize];
  if (const char* error = read_architecture(architecture, sizeof(architecture))) {
    return fail(failure, status, error);
  }
  if (std::strcmp(architecture, "x86") == 0) return 0;
  if (std::strcmp(architecture, "AMD64") != 0)
    return fail(failure, status, "Unsupported processor architecture.");

  char folder[kTextSize];
  if (!make_exchange_folder(folder, sizeof folder)) {
    return fail_creating(failure, status, folder, port::GetLastError());
  }
  // make_exchange_folder left room for the name.
  char path[kTextSize];
  if (std::snprintf(path, sizeof path, "%s\\instlib.tmp", folder) < 0) path[0] = '\0';
  int result = exchange(command, inf_path, auto_start, path, reboot_needed, failure, status);
  remove_exchange(folder, path);
  return result;
}

bool skip_rest_of_line(std::FILE* file) {
  for (;;) {
    int c = std::fgetc(file);
    if (c == '\n') return true;
    if (c == EOF) return false;
  }
}

const char* write_x64_request(const char* path, char command, const char* inf_path, int auto_start) {
  // Created new: never an old file of that name, never through a link.
  std::FILE* request = port::fopen(path, "wx");
  if (request == nullptr) return kOpenInputError;
  std::fprintf(request, "0\n%c\n", command);
  if (command == kX64Install) {
    std::fprintf(request, "%s\n", inf_path != nullptr ? inf_path : "");
    std::fprintf(request, "%d\n", auto_start);
  } else if (command != kX64Remove) {
    std::fclose(request);
    return "Invalid command for 64-bit program.";
  }
  std::fprintf(request, "%d\n%d\n", verbose, interactive);
  std::fclose(request);
  return nullptr;
}

const char* read_x64_response(const char* path, char command, int* reboot_needed, FailureInfo* failure,
                              int* status) {
  std::FILE* response = port::fopen(path, "r");
  if (response == nullptr) return "Error opening output file from 64-bit program.";
  const char* error = read_response_fields(response, command, reboot_needed, failure, status);
  std::fclose(response);
  // A complete answer has been taken over; an incomplete one stays for a look at what came.
  // A stale exchange file is harmless to the next run, which writes it anew, but say so.
  if (error == nullptr && port::remove(path) != 0) report_error("Unable to delete %s\n", path);
  return error;
}
