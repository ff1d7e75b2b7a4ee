#include "common/programs.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "process/process.h"

namespace programs {

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string first_lines(const std::vector<std::string>& lines, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < lines.size() && i < count; ++i) text += (i > 0 ? " | " : "") + lines[i];
  if (lines.size() > count) text += " | ... (" + std::to_string(lines.size()) + " lines)";
  return text;
}

Outcome run(const std::vector<std::string>& argv, const fs::path& machine, const fs::path& /*scratch*/,
            const std::string& input) {
  process::Request request;
  request.argv = argv;
  request.environment = {machine.empty() ? "HALVIK_MACHINE" : "HALVIK_MACHINE=" + machine.string()};
  request.input = input;
  request.time_limit = kTimeoutSeconds;
  process::Result result = process::run(request);
  Outcome outcome;
  if (!result.started) {
    outcome.err = "cannot start " + argv[0];
    return outcome;
  }
  outcome.hung = result.hung;
  outcome.signal = result.signal;
  outcome.code = result.code;
  outcome.out = std::move(result.out);
  outcome.err = std::move(result.err);
  return outcome;
}

namespace {

bool sanitizer_report(const std::string& err) {
  for (const char* marker : {"AddressSanitizer", "runtime error:", "LeakSanitizer"}) {
    if (err.find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string misbehaviour(const Outcome& outcome) {
  if (outcome.hung) return "no end after " + std::to_string(kTimeoutSeconds) + " s";
  if (outcome.signal != 0) return "killed by signal " + std::to_string(outcome.signal);
  if (outcome.code != 0 && outcome.code != 1 && outcome.code != 254 && outcome.code != 255)
    return "exit code " + std::to_string(outcome.code);
  if (sanitizer_report(outcome.err)) return "sanitizer: " + first_lines(lines_of(outcome.err), 2);
  return "";
}

void copy_machine(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive);
}

std::vector<std::string> diff(const std::string& sim, const fs::path& a, const fs::path& b) {
  Outcome outcome = run({sim, "diff", a.string(), b.string()}, "", b.string() + ".diff");
  std::vector<std::string> lines = lines_of(outcome.out);
  if (outcome.code != 0 && outcome.code != 1) return {"halvik-sim diff failed: " + outcome.err};
  return lines.size() > 2 ? std::vector<std::string>(lines.begin() + 2, lines.end()) : lines;
}

Outcome restart(const std::string& sim, const fs::path& machine) {
  return run({sim, "reboot", machine.string()}, "", machine.string() + ".reboot");
}

Registry load_registry(const fs::path& machine) {
  Registry registry;
  Values* key = nullptr;
  std::string pending;
  for (std::string line : lines_of(read_text(machine / "registry.reg"))) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!pending.empty()) line = pending + line.substr(std::min(line.find_first_not_of(' '), line.size()));
    pending.clear();
    if (!line.empty() && line.back() == '\\' && line[0] != '[') {
      pending = line.substr(0, line.size() - 1);
      continue;
    }
    if (line.size() > 1 && line[0] == '[' && line.back() == ']') {
      std::string name = lower(line.substr(1, line.size() - 2));
      const std::string hive = "hkey_local_machine\\";
      key = &registry[name.rfind(hive, 0) == 0 ? name.substr(hive.size()) : ""];
    } else if (key != nullptr && (line.rfind("@=", 0) == 0 || line.rfind("\"", 0) == 0)) {
      std::size_t end = 1;
      while (line[0] == '"' && end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
      std::size_t equals = line[0] == '@' ? 1 : end + 1;
      if (equals < line.size()) (*key)[lower(line.substr(0, equals))] = line.substr(equals + 1);
    }
  }
  return registry;
}

const std::string* value_of(const Registry& registry, const std::string& key, const std::string& name) {
  auto k = registry.find(lower(key));
  if (k == registry.end()) return nullptr;
  auto v = k->second.find("\"" + lower(name) + "\"");
  return v == k->second.end() ? nullptr : &v->second;
}

std::optional<std::uint32_t> dword_of(const Registry& registry, const std::string& key,
                                      const std::string& name) {
  const std::string* data = value_of(registry, key, name);
  if (data == nullptr || data->rfind("dword:", 0) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(std::stoul(data->substr(6), nullptr, 16));
}

std::string string_of(const Registry& registry, const std::string& key, const std::string& name) {
  const std::string* data = value_of(registry, key, name);
  if (data == nullptr || data->size() < 2 || (*data)[0] != '"') return {};
  std::string text;
  for (std::size_t i = 1; i + 1 < data->size(); ++i) text += (*data)[i] == '\\' ? (*data)[++i] : (*data)[i];
  return text;
}

void set_ini(const fs::path& machine, const std::string& section, const std::string& key,
             const std::string& value) {
  std::vector<std::string> lines = lines_of(read_text(machine / "machine.ini"));
  std::string current;
  std::size_t end = lines.size();  // where the section ends, when it is there
  bool found = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] == '[') {
      if (current == lower(section)) end = i;
      current = lower(lines[i].substr(1, lines[i].find(']') - 1));
      if (current == lower(section)) end = lines.size();
      continue;
    }
    std::string name = lines[i].substr(0, lines[i].find('='));
    name.erase(name.find_last_not_of(" \t") + 1);
    if (current == lower(section) && lower(name) == lower(key)) {
      lines[i] = value.empty() ? "" : key + " = " + value;
      found = true;
    }
  }
  if (!found && !value.empty()) {
    bool has_section = false;
    for (const std::string& line : lines) has_section |= lower(line) == "[" + lower(section) + "]";
    if (!has_section) {
      lines.push_back("[" + section + "]");
      end = lines.size();
    }
    while (end > 0 && lines[end - 1].empty()) --end;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), key + " = " + value);
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  write_text(machine / "machine.ini", text);
}

std::vector<std::pair<std::string, std::string>> ini_section(const fs::path& machine,
                                                             const std::string& section) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string current;
  for (const std::string& line : lines_of(read_text(machine / "machine.ini"))) {
    if (!line.empty() && line[0] == '[') current = lower(line.substr(1, line.find(']') - 1));
    std::size_t equals = line.find('=');
    if (current != lower(section) || line.empty() || line[0] == '[' || line[0] == ';' ||
        equals == std::string::npos)
      continue;
    auto trim = [](std::string text) {
      text.erase(0, text.find_first_not_of(" \t"));
      text.erase(text.find_last_not_of(" \t") + 1);
      return text;
    };
    entries.emplace_back(trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
  }
  return entries;
}

std::string ini_value(const fs::path& machine, const std::string& section, const std::string& key) {
  for (const auto& [name, value] : ini_section(machine, section)) {
    if (lower(name) == lower(key)) return value;
  }
  return {};
}

fs::path make_temp_dir(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

}  // namespace programs
