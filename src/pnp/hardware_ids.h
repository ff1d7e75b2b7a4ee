// The PCI hardware IDs of the supported Tessaridge boards.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kSupportedHardwareIdCount = 12;

// Row 0 names the root-enumerated device node that lets the driver load with no board
// present; rows 1 to 11 are the boards.  Every row is "PCI\VEN_xxxx&DEV_xxxx&SUBSYS_xxxxxxxx"
// in upper case, with no "*" and no leading "@" or apostrophe, so each one is a plain pattern.
extern const char* const supported_hardware_ids[kSupportedHardwareIdCount];
extern const std::uint32_t supported_hardware_id_count;
