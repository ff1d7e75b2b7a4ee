// halvik-sim import: a simulated machine made from registry exports (import.cpp).
#pragma once

#include <string>
#include <vector>

namespace halvik_sim {

// halvik-sim import DIR [--present FILE] FILE.reg...: 0 done, 2 refused (the reason on
// standard error), -1 a usage error.
int command_import(const std::vector<std::string>& args);

}  // namespace halvik_sim
