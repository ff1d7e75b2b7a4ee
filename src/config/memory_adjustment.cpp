#include "config/memory_adjustment.h"

#include <cstdio>
#include <string>

#include "common/registry_key.h"

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

// Marks, before SystemPages is written, that a restart is due for it: the mark is a volatile key,
// which Windows drops at the restart that makes the new value real.  A run ended before it
// could say so leaves the mark for the next run to find.  Nothing fails for a mark that can't be
// made: it only matters for a run that is also ended from outside.  True when this call made
// it, so that a write that then fails can take it back without hiding an earlier run's change.
bool mark_restart_pending(port::HKEY memory) {
  OwnedKey mark;
  port::DWORD disposition = 0;
  if (port::RegCreateKeyExA(memory, kRestartPendingKeyName, 0, nullptr, port::REG_OPTION_VOLATILE,
                            port::KEY_QUERY_VALUE, nullptr, mark.out(),
                            &disposition) != static_cast<port::LSTATUS>(port::ERROR_SUCCESS)) {
    return false;
  }
  return disposition == port::REG_CREATED_NEW_KEY;
}

// SystemPages, written behind its mark; a failed write leaves no mark this call made.
int write_system_pages(port::HKEY memory, std::uint32_t pages, FailureInfo* failure) {
  bool marked = mark_restart_pending(memory);
  if (set_dword_value(memory, "SystemPages", pages, failure) == 0) return 0;
  if (marked) port::RegDeleteKeyExA(memory, kRestartPendingKeyName, 0, 0);
  return 1;
}

// Once SystemPages no longer holds our adjustment, its record goes: NEW_SYSPAGES first, since
// without it nothing counts as ours.  A record that can't go does no harm: its OLD_SYSPAGES is
// the value in place, which the next removal recognises as restored, and the removal deletes
// the key that holds it.
void retire_record(port::HKEY parameters) {
  port::RegDeleteValueA(parameters, "NEW_SYSPAGES");
  port::RegDeleteValueA(parameters, "OLD_SYSPAGES");
  port::RegDeleteValueA(parameters, "SYSP_NUM_PCI");
}

// The bookkeeping a later removal needs to undo the adjustment, then SystemPages; stops at the
// first failure.  The record goes first, as in a write-ahead log: a run ended between the two
// leaves a record whose OLD_SYSPAGES is still the value in place, which the next removal
// recognises as an adjustment not made; the other order would leave SystemPages raised with
// nothing to tell what it was.  A failed SystemPages write takes the record back.
int write_adjustment(port::HKEY memory, port::HKEY parameters, std::uint32_t previous, std::uint32_t adjusted,
                     std::uint32_t modules, FailureInfo* failure) {
  if (set_dword_value(parameters, "OLD_SYSPAGES", previous, failure) != 0 ||
      set_dword_value(parameters, "NEW_SYSPAGES", adjusted, failure) != 0 ||
      set_dword_value(parameters, "SYSP_NUM_PCI", modules, failure) != 0) {
    return 1;
  }
  if (write_system_pages(memory, adjusted, failure) == 0) return 0;
  retire_record(parameters);
  return 1;
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

bool memory_restart_pending() {
  static const std::string path = std::string(kMemoryManagementKeyPath) + "\\" + kRestartPendingKeyName;
  OwnedKey mark;
  return port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, path.c_str(), 0, port::KEY_QUERY_VALUE, mark.out()) ==
         static_cast<port::LSTATUS>(port::ERROR_SUCCESS);
}

