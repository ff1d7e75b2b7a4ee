// The platform port: what the installer asks of Windows.
//
// Every declaration mirrors one Windows (or C runtime) call by name, argument order and
// semantics: the same status codes, the same flags and access rights, and a thread last error
// that the calls set and the core reads.  The core includes only this header, never
// <windows.h>.  Two backends implement it: win32/ forwards to the real calls, sim/ answers
// from a simulated machine.
//
// Records that cross the port (SERVICE_STATUS, OSVERSIONINFOEXA, SP_DEVINFO_DATA, ...) have
// the fields of their Windows namesakes; the win32 backend converts where layouts may differ
// (SetupAPI packs its records to one byte on 32-bit Windows).
#pragma once

#include <cstdint>
#include <cstdio>

#if defined(_WIN32) && defined(__i386__)
#define PORT_WINAPI __attribute__((stdcall))
#else
#define PORT_WINAPI
#endif

namespace port {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using CHAR = char;
using LSTATUS = LONG;
using ULONG_PTR = std::uintptr_t;
using REGSAM = DWORD;
using CONFIGRET = DWORD;
using DEVINST = DWORD;

struct HKEY__;
using HKEY = HKEY__*;
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct HMODULE__;
using HMODULE = HMODULE__*;
struct HWND__;
using HWND = HWND__*;
using HANDLE = void*;
using HDEVINFO = void*;
using HMACHINE = void*;
using FARPROC = void (*)();

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr DWORD MAX_PATH = 260;

// HKEY_LOCAL_MACHINE has the same sign-extended value as on Windows.
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002U)));
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// Win32 error codes the program can meet.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;
inline constexpr DWORD ERROR_DEPENDENT_SERVICES_RUNNING = 1051;
inline constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
inline constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr DWORD ERROR_SUCCESS_REBOOT_REQUIRED = 3010;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;
inline constexpr DWORD ERROR_NOT_AN_INSTALLED_OEM_INF = 0xE000023C;
inline constexpr DWORD ERROR_DEVINST_ALREADY_EXISTS = 0xE0000207;
inline constexpr DWORD ERROR_INVALID_CLASS = 0xE0000206;
inline constexpr DWORD ERROR_NO_DRIVER_SELECTED = 0xE0000203;
inline constexpr DWORD ERROR_NO_SUCH_DEVICE_INTERFACE = 0xE0000225;
inline constexpr DWORD ERROR_NO_DEVICE_SELECTED = 0xE0000211;
// Device installation from a 32-bit process on 64-bit Windows.
inline constexpr DWORD ERROR_IN_WOW64 = 0xE0000235;

// Registry.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
// A key kept in memory only: it is gone after the next restart.
inline constexpr DWORD REG_OPTION_VOLATILE = 1;
// A key can't be made non-volatile under a volatile one.
inline constexpr DWORD ERROR_CHILD_MUST_BE_VOLATILE = 1021;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
// On 64-bit Windows: the 64-bit or the 32-bit registry view, whatever the process is.
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;

LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD reserved, char* key_class, DWORD options,
                        REGSAM desired, void* security_attributes, HKEY* result, DWORD* disposition);
LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired, HKEY* result);
LSTATUS RegSetValueExA(HKEY key, const char* value_name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD data_size);
LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size);
LSTATUS RegCloseKey(HKEY key);
// Returns once every change made to the key's hive (by any process) is on the disk; until then,
// or until the system's lazy flush, a power cut can lose them.
LSTATUS RegFlushKey(HKEY key);
// ERROR_FILE_NOT_FOUND when the key has no such value.
LSTATUS RegDeleteValueA(HKEY key, const char* value_name);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED otherwise) from the view that view names
// (KEY_WOW64_64KEY or KEY_WOW64_32KEY): a 32-bit program's other calls can't reach the 64-bit
// view's keys to delete them.  advapi32 exports it from Windows Vista and 64-bit XP on; before,
// the win32 backend deletes the key with RegDeleteKeyA, those systems having one view only.
LSTATUS RegDeleteKeyExA(HKEY key, const char* sub_key, REGSAM view, DWORD reserved);
// shlwapi: deletes a key with all its subkeys.
LSTATUS SHDeleteKeyA(HKEY key, const char* sub_key);
// shlwapi: enumerates subkey names; *name_size is the buffer size in, the name length out.
LSTATUS SHEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size);

