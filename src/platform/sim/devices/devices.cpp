// Boards, device nodes, setup classes and the INF store of the simulated machine (devices.h).
#include "platform/sim/devices/devices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unordered_map>

#include "platform/sim/devices/detail.h"
#include "platform/sim/files/files.h"
#include "platform/sim/machine/machine.h"

namespace sim::devices {

namespace {

using internal::iequals;
using internal::Key;
using internal::lower;
using internal::trim;
using internal::upper;

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(separator, start);
    std::string part =
        trim(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (!part.empty()) parts.push_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

Key* hklm() {
  return internal::machine().hklm.get();
}

void delete_key_at(const std::string& path) {
  std::size_t slash = path.rfind('\\');
  Key* parent = slash == std::string::npos ? hklm() : key_at(path.substr(0, slash));
  if (parent == nullptr) return;
  if (parent->delete_subkey(slash == std::string::npos ? path : path.substr(slash + 1)))
    internal::registry_changed();
}

std::vector<std::uint8_t> sz_bytes(const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

bool valid_instance_id(const std::string& instance_id) {
  return internal::split_path(instance_id).size() == 3 && instance_id.find('/') == std::string::npos;
}

}  // namespace

// ---- machine settings ----------------------------------------------------------------------

namespace {

// The boards as [hardware] lists them, parsed once per change of machine.ini rather than on
// every device call: a machine with many boards would otherwise read the section again for
// each of its devices.
struct BoardTable {
  const internal::IniSection* section = nullptr;
  std::uint64_t generation = ~std::uint64_t{0};
  std::vector<Board> boards;
  std::unordered_map<std::string, std::size_t> by_id;  // upper-cased instance ID
};

Board parse_board(const internal::IniEntry& entry) {
  Board board;
  board.instance_id = trim(entry.key);
  std::vector<std::string> parts = split(entry.value, ';');
  std::size_t first_option = 0;
  if (!parts.empty() && parts[0].find('=') == std::string::npos) {
    board.hardware_ids = split(parts[0], ',');
    first_option = 1;
  }
  for (std::size_t i = first_option; i < parts.size(); ++i) {
    std::size_t equals = parts[i].find('=');
    if (equals == std::string::npos) continue;  // a plain comment
    std::string name = lower(trim(std::string_view(parts[i]).substr(0, equals)));
    std::string value = trim(std::string_view(parts[i]).substr(equals + 1));
    if (name == "compatible") board.compatible_ids = split(value, ',');
    if (name == "remove_error") board.remove_error = parse_number(value);
  }
  return board;
}

const BoardTable& board_table() {
  static BoardTable table;
  const internal::IniSection* section = internal::machine().ini.section("hardware");
  if (section == nullptr) {
    table = BoardTable{};
    return table;
  }
  if (table.section == section && table.generation == section->generation) return table;
  table.section = section;
  table.generation = section->generation;
  table.boards.clear();
  table.by_id.clear();
  for (const internal::IniEntry& entry : section->entries) {
    Board board = parse_board(entry);
    if (!valid_instance_id(board.instance_id)) continue;
    // Of two spellings of one ID, the first listed is the board.
    table.by_id.emplace(upper(board.instance_id), table.boards.size());
    table.boards.push_back(std::move(board));
  }
  return table;
}

}  // namespace

const std::vector<Board>& read_boards() {
  return board_table().boards;
}

const Board* find_board(const std::string& instance_id) {
  const BoardTable& table = board_table();
  auto found = table.by_id.find(upper(instance_id));
  return found == table.by_id.end() ? nullptr : &table.boards[found->second];
}

void write_board(const Board& board) {
  std::string value = join(board.hardware_ids, ",");
  if (!board.compatible_ids.empty()) value += " ; compatible = " + join(board.compatible_ids, ",");
  if (board.remove_error != 0) value += " ; remove_error = " + std::to_string(board.remove_error);
  erase_board(board.instance_id);
  internal::machine().ini.set("hardware", board.instance_id, value);
  internal::ini_changed();
}

void erase_board(const std::string& instance_id) {
  const Board* board = find_board(instance_id);
  if (board == nullptr) return;
  // [hardware] keys are kept trimmed, so the board's ID is its key.
  std::string key = board->instance_id;
  internal::machine().ini.erase("hardware", key);
  internal::ini_changed();
}

namespace {
std::string setting(const char* key) {
  const std::string* raw = internal::machine().ini.get("setupapi", key);
  return raw == nullptr ? "" : trim(internal::ini_value(*raw));
}
}  // namespace

bool restart_required() {
  return parse_number(setting("restart_required")) != 0;
}
port::CONFIGRET reenumerate_error() {
  return parse_number(setting("reenumerate_error"));
}
bool wait_no_pending_available() {
  return !iequals(setting("wait_no_pending"), "absent");
}
bool wait_no_pending_times_out() {
  return iequals(setting("wait_no_pending"), "timeout");
}

void set_setting(const std::string& key, const std::string& value) {
  if (value.empty()) {
    internal::machine().ini.erase("setupapi", key);
  } else {
    internal::machine().ini.set("setupapi", key, value);
  }
  internal::ini_changed();
}

// ---- places ------------------------------------------------------------------------------------

std::string windows_dir() {
  const std::string* raw = internal::machine().ini.get("environment", "SystemRoot");
  std::string dir = raw == nullptr ? "" : trim(internal::ini_value(*raw));
  if (dir.empty()) dir = "C:\\WINDOWS";
  while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string inf_dir() {
  return windows_dir() + "\\inf";
}

std::string platform() {
  Key* environment = key_at("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
  internal::Value* value =
      environment == nullptr ? nullptr : environment->find_value("PROCESSOR_ARCHITECTURE");
  return iequals(sz_text(value), "AMD64") ? "amd64" : "x86";
}

std::string host(const std::string& windows_path) {
  std::string full;
  std::string host_path;
  if (!internal::full_windows_path(windows_path, &full)) return "";
  if (!internal::host_path_of(full, &host_path)) return "";
  return host_path;
}

bool read_windows_file(const std::string& windows_path, std::string* bytes) {
  std::string path = host(windows_path);
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) return false;
  return internal::read_whole_file(path, bytes);
}

bool write_windows_file(const std::string& windows_path, const std::string& bytes) {
  std::string path = host(windows_path);
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

// ---- device nodes --------------------------------------------------------------------------

std::vector<std::string> node_ids() {
  std::vector<std::string> out;
  Key* enum_key = key_at(kEnumKey);
  if (enum_key == nullptr) return out;
  for (Key* enumerator : enum_key->subkeys) {
    for (Key* device : enumerator->subkeys) {
      for (Key* instance : device->subkeys) {
        // Device instance IDs read in upper case, whatever the case of their keys.
        out.push_back(upper(std::string(enumerator->name) + "\\" + std::string(device->name) + "\\" +
                            std::string(instance->name)));
      }
    }
  }
  return out;
}

bool node_exists(const std::string& instance_id) {
  return valid_instance_id(instance_id) && key_at(node_path(instance_id)) != nullptr;
}

std::string stored_node_id(const std::string& instance_id) {
  if (!valid_instance_id(instance_id)) return "";
  Key* key = key_at(node_path(instance_id));
  if (key == nullptr) return "";
  return upper(std::string(key->parent->parent->name) + "\\" + std::string(key->parent->name) + "\\" +
               std::string(key->name));
}

std::vector<std::string> present_node_ids() {
  std::vector<std::string> out;
  for (std::string& id : node_ids()) {
    if (iequals(internal::split_path(id)[0], "ROOT") || find_board(id) != nullptr)
      out.push_back(std::move(id));
  }
  return out;
}

bool node_present(const std::string& instance_id) {
  if (!node_exists(instance_id)) return false;
  if (iequals(internal::split_path(instance_id)[0], "ROOT")) return true;
  return find_board(instance_id) != nullptr;
}

bool node_value(const std::string& instance_id, const std::string& value_name, DWORD* type,
                std::vector<std::uint8_t>* data) {
  Key* key = node_exists(instance_id) ? key_at(node_path(instance_id)) : nullptr;
  internal::Value* value = key == nullptr ? nullptr : key->find_value(value_name);
  if (value == nullptr) return false;
  *type = value->type;
  *data = value->data.vector();
  return true;
}

std::string node_string(const std::string& instance_id, const std::string& value_name) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!node_value(instance_id, value_name, &type, &data)) return "";
  std::string text(data.begin(), data.end());
  std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::vector<std::string> node_ids_value(const std::string& instance_id, const std::string& value_name) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!node_value(instance_id, value_name, &type, &data)) return {};
  return multi_sz_strings(data);
}

void set_node_value(const std::string& instance_id, const std::string& value_name, DWORD type,
                    const std::vector<std::uint8_t>& data) {
  Key* key = key_at(node_path(instance_id));
  if (key == nullptr) return;
  key->set_value(value_name, type, data);
  internal::registry_changed();
}

void create_board_node(const Board& board) {
  if (!valid_instance_id(board.instance_id) || node_exists(board.instance_id)) return;
  Key* key = create_key_at(node_path(board.instance_id));
  key->set_value("HardwareID", port::REG_MULTI_SZ, multi_sz_bytes(board.hardware_ids));
  if (!board.compatible_ids.empty()) {
    key->set_value("CompatibleIDs", port::REG_MULTI_SZ, multi_sz_bytes(board.compatible_ids));
  }
  set_dword(key, "ConfigFlags", 0);
}

void create_root_node(const std::string& instance_id, const std::string& class_guid,
                      const std::string& class_name, const std::vector<std::uint8_t>& hardware_ids,
                      const std::vector<std::uint8_t>& compatible_ids) {
  Key* key = create_key_at(node_path(instance_id));
  if (!hardware_ids.empty()) key->set_value("HardwareID", port::REG_MULTI_SZ, hardware_ids);
  if (!compatible_ids.empty()) key->set_value("CompatibleIDs", port::REG_MULTI_SZ, compatible_ids);
  if (!class_guid.empty()) set_sz(key, "ClassGUID", class_guid);
  if (!class_name.empty()) set_sz(key, "Class", class_name);
  set_dword(key, "ConfigFlags", 0);
}

std::string generate_root_id(const std::string& name, const std::vector<std::string>& taken) {
  std::string device = upper(name);
  for (int number = 0; number < 10000; ++number) {
    char instance[8];
    std::snprintf(instance, sizeof instance, "%04d", number);
    std::string id = "ROOT\\" + device + "\\" + instance;
    bool used = node_exists(id);
    for (const std::string& other : taken) used = used || iequals(other, id);
    if (!used) return id;
  }
  return "";
}

DWORD remove_node(const std::string& instance_id) {
  const Board* board = find_board(instance_id);
  if (board != nullptr && board->remove_error != 0) return board->remove_error;
  if (!node_exists(instance_id)) return port::ERROR_NO_SUCH_DEVINST;
  std::string driver = node_string(instance_id, "Driver");
  if (!driver.empty() && internal::split_path(driver).size() == 2) {
    delete_key_at(std::string(kClassKey) + "\\" + driver);
  }
  std::string path = node_path(instance_id);
  delete_key_at(path);
  // The device key goes with its last instance, as Windows leaves no empty device keys.
  Key* device = key_at(path.substr(0, path.rfind('\\')));
  if (device != nullptr && device->subkeys.empty()) delete_key_at(path.substr(0, path.rfind('\\')));
  return port::ERROR_SUCCESS;
}

// ---- setup classes -------------------------------------------------------------------------

bool parse_guid(const std::string& text, port::GUID* guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  static constexpr int kDashes[] = {9, 14, 19, 24};
  std::string digits;
  for (std::size_t i = 1; i < 37; ++i) {
    bool dash = std::find(std::begin(kDashes), std::end(kDashes), static_cast<int>(i)) != std::end(kDashes);
    if (dash) {
      if (text[i] != '-') return false;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    digits.push_back(text[i]);
  }
  auto hex = [&](std::size_t at, std::size_t count) {
    return static_cast<std::uint32_t>(std::strtoul(digits.substr(at, count).c_str(), nullptr, 16));
  };
  guid->Data1 = hex(0, 8);
  guid->Data2 = static_cast<std::uint16_t>(hex(8, 4));
  guid->Data3 = static_cast<std::uint16_t>(hex(12, 4));
  for (std::size_t i = 0; i < 8; ++i) guid->Data4[i] = static_cast<std::uint8_t>(hex(16 + 2 * i, 2));
  return true;
}

std::string format_guid(const port::GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::vector<std::string> class_guids() {
  std::vector<std::string> out;
  Key* classes = key_at(kClassKey);
  if (classes == nullptr) return out;
  port::GUID guid{};
  for (Key* key : classes->subkeys) {
    if (parse_guid(std::string(key->name), &guid)) out.emplace_back(key->name);
  }
  return out;
}

bool class_name_of(const std::string& guid, std::string* name) {
  Key* key = key_at(std::string(kClassKey) + "\\" + guid);
  internal::Value* value = key == nullptr ? nullptr : key->find_value("Class");
  if (value == nullptr) return false;
  *name = sz_text(value);
  return true;
}

bool class_description_of(const std::string& guid, std::string* description) {
  Key* key = key_at(std::string(kClassKey) + "\\" + guid);
  if (key == nullptr) return false;
  internal::Value* value = key->find_value("");
  if (value != nullptr) {
    *description = sz_text(value);
    return true;
  }
  // A class without a description is described by its name, as Windows does.
  return class_name_of(guid, description);
}

// ---- the INF store -------------------------------------------------------------------------

std::vector<std::string> inf_file_names() {
  std::vector<std::string> out;
  std::string dir = host(inf_dir());
  std::error_code error;
  if (dir.empty() || !std::filesystem::is_directory(dir, error)) return out;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file(error) && name.size() > 4 && iequals(name.substr(name.size() - 4), ".inf")) {
      out.push_back(name);
    }
  }
  std::sort(out.begin(), out.end(),
            [](const std::string& a, const std::string& b) { return upper(a) < upper(b); });
  return out;
}

namespace {

// The precompiled form of a registered INF: a stand-in that records where the INF came from,
// so that drivers installed from the store later find their files.
constexpr char kPnfMagic[] = "HALVIK-SIM PNF 1";

std::string pnf_content(const std::string& source_dir) {
  std::string content(kPnfMagic, sizeof kPnfMagic);  // with its NUL
  content += "source=" + source_dir;
  content.push_back('\0');
  return content;
}

}  // namespace

DWORD register_inf(const std::string& source_path, std::string* oem_name) {
  std::string full;
  std::string content;
  if (!internal::full_windows_path(source_path, &full) || !read_windows_file(full, &content)) {
    return port::ERROR_FILE_NOT_FOUND;
  }
  // From Vista on the package is staged in the driver store first, and the INF registered in
  // the INF directory is the store's: drivers installed from it later take the store's files.
  if (has_driver_store()) {
    std::string staged;
    if (DWORD error = stage_package(full, content, &staged)) return error;
    full = staged;
  }
  std::vector<std::string> names = inf_file_names();
  for (const std::string& name : names) {
    if (name.size() < 8 || !iequals(name.substr(0, 3), "oem")) continue;
    std::string existing;
    if (read_windows_file(inf_dir() + "\\" + name, &existing) && existing == content) {
      // The same INF again: its PNF takes the new source location, as a copy over an existing
      // INF updates it (SetupCopyOEMInf documents SP_COPY_REPLACEONLY for just that), so that
      // drivers installed from it later are copied from where the package is now.
      *oem_name = name;
      write_windows_file(inf_dir() + "\\" + base_name(name) + ".pnf", pnf_content(directory_of(full)));
      return port::ERROR_SUCCESS;
    }
  }
  for (int number = 0; number < 10000; ++number) {
    std::string name = "oem" + std::to_string(number) + ".inf";
    bool taken = false;
    for (const std::string& existing : names) taken = taken || iequals(existing, name);
    std::string pnf_path = inf_dir() + "\\oem" + std::to_string(number) + ".pnf";
    std::error_code error;
    if (taken || std::filesystem::exists(host(pnf_path), error)) continue;
    if (!write_windows_file(inf_dir() + "\\" + name, content) ||
        !write_windows_file(pnf_path, pnf_content(directory_of(full)))) {
      return port::ERROR_ACCESS_DENIED;
    }
    *oem_name = name;
    return port::ERROR_SUCCESS;
  }
  return port::ERROR_FILE_EXISTS;
}

// ---- shared with drivers.cpp ----------------------------------------------------------------

// Numbers as INF files and machine.ini write them: decimal or 0x hexadecimal.
DWORD parse_number(const std::string& text) {
  std::string trimmed = trim(text);
  if (trimmed.empty()) return 0;
  return static_cast<DWORD>(std::strtoul(trimmed.c_str(), nullptr, 0));
}

Key* key_at(const std::string& path) {
  return internal::find_key(hklm(), path);
}

Key* create_key_at(const std::string& path) {
  internal::registry_changed();
  return internal::create_key(hklm(), path);
}

std::string sz_text(const internal::Value* value) {
  if (value == nullptr) return "";
  std::string text(value->data.begin(), value->data.end());
  std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

void set_sz(Key* key, const std::string& name, const std::string& text, DWORD type) {
  key->set_value(name, type, sz_bytes(text));
  internal::registry_changed();
}

void set_dword(Key* key, const std::string& name, DWORD value) {
  std::vector<std::uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(value >> (8 * i));
  key->set_value(name, port::REG_DWORD, data);
  internal::registry_changed();
}

std::string node_path(const std::string& instance_id) {
  return std::string(kEnumKey) + "\\" + instance_id;
}

std::string pnf_source_dir(const std::string& pnf_bytes) {
  std::size_t at = pnf_bytes.find(std::string("source=", 7));
  if (pnf_bytes.compare(0, sizeof kPnfMagic - 1, kPnfMagic) != 0 || at == std::string::npos) return "";
  std::string dir = pnf_bytes.substr(at + 7);
  std::size_t nul = dir.find('\0');
  if (nul != std::string::npos) dir.resize(nul);
  return dir;
}

std::string base_name(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::vector<std::string> multi_sz_strings(const std::vector<std::uint8_t>& data) {
  std::vector<std::string> out;
  std::string current;
  for (std::uint8_t byte : data) {
    if (byte == 0) {
      if (current.empty()) break;
      out.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(byte));
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

std::vector<std::uint8_t> multi_sz_bytes(const std::vector<std::string>& strings) {
  std::vector<std::uint8_t> data;
  for (const std::string& text : strings) {
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
  }
  data.push_back(0);
  if (strings.empty()) data.push_back(0);
  return data;
}

}  // namespace sim::devices
