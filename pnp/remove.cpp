// Removal of the device: refuse new requests, end transfers, wait for the requests
// inside, release what start allocated, and take the device object down.
#include "pnp.h"

// Every pipe of the pipe table, in table order; the results do not matter here.
VOID CamAbortAllPipes(PDEVICE_OBJECT DeviceObject) {
  PUSBD_INTERFACE_INFORMATION pipes = CamExtension(DeviceObject)->InterfaceInfo;
  if (pipes == NULL) return;
  for (ULONG i = 0; i < pipes->NumberOfPipes; i++) CamAbortPipe(DeviceObject, pipes->Pipes[i].PipeHandle);
}

// PASSIVE_LEVEL. Ends what a request inside may wait for without end: the frame
// reads wait on the image pipe, and every vendor request (a register access, a
// raw command, a read's trigger) waits on the default pipe without a time-out, so
// a silent camera would hold a stop or a removal for ever; a stream's transfers
// hold the device in the gate while they run. The streams stop sending, the
// pipes' transfers are aborted and the driver's own requests cancelled.
static VOID CamEndWaitsInside(PDEVICE_OBJECT DeviceObject) {
  CamEndDeviceStreams(DeviceObject);
  CamAbortAllPipes(DeviceObject);
  CamCancelSyncRequests(DeviceObject, TRUE);
}

// PASSIVE_LEVEL, inside the gate, after a state that refuses newcomers was set.
// Waits for the requests inside to leave, ending what they wait for at every poll
// while they stay (a request may send just after).
#define CAM_LEAVE_POLL (-1000000LL)
VOID CamEndRequestsInside(PDEVICE_OBJECT DeviceObject) {
  LARGE_INTEGER poll;
  poll.QuadPart = CAM_LEAVE_POLL;
  // Streams never leave on their own.
  CamEndDeviceStreams(DeviceObject);
  while (!CamWaitForOtherRequests(DeviceObject, &poll)) CamEndWaitsInside(DeviceObject);
}

static VOID CamReleaseConfiguration(PCAM_DEVICE_EXTENSION Extension) {
  if (Extension->DeviceDescriptor != NULL) {
    ExFreePool(Extension->DeviceDescriptor);
    Extension->DeviceDescriptor = NULL;
  }
  if (Extension->InterfaceInfo != NULL) {
    ExFreePool(Extension->InterfaceInfo);
    Extension->InterfaceInfo = NULL;
  }
}

// PASSIVE_LEVEL, from CamDispatchPnp, which has admitted the request. The order
// matters: the state first so the gate refuses newcomers, then the aborts so that
// transfers in flight end, and only then the wait for the count to reach 0, which
// ends again what the requests inside wait for while they stay.
// The link is deleted whether or not the device was ever started: it exists from
// AddDevice, and a name left behind would point at a deleted device.
NTSTATUS CamRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  CamSetPnpState(extension, CamPnpRemoved);
  CamEndDeviceStreams(DeviceObject);
  CamAbortAllPipes(DeviceObject);
  CamLeaveRequest(DeviceObject);
  CamLeaveRequest(DeviceObject);
  LARGE_INTEGER poll;
  poll.QuadPart = CAM_LEAVE_POLL;
  while (KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, &poll) ==
         STATUS_TIMEOUT) {
    CamEndWaitsInside(DeviceObject);
  }
  // The number is free for the next camera; should this device object keep its
  // name a while for a handle still open, the next camera skips the number.
  CamReleaseInstance(extension->InstanceIndex);
  CamReleaseConfiguration(extension);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, extension->SymbolicLinkName);
  IoDeleteSymbolicLink(&link);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(lower, Irp);
}
