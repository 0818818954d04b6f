// Bulk transfers of a camera: they wait on their pipe, cancellable, until the
// image source has bytes for them, and are completed by the bus's own worker
// thread (the platform's deferred procedure calls are not relied on). The worker
// also completes the control transfers, which are answered at once but handed
// back later, as a host controller hands them back after the frame they went in. Frames carry
// the simulated camera's picture, cut by the camera core's frame cursor.
#include "bus.h"

static PURB qvx_urb_of(PIRP irp) {
  return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

static void qvx_finish_transfer(qvx_camera* camera, PIRP irp, ULONG moved, USBD_STATUS usbd,
                                NTSTATUS status) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &qvx_urb_of(irp)->UrbBulkOrInterruptTransfer;
  QVXBUS_TRACE_ENTRY entry;
  RtlZeroMemory(&entry, sizeof(entry));
  entry.Event = QVXBUS_EVENT_BULK;
  entry.Endpoint = ((qvx_pipe*)transfer->PipeHandle)->address;
  entry.Length = transfer->TransferBufferLength;
  entry.Moved = moved;
  entry.UsbdStatus = (uint32_t)usbd;
  entry.IrpStatus = (uint32_t)status;
  qvx_trace(camera, &entry);
  transfer->TransferBufferLength = moved;
  transfer->Hdr.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Called by the I/O manager with the cancel spin lock held. The transfer is still
// queued when its cancel routine runs: whoever clears the routine first owns it.
static VOID NTAPI qvx_cancel_transfer(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  qvx_camera* camera = ((qvx_child*)device->DeviceExtension)->camera;
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  camera->pending--;
  KeReleaseSpinLock(&camera->lock, irql);
  qvx_finish_transfer(camera, irp, 0, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// Takes the first queued transfer of the pipe that is not being cancelled, or NULL.
// Under the camera's lock.
static PIRP qvx_dequeue(qvx_camera* camera, qvx_pipe* pipe) {
  for (PLIST_ENTRY entry = pipe->queue.Flink; entry != &pipe->queue; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) continue;
    RemoveEntryList(entry);
    camera->pending--;
    return irp;
  }
  return NULL;
}

NTSTATUS qvx_bulk_submit(qvx_camera* camera, PIRP irp, PURB urb) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
  qvx_pipe* pipe = NULL;
  for (int i = 0; i < QVX_PIPES; i++) {
    if (transfer->PipeHandle == &camera->pipes[i]) pipe = &camera->pipes[i];
  }
  BOOLEAN in = (transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (pipe == NULL || in != ((pipe->address & 0x80) != 0)) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
    return qvx_complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  // Traced when handed over, so the trace keeps the order the driver sent in; the
  // completion is traced again when the worker or a cancel ends it.
  QVXBUS_TRACE_ENTRY entry;
  RtlZeroMemory(&entry, sizeof(entry));
  entry.Event = QVXBUS_EVENT_SUBMIT;
  entry.Endpoint = pipe->address;
  entry.Length = transfer->TransferBufferLength;
  qvx_trace(camera, &entry);
  IoMarkIrpPending(irp);
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  InsertTailList(&pipe->queue, &irp->Tail.Overlay.ListEntry);
  camera->pending++;
  IoSetCancelRoutine(irp, qvx_cancel_transfer);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    camera->pending--;
    KeReleaseSpinLock(&camera->lock, irql);
    qvx_finish_transfer(camera, irp, 0, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&camera->lock, irql);
  KeSetEvent(&camera->bus->work, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

void qvx_abort_pipe(qvx_camera* camera, qvx_pipe* pipe, NTSTATUS status, USBD_STATUS usbd) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&camera->lock, &irql);
    PIRP irp = qvx_dequeue(camera, pipe);
    KeReleaseSpinLock(&camera->lock, irql);
    if (irp == NULL) return;
    qvx_finish_transfer(camera, irp, 0, usbd, status);
  }
}

void qvx_abort_all(qvx_camera* camera, NTSTATUS status, USBD_STATUS usbd) {
  for (int i = 0; i < QVX_PIPES; i++) qvx_abort_pipe(camera, &camera->pipes[i], status, usbd);
}

// Under the camera's lock: a frame is under way or one is released to start.
static BOOLEAN qvx_has_frame(const qvx_camera* camera) {
  return camera->cursor.in_frame || camera->firmware.frames_queued > 0;
}

// Under the camera's lock: fills a transfer from the released frames, each of the
// size and window set when it starts. A transfer ends when it is full or when a
// frame ends inside it, as a short packet would end it.
static ULONG qvx_produce(qvx_camera* camera, UCHAR* out, ULONG length) {
  ULONG moved = 0;
  while (moved < length && qvx_has_frame(camera)) {
    if (!camera->cursor.in_frame) {
      camera->firmware.frames_queued--;
      sim::camera_core::frame_begin(&camera->cursor, camera->frame_size, camera->window);
    }
    uint64_t left = sim::camera_core::frame_left(&camera->cursor);
    ULONG chunk = length - moved < left ? length - moved : (ULONG)left;
    BOOLEAN ended = sim::camera_core::frame_send(&camera->cursor, out + moved, chunk);
    moved += chunk;
    if (ended) {
      camera->frames_sent++;
      break;
    }
  }
  return moved;
}

// Completes the image pipe's transfers for as long as there are frames to send.
static void qvx_serve_camera(qvx_camera* camera) {
  qvx_pipe* pipe = &camera->pipes[QVX_PIPES - 1];
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&camera->lock, &irql);
    PIRP irp = qvx_has_frame(camera) ? qvx_dequeue(camera, pipe) : NULL;
    if (irp == NULL) {
      KeReleaseSpinLock(&camera->lock, irql);
      return;
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &qvx_urb_of(irp)->UrbBulkOrInterruptTransfer;
    UCHAR* buffer = (UCHAR*)transfer->TransferBuffer;
    if (buffer == NULL && transfer->TransferBufferMDL != NULL) {
      buffer = (UCHAR*)MmGetSystemAddressForMdlSafe(transfer->TransferBufferMDL, NormalPagePriority);
    }
    ULONG moved = buffer != NULL ? qvx_produce(camera, buffer, transfer->TransferBufferLength) : 0;
    KeReleaseSpinLock(&camera->lock, irql);
    if (buffer == NULL) {
      qvx_finish_transfer(camera, irp, 0, USBD_STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES);
    } else {
      qvx_finish_transfer(camera, irp, moved, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
  }
}

// Any IRQL up to DISPATCH_LEVEL. The transfer's URB is filled in; the caller sees
// STATUS_PENDING, as from Windows' USB stack, and the worker completes it.
NTSTATUS qvx_complete_later(qvx_bus* bus, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoMarkIrpPending(irp);
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  InsertTailList(&bus->answered, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&bus->lock, irql);
  KeSetEvent(&bus->work, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

// In the worker, in the order they were answered, with no lock held.
static void qvx_complete_answered(qvx_bus* bus) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    PIRP irp = NULL;
    if (!IsListEmpty(&bus->answered)) {
      irp = CONTAINING_RECORD(RemoveHeadList(&bus->answered), IRP, Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&bus->lock, irql);
    if (irp == NULL) return;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

static VOID NTAPI qvx_worker(PVOID context) {
  qvx_bus* bus = (qvx_bus*)context;
  while (!bus->stopping) {
    KeWaitForSingleObject(&bus->work, Executive, KernelMode, FALSE, NULL);
    qvx_complete_answered(bus);
    for (ULONG i = 0; i < QVXBUS_MAX_CAMERAS; i++) {
      if (bus->cameras[i].plugged && bus->cameras[i].started) qvx_serve_camera(&bus->cameras[i]);
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS qvx_worker_start(qvx_bus* bus) {
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, qvx_worker, bus);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &bus->worker, NULL);
  ZwClose(thread);
  return status;
}
