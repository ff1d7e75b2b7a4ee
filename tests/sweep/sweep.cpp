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
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/programs.h"

namespace {

namespace fs = std::filesystem;
using namespace programs;

// The batch installation: a root device node and the memory adjustment.
constexpr char kInstallList[] =
    "0 0 0  16 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  1234 f0 0  y y 2  512 0 0";

struct Scenario {
  const char* name;
  const char* template_name;
  bool removal;  // the removal on the machine a fault-free installation left
};

const Scenario kScenarios[] = {
    {"xp", "xp", false},        {"amd64", "amd64", false},        {"leftovers", "leftovers", false},
    {"xp-removal", "xp", true}, {"amd64-removal", "amd64", true},
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

struct Tools {
  std::string install;
  std::string sim;
};

std::vector<std::string> install_argv(const Tools& tools, bool removal) {
  if (removal) return {tools.install, "-r", "-c", "0"};
  std::vector<std::string> argv{tools.install, "-c"};
  std::istringstream list(kInstallList);
  for (std::string entry; list >> entry;) argv.push_back(entry);
  return argv;
}

// ---- machines ------------------------------------------------------------------------------

// The child of dir whose name is `name` but for letter case; empty when there is none.
fs::path child_named(const fs::path& dir, const std::string& name) {
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ignored)) {
    if (lower(entry.path().filename().string()) == name) return entry.path();
  }
  return {};
}

// The run log (and Windows' Logs folder when only the log put it there): every run writes it,
// with its own time, and a run that can't write it must do as one that can.
void remove_run_log(const fs::path& machine) {
  std::error_code ignored;
  for (const fs::directory_entry& drive : fs::directory_iterator(machine, ignored)) {
    if (!drive.is_directory() || drive.path().filename().string().rfind("drive_", 0) != 0) continue;
    for (const fs::directory_entry& top : fs::directory_iterator(drive.path(), ignored)) {
      fs::path logs = top.is_directory() ? child_named(top.path(), "logs") : fs::path{};
      if (logs.empty()) continue;
      fs::path ours = child_named(logs, "tessaridge");
      if (!ours.empty()) fs::remove_all(ours, ignored);
      if (fs::is_empty(logs, ignored)) fs::remove(logs, ignored);
    }
  }
}

// Takes out what two runs may differ in without differing in effect: the faults, the trace
// switch, the reboot request with its reason, and the run log with its folder.
void normalize(const fs::path& machine) {
  remove_run_log(machine);
  std::string kept;
  std::string section;
  for (const std::string& line : lines_of(read_text(machine / "machine.ini"))) {
    if (!line.empty() && line[0] == '[') section = lower(line.substr(1, line.find(']') - 1));
    if (section == "trace" || section == "faults" || section.rfind("faults.", 0) == 0) continue;
    if (section == "system" && lower(line).rfind("reboot_", 0) == 0) continue;  // requested, reason
    if (section == "file_security" && lower(line).find("\\logs\\tessaridge") != std::string::npos) continue;
    kept += line + "\n";
  }
  write_text(machine / "machine.ini", kept);
}

