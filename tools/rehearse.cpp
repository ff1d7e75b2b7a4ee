// halvik-sim rehearse FLEET_DIR: every host's exports (FLEET_DIR/HOST/*.reg, as the collect play
// fetches them) imported into a simulated machine of its own, the installer run on it as the
// deployment would run it, the restart it asks for carried out, and one row per host.
//
// A host is rehearsed in a child process of its own: the simulated machine is one per process,
// and a host whose exports break the import must not take the others with it.  The children
// run --jobs at a time (the processor count by default) and hand their row back as a file.
//
// The rows go out as a table, as JSON (--json: numbers as numbers, lists as arrays) or as CSV
// (--csv), for other tools to read.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "import.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"
#include "platform/sim/sim.h"
#include "process/process.h"

namespace halvik_sim {

namespace {

using namespace sim::internal;
namespace fs = std::filesystem;


struct Options {
  std::string fleet;
  std::string list_file;  // the list for hosts without their own batch.txt
  std::string machines;   // where the machines stay; "" a temporary folder
  bool remove = false;
  enum class Format { table, json, csv } format = Format::table;
  unsigned jobs = 0;
};

// One host's rehearsal.  Kept as "name<TAB>value" lines between the child and the parent.
struct Row {
  std::string host;
  std::string windows;
  std::string processor;
  std::string boards;      // supported boards present
  std::string was;         // the version installed before, "none"
  std::string list_from;   // where the host's list came from (batch-source.txt), "one-off" for --list
  std::string exit_codes;  // "1", or "-2 1" when the installer ran again after the restart
  std::string meaning;
  std::string restarts;      // restarts carried out
  std::string pending;       // what waited for the restart (files, services), one a line
  std::string bound;         // device nodes present bound to halvik afterwards
  std::string pages_before;  // SystemPages, "none" when unset
  std::string pages_after;
  std::string report;  // standard error of a failed run, or why the host couldn't be rehearsed
  bool ok = false;
};

// How a field goes into JSON: a string, a number (null when there is none), numbers separated
// by spaces as an array, or lines as an array of strings.
enum class Kind { text, number, numbers, lines };

struct Field {
  const char* name;
  std::string Row::*member;
  Kind kind;
};

// The order of the JSON members and CSV columns; the table joins the two SystemPages.
const std::vector<Field>& row_fields() {
  static const std::vector<Field> fields = {
      {"host", &Row::host, Kind::text},
      {"windows", &Row::windows, Kind::text},
      {"processor", &Row::processor, Kind::text},
      {"boards", &Row::boards, Kind::number},
      {"was", &Row::was, Kind::text},
      {"list", &Row::list_from, Kind::text},
      {"exit", &Row::exit_codes, Kind::numbers},
      {"meaning", &Row::meaning, Kind::text},
      {"restarts", &Row::restarts, Kind::number},
      {"pending", &Row::pending, Kind::lines},
      {"bound", &Row::bound, Kind::number},
      {"SystemPages_before", &Row::pages_before, Kind::number},
      {"SystemPages_after", &Row::pages_after, Kind::number},
      {"report", &Row::report, Kind::text},
  };
  return fields;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char next = text[++i];
      out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool write_row(const Row& row, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  for (const Field& field : row_fields()) out << field.name << '\t' << escaped(row.*field.member) << '\n';
  out << "ok\t" << (row.ok ? 1 : 0) << '\n';
  return static_cast<bool>(out);
}

bool read_row(const std::string& path, Row* row) {
  std::string text;
  if (!read_whole_file(path, &text)) return false;
  std::istringstream in(text);
  std::string line;
  bool complete = false;
  while (std::getline(in, line)) {
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string name = line.substr(0, tab);
    std::string value = unescaped(line.substr(tab + 1));
    if (name == "ok") {
      row->ok = value == "1";
      complete = true;
    }
    for (const Field& field : row_fields()) {
      if (name == field.name) row->*field.member = value;
    }
  }
  return complete;
}

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

// The boards (and the root device node) that have the driver: device nodes present whose
// Service is halvik.  A node of a board taken out keeps its Service and is not counted.
std::string bound_count() {
  int bound = 0;
  for (const std::string& id : sim::device_nodes()) {
    if (sim::device_present(id) &&
        iequals(string_of("SYSTEM\\CurrentControlSet\\Enum\\" + id, "Service"), "halvik"))
      ++bound;
  }
  return std::to_string(bound);
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

// The whole rehearsal of one host, in its own process.
Row rehearse_host(const Options& options, const std::string& host, const std::string& machine_dir,
                  const std::string& scratch, const std::string& installer) {
  Row row;
  row.host = host;
  row.meaning = "not rehearsed";
  std::string host_dir = options.fleet + "/" + host;
  std::vector<std::string> arguments;
  if (options.remove) {
    arguments = {"-r", "-c", "0"};
  } else {
    std::vector<std::string> words;
    if (!host_list(options, host_dir, &words, &row.list_from, &row.report)) return row;
    arguments = {"-c"};
    arguments.insert(arguments.end(), words.begin(), words.end());
  }

  std::string error;
  // From the import when it made the machine; else read from the machine kept from before.
  HostFacts facts;
  if (!fs::exists(machine_dir + "/registry.reg")) {
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
      row.report = "no exports (*.reg) in " + host_dir;
      return row;
    }
    import_args.insert(import_args.end(), exports.begin(), exports.end());
    // The import's summary is not wanted; its refusal is the row's report.
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = dup(1);
    int saved_err = dup(2);
    int null = open("/dev/null", O_WRONLY);
    int err = open((scratch + "/import.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 1);
    dup2(err, 2);
    int status = command_import(import_args, &facts);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    for (int fd : {saved_out, saved_err, null, err}) close(fd);
    if (status != 0) {
      row.report = file_text(scratch + "/import.err");
      return row;
    }
    // What no export holds (a service's state, a fault) is added to the machine as given.
    std::string extra;
    if (read_whole_file(host_dir + "/machine.ini", &extra)) {
      std::ofstream(machine_dir + "/machine.ini", std::ios::binary | std::ios::app) << "\n" << extra << "\n";
    }
  }

  if (facts.windows.empty()) {
    if (!sim::use_machine(machine_dir, &error)) {
      row.report = error;
      return row;
    }
    std::size_t boards = 0;
    for (const sim::Board& board : sim::boards()) {
      if (is_supported(board.hardware_ids)) ++boards;
    }
    facts = host_facts(raw_machine().hklm.get(),
                       ini_value(raw_machine().ini.get_or("system", "processor", "")), boards);
  }
  row.windows = facts.windows;
  row.processor = facts.processor;
  row.boards = facts.boards;
  row.was = facts.was;

  int restarts = 0;
  int code = 0;
  for (int run = 0; run < 2; ++run) {
    std::string report;
    code = run_program(installer, arguments, machine_dir, &report);
    row.exit_codes += (run == 0 ? "" : " ") + std::to_string(code);
    if (code != 0 && code != 1) row.report = report;
    // The machine as the run left it: read once, restarted in memory, saved.
    if (!sim::use_machine(machine_dir, &error)) {
      row.report = error;
      return row;
    }
    if (code != 1 && code != -2) break;
    std::string pending = pending_operations();
    if (!pending.empty()) row.pending += (row.pending.empty() ? "" : "\n") + pending;
    sim::restart_machine();
    if (!sim::save_machine(&error)) {
      row.report = error;
      return row;
    }
    ++restarts;
    if (code == 1) break;
  }
  row.meaning = meaning_of(code);
  row.restarts = std::to_string(restarts);
  row.ok = code == 0 || code == 1;
  row.bound = bound_count();
  row.pages_before = facts.pages;
  row.pages_after = host_facts(raw_machine().hklm.get(), "", 0).pages;
  return row;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A whole decimal integer, as JSON writes it; "" when the text is none ("none", "", "-").
std::string json_number(const std::string& text) {
  std::size_t digits = text.rfind('-', 0) == 0 ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return "";
  return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::string json_value(const std::string& text, Kind kind) {
  if (kind == Kind::text) return json_string(text);
  if (kind == Kind::number) {
    std::string number = json_number(text);
    return number.empty() ? "null" : number;
  }
  std::string out = "[";
  for (const std::string& part : split(text, kind == Kind::numbers ? ' ' : '\n')) {
    std::string value = kind == Kind::lines ? json_string(part) : json_number(part);
    out += (out.size() > 1 ? ", " : "") + (value.empty() ? "null" : value);
  }
  return out + "]";
}

void print_json(const std::vector<Row>& rows) {
  std::printf("[\n");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string line = "  {";
    for (const Field& field : row_fields())
      line += json_string(field.name) + ": " + json_value(rows[i].*field.member, field.kind) + ", ";
    line += "\"ok\": ";
    line += rows[i].ok ? "true" : "false";
    std::printf("%s}%s\n", line.c_str(), i + 1 < rows.size() ? "," : "");
  }
  std::printf("]\n");
}

// RFC 4180: a cell with a comma, a quote or a line end is quoted, its quotes doubled.  Lists
// are joined by "; ", the exit codes by spaces.
std::string csv_cell(const std::string& text, Kind kind) {
  std::string cell = text;
  if (kind == Kind::number) cell = json_number(text);
  if (kind == Kind::lines) {
    cell.clear();
    for (const std::string& part : split(text, '\n')) cell += (cell.empty() ? "" : "; ") + part;
  }
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string out = "\"";
  for (char c : cell) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void print_csv(const std::vector<Row>& rows) {
  std::string header;
  for (const Field& field : row_fields()) header += std::string(field.name) + ",";
  std::printf("%sok\n", header.c_str());
  for (const Row& row : rows) {
    std::string line;
    for (const Field& field : row_fields()) line += csv_cell(row.*field.member, field.kind) + ",";
    std::printf("%s%s\n", line.c_str(), row.ok ? "true" : "false");
  }
}

// The table's cells: the fields in their order, SystemPages as "before -> after", lists on one
// line; the report goes below the table, as it may run to several lines.
std::vector<std::string> table_cells(const Row& row) {
  std::vector<std::string> cells;
  for (const Field& field : row_fields()) {
    const std::string& value = row.*field.member;
    if (field.member == &Row::report || field.member == &Row::pages_after) continue;
    if (field.member == &Row::pages_before) {
      cells.push_back(value.empty() ? "" : value + " -> " + row.pages_after);
    } else {
      cells.push_back(field.kind == Kind::lines ? csv_cell(value, Kind::lines) : value);
    }
  }
  return cells;
}

void print_table(const std::vector<Row>& rows) {
  std::vector<std::string> header;
  for (const Field& field : row_fields()) {
    if (field.member == &Row::report || field.member == &Row::pages_after) continue;
    header.emplace_back(field.member == &Row::pages_before ? "SystemPages" : field.name);
  }
  std::size_t columns = header.size();
  std::vector<std::vector<std::string>> cells;
  for (const Row& row : rows) cells.push_back(table_cells(row));
  std::vector<std::size_t> width(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    width[c] = header[c].size();
    for (const auto& row_cells : cells) width[c] = std::max(width[c], row_cells[c].size());
  }
  auto print_line = [&](const std::vector<std::string>& line_cells) {
    std::string line;
    for (std::size_t c = 0; c < columns; ++c) {
      line += line_cells[c];
      if (c + 1 < columns) line += std::string(width[c] - line_cells[c].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  };
  print_line(header);
  for (auto& row_cells : cells) {
    for (std::string& cell : row_cells) {
      if (cell.empty()) cell = "-";
    }
    print_line(row_cells);
  }
  for (const Row& row : rows) {
    if (row.report.empty()) continue;
    std::printf("\n%s:\n", row.host.c_str());
    std::istringstream in(row.report);
    std::string line;
    while (std::getline(in, line)) std::printf("  %s\n", line.c_str());
  }
}

std::string program_dir() {
  std::error_code ignored;
  return fs::read_symlink("/proc/self/exe", ignored).parent_path().string();
}

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
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.format = Options::Format::json;
    } else if (arg == "--csv") {
      options.format = Options::Format::csv;
    } else if (arg == "--remove") {
      options.remove = true;
    } else if ((arg == "--list" || arg == "--machines" || arg == "--jobs") && i + 1 < args.size()) {
      const std::string& value = args[++i];
      if (arg == "--list") options.list_file = value;
      if (arg == "--machines") options.machines = value;
      if (arg == "--jobs") {
        char* end = nullptr;
        long jobs = std::strtol(value.c_str(), &end, 10);
        if (*end != '\0' || jobs < 1 || jobs > 256)
          return trouble(value + ": not a number of jobs (1 to 256)");
        options.jobs = static_cast<unsigned>(jobs);
      }
    } else if (options.fleet.empty() && arg.rfind("--", 0) != 0) {
      options.fleet = arg;
    } else {
      return -1;
    }
  }
  if (options.fleet.empty()) return -1;
  if (options.jobs == 0) options.jobs = std::max(1u, std::thread::hardware_concurrency());

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
  std::string installer = program_dir() + "/install";

  std::vector<Row> rows(hosts.size());
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  std::size_t finished = 0;
  // Progress for a person watching a long fleet; a tool reading standard error gets none.
  bool progress = isatty(2) != 0;
  std::fflush(stdout);
  std::fflush(stderr);
  while (next < hosts.size() || !running.empty()) {
    while (next < hosts.size() && running.size() < options.jobs) {
      std::string host_scratch = scratch + "/" + std::to_string(next);
      fs::create_directories(host_scratch, fs_error);
      pid_t pid = fork();
      if (pid == 0) {
        std::string machine_dir = machines + "/" + hosts[next];
        Row row = rehearse_host(options, hosts[next], machine_dir, host_scratch, installer);
        // A machine not kept goes at once: a fleet's machines need not all fit on the disk,
        // and files deleted this soon mostly never reach it.
        if (options.machines.empty()) fs::remove_all(machine_dir, fs_error);
        std::fflush(stdout);
        _exit(write_row(row, host_scratch + "/row") ? 0 : 1);
      }
      if (pid < 0) {
        rows[next].host = hosts[next];
        rows[next].report = "fork failed";
        ++finished;
      } else {
        running[pid] = next;
      }
      ++next;
    }
    int status = 0;
    pid_t done = wait(&status);
    if (done < 0) break;
    auto it = running.find(done);
    if (it == running.end()) continue;
    std::size_t index = it->second;
    running.erase(it);
    if (progress) std::fprintf(stderr, "\rrehearsed %zu of %zu hosts", ++finished, hosts.size());
    Row& row = rows[index];
    if (!read_row(scratch + "/" + std::to_string(index) + "/row", &row)) {
      row.host = hosts[index];
      row.report = WIFSIGNALED(status)
                       ? "the rehearsal crashed (signal " + std::to_string(WTERMSIG(status)) + ")"
                       : "the rehearsal left no row";
    }
  }
  if (progress) std::fprintf(stderr, "\n");
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
