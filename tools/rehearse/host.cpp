#include "rehearse/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import/import.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"
#include "platform/sim/sim.h"
#include "process/process.h"

namespace halvik_sim::rehearsal {

using namespace sim::internal;
namespace fs = std::filesystem;

namespace {

// A text without its last line end, every line ending in \n alone: the installer's messages
// carry Windows' own texts, which end in CR LF.
std::string plain_text(const std::string& raw) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\r' || i + 1 >= raw.size() || raw[i + 1] != '\n') text += raw[i];
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// A file's text, as plain_text gives it.
std::string file_text(const std::string& path) {
  std::string raw;
  read_whole_file(path, &raw);
  return plain_text(raw);
}

// What the installer's exit code asks of a deployment, as deploy/vars/exit-codes.yml maps it.
const char* meaning_of(int code) {
  switch (code) {
    case 0:
      return "success";
    case 1:
      return "success, restart";
    case -1:
      return "failure";
    case -2:
      return "failure, restart and run again";
    default:
      return "not the installer's code: it could not start or crashed";
  }
}

// Runs program with args on the machine in dir; its exit code as Windows reports it (the low
// byte of -1 and -2 taken back), 2 with *report when it could not be started, and a signal as
// 0xC0000000 + signal, as Windows reports a crash.  *report: its standard error.
int run_program(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
                std::string* report) {
  process::Request request;
  request.argv = {program};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.environment = {"HALVIK_MACHINE=" + dir};
  process::Result result = process::run(request);
  if (!result.started) {
    *report = "cannot run " + program;
    return 2;
  }
  *report = plain_text(result.err);
  if (result.signal != 0) return static_cast<int>(0xC0000000u + static_cast<unsigned>(result.signal));
  if (result.code == 127) return 2;
  return result.code >= 254 ? result.code - 256 : result.code;
}

std::string string_of(const std::string& key, const std::string& name) {
  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!sim::reg_get(key, name, &type, &data)) return "";
  std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
}

// The operations waiting for the restart, one a line: the files PendingFileRenameOperations
// names (each "delete FILE" or "rename FILE"), and halvik's service when it is marked for
// deletion.
std::string pending_operations() {
  std::vector<std::string> items;
  for (const auto& [from, to] : sim::pending_file_operations()) {
    std::string file = from.rfind("\\??\\", 0) == 0 ? from.substr(4) : from;
    items.push_back((to.empty() ? "delete " : "rename ") + file);
  }
  if (service_known("halvik") && service_marked_for_delete("halvik")) items.push_back("service halvik");
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "\n") + item;
  return text;
}

// The host's own list (HOST/batch.txt), else the fleet's (--list); as install -c takes it.
// *from: where the list came from, as the collect play wrote it beside the list
// (batch-source.txt: host_vars, group_vars or one-off), "batch.txt" when nothing says, and
// "one-off" for --list.
bool host_list(const Options& options, const std::string& host_dir, std::vector<std::string>* words,
               std::string* from, std::string* why) {
  std::string path = host_dir + "/batch.txt";
  if (fs::exists(path)) {
    *from = file_text(host_dir + "/batch-source.txt");
    if (from->empty()) *from = "batch.txt";
  } else {
    path = options.list_file;
    *from = "one-off";
  }
  if (path.empty()) {
    *why = "no batch list: neither " + host_dir + "/batch.txt nor --list";
    return false;
  }
  std::string text;
  if (!read_whole_file(path, &text)) {
    *why = "cannot read " + path;
    return false;
  }
  std::istringstream in(text);
  std::string word;
  while (in >> word) words->push_back(word);
  if (words->empty()) {
    *why = path + " holds no batch list";
    return false;
  }
  return true;
}

// Standard output to nowhere and standard error to a file for as long as it lives; both as
// they were again after.
class StreamsAside {
 public:
  explicit StreamsAside(const std::string& err_path) {
    std::fflush(stdout);
    std::fflush(stderr);
    saved_out_ = ::dup(1);
    saved_err_ = ::dup(2);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(null, 1);
    ::dup2(err, 2);
    for (int fd : {null, err}) {
      if (fd >= 0) ::close(fd);
    }
  }
  StreamsAside(const StreamsAside&) = delete;
  StreamsAside& operator=(const StreamsAside&) = delete;
  ~StreamsAside() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    for (int fd : {saved_out_, saved_err_}) {
      if (fd >= 0) ::close(fd);
    }
  }

 private:
  int saved_out_ = -1;
  int saved_err_ = -1;
};

// What the installer is given: the removal, or the host's batch list; false with row->report
// when there is no list.
bool installer_arguments(const Options& options, const std::string& host_dir, std::vector<std::string>* arguments,
                         Row* row) {
  if (options.remove) {
    *arguments = {"-r", "-c", "0"};
    return true;
  }
  std::vector<std::string> words;
  if (!host_list(options, host_dir, &words, &row->list_from, &row->report)) return false;
  *arguments = {"-c"};
  arguments->insert(arguments->end(), words.begin(), words.end());
  return true;
}

