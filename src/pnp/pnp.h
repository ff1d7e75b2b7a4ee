// Plug and Play installation and removal of the driver package.
#pragma once

#include "common/run_switches.h"
#include "config/driver_config.h"

int install_pnp_driver(const DriverConfig* config, int do_adj, int already_opt, int meg_in_system,
                       int* memory_outcome, const char* inf_path, int auto_start, int* reboot_needed,
                       FailureInfo* failure);
// Whether the package's INF can be read, before anything of an earlier installation is taken
// away for a new one.  0, or 1 with the failure naming the INF's full path.
int check_driver_package(const char* inf_path, FailureInfo* failure);
int remove_pnp_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure);
