// What the device sources (devices.cpp, drivers.cpp, driver_store.cpp) share among themselves: the registry
// as the device side reads and writes it, and the INF store's names.  Other folders include devices.h.
#pragma once

#include <string>

#include "platform/port.h"
#include "platform/sim/devices/inf.h"
#include "platform/sim/machine/text.h"
#include "platform/sim/machine/registry.h"

namespace sim::devices {

using internal::Key;
using port::DWORD;

// Numbers as INF files and machine.ini write them: decimal or 0x hexadecimal.
DWORD parse_number(const std::string& text);
// Keys below HKLM; every change marks the registry for saving.
Key* key_at(const std::string& path);
Key* create_key_at(const std::string& path);
std::string sz_text(const internal::Value* value);  // "" for none
void set_sz(Key* key, const std::string& name, const std::string& text, DWORD type = port::REG_SZ);
void set_dword(Key* key, const std::string& name, DWORD value);
std::string node_path(const std::string& instance_id);  // its Enum key

// Where a registered INF came from, as its PNF records it ("" for another PNF).
std::string pnf_source_dir(const std::string& pnf_bytes);
using internal::directory_of;  // "" for a bare name
std::string base_name(const std::string& name);             // without its extension
std::string file_name_of(const std::string& windows_path);  // the last part (driver_store.cpp)

// ---- files of a driver package (drivers.cpp) ----
struct FileCopy {
  std::string source;       // Windows path
  std::string destination;  // Windows path
};
// Where an INF's SourceDisksFiles and SourceDisksNames put a file of the package.
std::string source_file(const inf::Inf& inf, const std::string& name, const std::string& inf_dir_path);
bool file_present(const std::string& windows_path);
bool copy_file(const FileCopy& copy);  // false when the source can't be read or the copy written

}  // namespace sim::devices
