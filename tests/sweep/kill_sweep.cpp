// The kill sweep: every scenario runs once traced, then once per traced platform call with the
// program that makes it ended there, as an agent's time-out or Task Manager ends it (what every
// earlier call did stays, nothing after it happens), and once more with the power cut there
// (the same, then the machine starts again).  Then, as an administrator would:
//
//   - the same command runs again to its end, and the machine must be what its exit code
//     promises: 0 or 1, the fault-free run's machine (after the restart it asks for; a run
//     after a kill still owes the restart the fault-free run asked for, and one after a power
//     cut the restart that a SystemPages changed since makes real); anything else, a report on
//     standard error;
//   - a fault-free removal then leaves nothing of ours beyond what a fault-free installation
//     and removal leave, and SystemPages is the value the machine had before we came.
//
//   kill_sweep --bin BUILD_DIR [--sample N] [--jobs N]
//
// --sample N ends every Nth site only.  Exit 0 when every run passed, 1 otherwise, 2 when the
// sweep itself could not run.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "sweep/scenarios.h"

namespace {

using namespace sweep;

const Scenario kScenarios[] = {
    {"xp", "xp", false, Command::kInstall},
    {"amd64", "amd64", false, Command::kInstall},
    {"leftovers", "leftovers", false, Command::kInstall},
    {"amd64-over", "amd64", true, Command::kInstall},
    {"xp-removal", "xp", true, Command::kRemove},
    {"amd64-removal", "amd64", true, Command::kRemove},
    {"leftovers-removal", "leftovers", true, Command::kRemove},
    {"xp-quiet-uninstall", "xp", true, Command::kQuietUninstall},
    {"amd64-quiet-uninstall", "amd64", true, Command::kQuietUninstall},
};

const std::string kMemory = "system\\currentcontrolset\\control\\session manager\\memory management";
const std::string kMemoryHeading = "hkey_local_machine\\" + kMemory;

// A call a program is ended at: the `call`th platform call of the `start`th start of `program`.
struct Site {
  const Scenario* scenario;
  std::string program;
  int start;
  int call;
  std::string name;  // of the call, for the report
};

// Every traced call, numbered as the machine numbers them: per program, and for a child program
// per start of it (each start counts from 1).  The installer's lines close a start of a child.
std::vector<Site> sites_of(const Scenario& scenario, const std::string& trace) {
  std::vector<Site> sites;
  std::map<std::string, int> starts{{"install", 1}};
  std::map<std::string, int> calls;
  std::string previous;
  for (const std::string& line : lines_of(trace)) {
    std::string program;
    std::string name;
    split_trace_line(line, &program, &name);
    if (program != previous && program != "install") {
      ++starts[program];
      calls[program] = 0;
    }
    previous = program;
    sites.push_back(Site{&scenario, program, starts[program], ++calls[program], name});
  }
  return sites;
}

// How many calls the trace shows of the site's start of its program.
int calls_in_trace(const Site& site, const std::string& trace) {
  int calls = 0;
  for (const Site& made : sites_of(*site.scenario, trace))
    calls += made.program == site.program && made.start == site.start;
  return calls;
}

enum Kind {
  kCrash,
  kHang,
  kMisnumbered,
  kFalseSuccess,
  kMissedRestart,
  kUnreported,
  kUncleanable,
  kPagesLost,
  kKinds
};
const char* const kKindNames[] = {
    "crash",      "hang",        "misnumbered",     "false success", "restart unannounced",
    "unreported", "uncleanable", "SystemPages lost"};

std::string misbehaviour(const Outcome& outcome, Kind* kind) {
  *kind = outcome.hung ? kHang : kCrash;
  return programs::misbehaviour(outcome);
}

std::string code_text(const Outcome& outcome) {
  return outcome.code >= 0 ? std::to_string(outcome.code) : std::string("-");
}

std::string system_pages(const fs::path& machine) {
  std::optional<std::uint32_t> pages = dword_of(load_registry(machine), kMemory, "SystemPages");
  return pages ? std::to_string(*pages) : "absent";
}

// The site's run ended there, with the power cut there when `power_cut` names the command that
// cuts it, then the checks above.
Verdict check_site(const Tools& tools, const Reference& reference, const Site& site, const fs::path& machine,
                   const std::string& power_cut) {
  const Scenario& scenario = *site.scenario;
  copy_machine(reference.start, machine);
  std::string section = "faults." + site.program;
  set_ini(machine, section, "kill_at_call", std::to_string(site.call));
  if (site.program != "install") set_ini(machine, section, "kill_at_start", std::to_string(site.start));
  std::ofstream(machine / "machine.ini", std::ios::app) << "\n[trace]\nenabled = 1\nprogram = 1\n";
  Outcome killed = run(command_argv(tools, scenario, reference, machine), machine, machine.string() + ".run");
  Verdict verdict{std::string(scenario.name) + ": " + (power_cut.empty() ? "kill" : "power cut") + " at " +
                      site.program +
                      (site.program == "install" ? "" : " start " + std::to_string(site.start)) + " call " +
                      std::to_string(site.call) + " (" + site.name + "): exit " + code_text(killed),
                  {}};
  std::vector<Finding>& findings = verdict.findings;
  Kind kind;
  if (std::string what = misbehaviour(killed, &kind); !what.empty()) {
    findings.push_back({kind, "the killed run: " + what});
    if (kind == kHang) return verdict;
  }
  if (int made = calls_in_trace(site, read_text(machine / "trace.log")); made != site.call - 1)
    findings.push_back({kMisnumbered, std::to_string(made) + " calls made before the end, not " +
                                          std::to_string(site.call - 1)});
  for (const char* key : {"kill_at_call", "kill_at_start"}) set_ini(machine, section, key, "");
  set_ini(machine, "trace", "enabled", "");
  fs::remove(machine / "trace.log");
  std::string pages_at_start;  // since the power cut's restart
  if (!power_cut.empty()) {
    Outcome cut = run({tools.sim, power_cut, machine.string()}, "", machine.string() + ".cut");
    if (cut.code != 0) findings.push_back({kCrash, "halvik-sim " + power_cut + ": " + cut.err});
    pages_at_start = system_pages(machine);
  }

  Outcome again =
      run(command_argv(tools, scenario, reference, machine), machine, machine.string() + ".again");
  verdict.run += ", again: exit " + code_text(again);
  // A quiet uninstall whose program a restart took away can't be run again: its entry's
  // command is gone with it, and the removal below is what is left to do.
  bool gone = scenario.command == Command::kQuietUninstall &&
              again.err.find("(CreateProcess error ") != std::string::npos;
  if (gone) {
    verdict.run += " (its program is gone)";
  } else if (std::string what = misbehaviour(again, &kind); !what.empty()) {
    findings.push_back({kind, what});
    if (kind == kHang) return verdict;
  } else if (again.code == 0 || again.code == 1) {
    if (again.code == 0 && power_cut.empty() && asks_for_restart(reference.code))
      findings.push_back({kMissedRestart, "the fault-free run asks for a restart, and none has been"});
    if (again.code == 0 && !power_cut.empty() && system_pages(machine) != pages_at_start)
      findings.push_back({kMissedRestart, "SystemPages changed since the power cut's restart"});
    normalize(machine);
    bool restarted = asks_for_restart(again.code) || asks_for_restart(reference.code);
    if (std::vector<std::string> differences = settled_differences(tools, reference, machine, restarted);
        !differences.empty())
      findings.push_back({kFalseSuccess, first_lines(differences, 3)});
  } else if (again.err.empty()) {
    findings.push_back({kUnreported, "failed with nothing on standard error"});
  }

  Outcome cleanup = run(removal_argv(tools), machine, machine.string() + ".cleanup");
  if (std::string what = misbehaviour(cleanup, &kind); !what.empty()) {
    findings.push_back({kUncleanable, "the removal afterwards: " + what});
    return verdict;
  }
  std::vector<std::string> extra;
  for (const std::string& line : leftovers(tools, reference, machine)) {
    // SystemPages, and its key's heading, have a check of their own.
    std::string text = lower(line);
    if (text.find("\"systempages\"") == std::string::npos && text != " [" + kMemoryHeading + "]")
      extra.push_back(line);
  }
  if (!extra.empty()) findings.push_back({kUncleanable, first_lines(extra, 3)});
  if (std::string pages = system_pages(machine), before = system_pages(reference.pristine); pages != before)
    findings.push_back({kPagesLost, "after the removal " + pages + ", before the installation " + before});
  return verdict;
}

}  // namespace

