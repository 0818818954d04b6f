// How the simulated bus ends transfers it holds: IoCancelIrp, an abort of the
// pipe (which waits for completions already in progress), a stalled pipe, and a
// camera taken off the bus. Requests go straight to the camera's physical device
// object from the test, in IRPs the test allocated.
#include <future>
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

constexpr UCHAR kSecondIn = 0x83;

sim::CameraConfig two_in_pipes() {
  sim::CameraConfig config;
  config.interfaces = {{0,
                        0,
                        {{CameraRig::kOut, USB_ENDPOINT_TYPE_BULK},
                         {CameraRig::kIn, USB_ENDPOINT_TYPE_BULK},
                         {kSecondIn, USB_ENDPOINT_TYPE_BULK}}}};
  return config;
}

// A completion routine that stops inside, as a client's slow routine would,
// until the test lets it go.
struct Gate {
  Signal entered;
  Signal release;
  static void hold(UrbIrp* request) {
    auto* gate = static_cast<Gate*>(request->hook_context);
    gate->entered.set();
    EXPECT_TRUE(gate->release.wait());
  }
};

std::vector<sim::BusEvent> events_of(sim::UsbDevice& device, sim::BusEvent::Kind kind) {
  std::vector<sim::BusEvent> list;
  for (const sim::BusEvent& e : device.trace()) {
    if (e.kind == kind) list.push_back(e);
  }
  return list;
}

class Bus : public ::testing::Test {
 protected:
  explicit Bus(sim::CameraConfig config = two_in_pipes()) : rig_(std::move(config)) {}

  // An IN transfer queued on `endpoint`, waiting for data the camera does not send.
  std::unique_ptr<UrbIrp> pending_in(UCHAR endpoint = CameraRig::kIn, ULONG length = 4096) {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    request->bulk(rig_.pipe(endpoint), true, length);
    size_t before = rig_.device().pending_transfers();
    EXPECT_EQ(request->send(), STATUS_PENDING);
    EXPECT_TRUE(rig_.device().wait_for_pending(before + 1, kBound));
    return request;
  }

  std::unique_ptr<UrbIrp> pipe_request(USHORT function, UCHAR endpoint) {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    request->pipe_request(function, rig_.pipe(endpoint));
    return request;
  }

  static void expect_ended(const UrbIrp& request, NTSTATUS status, USBD_STATUS usbd) {
    EXPECT_TRUE(request.done.is_set());
    EXPECT_EQ(request.status, status);
    EXPECT_EQ(request.usbd, usbd);
    EXPECT_EQ(request.irql, DISPATCH_LEVEL);
    EXPECT_EQ(request.device_argument, nullptr);  // the allocator's routine, above the stack
    EXPECT_EQ(request.completions, 1);
  }

  CameraRig rig_;
};

