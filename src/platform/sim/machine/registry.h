// The registry of the simulated machine: the key tree held in memory and registry.reg, its
// file, read and written in the registry editor's export format.  The Reg* calls
// (port_registry.cpp) work on this tree through the machine's handle table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port.h"
#include "platform/sim/machine/hive.h"

namespace sim::internal {

using port::DWORD;

struct Value {
  std::string_view name;  // "" is the default value
  DWORD type = port::REG_NONE;
  // What RegQueryValueExA returns: string types in the ANSI code page.
  Bytes data;
  // String types only: the UTF-16 form loaded from registry.reg when the ANSI form loses
  // something (characters outside the code page, an odd length); written back unchanged as
  // long as the value is not set again.  Most values have none (a null view).
  Bytes wide;
  bool has_wide() const { return wide.ptr != nullptr; }
};

struct Key;
// A key kept alive with the whole tree it was made in (its hive): what a handle holds.
using KeyPtr = std::shared_ptr<Key>;

// A key lives in its tree's hive, as do its name, values and the list of its subkeys; it is
// never freed alone.  A deleted key is marked and unlinked, and stays readable for the handles
// that still point at it.
struct Key {
  std::string_view name;
  Key* parent = nullptr;
  Hive* hive = nullptr;
  Slab<Value> values;  // in creation order
  Slab<Key*> subkeys;  // in the order Windows enumerates them (names compared in upper case)
  bool deleted = false;
  // Held in memory only: gone at the next restart, with everything below it (which is volatile
  // too).  registry.reg marks it with a comment line after its key line.
  bool is_volatile = false;

  Value* find_value(std::string_view value_name);
  Key* find_subkey(std::string_view key_name) const;
  Key* create_subkey(std::string_view key_name);  // existing or new
  Value& set_value(std::string_view value_name, DWORD type, std::span<const std::uint8_t> data);
  Value& set_value(std::string_view value_name, DWORD type, std::initializer_list<std::uint8_t> data) {
    return set_value(value_name, type, std::span<const std::uint8_t>(data.begin(), data.size()));
  }
  void set_wide(Value* value, std::span<const std::uint8_t> wide);  // value is one of this key's
  bool erase_value(std::string_view value_name);
  // Values that replace those of the same name and join the others after them, in one piece
  // when the key has none yet; their names and data stay where they are, so their hive must live
  // as long as this one.
  void take_values(std::span<const Value> taken);
  bool delete_subkey(std::string_view key_name);  // recursive; marks the subtree deleted
  // Takes a key of this or another tree as a subkey (false when one of its name is there): the
  // other tree's hive then lives as long as this one.
  bool adopt(Key* child);
  Key* detach(std::string_view key_name);  // unlinked, not deleted; nullptr when missing
  void rename(std::string_view new_name);  // a detached key, before it is adopted again
  std::string path() const;                // below HKLM, "" for the root
};

// A new, empty tree: its root key (HKEY_LOCAL_MACHINE) in a hive of its own.
KeyPtr new_tree();
// The key as a handle holds it: with the hive it lives in.
KeyPtr key_ptr(Key* key);

// registry.reg's first line, and the one hive it holds.
inline constexpr char kRegFileHeader[] = "Windows Registry Editor Version 5.00";
inline constexpr char kRegFileRoot[] = "HKEY_LOCAL_MACHINE";
// The comment line after a volatile key's line: the registry editor skips it, the sim keeps the
// key volatile from one process to the next.
inline constexpr char kRegVolatileMark[] = "; volatile";

// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: the types held in the ANSI code page.
bool is_string_type(DWORD type);
// <0, 0 or >0 as the upper-case forms of a and b compare (ASCII only, as Windows orders key
// names).
int compare_folded(std::string_view a, std::string_view b) noexcept;
// The next key name of a '\'-separated path at *pos, skipping empty ones; false at the end.
bool next_key_part(std::string_view path, std::size_t* pos, std::string_view* part);

// Looks up a path below `from` ("" is `from` itself); nullptr when some part is missing.
Key* find_key(Key* from, std::string_view path);
Key* create_key(Key* from, std::string_view path);
// Moves what `from` holds into `into`, as if its lines had been read after `into`'s: values
// replace those of the same name, subkeys `into` lacks are moved over whole (never copied),
// the others are merged.  `into`'s hive keeps `from`'s.
void merge_tree(Key* into, Key* from);
// Deletes every volatile key below `root`, as a restart does; true when there was one.
bool drop_volatile_keys(Key* root);

// registry.reg in the registry editor's export format.
// The text is read `chunk` bytes at a time, as a file is (tests vary it).
// From `parts_from` bytes on it is read in two parts side by side (tests lower it; UINT64_MAX:
// never).
bool parse_reg_file(std::string_view bytes, const std::string& file_name, KeyPtr* root, std::string* error,
                    std::size_t chunk = std::size_t{1} << 20, std::uint64_t parts_from = UINT64_MAX);
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
}  // namespace sim::internal
