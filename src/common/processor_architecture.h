// The machine's processor architecture, as the machine-wide environment records it: a 32-bit
// process on AMD64 sees "x86" in its own environment, so that is never asked.
#pragma once

#include "platform/port.h"

// PROCESSOR_ARCHITECTURE ("x86", "AMD64") into architecture, a buffer of size bytes, always
// terminated; the environment key is opened with `access`.  ERROR_SUCCESS, or the status of
// the failed step, with *opened telling whether the key could be opened at all.
port::LSTATUS read_processor_architecture(port::REGSAM access, char* architecture, port::DWORD size,
                                          bool* opened);
