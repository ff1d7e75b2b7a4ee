// Reading setup information (INF) files, as far as a driver package needs: sections, lines of
// comma-separated fields with an optional "key =", ";" comments, quoted fields, "\" line
// continuation, %strkey% substitution from [Strings], and the platform decorations that choose
// a models or install section (NTx86, NTamd64, NT).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim::inf {

struct Line {
  std::string key;                  // text before "=", trimmed, strings substituted; "" when none
  std::vector<std::string> fields;  // the comma-separated values, trimmed, unquoted, substituted
  bool has_key = false;
};

struct Section {
  std::string name;  // as written, without brackets
  std::vector<Line> lines;
};

class Inf {
 public:
  // Sections of the same name (ignoring case) are merged, as Windows does.
  const Section* section(std::string_view name) const;
  // First field of the first line whose key equals `key` (ignoring case), or "".
  std::string value(std::string_view section_name, std::string_view key) const;
  bool has_value(std::string_view section_name, std::string_view key) const;
  // All first fields of lines with `key` in a section, in order (CopyFiles = a, b gives
  // both a and b: every field of every such line).
  std::vector<std::string> list_values(std::string_view section_name, std::string_view key) const;

  std::vector<Section> sections;
};

// Text in UTF-8/ANSI, or UTF-16LE with a byte-order mark (converted to UTF-8; characters beyond
// one byte are kept as UTF-8 sequences).
std::string decode_inf_text(const std::string& bytes);
Inf parse(const std::string& bytes);

// The machine's processor as INF decorations name it: "x86" or "amd64".
// Picks the decorated name of `base` that fits the platform from a list of decorations
// (those listed on a [Manufacturer] line): "NTamd64" over "NT"; an entry such as
// "NTx86.5.1" fits too.  Returns "" when decorations are listed and none fits, `base` when
// none are listed.
std::string choose_models_section(const std::string& base, const std::vector<std::string>& decorations,
                                  const std::string& platform);
// The install section Windows uses for a DDInstall name: base.NT<platform>, else base.NT,
// else base; "" when none of them exists.
std::string choose_install_section(const Inf& inf, const std::string& base, const std::string& platform);

// One driver the INF offers: a model line of the platform's models section.
struct Model {
  std::string description;       // DeviceDesc, strings substituted
  std::string install_section;   // the DDInstall name as written on the line
  std::vector<std::string> ids;  // hardware ID first, then compatible IDs
  std::string manufacturer;
};
std::vector<Model> models(const Inf& inf, const std::string& platform);

// [Version] Class and ClassGuid.
std::string class_name(const Inf& inf);
std::string class_guid(const Inf& inf);

bool equal_ignoring_case(std::string_view a, std::string_view b);
std::string to_lower(std::string_view text);
std::string to_upper(std::string_view text);

}  // namespace sim::inf
