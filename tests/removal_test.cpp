// Removal: what it ends, what it waits for, and what stays for handles that are
// still open; removal of a device never started; surprise removal.
#include <future>
#include <random>
#include <thread>

#include <quorvex/quorvex.h>

#include "driver/driver.h"
#include "quorvex/ioctl.h"
#include "support/control.h"
#include "support/descriptors.h"
#include "support/posted_read.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

class Removal : public Testbed {
 protected:
  std::vector<sim::BusEvent> aborts(sim::UsbDevice& device) {
    std::vector<sim::BusEvent> list;
    for (const sim::BusEvent& e : device.trace()) {
      if (e.kind == sim::BusEvent::AbortPipe) list.push_back(e);
    }
    return list;
  }
};

TEST_F(Removal, OfADeviceNeverStartedDeletesEverythingAndPassesTheRequestDown) {
  sim::Platform::Plugged added = platform().attach(camera());
  ASSERT_EQ(added.add_status, STATUS_SUCCESS);
  EXPECT_EQ(platform().remove(*added.device), STATUS_SUCCESS);
  EXPECT_TRUE(aborts(*added.device).empty());
  EXPECT_FALSE(sim::symbolic_link_exists(L"\\DosDevices\\Quorvex-0"));
  EXPECT_EQ(sim::find_device(L"\\Device\\Quorvex-0"), nullptr);
  EXPECT_EQ(added.device->pdo(), nullptr);  // the bus saw the request and let its object go
  EXPECT_FALSE(platform().driver().loaded());
}

TEST_F(Removal, AbortsEveryPipeInTableOrder) {
  sim::CameraConfig config = camera();
  config.interfaces = {interface(0, 0, {bulk_out(1), interrupt_in(3), bulk_in(2)})};
  sim::UsbDevice& device = plug(config);
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  std::vector<sim::BusEvent> list = aborts(device);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].endpoint, 0x01);
  EXPECT_EQ(list[1].endpoint, 0x83);
  EXPECT_EQ(list[2].endpoint, 0x82);
}

TEST_F(Removal, WaitsForTheRequestsInsideTheGate) {
  sim::UsbDevice& device = plug();
  PDEVICE_OBJECT fdo = platform().fdo(device);
  PCAM_DEVICE_EXTENSION ext = extension(device);
  ASSERT_TRUE(CamEnterRequest(fdo));  // a request at work in another thread
  std::future<NTSTATUS> removed = platform().remove_async(device);
  ASSERT_TRUE(sim::wait_for_waiter(&ext->RemoveEvent, kBound));
  EXPECT_EQ(ext->PnpState, CamPnpRemoved);
  EXPECT_FALSE(CamEnterRequest(fdo));  // newcomers are refused meanwhile
  EXPECT_EQ(removed.wait_for(0s), std::future_status::timeout);
  CamLeaveRequest(fdo);
  ASSERT_EQ(removed.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(removed.get(), STATUS_SUCCESS);
}

TEST_F(Removal, KeepsTheDeviceForOpenHandlesAndRefusesNewOpens) {
  sim::UsbDevice& device = plug();
  sim::Handle first = open();
  sim::Handle second = open();
  PDEVICE_OBJECT fdo = platform().fdo(device);
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  // The deleted device object stays on the driver's list until it is freed.
  EXPECT_EQ(platform().driver().devices(), (std::vector<PDEVICE_OBJECT>{fdo}));
  EXPECT_EQ(sim::deferred_device_count(), 1);
  EXPECT_TRUE(platform().driver().loaded());
  open(0, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::nt_close(first), STATUS_SUCCESS);
  EXPECT_EQ(sim::deferred_device_count(), 1);
  EXPECT_EQ(sim::nt_close(second), STATUS_SUCCESS);
  EXPECT_EQ(sim::deferred_device_count(), 0);
  EXPECT_TRUE(platform().driver().devices().empty());
}

// An open that found the device by name before removal took the name reaches the
// driver after removal: it is refused, and the descriptor removal freed is not read.
TEST_F(Removal, AnOpenThatArrivesAfterRemovalIsRefused) {
  sim::UsbDevice& device = plug();
  PDEVICE_OBJECT fdo = platform().fdo(device);
  sim::Handle holder = open();  // keeps the device object after removal
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(fdo->StackSize + 1), FALSE);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  FILE_OBJECT file{};
  file.DeviceObject = fdo;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_CREATE;
  next->FileObject = &file;
  IoSetCompletionRoutine(irp, CamSyncCompletion, &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(fdo, irp), STATUS_DELETE_PENDING);
  EXPECT_EQ(file.FsContext, nullptr);
  IoFreeIrp(irp);
  sim::nt_close(holder);
}

