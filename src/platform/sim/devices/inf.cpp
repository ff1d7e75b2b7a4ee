#include "platform/sim/devices/inf.h"

#include <cstddef>
#include <map>

namespace sim::inf {

namespace {

char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return std::string(text.substr(begin, end - begin));
}

void append_utf8(std::string* out, unsigned code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// A line before substitution: the raw key and the raw fields, quotes still in place.
struct RawLine {
  std::string key;
  std::vector<std::string> fields;
  std::string rest;  // everything after "=" (or the whole line), for [Strings]
  bool has_key = false;
};
struct RawSection {
  std::string name;
  std::vector<RawLine> lines;
};

// Splits the text into logical lines: comments removed, "\" at a line's end joins the next.
std::vector<std::string> logical_lines(const std::string& text) {
  std::vector<std::string> out;
  std::string pending;
  bool continuing = false;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view physical(text.data() + pos, end - pos);
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
    // Cut the comment: a ";" outside quotes.
    bool quoted = false;
    std::size_t cut = physical.size();
    for (std::size_t i = 0; i < physical.size(); ++i) {
      if (physical[i] == '"') quoted = !quoted;
      if (physical[i] == ';' && !quoted) {
        cut = i;
        break;
      }
    }
    std::string content = trim(physical.substr(0, cut));
    bool continues = !content.empty() && content.back() == '\\' && content.rfind('[', 0) != 0;
    if (continues) content = trim(std::string_view(content).substr(0, content.size() - 1));
    if (continuing) {
      pending += content;
    } else {
      pending = content;
    }
    continuing = continues;
    if (!continuing) {
      if (!pending.empty()) out.push_back(pending);
      pending.clear();
    }
    if (end == text.size()) break;
    pos = end + 1;
  }
  if (!pending.empty()) out.push_back(pending);
  return out;
}

std::vector<std::string> split_fields(std::string_view text) {
  std::vector<std::string> fields;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == ',' && !quoted) {
      fields.push_back(trim(text.substr(start, i - start)));
      start = i + 1;
    }
  }
  fields.push_back(trim(text.substr(start)));
  return fields;
}

using StringTable = std::map<std::string, std::string>;  // lower-cased key -> value

// Removes quotes ("" inside quotes is one quote) and replaces %key% from the string table;
// %% is a percent sign, an unknown %key% (a directory ID such as %12%) stays as written.
std::string resolve(std::string_view raw, const StringTable* strings) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '"') {
      if (quoted && i + 1 < raw.size() && raw[i + 1] == '"') {
        out.push_back('"');
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    if (c == '%' && strings != nullptr) {
      std::size_t close = raw.find('%', i + 1);
      if (close != std::string_view::npos) {
        std::string_view name = raw.substr(i + 1, close - i - 1);
        if (name.empty()) {
          out.push_back('%');
        } else {
          auto found = strings->find(to_lower(name));
          if (found != strings->end()) {
            out += found->second;
          } else {
            out.append(raw.substr(i, close - i + 1));
          }
        }
        i = close;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

}  // namespace

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower_ascii(c);
  return out;
}

std::string to_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string decode_inf_text(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string out;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
        unsigned low =
            static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          append_utf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          i += 2;
          continue;
        }
      }
      append_utf8(&out, unit);
    }
    return out;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  return bytes;
}

Inf parse(const std::string& bytes) {
  std::string text = decode_inf_text(bytes);
  std::vector<RawSection> raw_sections;
  RawSection* current = nullptr;
  for (const std::string& line : logical_lines(text)) {
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      std::string name =
          trim(std::string_view(line).substr(1, close == std::string::npos ? std::string::npos : close - 1));
      current = nullptr;
      for (RawSection& existing : raw_sections) {
        if (equal_ignoring_case(existing.name, name)) current = &existing;
      }
      if (current == nullptr) {
        raw_sections.push_back(RawSection{name, {}});
        current = &raw_sections.back();
      }
      continue;
    }
    if (current == nullptr) continue;  // lines before the first section mean nothing
    RawLine raw;
    bool quoted = false;
    std::size_t equals = std::string::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == '=' && !quoted) {
        equals = i;
        break;
      }
    }
    if (equals != std::string::npos) {
      raw.has_key = true;
      raw.key = trim(std::string_view(line).substr(0, equals));
      raw.rest = trim(std::string_view(line).substr(equals + 1));
    } else {
      raw.rest = line;
    }
    raw.fields = split_fields(raw.rest);
    current->lines.push_back(raw);
  }

  StringTable strings;
  for (const RawSection& section : raw_sections) {
    if (!equal_ignoring_case(section.name, "Strings")) continue;
    for (const RawLine& line : section.lines) {
      if (line.has_key) strings[to_lower(resolve(line.key, nullptr))] = resolve(line.rest, nullptr);
    }
  }

  Inf inf;
  for (const RawSection& raw_section : raw_sections) {
    Section section{raw_section.name, {}};
    bool is_strings = equal_ignoring_case(raw_section.name, "Strings");
    for (const RawLine& raw : raw_section.lines) {
      Line line;
      line.has_key = raw.has_key;
      line.key = resolve(raw.key, &strings);
      if (is_strings) {
        line.fields.push_back(resolve(raw.rest, nullptr));
      } else {
        for (const std::string& field : raw.fields) line.fields.push_back(resolve(field, &strings));
      }
      section.lines.push_back(line);
    }
    inf.sections.push_back(section);
  }
  return inf;
}

