// The steps of halvik-sim import, in the order import.cpp takes them: the exports read and
// merged (exports.cpp), the system and its environment (system.cpp), the device nodes and
// setup classes (devices.cpp), machine.ini's sections (machine_ini.cpp), the drives' folders
// and stand-in files (drives.cpp), and what it tells the administrator (summary.cpp).  A step
// that can refuse returns false with the reason in *error.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "import/import.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/machine/registry.h"

namespace halvik_sim::importer {

using sim::internal::DWORD;
using sim::internal::Ini;
using sim::internal::Key;
using sim::internal::Machine;

constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kServices[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr char kMemory[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
constexpr char kPackageDir[] = "C:\\Tessaridge";

// What the program would find of Windows itself.
struct System {
  std::string version;  // "major.minor"
  std::string build;
  std::string service_pack;  // "0" when there is none
  std::string processor;     // "" when the export does not say
  std::string system_root;   // C:\WINDOWS when the export does not say
  bool wow64 = false;        // AMD64: the 32-bit installer runs under WOW64
};

// The environment of a program started there: the system's variables, expanded.
struct Environment {
  std::map<std::string, std::string> names;                    // upper-case name -> value
  std::vector<std::pair<std::string, std::string>> variables;  // as first defined, last value
};

struct PciNode {
  std::string instance_id;
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  std::string service;
};

// A driver installed for a setup class, as the class key records it.
struct ClassInstance {
  std::string guid;
  std::string class_name;
  std::string instance;
  std::string inf_path;
  std::string inf_section;
  std::string matching_id;
  std::string description;
  std::string provider;
};

// What one import has been told and has learnt so far.
struct Import {
  std::string dir;
  std::string present_file;  // "" when every PCI node of the export is present
  std::vector<std::string> exports;
  std::string mapped_control_set;  // the control set renamed CurrentControlSet, "" for none
  System system;
  Environment environment;
  std::vector<PciNode> nodes;
  std::vector<const PciNode*> present;  // into nodes
  std::vector<ClassInstance> instances;
};

// Registry values as the program reads them (values.cpp).  A string without its terminator,
// "" when absent; *found says whether it was there.
std::string string_value(Key* key, const char* name, bool* found = nullptr);
bool dword_value(Key* key, const char* name, DWORD* out);
std::vector<std::string> multi_value(Key* key, const char* name);
std::string join(const std::vector<std::string>& items, const char* separator);

// exports.cpp: every export read and merged into machine->hklm, a later file's values
// winning; a file cut short is refused.
bool read_exports(const std::vector<std::string>& exports, Machine* machine, std::string* error);
// CurrentControlSet made of the control set that Select\Current names; *mapped gets its
// former name, untouched when the export has a CurrentControlSet already.
bool settle_control_set(Key* hklm, std::string* mapped, std::string* error);

// system.cpp
bool read_system(Key* hklm, System* system, std::string* error);
// Also records Program Files in the registry where the export lacks it.
void read_environment(Key* hklm, const System& system, Environment* environment);
// %NAME% references replaced from `names`; unknown ones stay, as Windows leaves them.
std::string expand(const std::string& text, const std::map<std::string, std::string>& names);

// devices.cpp: run->nodes, and run->present from them and run->present_file.
bool find_present_boards(Key* hklm, Import* run, std::string* error);
std::vector<ClassInstance> class_instances(Key* hklm);

// machine_ini.cpp: what machine.ini says of the system, the environment, the boards present
// and the services running.
void fill_machine_ini(Key* hklm, const Import& run, Ini* ini);

// drives.cpp: the folders the program uses and the stand-ins of files no export holds.
bool make_drives(Key* hklm, const Import& run, std::string* error);

// summary.cpp: what was imported, on standard output; *facts, when given, gets the machine's.
void print_summary(Key* hklm, const Import& run, HostFacts* facts);

}  // namespace halvik_sim::importer
