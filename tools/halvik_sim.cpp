// halvik-sim: makes, shows and compares simulated machines.
//
//   halvik-sim new DIR [--template NAME]   a new machine (xp unless NAME is given) in DIR,
//                                          which must not exist or be empty
//   halvik-sim show DIR [KEY]              the registry below KEY (all of it without KEY) as
//                                          .reg text; KEY with or without the HKEY_LOCAL_MACHINE prefix
//   halvik-sim diff DIR1 DIR2              registry keys (volatile ones marked) and values,
//                                          machine.ini (but its [trace] section) and the files
//                                          on the drives; no
//                                          output and exit 0 when they are equal, a listing and
//                                          exit 1 when not
//   halvik-sim service DIR NAME STATE      sets a service's state, adding the service if missing
//   halvik-sim reboot DIR                  restarts the machine: the file operations pending
//                                          for the restart are carried out, services marked
//                                          for deletion go, the boards are enumerated and get
//                                          drivers, services that start with the system start,
//                                          reboot_requested is cleared
//   halvik-sim power-cut DIR               the power fails and the machine starts again: each
//                                          registry hive goes back to what it held at the last
//                                          restart or its last RegFlushKey, volatile keys go,
//                                          then what reboot does happens; files are kept
//   halvik-sim import DIR [--present FILE] FILE.reg...
//                                          a machine from registry exports (import/)
//   halvik-sim rehearse FLEET_DIR [--list FILE] [--remove] [--json | --csv] [--jobs N] [--machines DIR]
//                                          every host's exports imported, the installer run
//                                          and the restart carried out; a row per host
//                                          (rehearse/)
//   halvik-sim bound DIR                   how many device nodes present are bound to halvik
//   halvik-sim run DIR [--cd DIR] -- COMMAND LINE
//                                          a Windows command line run on the machine as an
//                                          agent runs it; its program's exit code (run/)
//
// Usage errors exit 2; a machine that can't be read exits 2 as well, with the reason.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "import/import.h"
#include "rehearse/rehearse.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"
#include "platform/sim/sim.h"
#include "run/run.h"

namespace halvik_sim {

int trouble(const std::string& message) {
  std::fprintf(stderr, "halvik-sim: %s\n", message.c_str());
  return 2;
}

}  // namespace halvik_sim

namespace {

using namespace sim::internal;

constexpr char kUsage[] =
    "usage: halvik-sim new DIR [--template NAME] | halvik-sim show DIR [KEY] | halvik-sim diff DIR1 DIR2\n"
    "       halvik-sim service DIR NAME STATE | halvik-sim reboot DIR | halvik-sim power-cut DIR\n"
    "       halvik-sim import DIR [--present FILE] FILE.reg... | halvik-sim bound DIR\n"
    "       halvik-sim rehearse FLEET_DIR [--list FILE] [--remove] [--json | --csv] [--jobs N]\n"
    "                           [--machines DIR]\n"
    "       halvik-sim run DIR [--cd DIR] -- COMMAND LINE\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

using halvik_sim::trouble;

std::string strip_hklm(const std::string& key) {
  for (const std::string prefix : {"HKEY_LOCAL_MACHINE", "HKLM"}) {
    if (iequals(key.substr(0, prefix.size()), prefix) &&
        (key.size() == prefix.size() || key[prefix.size()] == '\\' || key[prefix.size()] == '/'))
      return key.substr(prefix.size());
  }
  return key;
}

int command_new(const std::vector<std::string>& args) {
  std::string dir;
  std::string template_name = "xp";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--template") {
      if (i + 1 >= args.size()) return usage();
      template_name = args[++i];
    } else if (dir.empty()) {
      dir = args[i];
    } else {
      return usage();
    }
  }
  if (dir.empty()) return usage();
  std::string error;
  if (!sim::create_machine(dir, template_name, &error)) return trouble(error);
  return 0;
}

int command_show(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return usage();
  std::string error;
  if (!sim::use_machine(args[0], &error)) return trouble(error);
  std::string key_path = args.size() == 2 ? strip_hklm(args[1]) : "";
  Key* key = find_key(raw_machine().hklm.get(), key_path);
  if (key == nullptr) return trouble("no key HKEY_LOCAL_MACHINE\\" + trim(key_path));
  std::fputs(write_reg_subtree(*key).c_str(), stdout);
  return 0;
}

// ---- diff ----------------------------------------------------------------------------------

struct Snapshot {
  KeyPtr hklm;
  Ini ini;
  std::string dir;
};

// Every key by its upper-case path: its display path and its values as .reg lines.
using KeyTable = std::map<std::string, std::pair<std::string, std::map<std::string, std::string>>>;

