// How a failed installation or removal step is printed.
#pragma once

#include <cstdint>

#include "common/failure_info.h"

// Writes "context: description" for code (0: the thread's last error) to standard error,
// wrapped to the 80-column console.
void report_system_error(const char* context, std::uint32_t code);

// The context (through report_system_error) and then the message, each only when set.
void print_failure(const FailureInfo& failure);
