// registry.reg read into the simulated registry, in the registry editor's export format
// ("Windows Registry Editor Version 5.00"): what a real `reg export` of HKEY_LOCAL_MACHINE
// writes (UTF-16LE with BOM, CR LF, hex values continued over lines) as well as UTF-8, a
// megabyte at a time.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine/text.h"
#include "platform/sim/machine/reg_parts.h"

namespace sim::internal {

namespace {

// How deep a registry tree can go on Windows.
constexpr std::size_t kMaxDepth = 512;
// How much of registry.reg is read at a time.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

std::string_view trim_view(std::string_view text) {
  // Nearly every line has nothing to trim: its first and last characters say so.
  if (text.empty() ||
      (static_cast<unsigned char>(text.front()) > ' ' && static_cast<unsigned char>(text.back()) > ' '))
    return text;
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The first fault met, by its line in the part read.
struct Parser {
  PartRead* part;

  bool fail(std::size_t index, std::string what) {
    part->failed = true;
    part->fault_line = index;
    part->fault = std::move(what);
    return false;
  }
  // A removal in a later part needs the keys of the parts before it: that part is read again
  // after them, and what it made so far is of no use.
  bool stop() {
    part->stopped = true;
    return false;
  }
};

// A quoted string starting at text[*pos] == '"'; \\ and \" are the escapes.
bool parse_quoted(std::string_view text, std::size_t* pos, std::string* out) {
  out->clear();
  std::size_t i = *pos + 1;
  while (i < text.size()) {
    std::size_t stop = find_special(text, i);
    if (stop == text.size()) return false;
    out->append(text.data() + i, stop - i);
    i = stop;
    if (text[i] == '"') {
      *pos = i + 1;
      return true;
    }
    if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      *out += text[i + 1];
      i += 2;
    } else {
      *out += '\\';
      ++i;
    }
  }
  return false;
}

constexpr int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// At most how many bytes parse_hex_bytes makes of the text: every byte but the last ends with
// a comma.  For a short text, what its length allows (a digit and a comma a byte) is found
// without reading it; the room it does not use is given back at once.
std::size_t hex_bytes_bound(std::string_view text) {
  if (text.size() < 4096) return text.size() / 2 + 1;
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1;
}

// "01,02,ff" (blanks allowed, a trailing comma too) into bytes at `first`, which has room for
// hex_bytes_bound of the text, in one pass: a real export holds millions of them.  *count is
// how many it made.
bool parse_hex_bytes(std::string_view text, std::uint8_t* first, std::size_t* count) {
  std::uint8_t* out = first;
  // The form every writer uses, two digits and a comma, one table lookup a byte; whatever else
  // there is (blanks, single digits, mistakes) goes the careful way below from there on.
  static const std::vector<std::int16_t> kPairs = [] {
    std::vector<std::int16_t> table(65536, -1);
    for (int high = 0; high < 256; ++high) {
      for (int low = 0; low < 256; ++low) {
        int h = hex_digit(static_cast<char>(high));
        int l = hex_digit(static_cast<char>(low));
        if (h >= 0 && l >= 0)
          table[static_cast<std::size_t>(high | low << 8)] = static_cast<std::int16_t>(h << 4 | l);
      }
    }
    return table;
  }();
  auto pair_at = [&](std::size_t i) {
    return kPairs[static_cast<unsigned char>(text[i]) |
                  static_cast<unsigned>(static_cast<unsigned char>(text[i + 1])) << 8];
  };
  std::size_t at = 0;
  while (at + 3 <= text.size()) {
    int byte = pair_at(at);
    if (byte < 0 || text[at + 2] != ',') break;
    *out++ = static_cast<std::uint8_t>(byte);
    at += 3;
  }
  if (at + 2 == text.size() && pair_at(at) >= 0) {
    *out++ = static_cast<std::uint8_t>(pair_at(at));
    at += 2;
  }
  int digits = 0;
  int value = 0;
  for (char c : text.substr(at)) {
    if (c == ' ' || c == '\t') continue;
    if (c == ',') {
      if (digits == 0) return false;
      *out++ = static_cast<std::uint8_t>(value);
      digits = 0;
      value = 0;
      continue;
    }
    int digit = hex_digit(c);
    if (digit < 0 || digits == 2) return false;
    value = value * 16 + digit;
    ++digits;
  }
  if (digits > 0) *out++ = static_cast<std::uint8_t>(value);
  *count = static_cast<std::size_t>(out - first);
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// The values read for one key, gathered until the next key line and then given to the key in
// one piece of its hive: a key's list of values takes no more room than its values.  The data
// goes straight into the hive as it is read.
class KeyValues {
 public:
  Key* key = nullptr;

  // The key of the lines that follow (nullptr: none); the values of the one before are stored.
  void start(Key* next) {
    if (key != nullptr && !values_.empty()) key->take_values(values_);
    values_.clear();
    key = next;
  }
  Hive& hive() { return *key->hive; }

  void set(std::string_view name, DWORD type, Bytes data, Bytes wide = {}) {
    for (Value& value : values_) {
      if (iequals(value.name, name)) {
        value = Value{value.name, type, data, wide};
        return;
      }
    }
    values_.push_back(Value{hive().copy(name), type, data, wide});
  }
  // A string type read as UTF-16: kept in its ANSI form, and as read when that loses something.
  void set_utf16(std::string_view name, DWORD type, Bytes wide) {
    std::vector<std::uint8_t>& ansi = scratch_;
    bool exact = utf16_to_ansi(wide.span(), &ansi);
    set(name, type, hive().copy(ansi), exact ? Bytes{} : wide);
  }
  void erase(std::string_view name) {
    values_.erase(std::remove_if(values_.begin(), values_.end(),
                                 [&](const Value& value) { return iequals(value.name, name); }),
                  values_.end());
    key->erase_value(name);
  }

 private:
  std::vector<Value> values_;
  std::vector<std::uint8_t> scratch_;
};

// Where a value line's data starts, after the name and '='; npos when the line has no such
// shape (parse_value_line then says what is wrong).
std::size_t value_data_start(std::string_view line, std::string* scratch) {
  std::size_t pos = 0;
  if (!line.empty() && line[0] == '@') {
    pos = 1;
  } else if (line.empty() || line[0] != '"' || !parse_quoted(line, &pos, scratch)) {
    return std::string::npos;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  return pos < line.size() && line[pos] == '=' ? pos + 1 : std::string::npos;
}

bool parse_value_line(Parser& parser, KeyValues& values, std::size_t first_line, std::string_view line,
                      std::string* name, std::string* text, bool stop_at_removal) {
  name->clear();
  std::size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (line[0] == '"') {
    if (!parse_quoted(line, &pos, name)) return parser.fail(first_line, "unterminated string");
  } else {
    return parser.fail(first_line, "expected a value name in quotes or @");
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=')
    return parser.fail(first_line, "expected '=' after the value name");
  ++pos;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string_view data = line.substr(pos);
  if (values.key == nullptr) return parser.fail(first_line, "value outside a key");
  Hive& hive = values.hive();

  if (!data.empty() && data[0] == '"') {
    std::size_t end = 0;
    if (!parse_quoted(data, &end, text)) return parser.fail(first_line, "unterminated string");
    if (!trim_view(data.substr(end)).empty())
      return parser.fail(first_line, "unexpected text after the string");
    if (is_ascii(*text)) {
      // Its ANSI form is the text itself: no round through UTF-16.
      auto* bytes = hive.allocate_array<std::uint8_t>(text->size() + 1);
      std::memcpy(bytes, text->data(), text->size());
      bytes[text->size()] = 0;
      values.set(*name, port::REG_SZ, Bytes{bytes, static_cast<std::uint32_t>(text->size() + 1)});
      return true;
    }
    std::u16string wide;
    if (!utf8_to_utf16(*text, &wide)) return parser.fail(first_line, "invalid UTF-8 in a string");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(wide.size() * 2 + 2);
    for (char16_t unit : wide) {
      bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    values.set_utf16(*name, port::REG_SZ, hive.copy(bytes));
    return true;
  }
  if (data == "-") {
    // A deletion entry: the value goes.
    if (stop_at_removal) return parser.stop();
    values.erase(*name);
    return true;
  }
  if (starts_with_ignoring_case(data, "dword:")) {
    std::string_view digits = trim_view(data.substr(6));
    if (digits.empty() || digits.size() > 8) return parser.fail(first_line, "bad dword value");
    DWORD value = 0;
    for (char c : digits) {
      int digit = hex_digit(c);
      if (digit < 0) return parser.fail(first_line, "bad dword value");
      value = value * 16 + static_cast<DWORD>(digit);
    }
    auto* bytes = hive.allocate_array<std::uint8_t>(4);
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
    bytes[2] = static_cast<std::uint8_t>(value >> 16);
    bytes[3] = static_cast<std::uint8_t>(value >> 24);
    values.set(*name, port::REG_DWORD, Bytes{bytes, 4});
    return true;
  }
  if (starts_with_ignoring_case(data, "hex")) {
    DWORD type = port::REG_BINARY;
    std::size_t colon = data.find(':');
    if (colon == std::string_view::npos) return parser.fail(first_line, "expected ':' after hex");
    std::string_view spec = data.substr(3, colon - 3);
    if (!spec.empty()) {
      auto bad_type = [&] {
        return parser.fail(first_line, "bad value type " + std::string(data.substr(0, colon)));
      };
      if (spec.size() < 3 || spec.front() != '(' || spec.back() != ')') return bad_type();
      std::string_view digits = spec.substr(1, spec.size() - 2);
      if (digits.empty() || digits.size() > 8) return bad_type();
      type = 0;
      for (char c : digits) {
        int digit = hex_digit(c);
        if (digit < 0) return bad_type();
        type = type * 16 + static_cast<DWORD>(digit);
      }
    }
    std::string_view hex = data.substr(colon + 1);
    std::size_t room = hex_bytes_bound(hex);
    auto* bytes = hive.allocate_array<std::uint8_t>(room);
    std::size_t count = 0;
    if (!parse_hex_bytes(hex, bytes, &count)) return parser.fail(first_line, "bad hex data");
    hive.shrink_last(bytes, room, count);
    Bytes read{bytes, static_cast<std::uint32_t>(count)};
    if (is_string_type(type)) {
      values.set_utf16(*name, type, read);
    } else {
      values.set(*name, type, read);
    }
    return true;
  }
  return parser.fail(first_line, "unknown value type");
}

// The keys of the last key line read: an export lists a key's subkeys right after it, so most
// key lines spell all but their last names as the one before did, and only the names after
// the part spelled alike are looked up.
class OpenPath {
 public:
  // nullptr when the path goes deeper than Windows allows.
  Key* create(Key* root, std::string_view path) {
    std::size_t common = common_prefix(last_, path);
    // The levels whose names end within the part spelled alike, at a separator in both.
    std::size_t depth = 0;
    while (depth < ends_.size() &&
           (ends_[depth] < common ||
            (ends_[depth] == common && (common == path.size() || path[common] == '\\'))))
      ++depth;
    keys_.resize(depth);
    ends_.resize(depth);
    Key* key = depth == 0 ? root : keys_.back();
    std::size_t pos = depth == 0 ? 0 : ends_.back();
    std::string_view part;
    while (next_key_part(path, &pos, &part)) {
      if (keys_.size() == kMaxDepth) {
        clear();
        return nullptr;
      }
      key = key->create_subkey(part);
      keys_.push_back(key);
      ends_.push_back(static_cast<std::size_t>(part.data() + part.size() - path.data()));
    }
    last_.assign(path);
    return key;
  }
  // After a removal the keys remembered may be gone.
  void clear() {
    last_.clear();
    keys_.clear();
    ends_.clear();
  }

 private:
  // How many characters two texts begin with alike, eight at a time.
  static std::size_t common_prefix(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) return i + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
      }
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
  }

  std::string last_;               // the last path, copied: the file's text goes on
  std::vector<Key*> keys_;         // its keys, a level each
  std::vector<std::size_t> ends_;  // where each level's name ends in last_
};

}  // namespace

bool read_part(LineReader& lines, bool header, bool stop_at_removal, PartRead* part) {
  Parser parser{part};
  Key* const result = part->tree.get();
  auto unreadable = [&] {
    part->unreadable = true;
    return false;
  };
  std::string_view raw;
  if (header) {
    bool have = false;
    while ((have = lines.next(&raw)) && trim_view(raw).empty()) {
    }
    if (lines.failed()) return unreadable();
    if (!have || trim_view(raw) != kRegFileHeader) {
      parser.fail(have ? lines.index - 1 : 0,
                  std::string("not a registry export (expected \"") + kRegFileHeader + "\")");
      return false;
    }
  }
  KeyValues values;
  OpenPath open_path;
  std::string full;  // a value continued over several lines, joined
  std::string name;
  std::string text;
  while (lines.next(&raw)) {
    std::size_t i = lines.index - 1;
    std::string_view line = trim_view(raw);
    if (line.empty()) continue;
    if (line[0] == ';') {
      if (values.key != nullptr && line == kRegVolatileMark) values.key->is_volatile = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') {
        parser.fail(i, "unterminated key name (missing ']')");
        return false;
      }
      std::string_view path = line.substr(1, line.size() - 2);
      bool removal = !path.empty() && path[0] == '-';
      if (removal && stop_at_removal) return parser.stop();
      if (removal) path.remove_prefix(1);
      std::size_t first = path.find('\\');
      if (!iequals(path.substr(0, first), kRegFileRoot)) {
        parser.fail(i, "key outside HKEY_LOCAL_MACHINE: " + std::string(path));
        return false;
      }
      std::string_view below = first == std::string_view::npos ? std::string_view() : path.substr(first + 1);
      if (removal) {
        values.start(nullptr);
        open_path.clear();
        while (!below.empty() && below.back() == '\\') below.remove_suffix(1);
        if (!below.empty()) {
          std::size_t leaf = below.rfind('\\');
          leaf = leaf == std::string_view::npos ? 0 : leaf + 1;
          if (Key* parent = find_key(result, below.substr(0, leaf)))
            parent->delete_subkey(below.substr(leaf));
        }
        continue;
      }
      Key* key = open_path.create(result, below);
      if (key == nullptr) {
        parser.fail(i, "key nested deeper than " + std::to_string(kMaxDepth) + " levels");
        return false;
      }
      values.start(key);
      continue;
    }
    // A value, possibly continued over several lines by a trailing backslash (hex data only).
    // Only a line ending in a backslash can be continued, and only when it holds hex data.
    std::string_view value_line = line;
    std::size_t data = line.back() == '\\' ? value_data_start(line, &name) : std::string::npos;
    if (data != std::string::npos && starts_with_ignoring_case(trim_view(line.substr(data)), "hex")) {
      full.assign(line);
      while (!full.empty() && full.back() == '\\') {
        full.pop_back();
        std::size_t last = lines.index - 1;
        if (!lines.next(&raw)) {
          parser.fail(last, "line continuation at the end of the file");
          return false;
        }
        full += trim_view(raw);
      }
      value_line = full;
    }
    if (!parse_value_line(parser, values, i, value_line, &name, &text, stop_at_removal)) return false;
  }
  values.start(nullptr);
  if (lines.failed()) return unreadable();
  part->lines = lines.index;
  return true;
}

}  // namespace sim::internal
