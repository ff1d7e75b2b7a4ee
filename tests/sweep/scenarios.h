// What the sweeps share: their scenarios (a command on a start machine), the fault-free run of
// each that every swept run is judged against, and the checks that judge it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "common/programs.h"

namespace sweep {

namespace fs = std::filesystem;
using namespace programs;

struct Tools {
  std::string install;
  std::string sim;
};

enum class Command {
  kInstall,         // the batch installation with a root device node and the memory adjustment
  kRemove,          // install -r -c 0
  kQuietUninstall,  // the entry's QuietUninstallString, as an agent runs it
};

struct Scenario {
  const char* name;
  const char* template_name;
  bool installed_first;  // starts on the machine a fault-free installation left
  Command command;
};

struct Reference {
  fs::path pristine;               // the template machine
  fs::path start;                  // where each run starts
  fs::path expected;               // the fault-free run's end, normalized
  fs::path expected_restarted;     // the same after the restart
  std::set<std::string> baseline;  // what a fault-free installation and removal leave, restarted
  std::string entry_command;       // the quiet uninstall command on the start machine
  int code = 0;                    // the fault-free run's exit code
};

// The scenario's command line, run on `machine`.
std::vector<std::string> command_argv(const Tools& tools, const Scenario& scenario,
                                      const Reference& reference, const fs::path& machine);
// The removal a sweep cleans up with.
std::vector<std::string> removal_argv(const Tools& tools);

// Takes out what two runs may differ in without differing in effect: the faults, the trace
// switch, the reboot request with its reason, and the run log with its folder.
void normalize(const fs::path& machine);

// Makes the machines of a scenario and runs it fault-free and traced; false with a reason when
// the fault-free run itself goes wrong.
bool prepare(const Tools& tools, const Scenario& scenario, const fs::path& dir, Reference* reference,
             std::string* trace, std::string* problem);

// The lines of pristine -> machine, restarted, that a fault-free installation and removal do
// not leave.
std::vector<std::string> leftovers(const Tools& tools, const Reference& reference, const fs::path& machine);

// How a machine, normalized after a run, differs from the fault-free run's end: as it is, or
// (on a copy) after a restart, against the fault-free run's end restarted.
std::vector<std::string> settled_differences(const Tools& tools, const Reference& reference,
                                             const fs::path& machine, bool restarted_first);

// What one swept run did wrong, by kind (an index into the sweep's names of kinds).
struct Finding {
  int kind;
  std::string what;
};

// One swept run: what it was ("scenario: the site: exit N") and what it did wrong.
struct Verdict {
  std::string run;
  std::vector<Finding> findings;
};

// Prints a line for each verdict with findings; returns the number of findings of each kind.
std::vector<int> print_findings(const std::vector<Verdict>& verdicts,
                                const std::vector<const char*>& kind_names);

// A trace line's program ("install", "installx64") and call name.
void split_trace_line(const std::string& line, std::string* program, std::string* call);

// Calls `check(k)` for k in [0, count) on `jobs` threads.
void in_parallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& check);

// A sweep under way: its options (--bin BUILD_DIR [--sample N] [--jobs N]), its folder, and its
// scenarios prepared, with the trace of each fault-free run.
struct Sweep {
  Tools tools;
  std::size_t sample = 1;
  unsigned jobs = 2;
  fs::path temp;
  std::vector<Reference> references;
  std::vector<std::string> traces;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// Starts the sweep `name` on its command line; false when it can't, with why on standard error.
bool start_sweep(const char* name, int argc, char** argv, std::span<const Scenario> scenarios, Sweep* sweep);

}  // namespace sweep
