// Descriptors of a simulated camera, built by the camera core from its configuration.
#include <sim/camera.h>

namespace sim {

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
  std::vector<uint8_t> d(camera_core::kDeviceDescriptorBytes);
  camera_core::device_descriptor(config.vendor_id, config.product_id, d.data());
  return d;
}

std::vector<uint8_t> build_configuration_descriptor(const CameraConfig& config) {
  std::vector<std::vector<camera_core::Endpoint>> endpoints;
  std::vector<camera_core::Interface> interfaces;
  for (const InterfaceConfig& i : config.interfaces) {
    endpoints.emplace_back();
    for (const EndpointConfig& e : i.endpoints)
      endpoints.back().push_back({e.address, e.type, e.max_packet, e.interval});
  }
  for (size_t i = 0; i < config.interfaces.size(); ++i) {
    interfaces.push_back({config.interfaces[i].number, config.interfaces[i].alternate, endpoints[i].data(),
                          endpoints[i].size()});
  }
  std::vector<uint8_t> d(
      camera_core::configuration_descriptor(interfaces.data(), interfaces.size(), nullptr, 0));
  camera_core::configuration_descriptor(interfaces.data(), interfaces.size(), d.data(), d.size());
  return d;
}

std::vector<InterfaceConfig> CameraConfig::default_interfaces() {
  InterfaceConfig only;
  for (const camera_core::Endpoint& e : camera_core::kEndpoints)
    only.endpoints.push_back({e.address, e.type, e.max_packet, e.interval});
  return {only};
}

}  // namespace sim
