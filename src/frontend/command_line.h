// The command line: install [-r] [-d working_directory] [-c config_options].
#pragma once

// Fills the settings from the arguments; -d changes the working directory at once.  -1 after
// an error it has reported (among them a batch list that is too short or too long), else the
// number of options processed.
int parse_command_line(int argc, char** argv);

// The usage text: the command line and its batch lists.
const char* usage_text();
// What --help adds to it.
inline constexpr const char* kMoreOptionsText =
    "Other options:\n"
    "  /?, -?, --help      this text\n"
    "  --version           the program's version\n"
    "  --agent-exit-codes  exit codes as deployment agents count them: 3010 restart needed,\n"
    "                      1641 restart started, 1602 overwrite declined, 1603 failure,\n"
    "                      1639 command line refused\n";
