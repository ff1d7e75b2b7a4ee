// registry.reg read in parts: a large file is cut at a key line and its two halves are read side
// by side, each into a tree of its own, the second then merged into the first.
#pragma once

#include <cstddef>
#include <string>

#include "platform/sim/machine/reg_lines.h"
#include "platform/sim/machine/registry.h"

namespace sim::internal {

// What the reader made of a part of registry.reg.
struct PartRead {
  KeyPtr tree;              // what the part is read into (another part's tree: it goes on from it)
  std::size_t lines = 0;    // how many lines the part held, once read to its end
  bool stopped = false;     // it met a removal and was told to stop there
  bool unreadable = false;  // the file could not be read
  bool failed = false;      // a fault in the text: its line (from 0, within the part) and what
  std::size_t fault_line = 0;
  std::string fault;
};

// Reads the lines of a part into part->tree.  With `header`, the part is the file's beginning
// and must start with the header line.  With `stop_at_removal`, a key or value removal stops it:
// what it removes may be in an earlier part.  False when the part was not read to its end.
bool read_part(LineReader& lines, bool header, bool stop_at_removal, PartRead* part);

}  // namespace sim::internal
