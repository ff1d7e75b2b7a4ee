// The command line: install [-r] [-d working_directory] [-c config_options].
#pragma once

// Fills the settings from the arguments; -d changes the working directory at once.  -1 after
// an error it has reported, else the number of options processed.  A batch list that is too
// short or too long ends the process through print_usage.
int parse_command_line(int argc, char** argv);

// The usage text on standard error; ends the process with status 1.
[[noreturn]] void print_usage();

// Ends the process through print_usage when the list entry at index is missing.
void require_parameter(int index, int argc);
