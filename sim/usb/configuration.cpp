// Selecting a configuration: the interface information the request carries is
// filled in from the camera's configuration descriptor, and the pipes it names
// are made afresh; a null descriptor unconfigures.
//
// Locking and levels as in transfer_engine.h: the pipes change under the engine
// lock, with no completion in progress on any pipe; the camera's lock is taken
// inside it to read the descriptor. A select-configuration request comes at
// PASSIVE_LEVEL and may wait for completions in progress to end.
#include <algorithm>

#include "bus_trace.h"
#include "device_internal.h"
#include "transfer_engine.h"

namespace sim {

// The smallest request: the unconfigure form is a whole record; a configuration
// with an interface of no endpoints ends after that interface's fixed part.
NTSTATUS TransferEngine::select_configuration(PIRP irp, PURB urb, Serve serve) {
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
void TransferEngine::run_select_configuration(PURB urb, USBD_STATUS* usbd, NTSTATUS* status) {
  *usbd = apply_configuration(urb);
  *status = !USBD_ERROR(*usbd)                ? STATUS_SUCCESS
            : *usbd == USBD_STATUS_ERROR_BUSY ? STATUS_DEVICE_BUSY
                                              : STATUS_INVALID_PARAMETER;
}

// Called locked.
bool TransferEngine::completions_in_progress() const {
  if (!finishing_.empty()) return true;
  for (auto& entry : pipes_) {
    if (entry.second->completing > 0) return true;
  }
  return false;
}

// Fills in the interface information of a select-configuration request and makes
// its pipes; a null configuration descriptor unconfigures. Called locked.
USBD_STATUS TransferEngine::apply_configuration(PURB urb) {
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
    std::vector<uint8_t> config = camera_.configuration_descriptor();
    value = s.ConfigurationDescriptor->bConfigurationValue;
    if (value != config[5]) return USBD_STATUS_INVALID_PARAMETER;
    auto* info = &s.Interface;
    auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    while (reinterpret_cast<uint8_t*>(info) + interface_size(0) <= end) {
      if (!fill_interface(info, end, config)) {
        pipes_.clear();
        return USBD_STATUS_INVALID_PARAMETER;
      }
      info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(info) + info->Length);
    }
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x2000 + value);
    configuration_ = value;
  }
  camera_core::setup_packet(e.setup, 0x00, camera_core::kSetConfiguration, value, 0, 0);
  trace_.record(e);
  return USBD_STATUS_SUCCESS;
}

// Called locked.
bool TransferEngine::fill_interface(PUSBD_INTERFACE_INFORMATION info, const uint8_t* end,
                                    const std::vector<uint8_t>& config) {
  const uint8_t* iface = find_interface(config, info->InterfaceNumber, info->AlternateSetting);
  if (info->Length < interface_size(0) || iface == nullptr || info->Length < interface_size(iface[4]) ||
      reinterpret_cast<const uint8_t*>(info) + info->Length > end) {
    return false;
  }
  info->Class = iface[5];
  info->SubClass = iface[6];
  info->Protocol = iface[7];
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1000 + iface[2] * 16 + iface[3]);
  std::vector<const uint8_t*> eps = endpoints_after(config, iface);
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

// The caller's reference keeps the pipe alive after the lock is dropped, whatever
// an unconfigure does meanwhile.
std::shared_ptr<Pipe> TransferEngine::find_pipe(USBD_PIPE_HANDLE handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = pipes_.find(handle);
  return it == pipes_.end() ? nullptr : it->second;
}

std::optional<UCHAR> TransferEngine::endpoint_of(USBD_PIPE_HANDLE handle) const {
  std::shared_ptr<Pipe> pipe = find_pipe(handle);
  if (pipe == nullptr) return std::nullopt;
  return pipe->info.EndpointAddress;
}

}  // namespace sim
