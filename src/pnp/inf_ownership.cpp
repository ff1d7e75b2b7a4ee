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

#include "common/letter_case.h"
#include "pnp/hardware_ids.h"

namespace {

constexpr std::string_view kServiceName = "halvik";

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
      if (equal_ignoring_letter_case(std::string_view(at - before, before), kServiceName.substr(0, before)))
        return true;
    }
  }
  return false;
}

// ---- The INF as setup reads it ----------------------------------------------------------------

// One line of a section: its key (the text before "="), when it has one, and its fields, each
// with the blanks around it dropped, its quotes taken off ("" within quotes is one quote) and
// comments cut; string tokens are still as written.  One line is read after the other into the
// same buffers, so that a long INF costs no allocation per line.
struct InfLine {
  bool has_key = false;
  std::string key;
  std::vector<std::string> fields;  // the first `count` are this line's; the rest keep their room
  std::size_t count = 0;
};

constexpr char kEndOfFile = '\x1A';  // what editors of old ended a text with; setup stops there

constexpr bool ends_line(char c) {
  return c == '\n' || c == kEndOfFile;
}

constexpr bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Not one of the characters that end a field or a line, start a comment, a quote or a key, or
// may continue a line: looked up, since nearly every character of an INF is asked about.
struct PlainCharacters {
  bool plain[256];
  constexpr PlainCharacters() : plain() {
    for (int c = 0; c < 256; ++c) {
      auto ch = static_cast<char>(c);
      plain[c] = !is_blank(ch) && !ends_line(ch) && ch != ';' && ch != '"' && ch != '\\' && ch != '=' && ch != ',';
    }
  }
};
constexpr PlainCharacters kPlainCharacters;

bool is_plain(char c) {
  return kPlainCharacters.plain[static_cast<unsigned char>(c)];
}

std::size_t end_of_line(std::string_view text, std::size_t at) {
  while (at < text.size() && !ends_line(text[at])) ++at;
  return at;
}

std::string* next_field(InfLine* line) {
  if (line->count == line->fields.size()) line->fields.emplace_back();
  std::string* field = &line->fields[line->count++];
  field->clear();
  return field;
}

// A line's fields from `at` to its end, continuation lines included; the position of its end.
// A "\" followed by nothing but blanks (and a comment) before the line's end joins the next line;
// anywhere else it is text, as in PCI\VEN_.
std::size_t read_fields(std::string_view text, std::size_t at, InfLine* line) {
  line->has_key = false;
  line->count = 0;
  std::string* field = next_field(line);
  std::size_t kept = 0;  // the field's length without its trailing blanks
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
        *field += text[at];
      }
      kept = field->size();
    } else if (c == '\\') {
      std::size_t next = at + 1;
      while (next < text.size() && (is_blank(text[next]) || text[next] == '\\')) ++next;
      if (next < text.size() && text[next] == ';') next = end_of_line(text, next);
      if (next < text.size() && text[next] == '\n') {
        field->resize(kept);
        for (at = next + 1; at < text.size() && is_blank(text[at]);) ++at;
      } else if (next >= text.size() || text[next] == kEndOfFile) {
        at = next;
      } else {
        field->append(text.substr(at, next - at));
        kept = field->size();
        at = next;
      }
    } else if (c == '=' && !line->has_key && line->count == 1) {
      line->key.assign(*field, 0, kept);
      line->has_key = true;
      field->clear();
      kept = 0;
      ++at;
    } else if (c == ',') {
      field->resize(kept);
      field = next_field(line);
      kept = 0;
      ++at;
    } else {
      // A run of blanks, or of plain text, at once: a long INF is mostly plain text.
      bool blank = is_blank(c);
      std::size_t end = at + 1;
      while (end < text.size() && (blank ? is_blank(text[end]) : is_plain(text[end]))) ++end;
      if (!blank || !field->empty()) field->append(text.substr(at, end - at));
      if (!blank) kept = field->size();
      at = end;
    }
  }
  field->resize(kept);
  return at;
}

// Lower-cased string keys and their values.
using StringTable = std::map<std::string, std::string>;

// What of an INF can make it ours, kept as it is read, its string tokens still as written: the
// [Manufacturer] lines, the strings, the fields after a line's install section that are an ID or
// may become one through a token, with their sections, and the services the .Services sections
// add.  Everything else is read and let go.
struct InfFacts {
  std::vector<std::vector<std::string>> manufacturers;   // a line's fields; the key's, if alone
  StringTable strings;                                   // [Strings]
  StringTable localized;                                 // [Strings.<language>]
  std::vector<std::pair<std::string, std::string>> ids;  // section, field
  std::vector<std::string> services;
};

