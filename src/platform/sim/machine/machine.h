// Inside the simulated machine: the state that every sim/*.cpp file shares.
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
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/port.h"

namespace sim::internal {

using port::DWORD;

// ---- text helpers --------------------------------------------------------------------------
std::string upper(std::string_view text);
std::string lower(std::string_view text);
bool iequals(std::string_view a, std::string_view b);
std::string trim(std::string_view text);
std::vector<std::string> split_path(std::string_view path);  // on '\' and '/', no empty parts
// A registry path's key names: only '\' separates ('/' is part of a name).
std::vector<std::string> split_key_path(std::string_view path);
std::string hex32(DWORD value);  // "0x%x"

// ---- registry ------------------------------------------------------------------------------
struct Value {
  std::string name;  // "" is the default value
  DWORD type = port::REG_NONE;
  // What RegQueryValueExA returns: string types in the ANSI code page.
  std::vector<std::uint8_t> data;
  // String types only: the UTF-16 form loaded from registry.reg when the ANSI form loses
  // something (characters outside the code page, an odd length); written back unchanged as
  // long as the value is not set again.
  std::unique_ptr<std::vector<std::uint8_t>> wide;  // a pointer: most values have none
};

struct Key;
using KeyPtr = std::shared_ptr<Key>;

// Orders key names as Windows enumerates them, in upper case, without building the upper-case
// form: lookups by any spelling need no allocation.
struct KeyNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

struct Key {
  std::string name;
  Key* parent = nullptr;
  bool deleted = false;
  std::vector<Value> values;  // in creation order
  // Case-insensitive, in the order Windows enumerates them (names compared in upper case).
  std::map<std::string, KeyPtr, KeyNameLess> subkeys;

  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key();  // without recursion, however deep the tree

