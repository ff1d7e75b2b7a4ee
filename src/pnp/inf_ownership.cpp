// Whether an INF installs the driver package: a quick look for what could make it so, then the
// INF read as setup reads it.
#include "pnp/inf_ownership.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pnp/hardware_ids.h"

namespace {

constexpr std::string_view kServiceName = "halvik";

char lower_letter(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lower_letter(x) == lower_letter(y);
         });
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower_letter(c);
  return out;
}

// What every supported ID begins with (PCI\VEN_), and the rest of each ID after it, sorted: the
// text is searched for the shared beginning once, and where it is found one look in the sorted
// rests decides, however many IDs there are and however often the text names other vendors.
struct IdTable {
  std::string_view prefix;
  std::vector<std::string_view> rests;
};

IdTable make_id_table() {
  std::size_t length = std::strlen(supported_hardware_ids[0]);
  for (std::uint32_t row = 1; row < supported_hardware_id_count; ++row) {
    const char* id = supported_hardware_ids[row];
    std::size_t same = 0;
    while (same < length && id[same] == supported_hardware_ids[0][same]) ++same;
    length = same;
  }
  IdTable table{std::string_view(supported_hardware_ids[0], length), {}};
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row)
    table.rests.push_back(std::string_view(supported_hardware_ids[row]).substr(length));
  std::sort(table.rests.begin(), table.rests.end());
  return table;
}

const IdTable& id_table() {
  static const IdTable table = make_id_table();
  return table;
}

// The rest of the one ID that `text` (what follows the shared beginning) can begin with: every
// rest the text begins with sorts at or before it, and of those only the greatest can be one,
// since no ID begins with another.  nullptr when no rest sorts at or before it.
const std::string_view* candidate_rest(std::string_view text) {
  const IdTable& table = id_table();
  auto after = std::upper_bound(table.rests.begin(), table.rests.end(), text);
  return after == table.rests.begin() ? nullptr : &*(after - 1);
}

bool is_supported_id(std::string_view field) {
  std::string_view prefix = id_table().prefix;
  if (!field.starts_with(prefix)) return false;
  field.remove_prefix(prefix.size());
  const std::string_view* rest = candidate_rest(field);
  return rest != nullptr && *rest == field;
}

bool names_supported_id(std::string_view text) {
  std::string_view prefix = id_table().prefix;
  for (std::size_t at = text.find(prefix); at != std::string_view::npos; at = text.find(prefix, at + 1)) {
    std::string_view here = text.substr(at + prefix.size());
    const std::string_view* rest = candidate_rest(here);
    if (rest != nullptr && here.starts_with(*rest)) return true;
  }
  return false;
}

// The service's name in any case, found by its last letter in either case.
bool names_service(std::string_view text) {
  const std::size_t before = kServiceName.size() - 1;
  if (text.size() <= before) return false;
  const char* end = text.data() + text.size();
  for (char last : {'k', 'K'}) {
    for (const char* at = text.data() + before; at < end; ++at) {
      at = static_cast<const char*>(std::memchr(at, last, static_cast<std::size_t>(end - at)));
      if (at == nullptr) break;
      if (same_ignoring_case(std::string_view(at - before, before), kServiceName.substr(0, before)))
        return true;
    }
  }
  return false;
}

// ---- The INF as setup reads it ----------------------------------------------------------------

// One line of a section: its key (the text before "="), when it has one, and its fields, each
// with the blanks around it dropped, its quotes taken off ("" within quotes is one quote) and
// comments cut; string tokens are still as written.
struct InfLine {
  std::size_t section;  // into InfText::sections
  bool has_key;
  std::string key;
  std::vector<std::string> fields;
};

struct InfText {
  std::vector<std::string> sections;  // lower-cased names, as met; one name may come again
  std::vector<InfLine> lines;
};

constexpr char kEndOfFile = '\x1A';  // what editors of old ended a text with; setup stops there

