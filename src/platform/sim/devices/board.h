// A board physically in the simulated machine, as machine.ini's [hardware] lists it: what the
// device side keeps and what tests and tools put in (sim_devices.h).
#pragma once

#include <string>
#include <vector>

#include "platform/port.h"

namespace sim {

struct Board {
  std::string instance_id;  // "PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\4&1F2E3D&0&0008"
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
  port::DWORD remove_error = 0;  // when non-zero, removing the board's node fails with it
};

}  // namespace sim
