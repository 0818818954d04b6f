// The device list: the name of every camera this driver runs, most recent first.
#include "control.h"

static const CHAR CamDeviceNameTemplate[] = "Quorvex-0";

#define CAM_DEVICE_NAME_DIGIT (sizeof(CamDeviceNameTemplate) - 2)

static_assert(sizeof(CamDeviceNameTemplate) <= CAM_DEVICE_NAME_BYTES,
              "a name and its terminator fit an entry");

// PASSIVE_LEVEL. The cameras the driver runs, most recently added first, until
// their removal.
NTSTATUS CamGetDeviceList(const CAM_CONTROL_CALL* Call) {
  ULONG instances[CAM_MAX_INSTANCES];
  ULONG count = CamListInstances(instances);
  UCHAR list[sizeof(CAM_DEVICE_LIST)];
  RtlZeroMemory(list, sizeof(list));
  for (ULONG entry = 0; entry < count && entry < CAM_DEVICE_LIST_ENTRIES; entry++) {
    PUCHAR name = list + entry * CAM_DEVICE_NAME_BYTES;
    RtlCopyMemory(name, CamDeviceNameTemplate, sizeof(CamDeviceNameTemplate));
    name[CAM_DEVICE_NAME_DIGIT] = (UCHAR)('0' + (UCHAR)instances[entry]);
  }
  RtlCopyMemory(Call->Buffer, list, sizeof(list));
  Call->Irp->IoStatus.Information = sizeof(list);
  return STATUS_SUCCESS;
}
