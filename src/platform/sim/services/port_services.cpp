// The service manager of the simulated machine.  It answers from its own database (read from
// the Services keys at boot, see database.cpp); a service's state lives in machine.ini.
//
// A stop request takes a running (or paused) service to stop_pending, and whoever queries it
// next finds it stopped, unless NAME.stop = stuck keeps it pending.  DeleteService marks the
// service (and writes DeleteFlag = 1 and Start = 4 in its key, as Windows does); it vanishes,
// key and all, once it is stopped and the last handle to it is closed, unless NAME.delete =
// linger; a service that never stops stays marked until the restart.
#include <string>

#include "platform/sim/machine/machine.h"
#include "platform/sim/services/services.h"

namespace port {

using namespace sim::internal;

namespace {

constexpr DWORD kAcceptStop = 0x1;

ServiceHandle* find_handle(SC_HANDLE handle) {
  Machine& m = machine();
  auto found = m.services.find(handle);
  return found == m.services.end() ? nullptr : found->second.get();
}

std::string handle_name(SC_HANDLE handle) {
  ServiceHandle* service = find_handle(handle);
  if (service == nullptr) return "(invalid handle)";
  return service->manager ? "(manager)" : service->name;
}

SC_HANDLE new_handle(bool manager, const std::string& name, DWORD access) {
  auto handle = std::make_unique<ServiceHandle>();
  handle->manager = manager;
  handle->name = name;
  handle->access = access;
  SC_HANDLE result = reinterpret_cast<SC_HANDLE>(handle.get());
  machine().services.emplace(handle.get(), std::move(handle));
  return result;
}

// The state a query finds, completing a stop that isn't stuck.
DWORD settle_state(const std::string& name) {
  DWORD state = current_service_state(name);
  if (state == SERVICE_STOP_PENDING && !iequals(service_option(name, "stop"), "stuck")) {
    state = SERVICE_STOPPED;
    store_service_state(name, state);
    service_maybe_vanish(name);
  }
  return state;
}

void fill_status(const std::string& name, DWORD state, SERVICE_STATUS* status) {
  if (status == nullptr) return;
  *status = SERVICE_STATUS{};
  status->dwServiceType = service_type(name);
  status->dwCurrentState = state;
  status->dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_PAUSED ? kAcceptStop : 0;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string result_text(BOOL ok) {
  return ok ? "TRUE" : "FALSE " + std::to_string(GetLastError());
}

}  // namespace

SC_HANDLE OpenSCManagerA(const char* machine_name, const char* database_name, DWORD desired) {
  SC_HANDLE result = nullptr;
  if (DWORD error = fault("OpenSCManagerA")) {
    SetLastError(error);
  } else {
    result = new_handle(true, "", desired);
  }
  trace_line("OpenSCManagerA " + quote(machine_name) + " " + quote(database_name) + " " + hex32(desired) +
             " -> " + (result != nullptr ? "handle" : "NULL " + std::to_string(GetLastError())));
  return result;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* service_name, DWORD desired) {
  std::string name = service_name == nullptr ? "" : service_name;
  SC_HANDLE result = nullptr;
  ServiceHandle* scm = find_handle(manager);
  if (DWORD error = fault("OpenServiceA", {name})) {
    SetLastError(error);
  } else if (scm == nullptr || !scm->manager) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if (service_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
  } else if (!service_known(name)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
  } else {
    result = new_handle(false, service_key_name(name), desired);
  }
  trace_line("OpenServiceA " + quote(service_name) + " " + hex32(desired) + " -> " +
             (result != nullptr ? "handle" : "NULL " + std::to_string(GetLastError())));
  return result;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  std::string name = handle_name(service);
  ServiceHandle* handle = find_handle(service);
  BOOL ok = FALSE;
  DWORD state = 0;
  if (DWORD error = fault("QueryServiceStatus", {name})) {
    fail(error);
  } else if (handle == nullptr || handle->manager) {
    fail(ERROR_INVALID_HANDLE);
  } else if ((handle->access & SERVICE_QUERY_STATUS) == 0) {
    fail(ERROR_ACCESS_DENIED);
  } else if (status == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
  } else {
    state = settle_state(name);
    fill_status(name, state, status);
    ok = TRUE;
  }
  trace_line("QueryServiceStatus " + quote(name) + " -> " + result_text(ok) +
             (ok ? std::string(" ") + service_state_name(state) : ""));
  return ok;
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  std::string name = handle_name(service);
  ServiceHandle* handle = find_handle(service);
  BOOL ok = FALSE;
  if (DWORD error = fault("ControlService", {name})) {
    fail(error);
  } else if (handle == nullptr || handle->manager) {
    fail(ERROR_INVALID_HANDLE);
  } else if (control != SERVICE_CONTROL_STOP) {
    fill_status(name, current_service_state(name), status);
    fail(ERROR_INVALID_SERVICE_CONTROL);
  } else if ((handle->access & SERVICE_STOP) == 0) {
    fail(ERROR_ACCESS_DENIED);
  } else {
    DWORD state = current_service_state(name);
    if (state == SERVICE_STOPPED) {
      fill_status(name, state, status);
      fail(ERROR_SERVICE_NOT_ACTIVE);
    } else if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
      store_service_state(name, SERVICE_STOP_PENDING);
      fill_status(name, SERVICE_STOP_PENDING, status);
      ok = TRUE;
    } else {
      fill_status(name, state, status);
      fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
  }
  trace_line("ControlService " + quote(name) + " " + std::to_string(control) + " -> " + result_text(ok));
  return ok;
}

BOOL DeleteService(SC_HANDLE service) {
  std::string name = handle_name(service);
  ServiceHandle* handle = find_handle(service);
  BOOL ok = FALSE;
  if (DWORD error = fault("DeleteService", {name})) {
    fail(error);
  } else if (handle == nullptr || handle->manager) {
    fail(ERROR_INVALID_HANDLE);
  } else if ((handle->access & DELETE) == 0) {
    fail(ERROR_ACCESS_DENIED);
  } else if (service_marked_for_delete(name)) {
    fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  } else {
    mark_service_for_delete(name);
    ok = TRUE;
  }
  trace_line("DeleteService " + quote(name) + " -> " + result_text(ok));
  return ok;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  std::string name = handle_name(handle);
  BOOL ok = FALSE;
  Machine& m = machine();
  auto found = m.services.find(handle);
  if (DWORD error = fault("CloseServiceHandle", {name})) {
    fail(error);
  } else if (found == m.services.end()) {
    fail(ERROR_INVALID_HANDLE);
  } else {
    bool manager = found->second->manager;
    m.services.erase(found);
    if (!manager) service_maybe_vanish(name);
    ok = TRUE;
  }
  trace_line("CloseServiceHandle " + quote(name) + " -> " + result_text(ok));
  return ok;
}

}  // namespace port
