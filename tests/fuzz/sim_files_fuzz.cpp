// libFuzzer harness for what a simulated machine's files hold: registry.reg, machine.ini and
// its fault lines.  The first byte picks the reader; the rest is the file.  Built and run by
// scripts/fuzz.sh, not by the test run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/sim_files_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string problem =
      data[0] & 1 ? sim_files_check::registry_problem(text) : sim_files_check::ini_problem(text);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
