// The transfer engine's queues: the one cancel-safe queue every request the bus
// holds goes through, the host-controller thread that completes them at
// DISPATCH_LEVEL, cancellation, abort and reset of a pipe, unplugging.
//
// Locking and levels as in transfer_engine.h: the engine lock is taken and
// dropped here around each look at the queues, and never held while a request
// completes.
#include <algorithm>

#include <sim/app.h>

#include "../kernel/internal.h"
#include "bus_trace.h"
#include "device_internal.h"
#include "fault_plan.h"
#include "transfer_engine.h"

namespace sim {

TransferEngine::TransferEngine(Camera& camera, BusTrace& trace, FaultPlan& faults)
    : camera_(camera), trace_(trace), faults_(faults) {}

TransferEngine::~TransferEngine() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    work_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void TransferEngine::start(Served served) {
  served_ = std::move(served);
  thread_ = std::thread([this] { host_controller(); });
}

// ---- the port ----

bool TransferEngine::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

// The camera loses power: a frame it was streaming is gone.
void TransferEngine::unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = false;
  camera_.cut_frame();
}

bool TransferEngine::stopped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

void TransferEngine::set_stopped(bool stopped) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = stopped;
}

DEVICE_POWER_STATE TransferEngine::power() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_;
}

size_t TransferEngine::set_power(DEVICE_POWER_STATE state) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t queued = pending_locked();
  power_ = state;
  work_.notify_all();  // transfers waiting for D0 may move again
  return queued;
}

bool TransferEngine::system_sleeping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return system_sleeping_;
}

bool TransferEngine::set_system_sleeping(bool sleeping) {
  std::lock_guard<std::mutex> lock(mutex_);
  system_sleeping_ = sleeping;
  work_.notify_all();
  return power_ == PowerDeviceD0;
}

int TransferEngine::configuration_value() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_;
}

void TransferEngine::set_complete_inline(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  complete_inline_ = on;
}

void TransferEngine::set_control_deferred(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  control_deferred_ = on;
}

bool TransferEngine::control_deferred() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return control_deferred_;
}

size_t TransferEngine::pending_locked() const {
  size_t n = deferred_control_.size();
  for (auto& entry : pipes_) n += entry.second->queue.size();
  return n;
}

size_t TransferEngine::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_locked();
}

bool TransferEngine::wait_for_pending(size_t count, std::chrono::milliseconds bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  return queued_.wait_until(lock, deadline, [&] { return pending_locked() >= count; });
}

void TransferEngine::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  work_.notify_all();
}

// ---- the cancel-safe queue ----

// Queues a transfer the bus completes later; at most DISPATCH_LEVEL, unlocked. A
// transfer on a pipe that an unconfigure has just removed fails as a stale handle,
// and one that comes while the camera leaves fails as gone: presence is read again
// under the lock, since a disconnect that ran after the caller's first look has
// already ended everything queued and nothing would end this one.
// The Cancel flag is read again once the cancel routine is set: a cancel that came
// earlier found no routine to call, and would otherwise be lost. It is read under
// the lock, before the transfer is queued: once queued, another thread (an abort,
// the host controller) may finish it, and its owner free the IRP.
NTSTATUS TransferEngine::pend(Transfer t) {
  PIRP irp = t.irp;
  PURB urb = t.urb;
  bool stale;
  bool gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gone = !connected_;
    auto it = t.pipe != nullptr ? pipes_.find(t.pipe->info.PipeHandle) : pipes_.end();
    stale = t.pipe != nullptr && (it == pipes_.end() || it->second != t.pipe);
    if (!stale && !gone) {
      IoMarkIrpPending(irp);
      irp_set_held_below(irp, true);
      hold_urb_memory(irp, urb, true);
      (void)IoSetCancelRoutine(irp, bus_cancel);
      if (cancel_requested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled on its way down: the host controller finishes it as cancelled.
        if (t.pipe != nullptr) t.pipe->completing++;
        t.forced = true;
        t.forced_usbd = USBD_STATUS_CANCELED;
        t.forced_status = STATUS_CANCELLED;
        finishing_.push_back(std::move(t));
      } else {
        (t.pipe != nullptr ? t.pipe->queue : deferred_control_).push_back(std::move(t));
        queued_.notify_all();
      }
      work_.notify_all();
    }
  }
  if (gone) {
    if (t.pipe == nullptr) faults_.take_control_limit(urb);
    return refuse(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (stale) return refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  return STATUS_PENDING;
}

// Takes every transfer whose cancel routine this thread could clear. Called locked.
void TransferEngine::take_cancellable(std::deque<Transfer>& queue, std::vector<Transfer>* taken) {
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
void TransferEngine::settle(const std::shared_ptr<Pipe>& pipe) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pipe != nullptr) pipe->completing--;
  idle_.notify_all();
  work_.notify_all();
}

