// halvik-sim run: a Windows command line started on a simulated machine.
#pragma once

#include <string>
#include <vector>

namespace halvik_sim {

// halvik-sim run MACHINE [--cd DIR] -- COMMAND LINE: the started program's exit code; 2 when
// nothing could be started (the reason on standard error); -1 a usage error.
int command_run(const std::vector<std::string>& args);

}  // namespace halvik_sim
