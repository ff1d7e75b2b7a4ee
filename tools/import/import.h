// halvik-sim import: a simulated machine made from registry exports.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/sim/machine/registry.h"
#include "trouble.h"

namespace halvik_sim {

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

}  // namespace halvik_sim