int check_memory_setting(FailureInfo* failure) {
  static const std::string context =
      std::string("Unable to read SystemPages under HKEY_LOCAL_MACHINE\\") + kMemoryManagementKeyPath;
  OwnedKey memory;
  port::LSTATUS status = 0;
  std::uint32_t pages = 0;
  if (open_key(kMemoryManagementKeyPath, memory.out(), &status))
    query_dword_value(memory.get(), "SystemPages", &pages, failure, &status);
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
  OwnedKey memory;
  port::LSTATUS status = 0;
  if (!open_key(kMemoryManagementKeyPath, memory.out(), &status)) {
    failure->context = "OpenKey - Memory manager";
    failure->code = static_cast<std::uint32_t>(status);
    failure->message = kAdjustmentFailed;
    return 1;
  }

  std::uint32_t previous = 0;
  if (query_dword_value(memory.get(), "SystemPages", &previous, failure) != 0) {
    failure->message = kAdjustmentFailed;
    return 1;
  }

  if (previous != 0 && already_opt == 1) {
    // Someone adjusted it already and the user chose to leave that alone.
    *memory_outcome = kPreviousAdjustmentFound;
    return 0;
  }

  OwnedKey parameters;
  if (!open_key(kParametersKeyPath, parameters.out(), &status)) {
    failure->context = "OpenKey - Parameters";
    failure->code = static_cast<std::uint32_t>(status);
    return 1;
  }

  std::uint64_t base =
      (previous == 0 || already_opt != 3) ? std::uint64_t{meg_in_system} * 256u + 0x4000u : previous;
  std::uint32_t adjusted = held_to_32_bits(base + std::uint64_t{config.max_pci_modules} * 1024u);

  int result =
      write_adjustment(memory.get(), parameters.get(), previous, adjusted, config.max_pci_modules, failure);
  if (result != 0) return 1;

  *memory_outcome = previous != 0 ? kPreviousAdjustmentFound : kAdjustmentPerformed;
  *reboot_needed = 1;
  return 0;
}

int restore_memory_adjustment(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  // Without the driver's Parameters key there is no adjustment of ours to undo.
  OwnedKey parameters;
  int opened = open_adjustment_key(kParametersKeyPath, "OpenKey - Parameters", parameters.out(), failure);
  if (opened != 0) return opened == 1 ? 0 : 2;
  OwnedKey memory;
  opened = open_adjustment_key(kMemoryManagementKeyPath, "OpenKey - Memory manager", memory.out(), failure);
  if (opened != 0) return opened == 1 ? 0 : 2;

  std::uint32_t old_pages = 0;
  std::uint32_t new_pages = 0;
  std::uint32_t modules = 0;
  std::uint32_t current = 0;
  int result = read_adjustment_value(parameters.get(), "OLD_SYSPAGES", &old_pages, failure);
  if (result == 0) result = read_adjustment_value(parameters.get(), "NEW_SYSPAGES", &new_pages, failure);
  if (result == 0) result = read_adjustment_value(parameters.get(), "SYSP_NUM_PCI", &modules, failure);
  if (result == 0) result = read_adjustment_value(memory.get(), "SystemPages", &current, failure);
  if (result == 0) {
    if (current == old_pages && current != new_pages) {
      // The value in place is the one from before: a run ended after it put that back, or
      // before it made the adjustment it recorded.  Nothing to write; the restart, if one is
      // still due, is announced from its mark.
      retire_record(parameters.get());
      *memory_outcome = kValuesRestored;
    } else if (current < new_pages) {
      *memory_outcome = kValueDecreased;
    } else {
      std::uint32_t restored = old_pages;
      int outcome = kValuesRestored;
      if (current > new_pages) {
        // Another program raised it further: take back only our share.  The record is first
        // made to say so (the value in place as ours, the value to go back to as the one from
        // before), so that a run ended half-way is finished by the next one instead of taking
        // the share away twice.
        std::uint64_t share = std::uint64_t{modules} * 1024u;
        restored = share < current ? static_cast<std::uint32_t>(current - share) : 0u;
        outcome = kValuesRecalculated;
        if (set_dword_value(parameters.get(), "OLD_SYSPAGES", restored, failure) != 0 ||
            set_dword_value(parameters.get(), "NEW_SYSPAGES", current, failure) != 0) {
          result = 2;
        }
      }
      if (result == 0) {
        if (write_system_pages(memory.get(), restored, failure) != 0) {
          result = 2;
        } else {
          retire_record(parameters.get());
          *memory_outcome = outcome;
          *reboot_needed = 1;
        }
      }
    }
  }

  return result;
}
