// Stopping and deleting the halvik service, and the legacy (non Plug and Play) removal.
#pragma once

#include "common/failure_info.h"
#include "platform/port.h"

inline constexpr const char* kHostServiceRefusal =
    "Cannot uninstall the driver without stopping the Halvik host service.\n"
    "Stop the Halvik host service and try again.\n\n"
    "To stop the Halvik host service type \"net stop halvservice\"\n";

// 0 and the service's dwCurrentState in *state, or 1.
int query_service_state(const char* service_name, port::DWORD* state);
// The host service holds the driver open, so no removal may start while it is installed and
// not stopped: true, with the refusal as the message.  A host service that doesn't exist, or
// whose state can't be read, doesn't block.
bool host_service_blocks_removal(FailureInfo* failure);
inline constexpr const char* kServiceNotStopped =
    "The halvik service could not be stopped; it is removed when the system restarts.\n";
inline constexpr const char* kServiceInUse =
    "The halvik service is still in use by another program; it is removed when the system restarts.\n";

// Stops, deletes and waits for the halvik service, then deletes its event-log registration.
// A service that would not stop sets *reboot_needed (and says so on standard error).
int stop_and_delete_service(port::SC_HANDLE manager, int* reboot_needed, FailureInfo* failure);
int remove_legacy_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure);
