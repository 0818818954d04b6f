// The start request: a handle's earlier stream stopped, the new one opened, its
// two transfers sent, and the stream attached to the handle.
#include "../driver/byte_order.h"
#include "../include/quorvex/quorvex.h"
#include "stream.h"

// PASSIVE_LEVEL, with the device held in the request gate for the stream, which
// its last transfer out lets go. Both transfers counted and sent, in order, or
// parked for the resume when the device is going out of D0. On failure every
// transfer has ended (a refused send was completed, and may have been sent
// again, before IofCallDriver returned) or is ending; the caller waits for them.
static NTSTATUS CamSendFirstTransfers(PCAM_STREAM_CONTEXT Stream) {
  Stream->PendingTransfers = CAM_STREAM_TRANSFERS;
  if (CamLinkStream(Stream)) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG t = 0; t < CAM_STREAM_TRANSFERS; ++t) {
    status = CamSendStreamTransfer(Stream->Transfers[t], CamFirstTransferLength(Stream->FrameSize, t));
    if (NT_SUCCESS(status)) continue;
    // The transfers not sent were never out; the ones sent, and the parked ones
    // as they go, end.
    CamEndStreamTransfers(Stream);
    for (ULONG unsent = t + 1; unsent < CAM_STREAM_TRANSFERS; ++unsent) CamStreamTransferEnded(Stream);
    break;
  }
  CamOpenStreamSends(Stream);
  return status;
}

// PASSIVE_LEVEL, in the starting process. Attaches the stream to the handle,
// unless both transfers have already ended (the camera went as they were sent) or
// the handle was closed meanwhile (its cleanup has run, here, and its close may
// come elsewhere). A stream that another start on the same handle attached
// meanwhile is stopped.
static NTSTATUS CamAttachStream(PCAM_FILE_CONTEXT File, PCAM_STREAM_CONTEXT Stream) {
  if (InterlockedCompareExchange(&Stream->PendingTransfers, 0, 0) == 0) return STATUS_UNSUCCESSFUL;
  KIRQL irql;
  KeAcquireSpinLock(&File->StreamLock, &irql);
  BOOLEAN closed = File->CleanedUp;
  PCAM_STREAM_CONTEXT earlier = File->StreamContext;
  if (!closed) File->StreamContext = Stream;
  KeReleaseSpinLock(&File->StreamLock, irql);
  if (closed) return STATUS_FILE_CLOSED;
  CamStopStreaming(earlier);
  return STATUS_SUCCESS;
}

// A start on a handle that streams stops that stream first, as a stop request
// would, so nothing of it keeps running. A start while another handle's stream,
// or a frame read, reads the image pipe is refused: STATUS_DEVICE_BUSY. The frame
// size is the input record's only field read; a start refused leaves the handle
// without a stream.
NTSTATUS CamStartStreaming(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PCAM_FILE_CONTEXT file = fileObject != NULL ? (PCAM_FILE_CONTEXT)fileObject->FsContext : NULL;
  if (file == NULL) return STATUS_UNSUCCESSFUL;
  LONG frameSize = (LONG)CamGetU32((PUCHAR)Irp->AssociatedIrp.SystemBuffer +
                                   FIELD_OFFSET(CAM_STREAM_START_PARAMS, FrameSize));
  CamDetachStream(DeviceObject, fileObject, FALSE);
  // Taken before the pipe is reset under another reader; from the first send on,
  // the stream's last transfer out gives it back.
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (!CamTakeImagePipe(extension)) return STATUS_DEVICE_BUSY;
  PCAM_STREAM_CONTEXT stream;
  NTSTATUS status = CamOpenStream(DeviceObject, frameSize, &stream);
  if (NT_SUCCESS(status) && !CamEnterRequest(DeviceObject)) {
    CamFreeStream(stream);
    status = STATUS_DELETE_PENDING;
  }
  if (!NT_SUCCESS(status)) {
    CamGiveBackImagePipe(extension);
    return status;
  }
  status = CamSendFirstTransfers(stream);
  if (NT_SUCCESS(status)) status = CamAttachStream(file, stream);
  // A stream that never reached its handle: its transfers are waited for before
  // anything they use is freed.
  if (!NT_SUCCESS(status)) CamStopStreaming(stream);
  return status;
}
