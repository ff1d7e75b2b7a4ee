// Raising SystemPages for the number of modules, and undoing it on removal.
#pragma once

#include "config/driver_config.h"

inline constexpr const char* kMemoryManagementKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

int apply_memory_adjustment(const DriverConfig& config, int already_opt, std::uint32_t meg_in_system,
                            int* memory_outcome, int* reboot_needed, FailureInfo* failure);
int restore_memory_adjustment(int* memory_outcome, int* reboot_needed, FailureInfo* failure);
