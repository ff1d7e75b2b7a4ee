// The system's directories and the DLLs a program loads, on the simulated machine.
//
// The Windows directory is the one the system was installed in, as the system itself records
// it (SystemRoot under Windows NT\CurrentVersion); the process's environment has no say: a
// user can set SystemRoot in it to anything.
//
// A DLL is a file on the simulated drive.  The system directory's own DLLs that the programs
// load (setupapi, newdev, shlwapi, cfgmgr32: every supported Windows has them) count as there
// without a file, so that machines imported from a real registry export, which bring no
// drive, load them as a real system would.  A file of that name elsewhere, beside the program
// for instance, is a DLL of its own: loading it is what a planted DLL needs, and the trace
// names the file each load took.
//
// Loading searches as Windows does with safe DLL search mode on: the modules already loaded
// by name, then the program's folder, the system directory, the 16-bit system directory, the
// Windows directory, the current directory and PATH.  A full path loads that file only.
// Relative paths with a folder in them are refused (ERROR_INVALID_PARAMETER): Windows leaves
// them undefined with LOAD_WITH_ALTERED_SEARCH_PATH, and nothing here needs them.
//
// Faults name LoadLibraryExA and GetModuleHandleA by the name given, FreeLibrary by the
// module's path, GetProcAddress by the function; the directory calls take no argument.
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/devices/devices.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kSystemDlls[] = {"setupapi.dll", "newdev.dll", "shlwapi.dll", "cfgmgr32.dll"};

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

std::string base_name(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Windows adds ".dll" to a name without an extension; a trailing dot says "no extension".
std::string with_extension(std::string name) {
  std::string base = base_name(name);
  if (!base.empty() && base.back() == '.') {
    name.pop_back();
  } else if (base.find('.') == std::string::npos) {
    name += ".dll";
  }
  return name;
}

// Whether the file at this full path is a DLL the process can load; a system DLL without a
// file takes its own name, as the system directory holds it.
bool dll_present(std::string* full) {
  FileTarget target = locate_file(full->c_str());
  if (target.exists) return !target.directory;
  if (!iequals(directory_of(*full), system_directory())) return false;
  for (const char* name : kSystemDlls) {
    if (!iequals(base_name(*full), name)) continue;
    *full = system_directory() + "\\" + name;
    return true;
  }
  return false;
}

// The folders a bare name is looked for in, in order.
std::vector<std::string> search_folders() {
  std::vector<std::string> folders = {directory_of(machine().image_path), system_directory(),
                                      windows_directory() + "\\system", windows_directory(),
                                      machine().current_directory};
  for (std::string& folder : split_folder_list(ini_value(machine().ini.get_or("environment", "PATH", ""))))
    folders.push_back(std::move(folder));
  return folders;
}

LoadedModule* module_of(HMODULE handle) {
  auto found = machine().modules.find(handle);
  return found == machine().modules.end() ? nullptr : found->second.get();
}

// The loaded module with this full path, or (bare name) this file name.
HMODULE loaded_module(const std::string& name, bool full_path) {
  for (const auto& [handle, module] : machine().modules) {
    if (iequals(full_path ? module->path : base_name(module->path), name))
      return static_cast<HMODULE>(handle);
  }
  return nullptr;
}

HMODULE load_failed(const std::string& call, DWORD error) {
  SetLastError(error);
  trace_line(call + " -> FALSE " + std::to_string(error));
  return nullptr;
}

}  // namespace

DWORD GetSystemDirectoryA(char* buffer, DWORD size) {
  return copy_directory("GetSystemDirectoryA", system_directory(), buffer, size);
}

DWORD GetSystemWindowsDirectoryA(char* buffer, DWORD size) {
  return copy_directory("GetSystemWindowsDirectoryA", windows_directory(), buffer, size);
}

