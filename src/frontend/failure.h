// How the front end prints what went wrong in an installation or removal step.
#pragma once

#include <cstdint>

#include "common/failure_info.h"

// Writes "context: description" for code (0: the thread's last error) to standard error,
// wrapped to the 80-column console.
void report_system_error(const char* context, std::uint32_t code);

// The context (through report_system_error) and then the message, each only when set.
void print_failure(const FailureInfo& failure);
