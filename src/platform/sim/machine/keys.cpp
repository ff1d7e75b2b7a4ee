// The key tree of the simulated registry: keys held in their tree's hive, found by any spelling
// of their names, enumerated in Windows' order, and freed with the hive however deep they go.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sim/machine/text.h"
#include "platform/sim/machine/registry.h"

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

// Where a subkey of that name is or would go in `subkeys`.
std::size_t subkey_slot(const Slab<Key*>& subkeys, std::string_view key_name) {
  Key* const* at = std::lower_bound(
      subkeys.begin(), subkeys.end(), key_name,
      [](const Key* key, std::string_view name) { return compare_folded(key->name, name) < 0; });
  return static_cast<std::size_t>(at - subkeys.begin());
}

// A new key in the hive, not yet linked anywhere.
Key* make_key(Hive& hive, std::string_view name) {
  Key* key = new (hive.allocate_array<Key>(1)) Key();
  key->name = hive.copy(name);
  key->hive = &hive;
  return key;
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

Key* Key::find_subkey(std::string_view key_name) const {
  std::size_t at = subkey_slot(subkeys, key_name);
  return at < subkeys.size() && compare_folded(subkeys[at]->name, key_name) == 0 ? subkeys[at] : nullptr;
}

Key* Key::create_subkey(std::string_view key_name) {
  // A file lists keys in order, so a new one mostly goes after the last: one comparison then.
  std::size_t at = subkeys.size();
  if (!subkeys.empty()) {
    int last = compare_folded(subkeys.back()->name, key_name);
    if (last == 0) return subkeys.back();
    if (last > 0) {
      at = subkey_slot(subkeys, key_name);
      if (compare_folded(subkeys[at]->name, key_name) == 0) return subkeys[at];
    }
  }
  Key* key = make_key(*hive, key_name);
  key->parent = this;
  subkeys.insert(*hive, at, key);
  return key;
}

Value& Key::set_value(std::string_view value_name, DWORD type, std::span<const std::uint8_t> data) {
  Value* value = find_value(value_name);
  if (value == nullptr) {
    values.push_back(*hive, Value{hive->copy(value_name), type, {}, {}});
    value = &values.back();
  }
  value->type = type;
  value->data = hive->copy(data);
  value->wide = {};
  return *value;
}

void Key::set_wide(Value* value, std::span<const std::uint8_t> wide) {
  value->wide = hive->copy(wide);
}

bool Key::erase_value(std::string_view value_name) {
  Value* value = find_value(value_name);
  if (value == nullptr) return false;
  values.erase(static_cast<std::size_t>(value - values.begin()));
  return true;
}

void Key::take_values(std::span<const Value> taken) {
  if (values.empty()) {
    values.assign(*hive, taken);
    return;
  }
  for (const Value& value : taken) {
    if (Value* existing = find_value(value.name)) {
      *existing = value;
    } else {
      values.push_back(*hive, value);
    }
  }
}

namespace {

// The tree is walked with explicit stacks everywhere, never by recursion: how deep it goes is
// up to the machine's files and the programs that run on it, not to the host's stack.
void mark_deleted(Key& top) {
  std::vector<Key*> pending{&top};
  while (!pending.empty()) {
    Key* key = pending.back();
    pending.pop_back();
    key->deleted = true;
    for (Key* child : key->subkeys) pending.push_back(child);
  }
}

}  // namespace

Key* Key::detach(std::string_view key_name) {
  std::size_t at = subkey_slot(subkeys, key_name);
  if (at == subkeys.size() || compare_folded(subkeys[at]->name, key_name) != 0) return nullptr;
  Key* key = subkeys[at];
  subkeys.erase(at);
  key->parent = nullptr;
  return key;
}

bool Key::delete_subkey(std::string_view key_name) {
  Key* key = detach(key_name);
  if (key == nullptr) return false;
  mark_deleted(*key);
  return true;
}

bool Key::adopt(Key* child) {
  std::size_t at = subkey_slot(subkeys, child->name);
  if (at < subkeys.size() && compare_folded(subkeys[at]->name, child->name) == 0) return false;
  if (child->hive != hive) {
    hive->keep(child->hive->shared_from_this());
    // Keys made below it from now on go into this tree's hive.
    std::vector<Key*> pending{child};
    while (!pending.empty()) {
      Key* key = pending.back();
      pending.pop_back();
      key->hive = hive;
      for (Key* below : key->subkeys) pending.push_back(below);
    }
  }
  child->parent = this;
  subkeys.insert(*hive, at, child);
  return true;
}

void Key::rename(std::string_view new_name) {
  name = hive->copy(new_name);
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

KeyPtr new_tree() {
  auto hive = std::make_shared<Hive>();
  Key* root = make_key(*hive, kRegFileRoot);
  return KeyPtr(std::move(hive), root);
}

KeyPtr key_ptr(Key* key) {
  return KeyPtr(key->hive->shared_from_this(), key);
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

void merge_tree(Key* into, Key* from) {
  into->hive->keep(from->hive->shared_from_this());  // the values taken over stay where they are
  std::vector<std::pair<Key*, Key*>> pending{{into, from}};
  while (!pending.empty()) {
    auto [to, key] = pending.back();
    pending.pop_back();
    to->take_values({key->values.begin(), key->values.size()});
    to->is_volatile = to->is_volatile || key->is_volatile;
    for (Key* child : key->subkeys) {
      if (Key* same = to->find_subkey(child->name)) {
        pending.emplace_back(same, child);
      } else {
        to->adopt(child);
      }
    }
  }
}

bool drop_volatile_keys(Key* root) {
  bool dropped = false;
  std::vector<Key*> pending{root};
  std::vector<std::string_view> volatile_names;
  while (!pending.empty()) {
    Key* key = pending.back();
    pending.pop_back();
    volatile_names.clear();
    for (Key* child : key->subkeys) {
      if (child->is_volatile) {
        volatile_names.push_back(child->name);
      } else {
        pending.push_back(child);
      }
    }
    // The names stay readable in the hive after the keys are unlinked.
    for (std::string_view name : volatile_names) key->delete_subkey(name);
    dropped = dropped || !volatile_names.empty();
  }
  return dropped;
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
