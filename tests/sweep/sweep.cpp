// The fault sweep: every main scenario runs once traced, then once per traced platform call with
// that call failing, each on a fresh copy of its start machine.  Every faulted run must end
// without a crash or hang, must not report success while leaving a machine other than the
// fault-free run's, and must leave a machine that a fault-free removal cleans up as far as a
// fault-free installation and removal would.
//
//   fault_sweep --bin BUILD_DIR [--sample N] [--jobs N]
//
// --sample N runs every Nth site only.  Exit 0 when every run passed, 1 otherwise, 2 when the
// sweep itself could not run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sweep/scenarios.h"

namespace {

namespace fs = std::filesystem;
using namespace sweep;

const Scenario kScenarios[] = {
    {"xp", "xp", false, Command::kInstall},
    {"amd64", "amd64", false, Command::kInstall},
    {"leftovers", "leftovers", false, Command::kInstall},
    {"xp-removal", "xp", true, Command::kRemove},
    {"amd64-removal", "amd64", true, Command::kRemove},
};

// The Win32 error each call fails with: exact names first, then name prefixes.
struct ErrorRule {
  const char* call;
  unsigned long error;
};

const ErrorRule kErrors[] = {
    {"CreateFileA", 32},  // sharing violation
    {"fopen", 32},
    {"ControlService", 1052},  // the control is not valid for the service
    {"spawnl_wait", 2},        // the program is not there
    {"LoadLibraryExA", 126},   // the DLL is not there
    {"getenv", 203},           // the variable is not set
    {"SetupDi", 0xE000020B},   // no such device instance
    {"CM_", 0x13},             // CR_FAILURE: the sim returns the CONFIGRET as given
    {"", 5},                   // everything else: access denied
};

// Traced calls not worth failing: the sim never makes them fail (Sleep consults the faults but
// cannot fail), or Windows doesn't fail them on a valid handle (CloseServiceHandle, FreeLibrary:
// a program's handles close and its DLLs unload at its end anyway).
const std::set<std::string> kNotInjectable = {"CloseServiceHandle", "FreeLibrary", "Sleep", "GetLocalTime"};

unsigned long error_for(const std::string& call) {
  for (const ErrorRule& rule : kErrors) {
    if (call.rfind(rule.call, 0) == 0) return rule.error;
  }
  return 5;
}

// ---- sites ---------------------------------------------------------------------------------

struct Site {
  const Scenario* scenario;
  std::string program;  // the process the call is made in
  std::string call;
  int occurrence;
};

// Every injectable call of a trace, counted per process as the machine counts "#n": each line
// names the program that made the call ("install: ", "installx64: "), so a call the installer
// makes while the exchange is under way is never taken for the counterpart's, and each start
// of the counterpart counts from 1 again.  "#n" in [faults.installx64] fails the nth such call
// of every start, so a call of a later start that an earlier start also made n times is left
// out (*shadowed counts it): the earlier start would meet the fault first.
std::vector<Site> sites_of(const Scenario& scenario, const std::string& trace,
                           std::map<std::string, int>* not_injectable, int* shadowed) {
  std::vector<Site> sites;
  std::map<std::string, int> seen;    // this start's calls, by program and call
  std::map<std::string, int> before;  // the most any earlier start of the program made
  std::string previous;
  for (const std::string& line : lines_of(trace)) {
    std::string program;
    std::string call;
    split_trace_line(line, &program, &call);
    if (program != previous && program != "install") {  // another start of a child program
      for (auto& [key, count] : seen) {
        if (key.rfind(program + " ", 0) == 0) before[key] = std::max(before[key], std::exchange(count, 0));
      }
    }
    previous = program;
    if (kNotInjectable.count(call) != 0) {
      ++(*not_injectable)[call];
      continue;
    }
    std::string key = program + " " + call;
    int occurrence = ++seen[key];
    if (occurrence <= before[key]) {
      ++*shadowed;
    } else {
      sites.push_back(Site{&scenario, program, call, occurrence});
    }
  }
  return sites;
}

// The site's line in machine.ini: "Call #n = error".
std::string fault_line(const Site& site) {
  char error[16];
  std::snprintf(error, sizeof error, site.call.rfind("SetupDi", 0) == 0 ? "0x%lX" : "%lu",
                error_for(site.call));
  return site.call + " #" + std::to_string(site.occurrence) + " = " + error;
}

// ---- the sweep -----------------------------------------------------------------------------

enum Kind { kCrash, kHang, kFalseSuccess, kUncleanable, kKinds };
const char* const kKindNames[] = {"crash", "hang", "false success", "uncleanable"};

// What a run does wrong as a program, and which kind of finding that is.
std::string misbehaviour(const Outcome& outcome, Kind* kind) {
  *kind = outcome.hung ? kHang : kCrash;
  return programs::misbehaviour(outcome);
}

Verdict check_site(const Tools& tools, const Reference& reference, const Site& site,
                   const fs::path& machine) {
  std::string section = "[faults." + site.program + "]";
  copy_machine(reference.start, machine);
  std::ofstream(machine / "machine.ini", std::ios::app) << "\n"
                                                        << section << "\n"
                                                        << fault_line(site) << "\n";
  Outcome outcome =
      run(command_argv(tools, *site.scenario, reference, machine), machine, machine.string() + ".run");
  Verdict verdict{std::string(site.scenario->name) + ": " + section + " " + fault_line(site) + ": exit " +
                      (outcome.code >= 0 ? std::to_string(outcome.code) : std::string("-")),
                  {}};
  std::vector<Finding>& findings = verdict.findings;
  Kind kind;
  if (std::string what = misbehaviour(outcome, &kind); !what.empty()) {
    findings.push_back({kind, what});
    if (kind == kHang) return verdict;  // its machine may be half-written
  }
  normalize(machine);
  if ((outcome.code == 0 || outcome.code == 1) && outcome.err.empty()) {
    if (std::vector<std::string> differences =
            settled_differences(tools, reference, machine, asks_for_restart(outcome.code));
        !differences.empty())
      findings.push_back({kFalseSuccess, first_lines(differences, 3)});
  }
  Outcome cleanup = run(removal_argv(tools), machine, machine.string() + ".cleanup");
  if (std::string what = misbehaviour(cleanup, &kind); !what.empty()) {
    findings.push_back({kUncleanable, "the removal afterwards: " + what});
  } else if (std::vector<std::string> extra = leftovers(tools, reference, machine); !extra.empty()) {
    findings.push_back({kUncleanable, first_lines(extra, 3)});
  }
  return verdict;
}

}  // namespace

