// The transfer engine of one plugged camera: the port's state (connected,
// stopped, powered, suspended), the pipes of its configuration, every request the
// bus holds (transfers, deferred control transfers and Plug and Play or power
// requests, the wait-wake request), and the host-controller thread that moves
// image data in packets and completes what the bus held at DISPATCH_LEVEL.
//
// Locking: `mutex_` (the engine lock) guards every field below it. Under it the
// engine takes the camera's lock (to move image data, read the configuration),
// the cancel spin lock (to read an IRP's Cancel flag), the platform's IRP and
// held-memory books, and the trace's and fault plan's leaf locks; none of those
// ever waits for the engine lock. It is never held while a completion routine, a
// cancel routine or a dispatch routine runs: IoSetCancelRoutine, an interlocked
// exchange, is the one I/O manager call made under it. A cancel routine enters
// with the cancel spin lock held and drops it before taking the engine lock.
#pragma once

#include <sim/camera.h>
#include <sim/usb_bus.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sim {

class BusTrace;
class FaultPlan;

// How the bus serves a request the fault plan singled out.
enum class Serve { Default, Held, Inside };

struct Pipe;

// A request the bus holds: a bulk transfer on its pipe, or (no pipe) a control
// transfer or configuration request the host controller serves in order.
struct Transfer {
  PIRP irp;
  PURB urb;
  std::shared_ptr<Pipe> pipe;  // null for a control transfer or configuration request
  uint32_t requested = 0;
  uint32_t done = 0;
  bool held = false;
  bool forced = false;  // completes with the statuses below, moving no more data
  USBD_STATUS forced_usbd = USBD_STATUS_SUCCESS;
  NTSTATUS forced_status = STATUS_SUCCESS;
};

// A pipe lives while its configuration does and while any transfer or request
// still refers to it; its handle is never reused.
struct Pipe {
  USBD_PIPE_INFORMATION info;
  std::deque<Transfer> queue;
  USBD_STATUS halted = USBD_STATUS_SUCCESS;  // until a reset: STALL_PID or ENDPOINT_HALTED
  int completing = 0;                        // taken off the queue, routines not yet returned
};

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

class TransferEngine {
 public:
  // What the engine hands back to the device, on its thread, unlocked: a control
  // transfer's answer, and a deferred Plug and Play or power request.
  struct Served {
    std::function<void(PURB urb, USBD_STATUS* usbd, NTSTATUS* status)> control;
    std::function<void(PIRP irp)> deferred;
  };

  TransferEngine(Camera& camera, BusTrace& trace, FaultPlan& faults);
  ~TransferEngine();  // stops the thread
  TransferEngine(const TransferEngine&) = delete;
  TransferEngine& operator=(const TransferEngine&) = delete;
  void start(Served served);

  // The port. Each reads or sets one value under the lock.
  bool connected() const;
  void unplug();  // no new request is taken; what is held stays until fail_all
  bool stopped() const;
  void set_stopped(bool stopped);
  DEVICE_POWER_STATE power() const;
  size_t set_power(DEVICE_POWER_STATE state);  // returns the transfers queued before
  bool system_sleeping() const;
  bool set_system_sleeping(bool sleeping);  // returns whether the device was in D0
  int configuration_value() const;
  void set_complete_inline(bool on);
  void set_control_deferred(bool on);
  bool control_deferred() const;

  // Requests. Each takes the lock itself; at most DISPATCH_LEVEL unless named.
  NTSTATUS pend(Transfer t);
  NTSTATUS bulk_transfer(PIRP irp, PURB urb, Serve serve);
  NTSTATUS select_configuration(PIRP irp, PURB urb, Serve serve);              // PASSIVE_LEVEL
  NTSTATUS abort_pipe(PIRP irp, PURB urb, const std::shared_ptr<Pipe>& pipe);  // PASSIVE_LEVEL
  NTSTATUS reset_pipe(PIRP irp, PURB urb, const std::shared_ptr<Pipe>& pipe);  // PASSIVE_LEVEL
  std::shared_ptr<Pipe> find_pipe(USBD_PIPE_HANDLE handle) const;
  std::optional<UCHAR> endpoint_of(USBD_PIPE_HANDLE handle) const;
  void defer(PIRP irp, Deadline not_before);  // a Plug and Play or power request
  NTSTATUS hold_wait_wake(PIRP irp);
  bool signal_wake();
  std::optional<SYSTEM_POWER_STATE> wait_wake_from() const;  // of the held wait-wake request

