// The simulated machine as a whole: finding, loading and saving it, the fault and trace
// helpers every port call goes through, the handle count, services and paths.
#include "platform/sim/machine/machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <unordered_map>

#include "platform/sim/sim.h"

namespace sim::internal {

namespace {

Machine& the_machine() {
  // Never destroyed: taking a registry of millions of keys apart at exit, only for the process's
  // memory to be returned anyway, would cost a tenth of a large machine's load and save.  The
  // machine is saved before (port::shutdown, registered with atexit).
  static Machine& instance = *new Machine;
  return instance;
}

// Writes a file by atomic replace: a temporary file beside it, flushed to disk, renamed over
// it.  A run killed half-way leaves the old file or the new one, never a mixture.
// `produce` hands the content to the writer it is given, in as many pieces as it likes.
using Produce = std::function<bool(const std::function<bool(std::string_view)>& write)>;

bool replace_file_with(const std::string& path, const Produce& produce, std::string* error) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  auto write = [fd](std::string_view piece) {
    std::size_t written = 0;
    while (written < piece.size()) {
      ssize_t n = ::write(fd, piece.data() + written, piece.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      written += static_cast<std::size_t>(n);
    }
    return true;
  };
  if (!produce(write)) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool replace_file(const std::string& path, const std::string& content, std::string* error) {
  return replace_file_with(
      path, [&content](const auto& write) { return write(content); }, error);
}

// registry.reg written as it is produced: the text of a large registry is never held whole.
bool replace_registry(const std::string& path, const Key& root, std::string* error) {
  return replace_file_with(
      path, [&root](const auto& write) { return write_reg_stream(root, write); }, error);
}

// The machine.ini a machine built from a bare registry export starts with.
void default_ini(Ini* ini) {
  ini->set("system", "platform", "2");
  ini->set("system", "version", "5.1");
  ini->set("system", "build", "2600");
  ini->set("system", "service_pack", "3");
  ini->set("system", "processor", "x86");
  ini->set("system", "reboot_requested", "0");
  ini->set("process", "current_directory", "C:\\");
}

// This program's name as a [faults.PROGRAM] section names it: without directory or extension.
std::string program_name() {
  std::string name = program_invocation_short_name;
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The running program's file: [process] image when given, else the program's .exe in the
// directory it starts in (where an administrator starts it, and where _spawnlp finds the
// counterpart).
std::string image_path_in(const Ini& ini, const std::string& start_directory) {
  if (const std::string* image = ini.get("process", "image"); image != nullptr && !image->empty())
    return *image;
  std::string path = start_directory;
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path + program_name() + ".exe";
}

// Whether a machine.ini section holds faults, and whether they apply in this program: [faults]
// in every program, [faults.PROGRAM] only in that one, so that a program and the child it
// starts on the same machine can be made to fail apart.
bool fault_section(const std::string& name, bool* applies) {
  constexpr std::string_view prefix = "faults.";
  if (iequals(name, "faults")) {
    *applies = true;
    return true;
  }
  if (name.size() <= prefix.size() || !iequals(std::string_view(name).substr(0, prefix.size()), prefix))
    return false;
  *applies = iequals(std::string_view(name).substr(prefix.size()), program_name());
  return true;
}

bool parse_machine(const std::string& dir, Machine* loaded, std::string* error) {
  std::string reg_path = dir + "/registry.reg";
  int fd = open_file(reg_path, nullptr);
  if (fd < 0) {
    *error = "no simulated machine in " + dir + " (" + reg_path + " is missing)";
    return false;
  }
  bool registry_read = parse_reg_fd(fd, reg_path, &loaded->hklm, error);
  ::close(fd);
  if (!registry_read) return false;
  std::string ini_text;
  if (read_whole_file(dir + "/machine.ini", &ini_text)) {
    if (!parse_ini(ini_text, dir + "/machine.ini", &loaded->ini, error)) return false;
  } else {
    default_ini(&loaded->ini);
  }
  for (const IniSection& section : loaded->ini.sections) {
    bool applies = false;
    if (!fault_section(section.name, &applies)) continue;
    for (const IniEntry& entry : section.entries) {
      Fault parsed;
      std::string why;
      if (!parse_fault(entry.key, entry.value, &parsed, &why)) {
        *error = dir + "/machine.ini:" + std::to_string(entry.line) + ": bad fault \"" + entry.key + " = " +
                 entry.value + "\": " + why;
        return false;
      }
      parsed.section = section.name;
      if (applies) loaded->faults.push_back(parsed);
    }
  }
  if (const IniSection* services = loaded->ini.section("services")) {
    for (const IniEntry& entry : services->entries) {
      std::string value = ini_value(entry.value);
      std::size_t dot = entry.key.rfind('.');
      std::string option = dot == std::string::npos ? "" : lower(entry.key.substr(dot + 1));
      bool valid = option.empty()       ? service_state_from_name(value) != 0
                   : option == "stop"   ? iequals(value, "stuck")
                   : option == "delete" ? iequals(value, "linger")
                                        : true;
      if (!valid) {
        *error = dir + "/machine.ini:" + std::to_string(entry.line) + ": [services] " + entry.key + " = " +
                 value +
                 (option.empty() ? ": not a service state (stopped, start_pending, stop_pending, running, "
                                   "continue_pending, pause_pending, paused)"
                                 : ": not a known setting");
        return false;
      }
    }
  }
  if (const IniSection* database = loaded->ini.section("service_database")) {
    for (const IniEntry& entry : database->entries) {
      DWORD type = 0;
      bool marked = false;
      if (!parse_database_entry(entry.value, &type, &marked)) {
        *error = dir + "/machine.ini: [service_database] " + entry.key + " = " + entry.value +
                 ": not a service type, optionally followed by \"marked\"";
        return false;
      }
    }
  } else {
    // A machine that has never been started: the manager reads the keys.
    read_service_database(*loaded);
    loaded->ini_dirty = true;
  }
  loaded->dir = dir;
  loaded->trace_to_file = loaded->ini.get_or("trace", "enabled", "0") == "1";
  loaded->current_directory = loaded->ini.get_or("process", "current_directory", "C:\\");
  loaded->image_path = image_path_in(loaded->ini, loaded->current_directory);
  loaded->loaded = true;
  return true;
}

std::string strip_root(std::string_view argument) {
  for (std::string_view prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (argument.size() > prefix.size() && iequals(argument.substr(0, prefix.size()), prefix))
      return std::string(argument.substr(prefix.size()));
  }
  return std::string(argument);
}

std::string default_machine_dir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state != '\0') return std::string(state) + "/halvik/machine";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/halvik/machine";
}

thread_local DWORD last_error = 0;

}  // namespace

Machine& raw_machine() {
  return the_machine();
}

Machine& machine() {
  Machine& m = the_machine();
  if (!m.loaded && port::initialize() != 0) std::exit(1);
  return m;
}

bool load(const std::string& dir, std::string* error) {
  Machine fresh;
  if (!parse_machine(dir, &fresh, error)) return false;
  Machine& m = the_machine();
  // Handles of the previous machine mean nothing any more; the count starts again.
  m = std::move(fresh);
  return true;
}

bool reload(std::string* error) {
  Machine& m = the_machine();
  Machine fresh;
  if (!parse_machine(m.dir, &fresh, error)) return false;
  // What belongs to this process survives: its current directory, trace, open handles and
  // how often each fault has been met.
  for (Fault& fault : fresh.faults) {
    for (const Fault& old : m.faults) {
      if (iequals(old.section, fault.section) && fault_key(old) == fault_key(fault)) fault.seen = old.seen;
    }
  }
  // Open keys find their paths through their parents in the old tree: it stays alive until
  // every handle points into the new one.
  KeyPtr previous = std::move(m.hklm);
  m.hklm = fresh.hklm;
  m.ini = std::move(fresh.ini);
  m.faults = std::move(fresh.faults);
  m.trace_to_file = fresh.trace_to_file;
  m.registry_dirty = false;
  m.ini_dirty = fresh.ini_dirty;  // a service database read from the keys is to be kept
  for (auto& [handle, key] : m.keys) {
    std::string path = key->key->deleted ? "" : key->key->path();
    Key* found = key->key->deleted ? nullptr : find_key(m.hklm.get(), path);
    if (found == nullptr) {
      auto orphan = std::make_shared<Key>();
      orphan->deleted = true;
      key->key = orphan;
    } else if (found == m.hklm.get()) {
      key->key = m.hklm;
    } else {
      key->key = found->parent->subkeys.at(upper(found->name));
    }
  }
  return true;
}

bool save(std::string* error) {
  Machine& m = the_machine();
  if (!m.loaded) return true;
  // A machine whose directory is gone (a test's, removed when it ended) has nowhere to go.
  std::error_code ignored;
  if (!std::filesystem::is_directory(m.dir, ignored)) return true;
  if (m.registry_dirty) {
    if (!replace_registry(m.dir + "/registry.reg", *m.hklm, error)) return false;
    m.registry_dirty = false;
  }
  if (m.ini_dirty) {
    if (!replace_file(m.dir + "/machine.ini", write_ini(m.ini), error)) return false;
    m.ini_dirty = false;
  }
  return true;
}

bool write_machine(const Machine& m, std::string* error) {
  return replace_registry(m.dir + "/registry.reg", *m.hklm, error) &&
         replace_file(m.dir + "/machine.ini", write_ini(m.ini), error);
}

void registry_changed() {
  the_machine().registry_dirty = true;
}
void ini_changed() {
  the_machine().ini_dirty = true;
}

// ---- faults and trace ----------------------------------------------------------------------

DWORD fault(const char* call, std::initializer_list<std::string_view> arguments) {
  Machine& m = machine();
  DWORD result = 0;
  for (Fault& f : m.faults) {
    if (!iequals(f.call, call)) continue;
    if (!f.argument.empty()) {
      std::string wanted = strip_root(f.argument);
      bool matches = false;
      for (std::string_view argument : arguments) {
        if (iequals(wanted, argument)) matches = true;
      }
      if (!matches) continue;
    }
    ++f.seen;
    if (result == 0 && (f.occurrence == 0 || f.seen == f.occurrence)) result = f.error;
  }
  return result;
}

void trace_line(const std::string& line) {
  Machine& m = the_machine();
  m.trace.push_back(line);
  if (m.trace_to_file && m.loaded) {
    if (std::FILE* file = std::fopen((m.dir + "/trace.log").c_str(), "a")) {
      std::fputs(line.c_str(), file);
      std::fputc('\n', file);
      std::fclose(file);
    }
  }
}

std::string quote(const char* text) {
  return text == nullptr ? "(null)" : quote(std::string_view(text));
}

std::string quote(std::string_view text) {
  // Appended piece by piece: GCC 12 at -O3 sees a literal prepended to a temporary string as an
  // overlapping copy (-Wrestrict) where there is none.
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

void close_process_handles() {
  Machine& m = the_machine();
  if (!m.loaded) return;
  std::vector<std::string> services;
  for (const auto& [handle, service] : m.services) {
    if (!service->manager) services.push_back(service->name);
  }
  m.services.clear();
  m.keys.clear();
  m.tokens.clear();
  m.files.clear();
  close_device_lists();
  m.other_handles = 0;
  // A service marked for deletion and stopped goes with the last handle that held it.
  for (const std::string& name : services) service_maybe_vanish(name);
}

void count_handle_opened() {
  ++the_machine().other_handles;
}
void count_handle_closed() {
  Machine& m = the_machine();
  if (m.other_handles > 0) --m.other_handles;
}

// ---- services ------------------------------------------------------------------------------
//
// The service manager's database lives in machine.ini's [service_database]: one line per service
// it knows, "NAME = TYPE" or "NAME = TYPE marked" for a service marked for deletion.  It is read
// from the Services keys at boot (a machine without the section, and a restart); between
// restarts it is the manager's own, so deleting or writing a Services key changes nothing the
// manager knows.

namespace {

constexpr char kDatabase[] = "service_database";

const IniEntry* database_entry(const std::string& name) {
  if (name.empty() || name.find('\\') != std::string::npos) return nullptr;
  const IniSection* database = machine().ini.section(kDatabase);
  if (database == nullptr) return nullptr;
  for (const IniEntry& entry : database->entries) {
    if (iequals(entry.key, name)) return &entry;
  }
  return nullptr;
}

std::string database_value(DWORD type, bool marked) {
  return hex32(type) + (marked ? " marked" : "");
}

DWORD dword_value(Key* key, std::string_view name) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_DWORD || value->data.size() < 4) return 0;
  return value->data[0] | (value->data[1] << 8) | (value->data[2] << 16) |
         (static_cast<DWORD>(value->data[3]) << 24);
}

}  // namespace

