// Plug and Play installation and removal of the driver package.
#pragma once

#include "config/driver_config.h"

// The program-wide progress switch; it starts as 1 and nothing turns it off.
extern int verbose;
// Whether someone may answer a prompt of the system's device installation.  The front end
// clears it for a batch run (an agent's, with no one at a console or desktop) and the
// counterpart takes it from the request; it starts as 1.
extern int interactive;

int install_pnp_driver(const DriverConfig* config, int do_adj, int already_opt, int meg_in_system,
                       int* memory_outcome, const char* inf_path, int auto_start, int* reboot_needed,
                       FailureInfo* failure);
// Whether the package's INF can be read, before anything of an earlier installation is taken
// away for a new one.  0, or 1 with the failure naming the INF's full path.
int check_driver_package(const char* inf_path, FailureInfo* failure);
int remove_pnp_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure);
