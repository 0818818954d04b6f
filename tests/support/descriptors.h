// Camera configurations for tests that vary the USB descriptors.
#pragma once

#include <sim/camera.h>

namespace quorvex::test {

inline sim::InterfaceConfig interface(UCHAR number, UCHAR alternate,
                                      std::vector<sim::EndpointConfig> endpoints) {
  return sim::InterfaceConfig{number, alternate, std::move(endpoints)};
}

inline sim::EndpointConfig bulk_in(UCHAR address) {
  return {static_cast<UCHAR>(0x80 | address), USB_ENDPOINT_TYPE_BULK};
}
inline sim::EndpointConfig bulk_out(UCHAR address) { return {address, USB_ENDPOINT_TYPE_BULK}; }
inline sim::EndpointConfig interrupt_in(UCHAR address) {
  return {static_cast<UCHAR>(0x80 | address), USB_ENDPOINT_TYPE_INTERRUPT, 64, 8};
}

// The configuration descriptor the camera would present, for a test to edit.
inline std::vector<uint8_t> configuration_of(const sim::CameraConfig& config) {
  return sim::build_configuration_descriptor(config);
}

inline void set_total_length(std::vector<uint8_t>& config, uint16_t total) {
  config[2] = static_cast<uint8_t>(total);
  config[3] = static_cast<uint8_t>(total >> 8);
}

}  // namespace quorvex::test
