// halvik-sim rehearse and bound: the playbooks' runs on a fleet of simulated machines.
#pragma once

#include <string>
#include <vector>

namespace halvik_sim {

// halvik-sim rehearse FLEET_DIR [...]: 0 every host succeeded, 1 one did not, 2 refused, -1 a
// usage error.
int command_rehearse(const std::vector<std::string>& args);

// halvik-sim bound DIR: how many device nodes present are bound to halvik, the rehearsal's
// bound column.
int command_bound(const std::vector<std::string>& args);

}  // namespace halvik_sim
