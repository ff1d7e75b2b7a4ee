// Starting a program on the simulated machine: which native program stands for a Windows
// program, how its runtime splits the command line, and what it is told of the machine; and
// the restart.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim::internal {

// The native program that stands for a Windows program: its file name without the extension,
// beside the running executable.  False when there is none.
bool native_program(const std::string& windows_name, std::string* native);

// The arguments the Microsoft C runtime makes of a command line, the program name first.
std::vector<std::string> split_command_line(const std::string& line);

// The environment of a program started on the machine in `machine_dir`: this process's, with the
// machine, the directory it starts in and its own file (`image`, a full Windows path) in place
// of whatever this process was told of them, and which start of that program by this process
// it is (from 1).
std::vector<std::string> program_environment(const std::string& machine_dir, const std::string& current_directory,
                                             const std::string& image, long start_number);

// The texts as the null-terminated array exec and posix_spawn take; valid while they are.
std::vector<char*> exec_array(std::vector<std::string>& texts);

// ---- the restart (restart.cpp) ------------------------------------------------------------
// The machine restarted: scheduled file operations carried out, the service manager booted from
// the Services keys, the boards enumerated and given drivers, the boot services started.
void restart();
// PendingFileRenameOperations as source and target pairs ("\\??\\C:\\..."), an empty target
// for a deletion.
std::vector<std::pair<std::string, std::string>> scheduled_file_operations();

}  // namespace sim::internal
