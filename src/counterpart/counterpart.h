// installx64: the 64-bit side of the Plug and Play work on AMD64 machines.  The installer
// writes a request into a file, runs "installx64 -6 FILE" and reads the response back from the
// same file.
#pragma once

#include <cstdio>

#include "common/failure_info.h"
#include "platform/port.h"

struct CounterpartRequest {
  char command;                   // kX64Install, kX64Remove, or '?' when unreadable
  char inf_path[port::MAX_PATH];  // I only; relative paths are taken from the current directory
  int auto_start;                 // I only
  int verbose;
  int interactive;  // someone may answer the system's prompts
};

// The whole run of the program: 0 when a response was written, else non-zero.
int run_counterpart(int argc, char** argv);

// Reads a request; 0, or a sentence saying what is wrong with it.  request->command is set as
// soon as the letter is read, so a response can echo it.
const char* read_counterpart_request(std::FILE* file, CounterpartRequest* request);
// Performs the request with the same Plug and Play steps the installer runs on x86.
int perform_counterpart_request(const CounterpartRequest& request, int* reboot_needed, FailureInfo* failure);
// Replaces the file's content with the response; false when it can't be written.
bool write_counterpart_response(const char* path, char command, int reboot_needed, const FailureInfo& failure,
                                int status);