  Value* find_value(std::string_view value_name);
  Key* find_subkey(std::string_view key_name) const;
  Key* create_subkey(std::string_view key_name);  // existing or new
  void set_value(const std::string& value_name, DWORD type, std::vector<std::uint8_t> data);
  bool delete_subkey(std::string_view key_name);  // recursive; marks the subtree deleted
  std::string path() const;                       // below HKLM, "" for the root
};

// Looks up a path below `from` ("" is `from` itself); nullptr when some part is missing.
Key* find_key(Key* from, std::string_view path);
Key* create_key(Key* from, std::string_view path);

// registry.reg in the registry editor's export format.
// The text is read `chunk` bytes at a time, as a file is (tests vary it).
bool parse_reg_file(std::string_view bytes, const std::string& file_name, KeyPtr* root, std::string* error,
                    std::size_t chunk = std::size_t{1} << 20);
// registry.reg from an open file, read a piece at a time: a large file is never held whole.
bool parse_reg_fd(int fd, const std::string& file_name, KeyPtr* root, std::string* error);
std::string write_reg_text(const Key& root);  // UTF-8, sorted, stable
// The same text handed to `write` a piece at a time; false as soon as `write` fails.
bool write_reg_stream(const Key& root, const std::function<bool(std::string_view)>& write);
// One key and what is below it, as .reg text (for halvik-sim show).
std::string write_reg_subtree(const Key& key);
// One value as its .reg line ("name"=dword:00000001); hex data wrapped as the registry editor
// wraps it, or on the one line.
std::string reg_value_line(const Value& value, bool wrapped = true);

// ANSI (code page 1252 taken as Latin-1) <-> UTF-16LE for string values.
std::vector<std::uint8_t> ansi_to_utf16(const std::vector<std::uint8_t>& ansi);
// False when some character has no ANSI form (it becomes '?').
bool utf16_to_ansi(const std::vector<std::uint8_t>& wide, std::vector<std::uint8_t>* ansi);
std::string ansi_to_utf8(std::string_view ansi);
bool utf8_to_utf16(std::string_view utf8, std::u16string* wide);
std::string utf16_to_utf8(const std::u16string& wide);

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

// ---- services ------------------------------------------------------------------------------
inline constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char* service_state_name(DWORD state);
DWORD service_state_from_name(const std::string& name);  // 0 when unknown

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

struct Machine {
  bool loaded = false;
  std::string dir;
  KeyPtr hklm;
  Ini ini;
  std::vector<Fault> faults;
  std::vector<std::string> trace;
  bool trace_to_file = false;
  std::string current_directory;  // the process's, per run
  std::string image_path;         // the running program's file, as GetModuleFileNameA names it
  bool registry_dirty = false;
  bool ini_dirty = false;
  std::map<void*, std::unique_ptr<KeyHandle>> keys;
  std::map<void*, std::unique_ptr<ServiceHandle>> services;
  std::map<void*, DWORD> tokens;  // access rights
  std::uintptr_t next_token = 0x1000;
  bool shutdown_privilege_enabled = false;
  std::map<void*, std::unique_ptr<FileHandle>> files;
  std::size_t other_handles = 0;                 // fopen streams, device lists
  std::map<std::string, std::string> env_cache;  // stable storage for getenv
};

Machine& machine();  // loads the default machine on first use when none is loaded
Machine& raw_machine();

// The error a call is made to fail with, 0 when it runs normally.  Every candidate argument
// is compared case-insensitively with the fault's argument.
DWORD fault(const char* call, std::initializer_list<std::string_view> arguments = {});
void trace_line(const std::string& line);
// A readable argument: a quoted string, or (null).
std::string quote(const char* text);
std::string quote(std::string_view text);

// Handles of kinds the sim does not know itself (device lists): counted so tests find leaks.
void count_handle_opened();
void count_handle_closed();
// What Windows does when a process ends: every handle it still holds (keys, service handles,
// tokens, files, device lists) is closed, and a stopped service marked for deletion whose last
// handle that was goes.  Nothing is traced: the program calls nothing.
void close_process_handles();
void close_device_lists();  // setupapi.cpp

// Registry and ini state changes; mark the machine for saving.
void registry_changed();
void ini_changed();
bool save(std::string* error);
bool load(const std::string& dir, std::string* error);
bool write_machine(const Machine& machine, std::string* error);  // both files, unconditionally
bool reload(std::string* error);  // after a child process ran on the same machine

// Services: the service manager's database ([service_database] in machine.ini).
// Fills the database from the Services keys, as the manager does at boot: every key with a
// Type value, marked for deletion when its DeleteFlag says so.
void read_service_database(Machine& machine);
// "TYPE" or "TYPE marked"; false when the entry is neither.
bool parse_database_entry(const std::string& value, DWORD* type, bool* marked);
bool service_known(const std::string& name);            // in the database
std::string service_key_name(const std::string& name);  // stored case, or name
DWORD service_type(const std::string& name);            // 0 when unknown
// Adds a service to the database: 1072 while one of that name is marked for deletion, 1073
// when it exists.
DWORD create_service(const std::string& name, DWORD type);
void set_service_type(const std::string& name, DWORD type);
DWORD current_service_state(const std::string& name);
void store_service_state(const std::string& name, DWORD state);
std::string service_option(const std::string& name, const std::string& option);
void set_service_option(const std::string& name, const std::string& option, const std::string& value);
bool service_marked_for_delete(const std::string& name);
void mark_service_for_delete(const std::string& name);
void remove_service(const std::string& name);  // from the database, with its key
void service_maybe_vanish(const std::string& name);
// The full Windows path of the image file an ImagePath value names: quoted or not (an unquoted
// one ends at the first blank after a .exe, .sys or .dll, so that arguments don't count), with
// \??\, \SystemRoot\, %SystemRoot%\ or %windir%\ in front, or relative to system_root.
std::string image_file_of(const std::string& image_path, const std::string& system_root);
// The image file of a service of the database ("" when it has none): its ImagePath, or for a
// driver without one System32\drivers\NAME.sys, as the loader finds it.
std::string service_image_file(const std::string& name);
// Whether a host file is the image of a loaded service (any state but stopped): the system has
// it mapped, and it can't be deleted until the service has stopped.
bool loaded_image(const std::string& host);

// A host file's bytes; false when it can't be read.
bool read_whole_file(const std::string& path, std::string* content);
// A host file opened for reading (its size in *size when asked); -1 when it can't be opened or
// is a directory.
int open_file(const std::string& path, std::size_t* size);

// Paths on the simulated drives.
// The full Windows path of `path` against the current directory ("C:\A\b"); false when it is
// not a drive path.
bool full_windows_path(std::string_view path, std::string* full);
// The host path (existing entries found case-insensitively); false when not a drive path.
bool host_path_of(std::string_view windows_path, std::string* host);
// The same, as the system sees it: without a 32-bit process's file system redirection.
bool native_host_path_of(std::string_view windows_path, std::string* host);
// The Windows error for a missing path: 2 when its directory exists, else 3.
DWORD missing_path_error(const std::string& host);
bool is_readonly(const std::string& host);
DWORD extra_attributes(const std::string& windows_full);  // hidden, system
void set_extra_attributes(const std::string& windows_full, DWORD attributes);

// WOW64 (wow64.cpp).  A 32-bit process on a 64-bit machine ([system] processor = AMD64): the
// installer, or whatever sim::set_process_bits(32) made one.
bool process_is_wow64();
// The key path below HKLM that `path` names in the calling process's registry view: SOFTWARE
// is SOFTWARE\Wow6432Node in the 32-bit view, but for the keys both views share.  access may
// ask for the other view (KEY_WOW64_64KEY, KEY_WOW64_32KEY).
std::string registry_view_path(const std::string& path, DWORD access);
// The full Windows path that a file access of the calling process reaches: System32 is
// SysWOW64 for a 32-bit process (but for the folders Windows leaves alone), Sysnative System32.
std::string file_view_path(const std::string& full);

// Templates: a function per name that fills a new machine.
using TemplateFunction = void (*)(Machine& machine);
void register_template(const std::string& name, TemplateFunction function);
TemplateFunction find_template(const std::string& name);
std::vector<std::string> template_names();
void register_builtin_templates();  // xp, w2k
// The devices of xp and w2k, and the templates amd64 and leftovers (templates_devices.cpp).
void register_device_templates();

}  // namespace sim::internal