bool parse_database_entry(const std::string& value, DWORD* type, bool* marked) {
  std::string text = ini_value(value);
  std::size_t blank = text.find(' ');
  std::string number = text.substr(0, blank);
  std::string rest = blank == std::string::npos ? "" : trim(text.substr(blank));
  char* end = nullptr;
  unsigned long parsed = std::strtoul(number.c_str(), &end, 0);
  if (number.empty() || end == nullptr || *end != '\0' || !(rest.empty() || rest == "marked")) return false;
  *type = static_cast<DWORD>(parsed);
  *marked = !rest.empty();
  return true;
}

void read_service_database(Machine& m) {
  IniSection& database = m.ini.ensure_section(kDatabase);
  database.entries.clear();
  database.touch();
  Key* services = find_key(m.hklm.get(), kServicesKey);
  if (services == nullptr) return;
  for (const auto& [folded, key] : services->subkeys) {
    if (key->find_value("Type") == nullptr) continue;
    database.entries.push_back({key->name, database_value(dword_value(key.get(), "Type"),
                                                          dword_value(key.get(), "DeleteFlag") != 0)});
  }
}

bool service_known(const std::string& name) {
  return database_entry(name) != nullptr;
}

std::string service_key_name(const std::string& name) {
  const IniEntry* entry = database_entry(name);
  return entry == nullptr ? name : entry->key;
}

