// halvik-sim rehearse FLEET_DIR: every host's exports (FLEET_DIR/HOST/*.reg, as the collect play
// fetches them) imported into a simulated machine of its own, the installer run on it as the
// deployment would run it, the restart it asks for carried out, and one row per host.
//
// A host is rehearsed in a child process of its own (host.cpp): the simulated machine is one per
// process, and a host whose exports break the import must not take the others with it.  The
// children run --jobs at a time (the processor count by default) and hand their row back as a
// file (row.cpp).
//
// The rows go out as a table, as JSON (--json: numbers as numbers, lists as arrays) or as CSV
// (--csv), for other tools to read (output.cpp).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim.h"
#include "rehearse/host.h"
#include "rehearse/output.h"
#include "rehearse/rehearse.h"
#include "rehearse/row.h"
#include "trouble.h"

namespace halvik_sim {

namespace {

using namespace rehearsal;
namespace fs = std::filesystem;

// The options; 0 with *options filled, else what command_rehearse returns.
int parse_options(const std::vector<std::string>& args, Options* options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options->format = Options::Format::json;
    } else if (arg == "--csv") {
      options->format = Options::Format::csv;
    } else if (arg == "--remove") {
      options->remove = true;
    } else if ((arg == "--list" || arg == "--machines" || arg == "--jobs") && i + 1 < args.size()) {
      const std::string& value = args[++i];
      if (arg == "--list") options->list_file = value;
      if (arg == "--machines") options->machines = value;
      if (arg == "--jobs") {
        char* end = nullptr;
        long jobs = std::strtol(value.c_str(), &end, 10);
        if (*end != '\0' || jobs < 1 || jobs > 256) return trouble(value + ": not a number of jobs (1 to 256)");
        options->jobs = static_cast<unsigned>(jobs);
      }
    } else if (options->fleet.empty() && arg.rfind("--", 0) != 0) {
      options->fleet = arg;
    } else {
      return -1;
    }
  }
  if (options->fleet.empty()) return -1;
  if (options->jobs == 0) options->jobs = std::max(1u, std::thread::hardware_concurrency());
  return 0;
}

std::string program_dir() {
  std::error_code ignored;
  return fs::read_symlink("/proc/self/exe", ignored).parent_path().string();
}

// The pool: each host rehearsed in a child process of its own, options.jobs at a time; every
// host gets its row, from its child or with the reason it has none.
class Pool {
 public:
  Pool(const Options& options, const std::vector<std::string>& hosts, const std::string& scratch,
       const std::string& machines)
      : options_(options), hosts_(hosts), scratch_(scratch), machines_(machines), rows_(hosts.size()) {
    for (std::size_t i = 0; i < hosts.size(); ++i) rows_[i].host = hosts[i];
  }

  std::vector<Row> run() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::size_t next = 0;
    while (next < hosts_.size() || !running_.empty()) {
      while (next < hosts_.size() && running_.size() < options_.jobs) {
        pid_t pid = start(next);
        if (pid < 0 && !running_.empty()) break;  // tried again when a child has ended
        if (pid < 0) {
          finish(next, "fork failed");
        } else {
          running_[pid] = next;
        }
        ++next;
      }
      if (!running_.empty()) wait_for_one();
    }
    if (progress_) std::fprintf(stderr, "\n");
    return rows_;
  }

 private:
  std::string host_scratch(std::size_t index) const { return scratch_ + "/" + std::to_string(index); }

  // The child for hosts_[index]; its pid, or -1 when it could not be made.
  pid_t start(std::size_t index) {
    std::error_code ignored;
    fs::create_directories(host_scratch(index), ignored);
    pid_t pid = fork();
    if (pid != 0) return pid;
    std::string machine_dir = machines_ + "/" + hosts_[index];
    Row row = rehearse_host(options_, hosts_[index], machine_dir, host_scratch(index), installer_);
    // A machine not kept goes at once: a fleet's machines need not all fit on the disk, and
    // files deleted this soon mostly never reach it.
    if (options_.machines.empty()) fs::remove_all(machine_dir, ignored);
    std::fflush(stdout);
    _exit(write_row(row, host_scratch(index) + "/row") ? 0 : 1);
  }

  void wait_for_one() {
    int status = 0;
    pid_t done = waitpid(-1, &status, 0);
    if (done < 0 && errno == EINTR) return;
    if (done < 0) {
      // No child is left, though some were counted as running: each gets its report.
      for (const auto& [pid, index] : running_) finish(index, "the rehearsal's process was lost");
      running_.clear();
      return;
    }
    auto it = running_.find(done);
    if (it == running_.end()) return;
    std::size_t index = it->second;
    running_.erase(it);
    if (read_row(host_scratch(index) + "/row", &rows_[index])) {
      finish(index, "");
    } else {
      finish(index, WIFSIGNALED(status) ? "the rehearsal crashed (signal " + std::to_string(WTERMSIG(status)) + ")"
                                        : "the rehearsal left no row");
    }
  }

  // A host done with; report: why it has no row of its own, "" when it has.
  void finish(std::size_t index, const std::string& report) {
    if (!report.empty()) {
      rows_[index].host = hosts_[index];
      rows_[index].report = report;
    }
    if (progress_) std::fprintf(stderr, "\rrehearsed %zu of %zu hosts", ++finished_, hosts_.size());
  }

  const Options& options_;
  const std::vector<std::string>& hosts_;
  std::string scratch_;
  std::string machines_;
  std::string installer_ = program_dir() + "/install";
  std::vector<Row> rows_;
  std::map<pid_t, std::size_t> running_;
  std::size_t finished_ = 0;
  // Progress for a person watching a long fleet; a tool reading standard error gets none.
  bool progress_ = isatty(2) != 0;
};

}  // namespace

int command_bound(const std::vector<std::string>& args) {
  if (args.size() != 1) return -1;
  std::string error;
  if (!sim::use_machine(args[0], &error)) return trouble(error);
  std::printf("%s\n", bound_count().c_str());
  return 0;
}

int command_rehearse(const std::vector<std::string>& args) {
  Options options;
  if (int refused = parse_options(args, &options); refused != 0) return refused;

  std::error_code fs_error;
  std::vector<std::string> hosts;
  for (const auto& entry : fs::directory_iterator(options.fleet, fs_error)) {
    if (entry.is_directory()) hosts.push_back(entry.path().filename().string());
  }
  if (fs_error) return trouble("cannot read " + options.fleet + ": " + fs_error.message());
  if (hosts.empty()) return trouble(options.fleet + " holds no host folders");
  std::sort(hosts.begin(), hosts.end());

  char scratch_template[] = "/tmp/halvik-rehearse.XXXXXX";
  if (mkdtemp(scratch_template) == nullptr) return trouble("cannot make a temporary folder");
  std::string scratch = scratch_template;
  std::string machines = options.machines.empty() ? scratch + "/machines" : options.machines;
  fs::create_directories(machines, fs_error);
  if (fs_error) return trouble("cannot make " + machines + ": " + fs_error.message());

  std::vector<Row> rows = Pool(options, hosts, scratch, machines).run();
  fs::remove_all(scratch, fs_error);

  if (options.format == Options::Format::json) {
    print_json(rows);
  } else if (options.format == Options::Format::csv) {
    print_csv(rows);
  } else {
    print_table(rows);
  }
  for (const Row& row : rows) {
    if (!row.ok) return 1;
  }
  return 0;
}

}  // namespace halvik_sim
