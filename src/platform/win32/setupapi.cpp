// SetupAPI, the configuration manager and newdev, each function looked up in its DLL at run
// time (system_dlls.cpp).  A function the process can't have fails as it fails itself: FALSE,
// INVALID_HANDLE_VALUE or, for the configuration manager, CR_CALL_NOT_IMPLEMENTED, with the
// last error of the failed load or look-up.
//
// SetupAPI packs its records to one byte on 32-bit Windows and to eight on 64-bit, so records
// are copied field by field into their Windows form and back, never cast.
#include "platform/win32/windows_api.h"

using win32::DevInfoData;
using win32::win;

static_assert(sizeof(port::SP_CLASSINSTALL_HEADER) == sizeof(::SP_CLASSINSTALL_HEADER));
static_assert(sizeof(port::SP_DEVINFO_LIST_DETAIL_DATA_A::RemoteMachineName) ==
              sizeof(::SP_DEVINFO_LIST_DETAIL_DATA_A::RemoteMachineName));

port::BOOL port::SetupDiBuildClassInfoListExA(port::DWORD flags, port::GUID* class_guid_list,
                                              port::DWORD list_size, port::DWORD* required_size,
                                              const char* machine_name, void* reserved) {
  return WIN32_CALL(setupapi, SetupDiBuildClassInfoListExA, FALSE, flags, win(class_guid_list), list_size,
                    win(required_size), machine_name, reserved);
}

port::BOOL port::SetupDiClassNameFromGuidExA(const port::GUID* class_guid, char* class_name, port::DWORD size,
                                             port::DWORD* required_size, const char* machine_name,
                                             void* reserved) {
  return WIN32_CALL(setupapi, SetupDiClassNameFromGuidExA, FALSE, win(class_guid), class_name, size,
                    win(required_size), machine_name, reserved);
}

port::BOOL port::SetupDiGetClassDescriptionExA(const port::GUID* class_guid, char* description,
                                               port::DWORD size, port::DWORD* required_size,
                                               const char* machine_name, void* reserved) {
  return WIN32_CALL(setupapi, SetupDiGetClassDescriptionExA, FALSE, win(class_guid), description, size,
                    win(required_size), machine_name, reserved);
}

port::BOOL port::UpdateDriverForPlugAndPlayDevicesA(port::HWND parent, const char* hardware_id,
                                                    const char* full_inf_path, port::DWORD install_flags,
                                                    port::BOOL* reboot_required) {
  return WIN32_CALL(newdev, UpdateDriverForPlugAndPlayDevicesA, FALSE, win(parent), hardware_id,
                    full_inf_path, install_flags, win(reboot_required));
}

port::BOOL port::SetupCopyOEMInfA(const char* source_inf, const char* source_media_location,
                                  port::DWORD media_type, port::DWORD copy_style, char* destination_name,
                                  port::DWORD destination_size, port::DWORD* required_size,
                                  char** destination_file_component) {
  return WIN32_CALL(setupapi, SetupCopyOEMInfA, FALSE, source_inf, source_media_location, media_type,
                    copy_style, destination_name, destination_size, win(required_size),
                    destination_file_component);
}

// Windows 2000's setupapi doesn't export it: the look-up fails there with
// ERROR_PROC_NOT_FOUND, as every setupapi function would if the DLL could not be loaded.
port::BOOL port::SetupUninstallOEMInfA(const char* inf_file_name, port::DWORD flags, void* reserved) {
  return WIN32_CALL(setupapi, SetupUninstallOEMInfA, FALSE, inf_file_name, flags, reserved);
}

port::BOOL port::SetupDiGetINFClassA(const char* inf_name, port::GUID* class_guid, char* class_name,
                                     port::DWORD size, port::DWORD* required_size) {
  return WIN32_CALL(setupapi, SetupDiGetINFClassA, FALSE, inf_name, win(class_guid), class_name, size,
                    win(required_size));
}

port::HDEVINFO port::SetupDiCreateDeviceInfoList(const port::GUID* class_guid, port::HWND parent) {
  return WIN32_CALL(setupapi, SetupDiCreateDeviceInfoList, INVALID_HANDLE_VALUE, win(class_guid),
                    win(parent));
}

port::BOOL port::SetupDiCreateDeviceInfoA(port::HDEVINFO set, const char* device_name,
                                          const port::GUID* class_guid, const char* description,
                                          port::HWND parent, port::DWORD flags, port::SP_DEVINFO_DATA* data) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiCreateDeviceInfoA, FALSE, set, device_name, win(class_guid), description,
                    win(parent), flags, record.get());
}

port::BOOL port::SetupDiSetDeviceRegistryPropertyA(port::HDEVINFO set, port::SP_DEVINFO_DATA* data,
                                                   port::DWORD property, const port::BYTE* buffer,
                                                   port::DWORD size) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiSetDeviceRegistryPropertyA, FALSE, set, record.get(), property, buffer,
                    size);
}

