// Removal of the Plug and Play driver package.
#include "pnp/pnp.h"

int remove_pnp_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure) {
  clear_failure(failure);
  *memory_outcome = 0;
  *reboot_needed = 0;
  failure->message = "The Plug and Play removal is not available in this build yet; nothing was removed.";
  return 0;
}
