// What is kept of each run for the administrator who looks at a host later: deployment agents
// keep neither output stream, only the exit code.  Each run appends a record to a log file in
// a folder only administrators can write, and reports one event to the Application log.
// Neither may change what the run does, prints or returns: a record that can't be kept is
// dropped without a word.
#pragma once

#include <string>

#include "platform/port.h"

// Below the Windows directory; Windows Vista and later keep their own logs in its Logs folder.
inline constexpr const char* kRunLogFolder = "Logs\\Tessaridge";
inline constexpr const char* kRunLogName = "install.log";
// Past this size the log becomes install.log.old (replacing the one before) and a new one
// begins, so that the log of a host reinstalled daily never fills its disk.
inline constexpr unsigned long kRunLogLimit = 1024UL * 1024UL;

// The Application log's source for the program's events, registered by an installation and
// removed with it.
inline constexpr const char* kEventSourceName = "Tessaridge Installer";
inline constexpr const char* kEventSourceKeyPath =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tessaridge Installer";

// The event's type and identifier for each way a run can end.
inline constexpr port::DWORD kEventSucceeded = 1;
inline constexpr port::DWORD kEventSucceededRestartNeeded = 2;
inline constexpr port::DWORD kEventSucceededRestartStarted = 3;
inline constexpr port::DWORD kEventDeclined = 4;
inline constexpr port::DWORD kEventFailed = 10;
inline constexpr port::DWORD kEventFailedRestartNeeded = 11;
inline constexpr port::DWORD kEventUsageError = 12;
inline constexpr port::DWORD kEventNoRights = 13;

// One run as the log and the event tell it.
struct RunRecord {
  std::string program;       // "install", "installx64"
  std::string command_line;  // as the program was started
  port::SYSTEMTIME started;  // local time
  port::DWORD event_id;      // one of kEvent*
  std::string outcome;       // one sentence: what the run came to
  std::string reason;        // why, when it didn't simply succeed; may be empty
  int exit_code;             // as the process ends with it
};

// The arguments as one command line, each quoted when it holds a blank, a tab or a quote.
std::string command_line_text(int argc, char* const* argv);

// The log's full path below the system's Windows directory; false when that can't be read.
bool run_log_path(std::string* path);

// Appends the record and the output the run printed to the log, making and protecting its
// folder first.  0, or 1 when it couldn't (nothing is said about it).
int append_run_log(const RunRecord& record, const std::string& printed);

// The record of a program that another one started (installx64, started by install): its own
// lines in the log, before the record of the run that started it; the event is that run's.
// Called as the program ends, with the time it started.
void append_started_program_log(const char* program, int argc, char* const* argv,
                                const port::SYSTEMTIME& started, int exit_code, const std::string& printed);

// Reports the record's event to the Application log.  0, or 1 when it couldn't.
int report_run_event(const RunRecord& record);

// Registers the event source (its message file: the program's copy at message_file) so that
// the Event Viewer shows the events' text.  0, or 1 with the registry's error in *code.
int register_event_source(const char* message_file, port::DWORD* code);
// Removes it; 0 also when it was not there, else 1 with the error in *code.
int unregister_event_source(port::DWORD* code);
