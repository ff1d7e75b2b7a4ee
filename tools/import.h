// halvik-sim import: a simulated machine made from registry exports (import/).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/sim/machine/registry.h"

namespace halvik_sim {

// "halvik-sim: MESSAGE" on standard error; 2, the exit code of every refusal.
int trouble(const std::string& message);

// What a rehearsal shows of a machine before it runs anything there.
struct HostFacts {
  std::string windows;    // ProductName and CSDVersion
  std::string processor;  // x86 unless the machine says otherwise
  std::string boards;     // supported boards present
  std::string was;        // the version its Programs and Features entry names, or what else
  std::string pages;      // SystemPages, "none" when unset
};

// halvik-sim import DIR [--present FILE] FILE.reg...: 0 done, 2 refused (the reason on
// standard error), -1 a usage error.  *facts, when given, gets the imported machine's.
int command_import(const std::vector<std::string>& args, HostFacts* facts = nullptr);

// True when one of the hardware IDs names a supported board (or the root node's ID), with or
// without a revision.
bool is_supported(const std::vector<std::string>& ids);

// The facts of a machine from its registry, its processor and its count of supported boards.
HostFacts host_facts(sim::internal::Key* hklm, const std::string& processor, std::size_t boards);

// halvik-sim rehearse FLEET_DIR [...] (rehearse.cpp): 0 every host succeeded, 1 one did not,
// 2 refused, -1 a usage error.
int command_rehearse(const std::vector<std::string>& args);

// halvik-sim bound DIR: how many device nodes present are bound to halvik, the rehearsal's
// bound column (rehearse.cpp).
int command_bound(const std::vector<std::string>& args);

}  // namespace halvik_sim
