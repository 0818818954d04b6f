// Bulk and interrupt transfers: the one cancel-safe queue every pending request
// of the bus goes through, the host-controller thread that moves image data in
// packets and completes transfers at DISPATCH_LEVEL, cancellation, abort and reset
// of a pipe, and the camera leaving the bus.
//
// Locking: as in device.cpp. A queued transfer's cancel routine is set; whoever
// clears it (host controller, abort, stall, unplug) or is called by it (cancel)
// takes the transfer off its queue and completes it, after dropping `mutex_`.
// A transfer taken off a pipe counts in the pipe's `completing` until its
// completion routines have returned (settle).
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "device_internal.h"

namespace sim {

// ---- the cancel-safe queue ----

// Queues a transfer the bus completes later; at most DISPATCH_LEVEL, unlocked. A
// transfer on a pipe that an unconfigure has just removed fails as a stale handle,
// and one that comes while the camera leaves fails as gone: presence is read again
// under the lock, since a disconnect that ran after the caller's first look has
// already ended everything queued and nothing would end this one.
// The Cancel flag is read again once the cancel routine is set: a cancel that came
// earlier found no routine to call, and would otherwise be lost.
NTSTATUS UsbDevice::pend(Transfer t) {
  PIRP irp = t.irp;
  PURB urb = t.urb;
  bool stale;
  bool gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gone = !present_;
    stale = t.pipe != nullptr && find_pipe(t.pipe->info.PipeHandle) != t.pipe;
    if (!stale && !gone) {
      IoMarkIrpPending(irp);
      irp_set_held_below(irp, true);
      hold_urb_memory(irp, urb, true);
      (void)IoSetCancelRoutine(irp, bus_cancel);
      (t.pipe != nullptr ? t.pipe->queue : deferred_control_).push_back(std::move(t));
      work_.notify_all();
      traced_.notify_all();
    }
  }
  if (gone) {
    if (t.pipe == nullptr) take_short_control(urb);
    return refuse(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (stale) return refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  if (cancel_requested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) cancel(irp);
  return STATUS_PENDING;
}

// Takes every transfer whose cancel routine this thread could clear. Called locked.
void UsbDevice::take_cancellable(std::deque<Transfer>& queue, std::vector<Transfer>* taken) {
  for (auto it = queue.begin(); it != queue.end();) {
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {  // a cancel routine has it
      ++it;
      continue;
    }
    if (it->pipe != nullptr) it->pipe->completing++;
    taken->push_back(std::move(*it));
    it = queue.erase(it);
  }
}

// After a taken transfer's completion routines returned. Called unlocked.
void UsbDevice::settle(const std::shared_ptr<Pipe>& pipe) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pipe != nullptr) pipe->completing--;
  idle_.notify_all();
  work_.notify_all();
}

