#include "common/processor_architecture.h"

namespace {

constexpr const char* kEnvironmentKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

}  // namespace

port::LSTATUS read_processor_architecture(port::REGSAM access, char* architecture, port::DWORD size,
                                          bool* opened) {
  architecture[0] = '\0';
  port::HKEY key = nullptr;
  port::LSTATUS status = port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, kEnvironmentKeyPath, 0, access, &key);
  *opened = status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
  if (!*opened) return status;
  port::DWORD length = size - 1;
  status = port::RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, nullptr,
                                  reinterpret_cast<port::BYTE*>(architecture), &length);
  port::RegCloseKey(key);
  architecture[status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS) && length < size ? length : 0] =
      '\0';
  return status;
}
