#include "sweep/scenarios.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace sweep {

namespace {

// The batch installation: a root device node and the memory adjustment.
constexpr char kInstallList[] =
    "0 0 0  16 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  1234 f0 0  y y 2  512 0 0";

const std::string kEntry = "software\\microsoft\\windows\\currentversion\\uninstall\\halvik";

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

}  // namespace

std::vector<std::string> removal_argv(const Tools& tools) {
  return {tools.install, "-r", "-c", "0"};
}

std::vector<std::string> command_argv(const Tools& tools, const Scenario& scenario,
                                      const Reference& reference, const fs::path& machine) {
  if (scenario.command == Command::kRemove) return removal_argv(tools);
  if (scenario.command == Command::kQuietUninstall) {
    // From the system folder, where an agent's commands start.
    std::string system = ini_value(machine, "environment", "SystemRoot") + "\\System32";
    return {tools.sim, "run", machine.string(), "--cd", system, "--", reference.entry_command};
  }
  std::vector<std::string> argv{tools.install, "-c"};
  std::istringstream list(kInstallList);
  for (std::string entry; list >> entry;) argv.push_back(entry);
  return argv;
}

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

std::vector<std::string> leftovers(const Tools& tools, const Reference& reference, const fs::path& machine) {
  restart(tools.sim, machine);
  normalize(machine);
  std::vector<std::string> extra;
  for (const std::string& line : diff(tools.sim, reference.pristine, machine)) {
    if (reference.baseline.count(line) == 0) extra.push_back(line);
  }
  return extra;
}

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
  auto fault_free = [&](const fs::path& machine, const std::vector<std::string>& argv) {
    Outcome outcome = run(argv, machine, machine.string() + ".run");
    reference->code = outcome.code;
    if ((outcome.code == 0 || outcome.code == 1) && outcome.err.empty()) return true;
    *problem = argv[1] + " without faults: exit " + std::to_string(outcome.code) + ": " + outcome.err;
    return false;
  };
  Scenario installation{scenario.name, scenario.template_name, false, Command::kInstall};
  reference->start = reference->pristine;
  if (scenario.installed_first) {
    reference->start = dir / "start";
    copy_machine(reference->pristine, reference->start);
    if (!fault_free(reference->start, command_argv(tools, installation, *reference, reference->start)))
      return false;
    reference->entry_command = string_of(load_registry(reference->start), kEntry, "QuietUninstallString");
  }
  fs::path traced = dir / "traced";
  copy_machine(reference->start, traced);
  std::ofstream(traced / "machine.ini", std::ios::app) << "\n[trace]\nenabled = 1\nprogram = 1\n";
  if (!fault_free(traced, command_argv(tools, scenario, *reference, traced))) return false;
  int code = reference->code;
  *trace = read_text(traced / "trace.log");
  reference->expected = dir / "expected";
  copy_machine(traced, reference->expected);
  fs::remove(reference->expected / "trace.log");
  normalize(reference->expected);
  fs::path baseline = dir / "baseline";
  copy_machine(reference->expected, baseline);
  if (scenario.command == Command::kInstall && !fault_free(baseline, removal_argv(tools))) return false;
  reference->code = code;
  restart(tools.sim, baseline);
  normalize(baseline);
  reference->expected_restarted = dir / "expected-restarted";
  copy_machine(reference->expected, reference->expected_restarted);
  restart(tools.sim, reference->expected_restarted);
  for (const std::string& line : diff(tools.sim, reference->pristine, baseline))
    reference->baseline.insert(line);
  return true;
}

std::vector<std::string> settled_differences(const Tools& tools, const Reference& reference,
                                             const fs::path& machine, bool restarted_first) {
  if (!restarted_first) return programs::diff(tools.sim, reference.expected, machine);
  fs::path restarted = machine.string() + ".restarted";
  copy_machine(machine, restarted);
  restart(tools.sim, restarted);
  std::vector<std::string> differences = programs::diff(tools.sim, reference.expected_restarted, restarted);
  std::error_code ignored;
  fs::remove_all(restarted, ignored);
  return differences;
}

std::vector<int> print_findings(const std::vector<Verdict>& verdicts,
                                const std::vector<const char*>& kind_names) {
  std::vector<int> counts(kind_names.size());
  for (const Verdict& verdict : verdicts) {
    if (verdict.findings.empty()) continue;
    std::string line = verdict.run;
    for (const Finding& finding : verdict.findings) {
      ++counts[static_cast<std::size_t>(finding.kind)];
      line += std::string(": ") + kind_names[static_cast<std::size_t>(finding.kind)] + ": " + finding.what;
    }
    std::printf("%s\n", line.c_str());
  }
  return counts;
}

void split_trace_line(const std::string& line, std::string* program, std::string* call) {
  std::size_t colon = line.find(": ");
  *program = line.substr(0, colon);
  std::string rest = colon == std::string::npos ? line : line.substr(colon + 2);
  *call = rest.substr(0, rest.find(' '));
}

void in_parallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& check) {
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t k = next++; k < count; k = next++) check(k);
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < jobs; ++i) workers.emplace_back(worker);
  for (std::thread& t : workers) t.join();
}

bool start_sweep(const char* name, int argc, char** argv, std::span<const Scenario> scenarios, Sweep* sweep) {
  std::string bin;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--bin") bin = argv[i + 1];
    if (option == "--sample") sweep->sample = std::max(1ul, std::stoul(argv[i + 1]));
    if (option == "--jobs") sweep->jobs = std::clamp(static_cast<unsigned>(std::stoul(argv[i + 1])), 1u, 2u);
  }
  if (bin.empty() || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s --bin BUILD_DIR [--sample N] [--jobs N]\n", name);
    return false;
  }
  sweep->tools = Tools{fs::absolute(bin) / "install", fs::absolute(bin) / "halvik-sim"};
  sweep->temp = make_temp_dir(name);
  if (sweep->temp.empty()) {
    std::fprintf(stderr, "%s: cannot make a temporary folder\n", name);
    return false;
  }
  sweep->references.resize(scenarios.size());
  sweep->traces.resize(scenarios.size());
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    std::string problem;
    if (!prepare(sweep->tools, scenarios[i], sweep->temp / scenarios[i].name, &sweep->references[i],
                 &sweep->traces[i], &problem)) {
      std::fprintf(stderr, "%s: %s: %s\n", name, scenarios[i].name, problem.c_str());
      fs::remove_all(sweep->temp);
      return false;
    }
  }
  return true;
}

}  // namespace sweep
