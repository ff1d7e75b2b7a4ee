#include "rehearse/row.h"

#include <fstream>
#include <sstream>

#include "platform/sim/machine/machine.h"

namespace halvik_sim::rehearsal {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char next = text[++i];
      out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

const std::vector<Field>& row_fields() {
  static const std::vector<Field> fields = {
      {"host", &Row::host, Kind::text},
      {"windows", &Row::windows, Kind::text},
      {"processor", &Row::processor, Kind::text},
      {"boards", &Row::boards, Kind::number},
      {"was", &Row::was, Kind::text},
      {"list", &Row::list_from, Kind::text},
      {"exit", &Row::exit_codes, Kind::numbers},
      {"meaning", &Row::meaning, Kind::text},
      {"restarts", &Row::restarts, Kind::number},
      {"pending", &Row::pending, Kind::lines},
      {"bound", &Row::bound, Kind::number},
      {"SystemPages_before", &Row::pages_before, Kind::number},
      {"SystemPages_after", &Row::pages_after, Kind::number},
      {"report", &Row::report, Kind::text},
  };
  return fields;
}

bool write_row(const Row& row, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  for (const Field& field : row_fields()) out << field.name << '\t' << escaped(row.*field.member) << '\n';
  out << "ok\t" << (row.ok ? 1 : 0) << '\n';
  return static_cast<bool>(out);
}

bool read_row(const std::string& path, Row* row) {
  std::string text;
  if (!sim::internal::read_whole_file(path, &text)) return false;
  std::istringstream in(text);
  std::string line;
  bool complete = false;
  while (std::getline(in, line)) {
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string name = line.substr(0, tab);
    std::string value = unescaped(line.substr(tab + 1));
    if (name == "ok") {
      row->ok = value == "1";
      complete = true;
    }
    for (const Field& field : row_fields()) {
      if (name == field.name) row->*field.member = value;
    }
  }
  return complete;
}

}  // namespace halvik_sim::rehearsal
