// Handing the Plug and Play work to the 64-bit counterpart on AMD64 machines.
#include "delegate/delegate.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "delegate/x64_exchange.h"
#include "platform/port.h"
#include "pnp/pnp.h"

namespace {

constexpr const char* kEnvironmentKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr std::size_t kTextSize = 512;

// The texts that come back live here until the next delegation, since the front end prints
// them after the operation has returned.
char context_text[kTextSize];
char message_text[kTextSize];

int fail(FailureInfo* failure, int* status, const char* message) {
  failure->message = message;
  *status = 1;
  return 1;
}

// The machine's architecture from the machine-wide environment, not the process's own (a
// 32-bit process on AMD64 sees "x86" in its own).  null, or the failure message.
const char* read_architecture(char* architecture, port::DWORD size) {
  port::HKEY key = nullptr;
  if (port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kEnvironmentKeyPath, 0, port::KEY_ALL_ACCESS, &key) !=
      static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    return "Error accessing registry to query architecture.";
  }
  port::DWORD length = size - 1;
  port::LSTATUS status = port::RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, nullptr,
                                                reinterpret_cast<port::BYTE*>(architecture), &length);
  port::RegCloseKey(key);
  if (status != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    return "Error accessing registry key to query architecture.";
  }
  architecture[length < size ? length : size - 1] = '\0';
  return nullptr;
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

// Whether `text` starts with `prefix`, letter case aside.
bool starts_with_ignoring_case(const char* text, const char* prefix, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b || a == '\0') return false;
  }
  return true;
}

// This program runs as a 32-bit process on AMD64, where Windows shows it SysWOW64 as
// %SystemRoot%\System32 (bar a few folders it leaves alone); the counterpart, a 64-bit
// program, sees the real System32.  A temporary folder there, as LocalSystem's profile
// (System32\config\systemprofile) has it under some deployment agents, would hold the exchange
// file where the counterpart can't find it: the counterpart gets the path where the file really
// is.  false when that path doesn't fit.
bool path_for_counterpart(const char* path, char* seen, std::size_t size) {
  static const char* const kUnredirected[] = {"catroot\\",      "catroot2\\", "DriverStore\\",
                                              "drivers\\etc\\", "LogFiles\\", "spool\\"};
  const char* root = port::getenv("SystemRoot");
  std::size_t root_length = root != nullptr ? std::strlen(root) : 0;
  while (root_length > 0 && root[root_length - 1] == '\\') --root_length;
  constexpr const char kSystem[] = "\\System32\\";
  constexpr std::size_t kSystemLength = sizeof kSystem - 1;
  bool redirected = root_length > 0 && starts_with_ignoring_case(path, root, root_length) &&
                    starts_with_ignoring_case(path + root_length, kSystem, kSystemLength);
  for (const char* folder : kUnredirected) {
    if (redirected &&
        starts_with_ignoring_case(path + root_length + kSystemLength, folder, std::strlen(folder)))
      redirected = false;
  }
  int length = redirected ? std::snprintf(seen, size, "%.*s\\SysWOW64\\%s", static_cast<int>(root_length),
                                          path, path + root_length + kSystemLength)
                          : std::snprintf(seen, size, "%s", path);
  return length >= 0 && static_cast<std::size_t>(length) < size;
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
  if (!skip_rest_of_line(file) || !read_text_line(file, context_text)) return kValueError;
  failure->context = text_or_none(context_text);
  if (std::fscanf(file, "%d", &value) != 1) return kValueError;
  failure->code = static_cast<std::uint32_t>(value);
  if (!skip_rest_of_line(file) || !read_text_line(file, message_text)) return kValueError;
  failure->message = text_or_none(message_text);
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

  const char* directory = port::getenv("TEMP");
  if (directory == nullptr) directory = port::getenv("TMP");
  if (directory == nullptr) directory = "";
  char path[kTextSize];
  int length = std::snprintf(path, sizeof(path), "%s\\instlib.tmp", directory);
  // A shortened path would name some other file; refuse it as a file that can't be created.
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof(path)) {
    return fail(failure, status, "Error opening input file for 64-bit program.");
  }

  if (const char* error = write_x64_request(path, command, inf_path, auto_start)) {
    return fail(failure, status, error);
  }

  // The runtime joins the arguments unquoted into one command line that the counterpart splits
  // at blanks again: quoted, the path arrives whole, blanks and all.
  char counterpart_path[kTextSize];
  if (!path_for_counterpart(path, counterpart_path, sizeof(counterpart_path))) {
    return fail(failure, status, "Error opening input file for 64-bit program.");
  }
  char quoted_path[kTextSize + 2];
  std::snprintf(quoted_path, sizeof(quoted_path), "\"%s\"", counterpart_path);
  // The counterpart writes to the same standard output and error; what this process has
  // written so far must come out before its lines, and a redirected output is fully buffered.
  std::fflush(stdout);
  std::fflush(stderr);
  errno = 0;
  std::intptr_t exit_code = port::spawnlp_wait("installx64.exe", "installx64.exe", "-6", quoted_path);
  if (exit_code == -1 && errno != 0) {
    std::snprintf(message_text, sizeof(message_text), "Error %d spawning 64-bit program.", errno);
    return fail(failure, status, message_text);
  }
  if (exit_code != 0) {
    std::snprintf(message_text, sizeof(message_text), "Exit code %d spawning 64-bit program.",
                  static_cast<int>(exit_code));
    return fail(failure, status, message_text);
  }

  if (const char* error = read_x64_response(path, command, reboot_needed, failure, status)) {
    return fail(failure, status, error);
  }
  return 1;
}

bool skip_rest_of_line(std::FILE* file) {
  for (;;) {
    int c = std::fgetc(file);
    if (c == '\n') return true;
    if (c == EOF) return false;
  }
}

const char* write_x64_request(const char* path, char command, const char* inf_path, int auto_start) {
  std::FILE* request = port::fopen(path, "w");
  if (request == nullptr) return "Error opening input file for 64-bit program.";
  std::fprintf(request, "0\n%c\n", command);
  if (command == 'I') {
    std::fprintf(request, "%s\n", inf_path != nullptr ? inf_path : "");
    std::fprintf(request, "%d\n", auto_start);
  } else if (command != 'R') {
    std::fclose(request);
    return "Invalid command for 64-bit program.";
  }
  std::fprintf(request, "%d\n", verbose);
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
