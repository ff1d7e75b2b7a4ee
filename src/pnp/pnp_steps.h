// The steps of the Plug and Play installation and removal.  The device work is split from the
// top-level operations so that the 64-bit counterpart runs exactly the same code: on x86 the
// installer calls it itself, on AMD64 the counterpart calls it for the installer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/failure_info.h"
#include "platform/port.h"
#include "pnp/device_walk.h"

inline constexpr const char* kTessaridgeClassDescription = "Tessaridge Hardware";
inline constexpr const char* kCoInstallerKeyPath =
    "SOFTWARE\\Tessaridge Technology\\DeviceCoInstaller\\tsrgBdevco";
inline constexpr const char* kHotfixKeyPath = "SOFTWARE\\Microsoft\\Updates\\Windows 2000\\SP5\\KB822831";
inline constexpr const char* kFirstClassKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}";
inline constexpr const char* kSecondClassKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{9E21C4B7-0A3D-4F88-B61E-D4075A2C93E8}";
inline constexpr port::DWORD kPendingInstallTimeoutMs = 300000;

// The driver's own files, each in its folder under the Windows directory, in the order a
// removal deletes them.
struct DriverFile {
  const char* directory;
  const char* name;
};
inline constexpr DriverFile kDriverFiles[] = {
    {"System32", "tsrgBdevpp.dll"}, {"System32", "tsrgBdevco.dll"}, {"System32\\drivers", "halvik.sys"}};

// Installation, from the device work on: driver update of present boards or INF registration,
// the co-installer switch, the root-enumerated node and the re-enumeration.  0 or 1.
int install_pnp_devices(const char* inf_path, int auto_start, int* reboot_needed, FailureInfo* failure);
// The whole removal after the hand-over decision: host-service check, registered INF names,
// memory restoration, devices, service, files and keys.  0, 1 (refused) or 2 (a device stayed).
int remove_pnp_components(int* memory_outcome, int* reboot_needed, FailureInfo* failure);

// 1 when the "Tessaridge Hardware" setup class is installed, else 0.
int hardware_class_installed();
// What a driver update of the boards with one hardware ID answers.
enum UpdateResult : int {
  kUpdated = 0,
  kUpdatedRestartNeeded = 1,
  kUpdateFailed = 2,
  kUpdateNoHardwareId = 3
};
int update_driver_for_hardware_id(const char* hardware_id, const char* inf_path);
// 0 or 2.  registered_name, when given (a MAX_PATH buffer), gets the name the system gave the
// INF in its INF directory.
int copy_oem_inf(const char* full_inf_path, char* registered_name = nullptr);
// kUpdateFailed on a failure before the driver update, else the update's result; *code gets the last error
// (not written when no ID is given or the INF path can't be formed).
int create_root_device_node(const char* hardware_id, const char* inf_path, port::DWORD* code);
// The Win32 error a configuration manager result stands for (the configuration manager sets no
// last error of its own).
port::DWORD win32_error_of(port::CONFIGRET result);
// 0 or 2; waits for pending installations either way.  On 2, *code gets the Win32 error that
// the failing configuration manager call's result stands for.
int rescan_device_tree(port::DWORD* code);
// 0 nothing pending any more, 2 time-out or no way to wait.
int wait_for_pending_installs();
// version_code: 1 Windows 95, 2 98, 3 Me, 4 NT 4 or older, 5 2000, 6 XP, 7 Server 2003,
// 0 another platform, 8 anything else or unknown.
bool windows_version_is(int version_code, int service_pack_major);
// The full path of inf_path in a MAX_PATH buffer; false when it can't be formed or doesn't fit.
bool full_inf_path(const char* inf_path, char* full_path);

// The INF names the system registered for the package, each with its PNF name (empty when not
// found): the first package instance of the first device class, and instance 0000 of the second.
struct RegisteredInfNames {
  char first_inf[port::MAX_PATH];
  char first_pnf[port::MAX_PATH];
  char second_inf[port::MAX_PATH];
  char second_pnf[port::MAX_PATH];
};
void read_registered_inf_names(RegisteredInfNames* names);
// An earlier removal that could not delete a file of ours scheduled it for deletion at the
// next restart; the installation that has since put the package in place takes those
// deletions back, or the restart would take the new files.  Only what this run put in place:
// the INF it registered (registered_inf, its name in the INF directory) with its PNF, and the
// driver's files when a device got the driver (files_copied).  A file it didn't rewrite is an
// old one, and goes at the restart as scheduled.  0, or 1 with failure filled.
int keep_installed_files_at_restart(const char* registered_inf, bool files_copied, FailureInfo* failure);
// The same for any files (and folders), named as the session manager names them ("\\??\\C:\\...").
int keep_files_at_restart(const std::vector<std::string>& files, FailureInfo* failure);

// In a run where no one may answer, the class installer's calls on the device run with
// DI_QUIETINSTALL, which keeps them from showing anything.  false, with the last error, when the
// flag can't be set; always true in an interactive run.
bool keep_class_installer_quiet(port::HDEVINFO set, port::SP_DEVINFO_DATA* device);

// Removal steps.
// The device nodes of one row of the table that the walk (over every node, present or not)
// still holds: enumerate_matching_devices' results, the last error set for a 2.
int remove_devices_of_row(DeviceWalk* walk, std::uint32_t row);
// What the device removal walk carries from one device to the next.
struct RemovalWalk {
  port::DWORD error;  // the Win32 error of the last failed removal
};
// Removes the device; 0, or 2 with walk->error set (context is a RemovalWalk).
int remove_device_visitor(port::HDEVINFO set, port::SP_DEVINFO_DATA* device, std::uint32_t index,
                          void* context);
// The service step's result: stop_and_delete_service's, or kServiceManagerUnavailable (recorded
// as "OpenSCManager") when the service manager can't be opened.  Files and keys go either way.
inline constexpr int kServiceManagerUnavailable = 3;
// *package_stayed: as delete_pnp_files returns.
int remove_service_and_files(const char* second_inf, const char* second_pnf, const char* first_inf,
                             const char* first_pnf, int* reboot_needed, FailureInfo* failure,
                             port::DWORD* package_stayed);
// A file that can't be deleted now is scheduled for deletion at the next restart and sets
// *reboot_needed; one that can't even be scheduled is named on standard error.  Each file is
// dealt with once per run.  0, or the error with which the system kept a published package of
// ours (its INF named on standard error).
port::DWORD delete_pnp_files(const char* second_inf, const char* second_pnf, const char* first_inf,
                             const char* first_pnf, int* reboot_needed);
// keep_service_key: the service is still registered, so its key stays for a later removal.
void delete_pnp_registry_keys(bool keep_service_key);

// True for a bare file name: not empty, no directory part, no drive, no "..".  Names read from
// the registry or the INF list are deleted inside the INF directory only when they pass.
bool is_plain_file_name(const char* name);
// The PNF name that belongs to an INF name (the part before ".inf", then ".pnf") into a
// MAX_PATH buffer; false (and an empty name) when there is none.
bool pnf_name_for(const char* inf_name, char* pnf_name);
