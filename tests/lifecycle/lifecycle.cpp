// The lifecycle checker: sequences of what administrators do (install over an installation,
// remove, restart, a driver that won't stop, a board taken out, another program changing
// SystemPages, one failing call, a run killed or its power cut at one of its calls, ...) run
// with the built programs on simulated machines.  After every run that ends by itself, and
// after the restart it asks for, the machine must be what the exit code says:
//
//   installed (an installation that exited 0 or 1): the halvik service with the Parameters the
//     list gives, every present supported board bound to halvik, the driver package registered
//     exactly once, SystemPages as the adjustment computes it;
//   removed (a removal that exited 0 or 1): no device bound to halvik, no service, nothing of the
//     package registered or staged, SystemPages put back, and nothing else left beyond what a
//     removal is defined to leave;
//   failed (-1 or -2): a report on standard error, and a fault-free removal afterwards (with the
//     restart it asks for) reaches the removed state.
//
// One generator (every pair of one set of operations, every triple of a smaller one, seeded
// random sequences) and one oracle.
//
//   lifecycle --bin BUILD_DIR --exports DIR [--sample N] [--random N] [--jobs N]
//   lifecycle --bin BUILD_DIR --exports DIR --seed N
//   lifecycle --bin BUILD_DIR --exports DIR --machine NAME --sequence "op,op,..."
//
// --sample N runs every Nth enumerated sequence and a Nth of the random ones.  Exit 0 when no
// sequence broke the invariant, 1 otherwise, 2 when the checker itself could not run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/programs.h"

namespace {

namespace fs = std::filesystem;
using namespace programs;

// ---- the machines' files, read and edited as their programs write them ----------------------

const std::string kCcs = "system\\currentcontrolset\\";
const std::string kMemory = kCcs + "control\\session manager\\memory management";
const std::string kService = kCcs + "services\\halvik";
const std::string kParameters = kService + "\\parameters";
const std::string kEntry = "software\\microsoft\\windows\\currentversion\\uninstall\\halvik";
const std::string kClassKey = kCcs + "control\\class\\{3d7a91c2-5b04-4e6f-a8d3-71c2e9b0f415}";
const std::set<std::string> kBookkeeping = {"\"old_syspages\"", "\"new_syspages\"", "\"sysp_num_pci\""};

// Sets SystemPages in registry.reg as another program would (REG_DWORD), or takes it away.
void set_system_pages(const fs::path& machine, std::optional<std::uint32_t> pages) {
  std::string out;
  bool in_key = false;
  for (const std::string& line : lines_of(read_text(machine / "registry.reg"))) {
    if (!line.empty() && line[0] == '[') {
      in_key = lower(line) == "[hkey_local_machine\\" + kMemory + "]";
      out += line + "\n";
      if (in_key && pages) {
        char text[40];
        std::snprintf(text, sizeof text, "\"SystemPages\"=dword:%08x\n", *pages);
        out += text;
      }
      continue;
    }
    if (in_key && lower(line).rfind("\"systempages\"=", 0) == 0) continue;
    out += line + "\n";
  }
  write_text(machine / "registry.reg", out);
}

// A Windows path on the machine's drives, each part matched without regard to case; with
// `create`, the missing parts are made.  Empty when it is not there.
fs::path host_path(const fs::path& machine, const std::string& windows_path, bool create = false) {
  fs::path at = machine / ("drive_" + lower(windows_path.substr(0, 1)));
  std::istringstream parts(windows_path.substr(std::min<std::size_t>(3, windows_path.size())));
  for (std::string part; std::getline(parts, part, '\\');) {
    if (part.empty()) continue;
    fs::path next;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(at, error)) {
      if (lower(entry.path().filename().string()) == lower(part)) next = entry.path();
    }
    if (next.empty() && !create) return {};
    if (next.empty()) fs::create_directory(next = at / part);
    at = next;
  }
  return at;
}

std::vector<fs::path> entries_of(const fs::path& dir) {
  std::vector<fs::path> entries;
  std::error_code error;
  if (dir.empty()) return entries;
  for (const auto& entry : fs::directory_iterator(dir, error)) entries.push_back(entry.path());
  return entries;
}

// ---- what the checker knows of the package and the machines -------------------------------

struct Tools {
  std::string install;
  std::string sim;
};

// The hardware IDs an INF names (lower case): those of the package are the supported ones, and
// an INF in the INF directory that names one is a copy of a package of ours.  (An INF in UTF-16
// that names one, say in an ExcludeFromSelect line, offers no driver: it is another product's,
// and stays.)
std::set<std::string> ids_named_in(std::string text) {
  if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') return {};
  text = lower(text);
  std::set<std::string> ids;
  for (std::size_t at = text.find("pci\\ven_"); at != std::string::npos;
       at = text.find("pci\\ven_", at + 1)) {
    std::size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789&_\\", at);
    std::string id = text.substr(at, end - at);
    if (id.find("&subsys_") != std::string::npos) ids.insert(id.substr(0, id.find("&subsys_") + 16));
  }
  return ids;
}

struct Template {
  std::string name;
  fs::path pristine;  // as made
  fs::path baseline;  // after a fault-free removal and a restart: what a removal leaves it as
  std::set<std::string> supported;
  bool driver_store = false;  // Windows 6.0 and later
};

struct Checker {
  Tools tools;
  fs::path temp;
  std::vector<Template> templates;
  std::mutex reference_lock;
  std::map<std::string, Values> references;  // template and list -> Parameters, bookkeeping aside
};

// ---- operations ----------------------------------------------------------------------------

// One failing call in a run, in every program or in one of them.
struct Fault {
  const char* program;  // "" for [faults]
  const char* line;
};

const Fault kFaults[] = {
    {"", "OpenSCManagerA = 5"},
    {"", "OpenServiceA halvik #1 = 5"},
    {"", "DeleteService = 5"},
    {"", "RegSetValueExA SystemPages = 5"},
    {"", "SetupUninstallOEMInfA = 0xE000023C"},
    {"installx64", "OpenServiceA halvik #1 = 5"},
    {"", "RegSetValueExA NEW_SYSPAGES = 5"},
    {"", "RegQueryValueExA SystemPages = 5"},
};