void note_line(const std::string& section, const InfLine& line, InfFacts* facts) {
  const std::string* fields = line.fields.data();
  if (section == "manufacturer") {
    if (line.has_key || !fields[0].empty())
      facts->manufacturers.emplace_back(fields, fields + (line.has_key ? line.count : 1));
  } else if (section == "strings" || section.starts_with("strings.")) {
    if (line.has_key)
      (section == "strings" ? facts->strings : facts->localized).emplace(lowered(line.key), fields[0]);
  } else if (line.has_key && section.ends_with(".services") && equal_ignoring_letter_case(line.key, "AddService")) {
    facts->services.push_back(fields[0]);
  } else if (line.has_key) {
    // device-description = install-section, hardware-id, compatible-id... where the section is
    // a models section; which sections are is known only once [Manufacturer] is read.
    for (std::size_t i = 1; i < line.count; ++i) {
      if (is_supported_id(fields[i]) || fields[i].find('%') != std::string::npos)
        facts->ids.emplace_back(section, fields[i]);
    }
  }
}

// Calls note(section, line) for every line of every section, the section's name lower-cased.
// false when setup would not read the text as an INF at all: a line before the first section,
// or a section name without its closing bracket.
template <typename Note>
bool read_inf(std::string_view text, Note note) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // UTF-8's byte order mark
  std::string section;
  bool in_section = false;
  InfLine line;
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
      section = lowered(text.substr(at + 1, close - at - 1));
      in_section = true;
      at = end_of_line(text, close);  // the rest of the line is a comment
    } else if (!in_section) {
      return false;
    } else {
      at = read_fields(text, at, &line);
      note(section, line);
    }
  }
  return true;
}

// The field with its %strkey% tokens replaced from [Strings], else from a localized strings
// section; %% is a percent sign, and a token neither has stays as written (a directory ID such
// as %12% is no string).
std::string substituted(const std::string& field, const InfFacts& facts) {
  std::string out;
  for (std::size_t at = 0; at < field.size();) {
    std::size_t close = field[at] == '%' ? field.find('%', at + 1) : std::string::npos;
    if (close == std::string::npos) {
      out += field[at++];
      continue;
    }
    std::string key = lowered(std::string_view(field).substr(at + 1, close - at - 1));
    const std::string* value = nullptr;
    for (const StringTable* table : {&facts.strings, &facts.localized}) {
      auto found = table->find(key);
      if (value == nullptr && found != table->end()) value = &found->second;
    }
    if (close == at + 1) {
      out += '%';
    } else if (value != nullptr) {
      out += *value;
    } else {
      out.append(field, at, close - at + 1);
    }
    at = close + 1;
  }
  return out;
}

bool installs_package(const InfFacts& facts) {
  for (const std::string& service : facts.services) {
    if (equal_ignoring_letter_case(substituted(service, facts), kServiceName)) return true;
  }
  // Each [Manufacturer] line names a models section, either as its only field or as the first
  // field after "="; the platforms listed after that name its decorated forms (Models, NTamd64:
  // Models.NTamd64 too).
  std::set<std::string> models;
  for (const std::vector<std::string>& fields : facts.manufacturers) {
    std::string base = lowered(substituted(fields[0], facts));
    models.insert(base);
    for (std::size_t i = 1; i < fields.size(); ++i)
      models.insert(base + "." + lowered(substituted(fields[i], facts)));
  }
  for (const auto& [section, field] : facts.ids) {
    if (models.count(section) != 0 && is_supported_id(substituted(field, facts))) return true;
  }
  return false;
}

}  // namespace

bool inf_installs_package(const char* text, std::size_t size) {
  if (const void* zero = std::memchr(text, '\0', size))
    size = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
  std::string_view content(text, size);
  if (!names_supported_id(content) && !names_service(content)) return false;
  InfFacts facts;
  auto note = [&facts](const std::string& section, const InfLine& line) { note_line(section, line, &facts); };
  return read_inf(content, note) && installs_package(facts);
}

