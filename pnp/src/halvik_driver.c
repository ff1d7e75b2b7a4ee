/* halvik.sys stand-in: the smallest kernel driver that loads, starts and unloads cleanly.
 *
 * It lets the installer's package be installed and its service run end to end; the vendor's
 * driver replaces it in a real release. */
#include <ddk/wdm.h>

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD halvik_unload;

static VOID NTAPI halvik_unload(PDRIVER_OBJECT driver) {
  (void)driver;
  DbgPrint("halvik: unloaded\n");
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  (void)registry_path;
  driver->DriverUnload = halvik_unload;
  DbgPrint("halvik: loaded\n");
  return STATUS_SUCCESS;
}
