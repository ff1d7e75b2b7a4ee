// Raising SystemPages for the number of modules, and undoing it on removal.
#pragma once

#include "config/driver_config.h"

inline constexpr const char* kMemoryManagementKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

// A volatile key under the Memory Management key, made before each change to SystemPages: it
// is there until the next restart, that is for as long as a change made since is not yet real.
inline constexpr const char* kRestartPendingKeyName = "TessaridgeRestartPending";

// What the step did, as an operation's memory_outcome carries it: after an installation, and
// after a removal.  0 is nothing done in either.
enum InstallMemoryOutcome : int { kNoAdjustment = 0, kAdjustmentPerformed = 1, kPreviousAdjustmentFound = 2 };
enum RemovalMemoryOutcome : int {
  kNothingToRestore = 0,
  kValuesRestored = 1,
  kValuesRecalculated = 2,  // another program had adjusted the value too
  kValueDecreased = 3,      // left as it is
};

// Whether a change to SystemPages since the last restart waits for one, whichever run made it.
bool memory_restart_pending();

// Whether SystemPages can be read (and its key opened for writing), before anything of an
// earlier installation is taken away for a new one that adjusts it.  0, or 1 with the failure
// naming the value's key.
int check_memory_setting(FailureInfo* failure);
// 0 or 1.  A failed write leaves SystemPages as it was found.  The record is written before
// SystemPages, so that a run ended at any point leaves what the next removal can undo.
int apply_memory_adjustment(const DriverConfig& config, int already_opt, std::uint32_t meg_in_system,
                            int* memory_outcome, int* reboot_needed, FailureInfo* failure);
// 0 restored, or nothing of ours to restore; 1 no complete bookkeeping (absent values, or of
// another type: recorded as today, and the removal goes on); 2 an adjustment of ours is there
// but can't be read or undone, recorded in failure: the removal must stop before it deletes
// the bookkeeping, so that the next removal can still restore it.
inline constexpr int kAdjustmentStuck = 2;
int restore_memory_adjustment(int* memory_outcome, int* reboot_needed, FailureInfo* failure);
