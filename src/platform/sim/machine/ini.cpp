// machine.ini: what the registry does not hold.
//
//   [system]
//   platform = 2              1 = Windows 9x family, 2 = NT family (GetVersionExA)
//   version = 5.1             major.minor
//   build = 2600              build number
//   service_pack = 3          service pack major number ("Service Pack 3" in szCSDVersion)
//   processor = x86           x86 or AMD64; informational only: the program reads
//                             PROCESSOR_ARCHITECTURE from the registry's Environment key
//   reboot_requested = 0      set to 1 when the program asks for a reboot (ExitWindowsEx)
//   reboot_reason = 0x80040002
//                             the reason that request gave, as Windows would log it; gone
//                             with the restart
//
//   [process]
//   current_directory = C:\Tessaridge\install
//                             the directory each run starts in; SetCurrentDirectoryA changes it
//                             for the run only
//   administrator = 1         0: the process's token holds no enabled Administrators group
//                             (a user without administrator rights, or not elevated)
//
//   [environment]
//   NAME = value              the program's environment; a name not listed is unset; names
//                             are case-insensitive as on Windows
//
//   [services]
//   NAME = state              stopped, start_pending, stop_pending, running,
//                             continue_pending, pause_pending or paused; a service without an
//                             entry is stopped (a service is a Services\NAME key with a Type)
//   NAME.stop = stuck         a stop request leaves it stop_pending for good
//   NAME.delete = linger      once marked for deletion it never vanishes (a service marked
//                             for deletion has DeleteFlag = 1 in its key, as on Windows)
//
//   [faults]
//   CallName [argument] [#n] = error
//                             the port call fails with that Win32 error (registry calls return
//                             it; other calls fail and set the last error); argument, when
//                             given, must equal (ignoring case) the call's key path, value
//                             name, service name or file path; #n fails only its nth such call
//
//   [faults.PROGRAM]          the same, only in the program of that name (no directory, no
//                             extension: install, installx64); [faults] applies in every one
//
//   [trace]
//   enabled = 1               append one line per port call to trace.log
//
//   [file_attributes]
//   C:\path = hidden system   attributes the host file system can't hold (read-only is the
//                             file's write permission)
//
//   [hardware]                the boards in the machine (device simulation)
//
// Sections and keys the sim does not know are kept as they are when the file is rewritten.
// A value may carry a comment after " ;".
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/sim/machine/machine.h"

namespace sim::internal {

const IniSection* Ini::section(std::string_view name) const {
  std::string key = upper(name);
  auto found = index.find(key);
  bool current = index.size() == sections.size() &&
                 (found == index.end() ||
                  (found->second < sections.size() && iequals(sections[found->second].name, name)));
  if (!current) {
    // The sections changed behind the index's back: read their names again.  Of two sections
    // of one name, the first is the one found.
    index.clear();
    for (std::size_t i = sections.size(); i-- > 0;) index[upper(sections[i].name)] = i;
    found = index.find(key);
  }
  return found == index.end() ? nullptr : &sections[found->second];
}

const IniEntry* IniSection::find(std::string_view key) const {
  if (index_generation != generation || index.size() != entries.size()) {
    index.clear();
    // Of two entries of one key (only a direct change makes them), the first is the one found.
    for (std::size_t i = entries.size(); i-- > 0;) index[upper(entries[i].key)] = i;
    index_generation = generation;
  }
  auto found = index.find(upper(key));
  return found == index.end() ? nullptr : &entries[found->second];
}

IniEntry* IniSection::find(std::string_view key) {
  return const_cast<IniEntry*>(static_cast<const IniSection*>(this)->find(key));
}

void IniSection::touch() {
  static std::uint64_t last = 0;
  generation = ++last;
}

IniSection* Ini::section(std::string_view name) {
  return const_cast<IniSection*>(static_cast<const Ini*>(this)->section(name));
}

IniSection& Ini::ensure_section(const std::string& name) {
  if (IniSection* existing = section(name)) return *existing;
  IniSection added;
  added.name = name;
  sections.push_back(std::move(added));
  index[upper(name)] = sections.size() - 1;
  sections.back().touch();
  return sections.back();
}

const std::string* Ini::get(std::string_view section_name, std::string_view key) const {
  const IniSection* s = section(section_name);
  if (s == nullptr) return nullptr;
  const IniEntry* entry = s->find(key);
  return entry == nullptr ? nullptr : &entry->value;
}

std::string Ini::get_or(std::string_view section_name, std::string_view key,
                        const std::string& fallback) const {
  const std::string* raw = get(section_name, key);
  return raw == nullptr ? fallback : ini_value(*raw);
}

IniEntry& Ini::set(const std::string& section_name, const std::string& key, const std::string& value) {
  IniSection& s = ensure_section(section_name);
  IniEntry* entry = s.find(key);  // the index is current from here on
  s.touch();
  s.index_generation = s.generation;  // and stays so: it is kept right below
  if (entry != nullptr) {
    entry->value = value;
    return *entry;
  }
  s.entries.push_back(IniEntry{key, value});
  s.index[upper(key)] = s.entries.size() - 1;
  return s.entries.back();
}

void Ini::erase(std::string_view section_name, std::string_view key) {
  IniSection* s = section(section_name);
  if (s == nullptr) return;
  const IniEntry* entry = s->find(key);
  if (entry == nullptr) return;
  s->entries.erase(s->entries.begin() + (entry - s->entries.data()));
  s->touch();
}

std::string ini_value(const std::string& raw) {
  for (std::size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] == ';' && std::isspace(static_cast<unsigned char>(raw[i - 1]))) return trim(raw.substr(0, i));
  }
  return raw;
}

