// Registry values as the program reads them.
#include <cstdint>
#include <string>
#include <vector>

#include "steps.h"

namespace halvik_sim::importer {

using namespace sim::internal;

std::string string_value(Key* key, const char* name, bool* found) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  bool usable = value != nullptr && (value->type == port::REG_SZ || value->type == port::REG_EXPAND_SZ);
  if (found != nullptr) *found = usable;
  if (!usable) return "";
  std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

bool dword_value(Key* key, const char* name, DWORD* out) {
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_DWORD || value->data.size() != 4) return false;
  *out = static_cast<DWORD>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                            static_cast<DWORD>(value->data[3]) << 24);
  return true;
}

std::vector<std::string> multi_value(Key* key, const char* name) {
  std::vector<std::string> out;
  Value* value = key == nullptr ? nullptr : key->find_value(name);
  if (value == nullptr || value->type != port::REG_MULTI_SZ) return out;
  std::string item;
  for (std::uint8_t byte : value->data) {
    if (byte != 0) {
      item.push_back(static_cast<char>(byte));
    } else if (!item.empty()) {
      out.push_back(item);
      item.clear();
    }
  }
  if (!item.empty()) out.push_back(item);
  return out;
}

std::string join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

}  // namespace halvik_sim::importer
