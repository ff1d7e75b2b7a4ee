/* tsrgBdevpp.dll stand-in: the property-page provider named by the package's INF.
 *
 * Device Manager asks it for the pages of a Tessaridge device; it adds one page that names the
 * driver.  The vendor's provider replaces it in a real release. */
#include "proppage.h"

#include <windows.h>

/* The Windows headers below need <windows.h> first. */
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

static HINSTANCE module_instance;

static INT_PTR CALLBACK page_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  (void)window;
  (void)wparam;
  (void)lparam;
  return message == WM_INITDIALOG;
}

__declspec(dllexport) BOOL WINAPI MorvellanPropPageProvider(PSP_PROPSHEETPAGE_REQUEST request,
                                                            LPFNADDPROPSHEETPAGE add_page, LPARAM lparam) {
  PROPSHEETPAGEA page;
  HPROPSHEETPAGE handle;

  if (request == NULL || request->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES) return FALSE;
  ZeroMemory(&page, sizeof(page));
  page.dwSize = sizeof(page);
  page.hInstance = module_instance;
  page.pszTemplate = MAKEINTRESOURCEA(IDD_HALVIK_PAGE);
  page.pfnDlgProc = page_procedure;
  handle = CreatePropertySheetPageA(&page);
  if (handle == NULL) return FALSE;
  if (!add_page(handle, lparam)) {
    DestroyPropertySheetPage(handle);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    module_instance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
