// The simulated machine as a whole, beneath every component: machine.ini, the faults, the
// handle table and the Machine that holds all state, with loading and saving it.
//
// The registry is a tree of keys held in memory and written back to registry.reg; machine.ini
// is kept as parsed sections (unknown ones round-trip untouched) and is the one home of the
// version, environment, service states and faults.  Port calls go through three helpers:
// fault() (is this call made to fail?), trace_call() (one trace line) and the handle table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/port.h"
#include "platform/sim/machine/text.h"
#include "platform/sim/machine/registry.h"

namespace sim::internal {

using port::DWORD;

// ---- machine.ini ---------------------------------------------------------------------------
struct IniEntry {
  std::string key;
  std::string value;     // raw, trimmed; comments after " ;" are kept here
  std::size_t line = 0;  // where machine.ini gave it, for messages; 0 when set since
};
struct IniSection {
  std::string name;
  std::vector<IniEntry> entries;
  // Changes with every change made through Ini's functions, and differs from every other
  // section's: what is derived from a section (its key index, the boards) is read again only
  // when it changed.  Whoever changes entries directly calls touch().
  std::uint64_t generation = 0;
  void touch();
  // Where each key is in `entries`, by upper-cased key, as of index_generation.
  mutable std::unordered_map<std::string, std::size_t> index;
  mutable std::uint64_t index_generation = 0;

  const IniEntry* find(std::string_view key) const;
  IniEntry* find(std::string_view key);
};
struct Ini {
  std::vector<IniSection> sections;
  // Where each section is in `sections`, by upper-cased name; checked against the section it
  // points at and built again when it no longer matches.
  mutable std::unordered_map<std::string, std::size_t> index;

