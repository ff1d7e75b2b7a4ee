// The program flow of install: removal or installation, the reboot offer and the exit code.
#pragma once

#include "config/driver_config.h"

// The INF of the driver package, relative to the working directory.
inline constexpr const char* kInfPath = "..\\pnp\\morvellan.inf";

// The whole run, after the platform is up; ends the process.
[[noreturn]] void run_installer(int argc, char** argv);

// kind 1: the Plug and Play removal; any other: the legacy removal.  Prints its report and
// outcome; returns only when the removal succeeded, else ends the process.
void run_removal_pass(int* reboot_needed, int kind);

// Marks the reboot as recommended, asks (or obeys the batch list) and reboots if so decided.
void offer_reboot();
// Enables the shutdown privilege and asks the system to reboot; reports and returns on failure.
void reboot_system();

// The DriverConfig that the settings describe.
DriverConfig build_driver_config();

// Ends the process: 0 success, 1 success with a reboot recommended, -1 failure, -2 failure
// with a reboot recommended (or the agents' codes when asked for).
[[noreturn]] void finish(int status);
// Ends the process for a run that came to result (kRun* of exit_codes.h), after keeping its
// log and event.
[[noreturn]] void end_run(int result);
