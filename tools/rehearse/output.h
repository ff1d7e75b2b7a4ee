// The rehearsal's rows as a table, as JSON or as CSV, on standard output.
#pragma once

#include <vector>

#include "rehearse/row.h"

namespace halvik_sim::rehearsal {

// The fields as named, numbers as numbers (null when there is none), lists as arrays.
void print_json(const std::vector<Row>& rows);
// RFC 4180, a header line first.
void print_csv(const std::vector<Row>& rows);
// Columns padded to their widest cell, "-" for an empty one; each report below the table.
void print_table(const std::vector<Row>& rows);

}  // namespace halvik_sim::rehearsal
