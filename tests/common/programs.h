// What the generated tests (the fault sweep, the lifecycle checker) share: running a built
// program on a simulated machine with a time limit, copying and comparing machines, and the
// signs of a run that went wrong as a program (a crash, a hang, a sanitizer report).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace programs {

namespace fs = std::filesystem;

constexpr int kTimeoutSeconds = 30;

std::string read_text(const fs::path& path);
void write_text(const fs::path& path, const std::string& text);
std::vector<std::string> lines_of(const std::string& text);
std::string lower(std::string text);
// The first `count` lines joined with " | ", and how many there were when more.
std::string first_lines(const std::vector<std::string>& lines, std::size_t count);

struct Outcome {
  bool hung = false;
  int signal = 0;  // killed by it
  int code = -1;   // exit code when it exited
  std::string out;
  std::string err;
};

// Runs a program on a machine (HALVIK_MACHINE, unless `machine` is empty) in its own process
// group, so that a hang takes its child with it; standard input is `input` (empty: nothing).
// `scratch` is not used: the output is collected through files without a name.
Outcome run(const std::vector<std::string>& argv, const fs::path& machine, const fs::path& scratch,
            const std::string& input = {});

// What a run does wrong as a program: no end, a signal, an exit code no path gives (0, 1, 254
// and 255 are the program's), a sanitizer report; "" when nothing.
std::string misbehaviour(const Outcome& outcome);

void copy_machine(const fs::path& from, const fs::path& to);

// `halvik-sim diff` without its two header lines; empty when the machines are equal.
std::vector<std::string> diff(const std::string& sim, const fs::path& a, const fs::path& b);

// `halvik-sim reboot`.
Outcome restart(const std::string& sim, const fs::path& machine);

// A run that asks for a restart: exit 1, or -2 (254 on Linux).
inline bool asks_for_restart(int code) {
  return code == 1 || code == 254;
}

// registry.reg: keys (lower case, below HKEY_LOCAL_MACHINE) and their values (lower-case name
// in quotes, or @, to the data as written).
using Values = std::map<std::string, std::string>;
using Registry = std::map<std::string, Values>;

Registry load_registry(const fs::path& machine);
const std::string* value_of(const Registry& registry, const std::string& key, const std::string& name);
std::optional<std::uint32_t> dword_of(const Registry& registry, const std::string& key,
                                      const std::string& name);
std::string string_of(const Registry& registry, const std::string& key, const std::string& name);

// machine.ini: a key's line in a section, replaced, added or (value empty) taken out.
void set_ini(const fs::path& machine, const std::string& section, const std::string& key,
             const std::string& value);
// A section's lines as (key, value), names as written.
std::vector<std::pair<std::string, std::string>> ini_section(const fs::path& machine,
                                                             const std::string& section);
std::string ini_value(const fs::path& machine, const std::string& section, const std::string& key);

// A new directory under TMPDIR (else /tmp) named after `name`; empty when none can be made.
fs::path make_temp_dir(const std::string& name);

}  // namespace programs
