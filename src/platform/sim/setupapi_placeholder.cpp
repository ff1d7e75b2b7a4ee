// Device installation calls (SetupAPI, the configuration manager, newdev) and the module
// look-up calls of the simulated machine, before the device simulation exists: every call
// fails as an unimplemented Windows call does.  The device simulation replaces this file.
#include "platform/port.h"

namespace port {

namespace {

BOOL not_implemented() {
  SetLastError(120);  // ERROR_CALL_NOT_IMPLEMENTED
  return FALSE;
}

HANDLE not_implemented_handle() {
  SetLastError(120);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

BOOL SetupDiBuildClassInfoListExA(DWORD, GUID*, DWORD, DWORD*, const char*, void*) { return not_implemented(); }
BOOL SetupDiClassNameFromGuidExA(const GUID*, char*, DWORD, DWORD*, const char*, void*) {
  return not_implemented();
}
BOOL SetupDiGetClassDescriptionExA(const GUID*, char*, DWORD, DWORD*, const char*, void*) {
  return not_implemented();
}
BOOL UpdateDriverForPlugAndPlayDevicesA(HWND, const char*, const char*, DWORD, BOOL*) {
  return not_implemented();
}
BOOL SetupCopyOEMInfA(const char*, const char*, DWORD, DWORD, char*, DWORD, DWORD*, char**) {
  return not_implemented();
}
BOOL SetupDiGetINFClassA(const char*, GUID*, char*, DWORD, DWORD*) { return not_implemented(); }
HDEVINFO SetupDiCreateDeviceInfoList(const GUID*, HWND) { return not_implemented_handle(); }
BOOL SetupDiCreateDeviceInfoA(HDEVINFO, const char*, const GUID*, const char*, HWND, DWORD, SP_DEVINFO_DATA*) {
  return not_implemented();
}
BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO, SP_DEVINFO_DATA*, DWORD, const BYTE*, DWORD) {
  return not_implemented();
}
BOOL SetupDiCallClassInstaller(DWORD, HDEVINFO, SP_DEVINFO_DATA*) { return not_implemented(); }
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) { return not_implemented(); }
HDEVINFO SetupDiGetClassDevsExA(const GUID*, const char*, HWND, DWORD, HDEVINFO, const char*, void*) {
  return not_implemented_handle();
}
BOOL SetupDiOpenDeviceInfoA(HDEVINFO, const char*, HWND, DWORD, SP_DEVINFO_DATA*) { return not_implemented(); }
BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO, SP_DEVINFO_LIST_DETAIL_DATA_A*) { return not_implemented(); }
BOOL SetupDiEnumDeviceInfo(HDEVINFO, DWORD, SP_DEVINFO_DATA*) { return not_implemented(); }
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*, DWORD, DWORD*) {
  return not_implemented();
}
BOOL SetupDiSetClassInstallParamsA(HDEVINFO, SP_DEVINFO_DATA*, SP_CLASSINSTALL_HEADER*, DWORD) {
  return not_implemented();
}
BOOL SetupGetInfFileListA(const char*, DWORD, char*, DWORD, DWORD*) { return not_implemented(); }

CONFIGRET CM_Locate_DevNode_ExA(DEVINST*, const char*, DWORD, HMACHINE) { return CR_CALL_NOT_IMPLEMENTED; }
CONFIGRET CM_Reenumerate_DevNode_Ex(DEVINST, DWORD, HMACHINE) { return CR_CALL_NOT_IMPLEMENTED; }
CONFIGRET CM_Get_Device_ID_ExA(DEVINST, char*, DWORD, DWORD, HMACHINE) { return CR_CALL_NOT_IMPLEMENTED; }

HMODULE GetModuleHandleA(const char*) {
  SetLastError(120);
  return nullptr;
}
FARPROC GetProcAddress(HMODULE, const char*) {
  SetLastError(120);
  return nullptr;
}

}  // namespace port
