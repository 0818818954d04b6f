// The device-control dispatch routine.
#include "control.h"

// PASSIVE_LEVEL, in the requesting thread.
NTSTATUS NTAPI CamDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CamCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
