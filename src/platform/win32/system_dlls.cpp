// The DLLs the programs load at run time, each once, from the system directory.
//
// A full path is never searched for, and LOAD_WITH_ALTERED_SEARCH_PATH makes Windows look for
// the DLL's own imports in its folder (the system directory) before anywhere else, instead of
// beside the program.  Every Windows from 2000 on takes that flag; it only may not be combined
// with the LOAD_LIBRARY_SEARCH_ flags in one call, which are not used here, and it keeps its
// meaning once the start-up has restricted the search (runtime.cpp).
//
// The programs are single-threaded: the table needs no lock.  A load that failed is tried
// again at the next use, so every caller sees the failure's own last error.
#include <cstring>

#include "platform/win32/windows_api.h"

namespace {

struct LoadedDll {
  const char* file;
  ::HMODULE module;
};

// In the order of win32::SystemDll.
LoadedDll loaded_dlls[] = {
    {"setupapi.dll", nullptr},
    {"newdev.dll", nullptr},
    {"shlwapi.dll", nullptr},
};

::HMODULE load(LoadedDll& dll) {
  if (dll.module != nullptr) return dll.module;
  char path[MAX_PATH];
  ::UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0) return nullptr;
  std::size_t name_length = std::strlen(dll.file);
  // Also when the directory did not fit: the answer is then the size it needs.
  if (length + 1 + name_length >= MAX_PATH) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  if (path[length - 1] != '\\') path[length++] = '\\';
  std::memcpy(path + length, dll.file, name_length + 1);
  dll.module = ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  return dll.module;
}

}  // namespace

::FARPROC win32::system_function(SystemDll dll, const char* name) {
  ::HMODULE module = load(loaded_dlls[static_cast<int>(dll)]);
  return module == nullptr ? nullptr : ::GetProcAddress(module, name);
}
