#include "frontend/program.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/registry_flush.h"
#include "common/report.h"
#include "config/memory_adjustment.h"
#include "frontend/command_line.h"
#include "frontend/dialogue.h"
#include "frontend/exit_codes.h"
#include "common/failure.h"
#include "frontend/rights.h"
#include "frontend/settings.h"
#include "platform/port.h"
#include "pnp/device_walk.h"
#include "pnp/hardware_ids.h"
#include "pnp/pnp.h"
#include "product/product_entry.h"
#include "runlog/run_log.h"
#include "service/service_control.h"

namespace {

void print_removal_outcome(int memory_outcome) {
  switch (memory_outcome) {
    case kValuesRestored:
      report_output("Original memory values restored.\n");
      break;
    case kValuesRecalculated:
      report_output("Memory values readjusted.\n");
      report_output("Another program had adjusted the same memory parameters,\n");
      report_output("so values were recalculated rather than restored.\n");
      break;
    case kValueDecreased:
      report_output("Memory values not modified, value had been decreased.\n");
      break;
    default:
      break;
  }
}

void print_installation_outcome(int memory_outcome) {
  report_output("The Plug and Play driver was successfully installed.\n");
  if (memory_outcome == kAdjustmentPerformed) report_output("Memory adjustment performed.\n");
  if (memory_outcome == kPreviousAdjustmentFound) {
    report_output("Previous adjustment detected, ");
    if (already_opt == 1) report_output("no adjustment performed.\n");
    if (already_opt == 2) report_output("adjustment replaced.\n");
    if (already_opt == 3) report_output("adjustment was added to.\n");
  }
  if (memory_outcome > kNoAdjustment) {
    report_output("You must reboot the system for the memory\n");
    report_output("configuration changes to take effect.\n");
  }
}

// How the run ends and what is kept of it.
bool agent_exit_codes = false;
bool restart_started = false;
RunRecord record{};

// The run's record begins before anything else: its time and command line.
void start_record(int argc, char** argv) {
  record.program = "install";
  record.command_line = command_line_text(argc, argv);
  port::GetLocalTime(&record.started);
}

std::string operation_name() {
  return removal_mode != 0 ? "removal" : "installation";
}

port::DWORD event_for(int result) {
  switch (result) {
    case kRunSucceeded:
      if (restart_started) return kEventSucceededRestartStarted;
      return reboot_recommended != 0 ? kEventSucceededRestartNeeded : kEventSucceeded;
    case kRunDeclined:
      return kEventDeclined;
    case kRunUsageError:
      return kEventUsageError;
    case kRunWithoutRights:
      return kEventNoRights;
    default:
      return reboot_recommended != 0 ? kEventFailedRestartNeeded : kEventFailed;
  }
}

std::string outcome_for(int result) {
  std::string product = "the Quillant(R) Tessaridge(R) driver " HALVIK_VERSION;
  switch (result) {
    case kRunSucceeded:
      if (restart_started) return "The " + operation_name() + " of " + product + " succeeded; the system is restarting.";
      if (reboot_recommended != 0)
        return "The " + operation_name() + " of " + product + " succeeded; a restart is needed to complete it.";
      return "The " + operation_name() + " of " + product + " succeeded.";
    case kRunDeclined:
      return "The installation of " + product + " was declined at the overwrite question; nothing was changed.";
    case kRunUsageError:
      return "The command line was refused; nothing was changed.";
    case kRunWithoutRights:
      return "The program was run without administrator rights; nothing was changed.";
    default:
      if (reboot_recommended != 0)
        return "The " + operation_name() + " of " + product + " failed; a restart is needed all the same.";
      return "The " + operation_name() + " of " + product + " failed.";
  }
}

// The log and the event; neither changes the run's output or exit code.  A run without
// administrator rights could only fail at the log's folder, but its event is kept: any
// program may report one.
void keep_record(int result, int exit_code) {
  record.event_id = event_for(result);
  record.outcome = outcome_for(result);
  record.reason = printed_errors();
  record.exit_code = exit_code;
  if (result != kRunWithoutRights) append_run_log(record, printed_transcript());
  report_run_event(record);
}

// Whether no supported board is present, as far as the walk can tell: a walk that can't be
// read says nothing.
bool no_board_present() {
  std::uint32_t found = 0;
  for (std::uint32_t row = 0; row < supported_hardware_id_count && found == 0; ++row) {
    if (enumerate_matching_devices(port::DIGCF_PRESENT, supported_hardware_ids[row], count_visitor, &found) == kWalkFailed)
      return false;
  }
  return found == 0;
}

bool is_help_option(const char* argument) {
  return std::strcmp(argument, "/?") == 0 || std::strcmp(argument, "-?") == 0 ||
         std::strcmp(argument, "--help") == 0;
}

// Whether anything done in this run needs a restart to take effect: a failure after it still
// asks for the restart (-2), or deployment tools would not restart at all.
bool run_needs_restart = false;

// What an installation can check before the removal passes take the old driver away: the
// package it installs from, the Program Files folder its entry goes to and, when it adjusts
// the memory, the value it adjusts.  A check that fails ends the run with the machine
// unchanged.
void check_installation_inputs() {
  FailureInfo failure;
  bool adjusts_memory = batch_mode != 0 && do_adj != 0 && max_pci_modules != 0;
  if (check_driver_package(kInfPath, &failure) == 0 && check_product_folder(&failure) == 0 &&
      (!adjusts_memory || check_memory_setting(&failure) == 0))
    return;
  print_failure(failure);
  report_error("%s", "An error occurred during driver installation/configuration.\n");
  finish(1);
}


// The end of a removal that failed: the restart anything before asked for is offered.
[[noreturn]] void fail_removal() {
  report_error("%s", "An error occurred during driver removal.\n");
  if (run_needs_restart) offer_reboot();
  finish(1);
}

// The Plug and Play removal, then the legacy one; a failed pass ends the process.  True when
// either pass needs a reboot.
bool run_removal_passes() {
  // A memory change an earlier run made, whose restart has not come yet: that run may have been
  // ended before it could ask for the restart, and the machine is not what it set out to make
  // it until then.
  bool memory_pending = memory_restart_pending();
  if (memory_pending) run_needs_restart = true;
  int pnp_reboot = 0;
  int legacy_reboot = 0;
  run_removal_pass(&pnp_reboot, 1);
  run_removal_pass(&legacy_reboot, 0);
  bool reboot_needed = pnp_reboot != 0 || legacy_reboot != 0;
  if (memory_pending && !reboot_needed)
    report_output("For the memory adjustments to take effect, the system must be rebooted.\n");
  // Only once the driver is gone: a removal that fails keeps its entry, to be run again.  An
  // entry that stays would tell deployment tools the driver is still installed.
  if (unregister_product() != 0) fail_removal();
  return reboot_needed || memory_pending;
}

[[noreturn]] void run_removal() {
  report_output("Removing driver...\n");
  bool reboot_needed = run_removal_passes();
  report_output("Driver removal completed.\n");
  if (reboot_needed) offer_reboot();
  finish(0);
}

[[noreturn]] void run_installation() {
  report_output("Installing Quillant(R) Tessaridge(R) Device Driver Version 6.1.1\n");
  check_installation_inputs();
  if (driver_is_installed()) {
    report_output("Quillant(R) Tessaridge(R) driver has been installed (or partially installed)\n");
    if (batch_mode != 0) {
      report_output("Previously installed driver being removed.\n");
    } else if (!ask_overwrite()) {
      end_run(kRunDeclined);
    }
  }

  bool removal_reboot = run_removal_passes();

  if (batch_mode == 0) ask_driver_parameters();
  print_configuration_summary();
  if (batch_mode == 0) ask_install_options();

  DriverConfig config = build_driver_config();
  int memory_outcome = 0;
  int install_reboot = 0;
  FailureInfo failure;
  report_output("Installing Plug and Play driver.\n");
  int status = install_pnp_driver(&config, do_adj, already_opt, static_cast<int>(meg_in_system),
                                  &memory_outcome, kInfPath, auto_start, &install_reboot, &failure);
  // An installation can succeed and still leave a report, such as a switch it couldn't set.
  print_failure(failure);
  // Without its entry the installation can't be found or removed by the tools that look for
  // it, and the next deployment would install it again: that fails the installation.
  if (status == 0) {
    clear_failure(&failure);
    if (register_product(installed_list_text(), &failure) != 0) {
      print_failure(failure);
      status = 1;
    }
  }
  if (status == 0) {
    print_installation_outcome(memory_outcome);
    // Nothing got the driver, which can look like an installation that did nothing.
    if (auto_start == 0 && no_board_present())
      report_output("No supported board is present: the driver will be installed when one is plugged in.\n");
  } else {
    report_error("%s", "An error occurred during driver installation/configuration.\n");
  }
  if (removal_reboot || install_reboot != 0) offer_reboot();
  finish(status);
}

// Every operation changes what only administrators may change; without the rights a run would
// fail part way with messages that mislead.  Checked before anything else, the command line
// included: its -d already changes the current directory, and a run that can't go on should
// change nothing.
void require_administrator_rights() {
  bool administrator = false;
  FailureInfo failure;
  if (check_administrator_rights(&administrator, &failure) == 0 && administrator) return;
  print_failure(failure);
  report_error("%s", "This program needs administrator rights: run it as administrator.\n");
  end_run(kRunWithoutRights);
}

}  // namespace

