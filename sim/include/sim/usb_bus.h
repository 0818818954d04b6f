#pragma once

// The simulated USB bus driver: one physical device object per plugged camera,
// answering URBs, Plug and Play and power requests as the Windows USB stack does,
// with a host-controller thread that completes transfers at DISPATCH_LEVEL. Every
// request the camera sees is kept in a trace; faults can be injected per request.
#include <sim/camera.h>
#include <sim/ntddk.h>
#include <sim/usb.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// One request as the camera saw it.
struct BusEvent {
  enum Kind { Control, Bulk, AbortPipe, ResetPipe, SelectConfiguration, Unconfigure };
  explicit BusEvent(Kind k = Control) : kind(k) {}
  Kind kind;
  uint8_t setup[8] = {};  // control transfers
  UCHAR endpoint = 0;     // bulk transfers and pipe requests
  USHORT urb_length = 0;  // the URB header's Length
  ULONG transfer_flags = 0;
  uint32_t requested = 0;     // TransferBufferLength asked for
  uint32_t actual = 0;        // bytes moved
  std::vector<uint8_t> data;  // control data stage (what went out, or what came in)
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
  NTSTATUS irp_status = STATUS_SUCCESS;

  UCHAR request_type() const { return setup[0]; }
  UCHAR request() const { return setup[1]; }
  USHORT value() const { return static_cast<USHORT>(setup[2] | (setup[3] << 8)); }
  USHORT index() const { return static_cast<USHORT>(setup[4] | (setup[5] << 8)); }
  USHORT length() const { return static_cast<USHORT>(setup[6] | (setup[7] << 8)); }
};

// Selects URBs for injection. Unset fields match anything.
struct UrbMatch {
  std::optional<USHORT> function;        // URB_FUNCTION_*
  std::optional<UCHAR> request;          // control: bRequest
  std::optional<bool> in;                // control: direction
  std::optional<UCHAR> descriptor_type;  // GET_DESCRIPTOR
  std::optional<UCHAR> endpoint;         // bulk and pipe requests

  static UrbMatch vendor(UCHAR request, std::optional<bool> in = std::nullopt);
  static UrbMatch descriptor(UCHAR type);
  static UrbMatch bulk(std::optional<UCHAR> endpoint = std::nullopt);
  // URB_FUNCTION_ABORT_PIPE or URB_FUNCTION_RESET_PIPE.
  static UrbMatch pipe_request(USHORT function, std::optional<UCHAR> endpoint = std::nullopt);
  static UrbMatch select_configuration();
  static UrbMatch any();  // every URB
};

class UsbBus;
class BusTrace;
class FaultPlan;
class TransferEngine;
struct Injection;
enum class Serve;

// One plugged camera as the USB stack sees it. Made of parts that each keep their
// own state and say their own rules (in sim/usb/): the camera model (its
// descriptors, registers and image source, sim/camera), the bus trace, the fault
// plan, and the transfer engine (the port, the pipes, every request the bus holds
// and the host-controller thread). What stays here is the routing of each
// request to the part that serves it.
//
// Lock order, outermost first; a lock is only ever taken with those above it held:
//   1. UsbBus::mutex_ (the list of plugged devices; taken alone, or around the
//      making of a device);
//   2. the transfer engine's lock, one per device;
//   3. the cancel spin lock (IoAcquireCancelSpinLock), and the camera's lock;
//   4. the platform's IRP and held-memory books, the trace's lock and the fault
//      plan's lock: leaves.
// The cancel spin lock and the camera's lock are never held together. The bus's
// cancel routine, entered with the cancel spin lock held, drops it before it takes
// the engine lock; the camera calls its listener (which takes the engine lock)
// after dropping its own. No lock of the bus is held while a completion routine,
// a cancel routine or a dispatch routine of another driver runs.
class UsbDevice {
 public:
  UsbDevice(UsbBus& bus, CameraConfig config, PDEVICE_OBJECT pdo);
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  PDEVICE_OBJECT pdo() const;  // null once the bus has deleted it
  Camera& camera() { return camera_; }
  const CameraConfig& config() const { return config_; }
  bool present() const;
  // The state the last device set-power request that reached the bus asked for,
  // of those the bus did not fail.
  DEVICE_POWER_STATE power_state() const;
  int configuration_value() const;  // 0 when unconfigured