void TransferEngine::finish(Transfer& t, USBD_STATUS usbd, NTSTATUS status) {
  if (t.pipe == nullptr) faults_.take_control_limit(t.urb);  // a control transfer ended before it ran
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
    trace_.record(e);
  }
  t.urb->UrbHeader.Status = usbd;
  t.irp->IoStatus.Status = status;
  t.irp->IoStatus.Information = 0;
  hold_urb_memory(t.irp, t.urb, false);
  IrqlScope dpc(DISPATCH_LEVEL);
  irp_complete_from_below(t.irp);
}

// ---- the host controller ----

// Aborted transfers first (their abort has completed), then control transfers in
// order, Plug and Play requests, and the pipes' transfers. Called locked; returns
// with the lock held, having completed one request, or false when none was ready.
bool TransferEngine::service_once(std::unique_lock<std::mutex>& lock, Deadline* wake) {
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
  if (service_deferred(lock, wake)) return true;
  return service_pipes(lock, wake);
}

// A configuration change waits until no completion is in progress, and what is
// queued behind it waits with it.
bool TransferEngine::service_control(std::unique_lock<std::mutex>& lock) {
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
    if (!t.forced && !select) served_.control(t.urb, &usbd, &status);
    finish(t, usbd, status);
    settle(nullptr);
    lock.lock();
    return true;
  }
  return false;
}

// The first deferred Plug and Play or power request whose time has come, in the
// order they came. Called locked; returns with the lock held.
bool TransferEngine::service_deferred(std::unique_lock<std::mutex>& lock, Deadline* wake) {
  auto now = std::chrono::steady_clock::now();
  for (auto it = deferred_.begin(); it != deferred_.end(); ++it) {
    auto held = not_before_.find(*it);
    if (held != not_before_.end() && held->second > now) {
      if (!*wake || held->second < **wake) *wake = held->second;
      continue;
    }
    PIRP irp = *it;
    deferred_.erase(it);
    if (held != not_before_.end()) not_before_.erase(held);
    lock.unlock();
    irp_set_held_below(irp, false);
    served_.deferred(irp);
    lock.lock();
    return true;
  }
  return false;
}

bool TransferEngine::service_pipes(std::unique_lock<std::mutex>& lock, Deadline* wake) {
  for (auto& entry : pipes_) {
    std::shared_ptr<Pipe> pipe = entry.second;
    if (pipe->queue.empty() || pipe->queue.front().held || cancel_requested(pipe->queue.front().irp))
      continue;
    Transfer& head = pipe->queue.front();
    USBD_STATUS usbd;
    Deadline wait;
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

void TransferEngine::host_controller() {
  ProcessScope system(system_process());
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    Deadline wake;
    if (service_once(lock, &wake)) continue;
    if (wake) {
      work_.wait_until(lock, *wake);
    } else {
      work_.wait(lock);
    }
  }
}

// Holds a Plug and Play or power request for the host controller's thread, which
// serves it no earlier than `not_before`.
void TransferEngine::defer(PIRP irp, Deadline not_before) {
  std::lock_guard<std::mutex> lock(mutex_);
  IoMarkIrpPending(irp);
  irp_set_held_below(irp, true);
  deferred_.push_back(irp);
  if (not_before) not_before_[irp] = *not_before;
  work_.notify_all();
}

// ---- cancel, abort, reset, unplug ----

// A cancelled transfer is taken off its queue here and completes on the host
// controller after IoCancelIrp has returned, as on Windows: until then the bus
// still holds it, its URB and its buffer.
void TransferEngine::cancel(PIRP irp) {
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

void TransferEngine::stall(UCHAR endpoint) {
  std::vector<Transfer> stalled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : pipes_) {
      if (entry.second->info.EndpointAddress != endpoint) continue;
      entry.second->halted = USBD_STATUS_STALL_PID;
      take_cancellable(entry.second->queue, &stalled);
      if (endpoint & kDirIn) camera_.cut_frame();
    }
  }
  for (auto& t : stalled) {
    finish(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    settle(t.pipe);
  }
}

void TransferEngine::release_held() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& t : deferred_control_) t.held = false;
  for (auto& entry : pipes_) {
    for (auto& t : entry.second->queue) t.held = false;
  }
  work_.notify_all();
}

