// Handing the Plug and Play device work to the 64-bit counterpart through instlib.tmp.
#pragma once

#include "common/failure_info.h"

// The device work handed over, as its letter in the request and the response.
enum X64Command : char { kX64Install = 'I', kX64Remove = 'R' };

// 0: the machine is x86 and the caller does the work itself.  1: every other case; *status
// holds the outcome (the counterpart's status, or 1 when the exchange failed).
int delegate_to_x64(char command, const char* inf_path, int auto_start, int* reboot_needed,
                    FailureInfo* failure, int* status);