port::BOOL port::SetupDiCallClassInstaller(port::DWORD install_function, port::HDEVINFO set,
                                           port::SP_DEVINFO_DATA* data) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiCallClassInstaller, FALSE, install_function, set, record.get());
}

port::BOOL port::SetupDiDestroyDeviceInfoList(port::HDEVINFO set) {
  return WIN32_CALL(setupapi, SetupDiDestroyDeviceInfoList, FALSE, set);
}

port::HDEVINFO port::SetupDiGetClassDevsExA(const port::GUID* class_guid, const char* enumerator,
                                            port::HWND parent, port::DWORD flags, port::HDEVINFO existing_set,
                                            const char* machine_name, void* reserved) {
  return WIN32_CALL(setupapi, SetupDiGetClassDevsExA, INVALID_HANDLE_VALUE, win(class_guid), enumerator,
                    win(parent), flags, existing_set, machine_name, reserved);
}

port::BOOL port::SetupDiOpenDeviceInfoA(port::HDEVINFO set, const char* instance_id, port::HWND parent,
                                        port::DWORD open_flags, port::SP_DEVINFO_DATA* data) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiOpenDeviceInfoA, FALSE, set, instance_id, win(parent), open_flags,
                    record.get());
}

port::BOOL port::SetupDiGetDeviceInfoListDetailA(port::HDEVINFO set,
                                                 port::SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
  if (detail == nullptr) return WIN32_CALL(setupapi, SetupDiGetDeviceInfoListDetailA, FALSE, set, nullptr);
  ::SP_DEVINFO_LIST_DETAIL_DATA_A record{};
  record.cbSize = win32::record_size<port::SP_DEVINFO_LIST_DETAIL_DATA_A, ::SP_DEVINFO_LIST_DETAIL_DATA_A>(
      detail->cbSize);
  ::BOOL result = WIN32_CALL(setupapi, SetupDiGetDeviceInfoListDetailA, FALSE, set, &record);
  if (result) {
    std::memcpy(&detail->ClassGuid, &record.ClassGuid, sizeof(detail->ClassGuid));
    detail->RemoteMachineHandle = record.RemoteMachineHandle;
    std::memcpy(detail->RemoteMachineName, record.RemoteMachineName, sizeof(detail->RemoteMachineName));
  }
  return result;
}

port::BOOL port::SetupDiEnumDeviceInfo(port::HDEVINFO set, port::DWORD index, port::SP_DEVINFO_DATA* data) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiEnumDeviceInfo, FALSE, set, index, record.get());
}

port::BOOL port::SetupDiGetDeviceInstanceIdA(port::HDEVINFO set, port::SP_DEVINFO_DATA* data, char* buffer,
                                             port::DWORD size, port::DWORD* required_size) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiGetDeviceInstanceIdA, FALSE, set, record.get(), buffer, size,
                    win(required_size));
}

port::BOOL port::SetupDiGetDeviceRegistryPropertyA(port::HDEVINFO set, port::SP_DEVINFO_DATA* data,
                                                   port::DWORD property, port::DWORD* type,
                                                   port::BYTE* buffer, port::DWORD size,
                                                   port::DWORD* required_size) {
  DevInfoData record(data);
  return WIN32_CALL(setupapi, SetupDiGetDeviceRegistryPropertyA, FALSE, set, record.get(), property,
                    win(type), buffer, size, win(required_size));
}

port::BOOL port::SetupDiSetClassInstallParamsA(port::HDEVINFO set, port::SP_DEVINFO_DATA* data,
                                               port::SP_CLASSINSTALL_HEADER* params, port::DWORD size) {
  DevInfoData record(data);
  if (params != nullptr && params->InstallFunction == DIF_REMOVE &&
      size == sizeof(port::SP_REMOVEDEVICE_PARAMS)) {
    const auto* remove = reinterpret_cast<const port::SP_REMOVEDEVICE_PARAMS*>(params);
    ::SP_REMOVEDEVICE_PARAMS windows_remove{};
    windows_remove.ClassInstallHeader.cbSize =
        win32::record_size<port::SP_CLASSINSTALL_HEADER, ::SP_CLASSINSTALL_HEADER>(
            remove->ClassInstallHeader.cbSize);
    windows_remove.ClassInstallHeader.InstallFunction = remove->ClassInstallHeader.InstallFunction;
    windows_remove.Scope = remove->Scope;
    windows_remove.HwProfile = remove->HwProfile;
    return WIN32_CALL(setupapi, SetupDiSetClassInstallParamsA, FALSE, set, record.get(),
                      &windows_remove.ClassInstallHeader, static_cast<::DWORD>(sizeof(windows_remove)));
  }
  // The header is two DWORDs under any packing; parameters of other functions pass as given.
  return WIN32_CALL(setupapi, SetupDiSetClassInstallParamsA, FALSE, set, record.get(),
                    reinterpret_cast<::SP_CLASSINSTALL_HEADER*>(params), size);
}

