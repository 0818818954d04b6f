// The request gate: counts the requests working on a device, refuses new ones once
// removal has begun, and lets removal wait for the last one to leave.
#include "driver.h"

// Any IRQL up to DISPATCH_LEVEL. The count is raised before the state is read, so a
// request is either refused or counted in what removal waits to see reach 0.
BOOLEAN CamEnterRequest(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  InterlockedIncrement(&extension->IoCount);
  if (CamPnpState(extension) != CamPnpRemoved) return TRUE;
  if (InterlockedDecrement(&extension->IoCount) == 0) {
    KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  return FALSE;
}

// Any IRQL up to DISPATCH_LEVEL, completion routines included.
VOID CamLeaveRequest(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  LONG count = InterlockedDecrement(&extension->IoCount);
  if (count == 2) KeSetEvent(&extension->DrainEvent, IO_NO_INCREMENT, FALSE);
  if (count == 0) KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

// PASSIVE_LEVEL, inside the gate, after a state that refuses newcomers was set.
// Returns TRUE when only the caller and the device's own reference are left, FALSE
// when the time-out (NULL: none) ran out first. A refused newcomer may pass through
// the count meanwhile, so the count is read again after every wake; the event is
// cleared before each read so that no fall to 2 is missed.
BOOLEAN CamWaitForOtherRequests(PDEVICE_OBJECT DeviceObject, PLARGE_INTEGER Timeout) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  for (;;) {
    KeClearEvent(&extension->DrainEvent);
    if (InterlockedCompareExchange(&extension->IoCount, 0, 0) <= 2) return TRUE;
    if (KeWaitForSingleObject(&extension->DrainEvent, Executive, KernelMode, FALSE, Timeout) ==
        STATUS_TIMEOUT) {
      return FALSE;
    }
  }
}
