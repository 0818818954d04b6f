// Driver entry of the test bus: its control device, the bus device Plug and Play
// adds, and the dispatch routines that send each request to the device it is for.
#include "bus.h"

qvx_bus* qvx_the_bus;

NTSTATUS qvx_complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI qvx_dispatch_create_close(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return qvx_complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI qvx_dispatch_device_control(PDEVICE_OBJECT device, PIRP irp) {
  if (qvx_kind_of(device) == QVX_CONTROL_DEVICE) return qvx_control_ioctl(irp);
  return qvx_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI qvx_dispatch_internal(PDEVICE_OBJECT device, PIRP irp) {
  if (qvx_kind_of(device) == QVX_CAMERA_DEVICE) {
    return qvx_camera_internal_ioctl(((qvx_child*)device->DeviceExtension)->camera, irp);
  }
  return qvx_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI qvx_dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
  switch (qvx_kind_of(device)) {
    case QVX_BUS_DEVICE:
      return qvx_bus_pnp((qvx_bus*)device->DeviceExtension, irp);
    case QVX_CAMERA_DEVICE:
      return qvx_camera_pnp(((qvx_child*)device->DeviceExtension)->camera, irp);
    default:
      return qvx_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// A camera answers power requests itself; the bus passes them to its parent.
static NTSTATUS NTAPI qvx_dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  if (qvx_kind_of(device) == QVX_BUS_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(((qvx_bus*)device->DeviceExtension)->lower, irp);
  }
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  NTSTATUS status =
      minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER ? STATUS_SUCCESS : irp->IoStatus.Status;
  return qvx_complete(irp, status, irp->IoStatus.Information);
}

// PASSIVE_LEVEL. One bus per system: a second root device is refused.
static NTSTATUS NTAPI qvx_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (qvx_the_bus != NULL) return STATUS_DEVICE_ALREADY_ATTACHED;
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(qvx_bus), NULL, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  qvx_bus* bus = (qvx_bus*)fdo->DeviceExtension;
  RtlZeroMemory(bus, sizeof(*bus));
  bus->kind = QVX_BUS_DEVICE;
  bus->fdo = fdo;
  bus->pdo = pdo;
  bus->quiet = 1;
  KeInitializeSpinLock(&bus->lock);
  InitializeListHead(&bus->answered);
  KeInitializeEvent(&bus->work, SynchronizationEvent, FALSE);
  bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (bus->lower == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  status = qvx_worker_start(bus);
  if (!NT_SUCCESS(status)) {
    IoDetachDevice(bus->lower);
    IoDeleteDevice(fdo);
    return status;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  qvx_the_bus = bus;
  return STATUS_SUCCESS;
}

static NTSTATUS qvx_create_control_device(PDRIVER_OBJECT driver) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, QVXBUS_DEVICE_NAME);
  RtlInitUnicodeString(&link, QVXBUS_LINK_NAME);
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(qvx_control), &name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ((qvx_control*)device->DeviceExtension)->kind = QVX_CONTROL_DEVICE;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, once. The bus is never unloaded while it has children, and it
// keeps no state that an unload would have to give back beyond its devices.
extern "C" NTSTATUS NTAPI QvxBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  UNREFERENCED_PARAMETER(registry_path);
  driver->MajorFunction[IRP_MJ_CREATE] = qvx_dispatch_create_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = qvx_dispatch_create_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = qvx_dispatch_device_control;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = qvx_dispatch_internal;
  driver->MajorFunction[IRP_MJ_PNP] = qvx_dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = qvx_dispatch_power;
  driver->DriverExtension->AddDevice = qvx_add_device;
  return qvx_create_control_device(driver);
}
