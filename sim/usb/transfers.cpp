// Bulk and interrupt transfers: the pipes' queues, the host-controller thread that
// moves image data and completes transfers at DISPATCH_LEVEL, cancellation, abort
// and reset of a pipe, and the camera leaving the bus.
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "device_internal.h"

namespace sim {

// ---- bulk transfers and the host controller ----

// `done` is what an attempt inside IofCallDriver already moved into the buffer.
NTSTATUS UsbDevice::queue_transfer(PIRP irp, PURB urb, Pipe* pipe, bool held, uint32_t done) {
  IoMarkIrpPending(irp);
  irp_set_held_below(irp, true);
  Transfer t{irp, urb, pipe};
  t.requested = pipe != nullptr ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  t.held = held;
  t.done = done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    (void)IoSetCancelRoutine(irp, bus_cancel);
    (pipe != nullptr ? pipe->queue : deferred_control_).push_back(t);
    work_.notify_all();
    traced_.notify_all();
  }
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) cancel(irp);
  return STATUS_PENDING;
}

NTSTATUS UsbDevice::bulk_transfer(PIRP irp, PURB urb, bool held) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  if (urb->UrbHeader.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  Pipe* pipe;
  USBD_STATUS refusal = USBD_STATUS_SUCCESS;
  Transfer t{irp, urb, nullptr};
  t.requested = b.TransferBufferLength;
  bool done = false;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe = find_pipe(b.PipeHandle);
    if (pipe == nullptr) {
      refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (transfer_buffer(b.TransferBuffer, b.TransferBufferMDL) == nullptr && t.requested > 0) {
      refusal = USBD_STATUS_INVALID_PARAMETER;
    } else if (pipe->aborting > 0) {
      refusal = USBD_STATUS_CANCELED;
    } else if (complete_inline_ && !held && !pipe->stalled && pipe->queue.empty()) {
      t.pipe = pipe;
      std::optional<std::chrono::steady_clock::time_point> wait;
      done = progress(t, &usbd, &wait);
    }
  }
  if (refusal == USBD_STATUS_CANCELED) return complete_now(irp, urb, refusal, STATUS_CANCELLED);
  if (USBD_ERROR(refusal)) return complete_now(irp, urb, refusal, STATUS_INVALID_PARAMETER);
  if (done) {
    finish(t, usbd, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  return queue_transfer(irp, urb, pipe, held, t.done);
}

// Moves data for a transfer. Returns true when the transfer is finished.
bool UsbDevice::progress(Transfer& t, USBD_STATUS* usbd,
                         std::optional<std::chrono::steady_clock::time_point>* wait) {
  auto& b = t.urb->UrbBulkOrInterruptTransfer;
  *usbd = USBD_STATUS_SUCCESS;
  if (t.forced) {
    *usbd = t.forced_usbd;
    return true;
  }
  if (t.pipe->stalled) {
    *usbd = USBD_STATUS_STALL_PID;
    return true;
  }
  if (!(t.pipe->info.EndpointAddress & kDirIn)) {
    t.done = t.requested;  // the camera takes whatever is sent to it
    return true;
  }
  uint8_t* buffer = transfer_buffer(b.TransferBuffer, b.TransferBufferMDL);
  uint32_t limit = t.requested;
  bool cut = false;
  if (short_times_ > 0 && t.done == 0 && short_bytes_ < limit) {
    limit = short_bytes_;
    cut = true;
  }
  while (t.done < limit) {
    bool ends = false;
    size_t n = camera_.produce(buffer + t.done, limit - t.done, &ends, wait);
    t.done += static_cast<uint32_t>(n);
    if (ends) return true;
    if (n == 0) return false;
  }
  if (cut) short_times_--;
  return true;
}

void UsbDevice::finish(Transfer& t, USBD_STATUS usbd, NTSTATUS status) {
  if (t.pipe == nullptr) take_short_control(t.urb);  // a control transfer ended before it ran
  BusEvent e{t.pipe != nullptr ? BusEvent::Bulk : BusEvent::Control};
  if (t.pipe != nullptr) {
    auto& b = t.urb->UrbBulkOrInterruptTransfer;
    b.TransferBufferLength = t.done;
    e.endpoint = t.pipe->info.EndpointAddress;
    e.transfer_flags = b.TransferFlags;
    e.requested = t.requested;
    e.actual = t.done;
    e.urb_length = t.urb->UrbHeader.Length;
    e.usbd_status = usbd;
    e.irp_status = status;
    trace_event(e);
  }
  t.urb->UrbHeader.Status = usbd;
  t.irp->IoStatus.Status = status;
  t.irp->IoStatus.Information = 0;
  IrqlScope dpc(DISPATCH_LEVEL);
  irp_complete_from_below(t.irp);
}

bool UsbDevice::service_once(std::unique_lock<std::mutex>& lock,
                             std::optional<std::chrono::steady_clock::time_point>* wake) {
  for (auto it = deferred_control_.begin(); it != deferred_control_.end(); ++it) {
    if (it->held || IoSetCancelRoutine(it->irp, nullptr) == nullptr) continue;
    Transfer t = *it;
    deferred_control_.erase(it);
    lock.unlock();
    USBD_STATUS usbd = t.forced_usbd;
    NTSTATUS status = t.forced_status;
    if (!t.forced) run_control(t.urb, &usbd, &status);
    finish(t, usbd, status);
    lock.lock();
    idle_.notify_all();
    return true;
  }
  if (!deferred_pnp_.empty()) {
    PIRP irp = deferred_pnp_.front();
    deferred_pnp_.pop_front();
    lock.unlock();
    irp_set_held_below(irp, false);
    serve_pnp(irp);
    lock.lock();
    return true;
  }
  for (auto& [handle, pipe] : pipes_) {
    if (pipe->queue.empty() || pipe->queue.front().held) continue;
    Transfer& head = pipe->queue.front();
    USBD_STATUS usbd;
    std::optional<std::chrono::steady_clock::time_point> wait;
    if (!progress(head, &usbd, &wait)) {
      if (wait && (!*wake || *wait < **wake)) *wake = wait;
      continue;
    }
    if (IoSetCancelRoutine(head.irp, nullptr) == nullptr) continue;  // being cancelled
    Transfer t = head;
    pipe->queue.pop_front();
    pipe->completing++;
    Pipe* p = pipe.get();
    lock.unlock();
    NTSTATUS status = t.forced ? t.forced_status : USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    finish(t, usbd, status);
    lock.lock();
    p->completing--;
    idle_.notify_all();
    return true;
  }
  return false;
}

void UsbDevice::host_controller() {
  ProcessScope system(system_process());
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    std::optional<std::chrono::steady_clock::time_point> wake;
    if (service_once(lock, &wake)) continue;
    if (wake) {
      work_.wait_until(lock, *wake);
    } else {
      work_.wait(lock);
    }
  }
}

// ---- cancel, abort, reset, unplug ----

void UsbDevice::cancel(PIRP irp) {
  std::optional<Transfer> found;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto take = [&](std::deque<Transfer>& q) {
      for (auto it = q.begin(); it != q.end(); ++it) {
        if (it->irp == irp) {
          if (it->pipe != nullptr) it->pipe->completing++;
          found = *it;
          q.erase(it);
          return;
        }
      }
    };
    take(deferred_control_);
    for (auto& [handle, pipe] : pipes_) {
      if (!found) take(pipe->queue);
    }
    if (!found && wait_wake_ == irp) {
      wait_wake_ = nullptr;
      wake = true;
    }
  }
  if (found) {
    int* completing = found->pipe != nullptr ? &found->pipe->completing : nullptr;
    finish_counted(mutex_, idle_, completing,
                   [&] { finish(*found, USBD_STATUS_CANCELED, STATUS_CANCELLED); });
  }
  if (wake) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp_complete_from_below(irp);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.notify_all();
}

