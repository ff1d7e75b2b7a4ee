#include "config/memory_adjustment.h"

namespace {

constexpr const char* kAdjustmentFailed = "Unable to determine or make system adjustments.";

bool open_key(const char* path, port::HKEY* key, port::LSTATUS* status) {
  *status = port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, path, 0, port::KEY_ALL_ACCESS, key);
  return *status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
}

// SystemPages, then the bookkeeping a later removal needs to undo it; stops at the first failure.
int write_adjustment(port::HKEY memory, port::HKEY parameters, std::uint32_t previous, std::uint32_t adjusted,
                     std::uint32_t modules, FailureInfo* failure) {
  if (set_dword_value(memory, "SystemPages", adjusted, failure) != 0) return 1;
  if (set_dword_value(parameters, "OLD_SYSPAGES", previous, failure) != 0) return 1;
  if (set_dword_value(parameters, "NEW_SYSPAGES", adjusted, failure) != 0) return 1;
  if (set_dword_value(parameters, "SYSP_NUM_PCI", modules, failure) != 0) return 1;
  return 0;
}

}  // namespace

int apply_memory_adjustment(const DriverConfig& config, int already_opt, std::uint32_t meg_in_system,
                            int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  port::HKEY memory = nullptr;
  port::LSTATUS status = 0;
  if (!open_key(kMemoryManagementKeyPath, &memory, &status)) {
    failure->context = "OpenKey - Memory manager";
    failure->code = static_cast<std::uint32_t>(status);
    failure->message = kAdjustmentFailed;
    return 1;
  }

  std::uint32_t previous = 0;
  if (query_dword_value(memory, "SystemPages", &previous, failure) != 0) {
    failure->message = kAdjustmentFailed;
    port::RegCloseKey(memory);
    return 1;
  }

  if (previous != 0 && already_opt == 1) {
    // Someone adjusted it already and the user chose to leave that alone.
    *memory_outcome = 2;
    port::RegCloseKey(memory);
    return 0;
  }

  port::HKEY parameters = nullptr;
  if (!open_key(kParametersKeyPath, &parameters, &status)) {
    failure->context = "OpenKey - Parameters";
    failure->code = static_cast<std::uint32_t>(status);
    port::RegCloseKey(memory);
    return 1;
  }

  std::uint32_t base = (previous == 0 || already_opt != 3) ? meg_in_system * 256u + 0x4000u : previous;
  std::uint32_t adjusted = base + config.max_pci_modules * 1024u;

  int result = write_adjustment(memory, parameters, previous, adjusted, config.max_pci_modules, failure);
  port::RegCloseKey(parameters);
  port::RegCloseKey(memory);
  if (result != 0) return 1;

  *memory_outcome = previous != 0 ? 2 : 1;
  *reboot_needed = 1;
  return 0;
}

int restore_memory_adjustment(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  port::HKEY parameters = nullptr;
  port::LSTATUS status = 0;
  // Without the driver's Parameters key there is no adjustment of ours to undo.
  if (!open_key(kParametersKeyPath, &parameters, &status)) return 0;
  port::HKEY memory = nullptr;
  if (!open_key(kMemoryManagementKeyPath, &memory, &status)) {
    port::RegCloseKey(parameters);
    return 0;
  }

  std::uint32_t old_pages = 0;
  std::uint32_t new_pages = 0;
  std::uint32_t modules = 0;
  std::uint32_t current = 0;
  int result = 0;
  if (query_dword_value(parameters, "OLD_SYSPAGES", &old_pages, failure) != 0 ||
      query_dword_value(parameters, "NEW_SYSPAGES", &new_pages, failure) != 0 ||
      query_dword_value(parameters, "SYSP_NUM_PCI", &modules, failure) != 0 ||
      query_dword_value(memory, "SystemPages", &current, failure) != 0) {
    result = 1;
  } else if (current == new_pages) {
    if (set_dword_value(memory, "SystemPages", old_pages, failure) != 0) {
      result = 1;
    } else {
      *memory_outcome = 1;
      *reboot_needed = 1;
    }
  } else if (current > new_pages) {
    // Another program raised it further: take back only our share.
    if (set_dword_value(memory, "SystemPages", current - modules * 1024u, failure) != 0) {
      result = 1;
    } else {
      *memory_outcome = 2;
      *reboot_needed = 1;
    }
  } else {
    *memory_outcome = 3;
  }

  port::RegCloseKey(memory);
  port::RegCloseKey(parameters);
  return result;
}
