#include "config/memory_adjustment.h"

#include <cstdio>
#include <string>

namespace {

constexpr const char* kAdjustmentFailed = "Unable to determine or make system adjustments.";
constexpr std::uint64_t kLargestPages = 0xFFFFFFFFu;

bool open_key(const char* path, port::HKEY* key, port::LSTATUS* status) {
  *status = port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, path, 0, port::KEY_ALL_ACCESS, key);
  return *status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
}

// SystemPages is a 32-bit value: a sum beyond it is held at the largest value instead of
// wrapping round to a small one.
std::uint32_t held_to_32_bits(std::uint64_t pages) {
  return static_cast<std::uint32_t>(pages < kLargestPages ? pages : kLargestPages);
}

// What the administrator must put right by hand when the program changed SystemPages and could
// neither record nor take back the change.
char by_hand_text[384];

// SystemPages, then the bookkeeping a later removal needs to undo it; stops at the first
// failure.  SystemPages is never left raised without that bookkeeping: when a bookkeeping
// write fails, the value read before goes back, and when even that fails, the report says
// which value to set by hand.
int write_adjustment(port::HKEY memory, port::HKEY parameters, std::uint32_t previous, std::uint32_t adjusted,
                     std::uint32_t modules, FailureInfo* failure) {
  if (set_dword_value(memory, "SystemPages", adjusted, failure) != 0) return 1;
  if (set_dword_value(parameters, "OLD_SYSPAGES", previous, failure) == 0 &&
      set_dword_value(parameters, "NEW_SYSPAGES", adjusted, failure) == 0 &&
      set_dword_value(parameters, "SYSP_NUM_PCI", modules, failure) == 0) {
    return 0;
  }
  FailureInfo put_back;  // the failed bookkeeping write is the one to report
  if (set_dword_value(memory, "SystemPages", previous, &put_back) != 0) {
    std::snprintf(by_hand_text, sizeof by_hand_text,
                  "The memory adjustment could not be recorded or taken back: SystemPages under "
                  "HKEY_LOCAL_MACHINE\\%s is 0x%X; set it back to 0x%X by hand.",
                  kMemoryManagementKeyPath, adjusted, previous);
    failure->message = by_hand_text;
  }
  return 1;
}

// Once SystemPages no longer holds our adjustment, its record goes in the same step: a later
// pass or run that found it would take our share away a second time.  NEW_SYSPAGES goes first,
// since without it nothing counts as ours; the other two are then mere leftovers of a key the
// removal deletes.  When it can't go, SystemPages gets the adjusted value back, so that value
// and record still agree for the next removal.  0, or 2 with the failure recorded.
int retire_record(port::HKEY memory, port::HKEY parameters, std::uint32_t restored, std::uint32_t adjusted,
                  FailureInfo* failure) {
  port::LSTATUS status = port::RegDeleteValueA(parameters, "NEW_SYSPAGES");
  if (status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS) ||
      status == static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) {
    port::RegDeleteValueA(parameters, "OLD_SYSPAGES");
    port::RegDeleteValueA(parameters, "SYSP_NUM_PCI");
    return 0;
  }
  failure->context = "DeleteValue - NEW_SYSPAGES";
  failure->code = static_cast<std::uint32_t>(status);
  FailureInfo put_back;
  if (set_dword_value(memory, "SystemPages", adjusted, &put_back) != 0) {
    std::snprintf(by_hand_text, sizeof by_hand_text,
                  "The memory adjustment was taken back (SystemPages 0x%X), but its record stays: delete "
                  "NEW_SYSPAGES under HKEY_LOCAL_MACHINE\\%s by hand before the driver is removed again.",
                  restored, kParametersKeyPath);
    failure->message = by_hand_text;
  }
  return 2;
}

// Reads one value of the adjustment.  0 read; 1 there is nothing of ours to undo (the value is
// absent, or of another type: nothing a retry would mend); 2 it is there but can't be read.
int read_adjustment_value(port::HKEY key, const char* name, std::uint32_t* value, FailureInfo* failure) {
  port::LSTATUS status = 0;
  if (query_dword_value(key, name, value, failure, &status) == 0) return 0;
  if (status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS) ||
      status == static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND) ||
      status == static_cast<port::LSTATUS>(port::ERROR_MORE_DATA)) {
    return 1;
  }
  failure->context = "QueryValue";
  failure->code = static_cast<std::uint32_t>(status);
  return 2;
}

