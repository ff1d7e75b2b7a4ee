// One host's rehearsal, in a process of its own: its exports imported into a simulated machine
// (or the machine kept from before), the installer run there as the deployment runs it, the
// restart it asks for carried out, and the host's row.
#pragma once

#include <string>

#include "rehearse/row.h"

namespace halvik_sim::rehearsal {

struct Options {
  std::string fleet;
  std::string list_file;  // the list for hosts without their own batch.txt
  std::string machines;   // where the machines stay; "" a temporary folder
  bool remove = false;
  enum class Format { table, json, csv } format = Format::table;
  unsigned jobs = 0;
};

// The host's row; machine_dir: its machine, made from its exports unless kept from before;
// scratch: a folder of the host's own; installer: the install program to run there.
Row rehearse_host(const Options& options, const std::string& host, const std::string& machine_dir,
                  const std::string& scratch, const std::string& installer);

// The boards (and the root device node) that have the driver on the machine in use: device
// nodes present whose Service is halvik.  A node of a board taken out keeps its Service and is
// not counted.
std::string bound_count();

}  // namespace halvik_sim::rehearsal
