// The system's directories and the DLLs a program loads, on the simulated machine.
//
// The Windows directory is the one the system was installed in, as the system itself records
// it (SystemRoot under Windows NT\CurrentVersion); the process's environment has no say: a
// user can set SystemRoot in it to anything.
#include <cstring>
#include <string>

#include "platform/sim/machine/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// The registry's SystemRoot, else machine.ini's [system] windows_directory, else C:\WINDOWS;
// without a trailing backslash, so the root of a drive is "C:" as Windows answers it.
std::string windows_directory() {
  std::string dir;
  if (Key* key = find_key(machine().hklm.get(), kCurrentVersionKey)) {
    const Value* value = key->find_value("SystemRoot");
    if (value != nullptr && is_string_type(value->type)) {
      dir.assign(reinterpret_cast<const char*>(value->data.ptr), value->data.size());
      dir.resize(std::strlen(dir.c_str()));
    }
  }
  if (dir.empty()) dir = trim(ini_value(machine().ini.get_or("system", "windows_directory", "")));
  if (dir.empty()) dir = "C:\\WINDOWS";
  while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string system_directory() {
  return windows_directory() + "\\system32";
}

// Both directory calls: the length without the terminator, or the size needed with it and
// nothing copied when the buffer is too small.
DWORD copy_directory(const char* call, const std::string& dir, char* buffer, DWORD size) {
  DWORD result = 0;
  if (DWORD error = fault(call)) {
    SetLastError(error);
  } else if (buffer == nullptr || dir.size() + 1 > size) {
    result = static_cast<DWORD>(dir.size() + 1);
  } else {
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    result = static_cast<DWORD>(dir.size());
  }
  trace_line(std::string(call) + " " + std::to_string(size) + " -> " + std::to_string(result));
  return result;
}

}  // namespace

DWORD GetSystemDirectoryA(char* buffer, DWORD size) {
  return copy_directory("GetSystemDirectoryA", system_directory(), buffer, size);
}

DWORD GetSystemWindowsDirectoryA(char* buffer, DWORD size) {
  return copy_directory("GetSystemWindowsDirectoryA", windows_directory(), buffer, size);
}

}  // namespace port
