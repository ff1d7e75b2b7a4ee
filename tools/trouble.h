// How every halvik-sim command refuses.
#pragma once

#include <string>

namespace halvik_sim {

// "halvik-sim: MESSAGE" on standard error; 2, the exit code of every refusal.
int trouble(const std::string& message);

}  // namespace halvik_sim
