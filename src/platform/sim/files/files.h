// The drives of the simulated machine: Windows paths resolved against the current directory
// and found on the host whatever their case, and the attributes the host can't keep (hidden,
// system).  The file calls (port_files.cpp) work through these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/port.h"

namespace sim::internal {

using port::DWORD;

// Paths on the simulated drives.
// The full Windows path of `path` against the current directory ("C:\A\b"); false when it is
// not a drive path.
bool full_windows_path(std::string_view path, std::string* full);
// The host path (existing entries found case-insensitively); false when not a drive path.
bool host_path_of(std::string_view windows_path, std::string* host);
// The same, as the system sees it: without a 32-bit process's file system redirection.
bool native_host_path_of(std::string_view windows_path, std::string* host);
// The Windows error for a missing path: 2 when its directory exists, else 3.
DWORD missing_path_error(const std::string& host);
bool is_readonly(const std::string& host);
DWORD extra_attributes(const std::string& windows_full);  // hidden, system
void set_extra_attributes(const std::string& windows_full, DWORD attributes);

// The security a file or folder was given ([file_security] in machine.ini): SDDL text, "" for
// what it inherited.  descriptor_text: what a descriptor from
// ConvertStringSecurityDescriptorToSecurityDescriptorA holds, null for anything else.
std::string file_security(const std::string& windows_full);
void set_file_security(const std::string& windows_full, const std::string& sddl);
const char* descriptor_text(const void* descriptor);
// A machine.ini entry about a path (attributes, security); "" removes it.
void set_path_record(const char* section, const std::string& windows_full, const std::string& text);
// What the machine keeps about a path that is gone (attributes, security): forgotten.
void forget_file_records(const std::string& windows_full);

// Whether a host file is mapped by the system as a loaded service's image, so that it can't be
// deleted.  The service manager knows which are loaded and hands the check in
// (install_service_hooks); without one no file is.
void set_mapped_image_check(bool (*check)(const std::string& host));
bool mapped_image(const std::string& host);

// A path as a file call finds it.
struct FileTarget {
  std::string full;  // Windows path
  std::string host;  // host path, "" when the path is not on a simulated drive
  bool exists = false;
  bool directory = false;  // the entry is a folder, or a link to one
  // A host symbolic link, which stands for a Windows link (junction or symbolic link): the
  // path names the link itself; it exists even when what it points at does not.
  bool link = false;
  // The Windows error for it missing: 3 off the drives, else as missing_path_error.
  DWORD missing_error() const;
};
FileTarget locate_file(const char* path);
// Whether a file the process holds open lacks the sharing `needed_share` asks for.
bool open_without_sharing(const std::string& host, DWORD needed_share);
bool is_open(const std::string& host);  // by any handle of the process
// The running program's own file, where it is now: mapped for the process's life, so it can't
// be deleted or replaced, but it can be renamed (NTFS lets a mapped file move), and the
// protection goes with it.  GetModuleFileNameA keeps the name it was started as.
bool is_running_image(const FileTarget& target);

}  // namespace sim::internal