DWORD service_type(const std::string& name) {
  const IniEntry* entry = database_entry(name);
  DWORD type = 0;
  bool marked = false;
  if (entry != nullptr) parse_database_entry(entry->value, &type, &marked);
  return type;
}

DWORD create_service(const std::string& name, DWORD type) {
  if (service_marked_for_delete(name)) return port::ERROR_SERVICE_MARKED_FOR_DELETE;
  if (service_known(name)) return port::ERROR_SERVICE_EXISTS;
  machine().ini.set(kDatabase, name, database_value(type, false));
  ini_changed();
  return port::ERROR_SUCCESS;
}

void set_service_type(const std::string& name, DWORD type) {
  if (!service_known(name)) return;
  machine().ini.set(kDatabase, service_key_name(name), database_value(type, service_marked_for_delete(name)));
  ini_changed();
}

DWORD current_service_state(const std::string& name) {
  DWORD state = service_state_from_name(machine().ini.get_or("services", name, "stopped"));
  return state == 0 ? port::SERVICE_STOPPED : state;
}

void store_service_state(const std::string& name, DWORD state) {
  machine().ini.set("services", service_key_name(name), service_state_name(state));
  ini_changed();
}

std::string service_option(const std::string& name, const std::string& option) {
  return machine().ini.get_or("services", name + "." + option, "");
}

