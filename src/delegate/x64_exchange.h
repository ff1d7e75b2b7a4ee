// The two halves of the instlib.tmp exchange, as the installer sees them.  The file is text:
// every line end is written as CR LF.
#pragma once

#include <cstdio>

#include "common/failure_info.h"
#include "delegate/delegate.h"

// Skips the rest of the current line, its line end included; false at the end of the file.
// Both sides read a number and then step to the next line with it.
bool skip_rest_of_line(std::FILE* file);

// Creates (truncates) path and writes the request for kX64Install or kX64Remove.  0, or the failure
// message; an unknown command leaves the first two lines written and the file closed.
const char* write_x64_request(const char* path, char command, const char* inf_path, int auto_start);

// Reads the counterpart's response from path, storing each field in the outputs as soon as it
// is read; its texts are kept in the failure record's own storage.  On
// success the file is deleted and 0 returned; otherwise the file stays and the failure message
// is returned.
const char* read_x64_response(const char* path, char command, int* reboot_needed, FailureInfo* failure,
                              int* status);
