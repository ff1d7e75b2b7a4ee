// The simulated machine as a whole: finding, loading and saving it, the fault and trace
// helpers every port call goes through, and the handle table.
#include "platform/sim/machine/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace sim::internal {

namespace {

ServiceHooks service_hooks;

Machine& the_machine() {
  // Never destroyed: taking a registry of millions of keys apart at exit, only for the process's
  // memory to be returned anyway, would cost a tenth of a large machine's load and save.  The
  // machine is saved before (port::shutdown, registered with atexit).
  static Machine& instance = *new Machine;
  return instance;
}

// Writes a file by atomic replace: a temporary file beside it, renamed over it.  A run killed
// half-way leaves the old file or the new one, never a mixture.  The file is not forced to the
// disk (fsync) first: that guards against the host losing power, not against a run that dies,
// and it took longer than reading and writing a large registry together.
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
  if (::close(fd) != 0) {
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
      if (iequals(entry.key, "kill_at_call") || iequals(entry.key, "kill_at_start")) {
        std::string value = ini_value(entry.value);
        char* end = nullptr;
        errno = 0;
        long number = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno != 0 || number < 1 || number > 2147483647) {
          *error = dir + "/machine.ini:" + std::to_string(entry.line) + ": bad " + entry.key + " \"" +
                   entry.value + "\": not a number from 1 to 2147483647";
          return false;
        }
        if (applies)
          (iequals(entry.key, "kill_at_call") ? loaded->kill_at_call : loaded->kill_at_start) = number;
        continue;
      }
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
  if (service_hooks.load_settings != nullptr && !service_hooks.load_settings(*loaded, dir, error))
    return false;
  loaded->dir = dir;
  loaded->trace_to_file = loaded->ini.get_or("trace", "enabled", "0") == "1";
  loaded->trace_program = loaded->ini.get_or("trace", "program", "0") == "1";
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

thread_local DWORD last_error = 0;

}  // namespace

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

std::string image_path_in(const Ini& ini, const std::string& start_directory) {
  if (const std::string* image = ini.get("process", "image"); image != nullptr && !image->empty())
    return *image;
  std::string path = start_directory;
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path + program_name() + ".exe";
}

// The name it was started as may be a Windows path (halvik-sim run passes the command line's
// first token on): its folder goes, whichever separator it has.
std::string program_name() {
  std::string name = program_invocation_name;
  std::size_t folder = name.find_last_of("/\\");
  if (folder != std::string::npos) name.erase(0, folder + 1);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

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
  m.kill_at_call = fresh.kill_at_call;  // the count of calls made is this process's and goes on
  m.kill_at_start = fresh.kill_at_start;
  m.trace_to_file = fresh.trace_to_file;
  m.trace_program = fresh.trace_program;
  m.registry_dirty = false;
  // The child may have flushed: the durable state is read again when it is needed.
  m.durable.reset();
  m.durable_changed = false;
  m.all_durable = false;
  m.ini_dirty = fresh.ini_dirty;  // a service database read from the keys is to be kept
  for (auto& [handle, key] : m.keys) {
    std::string path = key->key->deleted ? "" : key->key->path();
    Key* found = key->key->deleted ? nullptr : find_key(m.hklm.get(), path);
    if (found == nullptr) {
      KeyPtr orphan = new_tree();
      orphan->deleted = true;
      key->key = orphan;
    } else {
      key->key = key_ptr(found);
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
  if (!save_durable_state(error)) return false;
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

bool write_registry_file(const std::string& path, const Key& root, std::string* error) {
  return replace_registry(path, root, error);
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

namespace {

// A process ended from outside (an agent's time-out, Task Manager) stops between two calls:
// what every earlier call did is on the machine, the call it was ended at never happens, the
// system closes its handles, and nothing of its own runs any more (no atexit, no stream
// flush).  It ends with the code TerminateProcess is most often given: 1.
[[noreturn]] void end_killed() {
  close_process_handles();
  std::string error;
  if (!save(&error)) std::fprintf(stderr, "halvik: cannot save the simulated machine: %s\n", error.c_str());
  std::_Exit(1);
}

}  // namespace

DWORD fault(const char* call, std::initializer_list<std::string_view> arguments) {
  Machine& m = machine();
  if (++m.calls_made == m.kill_at_call && (m.kill_at_start == 0 || m.kill_at_start == m.start_number))
    end_killed();
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
      if (m.trace_program) std::fputs((program_name() + ": ").c_str(), file);
      std::fputs(line.c_str(), file);
      std::fputc('\n', file);
      std::fclose(file);
    }
  }
}

void set_service_hooks(const ServiceHooks& hooks) {
  service_hooks = hooks;
}

namespace {
void (*device_lists_closer)() = nullptr;
}  // namespace

void set_device_lists_closer(void (*close)()) {
  device_lists_closer = close;
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
  m.finds.clear();
  m.sids.clear();
  if (device_lists_closer != nullptr) device_lists_closer();
  m.other_handles = 0;
  m.modules.clear();  // a process's DLLs leave with it
  // A service marked for deletion and stopped goes with the last handle that held it.
  if (service_hooks.handle_closed != nullptr) {
    for (const std::string& name : services) service_hooks.handle_closed(name);
  }
}

void count_handle_opened() {
  ++the_machine().other_handles;
}
void count_handle_closed() {
  Machine& m = the_machine();
  if (m.other_handles > 0) --m.other_handles;
}

FileHandle::~FileHandle() {
  if (descriptor >= 0) ::close(descriptor);
}

}  // namespace sim::internal

// ---- the thread's last error ---------------------------------------------------------------

namespace port {

using namespace sim::internal;

DWORD GetLastError() {
  return last_error;
}
void SetLastError(DWORD error) {
  last_error = error;
}

}  // namespace port
