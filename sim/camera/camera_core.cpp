// The simulated camera's core; see <sim/camera_core.h>. Compiled into the
// simulated platform and into the test bus, as kernel code there.
#include <sim/camera_core.h>

#include "../../include/quorvex/models.h"

namespace sim::camera_core {
namespace {

constexpr uint8_t kDeviceType = 0x01;         // USB_DEVICE_DESCRIPTOR_TYPE
constexpr uint8_t kConfigurationType = 0x02;  // USB_CONFIGURATION_DESCRIPTOR_TYPE
constexpr uint8_t kInterfaceType = 0x04;      // USB_INTERFACE_DESCRIPTOR_TYPE
constexpr uint8_t kEndpointType = 0x05;       // USB_ENDPOINT_DESCRIPTOR_TYPE

// Vendor requests the camera takes, by direction, and the data-stage lengths it
// takes them with.
struct RequestRule {
  uint8_t request;
  bool in;
  uint32_t lengths[2];  // {0, 0}: any
};

const RequestRule kRules[] = {
    {0xB3, false, {10, 16}}, {0xB4, false, {10, 10}}, {0xB7, false, {1, 2}}, {0xB7, true, {2, 2}},
    {0xB8, false, {10, 10}}, {0xB9, false, {2, 2}},   {0xBA, false, {0, 0}}, {0xBA, true, {0, 0}},
    {0xBB, true, {4, 4}},    {0xBC, false, {2, 2}},   {0xBD, false, {2, 2}}, {0xBE, false, {4, 4}},
    {0xBF, false, {10, 10}}, {0xC0, true, {8, 8}},
};

bool accepted(uint8_t request, bool in, uint32_t length) {
  for (const RequestRule& rule : kRules) {
    if (rule.request != request || rule.in != in) continue;
    return (rule.lengths[0] == 0 && rule.lengths[1] == 0) || length == rule.lengths[0] ||
           length == rule.lengths[1];
  }
  return false;
}

void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Writes `n` bytes at `at` of a block `capacity` long, as far as it reaches.
void put_bytes(uint8_t* out, size_t capacity, size_t at, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n && at + i < capacity; ++i) out[at + i] = bytes[i];
}

size_t total_length(const uint8_t* config, size_t size) {
  if (size < 4) return 0;
  size_t total = static_cast<size_t>(config[2] | (config[3] << 8));
  return total < size ? total : size;
}

}  // namespace

// A product of the table has its model's sensor at its own depth; any other
// product a test plugs in has the smallest sensor, in colour.
Sensor sensor_of(uint16_t product) {
  const CAM_PRODUCT* known = CamFindProduct(product);
  if (known == nullptr) return {1280, 1024, 3};
  return {known->Model->SensorWidth, known->Model->SensorHeight, known->BitsPerPixel / 8u};
}

const Endpoint kEndpoints[kEndpointCount] = {{0x01, 0x02, 512, 0}, {0x82, 0x02, 512, 0}};

void setup_packet(uint8_t setup[kSetupBytes], uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length) {
  setup[0] = type;
  setup[1] = request;
  put16(setup + 2, value);
  put16(setup + 4, index);
  put16(setup + 6, length);
}

void device_descriptor(uint16_t vendor, uint16_t product, uint8_t out[kDeviceDescriptorBytes]) {
  const uint8_t head[] = {18, kDeviceType, 0x00, 0x02, 0xFF, 0x00, 0x00, 64};
  for (size_t i = 0; i < sizeof(head); ++i) out[i] = head[i];
  put16(out + 8, vendor);
  put16(out + 10, product);
  put16(out + 12, 0x0100);              // bcdDevice
  const uint8_t tail[] = {1, 2, 0, 1};  // strings, one configuration
  for (size_t i = 0; i < sizeof(tail); ++i) out[14 + i] = tail[i];
}

size_t configuration_descriptor(const Interface* interfaces, size_t count, uint8_t* out, size_t capacity) {
  size_t at = 9;
  uint8_t numbers = 0;
  for (size_t i = 0; i < count; ++i) {
    const Interface& iface = interfaces[i];
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || interfaces[j].number == iface.number;
    if (!seen) numbers++;
    const uint8_t head[] = {
        9, kInterfaceType, iface.number, iface.alternate, static_cast<uint8_t>(iface.count), 0xFF, 0x00, 0x00,
        0};
    put_bytes(out, capacity, at, head, sizeof(head));
    at += sizeof(head);
    for (size_t e = 0; e < iface.count; ++e) {
      const Endpoint& ep = iface.endpoints[e];
      const uint8_t endpoint[] = {7,
                                  kEndpointType,
                                  ep.address,
                                  ep.type,
                                  static_cast<uint8_t>(ep.max_packet),
                                  static_cast<uint8_t>(ep.max_packet >> 8),
                                  ep.interval};
      put_bytes(out, capacity, at, endpoint, sizeof(endpoint));
      at += sizeof(endpoint);
    }
  }
  // Configuration value 1, self-powered, 500 mA.
  const uint8_t head[] = {
      9,  kConfigurationType, static_cast<uint8_t>(at), static_cast<uint8_t>(at >> 8), numbers, 1, 0, 0x80,
      250};
  put_bytes(out, capacity, 0, head, sizeof(head));
  return at;
}

