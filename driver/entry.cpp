// Driver entry, unload, and the creation of one device object per camera.
#include "../control/control.h"
#include "../pnp/pnp.h"
#include "../power/power.h"
#include "driver.h"

static const WCHAR CamDeviceNameTemplate[] = L"\\Device\\Quorvex-0";
static const WCHAR CamLinkNameTemplate[] = L"\\DosDevices\\Quorvex-0";

#define CAM_DEVICE_NAME_CHARS (sizeof(CamDeviceNameTemplate) / sizeof(WCHAR))
#define CAM_LINK_NAME_TEMPLATE_CHARS (sizeof(CamLinkNameTemplate) / sizeof(WCHAR))

static_assert(CAM_DEVICE_NAME_CHARS == 18, "device name: 17 characters and NUL");
static_assert(CAM_LINK_NAME_TEMPLATE_CHARS == 22, "link name: 21 characters and NUL");
static_assert(CAM_LINK_NAME_TEMPLATE_CHARS <= CAM_LINK_NAME_CHARS, "link name fits the context");

// PASSIVE_LEVEL, once, when the system loads the driver.
extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CamDispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CamDispatchClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CamDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = CamDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = CamDispatchPnp;
  DriverObject->DriverUnload = CamUnload;
  DriverObject->DriverExtension->AddDevice = CamAddDevice;
  return STATUS_SUCCESS;
}

// Everything a device owns is released at its removal; nothing is left here.
VOID NTAPI CamUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

static BOOLEAN CamInstanceInUse(PDRIVER_OBJECT DriverObject, ULONG Instance) {
  for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d != NULL; d = d->NextDevice) {
    if (CamExtension(d)->InstanceIndex == Instance) return TRUE;
  }
  return FALSE;
}

// The lowest instance number no device object of the driver holds, or
// CAM_MAX_INSTANCES when all are taken. Plug and Play serialises AddDevice.
static ULONG CamChooseInstance(PDRIVER_OBJECT DriverObject) {
  ULONG instance = 0;
  while (instance < CAM_MAX_INSTANCES && CamInstanceInUse(DriverObject, instance)) instance++;
  return instance;
}

// PASSIVE_LEVEL. Asks the bus driver for the capabilities, waiting for the answer;
// an IRP that cannot be had leaves them zero. The query's status is not used.
static VOID CamQueryCapabilities(PCAM_DEVICE_EXTENSION Extension, PDEVICE_OBJECT Pdo) {
  PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
  if (irp == NULL) return;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // Plug and Play requests start out as not supported until a driver handles them.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  // The bus answers only a record that says its size and version; address and
  // UI number start unknown.
  PDEVICE_CAPABILITIES capabilities = &Extension->DeviceCapabilities;
  RtlZeroMemory(capabilities, sizeof(*capabilities));
  capabilities->Size = sizeof(*capabilities);
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  IoSetCompletionRoutine(irp, CamSyncCompletion, &event, TRUE, TRUE, TRUE);
  if (IofCallDriver(Pdo, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
  }
  IoFreeIrp(irp);
}

// The device state of the deepest sleeping state that keeps the device above D3.
static DEVICE_POWER_STATE CamIdlePowerState(const DEVICE_CAPABILITIES* Capabilities) {
  static const SYSTEM_POWER_STATE sleeping[] = {PowerSystemSleeping1, PowerSystemSleeping2,
                                                PowerSystemSleeping3};
  DEVICE_POWER_STATE idle = PowerDeviceUnspecified;
  for (ULONG i = 0; i < sizeof(sleeping) / sizeof(sleeping[0]); i++) {
    DEVICE_POWER_STATE state = Capabilities->DeviceState[sleeping[i]];
    if ((LONG)state < (LONG)PowerDeviceD3) idle = state;
  }
  return idle;
}

static VOID CamInitializeExtension(PCAM_DEVICE_EXTENSION Extension, const WCHAR* LinkName) {
  RtlCopyMemory(Extension->SymbolicLinkName, LinkName, CAM_LINK_NAME_TEMPLATE_CHARS * sizeof(WCHAR));
  Extension->OpenCount = 0;
  Extension->ConfigurationHandle = NULL;
  Extension->DeviceDescriptor = NULL;
  Extension->InterfaceInfo = NULL;
  Extension->SymbolicLinkInUse = 0;
  Extension->Started = 0;
}

// PASSIVE_LEVEL, on the Plug and Play manager's thread. On failure nothing is left:
// no device object, no name, no link.
NTSTATUS NTAPI CamAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  WCHAR deviceName[CAM_DEVICE_NAME_CHARS];
  WCHAR linkName[CAM_LINK_NAME_TEMPLATE_CHARS];
  RtlCopyMemory(deviceName, CamDeviceNameTemplate, sizeof(deviceName));
  RtlCopyMemory(linkName, CamLinkNameTemplate, sizeof(linkName));
  ULONG instance = CamChooseInstance(DriverObject);
  if (instance >= CAM_MAX_INSTANCES) return STATUS_UNSUCCESSFUL;
  deviceName[CAM_DEVICE_NAME_CHARS - 2] = (WCHAR)(L'0' + instance);
  linkName[CAM_LINK_NAME_TEMPLATE_CHARS - 2] = (WCHAR)(L'0' + instance);
  UNICODE_STRING deviceString;
  UNICODE_STRING linkString;
  RtlInitUnicodeString(&deviceString, deviceName);
  RtlInitUnicodeString(&linkString, linkName);

  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CAM_DEVICE_EXTENSION), &deviceString,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) return status;
  PCAM_DEVICE_EXTENSION extension = CamExtension(deviceObject);
  CamInitializeExtension(extension, linkName);
  status = IoCreateSymbolicLink(&linkString, &deviceString);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(deviceObject);
    return status;
  }
  extension->InstanceIndex = instance;
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

  extension->PhysicalDeviceObject = PhysicalDeviceObject;
  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  if (extension->LowerDeviceObject == NULL) {
    IoDeleteSymbolicLink(&linkString);
    IoDeleteDevice(deviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  CamQueryCapabilities(extension, PhysicalDeviceObject);
  extension->IdleDevicePowerState = CamIdlePowerState(&extension->DeviceCapabilities);
  extension->LastUsbdStatus = 0;
  extension->IoCount = 1;
  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->PowerUpEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->SingleShotLock, SynchronizationEvent, TRUE);
  return STATUS_SUCCESS;
}