void set_service_option(const std::string& name, const std::string& option, const std::string& value) {
  Machine& m = machine();
  if (value.empty()) {
    m.ini.erase("services", name + "." + option);
  } else {
    m.ini.set("services", service_key_name(name) + "." + option, value);
  }
  ini_changed();
}

// The manager deletes a service by deleting its key, with everything below it.
void remove_service(const std::string& name) {
  Machine& m = machine();
  if (Key* services = find_key(m.hklm.get(), kServicesKey)) {
    if (services->delete_subkey(name)) registry_changed();
  }
  m.ini.erase(kDatabase, name);
  for (const char* option : {"", ".stop", ".delete"}) m.ini.erase("services", name + option);
  ini_changed();
}

bool service_marked_for_delete(const std::string& name) {
  const IniEntry* entry = database_entry(name);
  DWORD type = 0;
  bool marked = false;
  return entry != nullptr && parse_database_entry(entry->value, &type, &marked) && marked;
}

// As DeleteService records it: the database entry is marked, and the key (when there still is
// one) says so with DeleteFlag = 1 and Start = 4 (disabled) for the next boot.
void mark_service_for_delete(const std::string& name) {
  Machine& m = machine();
  m.ini.set(kDatabase, service_key_name(name), database_value(service_type(name), true));
  ini_changed();
  Key* services = find_key(m.hklm.get(), kServicesKey);
  Key* key = services == nullptr ? nullptr : services->find_subkey(name);
  if (key != nullptr) {
    key->set_value("DeleteFlag", port::REG_DWORD, {1, 0, 0, 0});
    key->set_value("Start", port::REG_DWORD, {4, 0, 0, 0});
    registry_changed();
  }
}