// Service Control Manager.
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

SC_HANDLE OpenSCManagerA(const char* machine_name, const char* database_name, DWORD desired);
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* service_name, DWORD desired);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Process token and shutdown.
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
inline constexpr DWORD EWX_REBOOT = 0x00000002;
// The reason ExitWindowsEx logs for a restart (Windows XP on; Windows 2000 ignores it).
inline constexpr DWORD SHTDN_REASON_MAJOR_APPLICATION = 0x00040000;
inline constexpr DWORD SHTDN_REASON_MINOR_INSTALLATION = 0x00000002;
inline constexpr DWORD SHTDN_REASON_FLAG_PLANNED = 0x80000000;
// The well-known group BUILTIN\Administrators: S-1-5-32-544.
inline constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 0x00000020;
inline constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 0x00000220;

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
using PSID = void*;
inline constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY = {{0, 0, 0, 0, 0, 5}};

HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desired, HANDLE* token);
BOOL LookupPrivilegeValueA(const char* system_name, const char* name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state, DWORD buffer_length,
                           TOKEN_PRIVILEGES* previous_state, DWORD* return_length);
BOOL ExitWindowsEx(DWORD flags, DWORD reason);
BOOL CloseHandle(HANDLE handle);
// A SID of sub_authority_count (at most 8) sub-authorities, freed with FreeSid.
BOOL AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE sub_authority_count,
                              DWORD sub_authority0, DWORD sub_authority1, DWORD sub_authority2,
                              DWORD sub_authority3, DWORD sub_authority4, DWORD sub_authority5,
                              DWORD sub_authority6, DWORD sub_authority7, PSID* sid);
// Whether the SID is enabled in the token; token nullptr: the calling thread's (its process's
// when it impersonates no one).  A group held for deny only, as Administrators is in the filtered
// token of an administrator not elevated, is no membership.  A primary token fails with
// ERROR_NO_IMPERSONATION_TOKEN: it must be an impersonation token.
BOOL CheckTokenMembership(HANDLE token, PSID sid, BOOL* is_member);
// nullptr when freed, else the SID.
void* FreeSid(PSID sid);

// The Application event log (advapi32).  A source is a name registered under the EventLog
// service's Application key; an unregistered one is accepted all the same and its events are
// shown without their message text.
inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
// The handle to report with, nullptr on failure; server nullptr: this machine.
HANDLE RegisterEventSourceA(const char* server, const char* source);
// Writes one event of type (EVENTLOG_*_TYPE) with its ID and num_strings insertion strings
// (each at most 31,839 characters: ERROR_INVALID_PARAMETER beyond); ERROR_INVALID_HANDLE for a
// handle RegisterEventSourceA didn't give.
BOOL ReportEventA(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID user_sid, WORD num_strings,
                  DWORD data_size, const char** strings, void* raw_data);
BOOL DeregisterEventSource(HANDLE event_log);

// kernel32.
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
// A junction or symbolic link: the entry is the link, whatever it points at.
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
inline constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;
inline constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x00000008;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;  // the reparse tag of a link
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};

struct OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};

DWORD GetLastError();
void SetLastError(DWORD error);
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
// The local date and time; it can't fail.
void GetLocalTime(SYSTEMTIME* time);
DWORD FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id, char* buffer,
                     DWORD size, void* arguments);
