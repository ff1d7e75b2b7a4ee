// What the readers of a simulated machine's files must do with any input: refuse it with
// "NAME:LINE: reason", or take it and write it back in a form that reads again to the same
// text.  Shared by the fuzz harness and the unit tests' sweep of broken files.
#pragma once

#include <string>

#include "platform/sim/machine/machine.h"

namespace sim_files_check {

using namespace sim::internal;

// "" when `error` reads "NAME:LINE: reason" with LINE from 1.
inline std::string refusal_problem(const std::string& name, const std::string& error) {
  std::string prefix = name + ":";
  if (error.compare(0, prefix.size(), prefix) != 0) return "refusal without the file's name: " + error;
  std::size_t at = prefix.size();
  std::size_t digits = 0;
  while (at + digits < error.size() && error[at + digits] >= '0' && error[at + digits] <= '9') ++digits;
  if (digits == 0 || error[at] == '0' || error.compare(at + digits, 2, ": ") != 0)
    return "refusal without the line: " + error;
  return "";
}

// "" when registry.reg holding `bytes` is refused properly or taken and written back stably.
inline std::string registry_problem(const std::string& bytes) {
  KeyPtr root;
  std::string error;
  if (!parse_reg_file(bytes, "registry.reg", &root, &error)) return refusal_problem("registry.reg", error);
  std::string written = write_reg_text(*root);
  KeyPtr again;
  if (!parse_reg_file(written, "registry.reg", &again, &error)) return "written form refused: " + error;
  if (write_reg_text(*again) != written) return "written form reads back different:\n" + written;
  return "";
}

// The same for machine.ini, and every entry taken as a fault line reads back the same.
inline std::string ini_problem(const std::string& text) {
  Ini parsed;
  std::string error;
  if (!parse_ini(text, "machine.ini", &parsed, &error)) return refusal_problem("machine.ini", error);
  std::string written = write_ini(parsed);
  Ini again;
  if (!parse_ini(written, "machine.ini", &again, &error)) return "written form refused: " + error;
  if (write_ini(again) != written) return "written form reads back different:\n" + written;
  for (const IniSection& section : again.sections) {
    for (const IniEntry& entry : section.entries) {
      Fault fault;
      std::string why;
      if (!parse_fault(entry.key, entry.value, &fault, &why)) {
        if (why.empty()) return "fault refused without a reason: " + entry.key;
        continue;
      }
      Fault back;
      if (!parse_fault(fault_key(fault), std::to_string(fault.error), &back) ||
          fault_key(back) != fault_key(fault) || back.error != fault.error)
        return "fault does not read back: " + fault_key(fault);
    }
  }
  return "";
}

}  // namespace sim_files_check
