/* tsrgBdevco.dll stand-in: the device co-installer named by the package's INF.
 *
 * It takes part in every device installation request and lets each one proceed; the vendor's
 * co-installer replaces it in a real release. */
#include <windows.h>

/* The Windows headers below need <windows.h> first. */
#include <setupapi.h>

__declspec(dllexport) DWORD CALLBACK
    MorvellanCoInstaller(DI_FUNCTION install_function, HDEVINFO device_info_set,
                         PSP_DEVINFO_DATA device_info_data, PCOINSTALLER_CONTEXT_DATA context) {
  (void)install_function;
  (void)device_info_set;
  (void)device_info_data;
  (void)context;
  return NO_ERROR;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