HMODULE LoadLibraryExA(const char* file_name, HANDLE file, DWORD flags) {
  std::string call = "LoadLibraryExA " + quote(file_name) + " " + hex32(flags);
  if (DWORD injected = fault("LoadLibraryExA", {file_name == nullptr ? "" : file_name}))
    return load_failed(call, injected);
  if (file_name == nullptr || *file_name == '\0' || file != nullptr ||
      (flags & ~LOAD_WITH_ALTERED_SEARCH_PATH) != 0)
    return load_failed(call, ERROR_INVALID_PARAMETER);
  std::string name = with_extension(file_name);
  bool has_folder = name.find_first_of("\\/:") != std::string::npos;
  std::string found;
  HMODULE handle = nullptr;
  if (has_folder) {
    std::string full;
    bool absolute = name.size() >= 3 && name[1] == ':' && (name[2] == '\\' || name[2] == '/');
    if (!absolute || !full_windows_path(name, &full)) return load_failed(call, ERROR_INVALID_PARAMETER);
    handle = loaded_module(full, true);
    if (handle == nullptr && dll_present(&full)) found = full;
  } else {
    handle = loaded_module(name, false);
    for (const std::string& folder : search_folders()) {
      if (handle != nullptr || !found.empty()) break;
      std::string candidate = folder + (folder.empty() || folder.back() == '\\' ? "" : "\\") + name;
      if (dll_present(&candidate)) found = candidate;
    }
  }
  if (handle == nullptr && found.empty()) return load_failed(call, ERROR_MOD_NOT_FOUND);
  if (handle == nullptr) {
    auto module = std::make_unique<LoadedModule>();
    module->path = found;
    handle = reinterpret_cast<HMODULE>(module.get());
    machine().modules.emplace(handle, std::move(module));
  }
  LoadedModule* module = module_of(handle);
  ++module->count;
  trace_line(call + " -> " + module->path);
  return handle;
}

BOOL FreeLibrary(HMODULE handle) {
  LoadedModule* module = module_of(handle);
  std::string call = "FreeLibrary " + quote(module == nullptr ? "" : module->path);
  DWORD error = fault("FreeLibrary", {module == nullptr ? "" : module->path});
  if (error == 0 && module == nullptr) error = ERROR_MOD_NOT_FOUND;
  if (error != 0) {
    SetLastError(error);
    trace_line(call + " -> FALSE " + std::to_string(error));
    return FALSE;
  }
  if (--module->count == 0) machine().modules.erase(handle);
  trace_line(call + " -> TRUE");
  return TRUE;
}

// Finds a module the process loaded, without loading it or counting a load.
HMODULE GetModuleHandleA(const char* module_name) {
  std::string call = "GetModuleHandleA " + quote(module_name);
  if (DWORD injected = fault("GetModuleHandleA", {module_name == nullptr ? "" : module_name}))
    return load_failed(call, injected);
  HMODULE handle = nullptr;
  if (module_name != nullptr && *module_name != '\0') {
    std::string name = with_extension(module_name);
    std::string full;
    bool has_folder = name.find_first_of("\\/:") != std::string::npos;
    if (!has_folder) {
      handle = loaded_module(name, false);
    } else if (full_windows_path(name, &full)) {
      handle = loaded_module(full, true);
    }
  }
  if (handle == nullptr) return load_failed(call, ERROR_MOD_NOT_FOUND);
  trace_line(call + " -> TRUE");
  return handle;
}

// The functions the sim's modules export: the system's setupapi.dll exports what the sim
// provides of it; any other DLL (a planted one) exports nothing the program could call.
FARPROC GetProcAddress(HMODULE handle, const char* proc_name) {
  std::string call = "GetProcAddress " + quote(proc_name);
  if (DWORD injected = fault("GetProcAddress", {proc_name == nullptr ? "" : proc_name})) {
    load_failed(call, injected);
    return nullptr;
  }
  const LoadedModule* module = module_of(handle);
  if (module == nullptr) {
    load_failed(call, ERROR_INVALID_HANDLE);
    return nullptr;
  }
  FARPROC proc = nullptr;
  if (iequals(module->path, system_directory() + "\\setupapi.dll"))
    proc = sim::devices::setupapi_export(proc_name);
  if (proc == nullptr) {
    load_failed(call, ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  trace_line(call + " -> TRUE");
  return proc;
}

}  // namespace port
