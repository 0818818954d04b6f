// The host's platform: the driver loaded into the simulated platform, with the
// cameras plugged in and started as Plug and Play would.
#include <sim/platform.h>

#include <cstdio>

#include "platform.h"
#include "status.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace quorvex {

struct Platform::Simulation {
  sim::Platform platform{CamDriverEntry};
};

Platform::Platform(const std::vector<uint16_t>& simulated_products, SimulatedFrames frames)
    : simulation_(std::make_unique<Simulation>()) {
  for (uint16_t product : simulated_products) {
    sim::CameraConfig config;
    config.product_id = product;
    sim::Platform::Plugged plugged = simulation_->platform.plug(config);
    if (plugged.add_status == STATUS_SUCCESS && plugged.start_status == STATUS_SUCCESS) {
      plugged.device->camera().set_streaming(frames == SimulatedFrames::BackToBack);
      continue;
    }
    char id[8];
    std::snprintf(id, sizeof(id), "%04X", product);
    error_ = std::string("the simulated camera 04B4:") + id + " did not start: AddDevice " +
             Status(static_cast<uint32_t>(plugged.add_status), true).name() + ", start-device " +
             Status(static_cast<uint32_t>(plugged.start_status), true).name();
    return;
  }
}

Platform::~Platform() = default;

}  // namespace quorvex
