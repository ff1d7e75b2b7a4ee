// The C runtime (msvcrt) and the backend's start-up and shut-down.
#include <process.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32/windows_api.h"

const char* port::getenv(const char* name) {
  return std::getenv(name);
}

int port::system(const char* command) {
  return std::system(command);
}

// The runtime's text mode already writes "\n" as CR LF.
std::FILE* port::fopen(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

int port::remove(const char* path) {
  return std::remove(path);
}

// _spawnlp looks in the current directory first, then along PATH, and sets errno when the
// program can't be started.
std::intptr_t port::spawnlp_wait(const char* file, const char* arg0, const char* arg1, const char* arg2) {
  return ::_spawnlp(_P_WAIT, file, arg0, arg1, arg2, static_cast<const char*>(nullptr));
}

namespace {

// Takes the current directory, and where the system allows it every folder but the system
// directory, out of the places a DLL loaded later by name is looked for: the system DLLs load
// theirs by name, and a folder the program was started from may hold anyone's.  kernel32 has
// SetDefaultDllDirectories from Windows 8 (Windows 7 and 2008 R2 with KB2533623) and
// SetDllDirectoryA from XP SP1; both are looked up, as the programs must start on Windows 2000,
// which has neither and keeps its search as it is.
void restrict_dll_search() {
  ::HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return;
  using SetDefaultDllDirectoriesProc = ::BOOL(WINAPI*)(::DWORD);
  auto set_default_directories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (set_default_directories != nullptr && set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  using SetDllDirectoryProc = ::BOOL(WINAPI*)(const char*);
  auto set_dll_directory = reinterpret_cast<SetDllDirectoryProc>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDllDirectoryA")));
  if (set_dll_directory != nullptr) set_dll_directory("");
}

}  // namespace

// Every change is durable as made; the DLL search is restricted before anything is loaded.
int port::initialize() {
  restrict_dll_search();
  return 0;
}

void port::shutdown() {}
