// Registry calls: advapi32 and shlwapi.
#include "platform/win32/windows_api.h"

using win32::win;

port::LSTATUS port::RegCreateKeyExA(port::HKEY key, const char* sub_key, port::DWORD reserved,
                                    char* key_class, port::DWORD options, port::REGSAM desired,
                                    void* security_attributes, port::HKEY* result, port::DWORD* disposition) {
  return ::RegCreateKeyExA(win(key), sub_key, reserved, key_class, options, desired,
                           static_cast<::LPSECURITY_ATTRIBUTES>(security_attributes), win(result),
                           win(disposition));
}

port::LSTATUS port::RegOpenKeyExA(port::HKEY key, const char* sub_key, port::DWORD options,
                                  port::REGSAM desired, port::HKEY* result) {
  return ::RegOpenKeyExA(win(key), sub_key, options, desired, win(result));
}

port::LSTATUS port::RegSetValueExA(port::HKEY key, const char* value_name, port::DWORD reserved,
                                   port::DWORD type, const port::BYTE* data, port::DWORD data_size) {
  return ::RegSetValueExA(win(key), value_name, reserved, type, data, data_size);
}

port::LSTATUS port::RegQueryValueExA(port::HKEY key, const char* value_name, port::DWORD* reserved,
                                     port::DWORD* type, port::BYTE* data, port::DWORD* data_size) {
  return ::RegQueryValueExA(win(key), value_name, win(reserved), win(type), data, win(data_size));
}

port::LSTATUS port::RegFlushKey(port::HKEY key) {
  return ::RegFlushKey(win(key));
}

port::LSTATUS port::RegDeleteKeyExA(port::HKEY key, const char* sub_key, port::REGSAM view,
                                    port::DWORD reserved) {
  // Looked up, not linked: 32-bit Windows XP and 2000 don't export it, and have one view only.
  using DeleteKeyEx = ::LONG(WINAPI*)(::HKEY, const char*, ::REGSAM, ::DWORD);
  ::HMODULE advapi32 = ::GetModuleHandleA("advapi32.dll");
  auto delete_key_ex = advapi32 == nullptr ? nullptr
                                           : reinterpret_cast<DeleteKeyEx>(reinterpret_cast<void (*)()>(
                                                 ::GetProcAddress(advapi32, "RegDeleteKeyExA")));
  if (delete_key_ex == nullptr) return ::RegDeleteKeyA(win(key), sub_key);
  return delete_key_ex(win(key), sub_key, view, reserved);
}

port::LSTATUS port::RegDeleteValueA(port::HKEY key, const char* value_name) {
  return ::RegDeleteValueA(win(key), value_name);
}

port::LSTATUS port::RegCloseKey(port::HKEY key) {
  return ::RegCloseKey(win(key));
}

// shlwapi's functions answer a status, not a last error: a function the process can't have
// answers the error of the failed load or look-up as that status.
port::LSTATUS port::SHDeleteKeyA(port::HKEY key, const char* sub_key) {
  auto delete_key =
      win32::system_function<decltype(::SHDeleteKeyA)>(win32::SystemDll::shlwapi, "SHDeleteKeyA");
  if (delete_key == nullptr) return static_cast<port::LSTATUS>(::GetLastError());
  return static_cast<port::LSTATUS>(delete_key(win(key), sub_key));
}

port::LSTATUS port::SHEnumKeyExA(port::HKEY key, port::DWORD index, char* name, port::DWORD* name_size) {
  auto enum_key = win32::system_function<decltype(::SHEnumKeyExA)>(win32::SystemDll::shlwapi, "SHEnumKeyExA");
  if (enum_key == nullptr) return static_cast<port::LSTATUS>(::GetLastError());
  return enum_key(win(key), index, name, win(name_size));
}
