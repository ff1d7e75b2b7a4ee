// kernel32: last error, messages, directories, version, files and modules.
#include "platform/win32/windows_api.h"

using win32::win;

static_assert(sizeof(port::OSVERSIONINFOEXA) == sizeof(::OSVERSIONINFOEXA));
static_assert(offsetof(port::OSVERSIONINFOEXA, szCSDVersion) == offsetof(::OSVERSIONINFOEXA, szCSDVersion));
static_assert(offsetof(port::OSVERSIONINFOEXA, wServicePackMajor) ==
              offsetof(::OSVERSIONINFOEXA, wServicePackMajor));
static_assert(offsetof(port::OSVERSIONINFOEXA, wProductType) == offsetof(::OSVERSIONINFOEXA, wProductType));
static_assert(sizeof(port::WIN32_FIND_DATAA) == sizeof(::WIN32_FIND_DATAA));
static_assert(offsetof(port::WIN32_FIND_DATAA, ftLastWriteTime) ==
              offsetof(::WIN32_FIND_DATAA, ftLastWriteTime));
static_assert(offsetof(port::WIN32_FIND_DATAA, dwReserved0) == offsetof(::WIN32_FIND_DATAA, dwReserved0));
static_assert(offsetof(port::WIN32_FIND_DATAA, cFileName) == offsetof(::WIN32_FIND_DATAA, cFileName));
static_assert(offsetof(port::WIN32_FIND_DATAA, cAlternateFileName) ==
              offsetof(::WIN32_FIND_DATAA, cAlternateFileName));

static_assert(sizeof(port::SYSTEMTIME) == sizeof(::SYSTEMTIME));
static_assert(offsetof(port::SYSTEMTIME, wMilliseconds) == offsetof(::SYSTEMTIME, wMilliseconds));

namespace {
::WIN32_FIND_DATAA* win_find_data(port::WIN32_FIND_DATAA* data) {
  return reinterpret_cast<::WIN32_FIND_DATAA*>(data);
}
}  // namespace

port::DWORD port::GetLastError() {
  return ::GetLastError();
}

void port::SetLastError(port::DWORD error) {
  ::SetLastError(error);
}

void port::GetLocalTime(port::SYSTEMTIME* time) {
  ::GetLocalTime(reinterpret_cast<::SYSTEMTIME*>(time));
}

port::DWORD port::FormatMessageA(port::DWORD flags, const void* source, port::DWORD message_id,
                                 port::DWORD language_id, char* buffer, port::DWORD size, void* arguments) {
  return ::FormatMessageA(flags, source, message_id, language_id, buffer, size,
                          static_cast<va_list*>(arguments));
}

port::BOOL port::SetCurrentDirectoryA(const char* path) {
  return ::SetCurrentDirectoryA(path);
}

port::DWORD port::GetCurrentDirectoryA(port::DWORD size, char* buffer) {
  return ::GetCurrentDirectoryA(size, buffer);
}

port::DWORD port::GetFullPathNameA(const char* file_name, port::DWORD size, char* buffer, char** file_part) {
  return ::GetFullPathNameA(file_name, size, buffer, file_part);
}

port::BOOL port::GetVersionExA(port::OSVERSIONINFOEXA* info) {
  return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
}

void port::Sleep(port::DWORD milliseconds) {
  ::Sleep(milliseconds);
}

port::DWORD port::GetFileAttributesA(const char* path) {
  return ::GetFileAttributesA(path);
}

port::BOOL port::SetFileAttributesA(const char* path, port::DWORD attributes) {
  return ::SetFileAttributesA(path, attributes);
}

port::BOOL port::DeleteFileA(const char* path) {
  return ::DeleteFileA(path);
}

port::BOOL port::MoveFileExA(const char* existing, const char* new_name, port::DWORD flags) {
  return ::MoveFileExA(existing, new_name, flags);
}

port::BOOL port::CopyFileA(const char* existing, const char* new_name, port::BOOL fail_if_exists) {
  return ::CopyFileA(existing, new_name, fail_if_exists);
}

port::BOOL port::CreateDirectoryA(const char* path, void* security_attributes) {
  return ::CreateDirectoryA(path, static_cast<::LPSECURITY_ATTRIBUTES>(security_attributes));
}

port::BOOL port::RemoveDirectoryA(const char* path) {
  return ::RemoveDirectoryA(path);
}

port::HANDLE port::FindFirstFileA(const char* file_name, port::WIN32_FIND_DATAA* find_data) {
  return ::FindFirstFileA(file_name, win_find_data(find_data));
}

port::BOOL port::FindNextFileA(port::HANDLE find, port::WIN32_FIND_DATAA* find_data) {
  return ::FindNextFileA(find, win_find_data(find_data));
}

port::BOOL port::FindClose(port::HANDLE find) {
  return ::FindClose(find);
}

port::DWORD port::GetModuleFileNameA(port::HMODULE module, char* file_name, port::DWORD size) {
  return ::GetModuleFileNameA(win(module), file_name, size);
}

port::HANDLE port::CreateFileA(const char* path, port::DWORD desired, port::DWORD share_mode,
                               void* security_attributes, port::DWORD creation_disposition,
                               port::DWORD flags_and_attributes, port::HANDLE template_file) {
  return ::CreateFileA(path, desired, share_mode, static_cast<::LPSECURITY_ATTRIBUTES>(security_attributes),
                       creation_disposition, flags_and_attributes, template_file);
}

port::DWORD port::GetFileSize(port::HANDLE file, port::DWORD* size_high) {
  return ::GetFileSize(file, win(size_high));
}

port::BOOL port::ReadFile(port::HANDLE file, void* buffer, port::DWORD to_read, port::DWORD* read,
                          void* overlapped) {
  return ::ReadFile(file, buffer, to_read, win(read), static_cast<::LPOVERLAPPED>(overlapped));
}

port::HMODULE port::GetModuleHandleA(const char* module_name) {
  return reinterpret_cast<port::HMODULE>(::GetModuleHandleA(module_name));
}

port::FARPROC port::GetProcAddress(port::HMODULE module, const char* proc_name) {
  return reinterpret_cast<port::FARPROC>(::GetProcAddress(win(module), proc_name));
}

port::DWORD port::GetSystemDirectoryA(char* buffer, port::DWORD size) {
  return ::GetSystemDirectoryA(buffer, size);
}

// kernel32 has it from Windows 2000 on, so it stays a static import.
port::DWORD port::GetSystemWindowsDirectoryA(char* buffer, port::DWORD size) {
  return ::GetSystemWindowsDirectoryA(buffer, size);
}

port::HMODULE port::LoadLibraryExA(const char* file_name, port::HANDLE file, port::DWORD flags) {
  return reinterpret_cast<port::HMODULE>(::LoadLibraryExA(file_name, file, flags));
}

port::BOOL port::FreeLibrary(port::HMODULE module) {
  return ::FreeLibrary(win(module));
}
