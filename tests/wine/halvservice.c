/* halvservice.exe for the Wine suite: a service that runs until it is told to stop, standing in
 * for the board family's host service.  The installer must refuse to remove the driver while
 * it runs. */
#include <windows.h>

static SERVICE_STATUS_HANDLE status_handle;
static SERVICE_STATUS status;
static HANDLE stop_event;

static void report(DWORD state) {
  status.dwCurrentState = state;
  SetServiceStatus(status_handle, &status);
}

static DWORD WINAPI control(DWORD code, DWORD type, LPVOID data, LPVOID context) {
  (void)type;
  (void)data;
  (void)context;
  if (code == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING);
    SetEvent(stop_event);
  }
  return NO_ERROR;
}

static void WINAPI service_main(DWORD argc, LPSTR* argv) {
  (void)argc;
  (void)argv;
  status_handle = RegisterServiceCtrlHandlerExA("halvservice", control, NULL);
  if (status_handle == NULL) return;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
  report(SERVICE_RUNNING);
  WaitForSingleObject(stop_event, INFINITE);
  report(SERVICE_STOPPED);
}

int main(void) {
  SERVICE_TABLE_ENTRYA table[] = {{(LPSTR) "halvservice", service_main}, {NULL, NULL}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
