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
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CamDispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CamDispatchClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CamDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = CamDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = CamDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = CamDispatchSystemControl;
  DriverObject->DriverUnload = CamUnload;
  DriverObject->DriverExtension->AddDevice = CamAddDevice;
  CamInitializeInstances();
  return STATUS_SUCCESS;
}

// Everything a device owns is released at its removal; nothing is left here.
VOID NTAPI CamUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

// PASSIVE_LEVEL. Asks the bus driver for the capabilities, waiting for the answer.
// The record goes down as its sender must fill it: size, version 1, address and
// UI number unknown, the rest zero. A query that fails, or an IRP that cannot be
// had, leaves the capabilities zero.
static VOID CamQueryCapabilities(PCAM_DEVICE_EXTENSION Extension, PDEVICE_OBJECT Pdo) {
  PDEVICE_CAPABILITIES capabilities = &Extension->DeviceCapabilities;
  RtlZeroMemory(capabilities, sizeof(*capabilities));
  PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
  if (irp == NULL) return;
  capabilities->Size = sizeof(*capabilities);
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // Plug and Play requests start out as not supported until a driver handles them.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  IoSetCompletionRoutine(irp, CamSyncCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(Pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status)) RtlZeroMemory(capabilities, sizeof(*capabilities));
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

// Everything a request may touch is set before the device can be reached: the
// gate's count and events first of all.
static VOID CamInitializeExtension(PCAM_DEVICE_EXTENSION Extension, const WCHAR* LinkName, ULONG Instance) {
  RtlCopyMemory(Extension->SymbolicLinkName, LinkName, CAM_LINK_NAME_TEMPLATE_CHARS * sizeof(WCHAR));
  Extension->OpenCount = 0;
  Extension->ConfigurationHandle = NULL;
  Extension->DeviceDescriptor = NULL;
  Extension->InterfaceInfo = NULL;
  Extension->PnpState = CamPnpNotStarted;
  Extension->InstanceIndex = Instance;
  Extension->LastUsbdStatus = 0;
  Extension->IoCount = 1;
  KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->PowerUpEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->DrainEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->PowerHoldsEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->SingleShotLock, SynchronizationEvent, TRUE);
  KeInitializeSpinLock(&Extension->SyncRequestLock);
  KeInitializeSpinLock(&Extension->StreamListLock);
  KeInitializeSpinLock(&Extension->PowerLock);
  Extension->SyncRequests = NULL;
}

// PASSIVE_LEVEL. Attaches and learns the capabilities; on failure the device object
// is left unattached.
static NTSTATUS CamAttachDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  DeviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  extension->PhysicalDeviceObject = PhysicalDeviceObject;
  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (extension->LowerDeviceObject == NULL) return STATUS_NO_SUCH_DEVICE;
  CamQueryCapabilities(extension, PhysicalDeviceObject);
  extension->IdleDevicePowerState = CamIdlePowerState(&extension->DeviceCapabilities);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Claims the lowest free instance number and creates the device
// object named by it, the names taking its digit. A removed camera's device object
// may keep its name a moment after its number was given up (its last close is
// still under way): such a number is skipped. On failure no number is held.
static NTSTATUS CamCreateNamedDevice(PDRIVER_OBJECT DriverObject, WCHAR* DeviceName, WCHAR* LinkName,
                                     PULONG Instance, PDEVICE_OBJECT* DeviceObject) {
  ULONG skip = 0;
  for (;;) {
    ULONG instance = CamClaimInstance(skip);
    if (instance >= CAM_MAX_INSTANCES) return STATUS_UNSUCCESSFUL;
    DeviceName[CAM_DEVICE_NAME_CHARS - 2] = (WCHAR)(L'0' + instance);
    LinkName[CAM_LINK_NAME_TEMPLATE_CHARS - 2] = (WCHAR)(L'0' + instance);
    UNICODE_STRING deviceString;
    RtlInitUnicodeString(&deviceString, DeviceName);
    // Secure open: the device's security holds for any name below it as well.
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CAM_DEVICE_EXTENSION), &deviceString,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, DeviceObject);
    if (NT_SUCCESS(status)) {
      *Instance = instance;
      return status;
    }
    CamReleaseInstance(instance);
    if (status != STATUS_OBJECT_NAME_COLLISION) return status;
    skip |= 1u << instance;
  }
}

// PASSIVE_LEVEL, on the Plug and Play manager's thread. The device is complete
// before applications can name it: the link comes after everything else, and
// DO_DEVICE_INITIALIZING goes last. On failure nothing is left: no device object,
// no name, no link.
NTSTATUS NTAPI CamAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  WCHAR deviceName[CAM_DEVICE_NAME_CHARS];
  WCHAR linkName[CAM_LINK_NAME_TEMPLATE_CHARS];
  RtlCopyMemory(deviceName, CamDeviceNameTemplate, sizeof(deviceName));
  RtlCopyMemory(linkName, CamLinkNameTemplate, sizeof(linkName));
  UNICODE_STRING deviceString;
  UNICODE_STRING linkString;
  PDEVICE_OBJECT deviceObject = NULL;
  ULONG instance = CAM_MAX_INSTANCES;
  NTSTATUS status = CamCreateNamedDevice(DriverObject, deviceName, linkName, &instance, &deviceObject);
  if (!NT_SUCCESS(status)) return status;
  RtlInitUnicodeString(&deviceString, deviceName);
  RtlInitUnicodeString(&linkString, linkName);
  PCAM_DEVICE_EXTENSION extension = CamExtension(deviceObject);
  CamInitializeExtension(extension, linkName, instance);
  status = CamAttachDevice(deviceObject, PhysicalDeviceObject);
  if (NT_SUCCESS(status)) {
    status = IoCreateSymbolicLink(&linkString, &deviceString);
    if (!NT_SUCCESS(status)) IoDetachDevice(extension->LowerDeviceObject);
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(deviceObject);
    CamReleaseInstance(instance);
    return status;
  }
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  CamPublishInstance(instance);
  return STATUS_SUCCESS;
}