const uint8_t* find_interface(const uint8_t* config, size_t size, uint8_t number, uint8_t alternate) {
  size_t total = total_length(config, size);
  for (size_t at = 0; at + 2 <= total && config[at] >= 2;) {
    if (config[at + 1] == kInterfaceType && config[at] >= 9 && at + 9 <= total && config[at + 2] == number &&
        config[at + 3] == alternate) {
      return config + at;
    }
    at += config[at];
  }
  return nullptr;
}

size_t endpoints_after(const uint8_t* config, size_t size, const uint8_t* iface, const uint8_t** out,
                       size_t capacity) {
  size_t total = total_length(config, size);
  size_t found = 0;
  size_t at = static_cast<size_t>(iface - config) + iface[0];
  while (at + 2 <= total && config[at] >= 2 && config[at + 1] != kInterfaceType) {
    if (config[at + 1] == kEndpointType && config[at] >= 7 && at + 7 <= total) {
      if (found < capacity) out[found] = config + at;
      found++;
    }
    at += config[at];
  }
  return found;
}

void firmware_init(Firmware* firmware, uint16_t product) {
  for (uint16_t& r : firmware->registers) r = 0;
  firmware->frames_queued = 0;
  firmware->triggers = 0;
  Sensor sensor = sensor_of(product);
  firmware->registers[kRegisterHeight] = static_cast<uint16_t>(sensor.height - 1);
  firmware->registers[kRegisterWidth] = static_cast<uint16_t>(sensor.width - 1);
}

pattern::Geometry window_of(const Firmware* firmware, uint32_t bytes_per_pixel) {
  return {firmware->registers[kRegisterWidth] + 1u, firmware->registers[kRegisterHeight] + 1u,
          bytes_per_pixel};
}

// Request 0xB3 releases a frame; 0xB7 reaches the registers by the low byte of
// its value; 0xBA stores blocks by value (a read past what is stored, or of a
// camera with no store, answers bytes rising from the value); 0xBB and 0xC0 answer
// with their value, 0xC0 with the frame size too. The others are taken and acted
// on by firmware state this model does not keep.
bool vendor_request(Firmware* firmware, const uint8_t setup[kSetupBytes], uint8_t* data, uint32_t length,
                    uint32_t frame_size, const BlockStore* blocks) {
  bool in = (setup[0] & kDirIn) != 0;
  uint8_t request = setup[1];
  uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
  if ((setup[0] & 0x60) != kVendorRequest || !accepted(request, in, length)) return false;
  uint16_t* reg = &firmware->registers[value & 0xFF];
  switch (request) {
    case 0xB3:
      firmware->frames_queued++;
      firmware->triggers++;
      break;
    case 0xB7:
      if (in) {
        put16(data, *reg);
      } else {
        *reg = static_cast<uint16_t>(length == 2 ? data[0] | (data[1] << 8) : data[0]);
      }
      break;
    case 0xBA:
      if (!in) {
        if (blocks != nullptr) blocks->write(blocks->context, value, data, length);
        break;
      }
      for (uint32_t i = blocks != nullptr ? blocks->read(blocks->context, value, data, length) : 0;
           i < length; ++i) {
        data[i] = static_cast<uint8_t>(value + i);
      }
      break;
    case 0xBB:
      put32(data, 0x00BB0000u | value);
      break;
    case 0xC0:
      put32(data, 0x01C00000u | value);
      put32(data + 4, frame_size);
      break;
    default:
      break;
  }
  return true;
}

void frame_begin(FrameCursor* cursor, uint32_t bytes, const pattern::Geometry& geometry) {
  cursor->in_frame = true;
  cursor->offset = 0;
  cursor->bytes = bytes;
  cursor->geometry = geometry;
}

uint64_t frame_left(const FrameCursor* cursor) {
  return cursor->in_frame ? cursor->bytes - cursor->offset : 0;
}

bool frame_send(FrameCursor* cursor, uint8_t* out, size_t length) {
  pattern::fill(cursor->geometry, cursor->frame, cursor->offset, out, length);
  cursor->offset += length;
  if (cursor->offset != cursor->bytes) return false;
  cursor->in_frame = false;
  cursor->frame++;
  return true;
}

void frame_skip(FrameCursor* cursor, uint32_t count) {
  cursor->in_frame = false;
  cursor->frame += count;
}

}  // namespace sim::camera_core
