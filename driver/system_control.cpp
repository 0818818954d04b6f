// Management instrumentation requests: the driver provides no data of its own, so
// they go to the drivers below, which may.
#include "driver.h"

// PASSIVE_LEVEL. Passed down unchanged; refused only once removal has begun, when
// the stack below may be gone.
NTSTATUS NTAPI CamDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!CamEnterRequest(DeviceObject)) return CamCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  NTSTATUS status = CamPassDown(DeviceObject, Irp);
  CamLeaveRequest(DeviceObject);
  return status;
}
