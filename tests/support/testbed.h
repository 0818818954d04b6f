// A simulated machine with the Quorvex driver loaded, and helpers the tests share.
#pragma once

#include <gtest/gtest.h>
#include <sim/app.h>
#include <sim/inject.h>
#include <sim/platform.h>
#include <sim/verifier.h>

#include <chrono>
#include <memory>
#include <vector>

#include "driver/device_context.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace quorvex::test {

using namespace std::chrono_literals;
// Only a hang detector: generous, so that a sanitizer build on a loaded machine never trips it.
constexpr auto kBound = 20s;

inline sim::CameraConfig camera(USHORT product = 0x100A) {
  sim::CameraConfig config;
  config.product_id = product;
  return config;
}

class Testbed : public ::testing::Test {
 protected:
  Testbed() : platform_(std::make_unique<sim::Platform>(CamDriverEntry)) {}

  sim::Platform& platform() { return *platform_; }

  // Plugs a camera and expects it to start.
  sim::UsbDevice& plug(const sim::CameraConfig& config = camera()) {
    sim::Platform::Plugged plugged = platform_->plug(config);
    EXPECT_EQ(plugged.add_status, STATUS_SUCCESS);
    EXPECT_EQ(plugged.start_status, STATUS_SUCCESS);
    return *plugged.device;
  }

  PCAM_DEVICE_EXTENSION extension(sim::UsbDevice& device) {
    PDEVICE_OBJECT fdo = platform_->fdo(device);
    return fdo == nullptr ? nullptr : static_cast<PCAM_DEVICE_EXTENSION>(fdo->DeviceExtension);
  }

  static std::wstring user_name(int instance) { return L"\\\\.\\Quorvex-" + std::to_wstring(instance); }

  sim::Handle open(int instance = 0, NTSTATUS expected = STATUS_SUCCESS) {
    sim::Handle handle = sim::kInvalidHandle;
    EXPECT_EQ(sim::nt_create_file(user_name(instance), &handle), expected);
    return handle;
  }

  std::unique_ptr<sim::Platform> platform_;
};

}  // namespace quorvex::test
