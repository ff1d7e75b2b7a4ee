// halvik-sim import: a simulated machine made from registry exports (import.cpp).
#pragma once

#include <string>
#include <vector>

namespace halvik_sim {

// "halvik-sim: MESSAGE" on standard error; 2, the exit code of every refusal.
int trouble(const std::string& message);

// halvik-sim import DIR [--present FILE] FILE.reg...: 0 done, 2 refused (the reason on
// standard error), -1 a usage error.
int command_import(const std::vector<std::string>& args);

}  // namespace halvik_sim
