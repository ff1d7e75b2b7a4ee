// The installer's process-wide settings: filled by the command line or the dialogue, read by
// the program flow.  All start as 0 (the reserved-module default as 0xF0).
#pragma once

#include <cstdint>
#include <string>

#include "config/driver_config.h"

extern int removal_mode;
extern int batch_mode;
extern int do_reboot;
extern int reboot_recommended;

// Handed to the Plug and Play installation.
extern int auto_start;
extern int do_adj;
extern int already_opt;
extern std::uint32_t meg_in_system;

// The values that become the DriverConfig.
extern std::uint32_t max_pci_modules;
extern std::uint32_t phybufsize;
extern std::uint32_t appbufsize;
extern std::uint32_t machine_id;
extern int do_reset;
extern int hist_enable;
extern std::uint32_t dhsize;
extern std::uint32_t num_hists_phy;
extern std::uint32_t num_hists_apl;
extern std::uint32_t hist_phy_admin_only;
extern std::uint32_t num_I2O_frames;
extern std::uint32_t fc_interval;
extern std::uint32_t mem_drv_alloc_min;
extern std::uint32_t mem_drv_alloc_quanta;
extern std::uint32_t test1;
extern std::uint32_t test2;
extern std::uint32_t test3;
extern ReservedModule reserved_module_table[kReservedModuleSlots];
extern std::uint32_t num_reserved_modules;
// The mod_num the dialogue offers for the next reserved module.
extern std::uint32_t next_mod_num;

// Puts every setting back to its value at program start.
void reset_settings();

// The settings an installation ran with as a batch list, in one canonical form, so that the same
// settings always give the same text: the entries separated by single blanks, reserved entries as
// 0, decimal values as unsigned 32-bit numbers, hexadecimal ones in lower case without 0x or
// leading zeros, the module pairs ended by 0 unless the table is full, y or n, and no
// reserved do_reboot at the end (a restart changes nothing that is installed).  Detection
// rules compare it with the list they would install.
std::string installed_list_text();
