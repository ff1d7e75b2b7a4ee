// Whether the program runs with the rights its work needs.
#pragma once

#include "common/failure_info.h"

// Whether the process's token holds BUILTIN\Administrators enabled, into *administrator.  A
// user outside the group has no such group, and under UAC an administrator not elevated holds
// it for deny only: both are no administrator.  A deployment agent running as LocalSystem is
// one.  0, or 1 with the call that failed recorded (and *administrator false).
int check_administrator_rights(bool* administrator, FailureInfo* failure);
