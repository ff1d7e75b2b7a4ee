// WOW64 on the simulated machine: whether the calling process is a 32-bit one on 64-bit
// Windows ([system] processor = AMD64: the installer, or whatever set_process_bits(32) made
// one), and the registry and file system views the redirectors give it.
#pragma once

#include <string>

#include "platform/port.h"

namespace sim::internal {

using port::DWORD;

// The calling process's bitness on a 64-bit machine: 32 a WOW64 process, 64 a native one, 0 by
// the program's name.
void set_process_bits(int bits);
bool process_is_wow64();
// The key path below HKLM that `path` names in the calling process's registry view: SOFTWARE
// is SOFTWARE\Wow6432Node in the 32-bit view, but for the keys both views share.  access may
// ask for the other view (KEY_WOW64_64KEY, KEY_WOW64_32KEY).
std::string registry_view_path(const std::string& path, DWORD access);
// The full Windows path that a file access of the calling process reaches: System32 is
// SysWOW64 for a 32-bit process (but for the folders Windows leaves alone), Sysnative System32.
std::string file_view_path(const std::string& full);

}  // namespace sim::internal