bool parse_ini(const std::string& text, const std::string& file_name, Ini* ini, std::string* error) {
  Ini result;
  IniSection* current = nullptr;
  std::size_t line_number = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    ++line_number;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      std::size_t close = line.find(']');
      if (close == std::string::npos) {
        *error = file_name + ":" + std::to_string(line_number) + ": unterminated section name (missing ']')";
        return false;
      }
      current = &result.ensure_section(trim(line.substr(1, close - 1)));
      continue;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = file_name + ":" + std::to_string(line_number) + ": expected key = value";
      return false;
    }
    if (current == nullptr) {
      *error = file_name + ":" + std::to_string(line_number) + ": key outside a section";
      return false;
    }
    // A key given twice in a section (sections may repeat too) takes its last value.
    std::string key = trim(line.substr(0, equals));
    result.set(current->name, key, trim(line.substr(equals + 1))).line = line_number;
  }
  *ini = std::move(result);
  return true;
}

std::string write_ini(const Ini& ini) {
  std::string out =
      "; The simulated machine beside registry.reg: version, process, environment,\n"
      "; service states, faults (the README lists every key).\n";
  for (const IniSection& s : ini.sections) {
    out += "\n[" + s.name + "]\n";
    for (const IniEntry& entry : s.entries) out += entry.key + " = " + entry.value + "\n";
  }
  return out;
}

// ---- faults --------------------------------------------------------------------------------

namespace {

// A number read in `base` (0: decimal, 0x hexadecimal or 0 octal, as C reads it); no sign, no
// blanks.  *too_big when it is one but exceeds `limit`.
bool parse_number(const std::string& text, int base, unsigned long long limit, unsigned long long* number,
                  bool* too_big) {
  *too_big = false;
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
  if (end == nullptr || *end != '\0') return false;
  if (errno == ERANGE || parsed > limit) {
    *too_big = true;
    return false;
  }
  *number = parsed;
  return true;
}

bool refuse(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
  return false;
}

}  // namespace

bool parse_fault(const std::string& key, const std::string& value, Fault* fault, std::string* why) {
  std::string spec = trim(key);
  std::size_t blank = spec.find_first_of(" \t");
  Fault result;
  result.call = spec.substr(0, blank);
  if (result.call.empty()) return refuse(why, "no call named");
  std::string rest = blank == std::string::npos ? "" : trim(spec.substr(blank));
  std::size_t hash = rest.rfind('#');
  if (hash != std::string::npos && (hash == 0 || std::isspace(static_cast<unsigned char>(rest[hash - 1])))) {
    std::string number = rest.substr(hash + 1);
    unsigned long long occurrence = 0;
    bool too_big = false;
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
      return refuse(why, "#" + number + " is not an occurrence number");
    // Calls count from 1; "#0" would silently mean every call.
    if (number.find_first_not_of('0') == std::string::npos)
      return refuse(why, "#" + number + " is no call: they count from #1");
    if (!parse_number(number, 10, std::numeric_limits<int>::max(), &occurrence, &too_big))
      return refuse(why, "#" + number + " is beyond the largest occurrence, #" +
                             std::to_string(std::numeric_limits<int>::max()));
    result.occurrence = static_cast<int>(occurrence);
    rest = trim(rest.substr(0, hash));
  }
  result.argument = rest;
  std::string error = ini_value(value);
  unsigned long long number = 0;
  bool too_big = false;
  if (!parse_number(error, 0, std::numeric_limits<DWORD>::max(), &number, &too_big)) {
    return refuse(why, too_big ? error + " is beyond 32 bits, as no Windows error is"
                               : "\"" + error + "\" is not an error number");
  }
  if (number == 0) return refuse(why, "error 0 is success, not a failure");
  result.error = static_cast<DWORD>(number);
  *fault = result;
  return true;
}

std::string fault_key(const Fault& fault) {
  std::string key = fault.call;
  if (!fault.argument.empty()) key += " " + fault.argument;
  if (fault.occurrence > 0) key += " #" + std::to_string(fault.occurrence);
  return key;
}

}  // namespace sim::internal