// The machine made from the host's exports (HOST/*.reg, HOST/present.txt), with what no export
// holds (a service's state, a fault) added from HOST/machine.ini; false with *report when the
// import refuses.
bool import_host(const std::string& host_dir, const std::string& machine_dir, const std::string& scratch,
                 HostFacts* facts, std::string* report) {
  std::vector<std::string> import_args = {machine_dir};
  if (fs::exists(host_dir + "/present.txt")) {
    import_args.push_back("--present");
    import_args.push_back(host_dir + "/present.txt");
  }
  std::vector<std::string> exports;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(host_dir, ignored)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.size() > 4 && iequals(name.substr(name.size() - 4), ".reg"))
      exports.push_back(entry.path().string());
  }
  std::sort(exports.begin(), exports.end());
  if (exports.empty()) {
    *report = "no exports (*.reg) in " + host_dir;
    return false;
  }
  import_args.insert(import_args.end(), exports.begin(), exports.end());
  int status = 0;
  {
    // The import's summary is not wanted; its refusal is the row's report.
    StreamsAside aside(scratch + "/import.err");
    status = command_import(import_args, facts);
  }
  if (status != 0) {
    *report = file_text(scratch + "/import.err");
    return false;
  }
  std::string extra;
  if (read_whole_file(host_dir + "/machine.ini", &extra)) {
    std::ofstream(machine_dir + "/machine.ini", std::ios::binary | std::ios::app) << "\n" << extra << "\n";
  }
  return true;
}

// The facts of a machine kept from an earlier rehearsal, read from the machine itself.
bool kept_machine_facts(const std::string& machine_dir, HostFacts* facts, std::string* report) {
  if (!sim::use_machine(machine_dir, report)) return false;
  std::size_t boards = 0;
  for (const sim::Board& board : sim::boards()) {
    if (is_supported(board.hardware_ids)) ++boards;
  }
  *facts = host_facts(raw_machine().hklm.get(), ini_value(raw_machine().ini.get_or("system", "processor", "")), boards);
  return true;
}

// The installer run, and run again after the restart when it asks to be (-2); each restart it
// asks for carried out on the machine.  *code: the last run's exit code.  False with
// row->report when the machine could not be read or saved.
bool run_installer(const std::string& installer, const std::vector<std::string>& arguments,
                   const std::string& machine_dir, Row* row, int* code) {
  int restarts = 0;
  std::string error;
  for (int run = 0; run < 2; ++run) {
    std::string report;
    *code = run_program(installer, arguments, machine_dir, &report);
    if (run > 0) row->exit_codes += ' ';
    row->exit_codes += std::to_string(*code);
    if (*code != 0 && *code != 1) row->report = report;
    // The machine as the run left it: read once, restarted in memory, saved.
    if (!sim::use_machine(machine_dir, &error)) {
      row->report = error;
      return false;
    }
    if (*code != 1 && *code != -2) break;
    std::string pending = pending_operations();
    if (!pending.empty()) row->pending += (row->pending.empty() ? "" : "\n") + pending;
    sim::restart_machine();
    if (!sim::save_machine(&error)) {
      row->report = error;
      return false;
    }
    ++restarts;
    if (*code == 1) break;
  }
  row->restarts = std::to_string(restarts);
  return true;
}

}  // namespace

Row rehearse_host(const Options& options, const std::string& host, const std::string& machine_dir,
                  const std::string& scratch, const std::string& installer) {
  Row row;
  row.host = host;
  row.meaning = "not rehearsed";
  std::string host_dir = options.fleet + "/" + host;
  std::vector<std::string> arguments;
  if (!installer_arguments(options, host_dir, &arguments, &row)) return row;
  // From the import when it made the machine; else read from the machine kept from before.
  HostFacts facts;
  if (!fs::exists(machine_dir + "/registry.reg") && !import_host(host_dir, machine_dir, scratch, &facts, &row.report))
    return row;
  if (facts.windows.empty() && !kept_machine_facts(machine_dir, &facts, &row.report)) return row;
  row.windows = facts.windows;
  row.processor = facts.processor;
  row.boards = facts.boards;
  row.was = facts.was;

  int code = 0;
  if (!run_installer(installer, arguments, machine_dir, &row, &code)) return row;
  row.meaning = meaning_of(code);
  row.ok = code == 0 || code == 1;
  row.bound = bound_count();
  row.pages_before = facts.pages;
  row.pages_after = host_facts(raw_machine().hklm.get(), "", 0).pages;
  return row;
}

std::string bound_count() {
  int bound = 0;
  for (const std::string& id : sim::device_nodes()) {
    if (sim::device_present(id) &&
        iequals(string_of("SYSTEM\\CurrentControlSet\\Enum\\" + id, "Service"), "halvik"))
      ++bound;
  }
  return std::to_string(bound);
}

}  // namespace halvik_sim::rehearsal