std::vector<std::string> diff(const Tools& tools, const fs::path& a, const fs::path& b) {
  return programs::diff(tools.sim, a, b);
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
    std::size_t colon = line.find(": ");
    std::string program = line.substr(0, colon);
    std::string rest = colon == std::string::npos ? line : line.substr(colon + 2);
    std::string call = rest.substr(0, rest.find(' '));
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

struct Reference {
  fs::path pristine;               // the template machine
  fs::path start;                  // where each run starts
  fs::path expected;               // the fault-free run's end, normalized
  fs::path expected_restarted;     // the same after the restart
  std::set<std::string> baseline;  // what a fault-free installation and removal leave, restarted
};

void restart(const Tools& tools, const fs::path& machine) {
  programs::restart(tools.sim, machine);
}

enum Kind { kCrash, kHang, kFalseSuccess, kUncleanable, kKinds };
const char* const kKindNames[] = {"crash", "hang", "false success", "uncleanable"};

struct Finding {
  Kind kind;
  std::string what;
};

// One faulted run: "scenario: [faults.PROGRAM] Call #n = error: exit N" and what it did wrong.
struct Verdict {
  std::string run;
  std::vector<Finding> findings;
};

// What a run does wrong as a program, and which kind of finding that is.
std::string misbehaviour(const Outcome& outcome, Kind* kind) {
  *kind = outcome.hung ? kHang : kCrash;
  return programs::misbehaviour(outcome);
}

// The lines of PRISTINE -> machine that a fault-free installation and removal do not leave.
std::vector<std::string> leftovers(const Tools& tools, const Reference& reference, const fs::path& machine) {
  restart(tools, machine);
  normalize(machine);
  std::vector<std::string> extra;
  for (const std::string& line : diff(tools, reference.pristine, machine)) {
    if (reference.baseline.count(line) == 0) extra.push_back(line);
  }
  return extra;
}

Verdict check_site(const Tools& tools, const Reference& reference, const Site& site,
                   const fs::path& machine) {
  std::string section = "[faults." + site.program + "]";
  copy_machine(reference.start, machine);
  std::ofstream(machine / "machine.ini", std::ios::app) << "\n"
                                                        << section << "\n"
                                                        << fault_line(site) << "\n";
  Outcome outcome = run(install_argv(tools, site.scenario->removal), machine, machine.string() + ".run");
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
    fs::path expected = reference.expected;
    if (asks_for_restart(outcome.code)) {
      fs::path restarted = machine.string() + ".restarted";
      copy_machine(machine, restarted);
      restart(tools, restarted);
      expected = reference.expected_restarted;
      std::vector<std::string> differences = diff(tools, expected, restarted);
      if (!differences.empty()) findings.push_back({kFalseSuccess, first_lines(differences, 3)});
    } else if (std::vector<std::string> differences = diff(tools, expected, machine); !differences.empty()) {
      findings.push_back({kFalseSuccess, first_lines(differences, 3)});
    }
  }
  Outcome cleanup = run(install_argv(tools, true), machine, machine.string() + ".cleanup");
  if (std::string what = misbehaviour(cleanup, &kind); !what.empty()) {
    findings.push_back({kUncleanable, "the removal afterwards: " + what});
  } else if (std::vector<std::string> extra = leftovers(tools, reference, machine); !extra.empty()) {
    findings.push_back({kUncleanable, first_lines(extra, 3)});
  }
  return verdict;
}

