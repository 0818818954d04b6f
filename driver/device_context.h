// The per-device context and the per-open record, shared by every part of the
// driver, with the constants they are built on.
#pragma once

#include "../include/quorvex/models.h"
#include "platform.h"

#define CAM_MAX_INSTANCES 8
#define CAM_VENDOR_ID QUORVEX_USB_VENDOR_ID
#define CAM_PIPE_MAX_TRANSFER_SIZE CAM_FRAME_TRANSFER_MAX
#define CAM_LINK_NAME_CHARS 64

// Every allocation is non-executable pool under the driver's tag, "Qvx0" in a pool
// dump.
#define CAM_POOL_TAG ((ULONG)'Q' | ((ULONG)'v' << 8) | ((ULONG)'x' << 16) | ((ULONG)'0' << 24))
#define CamAllocatePool(Bytes) ExAllocatePoolWithTag(NonPagedPoolNx, (Bytes), CAM_POOL_TAG)

struct _CAM_STREAM_CONTEXT;

// One request of the driver's own that a drain must be able to end: the IRP it
// sends and the event its completion sets. Lives with its sender (on a stack that
// stays resident, or in pool) until the request is back and unlinked.
typedef struct _CAM_SYNC_REQUEST {
  struct _CAM_SYNC_REQUEST* Next;  // the device's SyncRequests list, under SyncRequestLock
  PIRP Irp;      // the sender's; a drain cancels it under SyncRequestLock while it is linked
  KEVENT Event;  // set by the completion routine at up to DISPATCH_LEVEL; the sender waits
  // Its URB moves data, so it holds power while it is out (set by the sender
  // before it sends); a wait-wake request, which a power-down leaves armed.
  BOOLEAN MovesData;
  BOOLEAN HoldsPower;
  BOOLEAN WaitWake;
} CAM_SYNC_REQUEST, *PCAM_SYNC_REQUEST;

// The device's Plug and Play state. Changed only on the Plug and Play manager's
// thread, one request at a time, through CamSetPnpState, which holds each change
// to the table in pnp_state.cpp; read at any IRQL by the gate, open and device
// control.
typedef enum _CAM_PNP_STATE {
  CamPnpNotStarted,       // from AddDevice, until a start succeeds
  CamPnpStarted,          // configured and serving opens and device control
  CamPnpQueryRemoved,     // a query-remove was accepted: device control refused, opens still served
  CamPnpStopping,         // a stop ends the requests inside; stays so if the unconfigure had no memory
  CamPnpStopped,          // the camera is unconfigured; a start configures it again
  CamPnpSurpriseRemoved,  // the camera is gone; removal follows the last close
  CamPnpRemoved,          // removal has begun: the gate refuses every request
  CamPnpStateCount
} CAM_PNP_STATE;

