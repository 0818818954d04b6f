// The default control pipe: descriptor reads, vendor requests to the camera, and
// the selection of a configuration that gives the pipes their handles. These run
// on the host-controller thread at DISPATCH_LEVEL by default, or inside
// IofCallDriver when the test asks. Locking as in device.cpp.
#include <algorithm>

#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "device_internal.h"

namespace sim {

// ---- control transfers ----

NTSTATUS UsbDevice::control_transfer(PIRP irp, PURB urb, Serve serve) {
  if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
    take_short_control(urb);
    return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  bool defer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    defer = serve == Serve::Held || (serve == Serve::Default && control_deferred_);
  }
  if (defer) {
    Transfer t{irp, urb, nullptr};
    t.held = serve == Serve::Held;
    return pend(t);
  }
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
  descriptor_setup(d, e.setup);
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
  size_t n = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (source == &configuration_descriptor_ && configuration_change_in_ > 0 &&
        --configuration_change_in_ == 0) {
      configuration_descriptor_ = changed_configuration_;
    }
    n = std::min<size_t>(d.TransferBufferLength, source->size());
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
  vendor_setup(v, e.setup);
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
NTSTATUS UsbDevice::select_configuration(PIRP irp, PURB urb, Serve serve) {
  size_t minimum = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr
                       ? sizeof(struct _URB_SELECT_CONFIGURATION)
                       : offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + interface_size(0);
  if (urb->UrbHeader.Length < minimum) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (serve == Serve::Held || (serve == Serve::Default && control_deferred_)) {
    lock.unlock();
    Transfer t{irp, urb, nullptr};
    t.held = serve == Serve::Held;
    return pend(t);
  }
  // Completions in progress end first (this thread is at PASSIVE_LEVEL and is not
  // the host controller, which completes aborted transfers).
  idle_.wait(lock, [this] { return !completions_in_progress(); });
  USBD_STATUS usbd;
  NTSTATUS status;
  run_select_configuration(urb, &usbd, &status);
  lock.unlock();
  return complete_now(irp, urb, usbd, status);
}

// Called locked, with no completion in progress on any pipe.
void UsbDevice::run_select_configuration(PURB urb, USBD_STATUS* usbd, NTSTATUS* status) {
  *usbd = apply_configuration(urb);
  *status = !USBD_ERROR(*usbd)                ? STATUS_SUCCESS
            : *usbd == USBD_STATUS_ERROR_BUSY ? STATUS_DEVICE_BUSY
                                              : STATUS_INVALID_PARAMETER;
}

// Called locked.
bool UsbDevice::completions_in_progress() const {
  if (!finishing_.empty()) return true;
  for (auto& entry : pipes_) {
    if (entry.second->completing > 0) return true;
  }
  return false;
}

// Fills in the interface information of a select-configuration request and makes
// its pipes; a null configuration descriptor unconfigures. Called locked.
USBD_STATUS UsbDevice::apply_configuration(PURB urb) {
  auto& s = urb->UrbSelectConfiguration;
  for (auto& entry : pipes_) {
    if (!entry.second->queue.empty()) return USBD_STATUS_ERROR_BUSY;
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
    // Handles are never reused, so a stale one can never name a newer pipe.
    auto pipe = std::make_shared<Pipe>();
    pi.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(next_pipe_handle_);
    next_pipe_handle_ += 0x10;
    pipe->info = pi;
    pipes_[pi.PipeHandle] = std::move(pipe);
  }
  return true;
}

// Called locked. The caller's reference keeps the pipe alive after the lock is
// dropped, whatever an unconfigure does meanwhile.
std::shared_ptr<UsbDevice::Pipe> UsbDevice::find_pipe(USBD_PIPE_HANDLE handle) const {
  auto it = pipes_.find(handle);
  return it == pipes_.end() ? nullptr : it->second;
}

}  // namespace sim