void run_installer(int argc, char** argv) {
  start_record(argc, argv);
  // Looked for before anything else, so that they hold for every way the run can end: the
  // agent's codes, and the options that only print (they change nothing, so they need no
  // administrator rights).
  std::vector<char*> arguments;
  for (int index = 0; index < argc; ++index) {
    if (index > 0 && std::strcmp(argv[index], kAgentExitCodesOption) == 0) {
      agent_exit_codes = true;
    } else {
      arguments.push_back(argv[index]);
    }
  }
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    if (is_help_option(arguments[index])) {
      report_output("%s%s", usage_text(), kMoreOptionsText);
      end_run(kRunInformation);
    }
    if (std::strcmp(arguments[index], "--version") == 0) {
      report_output("install %s, Quillant(R) Tessaridge(R) Device Driver\n", HALVIK_VERSION);
      end_run(kRunInformation);
    }
  }
  require_administrator_rights();
  arguments.push_back(nullptr);
  if (parse_command_line(static_cast<int>(arguments.size() - 1), arguments.data()) < 0) {
    report_error("%s", usage_text());
    end_run(kRunUsageError);
  }
  // A batch run is an agent's, often with no console or desktop: the system must not ask.
  if (batch_mode != 0) interactive = 0;
  if (removal_mode != 0) run_removal();
  run_installation();
}

