// Registry calls of the port on the simulated registry, with Windows' statuses: a missing key
// or value is 2, a small buffer 234 with the size needed, the end of an enumeration 259, a
// handle to a deleted key 1018, a handle without the right access 5, a name beyond Windows'
// limits 87 (keys) or 206 (values).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/machine/machine.h"
#include "platform/sim/wow64/wow64.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kKeyWrite = 0x20006;

DWORD key_rights(REGSAM desired) {
  DWORD rights = desired & 0x00FFFFFF & ~kMaximumAllowed;
  if (desired & (kMaximumAllowed | kGenericAll)) rights |= KEY_ALL_ACCESS;
  if (desired & (kGenericRead | kGenericExecute)) rights |= KEY_READ;
  if (desired & kGenericWrite) rights |= kKeyWrite;
  return rights;
}

struct Resolved {
  KeyPtr key;
  DWORD access = 0;
  LSTATUS status = ERROR_SUCCESS;
};

Resolved resolve(HKEY handle) {
  Machine& m = machine();
  Resolved result;
  if (handle == HKEY_LOCAL_MACHINE) {
    result.key = m.hklm;
    result.access = KEY_ALL_ACCESS;
    return result;
  }
  auto found = m.keys.find(handle);
  if (found == m.keys.end()) {
    result.status = ERROR_INVALID_HANDLE;
    return result;
  }
  result.key = found->second->key;
  result.access = found->second->access;
  if (result.key->deleted) result.status = ERROR_KEY_DELETED;
  return result;
}

// The key path below HKLM that a handle and a subkey name stand for, for faults and the trace.
std::string key_path(HKEY handle, const char* sub_key) {
  Machine& m = machine();
  std::string base;
  if (handle != HKEY_LOCAL_MACHINE) {
    auto found = m.keys.find(handle);
    if (found == m.keys.end()) return "(invalid handle)";
    base = found->second->key->deleted ? "(deleted)" : found->second->key->path();
  }
  std::string below;
  for (const std::string& part : split_key_path(sub_key == nullptr ? "" : sub_key)) {
    if (!below.empty()) below += '\\';
    below += part;
  }
  if (base.empty()) return below;
  return below.empty() ? base : base + "\\" + below;
}

std::string label(const std::string& path) {
  return quote(path.empty() ? "HKLM" : "HKLM\\" + path);
}

// Windows' limits on names and depth ("Registry element size limits"): a key name of more than
// 255 characters is an invalid parameter, and so is a key deeper than 512 levels (the error of
// that one is undocumented; 87 is what the kernel answers for the name).  A value name of more
// than 16,383 characters is too long (STATUS_NAME_TOO_LONG, ERROR_FILENAME_EXCED_RANGE).  Kept
// here, a saved machine always loads again.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxDepth = 512;
constexpr std::size_t kMaxValueName = 16383;
constexpr LSTATUS kNameTooLong = 206;
// ERROR_REGISTRY_IO_FAILED: what a flush the disk refuses answers.
constexpr LSTATUS kRegistryIoFailed = 1016;

bool key_names_fit(const char* sub_key) {
  for (const std::string& part : split_key_path(sub_key == nullptr ? "" : sub_key)) {
    if (part.size() > kMaxKeyName) return false;
  }
  return true;
}

// The path below HKLM that a handle and a subkey name reach, as named and in the calling
// process's registry view (the 32-bit view's SOFTWARE is a key of its own).
std::string path_below(const KeyPtr& base, const char* sub_key) {
  std::string below = base->path();
  for (const std::string& part : split_key_path(sub_key == nullptr ? "" : sub_key)) {
    if (!below.empty()) below += '\\';
    below += part;
  }
  return below;
}

std::string path_in_view(const KeyPtr& base, const char* sub_key, DWORD access) {
  return registry_view_path(path_below(base, sub_key), access);
}

