// The simulated registry: a tree of keys in memory, read from and written to registry.reg in
// the registry editor's export format ("Windows Registry Editor Version 5.00").
//
// Reading accepts what a real `reg export` of HKEY_LOCAL_MACHINE writes (UTF-16LE with BOM,
// CR LF, hex values continued over lines) as well as UTF-8.  Writing produces one stable
// UTF-8 form: keys depth first in Windows' enumeration order, the default value first and the
// other values sorted by name, so two machines compare with diff.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine/text.h"
#include "platform/sim/registry/registry.h"

namespace sim::internal {

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

namespace {

// ASCII only, as the names are compared in the "C" locale.
inline unsigned char fold_upper(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
}

// <0, 0 or >0 as the upper-case forms of a and b compare.
int compare_folded(std::string_view a, std::string_view b) noexcept {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = fold_upper(a[i]);
    unsigned char cb = fold_upper(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

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

namespace {

// The next key name of a '\'-separated path at *pos, skipping empty ones; false at the end.
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

}  // namespace

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

// ---- reading registry.reg ------------------------------------------------------------------

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kRoot[] = "HKEY_LOCAL_MACHINE";
// How deep a registry tree can go on Windows.
constexpr std::size_t kMaxDepth = 512;
// How much of registry.reg is read at a time.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_view(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// UTF-16LE text as UTF-8, appended to *text (an odd last byte is dropped; unpaired surrogates
// are kept as three bytes each).
void utf16_file_to_utf8(std::string_view bytes, std::string* text) {
  text->reserve(text->size() + bytes.size() / 2 + bytes.size() / 8);
  auto unit_at = [&](std::size_t i) -> char32_t {
    return static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
  };
  std::size_t end = bytes.size() - bytes.size() % 2;
  for (std::size_t i = 0; i < end; i += 2) {
    char32_t cp = unit_at(i);
    if (cp < 0x80) {
      text->push_back(static_cast<char>(cp));
      continue;
    }
    if (cp >= 0xD800 && cp < 0xDC00 && i + 2 < end) {
      char32_t next = unit_at(i + 2);
      if (next >= 0xDC00 && next < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        i += 2;
      }
    }
    char out[4];
    std::size_t n;
    if (cp < 0x800) {
      out[0] = static_cast<char>(0xC0 | (cp >> 6));
      out[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      out[0] = static_cast<char>(0xE0 | (cp >> 12));
      out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      out[0] = static_cast<char>(0xF0 | (cp >> 18));
      out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    text->append(out, n);
  }
}

// The lines of registry.reg, read a piece at a time and decoded to UTF-8 as they come (UTF-16LE
// after a byte-order mark, else UTF-8 with or without one): a large file is never held whole.
// Lines come without their line ends (LF or CR LF); a last line end starts no further line. A
// line stays valid until the next call.
class LineReader {
 public:
  // Fills the buffer given with up to its size in bytes: how many, 0 at the end, -1 on an error.
  using Source = std::function<std::ptrdiff_t(char*, std::size_t)>;

  LineReader(Source source, std::size_t chunk) : source_(std::move(source)), chunk_(chunk) {}

  std::size_t index = 0;  // of the line next() gives next

  bool next(std::string_view* line) {
    // Searched from where the last search ended: a line longer than a piece is not searched
    // again from its start after every piece.
    std::size_t from = start_;
    while (true) {
      std::size_t end = text_.find('\n', from);
      if (end != std::string::npos) return give(end, end + 1, line);
      if (ended_) return start_ < text_.size() && give(text_.size(), text_.size(), line);
      from = text_.size() - start_;
      text_.erase(0, start_);
      start_ = 0;
      fill();
    }
  }
  bool failed() const { return failed_; }

 private:
  enum class Encoding { kUnknown, kUtf8, kUtf16 };

  bool give(std::size_t end, std::size_t next_start, std::string_view* line) {
    std::size_t stop = end > start_ && text_[end - 1] == '\r' ? end - 1 : end;
    *line = std::string_view(text_).substr(start_, stop - start_);
    start_ = next_start;
    ++index;
    return true;
  }

  // Appends up to a piece from the source to *buffer.
  void read_into(std::string* buffer) {
    std::size_t had = buffer->size();
    buffer->resize(had + chunk_);
    std::ptrdiff_t n = source_(buffer->data() + had, chunk_);
    if (n < 0) failed_ = true;
    buffer->resize(had + static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)));
    ended_ = n <= 0;
  }

  void fill() {
    // Once the text is known to be UTF-8, it is read straight into place.
    if (encoding_ == Encoding::kUtf8) return read_into(&text_);
    read_into(&raw_);
    if (encoding_ == Encoding::kUnknown) {
      if (!ended_ && raw_.size() < 3) return;  // not enough to tell yet
      if (raw_.size() >= 2 && static_cast<unsigned char>(raw_[0]) == 0xFF &&
          static_cast<unsigned char>(raw_[1]) == 0xFE) {
        encoding_ = Encoding::kUtf16;
        raw_.erase(0, 2);
      } else {
        encoding_ = Encoding::kUtf8;
        if (raw_.compare(0, 3, "\xEF\xBB\xBF") == 0) raw_.erase(0, 3);
      }
    }
    if (encoding_ == Encoding::kUtf8) {
      text_ += raw_;
      raw_.clear();
      return;
    }
    // Whole UTF-16 units only, and a high surrogate at the end waits for the unit after it.
    std::size_t usable = raw_.size() - raw_.size() % 2;
    if (!ended_ && usable >= 2) {
      unsigned unit =
          static_cast<unsigned char>(raw_[usable - 2]) | (static_cast<unsigned char>(raw_[usable - 1]) << 8);
      if (unit >= 0xD800 && unit < 0xDC00) usable -= 2;
    }
    utf16_file_to_utf8(std::string_view(raw_).substr(0, usable), &text_);
    raw_.erase(0, usable);
    if (ended_) raw_.clear();  // an odd last byte
  }

  Source source_;
  std::size_t chunk_;
  Encoding encoding_ = Encoding::kUnknown;
  std::string raw_;   // read, not yet decoded
  std::string text_;  // decoded; lines from start_ on not yet given
  std::size_t start_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

struct Parser {
  std::string file_name;
  std::string error;

  bool fail(std::size_t index, const std::string& what) {
    error = file_name + ":" + std::to_string(index + 1) + ": " + what;
    return false;
  }
};

// A quoted string starting at text[*pos] == '"'; \\ and \" are the escapes.
bool parse_quoted(std::string_view text, std::size_t* pos, std::string* out) {
  out->clear();
  std::size_t i = *pos + 1;
  while (i < text.size()) {
    // A plain loop: find_first_of would call memchr over the two characters for every one.
    std::size_t stop = i;
    while (stop < text.size() && text[stop] != '\\' && text[stop] != '"') ++stop;
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

// "01,02,ff" (blanks allowed, a trailing comma too) into bytes, in one pass: a real export
// holds millions of them.
bool parse_hex_bytes(std::string_view text, std::vector<std::uint8_t>* bytes) {
  // Every byte but the last ends with a comma: sized once, to the byte or one more.
  bytes->clear();
  bytes->resize(static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1);
  std::uint8_t* out = bytes->data();
  // The form every writer uses, two digits and a comma, a table lookup per digit; whatever
  // else there is (blanks, single digits, mistakes) goes the careful way below from there on.
  static constexpr auto kDigits = [] {
    std::array<std::int8_t, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = static_cast<std::int8_t>(hex_digit(static_cast<char>(c)));
    return table;
  }();
  std::size_t at = 0;
  while (at + 2 <= text.size()) {
    int high = kDigits[static_cast<unsigned char>(text[at])];
    int low = kDigits[static_cast<unsigned char>(text[at + 1])];
    if ((high | low) < 0 || (at + 2 < text.size() && text[at + 2] != ',')) break;
    *out++ = static_cast<std::uint8_t>(high << 4 | low);
    at += 3;
  }
  if (at > text.size()) at = text.size();
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
  bytes->resize(static_cast<std::size_t>(out - bytes->data()));
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
    if (!exact) key->find_value(name)->wide = std::make_unique<std::vector<std::uint8_t>>(std::move(bytes));
    return;
  }
  key->set_value(name, type, std::move(bytes));
}

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

bool parse_value_line(Parser& parser, Key* key, std::size_t first_line, std::string_view line,
                      std::string* name, std::string* text) {
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
  if (key == nullptr) return parser.fail(first_line, "value outside a key");

  if (!data.empty() && data[0] == '"') {
    std::size_t end = 0;
    if (!parse_quoted(data, &end, text)) return parser.fail(first_line, "unterminated string");
    if (!trim_view(data.substr(end)).empty())
      return parser.fail(first_line, "unexpected text after the string");
    bool ascii =
        std::all_of(text->begin(), text->end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
      // Its ANSI form is the text itself: no round through UTF-16.
      std::vector<std::uint8_t> bytes;
      bytes.reserve(text->size() + 1);
      bytes.assign(text->begin(), text->end());
      bytes.push_back(0);
      key->set_value(*name, port::REG_SZ, std::move(bytes));
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
    store_value(key, *name, port::REG_SZ, std::move(bytes), true);
    return true;
  }
  if (data == "-") {
    // A deletion entry: the value goes.
    auto& values = key->values;
    values.erase(
        std::remove_if(values.begin(), values.end(), [&](const Value& v) { return iequals(v.name, *name); }),
        values.end());
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
    key->set_value(*name, port::REG_DWORD,
                   {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
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
    std::vector<std::uint8_t> bytes;
    if (!parse_hex_bytes(data.substr(colon + 1), &bytes)) return parser.fail(first_line, "bad hex data");
    store_value(key, *name, type, std::move(bytes), true);
    return true;
  }
  return parser.fail(first_line, "unknown value type");
}

// How many key names a '\'-separated path holds, empty ones not counted.
std::size_t key_depth(std::string_view path) {
  std::size_t depth = 0;
  std::size_t pos = 0;
  std::string_view part;
  while (next_key_part(path, &pos, &part)) ++depth;
  return depth;
}

// The keys of the last key line read, by the names it spelled them with: an export lists a
// key's subkeys right after it, so most key lines share all but their last names with the one
// before and need only that one looked up.
class OpenPath {
 public:
  Key* create(Key* root, std::string_view path) {
    Key* key = root;
    std::size_t depth = 0;
    std::size_t pos = 0;
    std::string_view part;
    bool same = true;
    while (next_key_part(path, &pos, &part)) {
      if (same && depth < names_.size() && names_[depth] == part) {
        key = keys_[depth];
      } else {
        same = false;
        key = key->create_subkey(part);
        names_.resize(depth);
        keys_.resize(depth);
        names_.emplace_back(part);
        keys_.push_back(key);
      }
      ++depth;
    }
    names_.resize(depth);
    keys_.resize(depth);
    return key;
  }
  // After a removal the keys remembered may be gone.
  void clear() {
    names_.clear();
    keys_.clear();
  }

 private:
  std::vector<std::string> names_;  // the file's text goes on: copies
  std::vector<Key*> keys_;
};

// The parser behind both forms below.
bool parse_reg_lines(LineReader& lines, const std::string& file_name, KeyPtr* root, std::string* error) {
  Parser parser{file_name, {}};
  auto failed = [&] {
    *error = parser.error;
    return false;
  };
  auto unreadable = [&] {
    *error = "cannot read " + file_name;
    return false;
  };

  auto result = std::make_shared<Key>();
  result->name = kRoot;
  std::string_view raw;
  bool have = false;
  while ((have = lines.next(&raw)) && trim_view(raw).empty()) {
  }
  if (lines.failed()) return unreadable();
  if (!have || trim_view(raw) != kHeader) {
    parser.fail(have ? lines.index - 1 : 0,
                std::string("not a registry export (expected \"") + kHeader + "\")");
    return failed();
  }
  Key* current = nullptr;
  OpenPath open_path;
  std::string full;  // a value continued over several lines, joined
  std::string name;
  std::string text;
  while (lines.next(&raw)) {
    std::size_t i = lines.index - 1;
    std::string_view line = trim_view(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        parser.fail(i, "unterminated key name (missing ']')");
        return failed();
      }
      std::string_view path = line.substr(1, line.size() - 2);
      bool removal = !path.empty() && path[0] == '-';
      if (removal) path.remove_prefix(1);
      std::size_t first = path.find('\\');
      if (!iequals(path.substr(0, first), kRoot)) {
        parser.fail(i, "key outside HKEY_LOCAL_MACHINE: " + std::string(path));
        return failed();
      }
      std::string_view below = first == std::string_view::npos ? std::string_view() : path.substr(first + 1);
      if (removal) {
        current = nullptr;
        open_path.clear();
        while (!below.empty() && below.back() == '\\') below.remove_suffix(1);
        if (!below.empty()) {
          std::size_t leaf = below.rfind('\\');
          leaf = leaf == std::string_view::npos ? 0 : leaf + 1;
          if (Key* parent = find_key(result.get(), below.substr(0, leaf)))
            parent->delete_subkey(below.substr(leaf));
        }
        continue;
      }
      if (key_depth(below) > kMaxDepth) {
        parser.fail(i, "key nested deeper than " + std::to_string(kMaxDepth) + " levels");
        return failed();
      }
      // The values of the key before are complete: their vector keeps no spare room (a key of
      // three values would otherwise hold four, a tenth of a large registry's memory).
      if (current != nullptr) current->values.shrink_to_fit();
      current = open_path.create(result.get(), below);
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
          return failed();
        }
        full += trim_view(raw);
      }
      value_line = full;
    }
    if (!parse_value_line(parser, current, i, value_line, &name, &text)) return failed();
  }
  if (lines.failed()) return unreadable();
  *root = std::move(result);
  return true;
}

}  // namespace

bool parse_reg_file(std::string_view bytes, const std::string& file_name, KeyPtr* root, std::string* error,
                    std::size_t chunk) {
  std::size_t at = 0;
  LineReader lines(
      [&](char* buffer, std::size_t size) {
        std::size_t n = std::min(size, bytes.size() - at);
        std::copy_n(bytes.data() + at, n, buffer);
        at += n;
        return static_cast<std::ptrdiff_t>(n);
      },
      chunk);
  return parse_reg_lines(lines, file_name, root, error);
}

bool parse_reg_fd(int fd, const std::string& file_name, KeyPtr* root, std::string* error) {
  LineReader lines(
      [fd](char* buffer, std::size_t size) {
        while (true) {
          ssize_t n = ::read(fd, buffer, size);
          if (n >= 0 || errno != EINTR) return static_cast<std::ptrdiff_t>(n);
        }
      },
      kReadChunk);
  return parse_reg_lines(lines, file_name, root, error);
}

// ---- writing registry.reg ------------------------------------------------------------------

namespace {

void append_escaped(std::string_view text, std::string* out) {
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' && text[i] != '"') continue;
    out->append(text.data() + from, i - from);
    *out += '\\';
    from = i;  // the character itself goes with the next run
  }
  out->append(text.data() + from, text.size() - from);
}

// ANSI text as UTF-8, escaped for a quoted string.
void append_escaped_ansi(std::string_view ansi, std::string* out) {
  std::size_t from = 0;  // the run of plain characters not yet appended
  for (std::size_t i = 0; i < ansi.size(); ++i) {
    auto c = static_cast<unsigned char>(ansi[i]);
    if (c < 0x80 && c != '\\' && c != '"') continue;
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
void append_hex(std::size_t column, const std::vector<std::uint8_t>& bytes, std::string* out,
                bool wrap = true) {
  static const char digits[] = "0123456789abcdef";
  std::size_t count = bytes.size();
  // Room for every byte and every continuation (one at most per 25 bytes), written in place.
  std::size_t start = out->size();
  out->resize(start + count * 3 + (count / 25 + 2) * 4);
  char* p = out->data() + start;
  for (std::size_t i = 0; i < count; ++i) {
    bool last = i + 1 == count;
    if (wrap && !last && column + 3 > 77) {
      std::memcpy(p, "\\\n  ", 4);
      p += 4;
      column = 2;
    }
    *p++ = digits[bytes[i] >> 4];
    *p++ = digits[bytes[i] & 15];
    if (!last) *p++ = ',';
    column += last ? 2 : 3;
  }
  out->resize(static_cast<std::size_t>(p - out->data()));
}

// The text a REG_SZ holds when it is an ordinary string: one terminating NUL, nothing the
// quoted form can't carry.
bool plain_string(const Value& value) {
  const auto& d = value.data;
  if (value.wide || d.empty() || d.back() != 0) return false;
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
    append_hex(out->size() - line_start, value.data, out, wrap);
    return;
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
  out->append(prefix);
  std::size_t column = out->size() - line_start;
  if (!is_string_type(value.type))
    append_hex(column, value.data, out, wrap);
  else if (value.wide)
    append_hex(column, *value.wide, out, wrap);
  else
    append_hex(column, ansi_to_utf16(value.data), out, wrap);
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
    for (const Value& value : key->values) {
      // A data byte takes at most six characters (as UTF-16 in hex), a line of at least
      // 24 bytes a continuation of four; the name at most twice its size, escaped.
      std::size_t bytes = std::max(value.data.size(), value.wide ? value.wide->size() : 0);
      bound += 2 * value.name.size() + 32 + bytes * 6 + (bytes * 2 / 24 + 2) * 4;
    }
    for (const auto& entry : key->subkeys)
      pending.emplace_back(entry.second.get(), path_size + 1 + entry.second->name.size());
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
      pending.emplace_back(it->second.get(), depth + 1);
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
  std::string out = std::string(kHeader) + "\n\n";
  write_key(root, kRoot, &out);
  return out;
}

bool write_reg_stream(const Key& root, const std::function<bool(std::string_view)>& write) {
  std::string out = std::string(kHeader) + "\n\n";
  out.reserve(2 * kFlushAt);
  return write_key(root, kRoot, &out, write);
}

std::string write_reg_subtree(const Key& key) {
  std::string path = key.path();
  std::string out = std::string(kHeader) + "\n\n";
  write_key(key, path.empty() ? std::string(kRoot) : std::string(kRoot) + "\\" + path, &out);
  return out;
}

}  // namespace sim::internal