bool ends_line(char c) {
  return c == '\n' || c == kEndOfFile;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::size_t end_of_line(std::string_view text, std::size_t at) {
  while (at < text.size() && !ends_line(text[at])) ++at;
  return at;
}

// A line's fields from `at` to its end, continuation lines included; the position of its end.
// A "\" followed by nothing but blanks (and a comment) before the line's end joins the next line;
// anywhere else it is text, as in PCI\VEN_.
std::size_t read_fields(std::string_view text, std::size_t at, InfLine* line) {
  std::string field;
  std::size_t kept = 0;  // the field's length without its trailing blanks
  auto end_field = [&]() {
    field.resize(kept);
    line->fields.push_back(std::move(field));
    field.clear();
    kept = 0;
  };
  while (at < text.size() && !ends_line(text[at])) {
    char c = text[at];
    if (c == ';') {
      at = end_of_line(text, at);
    } else if (c == '"') {
      for (++at; at < text.size() && !ends_line(text[at]); ++at) {
        if (text[at] == '"' && (at + 1 == text.size() || text[at + 1] != '"')) {
          ++at;
          break;
        }
        if (text[at] == '"') ++at;
        field += text[at];
      }
      kept = field.size();
    } else if (c == '\\') {
      std::size_t next = at + 1;
      while (next < text.size() && (is_blank(text[next]) || text[next] == '\\')) ++next;
      if (next < text.size() && text[next] == ';') next = end_of_line(text, next);
      if (next < text.size() && text[next] == '\n') {
        field.resize(kept);
        for (at = next + 1; at < text.size() && is_blank(text[at]);) ++at;
      } else if (next >= text.size() || text[next] == kEndOfFile) {
        at = next;
      } else {
        field.append(text.substr(at, next - at));
        kept = field.size();
        at = next;
      }
    } else if (c == '=' && !line->has_key && line->fields.empty()) {
      field.resize(kept);
      line->key = std::move(field);
      line->has_key = true;
      field.clear();
      kept = 0;
      ++at;
    } else if (c == ',') {
      end_field();
      ++at;
    } else if (is_blank(c)) {
      if (!field.empty()) field += c;
      ++at;
    } else {
      field += c;
      kept = field.size();
      ++at;
    }
  }
  end_field();
  return at;
}

// The text's sections and lines.  false when setup would not read it as an INF at all: a line
// before the first section, or a section name without its closing bracket.
bool read_inf(std::string_view text, InfText* inf) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // UTF-8's byte order mark
  std::size_t at = 0;
  while (at < text.size() && text[at] != kEndOfFile) {
    char c = text[at];
    if (c == '\n' || is_blank(c)) {
      ++at;
    } else if (c == ';') {
      at = end_of_line(text, at);
    } else if (c == '[') {
      std::size_t close = text.find(']', at + 1);
      if (close == std::string_view::npos || end_of_line(text, at) < close) return false;
      inf->sections.push_back(lowered(text.substr(at + 1, close - at - 1)));
      at = end_of_line(text, close);  // the rest of the line is a comment
    } else if (inf->sections.empty()) {
      return false;
    } else {
      InfLine line{inf->sections.size() - 1, false, {}, {}};
      at = read_fields(text, at, &line);
      inf->lines.push_back(std::move(line));
    }
  }
  return true;
}

// Lower-cased string keys and their values: [Strings] first, then the localized
// [Strings.<language>] sections, for the keys [Strings] leaves out.
using StringTable = std::map<std::string, std::string>;

StringTable strings_of(const InfText& inf) {
  StringTable strings;
  for (bool localized : {false, true}) {
    for (const InfLine& line : inf.lines) {
      const std::string& section = inf.sections[line.section];
      bool wanted = localized ? section.starts_with("strings.") : section == "strings";
      if (wanted && line.has_key && !line.fields.empty()) strings.emplace(lowered(line.key), line.fields[0]);
    }
  }
  return strings;
}

// The field with its %strkey% tokens replaced from the string table; %% is a percent sign, and
// a token the table lacks stays as written (a directory ID such as %12% is no string).
std::string substituted(const std::string& field, const StringTable& strings) {
  std::string out;
  for (std::size_t at = 0; at < field.size();) {
    std::size_t close = field[at] == '%' ? field.find('%', at + 1) : std::string::npos;
    if (close == std::string::npos) {
      out += field[at++];
    } else if (close == at + 1) {
      out += '%';
      at = close + 1;
    } else {
      auto found = strings.find(lowered(std::string_view(field).substr(at + 1, close - at - 1)));
      if (found != strings.end()) {
        out += found->second;
      } else {
        out.append(field, at, close - at + 1);
      }
      at = close + 1;
    }
  }
  return out;
}

// The lower-cased names of the models sections: each [Manufacturer] line names one, either as
// its only field or as the first field after "=", and the platforms listed after that name its
// decorated forms (Models, NTamd64: Models.NTamd64 too).
std::set<std::string> models_sections(const InfText& inf, const StringTable& strings) {
  std::set<std::string> names;
  for (const InfLine& line : inf.lines) {
    if (inf.sections[line.section] != "manufacturer" || line.fields.empty()) continue;
    std::string base = lowered(substituted(line.fields[0], strings));
    names.insert(base);
    if (!line.has_key) continue;
    for (std::size_t i = 1; i < line.fields.size(); ++i)
      names.insert(base + "." + lowered(substituted(line.fields[i], strings)));
  }
  return names;
}

bool installs_package(const InfText& inf) {
  StringTable strings = strings_of(inf);
  std::set<std::string> models = models_sections(inf, strings);
  for (const InfLine& line : inf.lines) {
    const std::string& section = inf.sections[line.section];
    if (!line.has_key || line.fields.empty()) continue;
    // device-description = install-section, hardware-id, compatible-id...
    if (models.count(section) != 0) {
      for (std::size_t i = 1; i < line.fields.size(); ++i) {
        if (is_supported_id(substituted(line.fields[i], strings))) return true;
      }
    }
    // AddService = name, flags, service-install-section... in a DDInstall.Services section.
    if (section.ends_with(".services") && same_ignoring_case(line.key, "AddService") &&
        same_ignoring_case(substituted(line.fields[0], strings), kServiceName)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool inf_installs_package(const char* text, std::size_t size) {
  if (const void* zero = std::memchr(text, '\0', size))
    size = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
  std::string_view content(text, size);
  if (!names_supported_id(content) && !names_service(content)) return false;
  InfText inf;
  return read_inf(content, &inf) && installs_package(inf);
}
