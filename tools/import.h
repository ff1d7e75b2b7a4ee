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

// True when one of the hardware IDs names a supported board (or the root node's ID), with or
// without a revision.
bool is_supported(const std::vector<std::string>& ids);

// halvik-sim rehearse FLEET_DIR [...] (rehearse.cpp): 0 every host succeeded, 1 one did not,
// 2 refused, -1 a usage error.
int command_rehearse(const std::vector<std::string>& args);

}  // namespace halvik_sim