  IniSection* section(std::string_view name);
  const IniSection* section(std::string_view name) const;
  IniSection& ensure_section(const std::string& name);
  const std::string* get(std::string_view section_name, std::string_view key) const;
  std::string get_or(std::string_view section_name, std::string_view key, const std::string& fallback) const;
  IniEntry& set(const std::string& section_name, const std::string& key, const std::string& value);
  void erase(std::string_view section_name, std::string_view key);
};
bool parse_ini(const std::string& text, const std::string& file_name, Ini* ini, std::string* error);
std::string write_ini(const Ini& ini);
// A value without its trailing " ; comment".
std::string ini_value(const std::string& raw);

// ---- faults --------------------------------------------------------------------------------
struct Fault {
  std::string call;
  std::string argument;  // "" matches any
  int occurrence = 0;    // 0 = every matching call
  DWORD error = 0;
  int seen = 0;  // matching calls so far in this run
  // The machine.ini section it comes from: "faults" (every program) or "faults.PROGRAM".
  std::string section = "faults";
};
// False, with the reason in *why, for a line that names no call, an occurrence or error number
// that is no number or beyond what it can be, or error 0 (a call that fails with success).
bool parse_fault(const std::string& key, const std::string& value, Fault* fault, std::string* why = nullptr);
std::string fault_key(const Fault& fault);

// ---- the machine ---------------------------------------------------------------------------
enum class HandleKind { key, manager, service, token, file, other };

struct KeyHandle {
  KeyPtr key;
  DWORD access = 0;
};
struct ServiceHandle {
  bool manager = false;
  std::string name;  // service name as stored (manager: "")
  DWORD access = 0;
};
// An open file: reads go from the host file straight into the caller's buffer.
struct FileHandle {
  std::string path;  // host path
  int descriptor = -1;
  DWORD share = 0;
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();
};

// A directory search: the entries that matched, as they stood when it began.
struct FindHandle {
  std::string directory;  // Windows path, for the trace
  std::vector<port::WIN32_FIND_DATAA> entries;
  std::size_t next = 0;
};
// A SID from AllocateAndInitializeSid: its identifier authority and sub-authorities.
struct SidRecord {
  std::uint64_t authority = 0;
  std::vector<DWORD> sub_authorities;
};
// A DLL the process loaded: the file it came from and how many loads are not yet freed.
struct LoadedModule {
  std::string path;  // Windows path
  DWORD count = 0;
};

struct Machine {
  bool loaded = false;
  std::string dir;
  KeyPtr hklm;
  Ini ini;
  std::vector<Fault> faults;
  // The platform call this process is ended at, as a killed process is ended: 0 never.  It is
  // counted over every call that consults the faults, which is every traced call, in order.
  long kill_at_call = 0;
  long kill_at_start = 0;  // only in this start of the program (the counterpart runs twice); 0 any
  long calls_made = 0;     // this process's so far
  long start_number = 1;   // which start of its program by its parent this process is
  std::map<std::string, long> children_started;  // by program file
  std::vector<std::string> trace;
  bool trace_to_file = false;
  bool trace_program = false;  // each line starts with the name of the program that made the call
  std::string current_directory;  // the process's, per run
  std::string image_path;         // the running program's file, as GetModuleFileNameA names it
  std::string image_moved_to;     // where that file was renamed to while running; "" not moved
  bool registry_dirty = false;
  bool ini_dirty = false;
  // The registry as the disk holds it (registry.flushed, else registry.reg), once a flush needed
  // it; changed by a flush and not yet saved.
  KeyPtr durable;
  bool durable_changed = false;
  // A restart flushed every hive: at the next save registry.flushed goes.
  bool all_durable = false;
  std::map<void*, std::unique_ptr<KeyHandle>> keys;
  std::map<void*, std::unique_ptr<ServiceHandle>> services;
  std::map<void*, DWORD> tokens;  // access rights
  std::uintptr_t next_token = 0x1000;
  bool shutdown_privilege_enabled = false;
  std::map<void*, std::unique_ptr<FileHandle>> files;
  std::map<void*, std::unique_ptr<FindHandle>> finds;
  std::map<void*, std::unique_ptr<SidRecord>> sids;  // freed with FreeSid
  std::size_t other_handles = 0;                 // fopen streams, device lists
  std::map<void*, std::unique_ptr<LoadedModule>> modules;  // LoadLibraryExA's, by handle
  std::map<std::string, std::string> env_cache;  // stable storage for getenv
};

Machine& machine();  // loads the default machine on first use when none is loaded
// This program's name as a [faults.PROGRAM] section names it: without folder or extension.
std::string program_name();
Machine& raw_machine();
// The running program's file: [process] image when given, else the program's .exe in the
// directory it starts in (where an administrator starts it, and where _spawnlp finds the
// counterpart).
std::string image_path_in(const Ini& ini, const std::string& start_directory);

// The error a call is made to fail with, 0 when it runs normally.  Every candidate argument
// is compared case-insensitively with the fault's argument.
DWORD fault(const char* call, std::initializer_list<std::string_view> arguments = {});
void trace_line(const std::string& line);

// Handles of kinds the sim does not know itself (device lists): counted so tests find leaks.
void count_handle_opened();
void count_handle_closed();
// What Windows does when a process ends: every handle it still holds (keys, service handles,
// tokens, files, searches, device lists) is closed, its SIDs are freed, and a stopped service
// marked for deletion whose last handle that was goes.  Nothing is traced: the program calls
// nothing.
void close_process_handles();
// The device lists a process holds belong to devices/, which stands on this floor: it hands in
// how they are closed (install_device_hooks, called by use_machine); none, nothing is closed.
void set_device_lists_closer(void (*close)());

// The service manager's part in loading a machine and in a process's end.  The manager
// (services/) stands on this floor, so it hands these in (install_service_hooks) before a
// machine is loaded; a hook left empty does nothing.
struct ServiceHooks {
  // Checks the manager's machine.ini sections of a machine being loaded; on one never started,
  // reads the database from the keys.  false with *error set for a section it refuses.
  bool (*load_settings)(Machine& machine, const std::string& dir, std::string* error) = nullptr;
  // A process has ended holding a handle to the service name.
  void (*handle_closed)(const std::string& name) = nullptr;
};
void set_service_hooks(const ServiceHooks& hooks);

// A host file's bytes; false when it can't be read.
bool read_whole_file(const std::string& path, std::string* content);
// A host file opened for reading (its size in *size when asked); -1 when it can't be opened or
// is a directory.
int open_file(const std::string& path, std::size_t* size);

// Registry and ini state changes; mark the machine for saving.
void registry_changed();
void ini_changed();
bool save(std::string* error);
bool load(const std::string& dir, std::string* error);
bool write_machine(const Machine& machine, std::string* error);  // both files, unconditionally
bool reload(std::string* error);  // after a child process ran on the same machine

// ---- durability (durable.cpp) --------------------------------------------------------------
// Windows writes the registry to the disk lazily, a hive at a time; the sim never does it by
// itself.  What a hive held at the last restart or at its last RegFlushKey is what a power cut
// leaves of it.  While some hive has changes not yet flushed, registry.flushed holds that state
// (registry.reg the current one); without it, registry.reg is on the disk as it is.
inline constexpr char kFlushedFile[] = "registry.flushed";
// The hive of `key` (a first-level key of HKLM) is made durable as it is now; HKLM itself is no
// hive and flushes nothing.  False, with the reason, when the durable state can't be read.
bool flush_hive(const Key& key, std::string* error);
// What a power cut leaves: each hive as it was last made durable, volatile keys gone.  False,
// with the reason, when the durable state can't be read.
bool restore_durable_registry(std::string* error);
// Everything is durable, as after a clean shutdown.
void registry_all_durable();
// Called by save() before registry.reg is replaced: keeps registry.flushed true.
bool save_durable_state(std::string* error);
// The registry.reg writer, for registry.flushed.
bool write_registry_file(const std::string& path, const Key& root, std::string* error);

}  // namespace sim::internal