TEST_F(Bus, CancelsAQueuedTransfer) {
  auto request = pending_in();
  EXPECT_TRUE(IoCancelIrp(request->irp));
  ASSERT_TRUE(request->done.wait());
  expect_ended(*request, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  EXPECT_EQ(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(rig_.device().pending_transfers(), 0u);
  std::vector<sim::BusEvent> bulk = events_of(rig_.device(), sim::BusEvent::Bulk);
  ASSERT_EQ(bulk.size(), 1u);
  EXPECT_EQ(bulk[0].irp_status, STATUS_CANCELLED);
  EXPECT_EQ(bulk[0].requested, 4096u);
  EXPECT_EQ(bulk[0].actual, 0u);
}

TEST_F(Bus, CancelsATransferThatWasCancelledBeforeItArrived) {
  UrbIrp request(rig_.pdo());
  request.bulk(rig_.pipe(CameraRig::kIn), true, 512);
  EXPECT_FALSE(IoCancelIrp(request.irp));  // nobody holds it yet: only marked
  EXPECT_EQ(request.send(), STATUS_PENDING);
  ASSERT_TRUE(request.done.wait());
  EXPECT_EQ(request.status, STATUS_CANCELLED);
  EXPECT_EQ(rig_.device().pending_transfers(), 0u);
}

TEST_F(Bus, CancelsAHeldControlTransferAndReleasesAnother) {
  rig_.device().hold(sim::UrbMatch::vendor(0xB7));
  auto control = [this] {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    auto& v = request->urb.UrbControlVendorClassRequest;
    request->buffer.assign(2, 0xDE);
    v.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    v.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    v.TransferBufferLength = 2;
    v.TransferBuffer = request->buffer.data();
    v.Request = 0xB7;
    v.Value = 0x10;
    return request;
  };
  rig_.device().camera().set_reg(0x10, 0x4321);
  auto first = control();
  auto second = control();
  EXPECT_EQ(first->send(), STATUS_PENDING);
  EXPECT_EQ(second->send(), STATUS_PENDING);
  ASSERT_TRUE(rig_.device().wait_for_pending(2, kBound));
  EXPECT_TRUE(IoCancelIrp(first->irp));
  ASSERT_TRUE(first->done.wait());
  EXPECT_EQ(first->status, STATUS_CANCELLED);
  EXPECT_FALSE(second->done.is_set());
  rig_.device().release_held();
  ASSERT_TRUE(second->done.wait());
  EXPECT_EQ(second->status, STATUS_SUCCESS);
  EXPECT_EQ(second->buffer, (std::vector<uint8_t>{0x21, 0x43}));
}

TEST_F(Bus, AbortCancelsEveryTransferOfThePipeBeforeItCompletes) {
  std::vector<std::unique_ptr<UrbIrp>> queued;
  for (int i = 0; i < 3; ++i) queued.push_back(pending_in());
  auto other = pending_in(kSecondIn);
  rig_.device().clear_trace();
  auto abort = pipe_request(URB_FUNCTION_ABORT_PIPE, CameraRig::kIn);
  EXPECT_EQ(abort->send(), STATUS_SUCCESS);
  ASSERT_TRUE(abort->done.is_set());
  EXPECT_EQ(abort->status, STATUS_SUCCESS);
  for (auto& request : queued) {
    expect_ended(*request, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    EXPECT_LT(request->order, abort->order);
  }
  EXPECT_FALSE(other->done.is_set());
  EXPECT_EQ(rig_.device().pending_transfers(), 1u);
  std::vector<sim::BusEvent> trace = rig_.device().trace();
  ASSERT_EQ(trace.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(trace[i].irp_status, STATUS_CANCELLED);
  EXPECT_EQ(trace[3].kind, sim::BusEvent::AbortPipe);
  EXPECT_EQ(trace[3].endpoint, CameraRig::kIn);
  // The pipe takes transfers again once the abort is over.
  auto after = pending_in();
  EXPECT_TRUE(IoCancelIrp(after->irp));
  EXPECT_TRUE(IoCancelIrp(other->irp));
  ASSERT_TRUE(other->done.wait());
}

// A negative check: the abort must still be waiting after this long.
constexpr auto kStillWaiting = 100ms;

TEST_F(Bus, AbortWaitsForACompletionInProgressOnTheHostController) {
  rig_.device().camera().set_frame_size(512);
  Gate gate;
  auto first = pending_in();
  first->hook = Gate::hold;
  first->hook_context = &gate;
  auto second = pending_in();
  rig_.device().camera().queue_frames(1);
  ASSERT_TRUE(gate.entered.wait());  // the host controller is inside the first one's routine
  auto abort = pipe_request(URB_FUNCTION_ABORT_PIPE, CameraRig::kIn);
  std::future<NTSTATUS> aborting = std::async(std::launch::async, [&abort] { return abort->send(); });
  ASSERT_TRUE(second->done.wait());  // the abort has ended what was queued
  EXPECT_EQ(second->status, STATUS_CANCELLED);
  EXPECT_EQ(aborting.wait_for(kStillWaiting), std::future_status::timeout);
  EXPECT_FALSE(abort->done.is_set());
  gate.release.set();
  ASSERT_EQ(aborting.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(aborting.get(), STATUS_SUCCESS);
  EXPECT_EQ(first->status, STATUS_SUCCESS);
  EXPECT_EQ(first->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
  EXPECT_LT(first->order, abort->order);
}

TEST_F(Bus, AbortWaitsForACancellationInProgress) {
  Gate gate;
  auto request = pending_in();
  request->hook = Gate::hold;
  request->hook_context = &gate;
  std::thread canceller([&request] { EXPECT_TRUE(IoCancelIrp(request->irp)); });
  ASSERT_TRUE(gate.entered.wait());
  auto abort = pipe_request(URB_FUNCTION_ABORT_PIPE, CameraRig::kIn);
  std::future<NTSTATUS> aborting = std::async(std::launch::async, [&abort] { return abort->send(); });
  EXPECT_EQ(aborting.wait_for(kStillWaiting), std::future_status::timeout);
  gate.release.set();
  ASSERT_EQ(aborting.wait_for(kBound), std::future_status::ready);
  canceller.join();
  EXPECT_EQ(request->status, STATUS_CANCELLED);
  EXPECT_LT(request->order, abort->order);
}

TEST_F(Bus, StalledPipeFailsItsTransfersUntilReset) {
  auto queued = pending_in();
  rig_.device().stall_pipe(CameraRig::kIn);
  ASSERT_TRUE(queued->done.wait());
  expect_ended(*queued, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  UrbIrp next(rig_.pdo());
  next.bulk(rig_.pipe(CameraRig::kIn), true, 64);
  next.send_and_wait();
  EXPECT_EQ(next.usbd, USBD_STATUS_STALL_PID);
  auto reset = pipe_request(URB_FUNCTION_RESET_PIPE, CameraRig::kIn);
  EXPECT_EQ(reset->send_and_wait(), STATUS_SUCCESS);
  rig_.device().camera().set_frame_size(64);
  rig_.device().camera().queue_frames(1);
  UrbIrp after(rig_.pdo());
  after.bulk(rig_.pipe(CameraRig::kIn), true, 64);
  EXPECT_EQ(after.send_and_wait(), STATUS_SUCCESS);
  EXPECT_TRUE(sim::pattern::matches(0, 0, after.buffer.data(), 64));
}

TEST_F(Bus, DisconnectEndsPendingTransfersAndRefusesNewOnes) {
  rig_.device().hold(sim::UrbMatch::bulk(CameraRig::kOut));
  auto in = pending_in();
  auto out = std::make_unique<UrbIrp>(rig_.pdo());
  out->bulk(rig_.pipe(CameraRig::kOut), false, 16);
  EXPECT_EQ(out->send(), STATUS_PENDING);
  ASSERT_TRUE(rig_.device().wait_for_pending(2, kBound));
  rig_.device().disconnect();
  for (UrbIrp* request : {in.get(), out.get()}) {
    ASSERT_TRUE(request->done.wait());
    expect_ended(*request, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  }
  UrbIrp late(rig_.pdo());
  late.bulk(rig_.pipe(CameraRig::kIn), true, 64);
  EXPECT_EQ(late.send(), STATUS_DEVICE_NOT_CONNECTED);  // at once, inside the call
  EXPECT_TRUE(late.done.is_set());
  EXPECT_EQ(late.usbd, USBD_STATUS_DEVICE_GONE);
}

TEST_F(Bus, UnplugEndsPendingTransfersThenRemovesTheCamera) {
  // A device object of its own keeps the driver loaded, so that its leak check
  // comes after the test has freed its IRP.
  PDEVICE_OBJECT spare = nullptr;
  ASSERT_EQ(
      IoCreateDevice(rig_.platform().driver().current(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &spare),
      STATUS_SUCCESS);
  auto in = pending_in();
  EXPECT_EQ(rig_.platform().unplug(rig_.device()), STATUS_SUCCESS);
  ASSERT_TRUE(in->done.wait());
  EXPECT_EQ(in->status, STATUS_DEVICE_NOT_CONNECTED);
  in.reset();
  IoDeleteDevice(spare);
  ASSERT_TRUE(rig_.platform().wait_removed(rig_.device(), kBound));
  std::vector<UCHAR> minors;
  for (const sim::PnpRecord& r : rig_.platform().history()) minors.push_back(r.minor);
  ASSERT_GE(minors.size(), 2u);
  EXPECT_EQ(minors[minors.size() - 2], IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(minors.back(), IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(rig_.device().pdo(), nullptr);
}

TEST_F(Bus, UnplugOnTheNthMatchingRequest) {
  rig_.device().unplug_on(sim::UrbMatch::bulk(CameraRig::kIn), 2);
  auto first = pending_in();
  UrbIrp second(rig_.pdo());
  second.bulk(rig_.pipe(CameraRig::kIn), true, 64);
  EXPECT_EQ(second.send(), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(first->done.wait());
  EXPECT_EQ(first->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(rig_.device().present());
}

}  // namespace
}  // namespace simtest
