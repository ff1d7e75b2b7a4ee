// registry.reg written from the simulated registry: one stable UTF-8 form, keys depth first in
// Windows' enumeration order, the default value first and the other values sorted by name, so
// two machines compare with diff; a large tree is handed out a piece at a time.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine/text.h"
#include "platform/sim/machine/reg_lines.h"
#include "platform/sim/machine/registry.h"

namespace sim::internal {

namespace {

void append_escaped(std::string_view text, std::string* out) {
  std::size_t from = 0;
  for (std::size_t i = find_special(text, 0); i < text.size(); i = find_special(text, i + 1)) {
    out->append(text.data() + from, i - from);
    *out += '\\';
    from = i;  // the character itself goes with the next run
  }
  out->append(text.data() + from, text.size() - from);
}

// ANSI text as UTF-8, escaped for a quoted string.
void append_escaped_ansi(std::string_view ansi, std::string* out) {
  std::size_t from = 0;  // the run of plain characters not yet appended
  for (std::size_t i = find_special(ansi, 0, true); i < ansi.size(); i = find_special(ansi, i + 1, true)) {
    auto c = static_cast<unsigned char>(ansi[i]);
    out->append(ansi.data() + from, i - from);
    from = i + 1;
    if (c < 0x80) {
      *out += '\\';
      *out += static_cast<char>(c);
    } else {
      *out += static_cast<char>(0xC0 | (c >> 6));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out->append(ansi.data() + from, ansi.size() - from);
}

// hex bytes wrapped like the registry editor does: lines of at most 80 columns, continued
// with a backslash and two blanks.  `column` is where the bytes start on their line.
void append_hex(std::size_t column, std::span<const std::uint8_t> bytes, std::string* out, bool wrap = true) {
  // Each byte's "xx," in four bytes: one copy of four, three of them kept.
  static constexpr auto kPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<std::array<char, 4>, 256> pairs{};
    for (std::size_t b = 0; b < 256; ++b) pairs[b] = {digits[b >> 4], digits[b & 15], ',', 0};
    return pairs;
  }();
  std::size_t count = bytes.size();
  if (count == 0) return;
  // Room for every byte and every continuation (one at most per 25 bytes), written in place.
  std::size_t start = out->size();
  out->resize(start + count * 3 + (count / 25 + 2) * 4);
  char* p = out->data() + start;
  // Every byte but the last is followed by a comma and fits on its line when it ends by
  // column 77; the last one never starts a new line.
  std::size_t last = count - 1;
  std::size_t i = 0;
  while (i < last) {
    std::size_t run = last - i;
    if (wrap) {
      if (column > 74) {
        std::memcpy(p, "\\\n  ", 4);
        p += 4;
        column = 2;
      }
      run = std::min(run, (74 - column) / 3 + 1);
    }
    for (std::size_t end = i + run; i < end; ++i, p += 3) std::memcpy(p, kPairs[bytes[i]].data(), 4);
    column += 3 * run;
  }
  std::memcpy(p, kPairs[bytes[last]].data(), 2);
  p += 2;
  out->resize(static_cast<std::size_t>(p - out->data()));
}

// The text a REG_SZ holds when it is an ordinary string: one terminating NUL, nothing the
// quoted form can't carry.
bool plain_string(const Value& value) {
  const auto& d = value.data;
  if (value.has_wide() || d.empty() || d.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < d.size(); ++i) {
    if (d[i] == 0 || d[i] == '\n' || d[i] == '\r') return false;
  }
  return true;
}

void append_value(const Value& value, std::string* out, bool wrap = true) {
  std::size_t line_start = out->size();
  if (value.name.empty()) {
    out->append("@=");
  } else {
    *out += '"';
    append_escaped(value.name, out);
    out->append("\"=");
  }
  if (value.type == port::REG_SZ && plain_string(value)) {
    *out += '"';
    append_escaped_ansi(
        std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1), out);
    *out += '"';
    return;
  }
  if (value.type == port::REG_DWORD && value.data.size() == 4) {
    static const char hex[] = "0123456789abcdef";
    char digits[14] = {'d', 'w', 'o', 'r', 'd', ':'};
    for (int i = 0; i < 4; ++i) {  // the most significant byte first
      digits[6 + 2 * i] = hex[value.data[3 - i] >> 4];
      digits[7 + 2 * i] = hex[value.data[3 - i] & 15];
    }
    out->append(digits, sizeof digits);
    return;
  }
  if (value.type == port::REG_BINARY) {
    out->append("hex:");
    append_hex(out->size() - line_start, value.data.span(), out, wrap);
    return;
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
  out->append(prefix);
  std::size_t column = out->size() - line_start;
  if (!is_string_type(value.type))
    append_hex(column, value.data.span(), out, wrap);
  else if (value.has_wide())
    append_hex(column, value.wide.span(), out, wrap);
  else
    append_hex(column, ansi_to_utf16(value.data.span()), out, wrap);
}

// Value names in upper case first, then as spelled: the order the file lists them in.
bool value_before(const Value* a, const Value* b) {
  int folded = compare_folded(a->name, b->name);
  return folded != 0 ? folded < 0 : a->name < b->name;
}

// At least as many bytes as write_key writes for the tree below `top`, found without writing:
// the output is reserved once, and what it does not use is never touched.
std::size_t text_bound(const Key& top, std::size_t top_path_size) {
  std::size_t bound = 0;
  std::vector<std::pair<const Key*, std::size_t>> pending{{&top, top_path_size}};  // key, path size
  while (!pending.empty()) {
    auto [key, path_size] = pending.back();
    pending.pop_back();
    bound += path_size + 4;  // "[path]\n" and the blank line after the values
    if (key->is_volatile) bound += sizeof kRegVolatileMark;
    for (const Value& value : key->values) {
      // A data byte takes at most six characters (as UTF-16 in hex), a line of at least
      // 24 bytes a continuation of four; the name at most twice its size, escaped.
      std::size_t bytes = std::max(value.data.size(), value.wide.size());
      bound += 2 * value.name.size() + 32 + bytes * 6 + (bytes * 2 / 24 + 2) * 4;
    }
    for (const Key* child : key->subkeys) pending.emplace_back(child, path_size + 1 + child->name.size());
  }
  return bound;
}

// Writes the keys below `top` into *out.  With `flush`, whatever *out holds is handed to it
// whenever it has grown past kFlushAt, and *out starts again: the text of a large tree is never
// held whole.  False when `flush` fails.
using Flush = std::function<bool(std::string_view)>;
constexpr std::size_t kFlushAt = std::size_t{1} << 20;

bool write_key(const Key& top, const std::string& top_path, std::string* out, const Flush& flush = nullptr) {
  if (flush == nullptr) out->reserve(out->size() + text_bound(top, top_path.size()));
  // Depth first, each key's subkeys in enumeration order: pushed last to first.  One path
  // buffer serves all keys: a key's parent is always the last key written one level up.
  std::vector<std::pair<const Key*, std::size_t>> pending;  // key, depth below top
  std::vector<std::size_t> path_ends;                       // of each level's path in `path`
  std::string path = top_path;
  std::vector<const Value*> values;
  pending.emplace_back(&top, 0);
  while (!pending.empty()) {
    auto [key, depth] = pending.back();
    pending.pop_back();
    if (depth > 0) {
      path.resize(path_ends[depth - 1]);
      path += '\\';
      path += key->name;
    }
    path_ends.resize(depth + 1);
    path_ends[depth] = path.size();
    *out += '[';
    *out += path;
    out->append("]\n");
    if (key->is_volatile) {
      out->append(kRegVolatileMark);
      *out += '\n';
    }
    values.clear();
    for (const Value& value : key->values) values.push_back(&value);
    std::sort(values.begin(), values.end(), value_before);
    for (const Value* value : values) {
      append_value(*value, out);
      *out += '\n';
    }
    *out += '\n';
    if (flush != nullptr && out->size() >= kFlushAt) {
      if (!flush(*out)) return false;
      out->clear();
    }
    for (auto it = key->subkeys.rbegin(); it != key->subkeys.rend(); ++it)
      pending.emplace_back(*it, depth + 1);
  }
  return flush == nullptr || out->empty() || flush(*out);
}

}  // namespace

std::string reg_value_line(const Value& value, bool wrapped) {
  std::string out;
  append_value(value, &out, wrapped);
  return out;
}

std::string write_reg_text(const Key& root) {
  std::string out = std::string(kRegFileHeader) + "\n\n";
  write_key(root, kRegFileRoot, &out);
  return out;
}

bool write_reg_stream(const Key& root, const std::function<bool(std::string_view)>& write) {
  std::string out = std::string(kRegFileHeader) + "\n\n";
  out.reserve(2 * kFlushAt);
  return write_key(root, kRegFileRoot, &out, write);
}

std::string write_reg_subtree(const Key& key) {
  std::string path = key.path();
  std::string out = std::string(kRegFileHeader) + "\n\n";
  write_key(key, path.empty() ? std::string(kRegFileRoot) : std::string(kRegFileRoot) + "\\" + path, &out);
  return out;
}
}  // namespace sim::internal
