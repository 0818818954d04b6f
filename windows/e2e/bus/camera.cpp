// The camera a slot of the bus plays: the simulated camera's core
// (<sim/camera_core.h>) for its descriptors and its firmware's answers to vendor
// requests, run under the camera's lock, and the trace of what it was sent.
#include "bus.h"

// At power-on the sensor window is the whole sensor; the pipes are the core's
// endpoints, in its order (the image pipe last).
void qvx_camera_init(qvx_camera* camera, USHORT vendor, USHORT product) {
  RtlZeroMemory(camera, sizeof(*camera));
  KeInitializeSpinLock(&camera->lock);
  camera->vendor_id = vendor;
  camera->product_id = product;
  sim::camera_core::firmware_init(&camera->firmware, product);
  camera->frame_size = 4096;
  for (int i = 0; i < QVX_PIPES; i++) {
    camera->pipes[i].address = sim::camera_core::kEndpoints[i].address;
    InitializeListHead(&camera->pipes[i].queue);
  }
}

// Any IRQL up to DISPATCH_LEVEL. A full trace keeps counting but stores no more.
void qvx_trace(qvx_camera* camera, const QVXBUS_TRACE_ENTRY* entry) {
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  if (camera->trace_count < QVXBUS_TRACE_ENTRIES) camera->trace[camera->trace_count] = *entry;
  camera->trace_count++;
  KeReleaseSpinLock(&camera->lock, irql);
}

void qvx_trace_pnp(qvx_camera* camera, UCHAR minor) {
  QVXBUS_TRACE_ENTRY entry;
  RtlZeroMemory(&entry, sizeof(entry));
  entry.Event = QVXBUS_EVENT_PNP;
  entry.Minor = minor;
  qvx_trace(camera, &entry);
}

ULONG qvx_device_descriptor(qvx_camera* camera, UCHAR* out) {
  sim::camera_core::device_descriptor(camera->vendor_id, camera->product_id, out);
  return sim::camera_core::kDeviceDescriptorBytes;
}

// The core's one interface with its endpoints.
ULONG qvx_configuration_descriptor(UCHAR* out, ULONG capacity) {
  const sim::camera_core::Interface only = {0, 0, sim::camera_core::kEndpoints, QVX_PIPES};
  return (ULONG)sim::camera_core::configuration_descriptor(&only, 1, out, capacity);
}

// Any IRQL up to DISPATCH_LEVEL. `length` is the data stage asked for, and
// becomes the bytes moved. Stalls the test asked for come before the firmware.
USBD_STATUS qvx_vendor_request(qvx_camera* camera, const UCHAR setup[8], UCHAR* data, ULONG* length) {
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if (camera->stalls > 0) {
    camera->stalls--;
    status = USBD_STATUS_STALL_PID;
  } else if (!sim::camera_core::vendor_request(&camera->firmware, setup, data, *length, camera->frame_size,
                                               NULL)) {
    status = USBD_STATUS_STALL_PID;
  }
  KeReleaseSpinLock(&camera->lock, irql);
  if (status != USBD_STATUS_SUCCESS) *length = 0;
  if (setup[1] == 0xB3 && status == USBD_STATUS_SUCCESS)
    KeSetEvent(&camera->bus->work, IO_NO_INCREMENT, FALSE);
  return status;
}