// A service marked for deletion goes once nothing holds it: no open handle and stopped.
void service_maybe_vanish(const std::string& name) {
  Machine& m = machine();
  if (!service_marked_for_delete(name)) return;
  if (iequals(service_option(name, "delete"), "linger")) return;
  for (const auto& [handle, service] : m.services) {
    if (!service->manager && iequals(service->name, name)) return;
  }
  if (current_service_state(name) != port::SERVICE_STOPPED) return;
  remove_service(name);
}

// ---- service images ------------------------------------------------------------------------

std::string image_file_of(const std::string& image_path, const std::string& system_root) {
  std::string image = trim(image_path);
  if (!image.empty() && image[0] == '"') {
    std::size_t close = image.find('"', 1);
    image = image.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    for (std::size_t blank = image.find(' '); blank != std::string::npos;
         blank = image.find(' ', blank + 1)) {
      std::string_view before(image.data(), blank);
      bool program = before.size() > 4 && (iequals(before.substr(before.size() - 4), ".exe") ||
                                           iequals(before.substr(before.size() - 4), ".sys") ||
                                           iequals(before.substr(before.size() - 4), ".dll"));
      if (program) {
        image.resize(blank);
        break;
      }
    }
  }
  for (std::string_view prefix : {"\\??\\", "\\SystemRoot\\", "%SystemRoot%\\", "%windir%\\"}) {
    if (image.size() > prefix.size() && iequals(std::string_view(image).substr(0, prefix.size()), prefix)) {
      image = (prefix[1] == '?' ? "" : system_root + "\\") + image.substr(prefix.size());
      break;
    }
  }
  if (image.size() >= 2 && image[1] == ':') return image;
  if (!image.empty() && image[0] == '\\') return system_root.substr(0, 2) + image;
  return image.empty() ? "" : system_root + "\\" + image;
}

namespace {

std::string system_root() {
  std::string root = machine().ini.get_or("environment", "SystemRoot", "C:\\WINDOWS");
  while (root.size() > 3 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  return root;
}

}  // namespace

std::string service_image_file(const std::string& name) {
  Key* services = find_key(machine().hklm.get(), kServicesKey);
  Key* key = services == nullptr ? nullptr : services->find_subkey(name);
  const Value* value = key == nullptr ? nullptr : key->find_value("ImagePath");
  std::string image;
  if (value != nullptr && (value->type == port::REG_SZ || value->type == port::REG_EXPAND_SZ)) {
    image.assign(value->data.begin(), value->data.end());
    image.resize(std::min(image.size(), image.find('\0')));
  }
  if (image.empty() && (service_type(name) & 0x3) != 0) image = "System32\\drivers\\" + name + ".sys";
  // The service manager expands the system's variables in it (%ProgramFiles%, ...).
  std::string expanded;
  for (std::size_t at = 0; at < image.size();) {
    std::size_t open = image.find('%', at);
    std::size_t close = open == std::string::npos ? std::string::npos : image.find('%', open + 1);
    if (close == std::string::npos) {
      expanded += image.substr(at);
      break;
    }
    const std::string* defined = machine().ini.get("environment", image.substr(open + 1, close - open - 1));
    expanded += image.substr(at, open - at);
    expanded += defined == nullptr ? image.substr(open, close + 1 - open) : ini_value(*defined);
    at = close + 1;
  }
  return expanded.empty() ? "" : image_file_of(expanded, system_root());
}

bool loaded_image(const std::string& host) {
  const IniSection* states = machine().ini.section("services");
  if (states == nullptr) return false;
  for (const IniEntry& entry : states->entries) {
    if (entry.key.find('.') != std::string::npos || !service_known(entry.key)) continue;
    DWORD state = service_state_from_name(ini_value(entry.value));
    if (state == 0 || state == port::SERVICE_STOPPED) continue;
    std::string image = service_image_file(entry.key);
    std::string image_host;
    if (!image.empty() && native_host_path_of(image, &image_host) && image_host == host) return true;
  }
  return false;
}

// ---- paths ---------------------------------------------------------------------------------

FileHandle::~FileHandle() {
  if (descriptor >= 0) ::close(descriptor);
}

int open_file(const std::string& path, std::size_t* size) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  if (size != nullptr) *size = static_cast<std::size_t>(info.st_size);
  return fd;
}