void UsbDevice::finish(Transfer& t, USBD_STATUS usbd, NTSTATUS status) {
  if (t.pipe == nullptr) take_short_control(t.urb);  // a control transfer ended before it ran
  if (t.pipe != nullptr) {
    auto& b = t.urb->UrbBulkOrInterruptTransfer;
    b.TransferBufferLength = t.done;
    BusEvent e{BusEvent::Bulk};
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
  hold_urb_memory(t.irp, t.urb, false);
  IrqlScope dpc(DISPATCH_LEVEL);
  irp_complete_from_below(t.irp);
}

// ---- bulk transfers and the wire ----

NTSTATUS UsbDevice::bulk_transfer(PIRP irp, PURB urb, Serve serve) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  if (urb->UrbHeader.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
    return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  Transfer t{irp, urb, nullptr};
  t.requested = b.TransferBufferLength;
  t.held = serve == Serve::Held;
  USBD_STATUS refusal = USBD_STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  bool finished = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    t.pipe = find_pipe(b.PipeHandle);
    if (t.pipe == nullptr) {
      refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (transfer_buffer(b.TransferBuffer, b.TransferBufferMDL) == nullptr && t.requested > 0) {
      refusal = USBD_STATUS_INVALID_PARAMETER;
    } else if (serve == Serve::Inside || (serve == Serve::Default && complete_inline_ &&
                                          t.pipe->queue.empty() && t.pipe->halted == USBD_STATUS_SUCCESS)) {
      std::optional<std::chrono::steady_clock::time_point> wait;
      finished = progress(t, &usbd, &wait) || serve == Serve::Inside;
    }
  }
  if (USBD_ERROR(refusal)) return refuse(irp, urb, refusal, STATUS_INVALID_PARAMETER);
  if (!finished) return pend(t);
  NTSTATUS status = USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  finish(t, usbd, status);
  return status;
}

// Moves data for a transfer. Returns true when the transfer is finished. Called locked.
bool UsbDevice::progress(Transfer& t, USBD_STATUS* usbd,
                         std::optional<std::chrono::steady_clock::time_point>* wait) {
  auto& b = t.urb->UrbBulkOrInterruptTransfer;
  *usbd = USBD_STATUS_SUCCESS;
  if (t.forced) {
    *usbd = t.forced_usbd;
    return true;
  }
  if (t.pipe->halted != USBD_STATUS_SUCCESS) {
    *usbd = t.pipe->halted;
    return true;
  }
  if (power_ != PowerDeviceD0 || system_sleeping_) return false;  // a suspended port moves nothing
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
  bool ends = false;
  while (t.done < limit && !ends) {
    if (!receive_packets(t, buffer, limit, usbd, &ends, wait)) return false;
  }
  if (cut) short_times_--;
  return true;
}

// Packets of at most wMaxPacketSize (less when a short transfer is injected):
// while whole packets fit they land straight in the buffer, as many as the camera
// has; the last one that may not fit goes through a packet buffer. A packet that
// does not fit what is left of the buffer is babble: the bytes that fit land, the
// transfer ends with BABBLE_DETECTED and the endpoint halts until a reset. A short
// packet, or the end of a triggered frame, ends the transfer. Returns false when
// the camera has nothing to send now. Called locked.
bool UsbDevice::receive_packets(Transfer& t, uint8_t* buffer, uint32_t limit, USBD_STATUS* usbd, bool* ends,
                                std::optional<std::chrono::steady_clock::time_point>* wait) {
  size_t max_packet = std::max<size_t>(t.pipe->info.MaximumPacketSize, 1);
  size_t want = limit < t.requested ? std::min<size_t>(max_packet, limit - t.done) : max_packet;
  size_t room = t.requested - t.done;
  size_t packets = want == max_packet ? std::max<size_t>((limit - t.done) / max_packet, 1) : 1;
  if (packet_.size() < want) packet_.resize(want);
  uint8_t* into = room >= want ? buffer + t.done : packet_.data();
  bool frame_end = false;
  size_t n = camera_.produce(into, want, packets, &frame_end, wait);
  if (n == 0 && !frame_end) return false;
  if (n > room) {
    memcpy(buffer + t.done, packet_.data(), room);
    t.done += static_cast<uint32_t>(room);
    t.pipe->halted = USBD_STATUS_ENDPOINT_HALTED;
    *usbd = USBD_STATUS_BABBLE_DETECTED;
    *ends = true;
    return true;
  }
  if (into != buffer + t.done) memcpy(buffer + t.done, into, n);
  t.done += static_cast<uint32_t>(n);
  *ends = frame_end || n % max_packet != 0;
  return true;
}

// ---- the host controller ----

// Aborted transfers first (their abort has completed), then control transfers in
// order, Plug and Play requests, and the pipes' transfers. Called locked; returns
// with the lock held, having completed one request, or false when none was ready.
bool UsbDevice::service_once(std::unique_lock<std::mutex>& lock,
                             std::optional<std::chrono::steady_clock::time_point>* wake) {
  if (!finishing_.empty()) {
    Transfer t = std::move(finishing_.front());
    finishing_.pop_front();
    lock.unlock();
    finish(t, t.forced_usbd, t.forced_status);
    settle(t.pipe);
    lock.lock();
    return true;
  }
  if (service_control(lock)) return true;
  if (service_deferred_pnp(lock, wake)) return true;
  return service_pipes(lock, wake);
}

// A configuration change waits until no completion is in progress, and what is
// queued behind it waits with it.
bool UsbDevice::service_control(std::unique_lock<std::mutex>& lock) {
  for (auto it = deferred_control_.begin(); it != deferred_control_.end(); ++it) {
    // A cancelled request is left to whoever completes cancelled ones: its cancel
    // routine, or pend() when the cancel came before the routine was set.
    if (it->held || cancel_requested(it->irp)) continue;
    bool select = it->urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && !it->forced;
    if (select && completions_in_progress()) return false;
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) continue;  // being cancelled
    Transfer t = std::move(*it);
    deferred_control_.erase(it);
    USBD_STATUS usbd = t.forced_usbd;
    NTSTATUS status = t.forced_status;
    if (select) run_select_configuration(t.urb, &usbd, &status);
    lock.unlock();
    if (!t.forced && !select) run_control(t.urb, &usbd, &status);
    finish(t, usbd, status);
    settle(nullptr);
    lock.lock();
    return true;
  }
  return false;
}