BOOL SetCurrentDirectoryA(const char* path);
DWORD GetCurrentDirectoryA(DWORD size, char* buffer);
DWORD GetFullPathNameA(const char* file_name, DWORD size, char* buffer, char** file_part);
BOOL GetVersionExA(OSVERSIONINFOEXA* info);
void Sleep(DWORD milliseconds);
DWORD GetFileAttributesA(const char* path);
BOOL SetFileAttributesA(const char* path, DWORD attributes);
BOOL DeleteFileA(const char* path);
// Moves or renames a file or directory; MOVEFILE_REPLACE_EXISTING lets it replace an existing
// file, MOVEFILE_COPY_ALLOWED lets a file change drives.  With MOVEFILE_DELAY_UNTIL_REBOOT
// nothing moves now: the operation is appended to the Session Manager's
// PendingFileRenameOperations and carried out at the next restart, and a NULL new_name deletes
// the file then.  Scheduling needs write access to that key, not the file: a file that is
// missing or in use is still scheduled.  The delay can't be combined with
// MOVEFILE_COPY_ALLOWED (87).
BOOL MoveFileExA(const char* existing, const char* new_name, DWORD flags);
// Copies a file with its attributes; with fail_if_exists an existing new_name fails with
// ERROR_FILE_EXISTS, else it is replaced (ERROR_ACCESS_DENIED when it is read-only).
BOOL CopyFileA(const char* existing, const char* new_name, BOOL fail_if_exists);
// ERROR_ALREADY_EXISTS when the directory (or a file of that name) is there, ERROR_PATH_NOT_FOUND
// when its parent is missing.
BOOL CreateDirectoryA(const char* path, void* security_attributes);
// Only an empty directory: ERROR_DIR_NOT_EMPTY otherwise.
BOOL RemoveDirectoryA(const char* path);
// The entries of a directory whose names match the last part of file_name ("C:\dir\*"),
// "." and ".." included except in a drive's root.  ERROR_FILE_NOT_FOUND when nothing matches
// (or file_name ends in a backslash), ERROR_PATH_NOT_FOUND when the directory is missing; the
// handle is closed with FindClose.  A link is listed as itself (FILE_ATTRIBUTE_REPARSE_POINT),
// never followed.
HANDLE FindFirstFileA(const char* file_name, WIN32_FIND_DATAA* find_data);
// ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* find_data);
BOOL FindClose(HANDLE find);
// module nullptr: the running program's own file.  The length copied; size when the name was
// cut to fit (not terminated before Windows Vista).
DWORD GetModuleFileNameA(HMODULE module, char* file_name, DWORD size);
HANDLE CreateFileA(const char* path, DWORD desired, DWORD share_mode, void* security_attributes,
                   DWORD creation_disposition, DWORD flags_and_attributes, HANDLE template_file);
DWORD GetFileSize(HANDLE file, DWORD* size_high);
BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, void* overlapped);
HMODULE GetModuleHandleA(const char* module_name);
FARPROC GetProcAddress(HMODULE module, const char* proc_name);
// The system directory ("C:\WINDOWS\system32") and the system's Windows directory (the one
// the system was installed in, whatever the process's environment says).  Both answer the
// length copied without the terminator, or, when the buffer is too small, the size needed
// with the terminator and nothing copied; 0 on failure.
DWORD GetSystemDirectoryA(char* buffer, DWORD size);
DWORD GetSystemWindowsDirectoryA(char* buffer, DWORD size);
// Loads a DLL (again: a loaded one is counted once more) and answers its handle, nullptr with
// ERROR_MOD_NOT_FOUND when it is not there.  A bare name is searched for, the program's own
// folder first; a full path loads that file, and with LOAD_WITH_ALTERED_SEARCH_PATH the DLL's
// own imports are searched for from its folder instead of the program's.  file must be nullptr.
HMODULE LoadLibraryExA(const char* file_name, HANDLE file, DWORD flags);
// Counts one load off; the DLL leaves the process with its last.
BOOL FreeLibrary(HMODULE module);

// The signature of setupapi's CMP_WaitNoPendingInstallEvents, found through GetProcAddress.
using WaitNoPendingInstallEventsProc = DWORD(PORT_WINAPI*)(DWORD timeout);

