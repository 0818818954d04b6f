// The simulated camera's core, one source for the two places a camera is played:
// the simulated platform (sim/camera) and the test bus that plays the cameras
// under a Windows kernel (windows/e2e/bus). It holds what the camera is and says:
// its sensor by product, its descriptors, its register file and its answers to
// vendor requests (the lengths it takes; anything else stalls), and the cursor
// that cuts its picture (<sim/pattern.h>) into the bytes it sends.
//
// Self-contained like the pattern (only <stdint.h> and <stddef.h>, no allocation,
// no library calls, small stack frames), so that kernel code compiles it. It takes
// no lock: the caller holds its camera's lock around every call that is given a
// Firmware or a FrameCursor, at whatever level that lock allows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <sim/pattern.h>

namespace sim::camera_core {

// The sensor a product has, from the product table (<quorvex/models.h>): its
// whole window at power-on and its pixel depth.
struct Sensor {
  uint32_t width;
  uint32_t height;
  uint32_t bytes_per_pixel;  // 1: grey, 3: colour
};
Sensor sensor_of(uint16_t product);

// Registers 0x03 and 0x04 hold the window's height and width less one.
constexpr uint8_t kRegisterHeight = 0x03;
constexpr uint8_t kRegisterWidth = 0x04;

// ---- control transfers ----

constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kVendorRequest = 0x40;  // bmRequestType: vendor, to the device
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr size_t kSetupBytes = 8;

// The setup packet a bus puts on the wire for a control transfer.
void setup_packet(uint8_t setup[kSetupBytes], uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length);

// ---- descriptors ----

constexpr size_t kDeviceDescriptorBytes = 18;

struct Endpoint {
  uint8_t address;  // bit 7 set: IN
  uint8_t type;     // USB_ENDPOINT_TYPE_*
  uint16_t max_packet;
  uint8_t interval;
};

struct Interface {
  uint8_t number;
  uint8_t alternate;
  const Endpoint* endpoints;
  size_t count;
};

// The camera's one interface as it comes: commands out on 0x01, the image in on
// 0x82 (the last pipe), both bulk with 512-byte packets.
constexpr size_t kEndpointCount = 2;
extern const Endpoint kEndpoints[kEndpointCount];

// 18 bytes: USB 2.0, vendor class, 64-byte control endpoint, one configuration.
void device_descriptor(uint16_t vendor, uint16_t product, uint8_t out[kDeviceDescriptorBytes]);
// The configuration, its interfaces and their endpoints, vendor class. Writes up
// to `capacity` bytes; returns the whole length (wTotalLength).
size_t configuration_descriptor(const Interface* interfaces, size_t count, uint8_t* out, size_t capacity);

// The interface descriptor of `number` and `alternate` in a configuration
// descriptor of `size` bytes (trusted up to its wTotalLength), or null.
const uint8_t* find_interface(const uint8_t* config, size_t size, uint8_t number, uint8_t alternate);
// The endpoint descriptors that follow an interface descriptor, up to the next
// interface: writes up to `capacity` pointers, returns how many there are.
size_t endpoints_after(const uint8_t* config, size_t size, const uint8_t* iface, const uint8_t** out,
                       size_t capacity);

// ---- firmware ----

// Where a camera keeps the blocks request 0xBA writes, which the camera's owner
// provides (memory the core does not allocate). Without one, a read answers the
// bytes the block's value makes.
struct BlockStore {
  void* context;
  void (*write)(void* context, uint16_t value, const uint8_t* data, uint32_t length);
  // Copies up to `length` stored bytes; returns how many were stored.
  uint32_t (*read)(void* context, uint16_t value, uint8_t* data, uint32_t length);
};

struct Firmware {
  uint16_t registers[256];
  uint32_t frames_queued;  // released by request 0xB3 (or the test), not yet started
  uint32_t triggers;       // requests 0xB3 taken
};

// At power-on the window is the whole sensor.
void firmware_init(Firmware* firmware, uint16_t product);
pattern::Geometry window_of(const Firmware* firmware, uint32_t bytes_per_pixel);

// Handles a vendor control transfer: for IN requests `data` receives `length`
// bytes, for OUT requests it holds the data stage. `frame_size` is what request
// 0xC0 reports. False when the camera stalls it (a request or length it does not
// take), having changed nothing.
bool vendor_request(Firmware* firmware, const uint8_t setup[kSetupBytes], uint8_t* data, uint32_t length,
                    uint32_t frame_size, const BlockStore* blocks);

// ---- image ----

// The frame under way and the place the camera has reached in it.
struct FrameCursor {
  pattern::Geometry geometry;  // what the frame pictures, taken at its start
  uint32_t frame;              // sequence number of the frame under way (or next)
  uint64_t offset;             // bytes of it sent
  uint32_t bytes;              // its size, taken at its start
  bool in_frame;
};

// Starts the next frame: its size and window are fixed from here to its end.
void frame_begin(FrameCursor* cursor, uint32_t bytes, const pattern::Geometry& geometry);
// Bytes of the frame under way still to send (0 between frames).
uint64_t frame_left(const FrameCursor* cursor);
// Sends the next `length` bytes of the frame under way (at most frame_left).
// True when they end the frame, which then counts as sent.
bool frame_send(FrameCursor* cursor, uint8_t* out, size_t length);
// Ends the frame under way unsent, if any, and skips `count` frame numbers: the
// next frame starts from its first byte.
void frame_skip(FrameCursor* cursor, uint32_t count);

}  // namespace sim::camera_core