// A step of a sequence, by its name:
//   batch:NODE:OPT:PCI:MEG   install -c with the root device node y/n, the memory adjustment
//                            with already_opt OPT (0: none), max_pci_modules, meg_in_system
//   dialogue:y|n             the dialogue, the overwrite question (when asked) answered so
//   remove                   install -r -c 0
//   quiet-uninstall, uninstall
//                            the Programs and Features entry's QuietUninstallString or
//                            UninstallString as written, run as an agent runs it from the
//                            system folder (halvik-sim run); when the entry is gone, the
//                            command last read again while its program is still there, as an
//                            agent retries it
//   wrong-d, no-inf          batch:n:2:16:512 from C:\Tessaridge, or with the INF taken away
//   RUN!K                    RUN with kFaults[K] failing, taken out again after the run
//   RUN@kN, RUN@pN           RUN with the installer ended at its Nth platform call, by a kill
//                            or by a power cut; a killed run promises nothing, the next one does
//   restart, stuck, unstuck, linger-on, linger-off, host-on, host-off, board-out, board-in,
//   board-new, temp-sys32, pages-up, pages-down: the machine changed between runs
struct Op {
  std::string name;
  std::string kind;
  bool node = false;
  int opt = 0;  // 0: no adjustment
  unsigned pci = 16;
  unsigned meg = 512;
  bool overwrite = true;
  int fault = -1;
  char ended_by = 0;  // 'k' killed, 'p' power cut, at the installer's call ended_at
  int ended_at = 0;
};

bool is_run(const Op& op);

std::optional<Op> parse_op(const std::string& name) {
  Op op;
  op.name = name;
  std::string body = name;
  if (std::size_t at = name.find('@'); at != std::string::npos) {
    op.ended_by = at + 1 < name.size() ? name[at + 1] : 0;
    op.ended_at = std::atoi(name.c_str() + std::min(at + 2, name.size()));
    if ((op.ended_by != 'k' && op.ended_by != 'p') || op.ended_at < 1) return std::nullopt;
    body = name.substr(0, at);
  }
  if (std::size_t bang = name.find('!'); bang != std::string::npos) {
    op.fault = std::atoi(name.c_str() + bang + 1);
    if (op.fault < 0 || op.fault >= static_cast<int>(std::size(kFaults))) return std::nullopt;
    body = name.substr(0, bang);
  }
  std::vector<std::string> parts;
  std::istringstream in(body);
  for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
  if (parts.empty()) return std::nullopt;
  op.kind = parts[0];
  if (op.ended_at > 0 && !is_run(op)) return std::nullopt;
  if (op.kind == "batch" && parts.size() == 5) {
    op.node = parts[1] == "y";
    op.opt = std::atoi(parts[2].c_str());
    op.pci = static_cast<unsigned>(std::atoi(parts[3].c_str()));
    op.meg = static_cast<unsigned>(std::atoi(parts[4].c_str()));
    return op.opt >= 0 && op.opt <= 3 && op.pci > 0 ? std::optional<Op>(op) : std::nullopt;
  }
  if (op.kind == "dialogue" && parts.size() == 2) {
    op.overwrite = parts[1] == "y";
    return op;
  }
  if (op.kind == "wrong-d" || op.kind == "no-inf") {
    op.opt = 2;
    op.node = op.kind == "no-inf";
    return parts.size() == 1 ? std::optional<Op>(op) : std::nullopt;
  }
  static const std::set<std::string> kPlain = {
      "remove",   "restart",   "stuck",    "unstuck",   "linger-on",  "linger-off", "host-on",
      "host-off", "board-out", "board-in", "board-new", "temp-sys32", "pages-up",   "pages-down",
      "quiet-uninstall", "uninstall"};
  if (parts.size() != 1 || kPlain.count(op.kind) == 0) return std::nullopt;
  return op.fault < 0 || op.kind == "remove" ? std::optional<Op>(op) : std::nullopt;
}

bool is_entry_command(const Op& op) {
  return op.kind == "quiet-uninstall" || op.kind == "uninstall";
}

bool is_run(const Op& op) {
  return op.kind == "batch" || op.kind == "dialogue" || op.kind == "remove" || op.kind == "wrong-d" ||
         op.kind == "no-inf" || is_entry_command(op);
}

std::vector<std::string> batch_list(const Op& op) {
  std::ostringstream text;
  text << "0 0 0  " << op.pci << " 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  1234 f0 0  "
       << (op.node ? "y" : "n") << " " << (op.opt > 0 ? "y" : "n") << " " << (op.opt > 0 ? op.opt : 2) << "  "
       << op.meg << " 0 0";
  std::vector<std::string> list;
  std::istringstream in(text.str());
  for (std::string entry; in >> entry;) list.push_back(entry);
  return list;
}

// The dialogue's answers: every parameter at its default, neither advanced nor test
// parameters, no device node, no memory adjustment, no reboot.
std::string dialogue_input(bool asks_overwrite, bool overwrite) {
  return std::string(asks_overwrite ? (overwrite ? "y\n" : "n\n") : "") + "\n\n\n\n\n\nn\nn\nn\nn\nn\n";
}

// What the list's Parameters are: those a fault-free installation of it writes on a fresh
// machine of the template (no device node, no adjustment: neither changes Parameters).
std::optional<Values> reference_parameters(Checker& checker, const Template& machine_template, const Op& op,
                                           std::string* problem) {
  std::string key =
      machine_template.name + " " + (op.kind == "dialogue" ? "dialogue" : std::to_string(op.pci));
  std::lock_guard<std::mutex> hold(checker.reference_lock);
  if (auto known = checker.references.find(key); known != checker.references.end()) return known->second;
  fs::path fresh = checker.temp / ("reference-" + std::to_string(checker.references.size()));
  copy_machine(machine_template.pristine, fresh);
  Op plain = op;
  plain.node = false;
  plain.opt = 0;
  std::vector<std::string> argv{checker.tools.install};
  if (op.kind != "dialogue") argv.push_back("-c");
  if (op.kind != "dialogue") {
    for (const std::string& entry : batch_list(plain)) argv.push_back(entry);
  }
  bool asks = load_registry(fresh).count(kService) != 0;
  Outcome outcome =
      run(argv, fresh, fresh.string() + ".run", op.kind == "dialogue" ? dialogue_input(asks, true) : "");
  if (outcome.code != 0 && outcome.code != 1) {
    *problem = "reference installation on a fresh " + machine_template.name + ": exit " +
               std::to_string(outcome.code) + ": " + first_lines(lines_of(outcome.err), 3);
    return std::nullopt;
  }
  Values parameters = load_registry(fresh)[kParameters];
  for (const std::string& name : kBookkeeping) parameters.erase(name);
  fs::remove_all(fresh);
  return checker.references[key] = parameters;
}

