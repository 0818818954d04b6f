// The camera a slot of the bus plays: its descriptors, its firmware's answers to
// vendor requests (a register file behind request 0xB7; anything of a length the
// firmware does not take stalls), and the trace of what it was sent.
#include "bus.h"

#define QVX_IMAGE_ENDPOINT 0x82
#define QVX_COMMAND_ENDPOINT 0x01

// Sensor window at power-on, height and width less one: the whole sensor, as the
// simulated camera has it (2592 x 1944, 2048 x 1536 on 0x100E, else 1280 x 1024).
void qvx_camera_init(qvx_camera* camera, USHORT vendor, USHORT product) {
  RtlZeroMemory(camera, sizeof(*camera));
  KeInitializeSpinLock(&camera->lock);
  camera->vendor_id = vendor;
  camera->product_id = product;
  BOOLEAN large = product == 0x100B || product == 0x100C || product == 0x100D || product == 0x100F;
  BOOLEAN medium = product == 0x100E;
  camera->registers[0x03] = large ? 1943 : medium ? 1535 : 1023;
  camera->registers[0x04] = large ? 2591 : medium ? 2047 : 1279;
  camera->frame_size = 4096;
  const UCHAR addresses[QVX_PIPES] = {QVX_COMMAND_ENDPOINT, QVX_IMAGE_ENDPOINT};
  for (int i = 0; i < QVX_PIPES; i++) {
    camera->pipes[i].address = addresses[i];
    camera->pipes[i].type = USB_ENDPOINT_TYPE_BULK;
    camera->pipes[i].max_packet = 512;
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

static UCHAR* qvx_put16(UCHAR* at, USHORT value) {
  at[0] = (UCHAR)value;
  at[1] = (UCHAR)(value >> 8);
  return at + 2;
}

// 18 bytes: USB 2.0, vendor class, 64-byte control endpoint, one configuration.
ULONG qvx_device_descriptor(qvx_camera* camera, UCHAR* out) {
  static const UCHAR head[] = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0x00, 0x00, 64};
  RtlCopyMemory(out, head, sizeof(head));
  UCHAR* at = qvx_put16(out + sizeof(head), camera->vendor_id);
  at = qvx_put16(at, camera->product_id);
  at = qvx_put16(at, 0x0100);
  static const UCHAR tail[] = {1, 2, 0, 1};
  RtlCopyMemory(at, tail, sizeof(tail));
  return 18;
}

// One configuration, one vendor-class interface, its two bulk endpoints: commands
// out, image in (the last one).
ULONG qvx_configuration_descriptor(qvx_camera* camera, UCHAR* out) {
  const ULONG total = 9 + 9 + 7 * QVX_PIPES;
  const UCHAR head[] = {9,
                        USB_CONFIGURATION_DESCRIPTOR_TYPE,
                        (UCHAR)total,
                        0,
                        1,
                        1,
                        0,
                        0x80,
                        250,
                        9,
                        USB_INTERFACE_DESCRIPTOR_TYPE,
                        0,
                        0,
                        QVX_PIPES,
                        0xFF,
                        0,
                        0,
                        0};
  RtlCopyMemory(out, head, sizeof(head));
  UCHAR* at = out + sizeof(head);
  for (int i = 0; i < QVX_PIPES; i++) {
    const qvx_pipe* pipe = &camera->pipes[i];
    const UCHAR endpoint[] = {7,          USB_ENDPOINT_DESCRIPTOR_TYPE, pipe->address,
                              pipe->type, (UCHAR)pipe->max_packet,      (UCHAR)(pipe->max_packet >> 8),
                              0};
    RtlCopyMemory(at, endpoint, sizeof(endpoint));
    at += sizeof(endpoint);
  }
  return total;
}

struct qvx_request_rule {
  UCHAR request;
  BOOLEAN in;
  ULONG lengths[2];  // accepted data lengths; {0, 0}: any
};

static const qvx_request_rule qvx_rules[] = {
    {0xB3, FALSE, {10, 16}}, {0xB4, FALSE, {10, 10}}, {0xB7, FALSE, {1, 2}}, {0xB7, TRUE, {2, 2}},
    {0xB8, FALSE, {10, 10}}, {0xB9, FALSE, {2, 2}},   {0xBA, FALSE, {0, 0}}, {0xBA, TRUE, {0, 0}},
    {0xBB, TRUE, {4, 4}},    {0xBC, FALSE, {2, 2}},   {0xBD, FALSE, {2, 2}}, {0xBE, FALSE, {4, 4}},
    {0xBF, FALSE, {10, 10}}, {0xC0, TRUE, {8, 8}},
};

static BOOLEAN qvx_accepted(UCHAR request, BOOLEAN in, ULONG length) {
  for (ULONG i = 0; i < sizeof(qvx_rules) / sizeof(qvx_rules[0]); i++) {
    const qvx_request_rule* rule = &qvx_rules[i];
    if (rule->request != request || rule->in != in) continue;
    return (rule->lengths[0] == 0 && rule->lengths[1] == 0) || length == rule->lengths[0] ||
           length == rule->lengths[1];
  }
  return FALSE;
}

static void qvx_put32(UCHAR* at, ULONG value) {
  for (int i = 0; i < 4; i++) at[i] = (UCHAR)(value >> (8 * i));
}

// Under the camera's lock. Requests 0xB3 queue a frame; 0xB7 reaches the
// registers; 0xBA, 0xBB and 0xC0 answer with bytes derived from their value.
static void qvx_firmware(qvx_camera* camera, UCHAR request, BOOLEAN in, USHORT value, UCHAR* data,
                         ULONG length) {
  switch (request) {
    case 0xB3:
      camera->frames_queued++;
      break;
    case 0xB7:
      if (in) {
        qvx_put16(data, camera->registers[value & 0xFF]);
      } else {
        camera->registers[value & 0xFF] = (USHORT)(length == 2 ? data[0] | (data[1] << 8) : data[0]);
      }
      break;
    case 0xBA:
      for (ULONG i = 0; in && i < length; i++) data[i] = (UCHAR)(value + i);
      break;
    case 0xBB:
      qvx_put32(data, 0x00BB0000u | value);
      break;
    case 0xC0:
      qvx_put32(data, 0x01C00000u | value);
      qvx_put32(data + 4, camera->frame_size);
      break;
    default:
      break;
  }
}

// Any IRQL up to DISPATCH_LEVEL. `length` is the data stage asked for, and
// becomes the bytes moved.
USBD_STATUS qvx_vendor_request(qvx_camera* camera, const UCHAR setup[8], UCHAR* data, ULONG* length) {
  BOOLEAN in = (setup[0] & 0x80) != 0;
  USHORT value = (USHORT)(setup[2] | (setup[3] << 8));
  KIRQL irql;
  KeAcquireSpinLock(&camera->lock, &irql);
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if (camera->stalls > 0) {
    camera->stalls--;
    status = USBD_STATUS_STALL_PID;
  } else if ((setup[0] & 0x60) != 0x40 || !qvx_accepted(setup[1], in, *length)) {
    status = USBD_STATUS_STALL_PID;
  } else {
    qvx_firmware(camera, setup[1], in, value, data, *length);
  }
  KeReleaseSpinLock(&camera->lock, irql);
  if (status != USBD_STATUS_SUCCESS) *length = 0;
  if (setup[1] == 0xB3 && status == USBD_STATUS_SUCCESS)
    KeSetEvent(&camera->bus->work, IO_NO_INCREMENT, FALSE);
  return status;
}
