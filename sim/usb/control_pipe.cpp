// The default control pipe: descriptor reads and vendor requests to the camera.
// They run on the host-controller thread at DISPATCH_LEVEL by default, or inside
// IofCallDriver when the test asks.
//
// Locking: none held here. The camera, the fault plan and the trace each take
// their own leaf-side lock per call; the engine's lock is taken only to queue.
#include <algorithm>
#include <cstring>

#include <sim/usb_bus.h>

#include "bus_trace.h"
#include "device_internal.h"
#include "fault_plan.h"
#include "transfer_engine.h"

namespace sim {

NTSTATUS UsbDevice::control_transfer(PIRP irp, PURB urb, Serve serve) {
  if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
    faults_->take_control_limit(urb);
    return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  if (serve == Serve::Held || (serve == Serve::Default && engine_->control_deferred())) {
    Transfer t{irp, urb, nullptr};
    t.held = serve == Serve::Held;
    return engine_->pend(t);
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
  std::vector<uint8_t> source;
  if (d.Index != 0 || !camera_.descriptor(d.DescriptorType, &source)) {
    e.usbd_status = *usbd = USBD_STATUS_STALL_PID;
    e.irp_status = STATUS_UNSUCCESSFUL;
    d.TransferBufferLength = 0;
    trace_->record(e);
    return STATUS_UNSUCCESSFUL;
  }
  std::optional<std::vector<uint8_t>> changed = faults_->descriptor_read(d.DescriptorType);
  if (changed) {
    camera_.replace_descriptor(d.DescriptorType, *changed);
    source = std::move(*changed);
  }
  size_t n = std::min<size_t>(d.TransferBufferLength, source.size());
  std::optional<uint32_t> cut = faults_->truncation(d.DescriptorType);
  if (cut) n = std::min<size_t>(n, *cut);
  if (n > 0) memcpy(buffer, source.data(), n);
  d.TransferBufferLength = static_cast<ULONG>(n);
  e.actual = static_cast<uint32_t>(n);
  e.data.assign(source.begin(), source.begin() + static_cast<long>(n));
  trace_->record(e);
  *usbd = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::vendor_request(PURB urb, USBD_STATUS* usbd) {
  std::optional<uint32_t> limit = faults_->take_control_limit(urb);
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
  trace_->record(e);
  engine_->wake();  // a trigger may have queued a frame
  return e.irp_status;
}

}  // namespace sim