  // Ending what the bus holds.
  void cancel(PIRP irp);  // from the bus's cancel routine, the cancel spin lock dropped
  void stall(UCHAR endpoint);
  void release_held();
  void fail_all(NTSTATUS status, USBD_STATUS usbd);

  size_t pending() const;
  bool wait_for_pending(size_t count, std::chrono::milliseconds bound);
  void wake();  // something may let the camera send more

  // Completes a transfer the engine no longer holds, at DISPATCH_LEVEL; unlocked.
  void finish(Transfer& t, USBD_STATUS usbd, NTSTATUS status);

 private:
  size_t pending_locked() const;
  void take_cancellable(std::deque<Transfer>& queue, std::vector<Transfer>* taken);
  void settle(const std::shared_ptr<Pipe>& pipe);
  bool progress(Transfer& t, USBD_STATUS* usbd, Deadline* wait);
  bool receive_packets(Transfer& t, uint8_t* buffer, uint32_t limit, USBD_STATUS* usbd, bool* ends,
                       Deadline* wait);
  void run_select_configuration(PURB urb, USBD_STATUS* usbd, NTSTATUS* status);
  bool completions_in_progress() const;
  USBD_STATUS apply_configuration(PURB urb);
  bool fill_interface(PUSBD_INTERFACE_INFORMATION info, const uint8_t* end,
                      const std::vector<uint8_t>& config);

  void host_controller();
  bool service_once(std::unique_lock<std::mutex>& lock, Deadline* wake);
  bool service_control(std::unique_lock<std::mutex>& lock);
  bool service_deferred(std::unique_lock<std::mutex>& lock, Deadline* wake);
  bool service_pipes(std::unique_lock<std::mutex>& lock, Deadline* wake);

  Camera& camera_;
  BusTrace& trace_;
  FaultPlan& faults_;
  Served served_;  // set before the thread starts, then read-only

  mutable std::mutex mutex_;
  std::condition_variable work_;    // the host controller: something may be ready
  std::condition_variable idle_;    // a completion in progress ended
  std::condition_variable queued_;  // a request was queued (wait_for_pending)
  // The port. Written by the bus's Plug and Play and power handling and by the
  // test (unplug); read by every request on its way in and by the host controller.
  bool connected_ = true;
  bool stopped_ = false;  // between a stop and the next start: no configuration, no URBs
  DEVICE_POWER_STATE power_ = PowerDeviceD0;
  bool system_sleeping_ = false;
  int configuration_ = 0;  // bConfigurationValue selected; 0 when unconfigured
  bool complete_inline_ = false;
  bool control_deferred_ = true;
  // The configuration's pipes, replaced by each select-configuration request.
  std::map<USBD_PIPE_HANDLE, std::shared_ptr<Pipe>> pipes_;
  uintptr_t next_pipe_handle_ = 0x10000;
  // Held requests, each IRP with the bus's cancel routine set until taken off.
  std::deque<Transfer> deferred_control_;
  std::deque<Transfer> finishing_;  // ended (aborted, cancelled) transfers the host controller completes
  std::deque<PIRP> deferred_;       // Plug and Play and power requests, in order
  std::map<PIRP, std::chrono::steady_clock::time_point> not_before_;
  PIRP wait_wake_ = nullptr;
  std::vector<uint8_t> packet_;  // an IN packet that may not fit its transfer's buffer
  bool stopping_ = false;        // the thread ends
  std::thread thread_;           // started by start(), joined by the destructor
};

}  // namespace sim
