// Routines of the driver core: entry and device creation, the request gate, the
// synchronous USB requests, open and close.
#pragma once

#include "device_context.h"
#include "usb_layout.h"

extern "C" DRIVER_INITIALIZE CamDriverEntry;
DRIVER_UNLOAD CamUnload;
DRIVER_ADD_DEVICE CamAddDevice;
DRIVER_DISPATCH CamDispatchCreate;
DRIVER_DISPATCH CamDispatchCleanup;
DRIVER_DISPATCH CamDispatchClose;
DRIVER_DISPATCH CamDispatchSystemControl;

// The instance numbers the driver's device objects hold (instances.cpp).
VOID CamInitializeInstances(VOID);
ULONG CamClaimInstance(ULONG Skip);
VOID CamPublishInstance(ULONG Instance);
VOID CamReleaseInstance(ULONG Instance);
ULONG CamListInstances(ULONG Instances[CAM_MAX_INSTANCES]);

// Request gate. Any IRQL up to DISPATCH_LEVEL; no lock.
BOOLEAN CamEnterRequest(PDEVICE_OBJECT DeviceObject);
VOID CamLeaveRequest(PDEVICE_OBJECT DeviceObject);
BOOLEAN CamWaitForOtherRequests(PDEVICE_OBJECT DeviceObject, PLARGE_INTEGER Timeout);

