// The C runtime (msvcrt) and the backend's start-up and shut-down.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/windows_api.h"

const char* port::getenv(const char* name) {
  return std::getenv(name);
}

// The runtime's text mode already writes "\n" as CR LF.  msvcrt.dll knows no "x": a file
// created new is opened with _O_EXCL, which creates it with CREATE_NEW (failing on anything of
// that name, a link included), and then given a stream.
std::FILE* port::fopen(const char* path, const char* mode) {
  if (mode == nullptr || std::strcmp(mode, "wx") != 0) return std::fopen(path, mode);
  int descriptor = ::_open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (descriptor == -1) return nullptr;
  std::FILE* stream = ::_fdopen(descriptor, "w");
  if (stream == nullptr) ::_close(descriptor);
  return stream;
}

int port::remove(const char* path) {
  return std::remove(path);
}

// _spawnl starts the program at the path it is given and looks nowhere else; it sets errno
// when the program can't be started.
std::intptr_t port::spawnl_wait(const char* path, const char* arg0, const char* arg1, const char* arg2) {
  return ::_spawnl(_P_WAIT, path, arg0, arg1, arg2, static_cast<const char*>(nullptr));
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
