// The chunk chains of a single-shot read: claiming the next part of the caller's
// buffer, refilling a chunk's own IRP and URB, the read's one sender that re-issues
// what came back, and the completion routine.
//
// Locking: no spin lock. The counts are interlocked. Claims and sends are made only
// by the thread that holds the read's Sender token, so the pipe gets the chunks in
// the order of the buffer; a completion that finds the token taken leaves its chunk
// marked for the holder, which looks again after letting the token go. Whoever may
// touch the read after its chunk is marked holds a count in PendingChunks, so the
// read cannot end under it.
#include "capture.h"

// Any IRQL up to DISPATCH_LEVEL. Claims the next unclaimed chunk: whole chunks
// over the rounded length first, then the one packet that holds the output's
// last bytes. FALSE when everything is claimed.
BOOLEAN CamClaimChunk(PCAM_READ Read, PUCHAR* Buffer, PULONG Length) {
  volatile LONG* issued = (volatile LONG*)&Read->Extension->BytesIssued;
  for (;;) {
    ULONG offset = (ULONG)InterlockedCompareExchange(issued, 0, 0);
    if (offset >= Read->Length) break;
    ULONG chunk = Read->Length - offset < Read->ChunkBytes ? Read->Length - offset : Read->ChunkBytes;
    if ((ULONG)InterlockedCompareExchange(issued, (LONG)(offset + chunk), (LONG)offset) == offset) {
      *Buffer = Read->Buffer + offset;
      *Length = chunk;
      return TRUE;
    }
  }
  if (Read->TailLength == 0 || InterlockedExchange(&Read->TailClaimed, 1) != 0) return FALSE;
  *Buffer = Read->TailBuffer;
  *Length = Read->TailTransfer;
  return TRUE;
}

// Any IRQL up to DISPATCH_LEVEL; the caller owns the chunk's IRP. Builds the URB
// for one chunk and the IRP's location for the lower driver.
VOID CamFillChunk(PCAM_CHUNK_CONTEXT Chunk, PUCHAR Buffer, ULONG Length) {
  CamBuildBulkTransfer(Chunk->Urb, Chunk->UrbLength, Chunk->PipeHandle, CAM_READ_FLAGS, Buffer, NULL, Length);
  CamSetUrbLocation(Chunk->Irp, Chunk->Urb, CamReadChunkComplete, Chunk);
}

// Any IRQL up to DISPATCH_LEVEL. Drops one count on the read; the last wakes the
// read, which may free everything at once, so the caller touches nothing after.
static VOID CamDropChunkCount(PCAM_DEVICE_EXTENSION Extension, PKEVENT Event) {
  if (InterlockedDecrement(&Extension->PendingChunks) == 0) KeSetEvent(Event, 1, FALSE);
}

// Any IRQL up to DISPATCH_LEVEL. Ends one chain and drops its count.
VOID CamEndChunkChain(PCAM_CHUNK_CONTEXT Chunk) {
  PKEVENT event = Chunk->Event;
  InterlockedExchange(&Chunk->SendState, CAM_CHUNK_ENDED);
  CamDropChunkCount(Chunk->DeviceExtension, event);
}

// Any IRQL up to DISPATCH_LEVEL, holding the Sender token. Hands the chunk's IRP
// to the lower driver; a completion inside the call only marks the chunk.
NTSTATUS CamSendChunk(PCAM_CHUNK_CONTEXT Chunk) {
  InterlockedExchange(&Chunk->SendState, CAM_CHUNK_OUT);
  return IofCallDriver(Chunk->DeviceExtension->LowerDeviceObject, Chunk->Irp);
}

// Holding the Sender token. Re-issues every chunk that came back for the next
// unclaimed chunk, until none is back; chunks with nothing left to claim, or of a
// read tearing down, are collected for the caller to end once it lets go.
static ULONG CamReissueCompleted(PCAM_READ Read, PCAM_CHUNK_CONTEXT* Ended) {
  ULONG ended = 0;
  for (BOOLEAN sent = TRUE; sent;) {
    sent = FALSE;
    for (ULONG i = 0; i < Read->Transfers; ++i) {
      PCAM_CHUNK_CONTEXT chunk = &Read->Chunks[i];
      if (InterlockedCompareExchange(&chunk->SendState, CAM_CHUNK_SERVED, CAM_CHUNK_COMPLETED) !=
          CAM_CHUNK_COMPLETED) {
        continue;
      }
      PUCHAR buffer;
      ULONG length;
      if (InterlockedCompareExchange(&Read->Closing, 0, 0) != 0 || chunk->Irp->Cancel ||
          !CamClaimChunk(Read, &buffer, &length)) {
        Ended[ended++] = chunk;
        continue;
      }
      // The device is going out of D0: what is left of the frame is not asked for.
      if (CamPowerDownPending(Read->Extension)) {
        InterlockedExchange(&Read->PowerEnded, 1);
        Ended[ended++] = chunk;
        continue;
      }
      IoReuseIrp(chunk->Irp, STATUS_SUCCESS);
      CamFillChunk(chunk, buffer, length);
      CamSendChunk(chunk);
      sent = TRUE;
    }
  }
  return ended;
}

