// The bus's control device: a test program plugs and unplugs cameras, waits for
// Plug and Play to settle, injects stalls, queues frames and reads the trace.
#include "bus.h"

// Called with the cancel spin lock held.
static VOID NTAPI qvx_cancel_settle(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  qvx_bus* bus = qvx_the_bus;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  if (bus->settle == irp) bus->settle = NULL;
  KeReleaseSpinLock(&bus->lock, irql);
  qvx_complete(irp, STATUS_CANCELLED, 0);
}

// Each request to enumerate brings one query of the bus's children, one after
// the other, each done before the next begins. So the first query after a settle
// request that finds nothing changed comes after everything the changes before
// it set off: the request completes there.
static NTSTATUS qvx_settle(qvx_bus* bus, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  if (bus->settle != NULL) {
    KeReleaseSpinLock(&bus->lock, irql);
    return qvx_complete(irp, STATUS_DEVICE_BUSY, 0);
  }
  IoMarkIrpPending(irp);
  bus->settle = irp;
  IoSetCancelRoutine(irp, qvx_cancel_settle);
  BOOLEAN cancelled = irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL;
  if (cancelled) bus->settle = NULL;
  KeReleaseSpinLock(&bus->lock, irql);
  if (cancelled) {
    qvx_complete(irp, STATUS_CANCELLED, 0);
  } else {
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  }
  return STATUS_PENDING;
}

void qvx_settle_answered(qvx_bus* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  PIRP irp = bus->quiet ? bus->settle : NULL;
  if (irp != NULL && IoSetCancelRoutine(irp, NULL) == NULL) irp = NULL;
  if (irp != NULL) bus->settle = NULL;
  KeReleaseSpinLock(&bus->lock, irql);
  if (irp != NULL) qvx_complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS qvx_read_trace(qvx_camera* camera, const QVXBUS_TRACE_QUERY* query, PVOID out,
                               ULONG out_length, ULONG* written) {
  ULONG room = out_length / sizeof(QVXBUS_TRACE_ENTRY);
  QVXBUS_TRACE_ENTRY* entries = (QVXBUS_TRACE_ENTRY*)out;
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  ULONG stored = camera->trace_count < QVXBUS_TRACE_ENTRIES ? camera->trace_count : QVXBUS_TRACE_ENTRIES;
  ULONG n = 0;
  for (ULONG i = query->First; i < stored && n < room; i++) entries[n++] = camera->trace[i];
  KeReleaseSpinLock(&camera->lock, irql);
  *written = n * sizeof(QVXBUS_TRACE_ENTRY);
  return STATUS_SUCCESS;
}

static void qvx_read_state(qvx_camera* camera, QVXBUS_STATE* state) {
  RtlZeroMemory(state, sizeof(*state));
  state->Plugged = camera->plugged != 0;
  state->Exists = camera->pdo != NULL;
  state->Started = camera->started != 0;
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  state->TraceCount = camera->trace_count;
  state->PendingTransfers = camera->pending;
  state->FramesSent = camera->frames_sent;
  KeReleaseSpinLock(&camera->lock, irql);
}

static NTSTATUS qvx_camera_request(qvx_bus* bus, ULONG code, PVOID buffer, ULONG in_length, ULONG out_length,
                                   ULONG* written) {
  if (in_length < sizeof(uint32_t)) return STATUS_BUFFER_TOO_SMALL;
  qvx_camera* camera = qvx_camera_at(bus, *(const uint32_t*)buffer);
  if (camera == NULL) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  switch (code) {
    case IOCTL_QVXBUS_UNPLUG:
      return qvx_unplug(bus, camera->slot);
    case IOCTL_QVXBUS_TRACE:
      if (in_length < sizeof(QVXBUS_TRACE_QUERY)) return STATUS_BUFFER_TOO_SMALL;
      return qvx_read_trace(camera, (const QVXBUS_TRACE_QUERY*)buffer, buffer, out_length, written);
    case IOCTL_QVXBUS_STATE:
      if (out_length < sizeof(QVXBUS_STATE)) return STATUS_BUFFER_TOO_SMALL;
      qvx_read_state(camera, (QVXBUS_STATE*)buffer);
      *written = sizeof(QVXBUS_STATE);
      return STATUS_SUCCESS;
    case IOCTL_QVXBUS_STALL:
      if (in_length < sizeof(QVXBUS_STALL)) return STATUS_BUFFER_TOO_SMALL;
      KeAcquireSpinLock(&camera->lock, &irql);
      camera->stalls = ((const QVXBUS_STALL*)buffer)->Count;
      KeReleaseSpinLock(&camera->lock, irql);
      return STATUS_SUCCESS;
    case IOCTL_QVXBUS_QUEUE_FRAMES: {
      if (in_length < sizeof(QVXBUS_FRAMES)) return STATUS_BUFFER_TOO_SMALL;
      const QVXBUS_FRAMES* frames = (const QVXBUS_FRAMES*)buffer;
      if (frames->FrameSize == 0) return STATUS_INVALID_PARAMETER;
      KeAcquireSpinLock(&camera->lock, &irql);
      camera->firmware.frames_queued += frames->Count;
      camera->frame_size = frames->FrameSize;
      camera->window = {frames->Width, frames->Height, frames->BytesPerPixel};
      KeReleaseSpinLock(&camera->lock, irql);
      KeSetEvent(&bus->work, IO_NO_INCREMENT, FALSE);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// PASSIVE_LEVEL, METHOD_BUFFERED requests. Completes the request, or leaves a
// settle request pending.
NTSTATUS qvx_control_ioctl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  qvx_bus* bus = qvx_the_bus;
  if (bus == NULL) return qvx_complete(irp, STATUS_DEVICE_NOT_READY, 0);
  if (code == IOCTL_QVXBUS_SETTLE) return qvx_settle(bus, irp);
  ULONG written = 0;
  NTSTATUS status;
  if (code == IOCTL_QVXBUS_PLUG) {
    if (in_length < sizeof(QVXBUS_PLUG) || out_length < sizeof(uint32_t)) {
      return qvx_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const QVXBUS_PLUG* plug = (const QVXBUS_PLUG*)buffer;
    ULONG slot = 0;
    status = qvx_plug(bus, plug->VendorId, plug->ProductId, &slot);
    if (NT_SUCCESS(status)) {
      *(uint32_t*)buffer = slot;
      written = sizeof(uint32_t);
    }
  } else {
    status = qvx_camera_request(bus, code, buffer, in_length, out_length, &written);
  }
  return qvx_complete(irp, status, written);
}
