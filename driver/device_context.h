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
  struct _CAM_SYNC_REQUEST* Next;
  PIRP Irp;
  KEVENT Event;
} CAM_SYNC_REQUEST, *PCAM_SYNC_REQUEST;

typedef struct _CAM_DEVICE_EXTENSION {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  UCHAR Stopped;
  UCHAR Started;
  UCHAR SymbolicLinkInUse;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;
  volatile LONG OpenCount;
  WCHAR SymbolicLinkName[CAM_LINK_NAME_CHARS];
  volatile LONG LastUsbdStatus;
  volatile LONG IoCount;
  KEVENT RemoveEvent;
  UCHAR RemovePending;
  const CAM_PRODUCT* Product;
  ULONG InstanceIndex;
  KEVENT StopEvent;
  UCHAR QueryRemovePending;
  KEVENT PowerUpEvent;
  DEVICE_POWER_STATE CurrentDevicePowerState;
  DEVICE_CAPABILITIES DeviceCapabilities;
  PIRP PendingSystemPowerIrp;
  UCHAR WaitWakeActive;
  UCHAR PowerRequestActive;
  DEVICE_POWER_STATE IdleDevicePowerState;
  volatile LONG PendingChunks;
  ULONG BytesIssued;
  ULONG BytesReceived;
  ULONG BytesRequested;
  PVOID TransferBuffer;
  IO_STATUS_BLOCK ChunkIoStatus;
  LONG ChunkUrbStatus;
  // Signalled while no single-shot read runs: a read waits for it before it resets
  // the read fields above and sets it again when its last transfer is back.
  KEVENT SingleShotLock;
  // Set by a stop before it waits for the requests inside; refuses device control
  // and open until a start succeeds again. Written by Plug and Play, read by all.
  UCHAR StopPending;
  // Set by surprise removal; never cleared. Refuses open and device control.
  UCHAR SurpriseRemoved;
  // Signalled when IoCount falls to 2: a stop, holding one of the two with the
  // device's own, waits on it for the others to leave. Reset only by that stop.
  KEVENT DrainEvent;
  // The driver's own requests that are out and waited for without a time-out
  // (every synchronous URB, the trigger of a frame read): linked in by the sender
  // before it sends, unlinked once the request is back and before its IRP is freed;
  // the drain of a stop, query-remove or removal cancels each one linked. Both
  // under SyncRequestLock, at up to DISPATCH_LEVEL, so no IRP is freed while it is
  // being cancelled.
  KSPIN_LOCK SyncRequestLock;
  struct _CAM_SYNC_REQUEST* SyncRequests;
} CAM_DEVICE_EXTENSION, *PCAM_DEVICE_EXTENSION;

typedef struct _CAM_FILE_CONTEXT {
  ULONG_PTR Reserved;
  struct _CAM_STREAM_CONTEXT* volatile StreamContext;
} CAM_FILE_CONTEXT, *PCAM_FILE_CONTEXT;

// The Plug and Play and power flags are single bytes written by one routine and
// read by others without a lock; these accessors make each access whole. They are
// sequentially consistent: a request raises IoCount and then reads a flag, while
// Plug and Play writes the flag and then reads IoCount, and one of the two must
// see the other.
FORCEINLINE UCHAR CamReadFlag(const UCHAR* Flag) { return __atomic_load_n(Flag, __ATOMIC_SEQ_CST); }
FORCEINLINE VOID CamWriteFlag(UCHAR* Flag, UCHAR Value) { __atomic_store_n(Flag, Value, __ATOMIC_SEQ_CST); }

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

FORCEINLINE PCAM_DEVICE_EXTENSION CamExtension(PDEVICE_OBJECT DeviceObject) {
  return (PCAM_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
}