const Section* Inf::section(std::string_view name) const {
  for (const Section& candidate : sections) {
    if (equal_ignoring_case(candidate.name, name)) return &candidate;
  }
  return nullptr;
}

std::string Inf::value(std::string_view section_name, std::string_view key) const {
  const Section* found = section(section_name);
  if (found == nullptr) return "";
  for (const Line& line : found->lines) {
    if (line.has_key && equal_ignoring_case(line.key, key))
      return line.fields.empty() ? "" : line.fields.front();
  }
  return "";
}

bool Inf::has_value(std::string_view section_name, std::string_view key) const {
  const Section* found = section(section_name);
  if (found == nullptr) return false;
  for (const Line& line : found->lines) {
    if (line.has_key && equal_ignoring_case(line.key, key)) return true;
  }
  return false;
}

std::vector<std::string> Inf::list_values(std::string_view section_name, std::string_view key) const {
  std::vector<std::string> out;
  const Section* found = section(section_name);
  if (found == nullptr) return out;
  for (const Line& line : found->lines) {
    if (!line.has_key || !equal_ignoring_case(line.key, key)) continue;
    for (const std::string& field : line.fields) {
      if (!field.empty()) out.push_back(field);
    }
  }
  return out;
}

std::string choose_models_section(const std::string& base, const std::vector<std::string>& decorations,
                                  const std::string& platform) {
  if (decorations.empty()) return base;
  std::string wanted = "nt" + to_lower(platform);
  std::string generic;
  for (const std::string& decoration : decorations) {
    std::string lower = to_lower(decoration);
    // "NTamd64" and "NTamd64.6.1" (a version-limited entry; every version is taken to fit).
    if (lower == wanted || lower.rfind(wanted + ".", 0) == 0) return base + "." + decoration;
    if (lower == "nt" || lower.rfind("nt.", 0) == 0) generic = base + "." + decoration;
  }
  return generic;
}

std::string choose_install_section(const Inf& inf, const std::string& base, const std::string& platform) {
  for (const std::string& candidate : {base + ".NT" + platform, base + ".NT", base}) {
    if (const Section* found = inf.section(candidate)) return found->name;
  }
  return "";
}

std::vector<Model> models(const Inf& inf, const std::string& platform) {
  std::vector<Model> out;
  const Section* manufacturers = inf.section("Manufacturer");
  if (manufacturers == nullptr) return out;
  for (const Line& line : manufacturers->lines) {
    if (line.fields.empty() || line.fields.front().empty()) continue;
    std::vector<std::string> decorations(line.fields.begin() + 1, line.fields.end());
    std::string name = choose_models_section(line.fields.front(), decorations, platform);
    const Section* models_section = name.empty() ? nullptr : inf.section(name);
    if (models_section == nullptr) continue;
    for (const Line& model_line : models_section->lines) {
      if (!model_line.has_key || model_line.fields.size() < 2) continue;
      Model model;
      model.description = model_line.key;
      model.install_section = model_line.fields[0];
      model.manufacturer = line.has_key ? line.key : line.fields.front();
      for (std::size_t i = 1; i < model_line.fields.size(); ++i) {
        if (!model_line.fields[i].empty()) model.ids.push_back(model_line.fields[i]);
      }
      if (!model.ids.empty()) out.push_back(model);
    }
  }
  return out;
}

std::string class_name(const Inf& inf) {
  return inf.value("Version", "Class");
}
std::string class_guid(const Inf& inf) {
  return inf.value("Version", "ClassGuid");
}

}  // namespace sim::inf