// With a stack of its own, not recursion: a machine's tree may be deeper than the host's stack.
void flatten(const Key& top, const std::string& top_path, KeyTable* table) {
  std::vector<std::pair<const Key*, std::string>> pending;
  pending.emplace_back(&top, top_path);
  while (!pending.empty()) {
    auto [key, path] = std::move(pending.back());
    pending.pop_back();
    auto& entry = (*table)[upper(path)];
    // A volatile key shows as such: the same key volatile in one machine and plain in the other
    // is a change (it survives a restart in one of them only).
    entry.first = path;
    if (key->is_volatile) entry.first += " (volatile)";
    for (const Value& value : key->values) {
      entry.second[upper(value.name)] = reg_value_line(value, false);  // one line per value
    }
    for (Key* child : key->subkeys) pending.emplace_back(child, path + "\\" + std::string(child->name));
  }
}

void diff_registry(const Snapshot& a, const Snapshot& b, std::vector<std::string>* out) {
  KeyTable left;
  KeyTable right;
  flatten(*a.hklm, "HKEY_LOCAL_MACHINE", &left);
  flatten(*b.hklm, "HKEY_LOCAL_MACHINE", &right);
  std::map<std::string, int> keys;
  for (const auto& [k, v] : left) keys[k] |= 1;
  for (const auto& [k, v] : right) keys[k] |= 2;
  for (const auto& [k, where] : keys) {
    if (where == 1) {
      out->push_back("-[" + left[k].first + "]");
      for (const auto& [name, line] : left[k].second) out->push_back("-" + line);
    } else if (where == 2) {
      out->push_back("+[" + right[k].first + "]");
      for (const auto& [name, line] : right[k].second) out->push_back("+" + line);
    } else {
      std::vector<std::string> changes;
      std::map<std::string, int> names;
      for (const auto& [n, line] : left[k].second) names[n] |= 1;
      for (const auto& [n, line] : right[k].second) names[n] |= 2;
      for (const auto& [n, in] : names) {
        const std::string* l = (in & 1) ? &left[k].second[n] : nullptr;
        const std::string* r = (in & 2) ? &right[k].second[n] : nullptr;
        if (l != nullptr && r != nullptr && *l == *r) continue;
        if (l != nullptr) changes.push_back("-" + *l);
        if (r != nullptr) changes.push_back("+" + *r);
      }
      if (left[k].first != right[k].first) {
        changes.insert(changes.begin(), "+[" + right[k].first + "]");
        changes.insert(changes.begin(), "-[" + left[k].first + "]");
      } else if (!changes.empty()) {
        changes.insert(changes.begin(), " [" + left[k].first + "]");
      }
      out->insert(out->end(), changes.begin(), changes.end());
    }
  }
}

void diff_ini(const Snapshot& a, const Snapshot& b, std::vector<std::string>* out) {
  // section -> key -> "key = value", compared ignoring the case of names
  using Table = std::map<std::string, std::map<std::string, std::string>>;
  auto table = [](const Ini& ini) {
    Table t;
    for (const IniSection& section : ini.sections) {
      if (iequals(section.name, "trace")) continue;
      for (const IniEntry& entry : section.entries)
        t[lower(section.name)][upper(entry.key)] = entry.key + " = " + entry.value;
    }
    return t;
  };
  Table left = table(a.ini);
  Table right = table(b.ini);
  std::map<std::string, int> sections;
  for (const auto& [s, v] : left) sections[s] |= 1;
  for (const auto& [s, v] : right) sections[s] |= 2;
  for (const auto& [s, where] : sections) {
    std::vector<std::string> changes;
    std::map<std::string, int> keys;
    for (const auto& [k, line] : left[s]) keys[k] |= 1;
    for (const auto& [k, line] : right[s]) keys[k] |= 2;
    for (const auto& [k, in] : keys) {
      const std::string* l = (in & 1) ? &left[s][k] : nullptr;
      const std::string* r = (in & 2) ? &right[s][k] : nullptr;
      if (l != nullptr && r != nullptr && *l == *r) continue;
      if (l != nullptr) changes.push_back("-" + *l);
      if (r != nullptr) changes.push_back("+" + *r);
    }
    if (changes.empty()) continue;
    out->push_back(" [" + s + "]");
    out->insert(out->end(), changes.begin(), changes.end());
  }
}

struct FileInfo {
  bool directory = false;
  bool readonly = false;
  std::string content;
};

