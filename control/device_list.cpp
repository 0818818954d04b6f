// The device list: the name of every camera this driver runs, in the order the
// platform keeps the driver's device objects.
#include "control.h"

static const CHAR CamDeviceNameTemplate[] = "Quorvex-0";

#define CAM_DEVICE_NAME_DIGIT (sizeof(CamDeviceNameTemplate) - 2)

static_assert(sizeof(CamDeviceNameTemplate) <= CAM_DEVICE_NAME_BYTES,
              "a name and its terminator fit an entry");

// PASSIVE_LEVEL. The driver's device objects in the order the platform keeps them,
// most recently created first, each referenced while its number is read: another
// camera's may be removed and freed meanwhile. A ninth device object is not listed.
NTSTATUS CamGetDeviceList(const CAM_CONTROL_CALL* Call) {
  CAM_DEVICE_OBJECTS devices;
  NTSTATUS status = CamReferenceDeviceObjects(Call->DeviceObject->DriverObject, &devices);
  if (!NT_SUCCESS(status)) return status;
  UCHAR list[sizeof(CAM_DEVICE_LIST)];
  RtlZeroMemory(list, sizeof(list));
  for (ULONG entry = 0; entry < devices.Count && entry < CAM_DEVICE_LIST_ENTRIES; entry++) {
    PUCHAR name = list + entry * CAM_DEVICE_NAME_BYTES;
    RtlCopyMemory(name, CamDeviceNameTemplate, sizeof(CamDeviceNameTemplate));
    name[CAM_DEVICE_NAME_DIGIT] = (UCHAR)('0' + (UCHAR)CamExtension(devices.Objects[entry])->InstanceIndex);
  }
  CamReleaseDeviceObjects(&devices);
  RtlCopyMemory(Call->Buffer, list, sizeof(list));
  Call->Irp->IoStatus.Information = sizeof(list);
  return STATUS_SUCCESS;
}
