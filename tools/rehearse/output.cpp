#include "rehearse/output.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

namespace halvik_sim::rehearsal {

namespace {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A whole decimal integer, as JSON writes it; "" when the text is none ("none", "", "-").
std::string json_number(const std::string& text) {
  std::size_t digits = text.rfind('-', 0) == 0 ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return "";
  return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::string json_value(const std::string& text, Kind kind) {
  if (kind == Kind::text) return json_string(text);
  if (kind == Kind::number) {
    std::string number = json_number(text);
    return number.empty() ? "null" : number;
  }
  std::string out = "[";
  for (const std::string& part : split(text, kind == Kind::numbers ? ' ' : '\n')) {
    std::string value = kind == Kind::lines ? json_string(part) : json_number(part);
    out += (out.size() > 1 ? ", " : "") + (value.empty() ? "null" : value);
  }
  return out + "]";
}

// RFC 4180: a cell with a comma, a quote or a line end is quoted, its quotes doubled.  Lists
// are joined by "; ", the exit codes by spaces.
std::string csv_cell(const std::string& text, Kind kind) {
  std::string cell = text;
  if (kind == Kind::number) cell = json_number(text);
  if (kind == Kind::lines) {
    cell.clear();
    for (const std::string& part : split(text, '\n')) cell += (cell.empty() ? "" : "; ") + part;
  }
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string out = "\"";
  for (char c : cell) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// The table's cells: the fields in their order, SystemPages as "before -> after", lists on one
// line; the report goes below the table, as it may run to several lines.
std::vector<std::string> table_cells(const Row& row) {
  std::vector<std::string> cells;
  for (const Field& field : row_fields()) {
    const std::string& value = row.*field.member;
    if (field.member == &Row::report || field.member == &Row::pages_after) continue;
    if (field.member == &Row::pages_before) {
      cells.push_back(value.empty() ? "" : value + " -> " + row.pages_after);
    } else {
      cells.push_back(field.kind == Kind::lines ? csv_cell(value, Kind::lines) : value);
    }
  }
  return cells;
}

}  // namespace

void print_json(const std::vector<Row>& rows) {
  std::printf("[\n");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string line = "  {";
    for (const Field& field : row_fields())
      line += json_string(field.name) + ": " + json_value(rows[i].*field.member, field.kind) + ", ";
    line += "\"ok\": ";
    line += rows[i].ok ? "true" : "false";
    std::printf("%s}%s\n", line.c_str(), i + 1 < rows.size() ? "," : "");
  }
  std::printf("]\n");
}

void print_csv(const std::vector<Row>& rows) {
  std::string header;
  for (const Field& field : row_fields()) header += std::string(field.name) + ",";
  std::printf("%sok\n", header.c_str());
  for (const Row& row : rows) {
    std::string line;
    for (const Field& field : row_fields()) line += csv_cell(row.*field.member, field.kind) + ",";
    std::printf("%s%s\n", line.c_str(), row.ok ? "true" : "false");
  }
}

void print_table(const std::vector<Row>& rows) {
  std::vector<std::string> header;
  for (const Field& field : row_fields()) {
    if (field.member == &Row::report || field.member == &Row::pages_after) continue;
    header.emplace_back(field.member == &Row::pages_before ? "SystemPages" : field.name);
  }
  std::size_t columns = header.size();
  std::vector<std::vector<std::string>> cells;
  for (const Row& row : rows) cells.push_back(table_cells(row));
  std::vector<std::size_t> width(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    width[c] = header[c].size();
    for (const auto& row_cells : cells) width[c] = std::max(width[c], row_cells[c].size());
  }
  auto print_line = [&](const std::vector<std::string>& line_cells) {
    std::string line;
    for (std::size_t c = 0; c < columns; ++c) {
      line += line_cells[c];
      if (c + 1 < columns) line += std::string(width[c] - line_cells[c].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  };
  print_line(header);
  for (auto& row_cells : cells) {
    for (std::string& cell : row_cells) {
      if (cell.empty()) cell.assign(1, '-');
    }
    print_line(row_cells);
  }
  for (const Row& row : rows) {
    if (row.report.empty()) continue;
    std::printf("\n%s:\n", row.host.c_str());
    std::istringstream in(row.report);
    std::string line;
    while (std::getline(in, line)) std::printf("  %s\n", line.c_str());
  }
}

}  // namespace halvik_sim::rehearsal
