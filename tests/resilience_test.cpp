// The driver where a second context turns against it: allocations and mappings
// failing at random, as Driver Verifier's low resources simulation makes them.
// Every request ends with some status, nothing leaks and the verifier stays silent;
// once resources are back the camera works as before.
#include <gtest/gtest.h>

#include <vector>

#include "include/quorvex/quorvex.h"
#include "sim/camera.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

namespace inject = sim::inject;

constexpr ULONG kFrame = 0x90000;  // two chunks and a short last packet

struct Reads {
  sim::UsbDevice* device;
  sim::Handle handle;

  NTSTATUS frame(ULONG code, std::vector<uint8_t>& buffer) {
    device->camera().queue_frames(1);
    return sim::nt_device_io_control(handle, code, nullptr, 0, buffer.data(),
                                     static_cast<ULONG>(buffer.size()), nullptr);
  }
  NTSTATUS register_read() {
    uint8_t reg = 0x20;
    uint32_t value = 0;
    return sim::nt_device_io_control(handle, IOCTL_CAM_READ_REGISTER, &reg, 1, &value, sizeof(value),
                                     nullptr);
  }
};

struct LowResourcesCase {
  const char* name;
  USHORT product;
  ULONG length;  // of the frame reads' buffer
};

class LowResources : public Testbed, public ::testing::WithParamInterface<LowResourcesCase> {};

TEST_P(LowResources, EveryRequestEndsCleanlyAndTheCameraWorksAfterwards) {
  sim::set_timeout_scale(0.05);  // a read whose transfer could not be had ends by its time-out
  sim::UsbDevice& device = plug(camera(GetParam().product));
  device.camera().set_frame_size(GetParam().length);
  Reads reads{&device, open()};
  std::vector<uint8_t> buffer(GetParam().length);
  for (uint32_t seed : {1u, 2u, 3u}) {
    inject::low_resources(seed, 0.2);
    int succeeded = 0;
    for (int i = 0; i < 10; ++i) {
      succeeded += NT_SUCCESS(reads.frame(IOCTL_CAM_READ_FRAME, buffer));
      succeeded += NT_SUCCESS(reads.frame(IOCTL_CAM_READ_FRAME_EX, buffer));
      succeeded += NT_SUCCESS(reads.register_read());
    }
    EXPECT_GT(inject::low_resources_failures(), 0) << seed;
    EXPECT_LT(succeeded, 30) << seed;
    inject::clear();
    device.camera().set_frame_size(0);  // frames a failed read left queued are dropped
    device.camera().set_frame_size(GetParam().length);
  }
  EXPECT_EQ(reads.frame(IOCTL_CAM_READ_FRAME_EX, buffer), STATUS_SUCCESS);
  EXPECT_EQ(reads.register_read(), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(reads.handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Products, LowResources,
                         ::testing::Values(LowResourcesCase{"Triggered100E", 0x100E, kFrame},
                                           LowResourcesCase{"PlainBulk1009", 0x1009, 0x4000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvex::test
