// Helpers shared by the files of the simulated USB device. They take no lock of
// the bus; the cancel spin lock, in cancel_requested, comes after the engine lock.
#pragma once

#include <map>
#include <mutex>

#include <sim/usb_bus.h>

#include "../kernel/internal.h"

namespace sim {

VOID NTAPI bus_cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);

using camera_core::kDirIn;

// The IRP's Cancel flag, read under the cancel spin lock that IoCancelIrp sets it under.
inline bool cancel_requested(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  bool cancel = irp->Cancel != FALSE;
  IoReleaseCancelSpinLock(irql);
  return cancel;
}

// The levels a report names by their own spelling.
#define SIM_IRQLS(X) \
  X(PASSIVE_LEVEL)   \
  X(APC_LEVEL)       \
  X(DISPATCH_LEVEL)

inline const char* irql_name(KIRQL irql) {
  switch (irql) {
    SIM_IRQLS(SIM_NAME_CASE)
    default:
      return "an IRQL above DISPATCH_LEVEL";
  }
}

// The length field of a transfer URB (bulk, vendor or descriptor request), or null
// for any other URB or one whose header is too short to hold the field.
inline ULONG* transfer_length(PURB urb) {
  ULONG* length = nullptr;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      length = &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
      length = &urb->UrbControlVendorClassRequest.TransferBufferLength;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      length = &urb->UrbControlDescriptorRequest.TransferBufferLength;
      break;
    default:
      return nullptr;
  }
  size_t end = static_cast<size_t>(reinterpret_cast<uint8_t*>(length + 1) - reinterpret_cast<uint8_t*>(urb));
  return urb->UrbHeader.Length >= end ? length : nullptr;
}

inline NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A power request the bus answers now.
inline NTSTATUS complete_power(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A request the bus turns down without running it. A transfer among them moved
// nothing and says so: the USB stack returns the bytes moved in the URB's length,
// whatever way the transfer ended.
inline NTSTATUS refuse(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  ULONG* length = transfer_length(urb);
  if (length != nullptr) *length = 0;
  return complete_now(irp, urb, usbd, status);
}

// The data buffer of a transfer URB, by address or by MDL.
inline uint8_t* transfer_buffer(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
  if (mdl != nullptr)
    return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
  return nullptr;
}

// The data buffer a transfer URB names, by address or by MDL, and its length;
// all null for a URB without one.
struct UrbBuffer {
  PVOID buffer = nullptr;
  PMDL mdl = nullptr;
  ULONG length = 0;
};

inline UrbBuffer urb_buffer(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& b = urb->UrbBulkOrInterruptTransfer;
      return {b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength};
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      return {v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength};
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      return {d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength};
    }
    default:
      return {};
  }
}

// The memory a queued transfer's URB points the bus at: registered while the bus
// holds the transfer, so that the driver freeing it meanwhile is reported.
inline void hold_urb_memory(PIRP irp, PURB urb, bool hold) {
  UrbBuffer data = urb_buffer(urb);
  if (!hold) {
    held_memory_remove(urb);
    held_memory_remove(data.buffer);
    held_memory_remove(data.mdl);
    return;
  }
  std::string of = " of " + describe_irp(irp) + ",";
  held_memory_add(urb, urb->UrbHeader.Length, "the URB" + of);
  if (data.buffer != nullptr) held_memory_add(data.buffer, data.length, "the transfer buffer" + of);
  if (data.buffer == nullptr && data.mdl != nullptr)
    held_memory_add(data.mdl, sizeof(MDL), "the transfer MDL" + of);
}

// The setup packets the bus puts on the wire for a descriptor read and a vendor request.
inline void descriptor_setup(const struct _URB_CONTROL_DESCRIPTOR_REQUEST& d, uint8_t* setup) {
  camera_core::setup_packet(setup, kDirIn, camera_core::kGetDescriptor,
                            static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                            static_cast<USHORT>(d.TransferBufferLength));
}

inline void vendor_setup(const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& v, uint8_t* setup) {
  bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  camera_core::setup_packet(
      setup, static_cast<UCHAR>(camera_core::kVendorRequest | (in ? kDirIn : 0) | v.RequestTypeReservedBits),
      v.Request, v.Value, v.Index, static_cast<USHORT>(v.TransferBufferLength));
}

inline USBD_PIPE_TYPE pipe_type(UCHAR attributes) {
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
inline const uint8_t* find_interface(const std::vector<uint8_t>& config, UCHAR number, UCHAR alternate) {
  return camera_core::find_interface(config.data(), config.size(), number, alternate);
}

// Endpoint descriptors that follow an interface descriptor, up to the next one.
inline std::vector<const uint8_t*> endpoints_after(const std::vector<uint8_t>& config, const uint8_t* iface) {
  std::vector<const uint8_t*> list(
      camera_core::endpoints_after(config.data(), config.size(), iface, nullptr, 0));
  camera_core::endpoints_after(config.data(), config.size(), iface, list.data(), list.size());
  return list;
}

inline ULONG interface_size(ULONG pipes) {
  return static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * pipes -
                            sizeof(USBD_PIPE_INFORMATION));
}

}  // namespace sim