  std::vector<BusEvent> trace() const;
  void clear_trace();
  // Waits until at least `count` events matching `match` have been traced.
  bool wait_for_events(const UrbMatch& match, size_t count, std::chrono::milliseconds bound);
  size_t pending_transfers() const;
  bool wait_for_pending(size_t count, std::chrono::milliseconds bound);
  // URBs that reached the bus since the camera was plugged, counted where an
  // injection's `nth` counts them, so those the bus then refuses (an unplugged
  // camera's among them) too: the events a test replays a fault at, one by one.
  uint64_t urbs_arrived() const;
  // Waits until at least `count` URBs have arrived.
  bool wait_for_urbs(uint64_t count, std::chrono::milliseconds bound);

  // Fault injection. `nth` counts matching URBs from now, 1 being the next;
  // `times` consecutive matches are acted on (kForever: every one from then on).
  static constexpr int kForever = INT32_MAX;
  // The URB completes with `usbd` in its header (unless success) and the IRP with
  // `irp_status`; no data moves.
  void fail_urb(const UrbMatch& match, USBD_STATUS usbd, NTSTATUS irp_status = STATUS_UNSUCCESSFUL,
                int nth = 1, int times = 1);
  // The bus refuses the IRP at once: completed inside IofCallDriver with `status`.
  void refuse_urb(const UrbMatch& match, NTSTATUS status, int nth = 1, int times = 1);
  // The bus serves matching URBs inside IofCallDriver: a control transfer runs at
  // once; a bulk transfer takes what the camera has ready now (perhaps nothing,
  // as a zero-length packet) and completes with it.
  void complete_inside(const UrbMatch& match, int nth = 1, int times = 1);
  // Matching URBs stay pending until release_held() (or cancel, abort, unplug).
  void hold(const UrbMatch& match);
  void release_held();
  // A device descriptor or configuration read returns at most `bytes` bytes.
  void truncate_descriptor(UCHAR type, uint32_t bytes);
  // From its nth read of a descriptor of this type on (device or configuration,
  // counting from now), the camera presents `bytes` as that descriptor: one whose
  // configuration changes between reads, or whose identity changes between starts.
  void change_descriptor(UCHAR type, int nth, std::vector<uint8_t> bytes);
  // The next `times` bulk IN transfers end after `bytes` bytes with a short packet.
  void short_transfers(uint32_t bytes, int times = 1);
  // The next `times` matching vendor IN requests end their data stage after at most
  // `bytes` bytes, as a camera that answers with a short packet would.
  void short_control(const UrbMatch& match, uint32_t bytes, int times = 1);
  void stall_pipe(UCHAR endpoint);
  // Bulk transfers whose data is ready complete inside IofCallDriver.
  void set_complete_inline(bool on);
  // Control transfers and configuration requests complete later on the
  // host-controller thread at DISPATCH_LEVEL (default, as on Windows), or inside
  // IofCallDriver when off.
  void set_control_deferred(bool on);
  // The physical device object completes the next Plug and Play request of this
  // minor function with `status` instead of serving it.
  void fail_pnp(UCHAR minor, NTSTATUS status);
  // The physical device object completes the next device set-power request for
  // `state` with `status`, as a device that does not reach that state would; the
  // bus keeps the device in the state it was in (after a failed D0, transfers are
  // still refused). The request completes as the power setting below says.
  void fail_device_power(DEVICE_POWER_STATE state, NTSTATUS status);
  // Plug and Play requests complete later, on the host-controller thread, after
  // IofCallDriver has returned STATUS_PENDING.
  void set_pnp_deferred(bool on);
  // Set-power and query-power requests complete later, at DISPATCH_LEVEL on the
  // host-controller thread, after IofCallDriver has returned STATUS_PENDING
  // (default), or inside the call.
  void set_power_deferred(bool on);
  // A deferred device set-power request waits up to kOvertakeWindow for a system
  // set-power request, which the bus then completes first: a power policy owner
  // that passes the system request on before its device request has completed
  // sees the two finish in the wrong order. Off by default.
  static constexpr std::chrono::milliseconds kOvertakeWindow{100};
  void set_system_power_first(bool on);
  // From a sleeping system set-power at the bus to the next working one, or to a
  // device set-power for D0: the port is suspended.
  bool system_sleeping() const;
  // Unplugs the camera when the nth matching URB arrives, before it is served.
  void unplug_on(const UrbMatch& match, int nth = 1);
  void clear_injections();
  // URB injections not used up yet (a hold stays until released): none once the
  // nth URB asked for has been failed, refused or acted on.
  size_t armed_injections() const;

