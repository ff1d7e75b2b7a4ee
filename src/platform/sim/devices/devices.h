// The device side of the simulated machine: boards, device nodes, setup classes, the INF store
// and driver installation.  SetupAPI, the configuration manager and newdev (setupapi.cpp)
// answer from here; none of these functions traces or injects faults, the port calls do.
//
// machine.ini, the devices' part:
//
//   [hardware]        ; boards physically in the machine, one per line:
//                     ; INSTANCE_ID = HWID[,HWID...] [; compatible = ID[,ID...]] [; remove_error = N]
//   PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\4&1F2E3D&0&0008 =
//   PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01,PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C ; compatible =
//   PCI\VEN_1E5C&DEV_0410,PCI\CC_118000
//
//   [setupapi]
//   restart_required = 1        ; UpdateDriverForPlugAndPlayDevicesA answers "restart required"
//                               ; (a package file missing: without INSTALLFLAG_NONINTERACTIVE it
//                               ; asks for the disk, nobody answers, ERROR_CANCELLED; with it,
//                               ; ERROR_FILE_NOT_FOUND)
//   reenumerate_error = 0x13    ; CM_Reenumerate_DevNode_Ex fails with this CONFIGRET
//   wait_no_pending = absent    ; CMP_WaitNoPendingInstallEvents is not exported (default present);
//                               ; "timeout": it is, and answers WAIT_TIMEOUT (258)
//
//   [faults]          ; the device calls and the arguments a fault can name:
//   SetupDiCallClassInstaller DIF_REMOVE = 5        ; the install function, or the instance ID
//   UpdateDriverForPlugAndPlayDevicesA PCI\VEN_1E5C&DEV_0410&SUBSYS_00011E5C = 5   ; or the INF path
//   SetupDiGetDeviceRegistryPropertyA SPDRP_COMPATIBLEIDS = 13   ; or the instance ID (also ...Set...)
//   SetupDiOpenDeviceInfoA, CM_Get_Device_ID_ExA: the instance ID; CM_Locate_DevNode_ExA: the
//   device ID; SetupCopyOEMInfA, SetupDiGetINFClassA: the INF path; SetupGetInfFileListA: the
//   directory; SetupDiClassNameFromGuidExA, SetupDiGetClassDescriptionExA,
//   SetupDiCreateDeviceInfoList: the class GUID "{...}"; SetupDiCreateDeviceInfoA: the device
//   name.  The other calls take no argument.  A configuration manager call (CM_...) answers the
//   fault's number as its CONFIGRET.
//
// A board's node is created when the board is added and on every re-enumeration that finds it
// without one; removing the node (DIF_REMOVE) leaves the board in [hardware].
#pragma once

#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/devices/board.h"
#include "platform/sim/devices/inf.h"

