// The simulated registry: a tree of keys in memory, read from and written to registry.reg in
// the registry editor's export format ("Windows Registry Editor Version 5.00").
//
// Reading accepts what a real `reg export` of HKEY_LOCAL_MACHINE writes (UTF-16LE with BOM,
// CR LF, hex values continued over lines) as well as UTF-8.  Writing produces one stable
// UTF-8 form: keys depth first in Windows' enumeration order, the default value first and the
// other values sorted by name, so two machines compare with diff.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"

namespace sim::internal {

// ---- text helpers --------------------------------------------------------------------------

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::vector<std::string> split_key_path(std::string_view path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::string hex32(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

// ---- encodings -----------------------------------------------------------------------------

std::vector<std::uint8_t> ansi_to_utf16(const std::vector<std::uint8_t>& ansi) {
  std::vector<std::uint8_t> wide;
  wide.reserve(ansi.size() * 2);
  for (std::uint8_t c : ansi) {
    wide.push_back(c);
    wide.push_back(0);
  }
  return wide;
}

bool utf16_to_ansi(const std::vector<std::uint8_t>& wide, std::vector<std::uint8_t>* ansi) {
  bool exact = wide.size() % 2 == 0;
  ansi->clear();
  for (std::size_t i = 0; i + 1 < wide.size(); i += 2) {
    unsigned unit = wide[i] | (wide[i + 1] << 8);
    if (unit > 0xFF) {
      ansi->push_back('?');
      exact = false;
    } else {
      ansi->push_back(static_cast<std::uint8_t>(unit));
    }
  }
  return exact;
}

std::string ansi_to_utf8(std::string_view ansi) {
  std::string out;
  for (char ch : ansi) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool utf8_to_utf16(std::string_view utf8, std::u16string* wide) {
  wide->clear();
  std::size_t i = 0;
  while (i < utf8.size()) {
    auto c = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= utf8.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      wide->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      wide->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      wide->push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

std::string utf16_to_utf8(const std::u16string& wide) {
  std::string out;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t cp = wide[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

namespace {

bool is_string_type(DWORD type) {
  return type == port::REG_SZ || type == port::REG_EXPAND_SZ || type == port::REG_MULTI_SZ;
}

}  // namespace

// ---- the key tree --------------------------------------------------------------------------

Value* Key::find_value(std::string_view value_name) {
  for (Value& value : values) {
    if (iequals(value.name, value_name)) return &value;
  }
  return nullptr;
}

Key* Key::find_subkey(std::string_view key_name) const {
  auto found = subkeys.find(upper(key_name));
  return found == subkeys.end() ? nullptr : found->second.get();
}

Key* Key::create_subkey(const std::string& key_name) {
  if (Key* existing = find_subkey(key_name)) return existing;
  auto key = std::make_shared<Key>();
  key->name = key_name;
  key->parent = this;
  Key* raw = key.get();
  subkeys.emplace(upper(key_name), std::move(key));
  return raw;
}

void Key::set_value(const std::string& value_name, DWORD type, std::vector<std::uint8_t> data) {
  Value* value = find_value(value_name);
  if (value == nullptr) {
    values.push_back(Value{value_name, type, {}, std::nullopt});
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
  auto found = subkeys.find(upper(key_name));
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

Key* find_key(Key* from, std::string_view path) {
  Key* key = from;
  for (const std::string& part : split_key_path(path)) {
    key = key->find_subkey(part);
    if (key == nullptr) return nullptr;
  }
  return key;
}

Key* create_key(Key* from, std::string_view path) {
  Key* key = from;
  for (const std::string& part : split_key_path(path)) key = key->create_subkey(part);
  return key;
}

// ---- reading registry.reg ------------------------------------------------------------------

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kRoot[] = "HKEY_LOCAL_MACHINE";
// How deep a registry tree can go on Windows.
constexpr std::size_t kMaxDepth = 512;

// The file's text as UTF-8, whatever it was stored in.
bool decode_file(const std::string& bytes, std::string* text) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string wide;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    *text = utf16_to_utf8(wide);
    return true;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    *text = bytes.substr(3);
  } else {
    *text = bytes;
  }
  return true;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
    lines.emplace_back(text, start, stop - start);
    start = end + 1;
  }
  return lines;
}

struct Parser {
  const std::vector<std::string>& lines;
  std::string file_name;
  std::size_t line_index = 0;  // of the line being parsed
  std::string error;

  bool fail(std::size_t index, const std::string& what) {
    error = file_name + ":" + std::to_string(index + 1) + ": " + what;
    return false;
  }
};

// A quoted string starting at text[*pos] == '"'; \\ and \" are the escapes.
bool parse_quoted(const std::string& text, std::size_t* pos, std::string* out) {
  out->clear();
  std::size_t i = *pos + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      *out += text[i + 1];
      i += 2;
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      *out += c;
      ++i;
    }
  }
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "01,02,ff" (blanks allowed, a trailing comma too) into bytes, in one pass: a real export
// holds millions of them.
bool parse_hex_bytes(std::string_view text, std::vector<std::uint8_t>* bytes) {
  bytes->clear();
  bytes->reserve(text.size() / 3 + 1);
  int digits = 0;
  int value = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    if (c == ',') {
      if (digits == 0) return false;
      bytes->push_back(static_cast<std::uint8_t>(value));
      digits = 0;
      value = 0;
      continue;
    }
    int digit = hex_digit(c);
    if (digit < 0 || digits == 2) return false;
    value = value * 16 + digit;
    ++digits;
  }
  if (digits > 0) bytes->push_back(static_cast<std::uint8_t>(value));
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// Stores a value read from the file, converting string types to their ANSI form.
void store_value(Key* key, const std::string& name, DWORD type, std::vector<std::uint8_t> bytes, bool utf16) {
  if (is_string_type(type) && utf16) {
    std::vector<std::uint8_t> ansi;
    bool exact = utf16_to_ansi(bytes, &ansi);
    key->set_value(name, type, ansi);
    if (!exact) key->find_value(name)->wide = std::move(bytes);
    return;
  }
  key->set_value(name, type, std::move(bytes));
}

// Where a value line's data starts, after the name and '='; npos when the line has no such
// shape (parse_value_line then says what is wrong).
std::size_t value_data_start(const std::string& line) {
  std::size_t pos = 0;
  std::string name;
  if (!line.empty() && line[0] == '@') {
    pos = 1;
  } else if (line.empty() || line[0] != '"' || !parse_quoted(line, &pos, &name)) {
    return std::string::npos;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  return pos < line.size() && line[pos] == '=' ? pos + 1 : std::string::npos;
}

bool parse_value_line(Parser& parser, Key* key, std::size_t first_line, std::string line) {
  std::string name;
  std::size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (line[0] == '"') {
    if (!parse_quoted(line, &pos, &name)) return parser.fail(first_line, "unterminated string");
  } else {
    return parser.fail(first_line, "expected a value name in quotes or @");
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=')
    return parser.fail(first_line, "expected '=' after the value name");
  ++pos;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string data = line.substr(pos);
  if (key == nullptr) return parser.fail(first_line, "value outside a key");

  if (!data.empty() && data[0] == '"') {
    std::string text;
    std::size_t end = 0;
    if (!parse_quoted(data, &end, &text)) return parser.fail(first_line, "unterminated string");
    if (!trim(data.substr(end)).empty()) return parser.fail(first_line, "unexpected text after the string");
    std::u16string wide;
    if (!utf8_to_utf16(text, &wide)) return parser.fail(first_line, "invalid UTF-8 in a string");
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : wide) {
      bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    store_value(key, name, port::REG_SZ, std::move(bytes), true);
    return true;
  }
  if (data == "-") {
    // A deletion entry: the value goes.
    auto& values = key->values;
    values.erase(
        std::remove_if(values.begin(), values.end(), [&](const Value& v) { return iequals(v.name, name); }),
        values.end());
    return true;
  }
  if (starts_with_ignoring_case(data, "dword:")) {
    std::string digits = trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) return parser.fail(first_line, "bad dword value");
    DWORD value = 0;
    for (char c : digits) {
      int digit = hex_digit(c);
      if (digit < 0) return parser.fail(first_line, "bad dword value");
      value = value * 16 + static_cast<DWORD>(digit);
    }
    key->set_value(name, port::REG_DWORD,
                   {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
    return true;
  }
  if (starts_with_ignoring_case(data, "hex")) {
    DWORD type = port::REG_BINARY;
    std::size_t colon = data.find(':');
    if (colon == std::string::npos) return parser.fail(first_line, "expected ':' after hex");
    std::string spec = lower(std::string_view(data).substr(3, colon - 3));
    if (!spec.empty()) {
      if (spec.size() < 3 || spec.front() != '(' || spec.back() != ')')
        return parser.fail(first_line, "bad value type " + data.substr(0, colon));
      std::string digits = spec.substr(1, spec.size() - 2);
      if (digits.empty() || digits.size() > 8)
        return parser.fail(first_line, "bad value type " + data.substr(0, colon));
      type = 0;
      for (char c : digits) {
        int digit = hex_digit(c);
        if (digit < 0) return parser.fail(first_line, "bad value type " + data.substr(0, colon));
        type = type * 16 + static_cast<DWORD>(digit);
      }
    }
    std::vector<std::uint8_t> bytes;
    if (!parse_hex_bytes(std::string_view(data).substr(colon + 1), &bytes))
      return parser.fail(first_line, "bad hex data");
    store_value(key, name, type, std::move(bytes), true);
    return true;
  }
  return parser.fail(first_line, "unknown value type");
}

}  // namespace

bool parse_reg_file(const std::string& bytes, const std::string& file_name, KeyPtr* root,
                    std::string* error) {
  std::string text;
  decode_file(bytes, &text);
  std::vector<std::string> lines = split_lines(text);
  Parser parser{lines, file_name, 0, {}};

  auto result = std::make_shared<Key>();
  result->name = kRoot;
  std::size_t i = 0;
  while (i < lines.size() && trim(lines[i]).empty()) ++i;
  if (i >= lines.size() || trim(lines[i]) != kHeader) {
    parser.fail(i < lines.size() ? i : 0,
                std::string("not a registry export (expected \"") + kHeader + "\")");
    *error = parser.error;
    return false;
  }
  ++i;
  Key* current = nullptr;
  for (; i < lines.size(); ++i) {
    std::string line = trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        parser.fail(i, "unterminated key name (missing ']')");
        *error = parser.error;
        return false;
      }
      std::string path = line.substr(1, line.size() - 2);
      bool removal = !path.empty() && path[0] == '-';
      if (removal) path.erase(0, 1);
      std::size_t first = path.find('\\');
      std::string hive = path.substr(0, first);
      if (!iequals(hive, kRoot)) {
        parser.fail(i, "key outside HKEY_LOCAL_MACHINE: " + path);
        *error = parser.error;
        return false;
      }
      std::string below = first == std::string::npos ? "" : path.substr(first + 1);
      if (removal) {
        std::vector<std::string> parts = split_key_path(below);
        current = nullptr;
        if (!parts.empty()) {
          std::string leaf = parts.back();
          parts.pop_back();
          std::string parent_path;
          for (const std::string& part : parts) parent_path += part + "\\";
          if (Key* parent = find_key(result.get(), parent_path)) parent->delete_subkey(leaf);
        }
        continue;
      }
      if (split_key_path(below).size() > kMaxDepth) {
        parser.fail(i, "key nested deeper than " + std::to_string(kMaxDepth) + " levels");
        *error = parser.error;
        return false;
      }
      current = create_key(result.get(), below);
      continue;
    }
    // A value, possibly continued over several lines by a trailing backslash (hex data only).
    std::size_t first_line = i;
    std::string full = line;
    std::size_t data = value_data_start(full);
    bool continuable = data != std::string::npos &&
                       starts_with_ignoring_case(trim(std::string_view(full).substr(data)), "hex");
    while (continuable && !full.empty() && full.back() == '\\') {
      full.pop_back();
      if (i + 1 >= lines.size()) {
        parser.fail(i, "line continuation at the end of the file");
        *error = parser.error;
        return false;
      }
      ++i;
      full += trim(lines[i]);
    }
    if (!parse_value_line(parser, current, first_line, full)) {
      *error = parser.error;
      return false;
    }
  }
  *root = std::move(result);
  return true;
}

// ---- writing registry.reg ------------------------------------------------------------------

namespace {

std::string escape(std::string_view utf8) {
  std::string out;
  for (char c : utf8) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// hex bytes wrapped like the registry editor does: lines of at most 80 columns, continued
// with a backslash and two blanks.
std::string hex_text(const std::string& prefix, const std::vector<std::uint8_t>& bytes) {
  std::string out = prefix;
  std::size_t column = prefix.size();
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::string item;
    item += digits[bytes[i] >> 4];
    item += digits[bytes[i] & 15];
    bool last = i + 1 == bytes.size();
    if (!last) item += ',';
    if (column + item.size() > 77 && !last) {
      out += "\\\n  ";
      column = 2;
    }
    out += item;
    column += item.size();
  }
  return out;
}

// The text a REG_SZ holds when it is an ordinary string: one terminating NUL, nothing the
// quoted form can't carry.
bool plain_string(const Value& value, std::string* text) {
  const auto& d = value.data;
  if (value.wide || d.empty() || d.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < d.size(); ++i) {
    if (d[i] == 0 || d[i] == '\n' || d[i] == '\r') return false;
  }
  *text = std::string(d.begin(), d.end() - 1);
  return true;
}

std::string value_text(const Value& value) {
  std::string out = value.name.empty() ? "@=" : "\"" + escape(value.name) + "\"=";
  std::string text;
  if (value.type == port::REG_SZ && plain_string(value, &text))
    return out + "\"" + escape(ansi_to_utf8(text)) + "\"";
  if (value.type == port::REG_DWORD && value.data.size() == 4) {
    char digits[16];
    DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
              (static_cast<DWORD>(value.data[3]) << 24);
    std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(v));
    return out + digits;
  }
  if (value.type == port::REG_BINARY) return hex_text(out + "hex:", value.data);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
  if (is_string_type(value.type))
    return hex_text(out + prefix, value.wide ? *value.wide : ansi_to_utf16(value.data));
  return hex_text(out + prefix, value.data);
}

void write_key(const Key& top, const std::string& top_path, std::string* out) {
  // Depth first, each key's subkeys in enumeration order: pushed last to first.
  std::vector<std::pair<const Key*, std::string>> pending;
  pending.emplace_back(&top, top_path);
  while (!pending.empty()) {
    auto [key, full_path] = std::move(pending.back());
    pending.pop_back();
    *out += "[" + full_path + "]\n";
    std::vector<const Value*> values;
    for (const Value& value : key->values) values.push_back(&value);
    std::sort(values.begin(), values.end(), [](const Value* a, const Value* b) {
      std::string ua = upper(a->name);
      std::string ub = upper(b->name);
      return ua != ub ? ua < ub : a->name < b->name;
    });
    for (const Value* value : values) *out += value_text(*value) + "\n";
    *out += "\n";
    for (auto it = key->subkeys.rbegin(); it != key->subkeys.rend(); ++it)
      pending.emplace_back(it->second.get(), full_path + "\\" + it->second->name);
  }
}

}  // namespace

std::string reg_value_line(const Value& value) {
  return value_text(value);
}

std::string write_reg_text(const Key& root) {
  std::string out = std::string(kHeader) + "\n\n";
  write_key(root, kRoot, &out);
  return out;
}

std::string write_reg_subtree(const Key& key) {
  std::string path = key.path();
  std::string out = std::string(kHeader) + "\n\n";
  write_key(key, path.empty() ? std::string(kRoot) : std::string(kRoot) + "\\" + path, &out);
  return out;
}

}  // namespace sim::internal
