#include "frontend/settings.h"

#include <cstdio>

int removal_mode = 0;
int batch_mode = 0;
int do_reboot = 0;
int reboot_recommended = 0;
int auto_start = 0;
int do_adj = 0;
int already_opt = 0;
std::uint32_t meg_in_system = 0;
std::uint32_t max_pci_modules = 0;
std::uint32_t phybufsize = 0;
std::uint32_t appbufsize = 0;
std::uint32_t machine_id = 0;
int do_reset = 0;
int hist_enable = 0;
std::uint32_t dhsize = 0;
std::uint32_t num_hists_phy = 0;
std::uint32_t num_hists_apl = 0;
std::uint32_t hist_phy_admin_only = 0;
std::uint32_t num_I2O_frames = 0;
std::uint32_t fc_interval = 0;
std::uint32_t mem_drv_alloc_min = 0;
std::uint32_t mem_drv_alloc_quanta = 0;
std::uint32_t test1 = 0;
std::uint32_t test2 = 0;
std::uint32_t test3 = 0;
ReservedModule reserved_module_table[kReservedModuleSlots] = {};
std::uint32_t num_reserved_modules = 0;
std::uint32_t next_mod_num = 0xF0;

void reset_settings() {
  removal_mode = batch_mode = do_reboot = reboot_recommended = 0;
  auto_start = do_adj = already_opt = 0;
  meg_in_system = 0;
  max_pci_modules = phybufsize = appbufsize = machine_id = 0;
  do_reset = hist_enable = 0;
  dhsize = num_hists_phy = num_hists_apl = hist_phy_admin_only = 0;
  num_I2O_frames = fc_interval = mem_drv_alloc_min = mem_drv_alloc_quanta = 0;
  test1 = test2 = test3 = 0;
  for (ReservedModule& slot : reserved_module_table) slot = ReservedModule{0, 0};
  num_reserved_modules = 0;
  next_mod_num = 0xF0;
}

namespace {

void add_decimal(std::string* list, std::uint32_t value) {
  if (!list->empty()) *list += ' ';
  *list += std::to_string(value);
}

void add_hexadecimal(std::string* list, std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned int>(value));
  if (!list->empty()) *list += ' ';
  *list += text;
}

void add_yes(std::string* list, int value) {
  *list += value != 0 ? " y" : " n";
}

std::uint32_t as_unsigned(int value) {
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::string installed_list_text() {
  std::string list;
  for (int reserved = 0; reserved < 3; ++reserved) add_decimal(&list, 0);
  for (std::uint32_t value : {max_pci_modules, phybufsize, appbufsize, 0U}) add_decimal(&list, value);
  add_hexadecimal(&list, machine_id);
  for (std::uint32_t value : {as_unsigned(do_reset), as_unsigned(hist_enable), dhsize, num_hists_phy, num_hists_apl,
                              hist_phy_admin_only, num_I2O_frames, fc_interval, mem_drv_alloc_min,
                              mem_drv_alloc_quanta, 0U, test1, test2, test3})
    add_decimal(&list, value);
  std::uint32_t pairs = num_reserved_modules < kReservedModuleSlots ? num_reserved_modules : kReservedModuleSlots;
  for (std::uint32_t i = 0; i < pairs; ++i) {
    add_hexadecimal(&list, reserved_module_table[i].mod_id);
    add_hexadecimal(&list, reserved_module_table[i].mod_num);
  }
  if (pairs < kReservedModuleSlots) add_hexadecimal(&list, 0);
  add_yes(&list, auto_start);
  add_yes(&list, do_adj);
  add_decimal(&list, as_unsigned(already_opt));
  add_decimal(&list, meg_in_system);
  return list;
}