bool read_whole_file(const std::string& path, std::string* content) {
  // Straight into a string of the file's size: a stream buffer would grow by doubling and then
  // be copied, holding up to three times the file at once.
  std::size_t size = 0;
  int fd = open_file(path, &size);
  if (fd < 0) return false;
  std::string text(size, '\0');
  std::size_t filled = 0;
  ssize_t n = 0;
  while (filled < text.size()) {
    n = ::read(fd, text.data() + filled, text.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  text.resize(filled);
  // Whatever the file grew by since its size was read.
  char more[4096];
  while (n >= 0) {
    n = ::read(fd, more, sizeof more);
    if (n < 0 && errno == EINTR) {
      n = 0;
      continue;
    }
    if (n <= 0) break;
    text.append(more, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (n < 0) return false;
  *content = std::move(text);
  return true;
}

bool full_windows_path(std::string_view path, std::string* full) {
  std::string text(path);
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  Machine& m = machine();
  std::string current = m.current_directory;
  char current_drive = current.size() >= 2 && current[1] == ':'
                           ? static_cast<char>(std::toupper(static_cast<unsigned char>(current[0])))
                           : 'C';
  char drive = current_drive;
  std::string rest;
  bool absolute = false;
  if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    rest = text.substr(2);
    // Another drive's current directory is its root.
    absolute = (!rest.empty() && rest[0] == '\\') || drive != current_drive;
  } else if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    return false;  // UNC paths are not on a simulated drive
  } else if (!text.empty() && text[0] == '\\') {
    rest = text;
    absolute = true;
  } else {
    rest = text;
  }
  std::vector<std::string> parts;
  if (!absolute) {
    std::vector<std::string> base = split_path(current.size() >= 2 ? current.substr(2) : "");
    parts = base;
  }
  for (const std::string& part : split_path(rest)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result(1, drive);
  result += ":\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += '\\';
    result += parts[i];
  }
  *full = result;
  return true;
}

namespace {

// A host directory's entries by case-folded name, as last read.  Every writer (the program, the
// machine's own steps, halvik-sim, a test) changes a directory's modification time when it
// creates, renames or deletes an entry in it, so the index is read again whenever that time
// differs from the one it was read at.  An index read within the file system's timestamp
// granularity of the last change is not trusted: a second change in the same tick would leave the
// time as it was.
struct DirectoryIndex {
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
  timespec read_at{};
  std::unordered_map<std::string, std::string> names;  // folded name -> stored name
};

std::string fold_name(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return folded;
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether `later` is at least a second after `earlier`: beyond any file system's timestamp tick.
bool settled(const timespec& earlier, const timespec& later) {
  return later.tv_sec - earlier.tv_sec > 1 ||
         (later.tv_sec - earlier.tv_sec == 1 && later.tv_nsec >= earlier.tv_nsec);
}

// The stored name of `part` in the host directory `dir`, found case-insensitively; an entry of
// exactly that name wins over others that differ from it only in case.  false when there is none.
bool find_entry(const std::string& dir, const std::string& part, std::string* name) {
  struct stat info {};
  std::string exact = dir + "/" + part;
  if (::lstat(exact.c_str(), &info) == 0) {
    *name = part;
    return true;
  }
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  static std::unordered_map<std::string, DirectoryIndex> indexes;
  DirectoryIndex& index = indexes[dir];
  bool current = index.device == info.st_dev && index.inode == info.st_ino &&
                 same_time(index.modified, info.st_mtim) && settled(index.modified, index.read_at);
  if (!current) {
    index.names.clear();
    index.device = info.st_dev;
    index.inode = info.st_ino;
    index.modified = info.st_mtim;
    ::clock_gettime(CLOCK_REALTIME, &index.read_at);
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
      index.device = 0;  // read again next time
      return false;
    }
    // Of several names that differ only in case, the last one listed is kept.
    while (dirent* entry = ::readdir(handle)) index.names[fold_name(entry->d_name)] = entry->d_name;
    ::closedir(handle);
  }
  auto found = index.names.find(fold_name(part));
  if (found == index.names.end()) return false;
  *name = found->second;
  return true;
}

}  // namespace

namespace {

// The host path of a full Windows path, its existing entries found whatever their case.
std::string host_of_full(const std::string& full) {
  std::string result =
      machine().dir + "/drive_" + static_cast<char>(std::tolower(static_cast<unsigned char>(full[0])));
  bool exists = true;
  std::string name;
  for (const std::string& part : split_path(full.substr(2))) {
    exists = exists && find_entry(result, part, &name);
    result += '/';
    result += exists ? name : part;
  }
  return result;
}

}  // namespace

bool host_path_of(std::string_view windows_path, std::string* host) {
  std::string full;
  if (!full_windows_path(windows_path, &full)) return false;
  *host = host_of_full(file_view_path(full));
  return true;
}

bool native_host_path_of(std::string_view windows_path, std::string* host) {
  std::string full;
  if (!full_windows_path(windows_path, &full)) return false;
  *host = host_of_full(full);
  return true;
}

DWORD missing_path_error(const std::string& host) {
  std::filesystem::path parent = std::filesystem::path(host).parent_path();
  // A drive the machine doesn't have: its root is a missing path, not a missing file.
  if (parent == std::filesystem::path(machine().dir)) return port::ERROR_PATH_NOT_FOUND;
  std::error_code ignored;
  return std::filesystem::is_directory(parent, ignored) ? port::ERROR_FILE_NOT_FOUND
                                                        : port::ERROR_PATH_NOT_FOUND;
}

bool is_readonly(const std::string& host) {
  struct stat info {};
  return ::stat(host.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

DWORD extra_attributes(const std::string& windows_full) {
  std::string text = machine().ini.get_or("file_attributes", windows_full, "");
  DWORD attributes = 0;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (iequals(word, "hidden")) attributes |= port::FILE_ATTRIBUTE_HIDDEN;
    if (iequals(word, "system")) attributes |= port::FILE_ATTRIBUTE_SYSTEM;
  }
  return attributes;
}

void set_extra_attributes(const std::string& windows_full, DWORD attributes) {
  Machine& m = machine();
  std::string text;
  if (attributes & port::FILE_ATTRIBUTE_HIDDEN) text += "hidden";
  if (attributes & port::FILE_ATTRIBUTE_SYSTEM) text += text.empty() ? "system" : " system";
  if (text.empty()) {
    if (m.ini.get("file_attributes", windows_full) == nullptr) return;
    m.ini.erase("file_attributes", windows_full);
  } else {
    m.ini.set("file_attributes", windows_full, text);
  }
  ini_changed();
}

// ---- templates -----------------------------------------------------------------------------

namespace {
std::map<std::string, TemplateFunction>& templates() {
  static std::map<std::string, TemplateFunction> table;
  return table;
}
}  // namespace

void register_template(const std::string& name, TemplateFunction function) {
  templates()[lower(name)] = function;
}

TemplateFunction find_template(const std::string& name) {
  register_builtin_templates();
  auto found = templates().find(lower(name));
  return found == templates().end() ? nullptr : found->second;
}

std::vector<std::string> template_names() {
  register_builtin_templates();
  std::vector<std::string> names;
  for (const auto& [name, function] : templates()) names.push_back(name);
  return names;
}

}  // namespace sim::internal

// ---- start-up, shut-down and the thread's last error ---------------------------------------

namespace port {

using namespace sim::internal;

DWORD GetLastError() {
  return last_error;
}
void SetLastError(DWORD error) {
  last_error = error;
}

int initialize() {
  Machine& m = raw_machine();
  if (m.loaded) return 0;
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit([] { port::shutdown(); });
  }
  std::string error;
  const char* named = std::getenv("HALVIK_MACHINE");
  std::string dir;
  if (named != nullptr && *named != '\0') {
    dir = named;
  } else {
    dir = default_machine_dir();
    std::error_code ignored;
    if (!std::filesystem::exists(dir + "/registry.reg", ignored)) {
      std::filesystem::create_directories(dir, ignored);
      if (!sim::create_machine(dir, "xp", &error)) {
        std::fprintf(stderr, "halvik: cannot create the simulated machine: %s\n", error.c_str());
        return 1;
      }
    }
  }
  if (!sim::use_machine(dir, &error)) {
    std::fprintf(stderr, "halvik: cannot load the simulated machine: %s\n", error.c_str());
    return 1;
  }
  // A program started by another one on this machine inherits its current directory.
  if (const char* inherited = std::getenv("HALVIK_CURRENT_DIRECTORY")) {
    if (*inherited != '\0') {
      raw_machine().current_directory = inherited;
      raw_machine().image_path = image_path_in(raw_machine().ini, inherited);
    }
  }
  return 0;
}

void shutdown() {
  close_process_handles();
  std::string error;
  if (!save(&error)) std::fprintf(stderr, "halvik: cannot save the simulated machine: %s\n", error.c_str());
}

}  // namespace port