// Every entry on the machine's drives by its Windows path.
std::map<std::string, FileInfo> drive_files(const std::string& dir) {
  std::map<std::string, FileInfo> files;
  std::error_code error;
  for (const auto& drive : std::filesystem::directory_iterator(dir, error)) {
    std::string name = drive.path().filename().string();
    if (name.size() != 7 || name.rfind("drive_", 0) != 0 || !drive.is_directory()) continue;
    std::string letter(1, static_cast<char>(std::toupper(static_cast<unsigned char>(name[6]))));
    for (auto it = std::filesystem::recursive_directory_iterator(drive.path(), error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      std::string relative = std::filesystem::relative(it->path(), drive.path(), error).string();
      for (char& c : relative) {
        if (c == '/') c = '\\';
      }
      FileInfo info;
      info.directory = it->is_directory();
      if (!info.directory) {
        std::ifstream in(it->path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        info.content = content.str();
        struct stat host {};
        info.readonly = ::stat(it->path().c_str(), &host) == 0 && (host.st_mode & S_IWUSR) == 0;
      }
      files[letter + ":\\" + relative] = info;
    }
  }
  return files;
}

void diff_files(const Snapshot& a, const Snapshot& b, std::vector<std::string>* out) {
  std::map<std::string, FileInfo> left = drive_files(a.dir);
  std::map<std::string, FileInfo> right = drive_files(b.dir);
  std::map<std::string, int> paths;
  for (const auto& [p, info] : left) paths[p] |= 1;
  for (const auto& [p, info] : right) paths[p] |= 2;
  for (const auto& [path, where] : paths) {
    const std::string& p = path;
    // A line is built by appending to its mark: GCC 12 at -O3 takes a literal put in front of a
    // temporary string for an overlapping copy.
    auto line = [&p](char mark, const FileInfo& info, const char* note) {
      std::string text(1, mark);
      text += p;
      if (info.directory) text += '\\';
      text += note;
      return text;
    };
    if (where == 1) {
      out->push_back(line('-', left[p], ""));
    } else if (where == 2) {
      out->push_back(line('+', right[p], ""));
    } else if (left[p].directory != right[p].directory) {
      out->push_back(line('-', left[p], ""));
      out->push_back(line('+', right[p], ""));
    } else if (left[p].content != right[p].content) {
      out->push_back(line(' ', FileInfo{}, " (content differs)"));
    } else if (left[p].readonly != right[p].readonly) {
      out->push_back(
          line(' ', FileInfo{}, right[p].readonly ? " (made read-only)" : " (no longer read-only)"));
    }
  }
}

int command_diff(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage();
  Snapshot snapshots[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!sim::use_machine(args[i], &error)) return trouble(error);
    snapshots[i] = Snapshot{raw_machine().hklm, raw_machine().ini, args[i]};
  }
  std::vector<std::string> sections[3];
  diff_registry(snapshots[0], snapshots[1], &sections[0]);
  diff_ini(snapshots[0], snapshots[1], &sections[1]);
  diff_files(snapshots[0], snapshots[1], &sections[2]);
  if (sections[0].empty() && sections[1].empty() && sections[2].empty()) return 0;
  std::printf("--- %s\n+++ %s\n", args[0].c_str(), args[1].c_str());
  const char* titles[] = {"@@ registry @@", "@@ machine.ini @@", "@@ files @@"};
  for (int i = 0; i < 3; ++i) {
    if (sections[i].empty()) continue;
    std::printf("%s\n", titles[i]);
    for (const std::string& line : sections[i]) std::printf("%s\n", line.c_str());
  }
  return 1;
}

}  // namespace

// Sets a service's state, adding the service (an own-process Win32 service, as the board
// family's host service is) when the machine doesn't have it yet.
int command_service(const std::vector<std::string>& args) {
  if (args.size() != 3) return usage();
  const std::string& name = args[1];
  port::DWORD state = service_state_from_name(args[2]);
  if (state == 0) {
    return trouble(args[2] +
                   ": not a service state (stopped, start_pending, stop_pending, running, "
                   "continue_pending, pause_pending, paused)");
  }
  if (name.empty() || name.find('\\') != std::string::npos || name.find('.') != std::string::npos)
    return trouble(name + ": not a service name");
  std::string error;
  if (!sim::use_machine(args[0], &error)) return trouble(error);
  constexpr port::DWORD kWin32OwnProcess = 0x10;
  if (sim::service_exists(name)) {
    sim::set_service_state(name, state);
  } else {
    sim::add_service(name, kWin32OwnProcess, state);
  }
  // The machine is being set up: a service added here is on the disk, as if long installed.
  if (Key* system = find_key(raw_machine().hklm.get(), "SYSTEM");
      system != nullptr && !flush_hive(*system, &error))
    return trouble(error);
  if (!sim::save_machine(&error)) return trouble(error);
  return 0;
}

int command_reboot(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage();
  std::string error;
  if (!sim::use_machine(args[0], &error)) return trouble(error);
  sim::restart_machine();
  if (!sim::save_machine(&error)) return trouble(error);
  return 0;
}

int command_power_cut(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage();
  std::string error;
  if (!sim::use_machine(args[0], &error)) return trouble(error);
  if (!sim::power_cut_machine(&error)) return trouble(error);
  if (!sim::save_machine(&error)) return trouble(error);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "new") return command_new(args);
  if (command == "show") return command_show(args);
  if (command == "diff") return command_diff(args);
  if (command == "service") return command_service(args);
  if (command == "reboot") return command_reboot(args);
  if (command == "power-cut") return command_power_cut(args);
  if (command == "run") {
    int status = halvik_sim::command_run(args);
    return status < 0 ? usage() : status;
  }
  if (command == "import" || command == "rehearse" || command == "bound") {
    int status = command == "import"     ? halvik_sim::command_import(args)
                 : command == "rehearse" ? halvik_sim::command_rehearse(args)
                                         : halvik_sim::command_bound(args);
    return status < 0 ? usage() : status;
  }
  return usage();
}