// Each field says who writes it, who reads it, and what makes that safe. "PnP"
// is the Plug and Play manager's thread (PASSIVE_LEVEL, one request at a time);
// "inside the gate" is a request counted in IoCount, which removal waits out
// before it frees anything.
typedef struct _CAM_DEVICE_EXTENSION {
  // AddDevice writes both before the device can be reached; read by all, never changed.
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  // PnP writes (CamSetPnpState, sequentially consistent); the gate, open and device
  // control read it at up to DISPATCH_LEVEL (CamPnpState). See CAM_PNP_STATE.
  CAM_PNP_STATE PnpState;
  // Start writes it at PASSIVE_LEVEL; nothing reads it yet. Streaming's: an
  // alternate setting of the interface is selected with it.
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  // Start writes it (replacing an earlier start's), removal frees it, both PnP.
  // Open reads it inside the gate, only while the state lets opens in (Started,
  // QueryRemoved), when no start or removal can run.
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  // The pipe table. Start writes it and removal frees it, PnP. Device control and
  // frame reads read it inside the gate in the Started state; stop, surprise
  // removal and removal read it on PnP to abort the pipes. Never changed while a
  // request that may use it is inside: a stop drains them first.
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;
  // Interlocked: open raises it, a failed open and close lower it, at PASSIVE_LEVEL.
  volatile LONG OpenCount;
  // AddDevice writes it; removal reads it, PnP.
  WCHAR SymbolicLinkName[CAM_LINK_NAME_CHARS];
  // Interlocked (CamRecordUsbdStatus / CamReadUsbdStatus): any request writes the
  // last USB failure at up to DISPATCH_LEVEL; device control reads it.
  volatile LONG LastUsbdStatus;
  // The request gate's count: 1 for the device itself plus one per request inside.
  // Interlocked, at up to DISPATCH_LEVEL (CamEnterRequest / CamLeaveRequest).
  volatile LONG IoCount;
  // Set by the gate when IoCount reaches 0, at up to DISPATCH_LEVEL; removal waits on it.
  KEVENT RemoveEvent;
  // Written by every open, possibly by several at once (all write the same); read
  // by device control inside the gate. Relaxed atomics (CamProduct).
  const CAM_PRODUCT* Product;
  // AddDevice writes it; removal reads it to give the number back, PnP.
  ULONG InstanceIndex;
  // Set by the completion of a power-up this driver asked for (at up to
  // DISPATCH_LEVEL); CamRequestDevicePower resets it before each request and waits
  // on it at PASSIVE_LEVEL, then reads PowerUpStatus, which the completion wrote
  // before setting it.
  KEVENT PowerUpEvent;
  NTSTATUS PowerUpStatus;
  // The state the last device set-power left: written on the power path (PASSIVE,
  // one device set-power at a time), D1 to D3 before the request goes down, D0 once
  // the lower drivers have completed one successfully; read by power and open.
  // Through CamLoad / CamStore.
  DEVICE_POWER_STATE CurrentDevicePowerState;
  // AddDevice writes it from the bus driver's answer, PASSIVE_LEVEL; read-only after.
  DEVICE_CAPABILITIES DeviceCapabilities;
  // The system set-power request being served, from its arrival until it has been
  // passed on (by the callback of the device request made for it); and a power-up
  // of the driver's own, from its request to the end of its wait. Each is set
  // under PowerLock after seeing the other clear, so an opener's power-up and a
  // system transition never overlap: the system path waits for a power-up already
  // out. Cleared through CamStore; read through CamLoad.
  KSPIN_LOCK PowerLock;
  PIRP PendingSystemPowerIrp;
  UCHAR PowerRequestActive;
  // The last system set-power asked for a sleeping state: no opener powers the
  // device up until the system works again. Under PowerLock.
  UCHAR SystemSleeping;
  // A wait-wake request is below the driver: written by the wait-wake path, read
  // by the system path. Through CamLoad / CamStore.
  UCHAR WaitWakeActive;
  // AddDevice writes it; the wait-wake path replaces it with DeviceWake. Through
  // CamLoad / CamStore.
  DEVICE_POWER_STATE IdleDevicePowerState;
  // 1 from the start of a power-down to D1, D2 or D3 until a D0 completes
  // successfully: no new transfer may go to the camera (PowerHolds). Written on the
  // power path, read at up to DISPATCH_LEVEL; sequentially consistent, as the gate.
  volatile LONG PowerDown;
  // Requests and transfers that may move data to or from the camera and are out:
  // CamHoldPower raises it before reading PowerDown, CamReleasePower lowers it and
  // sets PowerHoldsEvent when it reaches 0; a power-down waits for that before it
  // lets the device request go down. Interlocked, at up to DISPATCH_LEVEL.
  volatile LONG PowerHolds;
  KEVENT PowerHoldsEvent;
  // The single-shot frame read's fields, owned by the read that holds
  // SingleShotLock: it resets them before its first chunk goes out; chunk
  // completions update them at DISPATCH_LEVEL by interlocked operations; the read
  // reads them once its chains have ended.
  // A count of the chains and the sender that may still touch the read; the
  // completion that takes it to 0 is the last.
  volatile LONG PendingChunks;
  // Bytes of the read's buffer claimed by chunks so far (CamClaimChunk).
  ULONG BytesIssued;
  // Bytes the chunks brought into the read's buffer.
  ULONG BytesReceived;
  // The last chunk's IRP status (its Information is not kept: the read counts
  // bytes in BytesReceived) and its URB status; STATUS_TIMEOUT written by the
  // read itself when the camera fell silent.
  IO_STATUS_BLOCK ChunkIoStatus;
  LONG ChunkUrbStatus;
  // Signalled while no single-shot read runs: a read waits for it at PASSIVE_LEVEL
  // before it resets the read fields above and sets it again when its last
  // transfer is back.
  KEVENT SingleShotLock;
  // Set by the gate when IoCount falls to 2, at up to DISPATCH_LEVEL: the drain of
  // a stop or query-remove, holding one of the two with the device's own, waits on
  // it at PASSIVE_LEVEL for the others to leave. Cleared only by that drain.
  KEVENT DrainEvent;
  // The driver's own requests that are out and waited for without a time-out
  // (every synchronous URB, the trigger of a frame read): linked in by the sender
  // before it sends, unlinked once the request is back and before its IRP is freed;
  // the drain of a stop, query-remove or removal cancels each one linked. Both
  // under SyncRequestLock, at up to DISPATCH_LEVEL, so no IRP is freed while it is
  // being cancelled. The lock is taken with no other of the driver's held.
  KSPIN_LOCK SyncRequestLock;
  struct _CAM_SYNC_REQUEST* SyncRequests;
  // The streams started on the device and not yet stopped: a stream is linked by
  // its start before its first transfer goes out and unlinked by its stop once
  // both have ended, before it is freed; a drain and the stop request end the
  // transfers of each one linked. Under StreamListLock, at up to DISPATCH_LEVEL,
  // taken with no other of the driver's locks held.
  KSPIN_LOCK StreamListLock;
  struct _CAM_STREAM_CONTEXT* Streams;
  // Who reads the image pipe: the number of single-shot reads in progress, or -1
  // while a stream's transfers run. The camera sends one byte stream, cut into
  // frames by counting alone, so a second reader would tear every frame of both.
  // Interlocked (CamShareImagePipe, CamTakeImagePipe and their releases), at up to
  // DISPATCH_LEVEL.
  volatile LONG ImagePipeUse;
} CAM_DEVICE_EXTENSION, *PCAM_DEVICE_EXTENSION;

