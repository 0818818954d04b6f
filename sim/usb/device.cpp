// One plugged camera as the USB stack sees it: URB handling, the transfer queues
// of its pipes, the host-controller thread that moves image data and completes
// transfers at DISPATCH_LEVEL, cancellation, and the bus trace.
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"

namespace sim {

VOID NTAPI bus_cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);

namespace {

constexpr UCHAR kDirIn = 0x80;

bool matches_event(const UrbMatch& m, const BusEvent& e) {
  static const std::map<BusEvent::Kind, USHORT> functions{
      {BusEvent::Bulk, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER},
      {BusEvent::AbortPipe, URB_FUNCTION_ABORT_PIPE},
      {BusEvent::ResetPipe, URB_FUNCTION_RESET_PIPE},
      {BusEvent::SelectConfiguration, URB_FUNCTION_SELECT_CONFIGURATION},
      {BusEvent::Unconfigure, URB_FUNCTION_SELECT_CONFIGURATION}};
  if (m.function) {
    if (e.kind == BusEvent::Control) {
      bool descriptor = e.setup[1] == 0x06 && (e.setup[0] & 0x60) == 0;
      USHORT f = descriptor ? URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE : URB_FUNCTION_VENDOR_DEVICE;
      if (*m.function != f) return false;
    } else if (functions.at(e.kind) != *m.function) {
      return false;
    }
  }
  if (m.request && (e.kind != BusEvent::Control || e.setup[1] != *m.request)) return false;
  if (m.in && (e.kind != BusEvent::Control || ((e.setup[0] & kDirIn) != 0) != *m.in)) return false;
  if (m.descriptor_type && (e.kind != BusEvent::Control || e.setup[3] != *m.descriptor_type)) {
    return false;
  }
  if (m.endpoint && e.endpoint != *m.endpoint) return false;
  return true;
}

// The data buffer of a transfer URB, by address or by MDL.
uint8_t* transfer_buffer(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
  if (mdl != nullptr) return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  return nullptr;
}

void put_setup(uint8_t* setup, UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
  setup[0] = type;
  setup[1] = request;
  setup[2] = static_cast<uint8_t>(value);
  setup[3] = static_cast<uint8_t>(value >> 8);
  setup[4] = static_cast<uint8_t>(index);
  setup[5] = static_cast<uint8_t>(index >> 8);
  setup[6] = static_cast<uint8_t>(length);
  setup[7] = static_cast<uint8_t>(length >> 8);
}

USBD_PIPE_TYPE pipe_type(UCHAR attributes) {
  switch (attributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
      return UsbdPipeTypeControl;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
      return UsbdPipeTypeBulk;
    default:
      return UsbdPipeTypeInterrupt;
  }
}

// Finds an interface descriptor in a configuration descriptor block.
const uint8_t* find_interface(const std::vector<uint8_t>& config, UCHAR number, UCHAR alternate) {
  size_t total = config.size() >= 4 ? std::min<size_t>(config.size(), config[2] | (config[3] << 8)) : 0;
  for (size_t at = 0; at + 2 <= total && config[at] >= 2;) {
    if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && config[at] >= 9 && at + 9 <= total &&
        config[at + 2] == number && config[at + 3] == alternate) {
      return &config[at];
    }
    at += config[at];
  }
  return nullptr;
}

// Endpoint descriptors that follow an interface descriptor, up to the next one.
std::vector<const uint8_t*> endpoints_after(const std::vector<uint8_t>& config, const uint8_t* iface) {
  std::vector<const uint8_t*> list;
  size_t total = std::min<size_t>(config.size(), config[2] | (config[3] << 8));
  size_t at = static_cast<size_t>(iface - config.data()) + iface[0];
  while (at + 2 <= total && config[at] >= 2 && config[at + 1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && config[at] >= 7 && at + 7 <= total) {
      list.push_back(&config[at]);
    }
    at += config[at];
  }
  return list;
}