// ---- the model: SystemPages and our record of the adjustment -------------------------------

struct Pages {
  std::optional<std::uint32_t> value;
  bool recorded = false;  // OLD_SYSPAGES, NEW_SYSPAGES, SYSP_NUM_PCI under Parameters
  std::uint32_t old_value = 0;
  std::uint32_t new_value = 0;
  std::uint32_t modules = 0;
};

Pages read_pages(const Registry& registry) {
  Pages pages;
  pages.value = dword_of(registry, kMemory, "SystemPages");
  auto old_value = dword_of(registry, kParameters, "OLD_SYSPAGES");
  auto new_value = dword_of(registry, kParameters, "NEW_SYSPAGES");
  auto modules = dword_of(registry, kParameters, "SYSP_NUM_PCI");
  if (old_value && new_value && modules) {
    pages.recorded = true;
    pages.old_value = *old_value;
    pages.new_value = *new_value;
    pages.modules = *modules;
  }
  return pages;
}

// A removal puts back our adjustment: the value from before it when SystemPages is still ours,
// less our share when another program raised it further, untouched when it was lowered.
Pages restored(Pages pages) {
  if (pages.recorded && pages.value) {
    if (*pages.value == pages.new_value) {
      pages.value = pages.old_value;
    } else if (*pages.value > pages.new_value) {
      pages.value = *pages.value - pages.modules * 1024u;
    }
  }
  pages.recorded = false;
  return pages;
}

// An installation: the removal passes first, then the adjustment the list asks for.  No value
// when the adjustment can't be made (no SystemPages to adjust).
std::optional<Pages> installed(const Pages& before, const Op& op) {
  Pages pages = restored(before);
  if (op.opt == 0 || op.kind == "dialogue") return pages;
  if (!pages.value) return std::nullopt;
  std::uint32_t previous = *pages.value;
  if (previous != 0 && op.opt == 1) return pages;
  std::uint32_t base = previous != 0 && op.opt == 3 ? previous : op.meg * 256u + 0x4000u;
  pages.value = base + op.pci * 1024u;
  pages.recorded = true;
  pages.old_value = previous;
  pages.new_value = *pages.value;
  pages.modules = op.pci;
  return pages;
}

std::string pages_text(std::optional<std::uint32_t> value) {
  if (!value) return "absent";
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", *value);
  return text;
}

// ---- the oracle ----------------------------------------------------------------------------

using Problems = std::vector<std::string>;

void check_pages(const Registry& registry, const Pages& expected, Problems* problems) {
  std::optional<std::uint32_t> actual = dword_of(registry, kMemory, "SystemPages");
  if (actual != expected.value)
    problems->push_back("SystemPages " + pages_text(actual) + ", expected " + pages_text(expected.value));
}

// The oemN.inf files of the INF directory that name a supported ID, and the package's folders
// in the driver store.
void registered_packages(const Template& machine_template, const fs::path& machine,
                         std::vector<std::string>* infs, std::vector<std::string>* staged) {
  std::string root = ini_value(machine, "environment", "SystemRoot");
  for (const fs::path& file : entries_of(host_path(machine, root + "\\inf"))) {
    std::string name = lower(file.filename().string());
    if (name.rfind("oem", 0) != 0 || file.extension() == "" || lower(file.extension().string()) != ".inf")
      continue;
    for (const std::string& id : ids_named_in(read_text(file))) {
      if (machine_template.supported.count(id) != 0) {
        infs->push_back(file.filename().string());
        break;
      }
    }
  }
  for (const fs::path& folder :
       entries_of(host_path(machine, root + "\\System32\\DriverStore\\FileRepository"))) {
    if (lower(folder.filename().string()).rfind("morvellan.inf_", 0) == 0)
      staged->push_back(folder.filename().string());
  }
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

// The boards in [hardware] with a supported ID, by instance ID.
std::vector<std::string> supported_boards(const Template& machine_template, const fs::path& machine) {
  std::vector<std::string> boards;
  for (const auto& [instance, ids] : ini_section(machine, "hardware")) {
    std::istringstream list(lower(ids.substr(0, ids.find(';'))));
    for (std::string id; std::getline(list, id, ',');) {
      id.erase(0, id.find_first_not_of(' '));
      id.erase(id.find_last_not_of(' ') + 1);
      if (machine_template.supported.count(id) != 0) {
        boards.push_back(instance);
        break;
      }
    }
  }
  return boards;
}

void check_installed(const Template& machine_template, const fs::path& machine, const Values& parameters,
                     const Pages& pages, Problems* problems) {
  Registry registry = load_registry(machine);
  if (registry.count(kService) == 0) problems->push_back("no halvik service key");
  Values actual = registry.count(kParameters) != 0 ? registry[kParameters] : Values{};
  for (const std::string& name : kBookkeeping) actual.erase(name);
  if (actual != parameters) {
    std::vector<std::string> differing;
    for (const auto& [name, data] : parameters) {
      if (actual.count(name) == 0 || actual[name] != data) differing.push_back(name);
    }
    for (const auto& [name, data] : actual) {
      if (parameters.count(name) == 0) differing.push_back(name);
    }
    problems->push_back("Parameters differ from the list's: " + joined(differing));
  }
  for (const std::string& board : supported_boards(machine_template, machine)) {
    std::string node = kCcs + "enum\\" + lower(board);
    std::string driver = string_of(registry, node, "Driver");
    if (lower(string_of(registry, node, "Service")) != "halvik" || driver.empty() ||
        registry.count(kCcs + "control\\class\\" + lower(driver)) == 0)
      problems->push_back("board " + board + " not bound to halvik");
  }
  std::vector<std::string> infs;
  std::vector<std::string> staged;
  registered_packages(machine_template, machine, &infs, &staged);
  if (infs.size() != 1)
    problems->push_back("package registered " + std::to_string(infs.size()) + " times: " + joined(infs));
  if (machine_template.driver_store && staged.size() != 1)
    problems->push_back("package staged " + std::to_string(staged.size()) + " times: " + joined(staged));
  check_pages(registry, pages, problems);
}

// Whether a line of `halvik-sim diff` is about the run log: its file, its folder (and Windows'
// Logs folder it made) or the folder's security.
bool is_run_log_line(const std::string& line) {
  std::string text = lower(line);
  return text.find("\\logs\\tessaridge") != std::string::npos ||
         (text.size() >= 6 && text.compare(text.size() - 6, 6, "\\logs\\") == 0);
}

// Whether a line of `halvik-sim diff` (baseline -> machine) is one a removal may leave, or one
// the sequence's own changes to the machine made.
bool removal_may_leave(const Template& machine_template, const std::string& block, const std::string& where,
                       const std::string& line) {
  std::string text = lower(line.substr(1));
  if (block == "registry") {
    static const std::string kEnumPci = kCcs + "enum\\pci\\";
    if (where == kClassKey) return true;
    for (const char* software :
         {"software\\tessaridge technology", "software\\wow6432node\\tessaridge technology"}) {
      if (where.rfind(software, 0) == 0) return true;
    }
    if (where.rfind(kEnumPci, 0) == 0) {
      std::string device = "pci\\" + where.substr(kEnumPci.size());
      for (const std::string& id : machine_template.supported) {
        if (device.rfind(id, 0) == 0) return true;
      }
    }
    if (where == kCcs + "services\\halvservice") return true;
    return where == kMemory && text.rfind("\"systempages\"=", 0) == 0;
  }
  if (block == "machine.ini") {
    std::string key = text.substr(0, text.find(' '));
    if (where == "hardware" || where == "trace" || where.rfind("faults", 0) == 0) return true;
    if (where == "system") return key == "reboot_requested" || key == "reboot_reason";
    if (where == "environment") return key == "temp" || key == "tmp";
    // The run log's folder, which stays after a removal.
    if (where == "file_security") return is_run_log_line(text);
    // Other services run or stop as the sequence's restarts leave them.
    if (where == "services") return key != "halvik";
    return where == "service_database" && key == "halvservice";
  }
  // The run log, which every run writes and a removal leaves.
  if (is_run_log_line(text)) return true;
  // The LocalSystem profile's folders that the sequence made for TEMP.
  return line.back() == '\\' && text.find("\\config\\") != std::string::npos &&
         std::string("\\config\\systemprofile\\appdata\\local\\temp\\")
                 .find(text.substr(text.find("\\config\\"))) == 0;
}

// The names PendingFileRenameOperations holds (REG_MULTI_SZ, hex(7): UTF-16 of ASCII names).
std::vector<std::string> pending_names(const Registry& registry) {
  std::vector<std::string> names;
  const std::string* data = value_of(registry, kCcs + "control\\session manager", "PendingFileRenameOperations");
  if (data == nullptr || data->rfind("hex(7):", 0) != 0) return names;
  std::istringstream bytes(data->substr(7));
  std::string text;
  bool low = true;
  for (std::string byte; std::getline(bytes, byte, ',');) {
    if (low) text += static_cast<char>(std::stoul(byte, nullptr, 16));
    low = !low;
  }
  std::istringstream parts(text);
  for (std::string name; std::getline(parts, name, '\0');) {
    if (!name.empty()) names.push_back(lower(name));
  }
  return names;
}

// Whether the deletions pending for the restart are only of the product's copies and their
// folder, which a removal run from that folder schedules and which ask for no restart.
bool only_product_copies_pending(const Registry& registry) {
  std::vector<std::string> names = pending_names(registry);
  return !names.empty() && std::all_of(names.begin(), names.end(), [](const std::string& name) {
    for (const char* end : {"\\tessaridge", "\\tessaridge\\install.exe", "\\tessaridge\\installx64.exe"}) {
      std::string tail = end;
      if (name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) return true;
    }
    return false;
  });
}

void check_removed(const Checker& checker, const Template& machine_template, const fs::path& machine,
                   const Pages& pages, Problems* problems) {
  Registry registry = load_registry(machine);
  if (only_product_copies_pending(registry)) {
    // They go at the next restart: what the removal leaves is judged after it, on a copy, so
    // that the sequence goes on with the machine before its restart, as an agent's retry would.
    fs::path restarted = machine.string() + ".restarted";
    fs::remove_all(restarted);
    copy_machine(machine, restarted);
    restart(checker.tools.sim, restarted);
    check_removed(checker, machine_template, restarted, pages, problems);
    fs::remove_all(restarted);
    return;
  }
  if (registry.count(kService) != 0) problems->push_back("halvik service key still there");
  for (const auto& [key, values] : registry) {
    if (key.rfind(kCcs + "enum\\", 0) == 0 && values.count("\"service\"") != 0 &&
        lower(string_of(registry, key, "Service")) == "halvik")
      problems->push_back("device " + key.substr(kCcs.size() + 5) + " still bound to halvik");
  }
  std::vector<std::string> infs;
  std::vector<std::string> staged;
  registered_packages(machine_template, machine, &infs, &staged);
  if (!infs.empty()) problems->push_back("package still registered: " + joined(infs));
  if (!staged.empty()) problems->push_back("package still staged: " + joined(staged));
  check_pages(registry, pages, problems);
  std::vector<std::string> extra;
  std::string block;
  std::string where;
  for (const std::string& line : diff(checker.tools.sim, machine_template.baseline, machine)) {
    if (line.rfind("@@ ", 0) == 0) {
      block = line.substr(3, line.size() - 6);
      continue;
    }
    if (line.size() > 2 && line[1] == '[' && block != "files") {
      where = lower(line.substr(2, line.find(']') - 2));
      if (where.rfind("hkey_local_machine\\", 0) == 0) where = where.substr(19);
      if (line[0] == ' ') continue;
    }
    if (line.empty() || (line[0] == ' ' && block != "files")) continue;
    if (!removal_may_leave(machine_template, block, where, line)) extra.push_back(line);
  }
  if (!extra.empty()) problems->push_back("left behind: " + first_lines(extra, 4));
}

// ---- running a sequence --------------------------------------------------------------------

const char kOtherBoard[] = "PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0020";
const char kOtherBoardIds[] =
    "PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C&REV_01,PCI\\VEN_1E5C&DEV_0C10&SUBSYS_00011E5C";

struct Sequence {
  std::size_t machine = 0;  // index into the templates
  std::vector<std::string> ops;
  std::string reproduce;  // the arguments that run it again
};

struct Result {
  int operations = 0;
  std::string broken;  // the first break: the step, its exit code and what is wrong
  std::string log;     // every step, for --sequence
};

std::string exit_text(const Outcome& outcome) {
  if (outcome.hung) return "hung";
  if (outcome.signal != 0) return "signal " + std::to_string(outcome.signal);
  return "exit " + std::to_string(outcome.code);
}

class Runner {
 public:
  Runner(Checker& checker, const Template& machine_template, fs::path dir)
      : checker_(checker), template_(machine_template), dir_(std::move(dir)), machine_(dir_ / "machine") {}

  Result run_sequence(const std::vector<std::string>& names) {
    Result result;
    fs::create_directories(dir_);
    copy_machine(template_.pristine, machine_);
    pages_ = read_pages(load_registry(machine_));
    for (std::size_t i = 0; i < names.size() && result.broken.empty(); ++i) {
      std::optional<Op> op = parse_op(names[i]);
      if (!op) {
        result.broken = names[i] + ": no such operation";
        break;
      }
      ++result.operations;
      Problems problems;
      std::string what = step(*op, &problems);
      result.log +=
          "  " + names[i] + ": " + what + (problems.empty() ? "" : ": " + joined_problems(problems)) + "\n";
      if (!problems.empty())
        result.broken =
            "step " + std::to_string(i + 1) + " " + names[i] + ": " + what + ": " + joined_problems(problems);
    }
    return result;
  }

 private:
  enum class Claim { kNone, kInstalled, kRemoved };

  static std::string joined_problems(const Problems& problems) {
    std::string text;
    for (const std::string& problem : problems) text += (text.empty() ? "" : "; ") + problem;
    return text;
  }

  // Carries out one operation; returns what happened (the exit code of a run).
  std::string step(const Op& op, Problems* problems) {
    if (is_run(op)) return run_step(op, problems);
    const fs::path& m = machine_;
    if (op.kind == "restart") {
      if (!restart_machine(problems)) return "restart failed";
      if (claim_ == Claim::kInstalled) check_installed(template_, m, parameters_, pages_, problems);
      if (claim_ == Claim::kRemoved) check_removed(checker_, template_, m, pages_, problems);
      pages_ = read_pages(load_registry(m));
    } else if (op.kind == "stuck" || op.kind == "unstuck") {
      set_ini(m, "services", "halvik.stop", op.kind == "stuck" ? "stuck" : "");
    } else if (op.kind == "linger-on" || op.kind == "linger-off") {
      set_ini(m, "services", "halvik.delete", op.kind == "linger-on" ? "linger" : "");
    } else if (op.kind == "host-on" || op.kind == "host-off") {
      run({checker_.tools.sim, "service", m.string(), "halvservice",
           op.kind == "host-on" ? "running" : "stopped"},
          "", dir_ / "service");
    } else if (op.kind == "board-out") {
      std::vector<std::string> boards = supported_boards(template_, m);
      if (!boards.empty()) {
        taken_out_.emplace_back(boards.back(), ini_value(m, "hardware", boards.back()));
        set_ini(m, "hardware", boards.back(), "");
      }
    } else if (op.kind == "board-in") {
      for (const auto& [instance, ids] : taken_out_) set_ini(m, "hardware", instance, ids);
      taken_out_.clear();
    } else if (op.kind == "board-new") {
      set_ini(m, "hardware", kOtherBoard, kOtherBoardIds);
    } else if (op.kind == "temp-sys32") {
      std::string root = ini_value(m, "environment", "SystemRoot");
      const std::string profile = "\\config\\systemprofile\\AppData\\Local\\Temp";
      // On 64-bit Windows the 32-bit side of the profile exists as well, below SysWOW64.
      for (const char* system : {"\\System32", "\\SysWOW64"}) {
        if (std::string(system) == "\\System32" || !host_path(m, root + system).empty())
          host_path(m, root + system + profile, true);
      }
      set_ini(m, "environment", "TEMP", root + "\\System32" + profile);
      set_ini(m, "environment", "TMP", root + "\\System32" + profile);
    } else if (op.kind == "pages-up" || op.kind == "pages-down") {
      std::uint32_t now = pages_.value.value_or(0);
      if (op.kind == "pages-up") set_system_pages(m, now + 0x2000u);
      if (op.kind == "pages-down" && pages_.value) set_system_pages(m, now > 0x1000u ? now - 0x1000u : 0u);
      pages_ = read_pages(load_registry(m));
    }
    return "done";
  }

  bool restart_machine(Problems* problems) {
    Outcome outcome = restart(checker_.tools.sim, machine_);
    if (outcome.code == 0) return true;
    problems->push_back("halvik-sim reboot: " + exit_text(outcome) + ": " +
                        first_lines(lines_of(outcome.err), 2));
    return false;
  }

  std::string run_step(const Op& op, Problems* problems) {
    const fs::path& m = machine_;
    Registry before = load_registry(m);
    bool asks_overwrite = before.count(kService) != 0;
    bool declined = op.kind == "dialogue" && asks_overwrite && !op.overwrite;
    bool removal = op.kind == "remove" || is_entry_command(op);
    fs::path unchanged = dir_ / "before";
    if (declined) {
      fs::remove_all(unchanged);
      copy_machine(m, unchanged);
    }
    std::optional<Values> parameters;
    if (!removal && !declined) {
      std::string problem;
      parameters = reference_parameters(checker_, template_, op, &problem);
      if (!parameters) {
        problems->push_back(problem);
        return "no reference";
      }
    }
    std::vector<std::string> argv{checker_.tools.install};
    if (is_entry_command(op)) {
      std::string command = string_of(before, kEntry, op.kind == "uninstall" ? "UninstallString" : "QuietUninstallString");
      if (!command.empty()) entry_commands_[op.kind] = command;
      command = entry_commands_[op.kind];
      // Nothing for an agent to run: no entry, and no program left of the one it last ran.
      if (command.size() < 2 || host_path(m, command.substr(1, command.find('"', 1) - 1)).empty()) return "no entry";
      std::string system = ini_value(m, "environment", "SystemRoot") + "\\System32";
      argv = {checker_.tools.sim, "run", m.string(), "--cd", system, "--", command};
    }
    if (op.kind == "wrong-d") argv.insert(argv.end(), {"-d", "C:\\Tessaridge"});
    if (op.kind == "remove") argv.insert(argv.end(), {"-r", "-c", "0"});
    if (op.kind != "dialogue" && !removal) {
      argv.push_back("-c");
      for (const std::string& entry : batch_list(op)) argv.push_back(entry);
    }
    std::string input = op.kind == "dialogue" ? dialogue_input(asks_overwrite, op.overwrite) : "";
    std::string inf = "C:\\Tessaridge\\pnp\\morvellan.inf";
    if (op.kind == "no-inf") fs::remove(host_path(m, inf));
    if (op.fault >= 0) {
      const Fault& fault = kFaults[op.fault];
      std::string section = *fault.program != '\0' ? std::string("faults.") + fault.program : "faults";
      std::string line = fault.line;
      set_ini(m, section, line.substr(0, line.find(" = ")), line.substr(line.find(" = ") + 3));
    }

    if (op.ended_at > 0) {
      set_ini(m, "faults.install", "kill_at_call", std::to_string(op.ended_at));
      set_ini(m, "trace", "enabled", "1");
      set_ini(m, "trace", "program", "1");
    }

    Outcome outcome = run(argv, m, dir_ / "run", input);

    if (op.fault >= 0) {
      std::string line = kFaults[op.fault].line;
      set_ini(
          m,
          *kFaults[op.fault].program != '\0' ? std::string("faults.") + kFaults[op.fault].program : "faults",
          line.substr(0, line.find(" = ")), "");
    }
    if (op.kind == "no-inf")
      fs::copy_file(host_path(template_.pristine, inf),
                    host_path(m, "C:\\Tessaridge\\pnp") / "morvellan.inf");
    std::string what = exit_text(outcome);
    if (std::string wrong = misbehaviour(outcome); !wrong.empty()) {
      problems->push_back(wrong);
      if (outcome.hung) return what;
    }
    if (op.ended_at > 0 && ended(op, problems)) return op.ended_by == 'k' ? "killed" : "power cut";
    if (asks_for_restart(outcome.code) && !restart_machine(problems)) return what;

    if (outcome.code == 0 || outcome.code == 1) {
      if (declined) {
        // Only the run log may change: every run appends to it.
        std::vector<std::string> changes;
        for (const std::string& line : diff(checker_.tools.sim, unchanged, m)) {
          if (!is_run_log_line(line)) changes.push_back(line);
        }
        if (std::any_of(changes.begin(), changes.end(), [](const std::string& line) {
              return !line.empty() && (line[0] == '+' || line[0] == '-' || line[0] == ' ') &&
                     line.rfind(" [", 0) != 0 && line.rfind("@@ ", 0) != 0;
            }))
          problems->push_back("declined, yet changed: " + first_lines(changes, 3));
      } else if (removal) {
        check_removed(checker_, template_, m, restored(pages_), problems);
        claim_ = Claim::kRemoved;
      } else if (std::optional<Pages> expected = installed(pages_, op); !expected) {
        problems->push_back("installed, yet the memory adjustment asked for had no SystemPages to adjust");
      } else {
        check_installed(template_, m, *parameters, *expected, problems);
        parameters_ = *parameters;
        claim_ = Claim::kInstalled;
      }
    } else if (outcome.code == 254 || outcome.code == 255) {
      if (outcome.err.empty()) problems->push_back("failed with nothing on standard error");
      check_cleanup(restored(pages_), problems);
      claim_ = Claim::kNone;
    }
    if (!problems->empty() && !outcome.err.empty())
      what += " (" + first_lines(lines_of(outcome.err), 2) + ")";
    pages_ = read_pages(load_registry(m));
    return what;
  }

  // Whether the run was ended at its call (else it ran to its end before it, and is judged as
  // any run); the end's switches are taken out, and the power cut after it made.
  bool ended(const Op& op, Problems* problems) {
    const fs::path& m = machine_;
    int calls = 0;
    for (const std::string& line : lines_of(read_text(m / "trace.log")))
      calls += line.rfind("install: ", 0) == 0 ? 1 : 0;
    set_ini(m, "faults.install", "kill_at_call", "");
    set_ini(m, "trace", "enabled", "");
    set_ini(m, "trace", "program", "");
    fs::remove(m / "trace.log");
    // A run that ends by itself before the call makes fewer calls, or (rarely) as many: judged
    // as ended, it is only spared the checks.
    if (calls != op.ended_at - 1) return false;
    if (op.ended_by == 'p') {
      Outcome cut = run({checker_.tools.sim, "power-cut", m.string()}, "", dir_ / "cut");
      if (cut.code != 0) problems->push_back("halvik-sim power-cut: " + exit_text(cut));
    }
    claim_ = Claim::kNone;
    pages_ = read_pages(load_registry(m));
    return true;
  }

  // After a failure: a fault-free removal (with the host service stopped, and the restart it
  // asks for) on a copy of the machine reaches the removed state.
  void check_cleanup(const Pages& pages, Problems* problems) {
    fs::path copy = dir_ / "cleanup";
    fs::remove_all(copy);
    copy_machine(machine_, copy);
    set_ini(copy, "services", "halvservice", "");
    Outcome outcome = run({checker_.tools.install, "-r", "-c", "0"}, copy, dir_ / "cleanup-run");
    if (!misbehaviour(outcome).empty() || (outcome.code != 0 && outcome.code != 1)) {
      problems->push_back("the fault-free removal afterwards: " + exit_text(outcome) + ": " +
                          first_lines(lines_of(outcome.err), 2));
    } else {
      if (asks_for_restart(outcome.code)) restart(checker_.tools.sim, copy);
      Problems left;
      check_removed(checker_, template_, copy, pages, &left);
      for (const std::string& problem : left) problems->push_back("after the fault-free removal: " + problem);
    }
    fs::remove_all(copy);
  }

  Checker& checker_;
  const Template& template_;
  fs::path dir_;
  fs::path machine_;
  Pages pages_;
  Claim claim_ = Claim::kNone;
  Values parameters_;
  std::vector<std::pair<std::string, std::string>> taken_out_;
  std::map<std::string, std::string> entry_commands_;  // the entry's commands an agent holds, by op
};

// ---- the generator -------------------------------------------------------------------------

// Every pair of these ...
const char* const kPairOps[] = {
    "batch:n:2:16:512",
    "batch:y:1:4:256",
    "dialogue:y",
    "dialogue:n",
    "remove",
    "restart",
    "stuck",
    "linger-on",
    "host-on",
    "board-out",
    "board-new",
    "temp-sys32",
    "wrong-d",
    "no-inf",
    "pages-down",
    "remove!1",
    "remove!4",
    "batch:y:2:16:512!3",
    "quiet-uninstall",
    "uninstall",
    "batch:y:2:16:512@k146",  // on xp: just after SystemPages is raised
    "remove@p40",
};
// ... every triple of these ...
const char* const kTripleOps[] = {"batch:n:2:16:512", "batch:y:3:4:256", "remove", "restart", "pages-up"};

// ... and random sequences of these (batch lists and faults drawn apart).
const char* const kRandomOps[] = {
    "batch",     "batch",    "batch",     "dialogue:y", "dialogue:n", "remove",     "remove",   "remove",
    "restart",   "restart",  "stuck",     "unstuck",    "linger-on",  "linger-off", "host-on",  "host-off",
    "board-out", "board-in", "board-new", "temp-sys32", "wrong-d",    "no-inf",     "pages-up", "pages-down",
    "quiet-uninstall", "uninstall", "end", "end",
};

// About as many platform calls as the installer makes in an installation (180 to 270) or a
// removal (about 150).
constexpr std::size_t kInstallerCalls = 300;

std::vector<std::string> random_ops(std::uint32_t seed, std::size_t* machine, std::size_t machines) {
  std::mt19937 random(seed);
  auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  *machine = pick(machines);
  std::vector<std::string> ops;
  for (std::size_t length = 3 + pick(5); ops.size() < length;) {
    std::string op = kRandomOps[pick(std::size(kRandomOps))];
    // An installation or a removal ended at one of the installer's calls.
    bool end = op == "end";
    if (end) op = pick(2) != 0 ? "remove" : "batch";
    if (op == "batch") {
      const unsigned pci[] = {2, 4, 16};
      const unsigned meg[] = {128, 256, 512};
      op = std::string("batch:") + (pick(2) != 0 ? "y" : "n") + ":" + std::to_string(pick(4)) + ":" +
           std::to_string(pci[pick(3)]) + ":" + std::to_string(meg[pick(3)]);
    }
    if (end) {
      op += std::string("@") + (pick(2) != 0 ? "k" : "p") + std::to_string(1 + pick(kInstallerCalls));
    } else if ((op.rfind("batch", 0) == 0 || op == "remove") && pick(4) == 0) {
      op += "!" + std::to_string(pick(std::size(kFaults)));
    }
    ops.push_back(op);
  }
  return ops;
}

// Makes the template machines: every template, and one imported from the committed exports
// with a supported board put in.  Their baselines are the machines after a fault-free removal
// and a restart.
bool make_templates(Checker& checker, const fs::path& exports, std::string* problem) {
  for (const char* name : {"xp", "w2k", "amd64", "leftovers", "imported"}) {
    Template made;
    made.name = name;
    made.pristine = checker.temp / name / "pristine";
    fs::create_directories(made.pristine.parent_path());
    Outcome outcome =
        made.name == "imported"
            ? run({checker.tools.sim, "import", made.pristine.string(),
                   (exports / "wine-system.reg").string(), (exports / "wine-software.reg").string()},
                  "", checker.temp / name / "import")
            : run({checker.tools.sim, "new", made.pristine.string(), "--template", name}, "",
                  checker.temp / name / "new");
    if (outcome.code != 0) {
      *problem = std::string(name) + ": " + exit_text(outcome) + ": " + outcome.err;
      return false;
    }
    if (made.name == "imported") {
      set_ini(made.pristine, "hardware", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0008",
              "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01,PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C");
      restart(checker.tools.sim, made.pristine);
    }
    made.supported = ids_named_in(read_text(host_path(made.pristine, "C:\\Tessaridge\\pnp\\morvellan.inf")));
    std::string version = ini_value(made.pristine, "system", "version");
    made.driver_store = std::atoi(version.c_str()) >= 6;
    made.baseline = checker.temp / name / "baseline";
    copy_machine(made.pristine, made.baseline);
    Outcome removal =
        run({checker.tools.install, "-r", "-c", "0"}, made.baseline, checker.temp / name / "removal");
    if (removal.code != 0 && removal.code != 1) {
      *problem =
          std::string(name) + ": removal on the new machine: " + exit_text(removal) + ": " + removal.err;
      return false;
    }
    restart(checker.tools.sim, made.baseline);
    if (made.supported.empty()) {
      *problem = std::string(name) + ": no hardware IDs in the package's INF";
      return false;
    }
    checker.templates.push_back(made);
  }
  return true;
}

std::size_t template_named(const Checker& checker, const std::string& name) {
  for (std::size_t i = 0; i < checker.templates.size(); ++i) {
    if (checker.templates[i].name == name) return i;
  }
  return checker.templates.size();
}

std::string quoted_ops(const std::vector<std::string>& ops) {
  std::string text;
  for (const std::string& op : ops) text += (text.empty() ? "" : ",") + op;
  return "\"" + text + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin;
  std::string exports;
  std::string machine_name;
  std::string sequence_text;
  std::optional<std::uint32_t> seed;
  std::size_t sample = 1;
  std::size_t random_count = 96;
  unsigned jobs = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    std::string value = argv[i + 1];
    if (option == "--bin") bin = value;
    if (option == "--exports") exports = value;
    if (option == "--sample") sample = std::max(1ul, std::stoul(value));
    if (option == "--random") random_count = std::stoul(value);
    if (option == "--jobs") jobs = std::clamp(static_cast<unsigned>(std::stoul(value)), 1u, 2u);
    if (option == "--seed") seed = static_cast<std::uint32_t>(std::stoul(value));
    if (option == "--machine") machine_name = value;
    if (option == "--sequence") sequence_text = value;
  }
  if (bin.empty() || exports.empty() || argc % 2 == 0 || (!sequence_text.empty() && machine_name.empty())) {
    std::fprintf(stderr,
                 "usage: lifecycle --bin BUILD_DIR --exports DIR [--sample N] [--random N] [--jobs N]\n"
                 "       lifecycle --bin BUILD_DIR --exports DIR --seed N\n"
                 "       lifecycle --bin BUILD_DIR --exports DIR --machine NAME --sequence \"op,op,...\"\n");
    return 2;
  }
  auto started = std::chrono::steady_clock::now();
  Checker checker;
  checker.tools = Tools{fs::absolute(bin) / "install", fs::absolute(bin) / "halvik-sim"};
  checker.temp = make_temp_dir("lifecycle");
  if (checker.temp.empty()) {
    std::perror("lifecycle: mkdtemp");
    return 2;
  }
  std::string problem;
  if (!make_templates(checker, fs::absolute(exports), &problem)) {
    std::fprintf(stderr, "lifecycle: %s\n", problem.c_str());
    fs::remove_all(checker.temp);
    return 2;
  }
  std::string program = "lifecycle --bin " + bin + " --exports " + exports;

  std::vector<Sequence> sequences;
  bool single = seed || !sequence_text.empty();
  if (!sequence_text.empty()) {
    Sequence one{template_named(checker, machine_name), {}, ""};
    std::istringstream in(sequence_text);
    for (std::string op; std::getline(in, op, ',');) one.ops.push_back(op);
    if (one.machine == checker.templates.size()) {
      std::fprintf(stderr, "lifecycle: no machine %s (xp, w2k, amd64, leftovers, imported)\n",
                   machine_name.c_str());
      return 2;
    }
    sequences.push_back(one);
  } else if (seed) {
    Sequence one;
    one.ops = random_ops(*seed, &one.machine, checker.templates.size());
    sequences.push_back(one);
  } else {
    std::vector<std::vector<std::string>> enumerated;
    for (const char* a : kPairOps) {
      for (const char* b : kPairOps) enumerated.push_back({a, b});
    }
    for (const char* a : kTripleOps) {
      for (const char* b : kTripleOps) {
        for (const char* c : kTripleOps) enumerated.push_back({a, b, c});
      }
    }
    for (std::size_t i = 0; i < enumerated.size(); i += sample) {
      std::size_t machine = i % checker.templates.size();
      sequences.push_back(
          {machine, enumerated[i],
           "--machine " + checker.templates[machine].name + " --sequence " + quoted_ops(enumerated[i])});
    }
    for (std::uint32_t s = 1; s <= random_count / sample; ++s) {
      Sequence one;
      one.ops = random_ops(s, &one.machine, checker.templates.size());
      one.reproduce = "--seed " + std::to_string(s);
      sequences.push_back(one);
    }
  }
  for (Sequence& one : sequences) {
    if (one.reproduce.empty() && seed) one.reproduce = "--seed " + std::to_string(*seed);
    if (one.reproduce.empty())
      one.reproduce =
          "--machine " + checker.templates[one.machine].name + " --sequence " + quoted_ops(one.ops);
  }

  std::vector<Result> results(sequences.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t k = next++; k < sequences.size(); k = next++) {
      fs::path dir = checker.temp / ("sequence" + std::to_string(k));
      Runner runner(checker, checker.templates[sequences[k].machine], dir);
      results[k] = runner.run_sequence(sequences[k].ops);
      std::error_code ignored;
      if (!single) fs::remove_all(dir, ignored);
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < jobs; ++i) workers.emplace_back(worker);
  for (std::thread& t : workers) t.join();

  int operations = 0;
  int broken = 0;
  for (std::size_t k = 0; k < sequences.size(); ++k) {
    operations += results[k].operations;
    if (single) {
      std::printf("%s %s\n%s", checker.templates[sequences[k].machine].name.c_str(),
                  quoted_ops(sequences[k].ops).c_str(), results[k].log.c_str());
    }
    if (results[k].broken.empty()) continue;
    ++broken;
    std::printf("broken: %s %s: %s\n  reproduce: %s %s\n",
                checker.templates[sequences[k].machine].name.c_str(), quoted_ops(sequences[k].ops).c_str(),
                results[k].broken.c_str(), program.c_str(), sequences[k].reproduce.c_str());
  }
  if (single) std::printf("machines kept in %s\n", checker.temp.c_str());
  if (!single) fs::remove_all(checker.temp);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("lifecycle: %.1f s with %u workers\n", seconds, jobs);
  std::printf("lifecycle: %zu sequences, %d operations, %d broke the invariant\n", sequences.size(),
              operations, broken);
  return broken == 0 ? 0 : 1;
}