// The abort completes first; the transfers it took off the pipe complete after it,
// on the host controller at DISPATCH_LEVEL, as on Windows. PASSIVE_LEVEL.
NTSTATUS TransferEngine::abort_pipe(PIRP irp, PURB urb, const std::shared_ptr<Pipe>& pipe) {
  std::vector<Transfer> aborted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    take_cancellable(pipe->queue, &aborted);
  }
  BusEvent e{BusEvent::AbortPipe};
  e.endpoint = pipe->info.EndpointAddress;
  e.urb_length = urb->UrbHeader.Length;
  trace_.record(e);
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

// PASSIVE_LEVEL.
NTSTATUS TransferEngine::reset_pipe(PIRP irp, PURB urb, const std::shared_ptr<Pipe>& pipe) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe->halted = USBD_STATUS_SUCCESS;
    // The endpoint's buffer is flushed with the frame under way: a stream goes on
    // with the next frame from its start.
    if (pipe->info.EndpointAddress & kDirIn) camera_.cut_frame();
    work_.notify_all();
  }
  BusEvent e{BusEvent::ResetPipe};
  e.endpoint = pipe->info.EndpointAddress;
  e.urb_length = urb->UrbHeader.Length;
  trace_.record(e);
  return complete_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// Ends everything the bus holds, including aborted transfers not yet completed.
void TransferEngine::fail_all(NTSTATUS status, USBD_STATUS usbd) {
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

// ---- the wait-wake request ----

// Holds one wait-wake request until the camera signals or it is cancelled. As with
// a transfer, the Cancel flag is read again once the cancel routine is set, under
// the lock: a cancel that came earlier found no routine to call, and once held the
// request may be completed, and freed, by another thread.
NTSTATUS TransferEngine::hold_wait_wake(PIRP irp) {
  bool held = false;
  bool cancelled = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wait_wake_ == nullptr && connected_) {
      IoMarkIrpPending(irp);
      irp_set_held_below(irp, true);
      (void)IoSetCancelRoutine(irp, bus_cancel);
      cancelled = cancel_requested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr;
      if (!cancelled) wait_wake_ = irp;
      held = true;
    }
  }
  if (cancelled) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp_complete_from_below(irp);
  }
  if (held) return STATUS_PENDING;
  return complete_power(irp, STATUS_DEVICE_BUSY);
}

std::optional<SYSTEM_POWER_STATE> TransferEngine::wait_wake_from() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (wait_wake_ == nullptr) return std::nullopt;
  return IoGetCurrentIrpStackLocation(wait_wake_)->Parameters.WaitWake.PowerState;
}

bool TransferEngine::signal_wake() {
  PIRP wake = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wait_wake_ != nullptr && IoSetCancelRoutine(wait_wake_, nullptr) != nullptr) {
      wake = wait_wake_;
      wait_wake_ = nullptr;
    }
  }
  if (wake == nullptr) return false;
  wake->IoStatus.Status = STATUS_SUCCESS;
  irp_complete_from_below(wake);
  return true;
}

}  // namespace sim