// Opens one of the adjustment's keys.  0 open; 1 absent (nothing of ours to undo); 2 there but
// can't be opened, recorded under context.
int open_adjustment_key(const char* path, const char* context, port::HKEY* key, FailureInfo* failure) {
  port::LSTATUS status = 0;
  if (open_key(path, key, &status)) return 0;
  if (status == static_cast<port::LSTATUS>(port::ERROR_FILE_NOT_FOUND)) return 1;
  failure->context = context;
  failure->code = static_cast<std::uint32_t>(status);
  return 2;
}

}  // namespace

int check_memory_setting(FailureInfo* failure) {
  static const std::string context =
      std::string("Unable to read SystemPages under HKEY_LOCAL_MACHINE\\") + kMemoryManagementKeyPath;
  port::HKEY memory = nullptr;
  port::LSTATUS status = 0;
  std::uint32_t pages = 0;
  if (open_key(kMemoryManagementKeyPath, &memory, &status)) {
    query_dword_value(memory, "SystemPages", &pages, failure, &status);
    port::RegCloseKey(memory);
  }
  if (status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS) && !has_text(failure->message)) return 0;
  failure->context = context.c_str();
  // Read, but not a REG_DWORD: the data is what is wrong.
  failure->code = status == static_cast<port::LSTATUS>(port::ERROR_SUCCESS)
                      ? port::ERROR_INVALID_DATA
                      : static_cast<std::uint32_t>(status);
  failure->message = kAdjustmentFailed;
  return 1;
}

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

  std::uint64_t base =
      (previous == 0 || already_opt != 3) ? std::uint64_t{meg_in_system} * 256u + 0x4000u : previous;
  std::uint32_t adjusted = held_to_32_bits(base + std::uint64_t{config.max_pci_modules} * 1024u);

  int result = write_adjustment(memory, parameters, previous, adjusted, config.max_pci_modules, failure);
  port::RegCloseKey(parameters);
  port::RegCloseKey(memory);
  if (result != 0) return 1;

  *memory_outcome = previous != 0 ? 2 : 1;
  *reboot_needed = 1;
  return 0;
}

int restore_memory_adjustment(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  // Without the driver's Parameters key there is no adjustment of ours to undo.
  port::HKEY parameters = nullptr;
  int opened = open_adjustment_key(kParametersKeyPath, "OpenKey - Parameters", &parameters, failure);
  if (opened != 0) return opened == 1 ? 0 : 2;
  port::HKEY memory = nullptr;
  opened = open_adjustment_key(kMemoryManagementKeyPath, "OpenKey - Memory manager", &memory, failure);
  if (opened != 0) {
    port::RegCloseKey(parameters);
    return opened == 1 ? 0 : 2;
  }

  std::uint32_t old_pages = 0;
  std::uint32_t new_pages = 0;
  std::uint32_t modules = 0;
  std::uint32_t current = 0;
  int result = read_adjustment_value(parameters, "OLD_SYSPAGES", &old_pages, failure);
  if (result == 0) result = read_adjustment_value(parameters, "NEW_SYSPAGES", &new_pages, failure);
  if (result == 0) result = read_adjustment_value(parameters, "SYSP_NUM_PCI", &modules, failure);
  if (result == 0) result = read_adjustment_value(memory, "SystemPages", &current, failure);
  if (result == 0) {
    std::uint32_t restored = current;
    int outcome = 3;
    if (current == new_pages) {
      restored = old_pages;
      outcome = 1;
    } else if (current > new_pages) {
      // Another program raised it further: take back only our share.
      std::uint64_t share = std::uint64_t{modules} * 1024u;
      restored = share < current ? static_cast<std::uint32_t>(current - share) : 0u;
      outcome = 2;
    }
    if (outcome == 3) {
      *memory_outcome = 3;
    } else if (set_dword_value(memory, "SystemPages", restored, failure) != 0) {
      result = 2;
    } else {
      result = retire_record(memory, parameters, restored, current, failure);
      if (result == 0) {
        *memory_outcome = outcome;
        *reboot_needed = 1;
      }
    }
  }

  port::RegCloseKey(memory);
  port::RegCloseKey(parameters);
  return result;
}
