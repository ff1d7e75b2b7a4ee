// Installation of the Plug and Play driver package.
#include "config/driver_config.h"
#include "config/memory_adjustment.h"
#include "pnp/pnp.h"
#include "platform/port.h"

int verbose = 1;

int install_pnp_driver(const DriverConfig* config, int do_adj, int already_opt, int meg_in_system,
                       int* memory_outcome, const char* inf_path, int auto_start, int* reboot_needed,
                       FailureInfo* failure) {
  clear_failure(failure);
  *memory_outcome = 0;
  *reboot_needed = 0;

  if (driver_is_installed()) {
    failure->message = "Driver is already installed";
    return 1;
  }

  if (config != nullptr && write_driver_parameters(*config, failure) != 0) {
    // A half-written Parameters key must not look like an installed driver.
    port::SHDeleteKeyA(port::HKEY_LOCAL_MACHINE, kServiceKeyPath);
    failure->context = "Failed to write the driver parameters";
    return 1;
  }

  if (do_adj != 0 && config != nullptr && config->max_pci_modules != 0) {
    if (apply_memory_adjustment(*config, already_opt, static_cast<std::uint32_t>(meg_in_system),
                                memory_outcome, reboot_needed, failure) != 0) {
      return 1;
    }
  }

  (void)inf_path;
  (void)auto_start;
  failure->message = "The Plug and Play device installation is not available in this build yet.";
  return 1;
}
