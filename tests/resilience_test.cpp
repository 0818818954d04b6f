// The driver where a second context turns against it: allocations and mappings
// failing at random, as Driver Verifier's low resources simulation makes them.
// Every request ends with some status, nothing leaks and the verifier stays silent;
// once resources are back the camera works as before.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "driver/driver.h"
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
  // Resources are back: the reads get their whole time-outs again, so a loaded
  // machine cannot make the camera look broken.
  sim::set_timeout_scale(1.0);
  EXPECT_EQ(reads.frame(IOCTL_CAM_READ_FRAME_EX, buffer), STATUS_SUCCESS);
  EXPECT_EQ(reads.register_read(), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(reads.handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Products, LowResources,
                         ::testing::Values(LowResourcesCase{"Triggered100E", 0x100E, kFrame},
                                           LowResourcesCase{"PlainBulk1009", 0x1009, 0x4000}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- an application's address where the bus needs a system one ----

bool g_user_address = false;

bool mentions(const sim::ExpectFault& expect, const std::string& text) {
  for (const std::string& message : expect.messages()) {
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

// A frame read that points its URB at the caller's buffer: at the system view of
// the request's MDL (right), or at the application's own address (wrong).
NTSTATUS NTAPI read_into(PDEVICE_OBJECT device, PIRP irp) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(device);
  PUSBD_PIPE_INFORMATION pipe = &extension->InterfaceInfo->Pipes[extension->InterfaceInfo->NumberOfPipes - 1];
  struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.PipeHandle = pipe->PipeHandle;
  urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  urb.TransferBufferLength = MmGetMdlByteCount(irp->MdlAddress);
  urb.TransferBuffer = g_user_address ? MmGetMdlVirtualAddress(irp->MdlAddress)
                                      : MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
  NTSTATUS status = CamSubmitUrbSync(device, reinterpret_cast<PURB>(&urb));
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? urb.TransferBufferLength : 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

using AddressSpaces = Testbed;

TEST_F(AddressSpaces, TheBusRefusesAnApplicationsAddressInAUrb) {
  sim::UsbDevice& device = plug(camera(0x100A));
  device.camera().set_frame_size(512);
  sim::Handle handle = open();
  PDRIVER_OBJECT driver = platform().driver().object();
  PDRIVER_DISPATCH saved = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = read_into;
  std::vector<uint8_t> buffer(512, 0xDE);
  for (bool user : {true, false}) {
    g_user_address = user;
    device.camera().queue_frames(1);
    std::unique_ptr<sim::ExpectFault> fault;
    if (user) fault = std::make_unique<sim::ExpectFault>(sim::Fault::UserAddressInUrb);
    NTSTATUS status =
        sim::nt_device_io_control(handle, IOCTL_CAM_READ_FRAME, nullptr, 0, buffer.data(), 512, nullptr);
    if (user) {
      EXPECT_TRUE(mentions(*fault, "of process application"));
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_TRUE(sim::pattern::matches(0, 0, buffer.data(), 512));
    }
  }
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = saved;
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// ---- the application killed in the middle of a frame read ----

struct ReadCase {
  const char* name;
  USHORT product;
  ULONG code;
  bool prompt;  // ends at once; otherwise by the read's own time-out
};

const ReadCase kReads[] = {
    {"PlainBulk", 0x1009, IOCTL_CAM_READ_FRAME, true},
    {"Triggered", 0x100E, IOCTL_CAM_READ_FRAME, false},
    {"Untriggered", 0x100E, IOCTL_CAM_READ_FRAME_EX, false},
};

class KilledInARead : public Testbed, public ::testing::WithParamInterface<ReadCase> {};

// A camera that sends part of a frame and then nothing: the thread is terminated
// once that part has arrived. The plain read gives way at once
// (its transfer cancelled, the bytes that came left in the buffer); a chunked read
// ends by its time-out (scaled down here) and the thread goes then, within the
// hang bound either way.
TEST_P(KilledInARead, TheThreadGoesOnceTheReadHasEnded) {
  sim::set_timeout_scale(0.1);
  sim::set_hang_report_after(std::chrono::milliseconds(1500));
  sim::UsbDevice& device = plug(camera(GetParam().product));
  constexpr ULONG kLength = 0x20000;
  constexpr ULONG kArrived = 0x4000;
  device.camera().set_frame_size(kLength);
  device.camera().stop_after(kArrived);
  if (GetParam().code == IOCTL_CAM_READ_FRAME_EX || GetParam().product == 0x1009)
    device.camera().queue_frames(1);
  std::vector<uint8_t> buffer(kLength, 0xDE);
  sim::Process process("viewer");
  NTSTATUS result = STATUS_PENDING;
  sim::AppThread thread(process, "reader", [&] {
    sim::Handle handle;
    ASSERT_EQ(sim::nt_create_file(user_name(0), &handle), STATUS_SUCCESS);
    result = sim::nt_device_io_control(handle, GetParam().code, nullptr, 0, buffer.data(), kLength, nullptr);
  });
  // The camera starts its frame under the bus's lock, which the cancel needs: once
  // it has, the bytes it had to send are in the transfer before the cancel is.
  auto bound = std::chrono::steady_clock::now() + kBound;
  while (device.camera().frames_started() == 0 && std::chrono::steady_clock::now() < bound) {
    std::this_thread::yield();
  }
  ASSERT_EQ(device.camera().frames_started(), 1u);
  auto terminated = std::chrono::steady_clock::now();
  thread.terminate();
  ASSERT_TRUE(thread.wait_exited(kBound));
  auto took = std::chrono::steady_clock::now() - terminated;
  EXPECT_TRUE(thread.terminated());
  EXPECT_EQ(result, STATUS_PENDING);  // the call never returned to the application
  if (GetParam().prompt) {
    EXPECT_LT(took, std::chrono::milliseconds(100));
    std::vector<sim::BusEvent> trace = device.trace();
    ASSERT_FALSE(trace.empty());
    const sim::BusEvent& last = trace.back();
    EXPECT_EQ(last.kind, sim::BusEvent::Bulk);
    EXPECT_EQ(last.irp_status, STATUS_CANCELLED);
    ASSERT_EQ(last.actual, kArrived);
    EXPECT_TRUE(sim::pattern::matches(0, 0, buffer.data(), kArrived));
    EXPECT_EQ(buffer[kArrived], 0xDE);
  }
  EXPECT_TRUE(sim::kill_process(process));
}

INSTANTIATE_TEST_SUITE_P(Paths, KilledInARead, ::testing::ValuesIn(kReads),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvex::test
