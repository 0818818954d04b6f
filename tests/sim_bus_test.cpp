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
  void hold(UrbIrp& request) {
    request.hook_context = this;
    request.hook = [](UrbIrp* self) {
      auto* gate = static_cast<Gate*>(self->hook_context);
      gate->entered.set();
      EXPECT_TRUE(gate->release.wait());
    };
  }
};

// A negative check: the abort must still be waiting after this long.
constexpr auto kStillWaiting = 100ms;

class Bus : public ::testing::Test {
 protected:
  Bus() : rig_(two_in_pipes()) { rig_.device().clear_trace(); }

  static void expect_ended(const UrbIrp& request, NTSTATUS status, USBD_STATUS usbd) {
    EXPECT_TRUE(request.done.is_set());
    EXPECT_EQ(request.status, status);
    EXPECT_EQ(request.usbd, usbd);
    EXPECT_EQ(request.irql, DISPATCH_LEVEL);
    EXPECT_EQ(request.completions, 1);
  }

  CameraRig rig_;
};

TEST_F(Bus, CancelsAQueuedTransfer) {
  auto request = rig_.pending_in();
  EXPECT_TRUE(IoCancelIrp(request->irp));
  ASSERT_TRUE(request->done.wait());
  expect_ended(*request, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  EXPECT_EQ(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(rig_.device().pending_transfers(), 0u);
  std::vector<sim::BusEvent> trace = rig_.device().trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::Bulk);
  EXPECT_EQ(trace[0].irp_status, STATUS_CANCELLED);
  EXPECT_EQ(trace[0].requested, 4096u);
  EXPECT_EQ(trace[0].actual, 0u);
}

TEST_F(Bus, CancelsATransferThatWasCancelledBeforeItArrived) {
  auto request = rig_.bulk(512);
  EXPECT_FALSE(IoCancelIrp(request->irp));  // nobody holds it yet: only marked
  EXPECT_EQ(request->send(), STATUS_PENDING);
  ASSERT_TRUE(request->done.wait());
  EXPECT_EQ(request->status, STATUS_CANCELLED);
  EXPECT_EQ(rig_.device().pending_transfers(), 0u);
}

TEST_F(Bus, CancelsAHeldControlTransferAndLeavesTheOthersHeld) {
  rig_.device().hold(sim::UrbMatch::vendor(0xB7));
  rig_.device().camera().set_reg(0x10, 0x4321);
  auto first = rig_.read_register(0x10);
  auto second = rig_.read_register(0x10);
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
  for (int i = 0; i < 3; ++i) queued.push_back(rig_.pending_in());
  auto other = rig_.pending_in(kSecondIn);
  rig_.device().clear_trace();
  auto abort = rig_.pipe_request(URB_FUNCTION_ABORT_PIPE);
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
  auto after = rig_.pending_in();
  EXPECT_TRUE(IoCancelIrp(after->irp));
  EXPECT_TRUE(IoCancelIrp(other->irp));
  ASSERT_TRUE(other->done.wait());
}

// The first transfer's routine is entered, by the host controller completing a
// frame or by a thread cancelling it, and stays inside: the abort ends what is
// queued behind it at once, but returns only once that routine has.
class AbortInProgress : public Bus, public ::testing::WithParamInterface<bool> {};

TEST_P(AbortInProgress, WaitsForTheRoutineInsideToReturn) {
  bool cancelling = GetParam();
  Gate gate;
  auto first = rig_.pending_in();
  gate.hold(*first);
  auto second = rig_.pending_in();
  std::thread canceller;
  if (cancelling) {
    canceller = std::thread([&first] { EXPECT_TRUE(IoCancelIrp(first->irp)); });
  } else {
    rig_.device().camera().set_frame_size(512);
    rig_.device().camera().queue_frames(1);
  }
  ASSERT_TRUE(gate.entered.wait());
  auto abort = rig_.pipe_request(URB_FUNCTION_ABORT_PIPE);
  std::future<NTSTATUS> aborting = std::async(std::launch::async, [&abort] { return abort->send(); });
  ASSERT_TRUE(second->done.wait());
  EXPECT_EQ(second->status, STATUS_CANCELLED);
  EXPECT_EQ(aborting.wait_for(kStillWaiting), std::future_status::timeout);
  EXPECT_FALSE(abort->done.is_set());
  gate.release.set();
  ASSERT_EQ(aborting.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(aborting.get(), STATUS_SUCCESS);
  if (cancelling) canceller.join();
  EXPECT_EQ(first->status, cancelling ? STATUS_CANCELLED : STATUS_SUCCESS);
  EXPECT_EQ(first->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, cancelling ? 0u : 512u);
  EXPECT_LT(first->order, abort->order);
}

INSTANTIATE_TEST_SUITE_P(CompletionOrCancellation, AbortInProgress, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Cancellation") : std::string("Completion");
                         });

TEST_F(Bus, StalledPipeFailsItsTransfersUntilReset) {
  auto queued = rig_.pending_in();
  rig_.device().stall_pipe(CameraRig::kIn);
  ASSERT_TRUE(queued->done.wait());
  expect_ended(*queued, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  auto next = rig_.bulk(64);
  next->send_and_wait();
  EXPECT_EQ(next->usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig_.pipe_request(URB_FUNCTION_RESET_PIPE)->send_and_wait(), STATUS_SUCCESS);
  rig_.device().camera().set_frame_size(64);
  rig_.device().camera().queue_frames(1);
  auto after = rig_.bulk(64);
  EXPECT_EQ(after->send_and_wait(), STATUS_SUCCESS);
  EXPECT_TRUE(sim::pattern::matches(0, 0, after->buffer.data(), 64));
}

TEST_F(Bus, DisconnectEndsPendingTransfersAndRefusesNewOnes) {
  rig_.device().hold(sim::UrbMatch::bulk(CameraRig::kOut));
  auto in = rig_.pending_in();
  auto out = rig_.bulk(16, CameraRig::kOut);
  EXPECT_EQ(out->send(), STATUS_PENDING);
  ASSERT_TRUE(rig_.device().wait_for_pending(2, kBound));
  rig_.device().disconnect();
  for (UrbIrp* request : {in.get(), out.get()}) {
    ASSERT_TRUE(request->done.wait());
    expect_ended(*request, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  }
  auto late = rig_.bulk(64);
  EXPECT_EQ(late->send(), STATUS_DEVICE_NOT_CONNECTED);  // at once, inside the call
  EXPECT_TRUE(late->done.is_set());
  EXPECT_EQ(late->usbd, USBD_STATUS_DEVICE_GONE);
}

TEST_F(Bus, UnplugOnTheNthMatchingRequest) {
  rig_.device().unplug_on(sim::UrbMatch::bulk(CameraRig::kIn), 2);
  auto first = rig_.pending_in();
  EXPECT_EQ(rig_.bulk(64)->send(), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(first->done.wait());
  EXPECT_EQ(first->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(rig_.device().present());
}

}  // namespace
}  // namespace simtest