// Makes the machines of a scenario and runs it fault-free and traced; false with a reason when
// the fault-free run itself goes wrong.
bool prepare(const Tools& tools, const Scenario& scenario, const fs::path& dir, Reference* reference,
             std::string* trace, std::string* problem) {
  fs::create_directories(dir);
  reference->pristine = dir / "pristine";
  Outcome made = run({tools.sim, "new", reference->pristine.string(), "--template", scenario.template_name},
                     "", dir / "new");
  if (made.code != 0) {
    *problem = "halvik-sim new: " + made.err;
    return false;
  }
  auto fault_free = [&](const fs::path& machine, bool removal) {
    Outcome outcome = run(install_argv(tools, removal), machine, machine.string() + ".run");
    if ((outcome.code == 0 || outcome.code == 1) && outcome.err.empty()) return true;
    *problem = std::string(removal ? "removal" : "installation") + " without faults: exit " +
               std::to_string(outcome.code) + ": " + outcome.err;
    return false;
  };
  reference->start = reference->pristine;
  if (scenario.removal) {
    reference->start = dir / "start";
    copy_machine(reference->pristine, reference->start);
    if (!fault_free(reference->start, false)) return false;
  }
  fs::path traced = dir / "traced";
  copy_machine(reference->start, traced);
  std::ofstream(traced / "machine.ini", std::ios::app) << "\n[trace]\nenabled = 1\nprogram = 1\n";
  if (!fault_free(traced, scenario.removal)) return false;
  *trace = read_text(traced / "trace.log");
  reference->expected = dir / "expected";
  copy_machine(traced, reference->expected);
  normalize(reference->expected);
  fs::path baseline = dir / "baseline";
  copy_machine(reference->expected, baseline);
  if (!scenario.removal && !fault_free(baseline, true)) return false;
  restart(tools, baseline);
  normalize(baseline);
  reference->expected_restarted = dir / "expected-restarted";
  copy_machine(reference->expected, reference->expected_restarted);
  restart(tools, reference->expected_restarted);
  for (const std::string& line : diff(tools, reference->pristine, baseline)) reference->baseline.insert(line);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin;
  std::size_t sample = 1;
  unsigned jobs = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--bin") bin = argv[i + 1];
    if (option == "--sample") sample = std::max(1ul, std::stoul(argv[i + 1]));
    if (option == "--jobs") jobs = std::clamp(static_cast<unsigned>(std::stoul(argv[i + 1])), 1u, 2u);
  }
  if (bin.empty() || argc % 2 == 0) {
    std::fprintf(stderr, "usage: fault_sweep --bin BUILD_DIR [--sample N] [--jobs N]\n");
    return 2;
  }
  Tools tools{fs::absolute(bin) / "install", fs::absolute(bin) / "halvik-sim"};
  auto started = std::chrono::steady_clock::now();
  fs::path temp = make_temp_dir("fault_sweep");
  if (temp.empty()) {
    std::perror("fault_sweep: mkdtemp");
    return 2;
  }

  std::vector<Reference> references(std::size(kScenarios));
  std::vector<Site> all_sites;
  std::map<std::string, int> not_injectable;
  int shadowed = 0;
  for (std::size_t i = 0; i < std::size(kScenarios); ++i) {
    std::string trace;
    std::string problem;
    if (!prepare(tools, kScenarios[i], temp / kScenarios[i].name, &references[i], &trace, &problem)) {
      std::fprintf(stderr, "fault_sweep: %s: %s\n", kScenarios[i].name, problem.c_str());
      fs::remove_all(temp);
      return 2;
    }
    for (Site& site : sites_of(kScenarios[i], trace, &not_injectable, &shadowed)) all_sites.push_back(site);
  }
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < all_sites.size(); i += sample) chosen.push_back(i);

  std::vector<Verdict> verdicts(chosen.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t k = next++; k < chosen.size(); k = next++) {
      const Site& site = all_sites[chosen[k]];
      std::size_t scenario = static_cast<std::size_t>(site.scenario - kScenarios);
      fs::path machine = temp / site.scenario->name / ("site" + std::to_string(chosen[k]));
      verdicts[k] = check_site(tools, references[scenario], site, machine);
      std::error_code ignored;
      fs::remove_all(machine, ignored);
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < jobs; ++i) workers.emplace_back(worker);
  for (std::thread& t : workers) t.join();
  fs::remove_all(temp);

  int counts[kKinds] = {};
  for (const Verdict& verdict : verdicts) {
    if (verdict.findings.empty()) continue;
    std::string line = verdict.run;
    for (const Finding& finding : verdict.findings) {
      ++counts[finding.kind];
      line += std::string(": ") + kKindNames[finding.kind] + ": " + finding.what;
    }
    std::printf("%s\n", line.c_str());
  }
  int skipped = 0;
  std::string calls;
  for (const auto& [call, count] : not_injectable) {
    skipped += count;
    calls += (calls.empty() ? "" : ", ") + call + " " + std::to_string(count);
  }
  std::printf("sweep: %d traced calls not injectable (%s)\n", skipped, calls.c_str());
  std::printf("sweep: %d calls of a later start of the counterpart met first by an earlier start\n",
              shadowed);
  if (sample > 1) std::printf("sweep: 1 site in %zu (%zu of %zu)\n", sample, chosen.size(), all_sites.size());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("sweep: %.1f s with %u workers\n", seconds, jobs);
  std::printf("sweep: %zu sites, %d crashes, %d hangs, %d false success, %d uncleanable\n", chosen.size(),
              counts[kCrash], counts[kHang], counts[kFalseSuccess], counts[kUncleanable]);
  return counts[kCrash] + counts[kHang] + counts[kFalseSuccess] + counts[kUncleanable] == 0 ? 0 : 1;
}
