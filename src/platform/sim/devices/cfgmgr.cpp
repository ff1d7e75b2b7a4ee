// newdev, the configuration manager and the setupapi export found at run time
// (CMP_WaitNoPendingInstallEvents), on the simulated machine.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/devices/device_calls.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/wow64/wow64.h"

namespace port {

using namespace device_calls;

// ---- newdev --------------------------------------------------------------------------------

BOOL UpdateDriverForPlugAndPlayDevicesA(HWND /*parent*/, const char* hardware_id, const char* full_inf_path,
                                        DWORD install_flags, BOOL* reboot_required) {
  std::string call = "UpdateDriverForPlugAndPlayDevicesA " + quote(hardware_id) + " " + quote(full_inf_path) +
                     " " + hex32(install_flags);
  if (DWORD injected = sim::internal::fault(
          "UpdateDriverForPlugAndPlayDevicesA",
          {hardware_id == nullptr ? "" : hardware_id, full_inf_path == nullptr ? "" : full_inf_path})) {
    return fail(call, injected);
  }
  if (hardware_id == nullptr || *hardware_id == '\0' || full_inf_path == nullptr || *full_inf_path == '\0') {
    return fail(call, ERROR_INVALID_PARAMETER);
  }
  // INSTALLFLAG_FORCE and _READONLY; _NONINTERACTIVE from Windows XP on.
  std::string version = sim::internal::machine().ini.get_or("system", "version", "5.1");
  DWORD known = std::strtod(version.c_str(), nullptr) < 5.1 ? 0x3U : 0x7U;
  if ((install_flags & ~known) != 0) return fail(call, kErrorInvalidFlags);
  if (sim::internal::process_is_wow64()) return fail(call, ERROR_IN_WOW64);
  bool restart = false;
  bool source_missing = false;
  DWORD error = devices::update_driver(hardware_id, full_inf_path, &restart, &source_missing);
  if (source_missing && (install_flags & INSTALLFLAG_NONINTERACTIVE) == 0) {
    // Windows asks for the disk and waits for an answer; nobody gives one on this machine, and
    // the request ends as if cancelled.
    sim::internal::trace_line(
        "UpdateDriverForPlugAndPlayDevicesA asks for the disk that holds a package file");
    error = kErrorCancelled;
  }
  if (error != ERROR_SUCCESS) return fail(call, error);
  if (reboot_required != nullptr) *reboot_required = restart ? TRUE : FALSE;
  return succeed(call, restart ? "restart required" : "");
}

// ---- the configuration manager -------------------------------------------------------------

CONFIGRET CM_Locate_DevNode_ExA(DEVINST* devinst, const char* device_id, DWORD flags, HMACHINE machine) {
  std::string call = "CM_Locate_DevNode_ExA " + quote(device_id) + " " + hex32(flags);
  if (DWORD injected =
          sim::internal::fault("CM_Locate_DevNode_ExA", {device_id == nullptr ? "" : device_id})) {
    return answer(call, injected);
  }
  if (devinst == nullptr) return answer(call, kCrInvalidPointer);
  *devinst = 0;
  if (machine != nullptr) return answer(call, kCrInvalidMachineName);
  if (device_id == nullptr || *device_id == '\0' || iequals(device_id, kRootDevnode)) {
    *devinst = devinst_of(kRootDevnode);
    return answer(call, CR_SUCCESS);
  }
  std::string stored = devices::stored_node_id(device_id);
  // CM_LOCATE_DEVNODE_PHANTOM (1) finds nodes whose board is gone too.
  if (stored.empty() || ((flags & 1) == 0 && !devices::node_present(stored)))
    return answer(call, kCrNoSuchDevnode);
  *devinst = devinst_of(stored);
  return answer(call, CR_SUCCESS);
}

CONFIGRET CM_Reenumerate_DevNode_Ex(DEVINST devinst, DWORD flags, HMACHINE machine) {
  std::string call = "CM_Reenumerate_DevNode_Ex " + std::to_string(devinst) + " " + hex32(flags);
  if (DWORD injected = sim::internal::fault("CM_Reenumerate_DevNode_Ex")) return answer(call, injected);
  if (machine != nullptr) return answer(call, kCrInvalidMachineName);
  if (instance_of(devinst) == nullptr) return answer(call, kCrInvalidDevnode);
  if (CONFIGRET configured = devices::reenumerate_error()) return answer(call, configured);
  devices::reenumerate();
  return answer(call, CR_SUCCESS);
}

CONFIGRET CM_Get_Device_ID_ExA(DEVINST devinst, char* buffer, DWORD size, DWORD flags, HMACHINE machine) {
  const std::string* instance = instance_of(devinst);
  std::string call = "CM_Get_Device_ID_ExA " + quote(instance == nullptr ? "" : *instance) + " " +
                     std::to_string(size) + " " + hex32(flags);
  if (DWORD injected = sim::internal::fault("CM_Get_Device_ID_ExA", {instance == nullptr ? "" : *instance})) {
    return answer(call, injected);
  }
  if (buffer == nullptr) return answer(call, kCrInvalidPointer);
  if (machine != nullptr) return answer(call, kCrInvalidMachineName);
  if (instance == nullptr) return answer(call, kCrInvalidDevnode);
  if (size > 0) buffer[0] = '\0';
  // Like Windows: an ID that fills the buffer exactly is copied without its NUL and succeeds.
  if (instance->size() > size) {
    if (size > 0) {
      std::memcpy(buffer, instance->data(), size - 1);
      buffer[size - 1] = '\0';
    }
    return answer(call, kCrBufferSmall);
  }
  std::memcpy(buffer, instance->data(), instance->size());
  if (instance->size() < size) buffer[instance->size()] = '\0';
  return answer(call, CR_SUCCESS);
}

// ---- setupapi's exports found at run time ------------------------------------------------

namespace {

DWORD PORT_WINAPI wait_no_pending_install_events(DWORD timeout) {
  // Nothing installs in the background on this machine: nothing to wait for, unless the
  // machine is set to let the wait run out.
  DWORD result = devices::wait_no_pending_times_out() ? 258 : 0;  // WAIT_TIMEOUT, WAIT_OBJECT_0
  if (DWORD error = sim::internal::fault("CMP_WaitNoPendingInstallEvents", {std::to_string(timeout)})) {
    port::SetLastError(error);
    result = 0xFFFFFFFF;  // WAIT_FAILED
  }
  sim::internal::trace_line("CMP_WaitNoPendingInstallEvents " + std::to_string(timeout) + " -> " +
                            std::to_string(result));
  return result;
}

}  // namespace

}  // namespace port

namespace sim::devices {

port::FARPROC setupapi_export(const char* name) {
  if (name != nullptr && std::strcmp(name, "CMP_WaitNoPendingInstallEvents") == 0 &&
      wait_no_pending_available())
    return reinterpret_cast<port::FARPROC>(&port::wait_no_pending_install_events);
  return nullptr;
}

}  // namespace sim::devices
