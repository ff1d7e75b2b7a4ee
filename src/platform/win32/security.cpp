// advapi32 and kernel32: the security of the folders the program makes its own.
#include "platform/win32/windows_api.h"
// sddl.h needs windows.h first.
#include <sddl.h>

static_assert(sizeof(port::SECURITY_ATTRIBUTES) == sizeof(::SECURITY_ATTRIBUTES));
static_assert(offsetof(port::SECURITY_ATTRIBUTES, lpSecurityDescriptor) ==
              offsetof(::SECURITY_ATTRIBUTES, lpSecurityDescriptor));
static_assert(offsetof(port::SECURITY_ATTRIBUTES, bInheritHandle) ==
              offsetof(::SECURITY_ATTRIBUTES, bInheritHandle));

port::DWORD port::GetCurrentProcessId() {
  return ::GetCurrentProcessId();
}

port::BOOL port::ConvertStringSecurityDescriptorToSecurityDescriptorA(const char* text, port::DWORD revision,
                                                                      void** descriptor, port::DWORD* size) {
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorA(
      text, revision, reinterpret_cast<::PSECURITY_DESCRIPTOR*>(descriptor), win32::win(size));
}

void* port::LocalFree(void* memory) {
  return ::LocalFree(memory);
}

port::BOOL port::SetFileSecurityA(const char* path, port::DWORD information, void* descriptor) {
  return ::SetFileSecurityA(path, information, descriptor);
}