// The key that a handle and a subkey name reach in the calling process's registry view.
Key* key_in_view(const KeyPtr& base, const char* sub_key, DWORD access) {
  std::string below = path_below(base, sub_key);
  std::string viewed = registry_view_path(below, access);
  if (viewed == below) return find_key(base.get(), sub_key);
  return find_key(machine().hklm.get(), viewed);
}

// The deepest key of that path that exists in the calling process's registry view, and the
// names below it that don't.
Key* deepest_in_view(const KeyPtr& base, const char* sub_key, DWORD access,
                     std::vector<std::string>* missing) {
  Key* key = machine().hklm.get();
  for (const std::string& part : split_key_path(path_in_view(base, sub_key, access))) {
    Key* below = missing->empty() ? key->find_subkey(part) : nullptr;
    if (below == nullptr) {
      missing->push_back(part);
    } else {
      key = below;
    }
  }
  return key;
}

HKEY open_handle(const KeyPtr& key, DWORD access) {
  auto handle = std::make_unique<KeyHandle>();
  handle->key = key;
  handle->access = access;
  HKEY result = reinterpret_cast<HKEY>(handle.get());
  machine().keys.emplace(handle.get(), std::move(handle));
  return result;
}

const char* type_name(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_QWORD:
      return "REG_QWORD";
    default:
      return "REG_?";
  }
}

// What a value holds, briefly, for the trace.
std::string data_summary(DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr) return "(null)";
  if (type == REG_DWORD && size == 4) {
    DWORD v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
    return hex32(v);
  }
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    return quote(std::string_view(reinterpret_cast<const char*>(data), length));
  }
  return std::to_string(size) + " bytes";
}

}  // namespace

// A volatile key lives in memory only and goes at the next restart; the option counts only for
// the keys the call creates (an existing key stays as it is), and a key below a volatile one
// must be asked for volatile as well.
LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD, char*, DWORD options, REGSAM desired, void*,
                        HKEY* result, DWORD* disposition) {
  bool want_volatile = (options & REG_OPTION_VOLATILE) != 0;
  std::string path = key_path(key, sub_key);
  LSTATUS status = static_cast<LSTATUS>(fault("RegCreateKeyExA", {path}));
  bool created = false;
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (sub_key == nullptr || result == nullptr || !key_names_fit(sub_key)))
      status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS) {
      Key* target = key_in_view(base.key, sub_key, desired);
      if (target == nullptr) {
        if ((base.access & KEY_CREATE_SUB_KEY) == 0) {
          status = ERROR_ACCESS_DENIED;
        } else if (split_key_path(path_in_view(base.key, sub_key, desired)).size() > kMaxDepth) {
          status = ERROR_INVALID_PARAMETER;
        } else {
          std::vector<std::string> missing;
          Key* parent = deepest_in_view(base.key, sub_key, desired, &missing);
          if (parent->is_volatile && !want_volatile) {
            status = ERROR_CHILD_MUST_BE_VOLATILE;
          } else {
            target = parent;
            for (const std::string& part : missing) {
              target = target->create_subkey(part);
              target->is_volatile = want_volatile;
            }
            created = true;
            registry_changed();
          }
        }
      }
      if (status == ERROR_SUCCESS) {
        *result = open_handle(key_ptr(target), key_rights(desired));
        if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
      }
    }
  }
  trace_line("RegCreateKeyExA " + label(path) + " " + hex32(desired) + (want_volatile ? " volatile" : "") +
             " -> " + std::to_string(status) +
             (status == ERROR_SUCCESS ? (created ? " created" : " opened") : ""));
  return status;
}

LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD, REGSAM desired, HKEY* result) {
  std::string path = key_path(key, sub_key);
  LSTATUS status = static_cast<LSTATUS>(fault("RegOpenKeyExA", {path}));
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (result == nullptr || !key_names_fit(sub_key)))
      status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS) {
      Key* target = key_in_view(base.key, sub_key, desired);
      if (target == nullptr) {
        status = ERROR_FILE_NOT_FOUND;
      } else {
        *result = open_handle(key_ptr(target), key_rights(desired));
      }
    }
  }
  trace_line("RegOpenKeyExA " + label(path) + " " + hex32(desired) + " -> " + std::to_string(status));
  return status;
}

LSTATUS RegSetValueExA(HKEY key, const char* value_name, DWORD, DWORD type, const BYTE* data,
                       DWORD data_size) {
  std::string path = key_path(key, nullptr);
  std::string name = value_name == nullptr ? "" : value_name;
  LSTATUS status = static_cast<LSTATUS>(fault("RegSetValueExA", {name, path}));
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (base.access & KEY_SET_VALUE) == 0) status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS && data == nullptr && data_size > 0) status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS && name.size() > kMaxValueName) status = kNameTooLong;
    if (status == ERROR_SUCCESS) {
      base.key->set_value(name, type, {data, data == nullptr ? 0 : data_size});
      registry_changed();
    }
  }
  trace_line("RegSetValueExA " + label(path) + " " + quote(name) + " " + type_name(type) + " " +
             data_summary(type, data, data_size) + " -> " + std::to_string(status));
  return status;
}

LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD*, DWORD* type, BYTE* data,
                         DWORD* data_size) {
  std::string path = key_path(key, nullptr);
  std::string name = value_name == nullptr ? "" : value_name;
  LSTATUS status = static_cast<LSTATUS>(fault("RegQueryValueExA", {name, path}));
  DWORD size = 0;
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (base.access & KEY_QUERY_VALUE) == 0) status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS && data != nullptr && data_size == nullptr) status = ERROR_INVALID_PARAMETER;
    const Value* value = status == ERROR_SUCCESS ? base.key->find_value(name) : nullptr;
    if (status == ERROR_SUCCESS && value == nullptr) status = ERROR_FILE_NOT_FOUND;
    if (status == ERROR_SUCCESS) {
      size = static_cast<DWORD>(value->data.size());
      if (type != nullptr) *type = value->type;
      if (data != nullptr) {
        if (*data_size < size) {
          status = ERROR_MORE_DATA;
        } else if (size > 0) {
          std::memcpy(data, value->data.data(), size);
        }
      }
      if (data_size != nullptr) *data_size = size;
    }
  }
  trace_line("RegQueryValueExA " + label(path) + " " + quote(name) + " -> " + std::to_string(status) +
             (status == ERROR_SUCCESS || status == ERROR_MORE_DATA ? " size " + std::to_string(size) : ""));
  return status;
}

LSTATUS RegDeleteValueA(HKEY key, const char* value_name) {
  std::string path = key_path(key, nullptr);
  std::string name = value_name == nullptr ? "" : value_name;
  LSTATUS status = static_cast<LSTATUS>(fault("RegDeleteValueA", {name, path}));
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (base.access & KEY_SET_VALUE) == 0) status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS) {
      if (!base.key->erase_value(name)) {
        status = ERROR_FILE_NOT_FOUND;
      } else {
        registry_changed();
      }
    }
  }
  trace_line("RegDeleteValueA " + label(path) + " " + quote(name) + " -> " + std::to_string(status));
  return status;
}

LSTATUS RegCloseKey(HKEY key) {
  Machine& m = machine();
  std::string path = key_path(key, nullptr);
  LSTATUS status = static_cast<LSTATUS>(fault("RegCloseKey", {path}));
  if (status == ERROR_SUCCESS && key != HKEY_LOCAL_MACHINE) {
    auto found = m.keys.find(key);
    if (found == m.keys.end()) {
      status = ERROR_INVALID_HANDLE;
    } else {
      m.keys.erase(found);
    }
  }
  trace_line("RegCloseKey " + label(path) + " -> " + std::to_string(status));
  return status;
}