// Security of files and folders: what a folder made for this program, or taken over by it,
// lets others do.
inline constexpr DWORD SDDL_REVISION_1 = 1;
inline constexpr DWORD OWNER_SECURITY_INFORMATION = 0x00000001;
inline constexpr DWORD DACL_SECURITY_INFORMATION = 0x00000004;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

DWORD GetCurrentProcessId();
// advapi32, from Windows 2000 on: a self-relative security descriptor from its SDDL text,
// allocated with LocalAlloc (freed with LocalFree).  ERROR_INVALID_PARAMETER for text it can't
// read.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(const char* text, DWORD revision,
                                                          void** descriptor, DWORD* size);
void* LocalFree(void* memory);
// Replaces the parts of a file's or folder's security that `information` names.  Setting the
// owner needs WRITE_OWNER on it, setting the access list WRITE_DAC: ERROR_ACCESS_DENIED when
// the caller has neither by the object's access list or ownership; ERROR_INVALID_OWNER when
// the new owner is not one the caller may name.
BOOL SetFileSecurityA(const char* path, DWORD information, void* descriptor);

// C runtime, on the program's (or the simulated machine's) files and environment.
const char* getenv(const char* name);
// Opens a file; without "b" in the mode, text mode: "\n" is written as CR LF and CR LF is
// read as "\n", as the Windows runtime does.  "x" after "w" creates the file new: it fails
// (errno EEXIST) when anything of that name is there, a link included, which it never follows.
std::FILE* fopen(const char* path, const char* mode);
int remove(const char* path);
// _spawnl(_P_WAIT, path, arg0, arg1, arg2, NULL): starts the program at path as given, never
// looked for elsewhere; returns the child's exit code, or -1 with errno set when it can't
// start (ENOENT when path is not there).
std::intptr_t spawnl_wait(const char* path, const char* arg0, const char* arg1, const char* arg2);

// SetupAPI, the configuration manager and newdev.
inline constexpr DWORD DIGCF_PRESENT = 0x00000002;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
inline constexpr DWORD SPDRP_HARDWAREID = 0x00000001;
inline constexpr DWORD SPDRP_COMPATIBLEIDS = 0x00000002;
inline constexpr DWORD SPDRP_SERVICE = 0x00000004;
inline constexpr DWORD DIF_REMOVE = 0x00000005;
inline constexpr DWORD DIF_REGISTERDEVICE = 0x00000019;
inline constexpr DWORD DI_REMOVEDEVICE_GLOBAL = 0x00000001;
inline constexpr DWORD DICD_GENERATE_ID = 0x00000001;
inline constexpr DWORD DI_NEEDRESTART = 0x00000080;
inline constexpr DWORD DI_NEEDREBOOT = 0x00000100;
inline constexpr DWORD DI_QUIETINSTALL = 0x00800000;
// UpdateDriverForPlugAndPlayDevicesA: fail rather than show anything (Windows XP and later).
inline constexpr DWORD INSTALLFLAG_NONINTERACTIVE = 0x00000004;
inline constexpr DWORD SPOST_PATH = 1;
inline constexpr DWORD SUOI_FORCEDELETE = 0x00000001;
inline constexpr DWORD INF_STYLE_WIN4 = 0x00000002;
inline constexpr DWORD MAX_DEVICE_ID_LEN = 200;
inline constexpr DWORD SP_MAX_MACHINENAME_LENGTH = MAX_PATH + 3;
inline constexpr DWORD MAX_CLASS_NAME_LEN = 32;
inline constexpr DWORD LINE_LEN = 256;
inline constexpr DWORD CR_SUCCESS = 0;
inline constexpr DWORD CR_FAILURE = 0x13;
inline constexpr DWORD CR_CALL_NOT_IMPLEMENTED = 0x34;
inline constexpr DWORD CM_LOCATE_DEVNODE_NORMAL = 0;
inline constexpr DWORD CM_REENUMERATE_SYNCHRONOUS = 1;

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
struct SP_DEVINFO_LIST_DETAIL_DATA_A {
  DWORD cbSize;
  GUID ClassGuid;
  HANDLE RemoteMachineHandle;
  CHAR RemoteMachineName[SP_MAX_MACHINENAME_LENGTH];
};
struct SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DWORD InstallFunction;
};
struct SP_DEVINSTALL_PARAMS_A {
  DWORD cbSize;
  DWORD Flags;
  DWORD FlagsEx;
  HWND hwndParent;
  void* InstallMsgHandler;
  void* InstallMsgHandlerContext;
  void* FileQueue;
  ULONG_PTR ClassInstallReserved;
  DWORD Reserved;
  CHAR DriverPath[MAX_PATH];
};
struct SP_REMOVEDEVICE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD Scope;
  DWORD HwProfile;
};

