// One plugged camera as the USB stack sees it: its state, the bus trace, the
// failures a test injects, and the routing of each URB to the code that serves it.
//
// Locking: `mutex_` guards every field of the device (queues, pipes, injections,
// trace). It is never held while a completion routine or a cancel routine runs,
// nor while the I/O manager is called, except IoSetCancelRoutine, which takes no
// lock of ours.
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "device_internal.h"

namespace sim {

UsbDevice::UsbDevice(UsbBus& bus, CameraConfig config, PDEVICE_OBJECT pdo)
    : bus_(bus), config_(std::move(config)), camera_(config_), pdo_(pdo) {
  device_descriptor_ =
      config_.device_descriptor.empty() ? build_device_descriptor(config_) : config_.device_descriptor;
  configuration_descriptor_ = config_.configuration_descriptor.empty()
                                  ? build_configuration_descriptor(config_)
                                  : config_.configuration_descriptor;
  camera_.set_listener([this] {
    std::lock_guard<std::mutex> lock(mutex_);
    work_.notify_all();
  });
  hc_ = std::thread([this] { host_controller(); });
}

UsbDevice::~UsbDevice() {
  camera_.set_listener(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    work_.notify_all();
  }
  hc_.join();
}

PDEVICE_OBJECT UsbDevice::pdo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pdo_;
}

bool UsbDevice::present() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_;
}

DEVICE_POWER_STATE UsbDevice::power_state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_;
}

int UsbDevice::configuration_value() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_;
}

std::vector<BusEvent> UsbDevice::trace() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return trace_;
}

void UsbDevice::clear_trace() {
  std::lock_guard<std::mutex> lock(mutex_);
  trace_.clear();
}

bool UsbDevice::wait_for_events(const UrbMatch& match, size_t count, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  return traced_.wait_for(lock, bound, [&] {
    return static_cast<size_t>(std::count_if(trace_.begin(), trace_.end(), [&](const BusEvent& e) {
             return matches_event(match, e);
           })) >= count;
  });
}

size_t UsbDevice::pending_transfers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = deferred_control_.size();
  for (auto& entry : pipes_) n += entry.second->queue.size();
  return n;
}

bool UsbDevice::wait_for_pending(size_t count, std::chrono::milliseconds bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  auto pending = [&] {
    size_t n = deferred_control_.size();
    for (auto& entry : pipes_) n += entry.second->queue.size();
    return n >= count;
  };
  return traced_.wait_until(lock, deadline, pending);
}

void UsbDevice::trace_event(BusEvent event) {
  std::lock_guard<std::mutex> lock(mutex_);
  trace_.push_back(std::move(event));
  traced_.notify_all();
}

// ---- injection ----

void UsbDevice::inject(Injection injection) {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.push_back(injection);
}

void UsbDevice::fail_urb(const UrbMatch& match, USBD_STATUS usbd, NTSTATUS irp_status, int nth, int times) {
  inject({Injection::Fail, match, nth - 1, times, usbd, irp_status});
}

void UsbDevice::refuse_urb(const UrbMatch& match, NTSTATUS status, int nth, int times) {
  inject({Injection::Refuse, match, nth - 1, times, USBD_STATUS_REQUEST_FAILED, status});
}