  // Takes the camera off the bus: pending transfers fail with
  // STATUS_DEVICE_NOT_CONNECTED, new ones at once.
  void disconnect();
  // Deletes the physical device object of a camera no driver took.
  void delete_pdo();
  // Completes a held wait-wake request, as a wake signal from the camera would.
  bool signal_wake();
  // The deepest sleeping state the held wait-wake request may wake the system
  // from; none when no request is held.
  std::optional<SYSTEM_POWER_STATE> wait_wake_from() const;

  // Called by the bus driver's dispatch and cancel routines.
  NTSTATUS dispatch_urb(PIRP irp, PURB urb);
  NTSTATUS dispatch_pnp(PIRP irp);
  NTSTATUS dispatch_power(PIRP irp);
  void cancel(PIRP irp);

 private:
  void inject(const Injection& injection);
  bool irql_allowed(PURB urb);
  bool system_address_given(PURB urb);
  NTSTATUS route_urb(PIRP irp, PURB urb, Serve serve);
  NTSTATUS fail_injected(PIRP irp, PURB urb, const Injection& injection);
  NTSTATUS pipe_request(PIRP irp, PURB urb);

  // The default control pipe (control_pipe.cpp).
  NTSTATUS control_transfer(PIRP irp, PURB urb, Serve serve);
  void run_control(PURB urb, USBD_STATUS* usbd, NTSTATUS* status);
  NTSTATUS get_descriptor(PURB urb, USBD_STATUS* usbd);
  NTSTATUS vendor_request(PURB urb, USBD_STATUS* usbd);

  // Plug and Play and power (pnp_power.cpp).
  NTSTATUS serve_pnp(PIRP irp);
  NTSTATUS serve_power(PIRP irp);
  NTSTATUS wait_wake_refusal(SYSTEM_POWER_STATE from) const;
  void note_device_power(DEVICE_POWER_STATE state);
  void note_system_power(SYSTEM_POWER_STATE state, bool above);

  // Set at plugging, then read-only.
  UsbBus& bus_;
  const CameraConfig config_;
  // Cleared once, by whichever of the bus's removal and delete_pdo() comes first.
  std::atomic<PDEVICE_OBJECT> pdo_;
  // The test's settings, read as each Plug and Play or power request arrives.
  std::atomic<bool> pnp_deferred_{false};
  std::atomic<bool> power_deferred_{true};
  std::atomic<bool> system_power_first_{false};
  // The parts, each with its own lock (see the lock order above). The engine is
  // made last and destroyed first: its thread uses the others.
  Camera camera_;
  std::unique_ptr<BusTrace> trace_;
  std::unique_ptr<FaultPlan> faults_;
  std::unique_ptr<TransferEngine> engine_;
};

// The bus driver: owns the driver object of the physical device objects and the
// devices plugged into it.
class UsbBus {
 public:
  UsbBus();
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  UsbDevice& plug(const CameraConfig& config);
  std::vector<UsbDevice*> devices();
  PDRIVER_OBJECT driver() const { return driver_; }

  void set_usbdi_version(ULONG version);
  ULONG usbdi_version() const;

 private:
  PDRIVER_OBJECT driver_;
  std::mutex mutex_;                                 // first in the bus's lock order (see UsbDevice)
  std::vector<std::unique_ptr<UsbDevice>> devices_;  // added by plug(); mutex_
  int next_port_ = 1;                                // mutex_
  std::atomic<ULONG> usbdi_version_{0x600};
};

UsbBus* current_bus();

}  // namespace sim
