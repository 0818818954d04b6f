// One plugged camera as the USB stack sees it: the device's parts put together,
// and the routing of each URB to the part that serves it, after the checks every
// URB passes and the failure the test injected for it, if any.
//
// Locking: this file takes no lock of its own; each part it calls takes its own,
// in the order written at UsbDevice. URBs arrive at up to DISPATCH_LEVEL (pipe and
// configuration requests at PASSIVE_LEVEL only), in the sender's thread.
#include <sim/app.h>
#include <sim/usb_bus.h>

#include "../kernel/internal.h"
#include "bus_trace.h"
#include "device_internal.h"
#include "fault_plan.h"
#include "transfer_engine.h"

namespace sim {

UsbDevice::UsbDevice(UsbBus& bus, CameraConfig config, PDEVICE_OBJECT pdo)
    : bus_(bus),
      config_(std::move(config)),
      pdo_(pdo),
      camera_(config_),
      trace_(std::make_unique<BusTrace>()),
      faults_(std::make_unique<FaultPlan>()),
      engine_(std::make_unique<TransferEngine>(camera_, *trace_, *faults_)) {
  camera_.set_listener([engine = engine_.get()] { engine->wake(); });
  engine_->start({[this](PURB urb, USBD_STATUS* usbd, NTSTATUS* status) { run_control(urb, usbd, status); },
                  [this](PIRP irp) { serve_pnp(irp); }});
}

// The engine, destroyed first, stops the host controller's thread.
UsbDevice::~UsbDevice() { camera_.set_listener(nullptr); }

PDEVICE_OBJECT UsbDevice::pdo() const { return pdo_; }
bool UsbDevice::present() const { return engine_->connected(); }
DEVICE_POWER_STATE UsbDevice::power_state() const { return engine_->power(); }
int UsbDevice::configuration_value() const { return engine_->configuration_value(); }
bool UsbDevice::system_sleeping() const { return engine_->system_sleeping(); }

std::vector<BusEvent> UsbDevice::trace() const { return trace_->events(); }
void UsbDevice::clear_trace() { trace_->clear(); }

bool UsbDevice::wait_for_events(const UrbMatch& match, size_t count, std::chrono::milliseconds bound) {
  return trace_->wait_for(match, count, bound);
}

uint64_t UsbDevice::urbs_arrived() const { return trace_->arrivals(); }

bool UsbDevice::wait_for_urbs(uint64_t count, std::chrono::milliseconds bound) {
  return trace_->wait_for_arrivals(count, bound);
}

size_t UsbDevice::pending_transfers() const { return engine_->pending(); }

bool UsbDevice::wait_for_pending(size_t count, std::chrono::milliseconds bound) {
  return engine_->wait_for_pending(count, bound);
}

// ---- the test's settings and injections ----

void UsbDevice::inject(const Injection& injection) { faults_->add(injection); }

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
  faults_->release_holds();
  engine_->release_held();
}

void UsbDevice::truncate_descriptor(UCHAR type, uint32_t bytes) { faults_->truncate_descriptor(type, bytes); }

void UsbDevice::change_descriptor(UCHAR type, int nth, std::vector<uint8_t> bytes) {
  faults_->change_descriptor(type, nth, std::move(bytes));
}

void UsbDevice::short_transfers(uint32_t bytes, int times) { faults_->short_bulk(bytes, times); }

