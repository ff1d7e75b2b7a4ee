#include "frontend/exit_codes.h"

int exit_code_for(int result, bool restart_recommended, bool restart_started, bool agent_codes) {
  bool succeeded = result == kRunSucceeded || result == kRunDeclined || result == kRunInformation;
  if (!agent_codes) {
    if (succeeded) return restart_recommended ? 1 : 0;
    return restart_recommended ? -2 : -1;
  }
  switch (result) {
    case kRunSucceeded:
      if (restart_started) return kAgentRestartStarted;
      return restart_recommended ? kAgentRestartNeeded : 0;
    case kRunInformation:
      return 0;
    case kRunDeclined:
      // Nothing was installed: an agent must not take the host for done.
      return kAgentDeclined;
    case kRunUsageError:
      return kAgentUsageError;
    default:
      // A failure that leaves a restart due has no code of its own among the conventions; the
      // failure is what the agent must see, the log and the event say the restart is due.
      return kAgentFailed;
  }
}