bool UsbDevice::service_pipes(std::unique_lock<std::mutex>& lock,
                              std::optional<std::chrono::steady_clock::time_point>* wake) {
  for (auto& entry : pipes_) {
    std::shared_ptr<Pipe> pipe = entry.second;
    if (pipe->queue.empty() || pipe->queue.front().held || cancel_requested(pipe->queue.front().irp))
      continue;
    Transfer& head = pipe->queue.front();
    USBD_STATUS usbd;
    std::optional<std::chrono::steady_clock::time_point> wait;
    if (!progress(head, &usbd, &wait)) {
      if (wait && (!*wake || *wait < **wake)) *wake = wait;
      continue;
    }
    if (IoSetCancelRoutine(head.irp, nullptr) == nullptr) continue;  // being cancelled
    Transfer t = std::move(head);
    pipe->queue.pop_front();
    pipe->completing++;
    lock.unlock();
    NTSTATUS status = t.forced ? t.forced_status : USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    finish(t, usbd, status);
    settle(pipe);
    lock.lock();
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

// A cancelled transfer is taken off its queue here and completes on the host
// controller after IoCancelIrp has returned, as on Windows: until then the bus
// still holds it, its URB and its buffer.
void UsbDevice::cancel(PIRP irp) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool found = false;
    auto take = [&](std::deque<Transfer>& q) {
      auto it = std::find_if(q.begin(), q.end(), [irp](const Transfer& t) { return t.irp == irp; });
      if (it == q.end()) return;
      if (it->pipe != nullptr) it->pipe->completing++;
      it->forced = true;
      it->forced_usbd = USBD_STATUS_CANCELED;
      it->forced_status = STATUS_CANCELLED;
      finishing_.push_back(std::move(*it));
      q.erase(it);
      found = true;
      work_.notify_all();
    };
    take(deferred_control_);
    for (auto& entry : pipes_) {
      if (!found) take(entry.second->queue);
    }
    if (!found && wait_wake_ == irp) {
      wait_wake_ = nullptr;
      wake = true;
    }
  }
  if (wake) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp_complete_from_below(irp);
  }
}

// The abort completes first; the transfers it took off the pipe complete after it,
// on the host controller at DISPATCH_LEVEL, as on Windows. PASSIVE_LEVEL.
NTSTATUS UsbDevice::abort_pipe(PIRP irp, PURB urb, const std::shared_ptr<Pipe>& pipe) {
  std::vector<Transfer> aborted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    take_cancellable(pipe->queue, &aborted);
  }
  BusEvent e{BusEvent::AbortPipe};
  e.endpoint = pipe->info.EndpointAddress;
  e.urb_length = urb->UrbHeader.Length;
  trace_event(e);
  NTSTATUS status = complete_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& t : aborted) {
    t.forced = true;
    t.forced_usbd = USBD_STATUS_CANCELED;
    t.forced_status = STATUS_CANCELLED;
    finishing_.push_back(std::move(t));
  }
  work_.notify_all();
  return status;
}

NTSTATUS UsbDevice::pipe_request(PIRP irp, PURB urb) {
  USHORT expected = sizeof(struct _URB_PIPE_REQUEST);
  bool old_stack = bus_.usbdi_version() < 0x101;
  USHORT length = urb->UrbHeader.Length;
  if (length != expected && !(old_stack && length == expected - 4)) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  std::shared_ptr<Pipe> pipe;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe = find_pipe(urb->UrbPipeRequest.PipeHandle);
  }
  if (pipe == nullptr) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  }
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return abort_pipe(irp, urb, pipe);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe->halted = USBD_STATUS_SUCCESS;
    work_.notify_all();
  }
  BusEvent e{BusEvent::ResetPipe};
  e.endpoint = pipe->info.EndpointAddress;
  e.urb_length = length;
  trace_event(e);
  return complete_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// Ends everything the bus holds, including aborted transfers not yet completed.
void UsbDevice::fail_all(NTSTATUS status, USBD_STATUS usbd) {
  std::vector<Transfer> failed;
  std::vector<Transfer> aborted;
  PIRP wake = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    take_cancellable(deferred_control_, &failed);
    for (auto& entry : pipes_) take_cancellable(entry.second->queue, &failed);
    aborted.assign(std::make_move_iterator(finishing_.begin()), std::make_move_iterator(finishing_.end()));
    finishing_.clear();
    if (wait_wake_ != nullptr && IoSetCancelRoutine(wait_wake_, nullptr) != nullptr) {
      wake = wait_wake_;
      wait_wake_ = nullptr;
    }
  }
  for (auto& t : failed) {
    finish(t, usbd, status);
    settle(t.pipe);
  }
  for (auto& t : aborted) {
    finish(t, t.forced_usbd, t.forced_status);
    settle(t.pipe);
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