void UsbDevice::short_control(const UrbMatch& match, uint32_t bytes, int times) {
  Injection injection{Injection::ShortControl, match, 0, times, USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  injection.bytes = bytes;
  inject(injection);
}

void UsbDevice::stall_pipe(UCHAR endpoint) { engine_->stall(endpoint); }
void UsbDevice::set_complete_inline(bool on) { engine_->set_complete_inline(on); }
void UsbDevice::set_control_deferred(bool on) { engine_->set_control_deferred(on); }

void UsbDevice::unplug_on(const UrbMatch& match, int nth) {
  inject({Injection::Unplug, match, nth - 1, 1, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED});
}

void UsbDevice::clear_injections() { faults_->clear(); }

size_t UsbDevice::armed_injections() const { return faults_->armed(); }

void UsbDevice::disconnect() {
  engine_->unplug();
  engine_->fail_all(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

void UsbDevice::cancel(PIRP irp) { engine_->cancel(irp); }

// ---- dispatch ----

namespace {

// The pipe a bulk or pipe request names, read only when the URB
// is long enough to hold the handle.
std::optional<USBD_PIPE_HANDLE> pipe_named(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      if (urb->UrbHeader.Length < offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags)) break;
      return urb->UrbBulkOrInterruptTransfer.PipeHandle;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      if (urb->UrbHeader.Length < offsetof(struct _URB_PIPE_REQUEST, Reserved)) break;
      return urb->UrbPipeRequest.PipeHandle;
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace

// The bus takes pipe and configuration requests at PASSIVE_LEVEL only, since it
// waits inside them; anything else up to DISPATCH_LEVEL.
#define SIM_PASSIVE_URB_FUNCTIONS(X) \
  X(URB_FUNCTION_ABORT_PIPE)         \
  X(URB_FUNCTION_RESET_PIPE)         \
  X(URB_FUNCTION_SELECT_CONFIGURATION)

namespace {

// The function's name when the bus takes it at PASSIVE_LEVEL only, else null.
const char* passive_only(USHORT function) {
  switch (function) {
    SIM_PASSIVE_URB_FUNCTIONS(SIM_NAME_CASE)
    default:
      return nullptr;
  }
}

}  // namespace

bool UsbDevice::irql_allowed(PURB urb) {
  const char* name = passive_only(urb->UrbHeader.Function);
  KIRQL irql = current_irql();
  if (name == nullptr || irql == PASSIVE_LEVEL) return true;
  report_fault(Fault::UrbAtWrongIrql, std::string(name) + " sent at " + irql_name(irql) +
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
  trace_->arrived();
  std::optional<USBD_PIPE_HANDLE> pipe = pipe_named(urb);
  std::optional<Injection> injection = faults_->take(urb, pipe ? engine_->endpoint_of(*pipe) : std::nullopt);
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
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE && present())
          faults_->limit_control(urb, injection->bytes);
        break;
    }
  }
  return route_urb(irp, urb, serve);
}

// A request reaches the part that serves it once the port can take it.
NTSTATUS UsbDevice::route_urb(PIRP irp, PURB urb, Serve serve) {
  if (!present()) return refuse(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  // A stopped device has given up its configuration: the function driver sends
  // nothing between the stop reaching the bus and the next start.
  if (engine_->stopped()) return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_STATE);
  USHORT function = urb->UrbHeader.Function;
  bool transfer = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                  function == URB_FUNCTION_VENDOR_DEVICE ||
                  function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  // A suspended port moves nothing: the device must be back in D0, and the
  // system working, first.
  if (transfer && (power_state() != PowerDeviceD0 || system_sleeping())) {
    faults_->take_control_limit(urb);
    return refuse(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_POWERED_OFF);
  }
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
      return control_transfer(irp, urb, serve);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return engine_->select_configuration(irp, urb, serve);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return engine_->bulk_transfer(irp, urb, serve);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      return pipe_request(irp, urb);
    default:
      return complete_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
}

// A pipe request of the old stack's length is taken only from a driver that was
// told the old USBDI version.
NTSTATUS UsbDevice::pipe_request(PIRP irp, PURB urb) {
  USHORT expected = sizeof(struct _URB_PIPE_REQUEST);
  bool old_stack = bus_.usbdi_version() < 0x101;
  USHORT length = urb->UrbHeader.Length;
  if (length != expected && !(old_stack && length == expected - 4)) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  std::shared_ptr<Pipe> pipe = engine_->find_pipe(urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) {
    return complete_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  }
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return engine_->abort_pipe(irp, urb, pipe);
  return engine_->reset_pipe(irp, urb, pipe);
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
      std::shared_ptr<Pipe> pipe = engine_->find_pipe(urb->UrbBulkOrInterruptTransfer.PipeHandle);
      if (pipe != nullptr) {
        Transfer t{irp, urb, pipe};
        t.requested = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        t.forced = true;
        t.forced_usbd = injection.usbd;
        t.forced_status = injection.status;
        return engine_->pend(t);
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
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
      // Traced as the pipe request it is, failed, so that a test counts every try.
      e.kind = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ? BusEvent::AbortPipe : BusEvent::ResetPipe;
      std::optional<USBD_PIPE_HANDLE> pipe = pipe_named(urb);
      std::optional<UCHAR> endpoint = pipe ? engine_->endpoint_of(*pipe) : std::nullopt;
      e.endpoint = endpoint.value_or(0);
      break;
    }
    default:
      break;
  }
  trace_->record(e);
  if (!(later && engine_->control_deferred()))
    return complete_now(irp, urb, injection.usbd, injection.status);
  Transfer t{irp, urb, nullptr};
  t.forced = true;
  t.forced_usbd = injection.usbd;
  t.forced_status = injection.status;
  return engine_->pend(t);
}

}  // namespace sim