int main(int argc, char** argv) {
  Sweep sweep;
  if (!start_sweep("kill_sweep", argc, argv, kScenarios, &sweep)) return 2;
  const Tools& tools = sweep.tools;
  std::vector<Site> all_sites;
  for (std::size_t i = 0; i < std::size(kScenarios); ++i) {
    for (Site& site : sites_of(kScenarios[i], sweep.traces[i])) all_sites.push_back(site);
  }
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < all_sites.size(); i += sweep.sample) chosen.push_back(i);

  // Each chosen site twice: killed (even k), and with the power cut (odd k).
  std::vector<Verdict> verdicts(2 * chosen.size());
  in_parallel(verdicts.size(), sweep.jobs, [&](std::size_t k) {
    const Site& site = all_sites[chosen[k / 2]];
    std::size_t scenario = static_cast<std::size_t>(site.scenario - kScenarios);
    fs::path machine = sweep.temp / site.scenario->name / ("site" + std::to_string(k));
    verdicts[k] = check_site(tools, sweep.references[scenario], site, machine, k % 2 == 0 ? "" : "power-cut");
    std::error_code ignored;
    fs::remove_all(machine, ignored);
  });
  fs::remove_all(sweep.temp);

  std::vector<int> counts = print_findings(verdicts, {kKindNames, kKindNames + kKinds});
  if (sweep.sample > 1)
    std::printf("kill_sweep: 1 site in %zu (%zu of %zu)\n", sweep.sample, chosen.size(), all_sites.size());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sweep.started).count();
  std::printf("kill_sweep: %.1f s with %u workers\n", seconds, sweep.jobs);
  std::string violations;
  for (int kind = 0; kind < kKinds; ++kind)
    violations +=
        std::string(", ") + std::to_string(counts[static_cast<std::size_t>(kind)]) + " " + kKindNames[kind];
  std::printf("kill_sweep: %zu sites, %zu kills, %zu power cuts%s\n", chosen.size(), chosen.size(),
              chosen.size(), violations.c_str());
  return std::accumulate(counts.begin(), counts.end(), 0) == 0 ? 0 : 1;
}
