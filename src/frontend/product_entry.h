// The installation as Programs and Features and deployment tools see it: an Uninstall entry
// and, in a folder of the product's own under Program Files, the programs its removal runs, so
// that the entry keeps working after the unpacked package is gone.
#pragma once

#include "common/failure_info.h"

// The Uninstall entry's key below HKEY_LOCAL_MACHINE, in the 64-bit view on 64-bit Windows.
inline constexpr const char* kUninstallKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr const char* kUninstallEntryName = "halvik";

// Copies the programs into the product folder (taking back deletions an earlier removal
// scheduled there) and writes the entry.  0, or 1 with failure filled.
int register_product(FailureInfo* failure);

// Deletes the entry, the copies and the folder.  What can't go is named on standard error; the
// running program's own copy is scheduled for deletion at the next restart, which nothing else
// needs.
void unregister_product();