// A removed camera's number goes to the next camera at once, though an old handle
// still keeps the removed device object; the old handle's close does not touch the
// new camera.
TEST_F(Removal, ANumberIsFreeAtRemovalWhileAnOldHandleKeepsTheDeviceObject) {
  sim::UsbDevice& device = plug();
  sim::Handle old = open();
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  sim::UsbDevice& next = plug();
  EXPECT_EQ(extension(next)->InstanceIndex, 0u);
  sim::Handle fresh = open(0);
  EXPECT_EQ(extension(next)->OpenCount, 1);
  EXPECT_EQ(sim::nt_close(old), STATUS_SUCCESS);
  EXPECT_EQ(extension(next)->OpenCount, 1);
  sim::nt_close(fresh);
}

// A transfer in flight on the image pipe when the camera is pulled out.
TEST_F(Removal, UnpluggingEndsTransfersAndRemovalFollowsTheLastClose) {
  sim::UsbDevice& device = plug();
  PCAM_DEVICE_EXTENSION ext = extension(device);
  sim::Handle handle = open();
  {
    PostedRead read(ext->LowerDeviceObject, ext->InterfaceInfo->Pipes[1].PipeHandle);
    ASSERT_EQ(read.sent, STATUS_PENDING);
    EXPECT_EQ(platform().unplug(device), STATUS_SUCCESS);
    LARGE_INTEGER bound;
    bound.QuadPart = -50000000LL;
    ASSERT_EQ(KeWaitForSingleObject(&read.done, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
    EXPECT_EQ(read.irp->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.urb.Hdr.Status, USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_FALSE(platform().wait_removed(device, 0ms));
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_TRUE(platform().wait_removed(device, kBound));
}

// A machine shut down while a pulled-out camera is still open: closing the handle
// brings the removal, and the shutdown must not remove the camera a second time.
TEST_F(Removal, ShutdownWithAPulledOutCameraStillOpenRemovesItOnce) {
  for (int i = 0; i < 200 && !HasFailure(); ++i) {
    sim::UsbDevice& device = plug();
    open();
    ASSERT_EQ(platform().unplug(device), STATUS_SUCCESS);
    platform_.reset();
    platform_ = std::make_unique<sim::Platform>(CamDriverEntry);
  }
}

// Surprise removal aborts every pipe: a transfer in flight ends at once, cancelled,
// though the bus has not failed it.
TEST_F(Removal, SurpriseRemovalAbortsEveryPipe) {
  sim::UsbDevice& device = plug();
  PCAM_DEVICE_EXTENSION ext = extension(device);
  {
    PostedRead read(ext->LowerDeviceObject, ext->InterfaceInfo->Pipes[1].PipeHandle);
    ASSERT_EQ(read.sent, STATUS_PENDING);
    EXPECT_EQ(platform().send_pnp(device, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    LARGE_INTEGER bound;
    bound.QuadPart = -50000000LL;
    ASSERT_EQ(KeWaitForSingleObject(&read.done, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
    EXPECT_EQ(read.irp->IoStatus.Status, STATUS_CANCELLED);
  }
  EXPECT_EQ(aborts(device).size(), 2u);
  EXPECT_EQ(platform().remove(device), STATUS_SUCCESS);
}

// A request admitted before a stop may be using the pipes the stop invalidates:
// the stop refuses newcomers, waits for it to leave, and only then unconfigures.
TEST_F(Removal, AStopWaitsForTheRequestsInsideBeforeItUnconfigures) {
  sim::UsbDevice& device = plug();
  PDEVICE_OBJECT fdo = platform().fdo(device);
  PCAM_DEVICE_EXTENSION ext = extension(device);
  sim::Handle handle = open();
  device.clear_trace();
  ASSERT_TRUE(CamEnterRequest(fdo));  // a request at work in another thread
  std::future<NTSTATUS> stopped = std::async(std::launch::async, [&] { return platform().stop(device); });
  EXPECT_TRUE(sim::wait_for_waiter(&ext->DrainEvent, kBound));
  uint8_t out[4];
  EXPECT_EQ(sim::nt_device_io_control(handle, IOCTL_CAM_GET_MODEL, nullptr, 0, out, 4, nullptr),
            STATUS_DELETE_PENDING);
  EXPECT_EQ(stopped.wait_for(0s), std::future_status::timeout);
  // While the request stays inside, the stop may abort the pipes (at each poll of
  // its wait); nothing else reaches the camera before the request has left.
  auto without_aborts = [&] {
    std::vector<sim::BusEvent> trace = device.trace();
    std::erase_if(trace, [](const sim::BusEvent& e) { return e.kind == sim::BusEvent::AbortPipe; });
    return trace;
  };
  EXPECT_TRUE(without_aborts().empty());
  CamLeaveRequest(fdo);
  ASSERT_EQ(stopped.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(stopped.get(), STATUS_SUCCESS);
  std::vector<sim::BusEvent> trace = without_aborts();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::Unconfigure);
  sim::nt_close(handle);
}

struct HeldRequest {
  const char* name;
  ULONG code;
  UCHAR request;
  Bytes input;
  size_t output;
};

class HeldVendorRequest : public Removal, public ::testing::WithParamInterface<HeldRequest> {};

// A vendor request the camera never answers (it waits without a time-out, as
// every synchronous request does) does not hold a stop, a query-remove or a
// removal, which would block every device installation on Windows: the step
// cancels it while it waits for the requests inside, and the request ends
// cancelled with nothing written.
TEST_P(HeldVendorRequest, DoesNotHoldAStopQueryRemoveOrRemoval) {
  const HeldRequest& c = GetParam();
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  device.hold(sim::UrbMatch::vendor(c.request));
  using Step = NTSTATUS (sim::Platform::*)(sim::UsbDevice&);
  for (Step step : {&sim::Platform::stop, &sim::Platform::query_remove, &sim::Platform::remove}) {
    device.clear_trace();
    auto pending =
        std::async(std::launch::async, [&] { return send_control(handle, c.code, c.input, c.output); });
    ASSERT_TRUE(device.wait_for_pending(1, kBound));
    auto done = std::async(std::launch::async, [&] { return (platform().*step)(device); });
    bool held = done.wait_for(kBound) != std::future_status::ready;
    if (held) device.release_held();  // the test has failed; let the step end
    EXPECT_FALSE(held) << "held by the request";
    EXPECT_EQ(done.get(), STATUS_SUCCESS);
    EXPECT_EQ(pending.get(), untouched(STATUS_CANCELLED, c.output));
    EXPECT_EQ(take_control_traffic(device), Traffic{});  // the camera never ran it
    if (step == &sim::Platform::stop) {
      EXPECT_EQ(platform().start(device), STATUS_SUCCESS);
    } else if (step == &sim::Platform::query_remove) {
      EXPECT_EQ(platform().cancel_remove(device), STATUS_SUCCESS);
    }
  }
  sim::nt_close(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HeldVendorRequest,
    ::testing::Values(HeldRequest{"RegisterRead", IOCTL_CAM_READ_REGISTER, 0xB7, {0x35}, 4},
                      HeldRequest{"Trigger", IOCTL_CAM_TRIGGER, 0xB3, {}, 0}),
    [](const ::testing::TestParamInfo<HeldRequest>& info) { return info.param.name; });

// Several threads open and close while the camera is removed: every open either
// fails cleanly or gets a handle that closes cleanly, and nothing is leaked.
TEST_F(Removal, RacesWithOpensAndClosesOnOtherThreads) {
  sim::UsbDevice& device = plug();
  std::atomic<bool> stop{false};
  std::vector<std::thread> openers;
  for (int t = 0; t < 3; ++t) {
    openers.emplace_back([&stop] {
      while (!stop.load()) {
        sim::Handle h = sim::kInvalidHandle;
        NTSTATUS status = sim::nt_create_file(L"\\\\.\\Quorvex-0", &h);
        if (NT_SUCCESS(status)) {
          EXPECT_EQ(sim::nt_close(h), STATUS_SUCCESS);
        } else {
          EXPECT_TRUE(status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_DELETE_PENDING) << status;
        }
      }
    });
  }
  EXPECT_EQ(platform().remove(device), STATUS_SUCCESS);
  stop = true;
  for (auto& t : openers) t.join();
  EXPECT_EQ(sim::open_handle_count(), 0);
}

}  // namespace
}  // namespace quorvex::test

namespace quorvex::test {
namespace {

// Two cameras are removed, surprise-removed and replugged while two threads open
// them and send requests: every query-remove and removal ends (a hang is reported
// after a second), whatever addresses the new device objects reuse. The load holds
// no handle while a camera is added: AddDevice walks the driver's device list,
// which the last close of a removed device object changes on the closing thread.
TEST_F(Removal, TwoCamerasReplugUnderLoadWithoutHanging) {
  sim::set_hang_report_after(std::chrono::seconds(1));
  sim::UsbDevice* cameras[2] = {&plug(), &plug()};
  std::atomic<bool> stop{false}, pause{false};
  std::atomic<int> paused{0};
  std::vector<std::thread> load;
  for (int t = 0; t < 2; ++t) {
    load.emplace_back([&, t] {
      while (!stop.load()) {
        if (pause.load()) {
          paused++;
          while (pause.load()) std::this_thread::yield();
          paused--;
          continue;
        }
        sim::Handle h = sim::kInvalidHandle;
        if (!NT_SUCCESS(sim::nt_create_file(user_name(t), &h))) continue;
        uint8_t out[4];
        sim::nt_device_io_control(h, IOCTL_CAM_NOOP_805, nullptr, 0, out, sizeof(out), nullptr);
        sim::nt_close(h);
      }
    });
  }
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    int which = static_cast<int>(random() % 2);
    sim::UsbDevice& device = *cameras[which];
    if (random() % 2 == 0) {
      ASSERT_EQ(platform().query_remove(device), STATUS_SUCCESS) << "round " << round;
      ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
    } else {
      platform().unplug(device);
      ASSERT_TRUE(platform().wait_removed(device, kBound)) << "round " << round;
    }
    pause = true;
    auto deadline = std::chrono::steady_clock::now() + kBound;
    while (paused.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    cameras[which] = &plug();
    pause = false;
  }
  stop = true;
  for (auto& t : load) t.join();
}

}  // namespace
}  // namespace quorvex::test
