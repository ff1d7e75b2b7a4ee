// Folders that only Administrators and SYSTEM can open.  The program works in them with
// administrator rights, so nobody without those rights may read, replace or plant anything
// there: not the exchange with the counterpart, not the copies Programs and Features runs.
#pragma once

// Owner Administrators; full control for Administrators and SYSTEM, passed on to whatever is
// made inside; nothing taken over from the parent folder.
inline constexpr const char* kAdministratorsOnly = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// Creates the folder new with that security.  false with the last error set; with
// ERROR_ALREADY_EXISTS when anything of that name is there, which is left as it is.
bool create_protected_folder(const char* path);

// Gives a folder or file that is there that security, owner and access list.  false with the
// last error set (ERROR_ACCESS_DENIED when its owner keeps administrators out).
bool protect_path(const char* path);
