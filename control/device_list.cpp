// The device list: the name of every camera this driver runs, in the order the
// platform keeps the driver's device objects.
#include "control.h"

static const CHAR CamDeviceNameTemplate[] = "Quorvex-0";

#define CAM_DEVICE_NAME_DIGIT (sizeof(CamDeviceNameTemplate) - 2)

static_assert(sizeof(CamDeviceNameTemplate) <= CAM_DEVICE_NAME_BYTES,
              "a name and its terminator fit an entry");

// PASSIVE_LEVEL. No lock: the walk reads the driver's device list as Plug and Play
// leaves it, most recently created first; nothing is allocated. A ninth device object
// is not listed.
NTSTATUS CamGetDeviceList(const CAM_CONTROL_CALL* Call) {
  UCHAR list[sizeof(CAM_DEVICE_LIST)];
  RtlZeroMemory(list, sizeof(list));
  ULONG entry = 0;
  PDEVICE_OBJECT device = Call->DeviceObject->DriverObject->DeviceObject;
  for (; device != NULL && entry < CAM_DEVICE_LIST_ENTRIES; device = device->NextDevice, entry++) {
    PUCHAR name = list + entry * CAM_DEVICE_NAME_BYTES;
    RtlCopyMemory(name, CamDeviceNameTemplate, sizeof(CamDeviceNameTemplate));
    name[CAM_DEVICE_NAME_DIGIT] = (UCHAR)('0' + (UCHAR)CamExtension(device)->InstanceIndex);
  }
  RtlCopyMemory(Call->Buffer, list, sizeof(list));
  Call->Irp->IoStatus.Information = sizeof(list);
  return STATUS_SUCCESS;
}
