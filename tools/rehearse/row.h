// A host's row in the rehearsal: its fields, and the file a host's process hands it back in.
#pragma once

#include <string>
#include <vector>

namespace halvik_sim::rehearsal {

// One host's rehearsal.
struct Row {
  std::string host;
  std::string windows;
  std::string processor;
  std::string boards;      // supported boards present
  std::string was;         // the version installed before, "none"
  std::string list_from;   // where the host's list came from (batch-source.txt), "one-off" for --list
  std::string exit_codes;  // "1", or "-2 1" when the installer ran again after the restart
  std::string meaning;
  std::string restarts;      // restarts carried out
  std::string pending;       // what waited for the restart (files, services), one a line
  std::string bound;         // device nodes present bound to halvik afterwards
  std::string pages_before;  // SystemPages, "none" when unset
  std::string pages_after;
  std::string report;  // standard error of a failed run, or why the host couldn't be rehearsed
  bool ok = false;
};

// How a field goes into JSON: a string, a number (null when there is none), numbers separated
// by spaces as an array, or lines as an array of strings.
enum class Kind { text, number, numbers, lines };

struct Field {
  const char* name;
  std::string Row::*member;
  Kind kind;
};

// The order of the JSON members and CSV columns; the table joins the two SystemPages.
const std::vector<Field>& row_fields();

// The row as "name<TAB>value" lines (tabs, line ends and backslashes escaped), "ok" last.
bool write_row(const Row& row, const std::string& path);
// False when the file is missing or cut short of its "ok" line.
bool read_row(const std::string& path, Row* row);

}  // namespace halvik_sim::rehearsal
