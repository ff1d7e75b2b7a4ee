// Stopping and deleting the halvik service, and the legacy (non Plug and Play) removal.
#pragma once

#include "frontend/failure.h"
#include "platform/port.h"

inline constexpr const char* kHostServiceRefusal =
    "Cannot uninstall the driver without stopping the Halvik host service.\n"
    "Stop the Halvik host service and try again.\n\n"
    "To stop the Halvik host service type \"net stop halvservice\"\n";

// 0 and the service's dwCurrentState in *state, or 1.
int query_service_state(const char* service_name, port::DWORD* state);
int stop_and_delete_service(port::SC_HANDLE manager, FailureInfo* failure);
int remove_legacy_driver(int* memory_outcome, int* reboot_needed, FailureInfo* failure);
