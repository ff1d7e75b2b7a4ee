// How a run ends: what it came to, and the exit code that tells it to whoever started it.
#pragma once

// What a run came to.
inline constexpr int kRunSucceeded = 0;
inline constexpr int kRunFailed = 1;
inline constexpr int kRunUsageError = 2;     // the command line was refused; nothing changed
inline constexpr int kRunDeclined = 3;       // the overwrite question was answered no
inline constexpr int kRunWithoutRights = 4;  // no administrator rights; nothing changed
inline constexpr int kRunInformation = 5;    // --help or --version

// The option that asks for the exit codes deployment agents count (Windows Installer's).
inline constexpr const char* kAgentExitCodesOption = "--agent-exit-codes";

// Windows Installer's codes, which Configuration Manager, Intune and most agents know.
inline constexpr int kAgentRestartNeeded = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED
inline constexpr int kAgentRestartStarted = 1641;  // ERROR_SUCCESS_REBOOT_INITIATED
inline constexpr int kAgentFailed = 1603;          // ERROR_INSTALL_FAILURE
inline constexpr int kAgentDeclined = 1602;        // ERROR_INSTALL_USEREXIT
inline constexpr int kAgentUsageError = 1639;      // ERROR_INVALID_COMMAND_LINE

// The exit code for a run's result: by default 0, 1 (a restart recommended), -1 and -2 (a
// failure with a restart recommended); with agent codes the conventions above.
int exit_code_for(int result, bool restart_recommended, bool restart_started, bool agent_codes);