namespace {

// ---- The files an installation from the INF copies ---------------------------------------------

// A line kept whole, with its string tokens replaced.
struct KeptLine {
  bool has_key;
  std::string key;
  std::vector<std::string> fields;
};

struct InfText {
  InfFacts facts;                                         // for the string tokens and [Manufacturer]
  std::map<std::string, std::vector<KeptLine>> sections;  // by lower-cased name
};

const std::vector<KeptLine>* find_section(const InfText& inf, const std::string& name) {
  auto found = inf.sections.find(lowered(name));
  return found == inf.sections.end() ? nullptr : &found->second;
}

// The line of the platform's decorated section ([SourceDisksFiles.amd64]) or else of the plain
// one whose key is `key`, as setup looks a source file or disk up.
const KeptLine* find_source_line(const InfText& inf, const std::string& section, const std::string& platform,
                                 const std::string& key) {
  std::string decorated = section;
  decorated.append(".").append(platform);
  for (const std::string& name : {decorated, section}) {
    const std::vector<KeptLine>* lines = find_section(inf, name);
    if (lines == nullptr) continue;
    for (const KeptLine& line : *lines) {
      if (line.has_key && equal_ignoring_letter_case(line.key, key)) return &line;
    }
  }
  return nullptr;
}

// "a\b" from a and b, with no separator doubled and none for an empty part.
void append_path_part(std::string* path, std::string_view part) {
  while (!part.empty() && (part.front() == '\\' || part.front() == '/')) part.remove_prefix(1);
  while (!part.empty() && (part.back() == '\\' || part.back() == '/')) part.remove_suffix(1);
  if (part.empty()) return;
  if (!path->empty()) *path += '\\';
  *path += part;
}

// Where the source file lies relative to the INF's folder: the disk's path ([SourceDisksNames],
// its fourth field), then the file's subfolder ([SourceDisksFiles], its second field).
std::string source_path(const InfText& inf, const std::string& platform, const std::string& name) {
  std::string path;
  if (const KeptLine* file = find_source_line(inf, "SourceDisksFiles", platform, name)) {
    const std::vector<std::string>& fields = file->fields;
    const KeptLine* disk =
        fields.empty() ? nullptr : find_source_line(inf, "SourceDisksNames", platform, fields[0]);
    if (disk != nullptr && disk->fields.size() > 3) append_path_part(&path, disk->fields[3]);
    if (fields.size() > 1) append_path_part(&path, fields[1]);
  }
  append_path_part(&path, name);
  return path;
}

void add_file(std::vector<std::string>* files, std::string path) {
  for (const std::string& known : *files) {
    if (equal_ignoring_letter_case(known, path)) return;
  }
  files->push_back(std::move(path));
}

// The source files of the CopyFiles directives of one install section: "@name" is one file, any
// other entry a file-list section whose lines say "installed name[, source name]".
void add_copied_files(const InfText& inf, const std::string& section, const std::string& platform,
                      std::vector<std::string>* files) {
  const std::vector<KeptLine>* lines = find_section(inf, section);
  if (lines == nullptr) return;
  for (const KeptLine& directive : *lines) {
    if (!directive.has_key || !equal_ignoring_letter_case(directive.key, "CopyFiles")) continue;
    for (const std::string& entry : directive.fields) {
      if (entry.starts_with("@")) {
        add_file(files, source_path(inf, platform, entry.substr(1)));
        continue;
      }
      const std::vector<KeptLine>* list = entry.empty() ? nullptr : find_section(inf, entry);
      if (list == nullptr) continue;
      for (const KeptLine& line : *list) {
        if (line.has_key || line.fields.empty() || line.fields[0].empty()) continue;
        const std::string& source =
            line.fields.size() > 1 && !line.fields[1].empty() ? line.fields[1] : line.fields[0];
        add_file(files, source_path(inf, platform, source));
      }
    }
  }
}

// The platform a models section decoration names: ".ntamd64" and ".ntamd64.6.0" are "amd64",
// ".ntx86" "x86"; the plain and ".nt" sections serve x86.
std::string platform_of(const std::string& decoration) {
  std::string rest = decoration.starts_with(".nt") ? decoration.substr(3) : "";
  std::size_t dot = rest.find('.');
  if (dot != std::string::npos) rest.resize(dot);
  return rest.empty() ? "x86" : rest;
}

// The install section setup picks for the platform: the one decorated for it, else the one
// decorated for NT, else the plain one; "" when none exists.
std::string install_section(const InfText& inf, const std::string& name, const std::string& platform) {
  std::string nt = name + ".nt";
  std::string decorated = nt;
  decorated += platform;
  for (const std::string& candidate : {decorated, nt, name}) {
    if (find_section(inf, candidate) != nullptr) return candidate;
  }
  return "";
}

}  // namespace

bool inf_copied_files(const char* text, std::size_t size, std::vector<std::string>* files) {
  if (const void* zero = std::memchr(text, '\0', size))
    size = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
  InfText inf;
  bool read = read_inf(std::string_view(text, size), [&inf](const std::string& section, const InfLine& line) {
    note_line(section, line, &inf.facts);
    inf.sections[section].push_back(
        {line.has_key,
         line.key,
         {line.fields.begin(), line.fields.begin() + static_cast<std::ptrdiff_t>(line.count)}});
  });
  if (!read) return false;
  for (auto& [name, lines] : inf.sections) {
    for (KeptLine& line : lines) {
      for (std::string& field : line.fields) field = substituted(field, inf.facts);
    }
  }
  for (const std::vector<std::string>& manufacturer : inf.facts.manufacturers) {
    std::string base = lowered(substituted(manufacturer[0], inf.facts));
    std::vector<std::string> decorations{""};
    for (std::size_t i = 1; i < manufacturer.size(); ++i) {
      // Appended, not "." + ...: the optimiser's overlap warning misreads that form (GCC 12).
      decorations.emplace_back(".");
      decorations.back() += lowered(substituted(manufacturer[i], inf.facts));
    }
    for (const std::string& decoration : decorations) {
      const std::vector<KeptLine>* models = find_section(inf, base + decoration);
      if (models == nullptr) continue;
      std::string platform = platform_of(decoration);
      for (const KeptLine& model : *models) {
        bool ours = false;
        for (std::size_t i = 1; i < model.fields.size() && !ours; ++i)
          ours = is_supported_id(model.fields[i]);
        if (!ours) continue;
        std::string section = install_section(inf, model.fields[0], platform);
        if (section.empty()) continue;
        add_copied_files(inf, section, platform, files);
        add_copied_files(inf, section + ".CoInstallers", platform, files);
      }
    }
  }
  return true;
}