BOOL SetupDiBuildClassInfoListExA(DWORD flags, GUID* class_guid_list, DWORD list_size, DWORD* required_size,
                                  const char* machine_name, void* reserved);
BOOL SetupDiClassNameFromGuidExA(const GUID* class_guid, char* class_name, DWORD size, DWORD* required_size,
                                 const char* machine_name, void* reserved);
BOOL SetupDiGetClassDescriptionExA(const GUID* class_guid, char* description, DWORD size,
                                   DWORD* required_size, const char* machine_name, void* reserved);
BOOL UpdateDriverForPlugAndPlayDevicesA(HWND parent, const char* hardware_id, const char* full_inf_path,
                                        DWORD install_flags, BOOL* reboot_required);
BOOL SetupCopyOEMInfA(const char* source_inf, const char* source_media_location, DWORD media_type,
                      DWORD copy_style, char* destination_name, DWORD destination_size, DWORD* required_size,
                      char** destination_file_component);
// Exported by setupapi from Windows XP on; on Windows 2000 it fails with ERROR_PROC_NOT_FOUND.
BOOL SetupUninstallOEMInfA(const char* inf_file_name, DWORD flags, void* reserved);
BOOL SetupDiGetINFClassA(const char* inf_name, GUID* class_guid, char* class_name, DWORD size,
                         DWORD* required_size);
HDEVINFO SetupDiCreateDeviceInfoList(const GUID* class_guid, HWND parent);
BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char* device_name, const GUID* class_guid,
                              const char* description, HWND parent, DWORD flags, SP_DEVINFO_DATA* data);
BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property,
                                       const BYTE* buffer, DWORD size);
BOOL SetupDiCallClassInstaller(DWORD install_function, HDEVINFO set, SP_DEVINFO_DATA* data);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
HDEVINFO SetupDiGetClassDevsExA(const GUID* class_guid, const char* enumerator, HWND parent, DWORD flags,
                                HDEVINFO existing_set, const char* machine_name, void* reserved);
BOOL SetupDiOpenDeviceInfoA(HDEVINFO set, const char* instance_id, HWND parent, DWORD open_flags,
                            SP_DEVINFO_DATA* data);
BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data);
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* buffer, DWORD size,
                                 DWORD* required_size);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, DWORD* type,
                                       BYTE* buffer, DWORD size, DWORD* required_size);
BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params,
                                   DWORD size);
// data null: the parameters of the list itself.
BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_DEVINSTALL_PARAMS_A* params);
BOOL SetupDiSetDeviceInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_DEVINSTALL_PARAMS_A* params);
BOOL SetupGetInfFileListA(const char* directory, DWORD style, char* buffer, DWORD size, DWORD* required_size);
CONFIGRET CM_Locate_DevNode_ExA(DEVINST* devinst, const char* device_id, DWORD flags, HMACHINE machine);
CONFIGRET CM_Reenumerate_DevNode_Ex(DEVINST devinst, DWORD flags, HMACHINE machine);
CONFIGRET CM_Get_Device_ID_ExA(DEVINST devinst, char* buffer, DWORD size, DWORD flags, HMACHINE machine);

// Process start-up and shut-down of the backend.  The sim loads its machine here (and prints
// why and returns non-zero when it can't); the win32 backend has nothing to do.
int initialize();
// Makes every change durable before the process ends; called by the program's exit path.
void shutdown();

}  // namespace port
