// Descriptors of a simulated camera, built from its configuration.
#include <set>

#include <sim/camera.h>

namespace sim {
namespace {

void put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

DEVICE_CAPABILITIES CameraConfig::default_capabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  caps.Removable = 1;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps.DeviceState[s] = PowerDeviceD3;
  caps.SystemWake = PowerSystemWorking;
  caps.DeviceWake = PowerDeviceUnspecified;
  return caps;
}

std::vector<uint8_t> build_device_descriptor(const CameraConfig& config) {
  std::vector<uint8_t> d{18, USB_DEVICE_DESCRIPTOR_TYPE};
  put16(d, 0x0200);                           // bcdUSB
  d.insert(d.end(), {0xFF, 0x00, 0x00, 64});  // vendor class, EP0 packet size
  put16(d, config.vendor_id);
  put16(d, config.product_id);
  put16(d, 0x0100);                 // bcdDevice
  d.insert(d.end(), {1, 2, 0, 1});  // strings, one configuration
  return d;
}

std::vector<uint8_t> build_configuration_descriptor(const CameraConfig& config) {
  std::vector<uint8_t> body;
  std::set<UCHAR> numbers;
  for (const InterfaceConfig& i : config.interfaces) {
    numbers.insert(i.number);
    body.insert(body.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate,
                             static_cast<uint8_t>(i.endpoints.size()), 0xFF, 0x00, 0x00, 0});
    for (const EndpointConfig& e : i.endpoints) {
      body.insert(body.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type});
      put16(body, e.max_packet);
      body.push_back(e.interval);
    }
  }
  std::vector<uint8_t> d{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
  put16(d, static_cast<uint16_t>(9 + body.size()));
  d.insert(d.end(), {static_cast<uint8_t>(numbers.size()), 1, 0, 0x80, 250});
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

}  // namespace sim