LSTATUS RegFlushKey(HKEY key) {
  std::string path = key_path(key, nullptr);
  LSTATUS status = static_cast<LSTATUS>(fault("RegFlushKey", {path}));
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (base.access & KEY_QUERY_VALUE) == 0) status = ERROR_ACCESS_DENIED;
    std::string error;
    if (status == ERROR_SUCCESS && !flush_hive(*base.key, &error)) {
      std::fprintf(stderr, "halvik: cannot flush the simulated registry: %s\n", error.c_str());
      status = kRegistryIoFailed;
    }
  }
  trace_line("RegFlushKey " + label(path) + " -> " + std::to_string(status));
  return status;
}

LSTATUS SHDeleteKeyA(HKEY key, const char* sub_key) {
  std::string path = key_path(key, sub_key);
  LSTATUS status = static_cast<LSTATUS>(fault("SHDeleteKeyA", {path}));
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && !key_names_fit(sub_key)) status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS) {
      Key* target = key_in_view(base.key, sub_key, 0);
      if (target == nullptr) {
        status = ERROR_FILE_NOT_FOUND;
      } else if (target->parent == nullptr) {
        status = ERROR_ACCESS_DENIED;  // HKEY_LOCAL_MACHINE itself
      } else {
        target->parent->delete_subkey(target->name);
        registry_changed();
      }
    }
  }
  trace_line("SHDeleteKeyA " + label(path) + " -> " + std::to_string(status));
  return status;
}

LSTATUS RegDeleteKeyExA(HKEY key, const char* sub_key, REGSAM view, DWORD) {
  std::string path = key_path(key, sub_key);
  LSTATUS status = static_cast<LSTATUS>(fault("RegDeleteKeyExA", {path}));
  if (status == ERROR_SUCCESS && sub_key == nullptr) status = ERROR_INVALID_PARAMETER;
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS) {
      Key* target = key_in_view(base.key, sub_key, view & (KEY_WOW64_64KEY | KEY_WOW64_32KEY));
      if (target == nullptr) {
        status = ERROR_FILE_NOT_FOUND;
      } else if (target->parent == nullptr || !target->subkeys.empty()) {
        status = ERROR_ACCESS_DENIED;  // HKEY_LOCAL_MACHINE itself, or a key with subkeys
      } else {
        target->parent->delete_subkey(target->name);
        registry_changed();
      }
    }
  }
  trace_line("RegDeleteKeyExA " + label(path) + " " + hex32(view) + " -> " + std::to_string(status));
  return status;
}

LSTATUS SHEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size) {
  std::string path = key_path(key, nullptr);
  LSTATUS status = static_cast<LSTATUS>(fault("SHEnumKeyExA", {path}));
  std::string found_name;
  if (status == ERROR_SUCCESS) {
    Resolved base = resolve(key);
    status = base.status;
    if (status == ERROR_SUCCESS && (base.access & KEY_ENUMERATE_SUB_KEYS) == 0) status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS && (name == nullptr || name_size == nullptr))
      status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS) {
      if (index >= base.key->subkeys.size()) {
        status = ERROR_NO_MORE_ITEMS;
      } else {
        found_name = base.key->subkeys[index]->name;
        if (found_name.size() + 1 > *name_size) {
          status = ERROR_MORE_DATA;
        } else {
          std::memcpy(name, found_name.c_str(), found_name.size() + 1);
          *name_size = static_cast<DWORD>(found_name.size());
        }
      }
    }
  }
  std::string line =
      "SHEnumKeyExA " + label(path) + " " + std::to_string(index) + " -> " + std::to_string(status);
  if (status == ERROR_SUCCESS) {
    line += ' ';  // not " " + ...: GCC 12 at -O3 warns of an overlap there (-Wrestrict) that cannot be
    line += quote(found_name);
  }
  trace_line(line);
  return status;
}

}  // namespace port
