// The key tree of the simulated registry: keys held in memory, found by any spelling of their
// names, enumerated in Windows' order, and destroyed without recursion however deep.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sim/machine/text.h"
#include "platform/sim/registry/registry.h"

namespace sim::internal {

bool is_string_type(DWORD type) {
  return type == port::REG_SZ || type == port::REG_EXPAND_SZ || type == port::REG_MULTI_SZ;
}

// ---- the key tree --------------------------------------------------------------------------

Value* Key::find_value(std::string_view value_name) {
  for (Value& value : values) {
    if (iequals(value.name, value_name)) return &value;
  }
  return nullptr;
}

namespace {

// ASCII only, as the names are compared in the "C" locale.
inline unsigned char fold_upper(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
}

}  // namespace

int compare_folded(std::string_view a, std::string_view b) noexcept {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = fold_upper(a[i]);
    unsigned char cb = fold_upper(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool KeyNameLess::operator()(std::string_view a, std::string_view b) const noexcept {
  return compare_folded(a, b) < 0;
}

Key* Key::find_subkey(std::string_view key_name) const {
  auto found = subkeys.find(key_name);
  return found == subkeys.end() ? nullptr : found->second.get();
}

Key* Key::create_subkey(std::string_view key_name) {
  // A file lists keys in order, so a new one mostly goes after the last: one comparison then.
  auto found = subkeys.end();
  if (!subkeys.empty()) {
    int last = compare_folded(subkeys.rbegin()->first, key_name);
    if (last == 0) return subkeys.rbegin()->second.get();
    if (last > 0) found = subkeys.lower_bound(key_name);
  }
  if (found != subkeys.end() && compare_folded(found->first, key_name) == 0) return found->second.get();
  auto key = std::make_shared<Key>();
  key->name.assign(key_name);
  key->parent = this;
  Key* raw = key.get();
  subkeys.emplace_hint(found, upper(key_name), std::move(key));
  return raw;
}

void Key::set_value(const std::string& value_name, DWORD type, std::vector<std::uint8_t> data) {
  Value* value = find_value(value_name);
  if (value == nullptr) {
    values.push_back(Value{value_name, type, {}, nullptr});
    value = &values.back();
  }
  value->type = type;
  value->data = std::move(data);
  value->wide.reset();
}

// The tree is walked with explicit stacks everywhere, never by recursion: how deep it goes is
// up to the machine's files and the programs that run on it, not to the host's stack.
Key::~Key() {
  std::vector<KeyPtr> pending;
  for (auto& entry : subkeys) pending.push_back(std::move(entry.second));
  subkeys.clear();
  while (!pending.empty()) {
    KeyPtr key = std::move(pending.back());
    pending.pop_back();
    if (key == nullptr) continue;  // a subkey moved elsewhere leaves an empty slot behind
    if (key.use_count() > 1) {
      // Still open somewhere: it and its subtree live on, without the parent that goes now.
      key->parent = nullptr;
      continue;
    }
    // Its children are taken over before it goes, so that its own destruction goes no deeper.
    for (auto& entry : key->subkeys) pending.push_back(std::move(entry.second));
    key->subkeys.clear();
  }
}

namespace {

void mark_deleted(Key& top) {
  std::vector<Key*> pending{&top};
  while (!pending.empty()) {
    Key* key = pending.back();
    pending.pop_back();
    key->deleted = true;
    for (auto& [name, child] : key->subkeys) pending.push_back(child.get());
  }
}

}  // namespace

bool Key::delete_subkey(std::string_view key_name) {
  auto found = subkeys.find(key_name);
  if (found == subkeys.end()) return false;
  mark_deleted(*found->second);
  found->second->parent = nullptr;
  subkeys.erase(found);
  return true;
}

std::string Key::path() const {
  std::vector<const Key*> chain;
  for (const Key* key = this; key->parent != nullptr; key = key->parent) chain.push_back(key);
  std::string result;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!result.empty()) result += '\\';
    result += (*it)->name;
  }
  return result;
}

bool next_key_part(std::string_view path, std::size_t* pos, std::string_view* part) {
  while (*pos < path.size()) {
    std::size_t end = path.find('\\', *pos);
    if (end == std::string_view::npos) end = path.size();
    std::size_t begin = *pos;
    *pos = end < path.size() ? end + 1 : end;
    if (end > begin) {
      *part = path.substr(begin, end - begin);
      return true;
    }
  }
  return false;
}

Key* find_key(Key* from, std::string_view path) {
  Key* key = from;
  std::size_t pos = 0;
  std::string_view part;
  while (next_key_part(path, &pos, &part)) {
    key = key->find_subkey(part);
    if (key == nullptr) return nullptr;
  }
  return key;
}

Key* create_key(Key* from, std::string_view path) {
  Key* key = from;
  std::size_t pos = 0;
  std::string_view part;
  while (next_key_part(path, &pos, &part)) {
    key = key->create_subkey(part);
  }
  return key;
}

}  // namespace sim::internal
