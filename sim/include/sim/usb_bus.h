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
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
  static UrbMatch select_configuration();
};

class UsbBus;

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
  // The state the last device set-power request that reached the bus asked for.
  DEVICE_POWER_STATE power_state() const;
  int configuration_value() const;  // 0 when unconfigured

  std::vector<BusEvent> trace() const;
  void clear_trace();
  // Waits until at least `count` events matching `match` have been traced.
  bool wait_for_events(const UrbMatch& match, size_t count, std::chrono::milliseconds bound);
  size_t pending_transfers() const;
  bool wait_for_pending(size_t count, std::chrono::milliseconds bound);

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
  // From its nth configuration read on (counting from now), the camera presents
  // `bytes` as its configuration: one whose configuration changes between reads.
  void change_configuration(int nth, std::vector<uint8_t> bytes);
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
  // Between a sleeping system set-power and the next working one at the bus: the
  // port is suspended.
  bool system_sleeping() const;
  // Unplugs the camera when the nth matching URB arrives, before it is served.
  void unplug_on(const UrbMatch& match, int nth = 1);
  void clear_injections();

  // Takes the camera off the bus: pending transfers fail with
  // STATUS_DEVICE_NOT_CONNECTED, new ones at once.
  void disconnect();
  // Deletes the physical device object of a camera no driver took.
  void delete_pdo();
  // Completes a held wait-wake request, as a wake signal from the camera would.
  bool signal_wake();

  // Called by the bus driver's dispatch routines.
  NTSTATUS dispatch_urb(PIRP irp, PURB urb);
  NTSTATUS dispatch_pnp(PIRP irp);
  bool defer_if(bool deferred, PIRP irp);
  NTSTATUS serve_pnp(PIRP irp);
  NTSTATUS dispatch_power(PIRP irp);
  void cancel(PIRP irp);

 private:
  struct Pipe;
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
  struct Injection {
    enum Kind { Fail, Refuse, Hold, Unplug, ShortControl, Inside } kind;
    UrbMatch match;
    int skip;   // matches to let through first
    int times;  // matches to act on
    USBD_STATUS usbd;
    NTSTATUS status;
    uint32_t bytes = 0;  // ShortControl: the data-stage limit
  };
  enum class Serve { Default, Held, Inside };

  bool matches(const UrbMatch& match, PURB urb) const;
  void inject(Injection injection);
  std::optional<Injection> take_injection(PURB urb);
  bool irql_allowed(PURB urb);
  bool system_address_given(PURB urb);
  NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);
  NTSTATUS refuse(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);
  void finish(Transfer& t, USBD_STATUS usbd, NTSTATUS status);
  NTSTATUS pend(Transfer t);
  void take_cancellable(std::deque<Transfer>& queue, std::vector<Transfer>* taken);
  void settle(const std::shared_ptr<Pipe>& pipe);
  NTSTATUS fail_injected(PIRP irp, PURB urb, const Injection& injection);
  void trace_event(BusEvent event);

  NTSTATUS control_transfer(PIRP irp, PURB urb, Serve serve);
  void run_control(PURB urb, USBD_STATUS* usbd, NTSTATUS* status);
  NTSTATUS get_descriptor(PURB urb, USBD_STATUS* usbd);
  NTSTATUS vendor_request(PURB urb, USBD_STATUS* usbd);
  std::optional<uint32_t> take_short_control(PURB urb);
  NTSTATUS select_configuration(PIRP irp, PURB urb, Serve serve);
  void run_select_configuration(PURB urb, USBD_STATUS* usbd, NTSTATUS* status);
  bool completions_in_progress() const;
  USBD_STATUS apply_configuration(PURB urb);
  bool fill_interface(PUSBD_INTERFACE_INFORMATION info, const uint8_t* end);
  NTSTATUS bulk_transfer(PIRP irp, PURB urb, Serve serve);
  NTSTATUS pipe_request(PIRP irp, PURB urb);
  NTSTATUS abort_pipe(PIRP irp, PURB urb, const std::shared_ptr<Pipe>& pipe);
  std::shared_ptr<Pipe> find_pipe(USBD_PIPE_HANDLE handle) const;
  bool progress(Transfer& t, USBD_STATUS* usbd, std::optional<std::chrono::steady_clock::time_point>* wait);
  bool receive_packets(Transfer& t, uint8_t* buffer, uint32_t limit, USBD_STATUS* usbd, bool* ends,
                       std::optional<std::chrono::steady_clock::time_point>* wait);

  NTSTATUS serve_power(PIRP irp);
  NTSTATUS hold_wait_wake(PIRP irp);
  void note_device_power(DEVICE_POWER_STATE state);
  void note_system_power(SYSTEM_POWER_STATE state, bool above);
  bool service_deferred_pnp(std::unique_lock<std::mutex>& lock,
                            std::optional<std::chrono::steady_clock::time_point>* wake);

  void host_controller();
  bool service_once(std::unique_lock<std::mutex>& lock,
                    std::optional<std::chrono::steady_clock::time_point>* wake);
  bool service_control(std::unique_lock<std::mutex>& lock);
  bool service_pipes(std::unique_lock<std::mutex>& lock,
                     std::optional<std::chrono::steady_clock::time_point>* wake);
  void fail_all(NTSTATUS status, USBD_STATUS usbd);

  UsbBus& bus_;
  CameraConfig config_;
  Camera camera_;
  PDEVICE_OBJECT pdo_;
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_descriptor_;

  mutable std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::map<USBD_PIPE_HANDLE, std::shared_ptr<Pipe>> pipes_;
  uintptr_t next_pipe_handle_ = 0x10000;
  std::deque<Transfer> deferred_control_;
  std::deque<Transfer> finishing_;  // ended (aborted) transfers the host controller completes
  std::vector<uint8_t> packet_;     // an IN packet that may not fit its transfer's buffer
  std::deque<PIRP> deferred_pnp_;   // and deferred power requests
  std::map<PIRP, std::chrono::steady_clock::time_point> deferred_not_before_;
  bool system_power_first_ = false;
  bool system_sleeping_ = false;
  std::map<UCHAR, NTSTATUS> failed_pnp_;
  bool pnp_deferred_ = false;
  bool power_deferred_ = true;
  std::vector<Injection> injections_;
  std::map<UCHAR, uint32_t> truncated_;
  int configuration_change_in_ = 0;  // reads left before the change; 0: none
  std::vector<uint8_t> changed_configuration_;
  std::map<PURB, uint32_t> short_control_;  // data-stage limits of URBs on their way
  uint32_t short_bytes_ = 0;
  int short_times_ = 0;
  bool complete_inline_ = false;
  bool control_deferred_ = true;
  bool present_ = true;
  bool stopped_ = false;  // between a stop and the next start: no configuration, no URBs
  bool stopping_ = false;
  int configuration_ = 0;
  DEVICE_POWER_STATE power_ = PowerDeviceD0;
  PIRP wait_wake_ = nullptr;
  std::vector<BusEvent> trace_;
  std::condition_variable traced_;
  std::thread hc_;
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
  std::mutex mutex_;
  std::vector<std::unique_ptr<UsbDevice>> devices_;
  int next_port_ = 1;
  std::atomic<ULONG> usbdi_version_{0x600};
};

UsbBus* current_bus();

}  // namespace sim
