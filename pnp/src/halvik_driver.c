/* halvik.sys stand-in: the smallest Plug and Play function driver that loads, takes its device
 * through start and removal, and unloads cleanly.
 *
 * It lets the installer's package be installed and its service run end to end; the vendor's
 * driver replaces it in a real release.  Every request it does not own passes down the device
 * stack unchanged. */
#include <ddk/wdm.h>

typedef struct {
  PDEVICE_OBJECT lower;
} HALVIK_EXTENSION;

DRIVER_INITIALIZE DriverEntry;

static NTSTATUS pass_down(PDEVICE_OBJECT device, PIRP irp) {
  HALVIK_EXTENSION* extension = (HALVIK_EXTENSION*)device->DeviceExtension;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

static NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI halvik_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  PDEVICE_OBJECT device;
  HALVIK_EXTENSION* extension;
  NTSTATUS status = IoCreateDevice(driver, sizeof(HALVIK_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (HALVIK_EXTENSION*)device->DeviceExtension;
  extension->lower = IoAttachDeviceToDeviceStack(device, physical);
  if (extension->lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static NTSTATUS NTAPI halvik_pnp(PDEVICE_OBJECT device, PIRP irp) {
  HALVIK_EXTENSION* extension = (HALVIK_EXTENSION*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      /* The stand-in has no hardware to set up or release: it agrees to each state change. */
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(device, irp);
    case IRP_MN_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = pass_down(device, irp);
      IoDetachDevice(extension->lower);
      IoDeleteDevice(device);
      return status;
    default:
      return pass_down(device, irp);
  }
}

static NTSTATUS NTAPI halvik_power(PDEVICE_OBJECT device, PIRP irp) {
  HALVIK_EXTENSION* extension = (HALVIK_EXTENSION*)device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->lower, irp);
}

static NTSTATUS NTAPI halvik_create_close(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return complete(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI halvik_pass_through(PDEVICE_OBJECT device, PIRP irp) {
  return pass_down(device, irp);
}

static VOID NTAPI halvik_unload(PDRIVER_OBJECT driver) {
  (void)driver;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  (void)registry_path;
  driver->MajorFunction[IRP_MJ_CREATE] = halvik_create_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = halvik_create_close;
  driver->MajorFunction[IRP_MJ_PNP] = halvik_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = halvik_power;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = halvik_pass_through;
  driver->DriverExtension->AddDevice = halvik_add_device;
  driver->DriverUnload = halvik_unload;
  return STATUS_SUCCESS;
}