namespace sim::devices {

using port::DWORD;

inline constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char kClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class";

// Hands machine/ how a process's device lists are closed when it ends (use_machine calls it).
void install_device_hooks();

// ---- machine settings ([hardware], [setupapi]) -------------------------------------------
// Read again only when machine.ini changed; valid until then.
const std::vector<Board>& read_boards();
const Board* find_board(const std::string& instance_id);
void write_board(const Board& board);
void erase_board(const std::string& instance_id);
bool restart_required();
port::CONFIGRET reenumerate_error();
bool wait_no_pending_available();
bool wait_no_pending_times_out();
// The function of that name that the system's setupapi.dll exports, as GetProcAddress finds
// it; nullptr when it has none.
port::FARPROC setupapi_export(const char* name);
void set_setting(const std::string& key, const std::string& value);  // "" erases

// ---- the machine's places --------------------------------------------------------------------
std::string windows_dir();  // "C:\WINDOWS"
std::string inf_dir();      // "%SystemRoot%\inf"
std::string platform();     // "x86" or "amd64"
// Windows path of a file or directory; "" when not a drive path.
std::string host(const std::string& windows_path);
bool read_windows_file(const std::string& windows_path, std::string* bytes);
bool write_windows_file(const std::string& windows_path, const std::string& bytes);

// ---- device nodes ----------------------------------------------------------------------------
std::vector<std::string> node_ids();          // instance IDs as stored, registry order
std::vector<std::string> present_node_ids();  // the same, only the present ones
bool node_exists(const std::string& instance_id);
// The instance ID as stored (case), or "" when there is no such node.
std::string stored_node_id(const std::string& instance_id);
bool node_present(const std::string& instance_id);
std::string node_string(const std::string& instance_id, const std::string& value_name);
std::vector<std::string> node_ids_value(const std::string& instance_id, const std::string& value_name);
bool node_value(const std::string& instance_id, const std::string& value_name, DWORD* type,
                std::vector<std::uint8_t>* data);
void set_node_value(const std::string& instance_id, const std::string& value_name, DWORD type,
                    const std::vector<std::uint8_t>& data);
// Creates the node of a board (hardware and compatible IDs, no driver) unless it exists.
void create_board_node(const Board& board);
// A root-enumerated node of a setup class.
void create_root_node(const std::string& instance_id, const std::string& class_guid,
                      const std::string& class_name, const std::vector<std::uint8_t>& hardware_ids,
                      const std::vector<std::uint8_t>& compatible_ids);
// The next free instance ID ROOT\<NAME>\NNNN, skipping `taken` too.
std::string generate_root_id(const std::string& name, const std::vector<std::string>& taken);
// Removes the node and its driver key; the board's remove_error when it has one.
DWORD remove_node(const std::string& instance_id);

// ---- setup classes ---------------------------------------------------------------------------
std::vector<std::string> class_guids();  // "{...}" names of Class subkeys that are GUIDs
bool class_name_of(const std::string& guid, std::string* name);
bool class_description_of(const std::string& guid, std::string* description);
bool parse_guid(const std::string& text, port::GUID* guid);
std::string format_guid(const port::GUID& guid);

// ---- the INF store -----------------------------------------------------------------------------
std::vector<std::string> inf_file_names();  // *.inf in the INF directory, sorted ignoring case
// Registers an INF as oemN.inf (+ .pnf); the name of an identical one already registered.
DWORD register_inf(const std::string& source_path, std::string* oem_name);

// ---- the driver store (Windows Vista and later) ---------------------------------------------
// System32\DriverStore\FileRepository\<inf>_<arch>_<hash>\ holds a staged package: its INF
// and the files its SourceDisksFiles list, in their places relative to the INF.
inline constexpr DWORD kErrorInfInUseByDevices = 0xE000023D;
inline constexpr DWORD kErrorNotAnInstalledOemInf = 0xE000023C;
bool has_driver_store();
std::string driver_store_dir();
std::vector<std::string> staged_infs();  // Windows paths of the staged INFs
// Stages the package of an INF (unless it is staged already); the staged INF's path.
DWORD stage_package(const std::string& full_inf_path, const std::string& content, std::string* staged_inf);
// SetupUninstallOEMInf: the INF and its PNF go from the INF directory, and its package from the
// store; kErrorInfInUseByDevices while a device was installed from it, unless forced;
// kErrorNotAnInstalledOemInf for a name that is no oemN.inf of the INF directory.
DWORD uninstall_oem_inf(const std::string& name, bool force);

// ---- drivers -----------------------------------------------------------------------------------
std::vector<std::string> multi_sz_strings(const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> multi_sz_bytes(const std::vector<std::string>& strings);
// UpdateDriverForPlugAndPlayDevices: installs the INF's driver on every present node whose
// hardware or compatible IDs hold hardware_id.  *source_missing: a file the installation copies
// is not in the package (ERROR_FILE_NOT_FOUND, nothing changed); Windows would ask for it.
DWORD update_driver(const std::string& hardware_id, const std::string& inf_path, bool* restart,
                    bool* source_missing);
// Re-enumeration: nodes for boards that have none, drivers for present nodes without one from
// the driver store (Vista and later) or the INF directory; a driver whose service is marked for
// deletion is not installed.
void reenumerate();

}  // namespace sim::devices