// Ends a transfer taken off its pipe's queue. Until its completion routines have
// run it counts as a completion in progress (`completing`, raised when it was
// taken), which an abort of the pipe waits for.
template <typename Finish>
void finish_counted(std::mutex& mutex, std::condition_variable& idle, int* completing, Finish finish) {
  finish();
  if (completing == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex);
  --*completing;
  idle.notify_all();
}

ULONG interface_size(ULONG pipes) {
  return static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * pipes -
                            sizeof(USBD_PIPE_INFORMATION));
}

}  // namespace

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
  for (auto& [handle, pipe] : pipes_) n += pipe->queue.size();
  return n;
}

bool UsbDevice::wait_for_pending(size_t count, std::chrono::milliseconds bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  auto pending = [&] {
    size_t n = deferred_control_.size();
    for (auto& [handle, pipe] : pipes_) n += pipe->queue.size();
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

void UsbDevice::fail_urb(const UrbMatch& match, USBD_STATUS usbd, NTSTATUS irp_status, int nth, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.push_back({Injection::Fail, match, nth - 1, times, usbd, irp_status});
}

void UsbDevice::refuse_urb(const UrbMatch& match, NTSTATUS status, int nth) {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.push_back({Injection::Refuse, match, nth - 1, 1, USBD_STATUS_REQUEST_FAILED, status});
}

void UsbDevice::hold(const UrbMatch& match) {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.push_back({Injection::Hold, match, 0, INT32_MAX, USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

void UsbDevice::release_held() {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.erase(std::remove_if(injections_.begin(), injections_.end(),
                                   [](const Injection& i) { return i.kind == Injection::Hold; }),
                    injections_.end());
  for (auto& t : deferred_control_) t.held = false;
  for (auto& [handle, pipe] : pipes_) {
    for (auto& t : pipe->queue) t.held = false;
  }
  work_.notify_all();
}

void UsbDevice::truncate_descriptor(UCHAR type, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  truncated_[type] = bytes;
}

void UsbDevice::short_transfers(uint32_t bytes, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  short_bytes_ = bytes;
  short_times_ = times;
}

void UsbDevice::short_control(const UrbMatch& match, uint32_t bytes, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  Injection injection{Injection::ShortControl, match, 0, times, USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  injection.bytes = bytes;
  injections_.push_back(injection);
}

void UsbDevice::stall_pipe(UCHAR endpoint) {
  std::vector<Transfer> stalled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [handle, pipe] : pipes_) {
      if (pipe->info.EndpointAddress != endpoint) continue;
      pipe->stalled = true;
      for (auto it = pipe->queue.begin(); it != pipe->queue.end();) {
        if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
          ++it;
          continue;
        }
        pipe->completing++;
        stalled.push_back(*it);
        it = pipe->queue.erase(it);
      }
    }
  }
  for (auto& t : stalled) {
    finish_counted(mutex_, idle_, &t.pipe->completing,
                   [&] { finish(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL); });
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
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.push_back(
      {Injection::Unplug, match, nth - 1, 1, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED});
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
    if (--it->times <= 0) injections_.erase(it);
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

NTSTATUS UsbDevice::dispatch_urb(PIRP irp, PURB urb) {
  std::optional<Injection> injection = take_injection(urb);
  bool held = false;
  if (injection) {
    switch (injection->kind) {
      case Injection::Unplug:
        disconnect();
        break;
      case Injection::Refuse:
        return complete_now(irp, urb, injection->usbd, injection->status);
      case Injection::Fail:
        return fail_injected(irp, urb, *injection);
      case Injection::Hold:
        held = true;
        break;
      case Injection::ShortControl:
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE && present()) {
          std::lock_guard<std::mutex> lock(mutex_);
          short_control_[urb] = injection->bytes;
        }
        break;
    }
  }
  if (!present()) return complete_now(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
      return control_transfer(irp, urb, held);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return select_configuration(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return bulk_transfer(irp, urb, held);
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
      std::lock_guard<std::mutex> lock(mutex_);
      Pipe* pipe = find_pipe(urb->UrbBulkOrInterruptTransfer.PipeHandle);
      if (pipe != nullptr) {
        Transfer t{irp, urb, pipe};
        t.requested = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        t.forced = true;
        t.forced_usbd = injection.usbd;
        t.forced_status = injection.status;
        pipe->queue.push_back(t);
        IoMarkIrpPending(irp);
        irp_set_held_below(irp, true);
        (void)IoSetCancelRoutine(irp, bus_cancel);
        work_.notify_all();
        return STATUS_PENDING;
      }
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
      e.kind = BusEvent::Bulk;
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      put_setup(e.setup, static_cast<UCHAR>(0x40 | (in ? kDirIn : 0)), v.Request, v.Value, v.Index,
                static_cast<USHORT>(v.TransferBufferLength));
      v.TransferBufferLength = 0;
      later = true;
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      put_setup(e.setup, kDirIn, 0x06, static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                static_cast<USHORT>(d.TransferBufferLength));
      d.TransferBufferLength = 0;
      later = true;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      e.kind = BusEvent::SelectConfiguration;
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
  IoMarkIrpPending(irp);
  irp_set_held_below(irp, true);
  std::lock_guard<std::mutex> lock(mutex_);
  (void)IoSetCancelRoutine(irp, bus_cancel);
  deferred_control_.push_back(t);
  work_.notify_all();
  return STATUS_PENDING;
}

// ---- control transfers ----

NTSTATUS UsbDevice::control_transfer(PIRP irp, PURB urb, bool held) {
  if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
    take_short_control(urb);
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  bool defer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    defer = held || control_deferred_;
  }
  if (defer) return queue_transfer(irp, urb, nullptr, held);
  USBD_STATUS usbd;
  NTSTATUS status;
  run_control(urb, &usbd, &status);
  return complete_now(irp, urb, usbd, status);
}

void UsbDevice::run_control(PURB urb, USBD_STATUS* usbd, NTSTATUS* status) {
  *status = urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? get_descriptor(urb, usbd)
                                                                               : vendor_request(urb, usbd);
}

NTSTATUS UsbDevice::get_descriptor(PURB urb, USBD_STATUS* usbd) {
  auto& d = urb->UrbControlDescriptorRequest;
  uint8_t* buffer = transfer_buffer(d.TransferBuffer, d.TransferBufferMDL);
  if ((buffer == nullptr && d.TransferBufferLength > 0) || d.TransferBufferLength > 0xFFFF) {
    *usbd = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  BusEvent e{BusEvent::Control};
  e.urb_length = urb->UrbHeader.Length;
  e.requested = d.TransferBufferLength;
  put_setup(e.setup, kDirIn, 0x06, static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId,
            static_cast<USHORT>(d.TransferBufferLength));
  const std::vector<uint8_t>* source = d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE ? &device_descriptor_
                                       : d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE
                                           ? &configuration_descriptor_
                                           : nullptr;
  if (source == nullptr || d.Index != 0) {
    e.usbd_status = *usbd = USBD_STATUS_STALL_PID;
    e.irp_status = STATUS_UNSUCCESSFUL;
    d.TransferBufferLength = 0;
    trace_event(e);
    return STATUS_UNSUCCESSFUL;
  }
  size_t n = std::min<size_t>(d.TransferBufferLength, source->size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto cut = truncated_.find(d.DescriptorType);
    if (cut != truncated_.end()) n = std::min<size_t>(n, cut->second);
  }
  if (n > 0) memcpy(buffer, source->data(), n);
  d.TransferBufferLength = static_cast<ULONG>(n);
  e.actual = static_cast<uint32_t>(n);
  e.data.assign(source->begin(), source->begin() + static_cast<long>(n));
  trace_event(e);
  *usbd = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

// The data-stage limit injected for a URB, taken so that it applies once.
std::optional<uint32_t> UsbDevice::take_short_control(PURB urb) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = short_control_.find(urb);
  if (it == short_control_.end()) return std::nullopt;
  uint32_t bytes = it->second;
  short_control_.erase(it);
  return bytes;
}

NTSTATUS UsbDevice::vendor_request(PURB urb, USBD_STATUS* usbd) {
  std::optional<uint32_t> limit = take_short_control(urb);
  auto& v = urb->UrbControlVendorClassRequest;
  bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  uint8_t* buffer = transfer_buffer(v.TransferBuffer, v.TransferBufferMDL);
  if ((buffer == nullptr && v.TransferBufferLength > 0) || v.TransferBufferLength > 0xFFFF) {
    *usbd = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  BusEvent e{BusEvent::Control};
  e.urb_length = urb->UrbHeader.Length;
  e.transfer_flags = v.TransferFlags;
  e.requested = v.TransferBufferLength;
  put_setup(e.setup, static_cast<UCHAR>(0x40 | (in ? kDirIn : 0) | v.RequestTypeReservedBits), v.Request,
            v.Value, v.Index, static_cast<USHORT>(v.TransferBufferLength));
  std::vector<uint8_t> stage(v.TransferBufferLength);
  if (!in && !stage.empty()) memcpy(stage.data(), buffer, stage.size());
  VendorResult r = camera_.vendor_request(e.setup, stage.data(), v.TransferBufferLength);
  if (in && limit) r.length = std::min(r.length, *limit);
  if (in && r.length > 0) memcpy(buffer, stage.data(), r.length);
  v.TransferBufferLength = r.length;
  e.actual = r.length;
  e.data.assign(stage.begin(), stage.begin() + (in ? r.length : stage.size()));
  e.usbd_status = *usbd = r.status;
  e.irp_status = USBD_SUCCESS(r.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  trace_event(e);
  std::lock_guard<std::mutex> lock(mutex_);
  work_.notify_all();  // a trigger may have queued a frame
  return e.irp_status;
}

// ---- configuration ----

// The smallest request: the unconfigure form is a whole record; a configuration
// with an interface of no endpoints ends after that interface's fixed part.
NTSTATUS UsbDevice::select_configuration(PIRP irp, PURB urb) {
  size_t minimum = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr
                       ? sizeof(struct _URB_SELECT_CONFIGURATION)
                       : offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + interface_size(0);
  if (urb->UrbHeader.Length < minimum) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  USBD_STATUS usbd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    usbd = apply_configuration(urb);
  }
  if (USBD_ERROR(usbd)) {
    NTSTATUS status = usbd == USBD_STATUS_ERROR_BUSY ? STATUS_DEVICE_BUSY : STATUS_INVALID_PARAMETER;
    return complete_now(irp, urb, usbd, status);
  }
  return complete_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// Fills in the interface information of a select-configuration request and makes
// its pipes; a null configuration descriptor unconfigures. Called locked.
USBD_STATUS UsbDevice::apply_configuration(PURB urb) {
  auto& s = urb->UrbSelectConfiguration;
  for (auto& [handle, pipe] : pipes_) {
    // A pipe with a completion in progress is still in use by it.
    if (!pipe->queue.empty() || pipe->completing > 0) return USBD_STATUS_ERROR_BUSY;
  }
  BusEvent e{s.ConfigurationDescriptor == nullptr ? BusEvent::Unconfigure : BusEvent::SelectConfiguration};
  e.urb_length = urb->UrbHeader.Length;
  pipes_.clear();
  configuration_ = 0;
  UCHAR value = 0;
  if (s.ConfigurationDescriptor != nullptr) {
    value = s.ConfigurationDescriptor->bConfigurationValue;
    if (value != configuration_descriptor_[5]) return USBD_STATUS_INVALID_PARAMETER;
    auto* info = &s.Interface;
    auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    while (reinterpret_cast<uint8_t*>(info) + interface_size(0) <= end) {
      if (!fill_interface(info, end)) {
        pipes_.clear();
        return USBD_STATUS_INVALID_PARAMETER;
      }
      info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(info) + info->Length);
    }
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x2000 + value);
    configuration_ = value;
  }
  put_setup(e.setup, 0x00, 0x09, value, 0, 0);
  trace_.push_back(e);
  traced_.notify_all();
  return USBD_STATUS_SUCCESS;
}

bool UsbDevice::fill_interface(PUSBD_INTERFACE_INFORMATION info, const uint8_t* end) {
  const uint8_t* iface =
      find_interface(configuration_descriptor_, info->InterfaceNumber, info->AlternateSetting);
  if (info->Length < interface_size(0) || iface == nullptr || info->Length < interface_size(iface[4]) ||
      reinterpret_cast<const uint8_t*>(info) + info->Length > end) {
    return false;
  }
  info->Class = iface[5];
  info->SubClass = iface[6];
  info->Protocol = iface[7];
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1000 + iface[2] * 16 + iface[3]);
  std::vector<const uint8_t*> eps = endpoints_after(configuration_descriptor_, iface);
  info->NumberOfPipes = static_cast<ULONG>(std::min<size_t>(eps.size(), iface[4]));
  for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
    USBD_PIPE_INFORMATION& pi = info->Pipes[p];
    pi.MaximumPacketSize = static_cast<USHORT>(eps[p][4] | (eps[p][5] << 8));
    pi.EndpointAddress = eps[p][2];
    pi.Interval = eps[p][6];
    pi.PipeType = pipe_type(eps[p][3]);
    auto pipe = std::make_unique<Pipe>();
    pi.PipeHandle = pipe.get();
    pipe->info = pi;
    pipes_[pi.PipeHandle] = std::move(pipe);
  }
  return true;
}

UsbDevice::Pipe* UsbDevice::find_pipe(USBD_PIPE_HANDLE handle) {
  auto it = pipes_.find(handle);
  return it == pipes_.end() ? nullptr : it->second.get();
}

// ---- bulk transfers and the host controller ----

NTSTATUS UsbDevice::queue_transfer(PIRP irp, PURB urb, Pipe* pipe, bool held) {
  IoMarkIrpPending(irp);
  irp_set_held_below(irp, true);
  Transfer t{irp, urb, pipe};
  t.requested = pipe != nullptr ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  t.held = held;
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
    } else if (complete_inline_ && !held && !pipe->stalled) {
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
  return queue_transfer(irp, urb, pipe, held);
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

void UsbDevice::delete_pdo() {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pdo = pdo_;
    pdo_ = nullptr;
    present_ = false;
  }
  if (pdo != nullptr) IoDeleteDevice(pdo);
}

bool UsbDevice::signal_wake() {
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

// ---- Plug and Play and power ----

NTSTATUS UsbDevice::dispatch_pnp(PIRP irp) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pnp_deferred_) {
      IoMarkIrpPending(irp);
      irp_set_held_below(irp, true);
      deferred_pnp_.push_back(irp);
      work_.notify_all();
      return STATUS_PENDING;
    }
  }
  return serve_pnp(irp);
}

void UsbDevice::fail_pnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_pnp_[minor] = status;
}

void UsbDevice::set_pnp_deferred(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  pnp_deferred_ = on;
}

NTSTATUS UsbDevice::serve_pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  std::optional<NTSTATUS> failed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failed_pnp_.find(stack->MinorFunction);
    if (it != failed_pnp_.end()) {
      failed = it->second;
      failed_pnp_.erase(it);
    }
  }
  if (failed) {
    irp->IoStatus.Status = *failed;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return *failed;
  }
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      DEVICE_CAPABILITIES filled = config_.capabilities;
      filled.Size = caps->Size;
      filled.Version = caps->Version;
      *caps = filled;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        present_ = false;
      }
      fail_all(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      IoDeleteDevice(pdo_);
      std::lock_guard<std::mutex> lock(mutex_);
      pdo_ = nullptr;
      return STATUS_SUCCESS;
    }
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbDevice::dispatch_power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        std::lock_guard<std::mutex> lock(mutex_);
        power_ = stack->Parameters.Power.State.DeviceState;
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE: {
      std::lock_guard<std::mutex> lock(mutex_);
      if (wait_wake_ == nullptr && present_) {
        IoMarkIrpPending(irp);
        irp_set_held_below(irp, true);
        wait_wake_ = irp;
        (void)IoSetCancelRoutine(irp, bus_cancel);
        return STATUS_PENDING;
      }
      status = STATUS_DEVICE_BUSY;
      break;
    }
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim
