// The installation as Programs and Features and deployment tools see it: an Uninstall entry
// and, in a folder of the product's own under Program Files, the programs its removal runs, so
// that the entry keeps working after the unpacked package is gone.
#pragma once

#include <string>

#include "common/failure_info.h"

// The Uninstall entry's key below HKEY_LOCAL_MACHINE, in the 64-bit view on 64-bit Windows.
inline constexpr const char* kUninstallKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr const char* kUninstallEntryName = "halvik";

// Whether the system's Program Files folder can take the product folder (it is known, a full
// path and free of quotes).  0, or 1 with failure filled.
int check_product_folder(FailureInfo* failure);

// Makes the product folder under the system's Program Files folder its own (only Administrators
// and SYSTEM may open it), copies the programs into it (taking back deletions an earlier
// removal scheduled there) and then writes the entry.  A folder there already is taken over
// only when it holds nothing but the programs' copies.  installed_list, the settings' batch
// list in its canonical form, is recorded beside the name and version for detection rules.
// The Application log's event source is registered too; a source that can't be is named on
// standard error and changes nothing else.  0, or 1 with failure filled.
int register_product(const std::string& installed_list, FailureInfo* failure);

// Deletes the event source, the entry, the copies and the folder.  0; or 1 when something can't go, named on
// standard error, with the entry kept so that the removal can be run again.  The running
// program's own copy is scheduled for deletion at the next restart, which nothing else needs.
int unregister_product();