void run_removal_pass(int* reboot_needed, int kind) {
  int memory_outcome = 0;
  FailureInfo failure;
  int status = kind == 1 ? remove_pnp_driver(&memory_outcome, reboot_needed, &failure)
                         : remove_legacy_driver(&memory_outcome, reboot_needed, &failure);
  // A removal can succeed and still leave a report, such as a memory value it couldn't restore.
  print_failure(failure);
  if (*reboot_needed != 0) run_needs_restart = true;
  if (status != 0) fail_removal();
  print_removal_outcome(memory_outcome);
  if (*reboot_needed != 0)
    report_output("For the memory adjustments to take effect, the system must be rebooted.\n");
}

void offer_reboot() {
  reboot_recommended = 1;
  if (batch_mode == 0) do_reboot = ask_reboot() ? 1 : 0;
  if (do_reboot != 0) reboot_system();
}

void reboot_system() {
  port::HANDLE token = nullptr;
  if (!port::OpenProcessToken(port::GetCurrentProcess(), port::TOKEN_ADJUST_PRIVILEGES | port::TOKEN_QUERY,
                              &token)) {
    report_system_error("OpenProcessToken", 0);
    return;
  }
  port::TOKEN_PRIVILEGES privileges{};
  port::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = port::SE_PRIVILEGE_ENABLED;

  // AdjustTokenPrivileges succeeds without enabling a privilege the token doesn't hold; the
  // last error tells.
  bool adjusted =
      port::AdjustTokenPrivileges(token, port::FALSE, &privileges, 0, nullptr, nullptr) != port::FALSE;
  if (!adjusted || port::GetLastError() != 0) {
    report_system_error("AdjustTokenPrivileges", 0);
    port::CloseHandle(token);
    return;
  }
  port::CloseHandle(token);

  // Logged as a planned restart for an application's installation, so that Windows Server does
  // not ask at the next logon why it went down.  Windows 2000 takes the argument as reserved and
  // ignores it.
  constexpr port::DWORD kReason = port::SHTDN_REASON_MAJOR_APPLICATION |
                                  port::SHTDN_REASON_MINOR_INSTALLATION | port::SHTDN_REASON_FLAG_PLANNED;
  if (!port::ExitWindowsEx(port::EWX_REBOOT, kReason)) {
    report_system_error("Shutting down", 0);
    return;
  }
  restart_started = true;
}

DriverConfig build_driver_config() {
  DriverConfig config{};
  config.isa_hw_int = -1;
  config.max_pci_modules = max_pci_modules;
  config.phybufsize = phybufsize;
  config.appbufsize = appbufsize;
  config.machine_id = machine_id;
  config.do_reset = do_reset;
  config.hist_enable = hist_enable;
  config.dhsize = dhsize;
  config.num_hists_phy = num_hists_phy;
  config.num_hists_apl = num_hists_apl;
  config.hist_phy_admin_only = hist_phy_admin_only;
  config.num_I2O_frames = num_I2O_frames;
  config.fc_interval = fc_interval;
  config.mem_drv_alloc_min = mem_drv_alloc_min;
  config.mem_drv_alloc_quanta = mem_drv_alloc_quanta;
  config.num_reserved_modules = num_reserved_modules;
  config.reserved_modules = reserved_module_table;
  config.reserved_modules_length = kReservedModulesBytes;
  config.test1 = test1;
  config.test2 = test2;
  config.test3 = test3;
  return config;
}

void finish(int status) {
  end_run(status == 0 ? kRunSucceeded : kRunFailed);
}

void end_run(int result) {
  // What the run changed is on the disk before it says how it ended: a power cut after that
  // can't take back what the exit code promises.  Runs that changed nothing need not wait.
  if (result == kRunSucceeded || result == kRunFailed) flush_registry();
  int exit_code = exit_code_for(result, reboot_recommended != 0, restart_started, agent_exit_codes);
  // Asking for help or the version is no run worth a record.
  if (result != kRunInformation) keep_record(result, exit_code);
  std::fflush(stdout);
  // The simulated machine is saved here; on Windows there is nothing to do.
  port::shutdown();
  std::exit(exit_code);
}
