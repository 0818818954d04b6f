// The USB requests a camera answers, as a hub driver would: descriptors, the
// configuration and its pipes, control transfers to the firmware, pipe aborts and
// resets; bulk transfers go to bulk.cpp.
#include "bus.h"

static NTSTATUS qvx_finish(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  urb->UrbHeader.Status = usbd;
  return qvx_complete(irp, status, 0);
}

// The control transfers: answered now, handed back by the worker.
static NTSTATUS qvx_finish_later(qvx_camera* camera, PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  urb->UrbHeader.Status = usbd;
  return qvx_complete_later(camera->bus, irp, status);
}

static void qvx_trace_control(qvx_camera* camera, const UCHAR setup[8], const UCHAR* data, ULONG length,
                              ULONG moved, USBD_STATUS usbd) {
  QVXBUS_TRACE_ENTRY entry;
  RtlZeroMemory(&entry, sizeof(entry));
  entry.Event = QVXBUS_EVENT_CONTROL;
  RtlCopyMemory(entry.Setup, setup, 8);
  entry.Length = length;
  entry.Moved = moved;
  entry.UsbdStatus = (uint32_t)usbd;
  entry.IrpStatus = (uint32_t)(USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  // What crossed the bus: an OUT request's data as sent, an IN request's as returned.
  ULONG shown = ((setup[0] & 0x80) ? moved : length);
  if (data != NULL) RtlCopyMemory(entry.Data, data, shown < QVXBUS_TRACE_DATA ? shown : QVXBUS_TRACE_DATA);
  qvx_trace(camera, &entry);
}

// The bus drivers of the platform take buffers by address or by MDL; these
// cameras only by address, which is what the drivers above them pass.
static UCHAR* qvx_buffer(PVOID buffer, PMDL mdl) {
  if (buffer != NULL || mdl == NULL) return (UCHAR*)buffer;
  return (UCHAR*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
}

static NTSTATUS qvx_get_descriptor(qvx_camera* camera, PIRP irp, PURB urb) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &urb->UrbControlDescriptorRequest;
  UCHAR image[64];
  ULONG size = 0;
  if (request->Index == 0 && request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
    size = qvx_device_descriptor(camera, image);
  } else if (request->Index == 0 && request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    size = qvx_configuration_descriptor(image, sizeof(image));
  }
  UCHAR setup[8];
  sim::camera_core::setup_packet(setup, sim::camera_core::kDirIn, sim::camera_core::kGetDescriptor,
                                 (USHORT)(request->DescriptorType << 8 | request->Index), request->LanguageId,
                                 (USHORT)request->TransferBufferLength);
  UCHAR* buffer = qvx_buffer(request->TransferBuffer, request->TransferBufferMDL);
  USBD_STATUS usbd = size == 0 ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
  if (buffer == NULL && request->TransferBufferLength > 0) usbd = USBD_STATUS_INVALID_PARAMETER;
  ULONG moved = 0;
  if (USBD_SUCCESS(usbd)) {
    moved = request->TransferBufferLength < size ? request->TransferBufferLength : size;
    RtlCopyMemory(buffer, image, moved);
  }
  request->TransferBufferLength = moved;
  qvx_trace_control(camera, setup, buffer, 0, moved, usbd);
  return qvx_finish_later(camera, irp, urb, usbd, USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

static qvx_pipe* qvx_pipe_at(qvx_camera* camera, UCHAR address) {
  for (int i = 0; i < QVX_PIPES; i++) {
    if (camera->pipes[i].address == address) return &camera->pipes[i];
  }
  return NULL;
}

// Fills the interface the caller asked for from the camera's own configuration
// descriptor, as the core parses it: its class and one pipe an endpoint, each
// pipe the camera's pipe of that endpoint.
static USBD_STATUS qvx_fill_interface(qvx_camera* camera, struct _URB_SELECT_CONFIGURATION* select) {
  PUSBD_INTERFACE_INFORMATION info = &select->Interface;
  UCHAR config[64];
  ULONG size = qvx_configuration_descriptor(config, sizeof(config));
  const uint8_t* iface =
      sim::camera_core::find_interface(config, size, info->InterfaceNumber, info->AlternateSetting);
  if (iface == NULL) return USBD_STATUS_INVALID_PARAMETER;
  const uint8_t* endpoints[QVX_PIPES];
  ULONG count = (ULONG)sim::camera_core::endpoints_after(config, size, iface, endpoints, QVX_PIPES);
  if (count == 0 || count > QVX_PIPES) return USBD_STATUS_INVALID_PARAMETER;
  ULONG needed = sizeof(USBD_INTERFACE_INFORMATION) + (count - 1) * sizeof(USBD_PIPE_INFORMATION);
  ULONG available = select->Hdr.Length - FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
  if (info->Length < needed || available < needed) return USBD_STATUS_BUFFER_TOO_SMALL;
  info->Class = iface[5];
  info->SubClass = iface[6];
  info->Protocol = iface[7];
  info->InterfaceHandle = camera;
  info->NumberOfPipes = count;
  for (ULONG i = 0; i < count; i++) {
    const uint8_t* endpoint = endpoints[i];
    PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
    pipe->EndpointAddress = endpoint[2];
    pipe->PipeType = (USBD_PIPE_TYPE)(endpoint[3] & USB_ENDPOINT_TYPE_MASK);  // the same numbering
    pipe->MaximumPacketSize = (USHORT)(endpoint[4] | endpoint[5] << 8);
    pipe->Interval = endpoint[6];
    pipe->PipeHandle = qvx_pipe_at(camera, endpoint[2]);
  }
  select->ConfigurationHandle = &camera->pipes[0];
  return USBD_STATUS_SUCCESS;
}

static NTSTATUS qvx_select_configuration(qvx_camera* camera, PIRP irp, PURB urb) {
  struct _URB_SELECT_CONFIGURATION* select = &urb->UrbSelectConfiguration;
  UCHAR setup[8];
  sim::camera_core::setup_packet(setup, 0x00, sim::camera_core::kSetConfiguration,
                                 select->ConfigurationDescriptor ? 1 : 0, 0, 0);
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  if (select->ConfigurationDescriptor != NULL) usbd = qvx_fill_interface(camera, select);
  qvx_trace_control(camera, setup, NULL, 0, 0, usbd);
  return qvx_finish_later(camera, irp, urb, usbd,
                          USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
}

// Control transfers to the firmware are answered at once: a control pipe finishes
// a transfer within the frame it is sent in.
static NTSTATUS qvx_vendor_transfer(qvx_camera* camera, PIRP irp, PURB urb) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
  BOOLEAN in = (request->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  ULONG length = request->TransferBufferLength;
  UCHAR setup[8];
  sim::camera_core::setup_packet(
      setup,
      (UCHAR)(sim::camera_core::kVendorRequest | (in ? sim::camera_core::kDirIn : 0) |
              request->RequestTypeReservedBits),
      request->Request, request->Value, request->Index, (USHORT)length);
  UCHAR* buffer = qvx_buffer(request->TransferBuffer, request->TransferBufferMDL);
  if ((buffer == NULL && length > 0) || length > 0xFFFF) {
    return qvx_finish(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  ULONG moved = length;
  USBD_STATUS usbd = qvx_vendor_request(camera, setup, buffer, &moved);
  request->TransferBufferLength = moved;
  qvx_trace_control(camera, setup, buffer, length, moved, usbd);
  return qvx_finish_later(camera, irp, urb, usbd, USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

static qvx_pipe* qvx_pipe_of(qvx_camera* camera, USBD_PIPE_HANDLE handle) {
  for (int i = 0; i < QVX_PIPES; i++) {
    if (handle == &camera->pipes[i]) return &camera->pipes[i];
  }
  return NULL;
}

static NTSTATUS qvx_pipe_request(qvx_camera* camera, PIRP irp, PURB urb) {
  qvx_pipe* pipe = qvx_pipe_of(camera, urb->UrbPipeRequest.PipeHandle);
  if (pipe == NULL) return qvx_finish(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  BOOLEAN abort = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE;
  QVXBUS_TRACE_ENTRY entry;
  RtlZeroMemory(&entry, sizeof(entry));
  entry.Event = abort ? QVXBUS_EVENT_ABORT : QVXBUS_EVENT_RESET;
  entry.Endpoint = pipe->address;
  qvx_trace(camera, &entry);
  // An abort completes before the transfers it cancels are handed back.
  if (abort) qvx_abort_pipe(camera, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  return qvx_finish(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

static NTSTATUS qvx_submit_urb(qvx_camera* camera, PIRP irp, PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return qvx_get_descriptor(camera, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return qvx_select_configuration(camera, irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
      return qvx_vendor_transfer(camera, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return qvx_bulk_submit(camera, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
      return qvx_pipe_request(camera, irp, urb);
    default: {
      QVXBUS_TRACE_ENTRY entry;
      RtlZeroMemory(&entry, sizeof(entry));
      entry.Event = QVXBUS_EVENT_OTHER;
      entry.Minor = urb->UrbHeader.Function;
      qvx_trace(camera, &entry);
      return qvx_finish(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
  }
}

// A camera that has left the bus, or was never started, answers nothing.
NTSTATUS qvx_camera_internal_ioctl(qvx_camera* camera, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return qvx_complete(irp, STATUS_NOT_SUPPORTED, 0);
  }
  PURB urb = (PURB)stack->Parameters.Others.Argument1;
  if (urb == NULL) return qvx_complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (!camera->plugged || !camera->started) {
    QVXBUS_TRACE_ENTRY entry;
    RtlZeroMemory(&entry, sizeof(entry));
    entry.Event =
        urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ? QVXBUS_EVENT_ABORT : QVXBUS_EVENT_OTHER;
    entry.Minor = urb->UrbHeader.Function;
    entry.UsbdStatus = (uint32_t)USBD_STATUS_DEVICE_GONE;
    entry.IrpStatus = (uint32_t)STATUS_DEVICE_NOT_CONNECTED;
    qvx_trace(camera, &entry);
    return qvx_finish(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
  return qvx_submit_urb(camera, irp, urb);
}