int main(int argc, char** argv) {
  Sweep sweep;
  if (!start_sweep("fault_sweep", argc, argv, kScenarios, &sweep)) return 2;
  const Tools& tools = sweep.tools;
  std::vector<Site> all_sites;
  std::map<std::string, int> not_injectable;
  int shadowed = 0;
  for (std::size_t i = 0; i < std::size(kScenarios); ++i) {
    for (Site& site : sites_of(kScenarios[i], sweep.traces[i], &not_injectable, &shadowed))
      all_sites.push_back(site);
  }
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < all_sites.size(); i += sweep.sample) chosen.push_back(i);

  std::vector<Verdict> verdicts(chosen.size());
  in_parallel(chosen.size(), sweep.jobs, [&](std::size_t k) {
    const Site& site = all_sites[chosen[k]];
    std::size_t scenario = static_cast<std::size_t>(site.scenario - kScenarios);
    fs::path machine = sweep.temp / site.scenario->name / ("site" + std::to_string(chosen[k]));
    verdicts[k] = check_site(tools, sweep.references[scenario], site, machine);
    std::error_code ignored;
    fs::remove_all(machine, ignored);
  });
  fs::remove_all(sweep.temp);

  std::vector<int> counts = print_findings(verdicts, {kKindNames, kKindNames + kKinds});
  int skipped = 0;
  std::string calls;
  for (const auto& [call, count] : not_injectable) {
    skipped += count;
    calls += (calls.empty() ? "" : ", ") + call + " " + std::to_string(count);
  }
  std::printf("sweep: %d traced calls not injectable (%s)\n", skipped, calls.c_str());
  std::printf("sweep: %d calls of a later start of the counterpart met first by an earlier start\n",
              shadowed);
  if (sweep.sample > 1)
    std::printf("sweep: 1 site in %zu (%zu of %zu)\n", sweep.sample, chosen.size(), all_sites.size());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sweep.started).count();
  std::printf("sweep: %.1f s with %u workers\n", seconds, sweep.jobs);
  std::printf("sweep: %zu sites, %d crashes, %d hangs, %d false success, %d uncleanable\n", chosen.size(),
              counts[kCrash], counts[kHang], counts[kFalseSuccess], counts[kUncleanable]);
  return std::accumulate(counts.begin(), counts.end(), 0) == 0 ? 0 : 1;
}
