// The devices of the simulated machine, as tests and tools see them (included by sim.h).
//
// Boards are what is physically in the machine (machine.ini [hardware]); device nodes are the
// Enum keys the system keeps for them
// (SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>).  A board's node is present while the
// board is in the machine; a root-enumerated node (Enum\Root\...) is always present.  Removing a node leaves
// its board in the machine, and the next re-enumeration finds it again, without a driver.
#pragma once

#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/devices/board.h"

namespace sim {

// Puts a board into the machine and creates its device node (no driver) unless one exists.
void add_board(const Board& board);
// Takes the board out of the machine; its node, if any, stays behind, no longer present.
void remove_board(const std::string& instance_id);
std::vector<Board> boards();
// Instance IDs of all device nodes (present or not), in registry order.
std::vector<std::string> device_nodes();
bool device_present(const std::string& instance_id);
// The node's Driver value ("{class GUID}\NNNN"), "" when it has none or there is no such node.
std::string device_driver(const std::string& instance_id);

// CMP_WaitNoPendingInstallEvents can be looked up in setupapi.dll (the default) or not.
void set_wait_no_pending_available(bool available);
// CMP_WaitNoPendingInstallEvents runs out of time (WAIT_TIMEOUT) instead of finding nothing pending.
void set_wait_no_pending_times_out(bool times_out);
// UpdateDriverForPlugAndPlayDevicesA answers that a restart is required.
void set_update_restart_required(bool required);
// CM_Reenumerate_DevNode_Ex fails with this code (0: succeeds).
void set_reenumerate_error(port::CONFIGRET error);

}  // namespace sim