static BOOLEAN CamAnyCompleted(PCAM_READ Read) {
  for (ULONG i = 0; i < Read->Transfers; ++i) {
    if (InterlockedCompareExchange(&Read->Chunks[i].SendState, 0, 0) == CAM_CHUNK_COMPLETED) return TRUE;
  }
  return FALSE;
}

// Any IRQL up to DISPATCH_LEVEL. The caller holds one count in PendingChunks,
// which this routine drops last. Takes the Sender token if it is free and serves
// what came back; a chunk marked after the holder's last look is seen because the
// holder looks again once it has let go.
static VOID CamServeChunks(PCAM_READ Read) {
  PCAM_DEVICE_EXTENSION extension = Read->Extension;
  PKEVENT event = &Read->DataEvent;
  PCAM_CHUNK_CONTEXT ended[CAM_READ_TRANSFERS];
  ULONG count = 0;
  while (InterlockedCompareExchange(&Read->Sender, 1, 0) == 0) {
    count += CamReissueCompleted(Read, ended + count);
    InterlockedExchange(&Read->Sender, 0);
    if (!CamAnyCompleted(Read)) break;
  }
  for (ULONG i = 0; i < count; ++i) CamEndChunkChain(ended[i]);
  CamDropChunkCount(extension, event);
}

// PASSIVE_LEVEL, the read thread holding the Sender token and its count since the
// read started. Lets it go, serving first what came back while it was held; the
// count goes last.
VOID CamReleaseSender(PCAM_READ Read) {
  InterlockedExchange(&Read->Sender, 0);
  CamServeChunks(Read);
}

// Up to DISPATCH_LEVEL, for a transfer that succeeded. Counts what it moved; the
// packet past the rounded length is copied into the caller's buffer as far as it
// fits, and no further than the transfer filled the driver's block.
static VOID CamCountMoved(PCAM_READ Read, struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb) {
  ULONG moved = Urb->TransferBufferLength;
  if (Urb->TransferBuffer == Read->TailBuffer && Read->TailBuffer != NULL) {
    if (moved > Read->TailLength) moved = Read->TailLength;
    RtlCopyMemory(Read->Buffer + Read->Length, Read->TailBuffer, moved);
  }
  InterlockedExchangeAdd((volatile LONG*)&Read->Extension->BytesReceived, (LONG)moved);
}

// Up to DISPATCH_LEVEL. Records the chunk's outcome and counts its bytes. Only a
// transfer that succeeded says in its length what it moved: one refused or failed
// by a driver below may still carry the length this driver asked for. FALSE when
// the chain must end.
static BOOLEAN CamCountChunk(PCAM_CHUNK_CONTEXT Chunk, PIRP Irp) {
  PCAM_DEVICE_EXTENSION extension = Chunk->DeviceExtension;
  PCAM_READ read = Chunk->Read;
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &Chunk->Urb->UrbBulkOrInterruptTransfer;
  NTSTATUS status = Irp->IoStatus.Status;
  InterlockedExchange(&extension->ChunkUrbStatus, urb->Hdr.Status);
  InterlockedExchange(&extension->ChunkIoStatus.Status, status);
  if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) {
    // Cancelled by a power-down's abort: the read is cancelled, though the other
    // chain may still bring bytes and complete last with success.
    if (status == STATUS_CANCELLED && CamPowerDownPending(extension))
      InterlockedExchange(&read->PowerEnded, 1);
    return FALSE;
  }
  if (NT_SUCCESS(status) && USBD_SUCCESS(urb->Hdr.Status)) CamCountMoved(read, urb);
  if (CamUsbdHalted(urb->Hdr.Status)) InterlockedExchange(&read->Halted, 1);
  // A cancel asked for this IRP, or a read tearing down, must not be lost to a reuse.
  return !Irp->Cancel && InterlockedCompareExchange(&read->Closing, 0, 0) == 0;
}

// Up to DISPATCH_LEVEL, any thread; the completion routine of both chunk IRPs.
// Ends the chain, or marks the chunk for the sender to re-issue for the next
// chunk and serves it here if no other thread is sending. The IRP stays the read's.
NTSTATUS NTAPI CamReadChunkComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PCAM_CHUNK_CONTEXT chunk = (PCAM_CHUNK_CONTEXT)Context;
  if (!CamCountChunk(chunk, Irp)) {
    CamEndChunkChain(chunk);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  PCAM_READ read = chunk->Read;
  // Once marked, the chunk may be served and ended by another thread at once.
  InterlockedIncrement(&chunk->DeviceExtension->PendingChunks);
  InterlockedExchange(&chunk->SendState, CAM_CHUNK_COMPLETED);
  CamServeChunks(read);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
