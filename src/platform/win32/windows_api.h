// The Windows headers for the win32 backend, and the conversions between port records and
// their Windows namesakes.
//
// port.h comes first: once <windows.h> is in, TRUE, DELETE, ERROR_SUCCESS, MAX_PATH and the
// other Windows macros would rewrite port's constants of the same names.  From here on the
// backend uses Windows' own macros, never the port:: constants.
#pragma once

#include "platform/port.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The Windows headers must come in this order: setupapi.h needs windows.h first.
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <shlwapi.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace win32 {

// The DLLs that are not among Windows' known DLLs on every supported version.  None is
// imported: Windows would look for it beside the program first, where whoever can write that
// folder could put a DLL of their own and have it run with the program's rights.  Each is
// loaded at its first use from the system directory, by its full path (system_dlls.cpp).
enum class SystemDll { setupapi, newdev, shlwapi };

// The function of that name in the DLL; nullptr, with the last error of the failed load or
// look-up (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ...), when the process can't have it.
::FARPROC system_function(SystemDll dll, const char* name);

template <typename Function>
Function* system_function(SystemDll dll, const char* name) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(system_function(dll, name)));
}

// Calls the function of that name in the DLL with the arguments given; when the process can't
// have the function, answers `failure` as the function answers its own failures, and the last
// error says why.
template <typename Function, typename Failure, typename... Arguments>
std::invoke_result_t<Function*, Arguments...> call_system(SystemDll dll, const char* name, Failure failure,
                                                          Arguments... arguments) {
  Function* function = system_function<Function>(dll, name);
  if (function == nullptr) return static_cast<std::invoke_result_t<Function*, Arguments...>>(failure);
  return function(arguments...);
}

// The Windows function `name` of `dll`, called through call_system with the type the Windows
// headers give it, so the name and the signature can't disagree.
#define WIN32_CALL(dll, name, failure, ...) \
  ::win32::call_system<decltype(::name)>(::win32::SystemDll::dll, #name, failure, __VA_ARGS__)

// Value types that cross the port by pointer must have the same size on both sides.
static_assert(sizeof(port::DWORD) == sizeof(::DWORD));
static_assert(sizeof(port::LONG) == sizeof(::LONG));
static_assert(sizeof(port::BOOL) == sizeof(::BOOL));
static_assert(sizeof(port::BYTE) == sizeof(::BYTE));
static_assert(sizeof(port::DEVINST) == sizeof(::DEVINST));
static_assert(sizeof(port::ULONG_PTR) == sizeof(::ULONG_PTR));
static_assert(sizeof(port::GUID) == sizeof(::GUID));
static_assert(offsetof(port::GUID, Data4) == offsetof(::GUID, Data4));

inline ::DWORD* win(port::DWORD* value) {
  return reinterpret_cast<::DWORD*>(value);
}
inline ::BOOL* win(port::BOOL* value) {
  return reinterpret_cast<::BOOL*>(value);
}
inline ::HKEY win(port::HKEY key) {
  return reinterpret_cast<::HKEY>(key);
}
inline ::HKEY* win(port::HKEY* key) {
  return reinterpret_cast<::HKEY*>(key);
}
inline ::SC_HANDLE win(port::SC_HANDLE handle) {
  return reinterpret_cast<::SC_HANDLE>(handle);
}
inline ::HWND win(port::HWND window) {
  return reinterpret_cast<::HWND>(window);
}
inline ::HMODULE win(port::HMODULE module) {
  return reinterpret_cast<::HMODULE>(module);
}
inline const ::GUID* win(const port::GUID* guid) {
  return reinterpret_cast<const ::GUID*>(guid);
}
inline ::GUID* win(port::GUID* guid) {
  return reinterpret_cast<::GUID*>(guid);
}

// The size a caller gives for a port record becomes the size of the Windows record; any other
// size passes unchanged, so that Windows rejects it as it would reject the caller's.
template <typename PortRecord, typename WindowsRecord>
::DWORD record_size(port::DWORD given) {
  return given == sizeof(PortRecord) ? static_cast<::DWORD>(sizeof(WindowsRecord)) : given;
}

// An SP_DEVINFO_DATA for one call: copied in before it, copied back after it.  A null
// record stays null.
class DevInfoData {
 public:
  explicit DevInfoData(port::SP_DEVINFO_DATA* caller) : caller_(caller), record_{} {
    if (caller_ == nullptr) return;
    record_.cbSize = record_size<port::SP_DEVINFO_DATA, ::SP_DEVINFO_DATA>(caller_->cbSize);
    std::memcpy(&record_.ClassGuid, &caller_->ClassGuid, sizeof(record_.ClassGuid));
    record_.DevInst = caller_->DevInst;
    record_.Reserved = caller_->Reserved;
  }
  ~DevInfoData() {
    if (caller_ == nullptr) return;
    std::memcpy(&caller_->ClassGuid, &record_.ClassGuid, sizeof(record_.ClassGuid));
    caller_->DevInst = record_.DevInst;
    caller_->Reserved = record_.Reserved;
  }
  DevInfoData(const DevInfoData&) = delete;
  DevInfoData& operator=(const DevInfoData&) = delete;

  ::SP_DEVINFO_DATA* get() { return caller_ == nullptr ? nullptr : &record_; }

 private:
  port::SP_DEVINFO_DATA* caller_;
  ::SP_DEVINFO_DATA record_;
};

}  // namespace win32