void UsbDevice::abort_pipe(Pipe* pipe) {
  std::vector<Transfer> aborted;
  std::unique_lock<std::mutex> lock(mutex_);
  pipe->aborting++;
  for (auto it = pipe->queue.begin(); it != pipe->queue.end();) {
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
      ++it;
      continue;
    }
    pipe->completing++;
    aborted.push_back(*it);
    it = pipe->queue.erase(it);
  }
  lock.unlock();
  for (auto& t : aborted) {
    finish_counted(mutex_, idle_, &pipe->completing,
                   [&] { finish(t, USBD_STATUS_CANCELED, STATUS_CANCELLED); });
  }
  lock.lock();
  // Transfers being completed or cancelled right now must be done before the abort is.
  if (current_irql() < DISPATCH_LEVEL) {
    idle_.wait(lock, [pipe] { return pipe->queue.empty() && pipe->completing == 0; });
  }
  pipe->aborting--;
}

NTSTATUS UsbDevice::pipe_request(PIRP irp, PURB urb) {
  USHORT expected = sizeof(struct _URB_PIPE_REQUEST);
  bool old_stack = bus_.usbdi_version() < 0x101;
  USHORT length = urb->UrbHeader.Length;
  if (length != expected && !(old_stack && length == expected - 4)) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  Pipe* pipe;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe = find_pipe(urb->UrbPipeRequest.PipeHandle);
  }
  if (pipe == nullptr) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  }
  BusEvent e{urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ? BusEvent::AbortPipe : BusEvent::ResetPipe};
  e.endpoint = pipe->info.EndpointAddress;
  e.urb_length = length;
  if (e.kind == BusEvent::AbortPipe) {
    abort_pipe(pipe);
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe->stalled = false;
  }
  trace_event(e);
  return complete_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

void UsbDevice::fail_all(NTSTATUS status, USBD_STATUS usbd) {
  std::vector<Transfer> failed;
  PIRP wake = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto drain = [&](std::deque<Transfer>& q) {
      for (auto it = q.begin(); it != q.end();) {
        if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
          ++it;
          continue;
        }
        if (it->pipe != nullptr) it->pipe->completing++;
        failed.push_back(*it);
        it = q.erase(it);
      }
    };
    drain(deferred_control_);
    for (auto& [handle, pipe] : pipes_) drain(pipe->queue);
    if (wait_wake_ != nullptr && IoSetCancelRoutine(wait_wake_, nullptr) != nullptr) {
      wake = wait_wake_;
      wait_wake_ = nullptr;
    }
  }
  for (auto& t : failed) {
    int* completing = t.pipe != nullptr ? &t.pipe->completing : nullptr;
    finish_counted(mutex_, idle_, completing, [&] { finish(t, usbd, status); });
  }
  if (wake != nullptr) {
    wake->IoStatus.Status = status;
    irp_complete_from_below(wake);
  }
}

void UsbDevice::disconnect() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    present_ = false;
  }
  fail_all(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

}  // namespace sim