// Synchronous USB requests. PASSIVE_LEVEL only: they wait.
NTSTATUS CamSubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS CamSubmitUrbInterruptible(PDEVICE_OBJECT DeviceObject, PURB Urb);
BOOLEAN CamPrepareSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request, PURB Urb);
NTSTATUS CamSendSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request);
VOID CamWaitSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request);
VOID CamCancelSyncRequests(PDEVICE_OBJECT DeviceObject, BOOLEAN WaitWakeToo);
// Up to DISPATCH_LEVEL; take SyncRequestLock. From the link until the unlink, a
// drain cancels the request; once unlinked, nothing touches its IRP again and its
// power hold, if any, is let go.
VOID CamLinkSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request);
VOID CamUnlinkSyncRequest(PCAM_DEVICE_EXTENSION Extension, PCAM_SYNC_REQUEST Request);
NTSTATUS CamForwardIrpSync(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CamAbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS CamResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
IO_COMPLETION_ROUTINE CamSyncCompletion;
// URBs in the driver's own IRPs (urb_request.cpp). Any IRQL up to DISPATCH_LEVEL;
// they fill, they do not send. The bulk transfer URB of UrbLength bytes (the rest
// zeroed), and the IRP's next location carrying a URB to the USB stack, with a
// completion routine run on success, error and cancel.
VOID CamBuildBulkTransfer(PURB Urb, USHORT UrbLength, USBD_PIPE_HANDLE Pipe, ULONG Flags, PVOID Buffer,
                          PMDL Mdl, ULONG Length);
VOID CamSetUrbLocation(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context);
// Every pipe of the pipe table, in table order (pnp/remove.cpp). PASSIVE_LEVEL.
VOID CamAbortAllPipes(PDEVICE_OBJECT DeviceObject);

// Streams as the rest of the driver sees them (stream/stream_stop.cpp). The end
// of the device's streams' transfers, for a drain: up to DISPATCH_LEVEL. The
// detach of a handle's stream, for cleanup (which also bars the handle from
// streaming again) and close: PASSIVE_LEVEL, TRUE when a stream of this device
// was stopped.
VOID CamEndDeviceStreams(PDEVICE_OBJECT DeviceObject);
BOOLEAN CamDetachStream(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, BOOLEAN Cleanup);

// Streams across a power-down (stream/stream_power.cpp). PASSIVE_LEVEL: the park
// of every stream of the device and the wait for their transfers; the resume at D0.
VOID CamParkDeviceStreams(PDEVICE_OBJECT DeviceObject);
VOID CamWaitDeviceStreamsParked(PDEVICE_OBJECT DeviceObject);
VOID CamResumeDeviceStreams(PDEVICE_OBJECT DeviceObject);

// Power (power/). A request or transfer that may move data to or from the camera
// holds power while it is out: FALSE (nothing held) while the device is going out
// of D0 or is out of it. Up to DISPATCH_LEVEL. CamRequestDevicePower brings an
// idling device back to D0 for an opener: PASSIVE_LEVEL; returns the power-up's
// status, or STATUS_DELETE_PENDING when the device is not started.
BOOLEAN CamHoldPower(PCAM_DEVICE_EXTENSION Extension);
VOID CamReleasePower(PCAM_DEVICE_EXTENSION Extension);
BOOLEAN CamPowerDownPending(PCAM_DEVICE_EXTENSION Extension);
NTSTATUS CamRequestDevicePower(PDEVICE_OBJECT DeviceObject);

VOID CamHexDump(const VOID* Buffer, ULONG Length);

// Vendor requests the camera answers; 0xB7 reaches its registers.
#define CAM_REQUEST_TRIGGER 0xB3
#define CAM_REQUEST_REGISTER 0xB7
#define CAM_REQUEST_B9 0xB9
#define CAM_REQUEST_BLOCK 0xBA
#define CAM_REQUEST_BB 0xBB
#define CAM_REQUEST_BC 0xBC
#define CAM_REQUEST_BD 0xBD
#define CAM_REQUEST_C0 0xC0

// The vendor request URB and its builders (vendor_request.cpp). Any IRQL; they
// fill, they do not send.
PURB CamAllocateVendorUrb(VOID);
VOID CamBuildVendorRequest(PURB Urb, UCHAR Request, BOOLEAN In, USHORT Value, PVOID Buffer, ULONG Length);
VOID CamBuildRegisterWrite(PURB Urb, UCHAR Register, PVOID Data);
VOID CamBuildRegisterRead(PURB Urb, UCHAR Register, PVOID Data);
VOID CamBuildB9Write(PURB Urb, UCHAR Value, PVOID Data);
VOID CamBuildBCWrite(PURB Urb, UCHAR Value, PVOID Data);

// The last USB failure status: written by any request, read by device control.
FORCEINLINE VOID CamRecordUsbdStatus(PCAM_DEVICE_EXTENSION Extension, LONG Status) {
  InterlockedExchange(&Extension->LastUsbdStatus, Status);
}
FORCEINLINE LONG CamReadUsbdStatus(PCAM_DEVICE_EXTENSION Extension) {
  return InterlockedCompareExchange(&Extension->LastUsbdStatus, 0, 0);
}

// A transfer that ended with this USBD status left its endpoint halted (the status's
// two top bits set): the pipe fails every transfer until it is reset. A cancelled
// transfer leaves none, and a camera that has gone can take no reset.
FORCEINLINE BOOLEAN CamUsbdHalted(LONG Status) {
  return ((ULONG)Status >> 30) == 3 && Status != USBD_STATUS_CANCELED && Status != USBD_STATUS_DEVICE_GONE;
}

// The image pipe's readers (ImagePipeUse): single-shot reads share it, a stream
// takes it whole. FALSE when the other kind has it. Up to DISPATCH_LEVEL.
FORCEINLINE BOOLEAN CamShareImagePipe(PCAM_DEVICE_EXTENSION Extension) {
  for (;;) {
    LONG use = InterlockedCompareExchange(&Extension->ImagePipeUse, 0, 0);
    if (use < 0) return FALSE;
    if (InterlockedCompareExchange(&Extension->ImagePipeUse, use + 1, use) == use) return TRUE;
  }
}
FORCEINLINE VOID CamUnshareImagePipe(PCAM_DEVICE_EXTENSION Extension) {
  InterlockedDecrement(&Extension->ImagePipeUse);
}
FORCEINLINE BOOLEAN CamTakeImagePipe(PCAM_DEVICE_EXTENSION Extension) {
  return InterlockedCompareExchange(&Extension->ImagePipeUse, -1, 0) == 0;
}
FORCEINLINE VOID CamGiveBackImagePipe(PCAM_DEVICE_EXTENSION Extension) {
  InterlockedExchange(&Extension->ImagePipeUse, 0);
}

// Completes a request this driver does not pass down. Returns the status.
FORCEINLINE NTSTATUS CamCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Hands the current request to the next driver unchanged and returns its status.
FORCEINLINE NTSTATUS CamPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(CamExtension(DeviceObject)->LowerDeviceObject, Irp);
}
