// A stream's owners and users, and its end: the handle that owns it, the requests
// that use it, the device's list that lets a drain end its transfers, and the
// stop that frees it.
//
// Locking: a handle's StreamLock guards its StreamContext, so that a request
// counts itself in only while the stream is attached; the device's
// StreamListLock guards its list of streams and is held while their transfers
// are cancelled. Neither is held with the other or with a stream's queue locks.
#include "stream.h"

// Up to DISPATCH_LEVEL. The handle's record, or NULL.
static PCAM_FILE_CONTEXT CamFileContext(PFILE_OBJECT FileObject) {
  return FileObject != NULL ? (PCAM_FILE_CONTEXT)FileObject->FsContext : NULL;
}

PCAM_STREAM_CONTEXT CamUseStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_FILE_CONTEXT file = CamFileContext(IoGetCurrentIrpStackLocation(Irp)->FileObject);
  if (file == NULL) return NULL;
  KIRQL irql;
  KeAcquireSpinLock(&file->StreamLock, &irql);
  PCAM_STREAM_CONTEXT stream = file->StreamContext;
  if (stream != NULL && stream->DeviceObject == DeviceObject) {
    InterlockedIncrement(&stream->Users);
  } else {
    stream = NULL;
  }
  KeReleaseSpinLock(&file->StreamLock, irql);
  return stream;
}

VOID CamDoneWithStream(PCAM_STREAM_CONTEXT Stream) {
  if (InterlockedDecrement(&Stream->Users) == 0) KeSetEvent(&Stream->IdleEvent, IO_NO_INCREMENT, FALSE);
}

// Up to DISPATCH_LEVEL. From here until the stop unlinks it, a drain of the device
// ends the stream's transfers, and a power-down parks them. A device on its way
// out of D0 parks them at once, for the resume at D0 to send: TRUE then. Read
// under the lock that the resume scans the list with, after it let power in.
BOOLEAN CamLinkStream(PCAM_STREAM_CONTEXT Stream) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(Stream->DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->StreamListLock, &irql);
  Stream->NextOnDevice = extension->Streams;
  extension->Streams = Stream;
  BOOLEAN parked = CamPowerDownPending(extension);
  if (parked) CamParkNewStreamLocked(Stream);
  KeReleaseSpinLock(&extension->StreamListLock, irql);
  return parked;
}

// Up to DISPATCH_LEVEL. Once it returns, no drain touches the stream again.
static VOID CamUnlinkStream(PCAM_STREAM_CONTEXT Stream) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(Stream->DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->StreamListLock, &irql);
  PCAM_STREAM_CONTEXT* link = &extension->Streams;
  while (*link != NULL && *link != Stream) link = &(*link)->NextOnDevice;
  if (*link != NULL) *link = Stream->NextOnDevice;
  KeReleaseSpinLock(&extension->StreamListLock, irql);
}

// Up to DISPATCH_LEVEL. Every stream of the device stops sending and its transfers
// out are cancelled; the streams keep their memory for their handles. The USB
// stack's cancel routine may complete an IRP under the lock; the completion takes
// only the stream's own locks.
VOID CamEndDeviceStreams(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->StreamListLock, &irql);
  for (PCAM_STREAM_CONTEXT stream = extension->Streams; stream != NULL; stream = stream->NextOnDevice) {
    CamEndStreamTransfers(stream);
  }
  KeReleaseSpinLock(&extension->StreamListLock, irql);
}

// PASSIVE_LEVEL. The handle's owning use is dropped last: the requests inside,
// woken by the end of the transfers, are waited for.
NTSTATUS CamStopStreaming(PCAM_STREAM_CONTEXT Stream) {
  if (Stream == NULL) return STATUS_SUCCESS;
  CamEndStreamTransfers(Stream);
  KeWaitForSingleObject(&Stream->TransfersDoneEvent, Executive, KernelMode, FALSE, NULL);
  CamUnlinkStream(Stream);
  if (InterlockedDecrement(&Stream->Users) != 0) {
    KeWaitForSingleObject(&Stream->IdleEvent, Executive, KernelMode, FALSE, NULL);
  }
  CamFreeStream(Stream);
  return STATUS_SUCCESS;
}

BOOLEAN CamDetachStream(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, BOOLEAN Cleanup) {
  PCAM_FILE_CONTEXT file = CamFileContext(FileObject);
  if (file == NULL) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&file->StreamLock, &irql);
  PCAM_STREAM_CONTEXT stream = file->StreamContext;
  file->StreamContext = NULL;
  if (Cleanup) file->CleanedUp = TRUE;
  KeReleaseSpinLock(&file->StreamLock, irql);
  if (stream == NULL) return FALSE;
  // A handle's streams are all of its own device; one of another would still be
  // this handle's to free.
  BOOLEAN ours = stream->DeviceObject == DeviceObject;
  CamStopStreaming(stream);
  return ours;
}

// Every pipe is aborted, whether or not the handle streams, and every stream of
// the device stops sending: the other handles' streams deliver no more frames but
// keep their memory until their own handles stop them.
NTSTATUS CamStopStreamRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CamEndDeviceStreams(DeviceObject);
  CamAbortAllPipes(DeviceObject);
  BOOLEAN stopped = CamDetachStream(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject, FALSE);
  return stopped ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
