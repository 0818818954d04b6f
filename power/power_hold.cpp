// The power holds: what may move data to or from the camera counts itself in, and
// a power-down refuses newcomers and waits for the rest, ending what they wait
// for, before the camera leaves D0. A transfer queued at the bus as the device
// powers down would be lost with the camera's state.
#include "power.h"

#define CAM_POWER_DOWN_POLL (-1000000LL)

BOOLEAN CamHoldPower(PCAM_DEVICE_EXTENSION Extension) {
  InterlockedIncrement(&Extension->PowerHolds);
  if (InterlockedCompareExchange(&Extension->PowerDown, 0, 0) == 0) return TRUE;
  CamReleasePower(Extension);
  return FALSE;
}

VOID CamReleasePower(PCAM_DEVICE_EXTENSION Extension) {
  if (InterlockedDecrement(&Extension->PowerHolds) == 0) {
    KeSetEvent(&Extension->PowerHoldsEvent, IO_NO_INCREMENT, FALSE);
  }
}

BOOLEAN CamPowerDownPending(PCAM_DEVICE_EXTENSION Extension) {
  return InterlockedCompareExchange(&Extension->PowerDown, 0, 0) != 0;
}

// The pipes are configured from a start to the stop's unconfigure; the stop and
// removal also wait for this power request's gate reference before they free the
// table.
static BOOLEAN CamPipesUsable(PCAM_DEVICE_EXTENSION Extension) {
  CAM_PNP_STATE state = CamPnpState(Extension);
  return state == CamPnpStarted || state == CamPnpQueryRemoved;
}

// The streams park their transfers; frame reads end at once (their pipe is
// aborted, and a read's chunk that comes back is not sent again); a vendor request
// has one poll to finish before it is cancelled too, for a camera that never
// answers would hold the power-down, and the system's sleep, for ever.
VOID CamQuiesceForPowerDown(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  InterlockedExchange(&extension->PowerDown, 1);
  CamParkDeviceStreams(DeviceObject);
  LARGE_INTEGER poll;
  poll.QuadPart = CAM_POWER_DOWN_POLL;
  for (BOOLEAN cancel = FALSE;; cancel = TRUE) {
    KeClearEvent(&extension->PowerHoldsEvent);
    if (InterlockedCompareExchange(&extension->PowerHolds, 0, 0) == 0) break;
    if (CamPipesUsable(extension)) CamAbortAllPipes(DeviceObject);
    if (cancel) CamCancelSyncRequests(DeviceObject, FALSE);
    KeWaitForSingleObject(&extension->PowerHoldsEvent, Executive, KernelMode, FALSE, &poll);
  }
  CamWaitDeviceStreamsParked(DeviceObject);
}
