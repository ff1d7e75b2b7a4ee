// The Application event log and the local clock of the simulated machine.
//
// Events are appended to events.log in the machine's directory, one line each, beside the
// registry and machine.ini rather than on a drive: Windows keeps its logs in files the event
// log service holds open, which no program reads as files.  A line is
//   DATE TIME | SOURCE | TYPE | ID | STRING | STRING ...
// with each string's line ends and "|" written as \r, \n and \|.
//
// The clock is the host's local time unless machine.ini's [system] local_time
// ("YYYY-MM-DD HH:MM:SS") fixes it, as tests do that compare what two runs leave.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

#include "platform/sim/machine/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE
constexpr DWORD kLogFileFull = 1502;        // ERROR_LOG_FILE_FULL
constexpr std::size_t kMaxInsertionString = 31839;

// The handles RegisterEventSourceA gave this process, each with its source's name.
std::map<HANDLE, std::string>& sources() {
  static std::map<HANDLE, std::string> names;
  return names;
}
std::uintptr_t next_source_handle = 0xE7000;

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string result_text(BOOL ok) {
  return ok ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

const std::string* source_of(HANDLE handle) {
  auto found = sources().find(handle);
  return found == sources().end() ? nullptr : &found->second;
}

const char* type_text(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return "success";
    case EVENTLOG_ERROR_TYPE:
      return "error";
    case EVENTLOG_WARNING_TYPE:
      return "warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "information";
    default:
      return nullptr;
  }
}

std::string escaped(const char* text) {
  std::string out;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '\r') {
      out += "\\r";
    } else if (*c == '\n') {
      out += "\\n";
    } else if (*c == '|' || *c == '\\') {
      out += '\\';
      out += *c;
    } else {
      out += *c;
    }
  }
  return out;
}

bool read_fixed_time(SYSTEMTIME* time) {
  std::string text = trim(ini_value(machine().ini.get_or("system", "local_time", "")));
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (text.empty() ||
      std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u", &year, &month, &day, &hour, &minute, &second) != 6)
    return false;
  std::tm parts{};
  parts.tm_year = static_cast<int>(year) - 1900;
  parts.tm_mon = static_cast<int>(month) - 1;
  parts.tm_mday = static_cast<int>(day);
  parts.tm_hour = 12;
  std::time_t noon = std::mktime(&parts);  // for the day of the week
  time->wYear = static_cast<WORD>(year);
  time->wMonth = static_cast<WORD>(month);
  time->wDay = static_cast<WORD>(day);
  time->wDayOfWeek = static_cast<WORD>(noon == -1 ? 0 : parts.tm_wday);
  time->wHour = static_cast<WORD>(hour);
  time->wMinute = static_cast<WORD>(minute);
  time->wSecond = static_cast<WORD>(second);
  time->wMilliseconds = 0;
  return true;
}

void local_now(SYSTEMTIME* time) {
  if (read_fixed_time(time)) return;
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  time->wYear = static_cast<WORD>(parts.tm_year + 1900);
  time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
  time->wDay = static_cast<WORD>(parts.tm_mday);
  time->wHour = static_cast<WORD>(parts.tm_hour);
  time->wMinute = static_cast<WORD>(parts.tm_min);
  time->wSecond = static_cast<WORD>(parts.tm_sec);
  time->wMilliseconds = 0;
}

std::string time_text(const SYSTEMTIME& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                time.wHour, time.wMinute, time.wSecond);
  return text;
}

}  // namespace

void GetLocalTime(SYSTEMTIME* time) {
  // Windows documents no failure: a fault line for it changes nothing.
  fault("GetLocalTime");
  local_now(time);
  trace_line("GetLocalTime");
}

HANDLE RegisterEventSourceA(const char* server, const char* source) {
  HANDLE handle = nullptr;
  std::string name = source == nullptr ? "" : source;
  if (DWORD error = fault("RegisterEventSourceA", {name})) {
    SetLastError(error);
  } else if (server != nullptr && server[0] != '\0') {
    // Only this machine is simulated.
    SetLastError(kServerUnavailable);
  } else if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
  } else {
    // Each registration is a handle of its own, even for a name registered before.
    handle = reinterpret_cast<HANDLE>(next_source_handle);
    next_source_handle += 4;
    sources()[handle] = name;
    count_handle_opened();
  }
  trace_line("RegisterEventSourceA " + quote(source) + " -> " +
             (handle != nullptr ? "handle" : "NULL " + std::to_string(GetLastError())));
  return handle;
}

BOOL ReportEventA(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID user_sid, WORD num_strings,
                  DWORD data_size, const char** strings, void* raw_data) {
  (void)category;
  (void)user_sid;
  (void)raw_data;
  BOOL ok = FALSE;
  const std::string* source = source_of(event_log);
  std::string name = source == nullptr ? "" : *source;
  bool strings_fit = num_strings == 0 || strings != nullptr;
  for (WORD i = 0; strings_fit && i < num_strings; ++i)
    strings_fit = strings[i] != nullptr && std::strlen(strings[i]) <= kMaxInsertionString;
  if (DWORD error = fault("ReportEventA", {name})) {
    fail(error);
  } else if (source == nullptr) {
    fail(ERROR_INVALID_HANDLE);
  } else if (type_text(type) == nullptr || !strings_fit || (data_size != 0 && raw_data == nullptr)) {
    fail(ERROR_INVALID_PARAMETER);
  } else {
    SYSTEMTIME now{};
    local_now(&now);
    std::string line = time_text(now) + " | " + escaped(name.c_str()) + " | " + type_text(type) + " | " +
                       std::to_string(event_id);
    for (WORD i = 0; i < num_strings; ++i) line += " | " + escaped(strings[i]);
    line += '\n';
    Machine& m = machine();
    std::FILE* file = m.loaded ? std::fopen((m.dir + "/events.log").c_str(), "a") : nullptr;
    bool written = file != nullptr && std::fputs(line.c_str(), file) >= 0;
    if (file != nullptr && std::fclose(file) != 0) written = false;
    // The service keeps the log; a log it can't write is the service's trouble, reported as a
    // full log would be.
    ok = written ? TRUE : fail(kLogFileFull);
  }
  trace_line("ReportEventA " + quote(name.c_str()) + " " + std::to_string(type) + " " +
             std::to_string(event_id) + " -> " + result_text(ok));
  return ok;
}

BOOL DeregisterEventSource(HANDLE event_log) {
  BOOL ok = FALSE;
  const std::string* source = source_of(event_log);
  std::string name = source == nullptr ? "" : *source;
  if (DWORD error = fault("DeregisterEventSource", {name})) {
    fail(error);
  } else if (source == nullptr) {
    fail(ERROR_INVALID_HANDLE);
  } else {
    sources().erase(event_log);
    count_handle_closed();
    ok = TRUE;
  }
  trace_line("DeregisterEventSource " + quote(name.c_str()) + " -> " + result_text(ok));
  return ok;
}

}  // namespace port
