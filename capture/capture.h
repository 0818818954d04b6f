// Single-shot frame reads: the read after a trigger, the read without one, and the
// plain bulk transfer, with the chained chunk transfers the two reads share.
#pragma once

#include "../driver/driver.h"

// The longest chunk one transfer carries; a chunk is whole packets of the image
// endpoint, so it is this rounded down to them.
#define CAM_CHUNK_BYTES CAM_FRAME_TRANSFER_MAX
// Every read takes data in and lets the camera end a transfer with a short packet.
#define CAM_READ_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
#define CAM_TRIGGER_BYTES 16
#define CAM_READ_TRANSFERS 2

// Where a chunk's IRP is. Only the read's one sender claims and sends chunks, so
// that the pipe gets them in the order of the buffer, and a completion inside
// IofCallDriver never sends from within that call (see CamServeChunks).
#define CAM_CHUNK_OUT 0        // sent, or not yet sent; the lower driver may hold it
#define CAM_CHUNK_COMPLETED 1  // back, waiting for the sender to re-issue or end it
#define CAM_CHUNK_SERVED 2     // the sender is re-issuing it
#define CAM_CHUNK_ENDED 3      // its chain has ended

// What a transfer reports to the driver's time-out paths in LastUsbdStatus.
#define CAM_TRANSFER_TIMEOUT_STATUS ((LONG)0xC0000102L)

struct _CAM_READ;

// One chunk transfer of a read, the context of its completion routine. Lives in
// the read's non-paged block of CAM_READ_TRANSFERS records until the read ends.
// CamStartRead fills every field but SendState on the reading thread before the
// chunk is first sent; after that only the chunk's sender writes the URB (refill)
// and everyone else only reads.
typedef struct _CAM_CHUNK_CONTEXT {
  PURB Urb;                               // the chunk's own URB, refilled for each send by its sender
  USHORT UrbLength;                       // its length, for the refill
  USBD_PIPE_HANDLE PipeHandle;            // the image pipe
  PIRP Irp;                               // the chunk's own IRP, reused for each send
  PKEVENT Event;                          // the read's DataEvent, set when the chain ends
  PCAM_DEVICE_EXTENSION DeviceExtension;  // for the lower device and the read fields
  struct _CAM_READ* Read;
  volatile LONG SendState;  // CAM_CHUNK_*: interlocked, the sender and the completion
} CAM_CHUNK_CONTEXT, *PCAM_CHUNK_CONTEXT;

// One read in progress, in the reading thread's storage (resident: the thread
// waits in kernel mode). The reading thread writes the plain fields before its
// first chunk goes out (CamOpenRead, CamStartRead) and the completions only read
// them, at DISPATCH_LEVEL, while any chain is live; the volatile ones are
// interlocked.
typedef struct _CAM_READ {
  PDEVICE_OBJECT DeviceObject;
  PCAM_DEVICE_EXTENSION Extension;
  USBD_PIPE_HANDLE PipeHandle;  // the image pipe
  ULONG ChunkBytes;             // the longest chunk: whole packets of the image endpoint
  PUCHAR Buffer;                // the caller's buffer in system space
  ULONG Length;                 // the output length rounded down to whole packets
  ULONG TailLength;             // the output bytes past Length, taken from one more packet
  ULONG TailTransfer;           // one packet of the endpoint, when TailLength is not 0
  PUCHAR TailBuffer;            // TailTransfer bytes of the driver's, zeroed
  volatile LONG TailClaimed;    // the tail packet was claimed by a chunk (CamClaimChunk)
  volatile LONG Closing;        // set before the read tears down: chains end, not re-issue
  volatile LONG Halted;         // a chunk ended with the pipe halted: reset before the next read
  volatile LONG PowerEnded;     // a chain ended for a power-down: the read is cancelled
  volatile LONG Sender;         // 1 while a thread claims and sends chunks for the read
  ULONG Transfers;              // 1 or 2 chunk transfers
  PCAM_CHUNK_CONTEXT Chunks;    // CAM_READ_TRANSFERS records in one non-paged block
  PURB Urbs[CAM_READ_TRANSFERS];
  PIRP Irps[CAM_READ_TRANSFERS];
  // The read waited for the device's SingleShotLock and owns its read fields;
  // CamCloseRead sets the lock again. Only the reading thread touches these two.
  BOOLEAN HoldsSingleShotLock;
  // The read holds power from its start to its close, its trigger included: a
  // power-down ends it (STATUS_CANCELLED) and waits for it.
  BOOLEAN HoldsPower;
  BOOLEAN AllEnded;  // a wait saw the last chain end
  KEVENT DataEvent;  // set by a completion when a chain ends; waited on by the reading thread
} CAM_READ, *PCAM_READ;

// The chunk machinery: opening, starting, waiting for and closing a read
// (read.cpp); sending, re-issuing and completing its chunks (chunk_complete.cpp).
NTSTATUS CamFindImagePipe(PCAM_DEVICE_EXTENSION Extension, PUSBD_PIPE_INFORMATION* Pipe);
NTSTATUS CamOpenRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCAM_READ Read);
NTSTATUS CamStartRead(PCAM_READ Read);
VOID CamStopSending(PCAM_READ Read, PCAM_CHUNK_CONTEXT Unsent);
NTSTATUS CamSendChunk(PCAM_CHUNK_CONTEXT Chunk);
VOID CamEndChunkChain(PCAM_CHUNK_CONTEXT Chunk);
VOID CamReleaseSender(PCAM_READ Read);
NTSTATUS CamWaitForChunks(PCAM_READ Read);
VOID CamAbortAndWait(PCAM_READ Read);
VOID CamDrainChunks(PCAM_READ Read);
NTSTATUS CamReadResult(PCAM_READ Read, NTSTATUS Status, PIRP Irp);
VOID CamCloseRead(PCAM_READ Read);
IO_COMPLETION_ROUTINE CamReadChunkComplete;

// Chunk completion helpers (chunk_complete.cpp).
BOOLEAN CamClaimChunk(PCAM_READ Read, PUCHAR* Buffer, PULONG Length);
VOID CamFillChunk(PCAM_CHUNK_CONTEXT Chunk, PUCHAR Buffer, ULONG Length);

// The three reads.
NTSTATUS CamReadFrameTriggered(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CamReadFrameUntriggered(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CamBulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);