namespace {

// The record in its Windows form, packed as SetupAPI packs it; the caller's size becomes the
// Windows one only when it is the right one, so that a wrong one is refused as Windows refuses it.
::SP_DEVINSTALL_PARAMS_A windows_install_params(const port::SP_DEVINSTALL_PARAMS_A& params) {
  ::SP_DEVINSTALL_PARAMS_A record{};
  record.cbSize = win32::record_size<port::SP_DEVINSTALL_PARAMS_A, ::SP_DEVINSTALL_PARAMS_A>(params.cbSize);
  record.Flags = params.Flags;
  record.FlagsEx = params.FlagsEx;
  record.hwndParent = win(params.hwndParent);
  record.InstallMsgHandler = reinterpret_cast<::PSP_FILE_CALLBACK_A>(params.InstallMsgHandler);
  record.InstallMsgHandlerContext = params.InstallMsgHandlerContext;
  record.FileQueue = params.FileQueue;
  record.ClassInstallReserved = params.ClassInstallReserved;
  record.Reserved = params.Reserved;
  std::memcpy(record.DriverPath, params.DriverPath, sizeof(record.DriverPath));
  return record;
}

}  // namespace

port::BOOL port::SetupDiGetDeviceInstallParamsA(port::HDEVINFO set, port::SP_DEVINFO_DATA* data,
                                                port::SP_DEVINSTALL_PARAMS_A* params) {
  DevInfoData record(data);
  if (params == nullptr)
    return WIN32_CALL(setupapi, SetupDiGetDeviceInstallParamsA, FALSE, set, record.get(), nullptr);
  ::SP_DEVINSTALL_PARAMS_A windows_params = windows_install_params(*params);
  ::BOOL result =
      WIN32_CALL(setupapi, SetupDiGetDeviceInstallParamsA, FALSE, set, record.get(), &windows_params);
  if (result) {
    params->Flags = windows_params.Flags;
    params->FlagsEx = windows_params.FlagsEx;
    params->hwndParent = reinterpret_cast<port::HWND>(windows_params.hwndParent);
    params->InstallMsgHandler = reinterpret_cast<void*>(windows_params.InstallMsgHandler);
    params->InstallMsgHandlerContext = windows_params.InstallMsgHandlerContext;
    params->FileQueue = windows_params.FileQueue;
    params->ClassInstallReserved = windows_params.ClassInstallReserved;
    params->Reserved = windows_params.Reserved;
    std::memcpy(params->DriverPath, windows_params.DriverPath, sizeof(params->DriverPath));
  }
  return result;
}

port::BOOL port::SetupDiSetDeviceInstallParamsA(port::HDEVINFO set, port::SP_DEVINFO_DATA* data,
                                                port::SP_DEVINSTALL_PARAMS_A* params) {
  DevInfoData record(data);
  if (params == nullptr)
    return WIN32_CALL(setupapi, SetupDiSetDeviceInstallParamsA, FALSE, set, record.get(), nullptr);
  ::SP_DEVINSTALL_PARAMS_A windows_params = windows_install_params(*params);
  return WIN32_CALL(setupapi, SetupDiSetDeviceInstallParamsA, FALSE, set, record.get(), &windows_params);
}

port::BOOL port::SetupGetInfFileListA(const char* directory, port::DWORD style, char* buffer,
                                      port::DWORD size, port::DWORD* required_size) {
  return WIN32_CALL(setupapi, SetupGetInfFileListA, FALSE, directory, style, buffer, size,
                    win(required_size));
}

port::CONFIGRET port::CM_Locate_DevNode_ExA(port::DEVINST* devinst, const char* device_id, port::DWORD flags,
                                            port::HMACHINE machine) {
  // The configuration manager takes a non-const ID but does not change it.
  return WIN32_CALL(setupapi, CM_Locate_DevNode_ExA, CR_CALL_NOT_IMPLEMENTED, win(devinst),
                    const_cast<char*>(device_id), flags, machine);
}

port::CONFIGRET port::CM_Reenumerate_DevNode_Ex(port::DEVINST devinst, port::DWORD flags,
                                                port::HMACHINE machine) {
  return WIN32_CALL(setupapi, CM_Reenumerate_DevNode_Ex, CR_CALL_NOT_IMPLEMENTED, devinst, flags, machine);
}

port::CONFIGRET port::CM_Get_Device_ID_ExA(port::DEVINST devinst, char* buffer, port::DWORD size,
                                           port::DWORD flags, port::HMACHINE machine) {
  return WIN32_CALL(setupapi, CM_Get_Device_ID_ExA, CR_CALL_NOT_IMPLEMENTED, devinst, buffer, size, flags,
                    machine);
}