// One open handle's record, the file object's FsContext: open allocates it and
// close frees it, at PASSIVE_LEVEL.
typedef struct _CAM_FILE_CONTEXT {
  // The handle's stream: set by a start, taken away (set NULL) by a stop, a start
  // that replaces it, cleanup or close. Read and written under StreamLock, at up
  // to DISPATCH_LEVEL; a request that uses the stream counts itself in under the
  // same lock, so whoever takes the stream away waits for it.
  struct _CAM_STREAM_CONTEXT* StreamContext;
  KSPIN_LOCK StreamLock;
  // Set by cleanup under StreamLock: no stream is attached after it, since close
  // may come in another process, where the stream's views cannot be removed.
  BOOLEAN CleanedUp;
} CAM_FILE_CONTEXT, *PCAM_FILE_CONTEXT;

// The Plug and Play state is written by one thread and read by others without a
// lock; these accessors make each access whole. They are sequentially consistent:
// a request raises IoCount and then reads the state, while Plug and Play writes the
// state and then reads IoCount, and one of the two must see the other.
FORCEINLINE CAM_PNP_STATE CamPnpState(const CAM_DEVICE_EXTENSION* Extension) {
  return __atomic_load_n(&Extension->PnpState, __ATOMIC_SEQ_CST);
}
VOID CamSetPnpState(PCAM_DEVICE_EXTENSION Extension, CAM_PNP_STATE State);

// The camera's record, chosen by the last open: written by every open of the
// device, possibly at once on several threads (all write the same), read by
// device control. NULL until an open recognised the camera, or after one that did
// not.
FORCEINLINE const CAM_PRODUCT* CamProduct(const CAM_DEVICE_EXTENSION* Extension) {
  return __atomic_load_n(&Extension->Product, __ATOMIC_RELAXED);
}
FORCEINLINE VOID CamSetProduct(PCAM_DEVICE_EXTENSION Extension, const CAM_PRODUCT* Product) {
  __atomic_store_n(&Extension->Product, Product, __ATOMIC_RELAXED);
}

// Whole, ordered reads and writes of a field that threads share without a lock.
#define CamLoad(Field) __atomic_load_n(&(Field), __ATOMIC_SEQ_CST)
#define CamStore(Field, Value) __atomic_store_n(&(Field), (Value), __ATOMIC_SEQ_CST)

FORCEINLINE PCAM_DEVICE_EXTENSION CamExtension(PDEVICE_OBJECT DeviceObject) {
  return (PCAM_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
}
