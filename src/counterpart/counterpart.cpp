#include "counterpart/counterpart.h"

#include <cstring>

#include "common/report.h"
#include "delegate/x64_exchange.h"
#include "pnp/pnp.h"
#include "pnp/pnp_steps.h"

namespace {

// The installer reads at most 510 characters of a text.
constexpr std::size_t kMaxResponseText = 510;

// The response is line-based, but some texts span lines (the host-service refusal does).  Each
// run of line ends becomes one blank, or nothing after a blank, and trailing ones go, so the
// text arrives as one readable line.  ":" stands for no text.
void response_text(const char* text, char* line) {
  if (text == nullptr) {
    std::strcpy(line, ":");
    return;
  }
  std::size_t length = 0;
  for (const char* p = text; *p != '\0' && length < kMaxResponseText; ++p) {
    if (*p == '\r' || *p == '\n') {
      while (p[1] == '\r' || p[1] == '\n') ++p;
      if (length > 0 && line[length - 1] != ' ' && p[1] != '\0') line[length++] = ' ';
      continue;
    }
    line[length++] = *p;
  }
  line[length] = '\0';
}

// The file name is the rest of the command line: an unquoted path with blanks arrives as
// several arguments.
bool join_arguments(int count, char** arguments, char* path, std::size_t size) {
  path[0] = '\0';
  std::size_t length = 0;
  for (int i = 0; i < count; ++i) {
    std::size_t part = std::strlen(arguments[i]);
    std::size_t needed = part + (i > 0 ? 1 : 0);
    if (length + needed >= size) return false;
    if (i > 0) path[length++] = ' ';
    std::memcpy(path + length, arguments[i], part);
    length += part;
    path[length] = '\0';
  }
  return length > 0;
}

}  // namespace

const char* read_counterpart_request(std::FILE* file, CounterpartRequest* request) {
  request->command = '?';
  request->inf_path[0] = '\0';
  request->auto_start = 0;
  request->verbose = 1;
  request->interactive = 1;

  int io_specifier = -1;
  if (std::fscanf(file, "%d", &io_specifier) != 1 || io_specifier != 0) {
    return "The request file does not begin with a request (io specifier 0).";
  }
  char letter[2] = {};
  if (std::fscanf(file, "%1s", letter) != 1) return "The request names no command.";
  request->command = letter[0];
  if (letter[0] != kX64Install && letter[0] != kX64Remove) return "The request names an unknown command.";

  if (letter[0] == kX64Install) {
    char line[512];
    if (!skip_rest_of_line(file) || std::fgets(line, sizeof(line), file) == nullptr) {
      return "The installation request names no INF file.";
    }
    std::size_t length = std::strcspn(line, "\r\n");
    if (line[length] == '\0' && !std::feof(file)) return "The INF path in the request is too long.";
    line[length] = '\0';
    if (length == 0) return "The installation request names no INF file.";
    if (length >= sizeof(request->inf_path)) return "The INF path in the request is too long.";
    std::memcpy(request->inf_path, line, length + 1);
    if (std::fscanf(file, "%d", &request->auto_start) != 1) {
      return "The installation request holds no auto-start value.";
    }
  }
  if (std::fscanf(file, "%d", &request->verbose) != 1) return "The request holds no verbose value.";
  // An installer of an earlier version writes no such line: its runs may ask, as they did.
  if (std::fscanf(file, "%d", &request->interactive) != 1) request->interactive = 1;
  return nullptr;
}

int perform_counterpart_request(const CounterpartRequest& request, int* reboot_needed, FailureInfo* failure) {
  clear_failure(failure);
  *reboot_needed = 0;
  verbose = request.verbose;
  interactive = request.interactive;
  // This is the 64-bit side already: the device work runs here, never handed on again.
  if (request.command == kX64Install)
    return install_pnp_devices(request.inf_path, request.auto_start, reboot_needed, failure);
  // The installer reports no memory outcome for a removal done here.
  int memory_outcome = 0;
  return remove_pnp_components(&memory_outcome, reboot_needed, failure);
}

bool write_counterpart_response(const char* path, char command, int reboot_needed, const FailureInfo& failure,
                                int status) {
  char context[kMaxResponseText + 1];
  char message[kMaxResponseText + 1];
  response_text(failure.context, context);
  response_text(failure.message, message);
  // Code 0 means "the last error when printed"; the installer prints in another process, so
  // the error is taken here.
  std::uint32_t code = failure.code;
  if (code == 0 && has_text(failure.context)) code = port::GetLastError();

  std::FILE* file = port::fopen(path, "w");
  if (file == nullptr) return false;
  std::fprintf(file, "1\n%c\n%d\n%s\n%d\n%s\n%d\n", command, reboot_needed, context, static_cast<int>(code),
               message, status);
  return std::fclose(file) == 0;
}

int run_counterpart(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "-6") != 0) {
    report_error("usage: installx64 -6 REQUEST_FILE\n");
    return 2;
  }
  char path[512];
  if (!join_arguments(argc - 2, argv + 2, path, sizeof(path))) {
    report_error("installx64: the request file name is too long\n");
    return 2;
  }

  CounterpartRequest request{};
  FailureInfo failure{};
  int reboot_needed = 0;
  int status = 1;
  std::FILE* file = port::fopen(path, "r");
  const char* problem = "The request file can't be opened.";
  if (file != nullptr) {
    problem = read_counterpart_request(file, &request);
    std::fclose(file);
  } else {
    request.command = '?';
  }

  if (problem != nullptr) {
    failure.message = problem;
  } else {
    status = perform_counterpart_request(request, &reboot_needed, &failure);
  }

  if (!write_counterpart_response(path, request.command, reboot_needed, failure, status)) {
    report_error("installx64: can't write the response to %s\n", path);
    return 1;
  }
  return 0;
}