void UsbDevice::complete_inside(const UrbMatch& match, int nth, int times) {
  inject({Injection::Inside, match, nth - 1, times, USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

void UsbDevice::hold(const UrbMatch& match) {
  inject({Injection::Hold, match, 0, kForever, USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

void UsbDevice::release_held() {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.erase(std::remove_if(injections_.begin(), injections_.end(),
                                   [](const Injection& i) { return i.kind == Injection::Hold; }),
                    injections_.end());
  for (auto& t : deferred_control_) t.held = false;
  for (auto& entry : pipes_) {
    for (auto& t : entry.second->queue) t.held = false;
  }
  work_.notify_all();
}

void UsbDevice::truncate_descriptor(UCHAR type, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  truncated_[type] = bytes;
}

void UsbDevice::change_configuration(int nth, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  configuration_change_in_ = nth;
  changed_configuration_ = std::move(bytes);
}

void UsbDevice::short_transfers(uint32_t bytes, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  short_bytes_ = bytes;
  short_times_ = times;
}

void UsbDevice::short_control(const UrbMatch& match, uint32_t bytes, int times) {
  Injection injection{Injection::ShortControl, match, 0, times, USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  injection.bytes = bytes;
  inject(injection);
}

void UsbDevice::stall_pipe(UCHAR endpoint) {
  std::vector<Transfer> stalled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : pipes_) {
      if (entry.second->info.EndpointAddress != endpoint) continue;
      entry.second->halted = USBD_STATUS_STALL_PID;
      take_cancellable(entry.second->queue, &stalled);
    }
  }
  for (auto& t : stalled) {
    finish(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    settle(t.pipe);
  }
}

void UsbDevice::set_complete_inline(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  complete_inline_ = on;
}

void UsbDevice::set_control_deferred(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  control_deferred_ = on;
}

void UsbDevice::unplug_on(const UrbMatch& match, int nth) {
  inject({Injection::Unplug, match, nth - 1, 1, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED});
}

void UsbDevice::clear_injections() {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.clear();
  truncated_.clear();
  short_control_.clear();
  short_times_ = 0;
}

bool UsbDevice::matches(const UrbMatch& m, PURB urb) const {
  USHORT function = urb->UrbHeader.Function;
  if (m.function && *m.function != function) return false;
  if (m.request || m.in) {
    if (function != URB_FUNCTION_VENDOR_DEVICE) return false;
    auto& v = urb->UrbControlVendorClassRequest;
    if (m.request && v.Request != *m.request) return false;
    if (m.in && ((v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != *m.in) return false;
  }
  if (m.descriptor_type && (function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                            urb->UrbControlDescriptorRequest.DescriptorType != *m.descriptor_type)) {
    return false;
  }
  if (m.endpoint) {
    USBD_PIPE_HANDLE handle = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                  ? urb->UrbBulkOrInterruptTransfer.PipeHandle
                                  : urb->UrbPipeRequest.PipeHandle;
    auto it = pipes_.find(handle);
    if (it == pipes_.end() || it->second->info.EndpointAddress != *m.endpoint) return false;
  }
  return true;
}

std::optional<UsbDevice::Injection> UsbDevice::take_injection(PURB urb) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = injections_.begin(); it != injections_.end(); ++it) {
    if (!matches(it->match, urb)) continue;
    if (it->skip > 0) {
      it->skip--;
      continue;
    }
    Injection taken = *it;
    if (it->times != kForever && --it->times <= 0) injections_.erase(it);
    return taken;
  }
  return std::nullopt;
}

// ---- dispatch ----

NTSTATUS UsbDevice::complete_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A request the bus turns down without running it. A transfer among them moved
// nothing and says so: the USB stack returns the bytes moved in the URB's length,
// whatever way the transfer ended.
NTSTATUS UsbDevice::refuse(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  ULONG* length = transfer_length(urb);
  if (length != nullptr) *length = 0;
  return complete_now(irp, urb, usbd, status);
}

// The bus takes pipe and configuration requests at PASSIVE_LEVEL only, since it
// waits inside them; anything else up to DISPATCH_LEVEL.
bool UsbDevice::irql_allowed(PURB urb) {
  static const std::map<USHORT, const char*> passive_only{
      {URB_FUNCTION_ABORT_PIPE, "URB_FUNCTION_ABORT_PIPE"},
      {URB_FUNCTION_RESET_PIPE, "URB_FUNCTION_RESET_PIPE"},
      {URB_FUNCTION_SELECT_CONFIGURATION, "URB_FUNCTION_SELECT_CONFIGURATION"}};
  auto it = passive_only.find(urb->UrbHeader.Function);
  KIRQL irql = current_irql();
  if (it == passive_only.end() || irql == PASSIVE_LEVEL) return true;
  report_fault(Fault::UrbAtWrongIrql, std::string(it->second) + " sent at " + irql_name(irql) +
                                          "; the bus takes it at PASSIVE_LEVEL only");
  return false;
}

// The bus moves data in system space: a transfer buffer must be a system address
// (or come as an MDL), never an address of an application, which means nothing
// in whatever process the host controller runs in.
bool UsbDevice::system_address_given(PURB urb) {
  UrbBuffer data = urb_buffer(urb);
  if (data.buffer == nullptr) return true;
  std::string user = user_range_of(data.buffer, data.length);
  if (user.empty()) return true;
  report_fault(Fault::UserAddressInUrb,
               "URB transfer buffer " + hex(reinterpret_cast<uintptr_t>(data.buffer)) + " lies in " + user);
  return false;
}

NTSTATUS UsbDevice::dispatch_urb(PIRP irp, PURB urb) {
  // The stack marks the URBs it allocates itself in UsbdFlags; in a driver's own
  // URB they are zero, the block having been zeroed before it was built.
  if (urb->UrbHeader.UsbdFlags != 0) {
    report_fault(Fault::InvalidArgument,
                 "URB with UsbdFlags " + hex(urb->UrbHeader.UsbdFlags) + ": not zeroed before it was built");
  }
  if (!irql_allowed(urb)) return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_STATE);
  if (!system_address_given(urb))
    return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  std::optional<Injection> injection = take_injection(urb);
  Serve serve = Serve::Default;
  if (injection) {
    switch (injection->kind) {
      case Injection::Unplug:
        disconnect();
        break;
      case Injection::Refuse:
        return refuse(irp, urb, injection->usbd, injection->status);
      case Injection::Fail:
        return fail_injected(irp, urb, *injection);
      case Injection::Hold:
        serve = Serve::Held;
        break;
      case Injection::Inside:
        serve = Serve::Inside;
        break;
      case Injection::ShortControl:
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE && present()) {
          std::lock_guard<std::mutex> lock(mutex_);
          short_control_[urb] = injection->bytes;
        }
        break;
    }
  }
  if (!present()) return refuse(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  bool stopped = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped = stopped_;
  }
  // A stopped device has given up its configuration: the function driver sends
  // nothing between the stop reaching the bus and the next start.
  if (stopped) return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_STATE);
  USHORT function = urb->UrbHeader.Function;
  bool transfer = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                  function == URB_FUNCTION_VENDOR_DEVICE ||
                  function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  // A suspended port moves nothing: the device must be back in D0, and the
  // system working, first.
  if (transfer && (power_state() != PowerDeviceD0 || system_sleeping())) {
    take_short_control(urb);
    return refuse(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_POWERED_OFF);
  }
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
      return control_transfer(irp, urb, serve);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return select_configuration(irp, urb, serve);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return bulk_transfer(irp, urb, serve);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      return pipe_request(irp, urb);
    default:
      return complete_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
}

// The failure is traced as the camera would have seen the request. With deferred
// control transfers, or for bulk transfers, it comes back later, as a real failure would.
NTSTATUS UsbDevice::fail_injected(PIRP irp, PURB urb, const Injection& injection) {
  BusEvent e{BusEvent::Control};
  e.usbd_status = injection.usbd;
  e.irp_status = injection.status;
  e.urb_length = urb->UrbHeader.Length;
  bool later = false;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      std::shared_ptr<Pipe> pipe;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pipe = find_pipe(urb->UrbBulkOrInterruptTransfer.PipeHandle);
      }
      if (pipe != nullptr) {
        Transfer t{irp, urb, pipe};
        t.requested = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        t.forced = true;
        t.forced_usbd = injection.usbd;
        t.forced_status = injection.status;
        return pend(t);
      }
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
      e.kind = BusEvent::Bulk;
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      vendor_setup(v, e.setup);
      v.TransferBufferLength = 0;
      later = true;
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      descriptor_setup(d, e.setup);
      d.TransferBufferLength = 0;
      later = true;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      e.kind = BusEvent::SelectConfiguration;
      later = true;
      break;
    default:
      break;
  }
  trace_event(e);
  bool defer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    defer = later && control_deferred_;
  }
  if (!defer) return complete_now(irp, urb, injection.usbd, injection.status);
  Transfer t{irp, urb, nullptr};
  t.forced = true;
  t.forced_usbd = injection.usbd;
  t.forced_status = injection.status;
  return pend(t);
}

}  // namespace sim
