#include "runlog/run_log.h"

#include <cstdio>
#include <cstring>

#include "common/protected_folder.h"

namespace {

constexpr port::LSTATUS kSuccess = static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
// What an event may carry of the run's output: the Event Viewer shows an event whole, and
// Windows takes no insertion string longer than 31,839 characters.
constexpr std::size_t kEventTextLimit = 16UL * 1024UL;
// The message table's one text per identifier is "%1": the event's text is its string.
constexpr port::DWORD kEventTypesSupported =
    port::EVENTLOG_ERROR_TYPE | port::EVENTLOG_WARNING_TYPE | port::EVENTLOG_INFORMATION_TYPE;

bool is_plain_folder(port::DWORD attributes) {
  return attributes != port::INVALID_FILE_ATTRIBUTES && (attributes & port::FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & port::FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The log's folder, made the administrators' own: created so, or taken over when it is there
// as a plain folder (never through a link, which could lead anywhere).  Its parent, Windows'
// Logs folder (missing before Vista), is made with what it inherits, as Windows makes it.
bool prepare_folder(const std::string& parent, const std::string& folder) {
  port::DWORD attributes = port::GetFileAttributesA(parent.c_str());
  if (attributes == port::INVALID_FILE_ATTRIBUTES) {
    if (!port::CreateDirectoryA(parent.c_str(), nullptr)) return false;
  } else if (!is_plain_folder(attributes)) {
    return false;
  }
  if (create_protected_folder(folder.c_str())) return true;
  if (port::GetLastError() != port::ERROR_ALREADY_EXISTS) return false;
  return is_plain_folder(port::GetFileAttributesA(folder.c_str())) && protect_path(folder.c_str());
}

// The log as it stands: a link is never written through; past the limit it makes room.
bool make_room(const std::string& log) {
  port::WIN32_FIND_DATAA entry{};
  port::HANDLE search = port::FindFirstFileA(log.c_str(), &entry);
  if (search == port::INVALID_HANDLE_VALUE) return port::GetLastError() == port::ERROR_FILE_NOT_FOUND;
  port::FindClose(search);
  if ((entry.dwFileAttributes & (port::FILE_ATTRIBUTE_DIRECTORY | port::FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
    return false;
  if (entry.nFileSizeHigh == 0 && entry.nFileSizeLow < kRunLogLimit) return true;
  return port::MoveFileExA(log.c_str(), (log + ".old").c_str(), port::MOVEFILE_REPLACE_EXISTING) !=
         port::FALSE;
}

std::string time_text(const port::SYSTEMTIME& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                time.wHour, time.wMinute, time.wSecond);
  return text;
}

port::WORD event_type(port::DWORD event_id) {
  if (event_id >= kEventFailed) return port::EVENTLOG_ERROR_TYPE;
  if (event_id == kEventDeclined) return port::EVENTLOG_WARNING_TYPE;
  return port::EVENTLOG_INFORMATION_TYPE;
}

// The Event Viewer breaks lines only at CR LF.
std::string with_crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n' && (out.empty() || out.back() != '\r')) out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

std::string command_line_text(int argc, char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const char* argument = argv[i] != nullptr ? argv[i] : "";
    if (i > 0) line += ' ';
    bool quote = argument[0] == '\0' || std::strpbrk(argument, " \t\"") != nullptr;
    if (!quote) {
      line += argument;
      continue;
    }
    // As the C runtime splits a command line again: backslashes before a quote are doubled.
    line += '"';
    std::size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
      if (*c == '\\') {
        ++backslashes;
      } else {
        if (*c == '"') line.append(backslashes + 1, '\\');
        backslashes = 0;
      }
      line += *c;
    }
    line.append(backslashes, '\\');
    line += '"';
  }
  return line;
}

bool run_log_path(std::string* path) {
  char windows[port::MAX_PATH];
  port::DWORD length = port::GetSystemWindowsDirectoryA(windows, port::MAX_PATH);
  if (length == 0 || length >= port::MAX_PATH) return false;
  std::string folder = windows;
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  *path = folder + "\\" + kRunLogFolder + "\\" + kRunLogName;
  return path->size() + std::strlen(".old") < port::MAX_PATH;
}

int append_run_log(const RunRecord& record, const std::string& printed) {
  std::string log;
  if (!run_log_path(&log)) return 1;
  std::string folder = log.substr(0, log.rfind('\\'));
  std::string parent = folder.substr(0, folder.rfind('\\'));
  if (!prepare_folder(parent, folder) || !make_room(log)) return 1;

  std::string text =
      "==== " + time_text(record.started) + "  " + record.program + " " + HALVIK_VERSION + "\n";
  text += "Command line: " + record.command_line + "\n";
  text += printed;
  if (!printed.empty() && printed.back() != '\n') text += '\n';
  text += "Exit code " + std::to_string(record.exit_code) + ": " + record.outcome + "\n";
  // Text mode: the runtime writes each line end as CR LF, as Notepad wants it; the system's
  // messages end in CR LF already.
  std::erase(text, '\r');
  std::FILE* file = port::fopen(log.c_str(), "a");
  if (file == nullptr) return 1;
  bool written = std::fputs(text.c_str(), file) >= 0;
  if (std::fclose(file) != 0) written = false;
  return written ? 0 : 1;
}

void append_started_program_log(const char* program, int argc, char* const* argv,
                                const port::SYSTEMTIME& started, int exit_code, const std::string& printed) {
  RunRecord record{};
  record.program = program;
  record.command_line = command_line_text(argc, argv);
  record.started = started;
  record.exit_code = exit_code;
  record.outcome =
      exit_code == 0 ? "done; the installer goes on." : "the installer reads why from its response.";
  append_run_log(record, printed);
}

int report_run_event(const RunRecord& record) {
  std::string text = record.outcome + " Exit code " + std::to_string(record.exit_code) + ".\n";
  text += "Command line: " + record.command_line + "\n";
  if (!record.reason.empty()) {
    std::string reason = record.reason;
    if (reason.size() > kEventTextLimit) reason = reason.substr(0, kEventTextLimit) + "...\n";
    text += reason;
    if (text.back() != '\n') text += '\n';
  }
  std::string log;
  if (run_log_path(&log)) text += "The run's output is in " + log + ".";
  text = with_crlf(text);

  port::HANDLE source = port::RegisterEventSourceA(nullptr, kEventSourceName);
  if (source == nullptr) return 1;
  const char* strings[] = {text.c_str()};
  bool reported = port::ReportEventA(source, event_type(record.event_id), 0, record.event_id, nullptr, 1, 0,
                                     strings, nullptr) != port::FALSE;
  port::DeregisterEventSource(source);
  return reported ? 0 : 1;
}

int register_event_source(const char* message_file, port::DWORD* code) {
  port::HKEY key = nullptr;
  port::LSTATUS status =
      port::RegCreateKeyExA(port::HKEY_LOCAL_MACHINE, kEventSourceKeyPath, 0, nullptr,
                            port::REG_OPTION_NON_VOLATILE, port::KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status == kSuccess) {
    status = port::RegSetValueExA(key, "EventMessageFile", 0, port::REG_EXPAND_SZ,
                                  reinterpret_cast<const port::BYTE*>(message_file),
                                  static_cast<port::DWORD>(std::strlen(message_file) + 1));
    if (status == kSuccess) {
      port::BYTE types[4] = {static_cast<port::BYTE>(kEventTypesSupported), 0, 0, 0};
      status = port::RegSetValueExA(key, "TypesSupported", 0, port::REG_DWORD, types, sizeof types);
    }
    port::RegCloseKey(key);
  }
  *code = static_cast<port::DWORD>(status);
  return status == kSuccess ? 0 : 1;
}

int unregister_event_source(port::DWORD* code) {
  port::LSTATUS status = port::RegDeleteKeyExA(port::HKEY_LOCAL_MACHINE, kEventSourceKeyPath, 0, 0);
  *code = static_cast<port::DWORD>(status);
  return status == kSuccess || status == static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND) ? 0 : 1;
}
