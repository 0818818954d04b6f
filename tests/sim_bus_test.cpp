// How the simulated bus serves and ends what it holds: control transfers on the
// host controller, IoCancelIrp (also before the bus queued the request), an abort
// of the pipe (which completes before the transfers it ends), the level each
// request may be sent at, packets on the wire, a stalled or babbling endpoint, a
// device outside D0, a pipe abort racing an unconfigure, a refused transfer
// (which moved nothing), a camera taken off the bus, and a streamed frame that one
// of those cuts. Requests go straight to the camera's physical device
// object from the test, in IRPs the test allocated.
#include <future>
#include <optional>
#include <random>
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

// A request cancelled before the bus set its cancel routine (here: before it was
// sent) is completed, whichever path queued it.
struct QueueCase {
  const char* name;
  void (*prepare)(sim::UsbDevice& device);
  bool control;
};

const QueueCase kQueueCases[] = {
    {"Bulk", [](sim::UsbDevice&) {}, false},
    {"InjectedBulkFailure",
     [](sim::UsbDevice& d) { d.fail_urb(sim::UrbMatch::bulk(), USBD_STATUS_XACT_ERROR); }, false},
    {"Control", [](sim::UsbDevice&) {}, true},
    {"InjectedControlFailure",
     [](sim::UsbDevice& d) { d.fail_urb(sim::UrbMatch::vendor(0xB7), USBD_STATUS_XACT_ERROR); }, true},
    {"HeldControl", [](sim::UsbDevice& d) { d.hold(sim::UrbMatch::vendor(0xB7)); }, true},
};

class CancelledBeforeQueued : public Bus, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(CancelledBeforeQueued, IsCompletedCancelled) {
  GetParam().prepare(rig_.device());
  auto request = GetParam().control ? rig_.read_register(1) : rig_.bulk(512);
  EXPECT_FALSE(IoCancelIrp(request->irp));  // nobody holds it yet: only marked
  EXPECT_EQ(request->send(), STATUS_PENDING);
  ASSERT_TRUE(request->done.wait());
  EXPECT_EQ(request->status, STATUS_CANCELLED);
  EXPECT_EQ(request->completions, 1);
  EXPECT_EQ(rig_.device().pending_transfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, CancelledBeforeQueued, ::testing::ValuesIn(kQueueCases), CaseName());

// A transfer the bus turns down without running it moved nothing, and its length
// says so, whichever way it was refused: the USB stack returns the bytes moved in
// the URB's length, and a driver that trusted the length it asked for would count
// bytes that never came.
struct RefusalCase {
  const char* name;
  void (*prepare)(CameraRig& rig, UrbIrp& request);
  NTSTATUS status;
};

const RefusalCase kRefusalCases[] = {
    {"InjectedRefusal",
     [](CameraRig& rig, UrbIrp&) {
       rig.device().refuse_urb(sim::UrbMatch::bulk(), STATUS_INSUFFICIENT_RESOURCES);
     },
     STATUS_INSUFFICIENT_RESOURCES},
    {"UnknownPipe",
     [](CameraRig&, UrbIrp& r) {
       r.urb.UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<PVOID>(0x1234);
     },
     STATUS_INVALID_PARAMETER},
    {"UrbTooShort", [](CameraRig&, UrbIrp& r) { r.urb.UrbHeader.Length -= 8; }, STATUS_INVALID_PARAMETER},
    {"CameraGone", [](CameraRig& rig, UrbIrp&) { rig.device().disconnect(); }, STATUS_DEVICE_NOT_CONNECTED},
    {"VendorRefused",
     [](CameraRig& rig, UrbIrp& r) {
       r.vendor(0xB7, 1, 2, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
       rig.device().refuse_urb(sim::UrbMatch::vendor(0xB7), STATUS_INSUFFICIENT_RESOURCES);
     },
     STATUS_INSUFFICIENT_RESOURCES},
};

class Refusal : public Bus, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, ReportsNothingMoved) {
  auto request = rig_.bulk(4096);
  GetParam().prepare(rig_, *request);
  EXPECT_EQ(request->send(), GetParam().status);
  ASSERT_TRUE(request->done.is_set());
  EXPECT_EQ(request->status, GetParam().status);
  const URB& urb = request->urb;
  EXPECT_EQ(urb.UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE
                ? urb.UrbControlVendorClassRequest.TransferBufferLength
                : urb.UrbBulkOrInterruptTransfer.TransferBufferLength,
            0u);
  EXPECT_EQ(request->buffer, std::vector<uint8_t>(request->buffer.size(), 0xDE));
}

INSTANTIATE_TEST_SUITE_P(Ways, Refusal, ::testing::ValuesIn(kRefusalCases), CaseName());

// Control transfers and configuration requests pend and complete on the host
// controller at DISPATCH_LEVEL, unless the test asks for completion inside the call.
class ControlCompletion : public Bus, public ::testing::WithParamInterface<bool> {};

TEST_P(ControlCompletion, PendsByDefaultOrCompletesInsideTheCall) {
  bool inside = GetParam();
  if (inside) rig_.device().set_control_deferred(false);
  auto read = rig_.read_register(1);
  auto unconfigure = std::make_unique<UrbIrp>(rig_.pdo());
  unconfigure->urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  unconfigure->urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  for (UrbIrp* request : {read.get(), unconfigure.get()}) {
    EXPECT_EQ(request->send(), inside ? STATUS_SUCCESS : STATUS_PENDING);
    ASSERT_TRUE(request->done.wait());
    EXPECT_EQ(request->status, STATUS_SUCCESS);
    EXPECT_EQ(request->irql, inside ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    EXPECT_EQ(request->thread == std::this_thread::get_id(), inside);
  }
  EXPECT_EQ(rig_.device().configuration_value(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, ControlCompletion, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Inside") : std::string("Later");
                         });

TEST_F(Bus, AbortCompletesBeforeTheTransfersItEnds) {
  std::vector<std::unique_ptr<UrbIrp>> queued;
  for (int i = 0; i < 3; ++i) queued.push_back(rig_.pending_in());
  auto other = rig_.pending_in(kSecondIn);
  rig_.device().clear_trace();
  auto abort = rig_.pipe_request(URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(abort->send(), STATUS_SUCCESS);
  ASSERT_TRUE(abort->done.is_set());
  for (auto& request : queued) {
    ASSERT_TRUE(request->done.wait());
    expect_ended(*request, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    EXPECT_GT(request->order, abort->order);
    EXPECT_NE(request->thread, std::this_thread::get_id());  // the host controller's
  }
  EXPECT_FALSE(other->done.is_set());
  EXPECT_EQ(rig_.device().pending_transfers(), 1u);
  std::vector<sim::BusEvent> trace = rig_.device().trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::AbortPipe);
  EXPECT_EQ(trace[0].endpoint, CameraRig::kIn);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(trace[i].irp_status, STATUS_CANCELLED);
  // The pipe takes transfers again once the abort is over.
  auto after = rig_.pending_in();
  EXPECT_TRUE(IoCancelIrp(after->irp));
  EXPECT_TRUE(IoCancelIrp(other->irp));
  ASSERT_TRUE(other->done.wait());
}

// The first transfer's routine is entered, by the host controller completing a
// frame or by a thread cancelling it, and stays inside: the abort does not wait
// for it, and what was queued behind it completes after the abort.
class AbortInProgress : public Bus, public ::testing::WithParamInterface<bool> {};

TEST_P(AbortInProgress, DoesNotWaitForTheRoutineInside) {
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
  EXPECT_EQ(abort->send(), STATUS_SUCCESS);
  EXPECT_FALSE(first->done.is_set());
  gate.release.set();
  ASSERT_TRUE(second->done.wait());
  EXPECT_EQ(second->status, STATUS_CANCELLED);
  EXPECT_GT(second->order, abort->order);
  ASSERT_TRUE(first->done.wait());
  if (cancelling) canceller.join();
  EXPECT_EQ(first->status, cancelling ? STATUS_CANCELLED : STATUS_SUCCESS);
  EXPECT_EQ(first->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, cancelling ? 0u : 512u);
}

INSTANTIATE_TEST_SUITE_P(CompletionOrCancellation, AbortInProgress, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Cancellation") : std::string("Completion");
                         });

// The bus takes pipe and configuration requests at PASSIVE_LEVEL only; transfers
// may come at DISPATCH_LEVEL.
struct IrqlCase {
  const char* name;
  USHORT function;
  const char* refused_as;  // null: allowed at DISPATCH_LEVEL
};

const IrqlCase kIrqlCases[] = {
    {"AbortPipe", URB_FUNCTION_ABORT_PIPE, "URB_FUNCTION_ABORT_PIPE"},
    {"ResetPipe", URB_FUNCTION_RESET_PIPE, "URB_FUNCTION_RESET_PIPE"},
    {"SelectConfiguration", URB_FUNCTION_SELECT_CONFIGURATION, "URB_FUNCTION_SELECT_CONFIGURATION"},
    {"BulkTransfer", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, nullptr},
    {"VendorRequest", URB_FUNCTION_VENDOR_DEVICE, nullptr},
};

class UrbIrql : public Bus, public ::testing::WithParamInterface<IrqlCase> {};

TEST_P(UrbIrql, AtDispatchLevelOnlyWhereTheBusAllowsIt) {
  const IrqlCase& c = GetParam();
  std::unique_ptr<UrbIrp> request;
  if (c.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    request = rig_.bulk(64);
  } else if (c.function == URB_FUNCTION_VENDOR_DEVICE) {
    request = rig_.read_register(1);
  } else if (c.function == URB_FUNCTION_SELECT_CONFIGURATION) {
    request = std::make_unique<UrbIrp>(rig_.pdo());
    request->urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    request->urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  } else {
    request = rig_.pipe_request(c.function);
  }
  std::optional<sim::ExpectFault> fault;
  if (c.refused_as != nullptr) fault.emplace(sim::Fault::UrbAtWrongIrql);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS sent = request->send();
  KeLowerIrql(old);
  if (c.refused_as != nullptr) {
    EXPECT_EQ(sent, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(mentions(*fault, std::string(c.refused_as) + " sent at DISPATCH_LEVEL"));
    EXPECT_EQ(rig_.device().configuration_value(), 1);
    return;
  }
  EXPECT_EQ(sent, STATUS_PENDING);
  if (c.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) IoCancelIrp(request->irp);
  ASSERT_TRUE(request->done.wait());
}

INSTANTIATE_TEST_SUITE_P(Functions, UrbIrql, ::testing::ValuesIn(kIrqlCases), CaseName());

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

// IN data comes in packets of wMaxPacketSize (512 here): a packet that does not fit
// the rest of the buffer is babble and halts the endpoint until a reset, and the
// camera goes on after the packet it sent.
TEST_F(Bus, APacketThatDoesNotFitIsBabbleAndHaltsTheEndpoint) {
  rig_.device().camera().set_frame_size(2048);
  rig_.device().camera().queue_frames(1);
  auto babble = rig_.bulk(1000);
  EXPECT_EQ(babble->send_and_wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(babble->usbd, USBD_STATUS_BABBLE_DETECTED);
  ASSERT_EQ(babble->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1000u);
  EXPECT_TRUE(sim::pattern::matches(0, 0, babble->buffer.data(), 1000));
  auto halted = rig_.bulk(1024);
  halted->send_and_wait();
  EXPECT_EQ(halted->usbd, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(rig_.pipe_request(URB_FUNCTION_RESET_PIPE)->send_and_wait(), STATUS_SUCCESS);
  auto whole = rig_.bulk(1024);
  EXPECT_EQ(whole->send_and_wait(), STATUS_SUCCESS);
  ASSERT_EQ(whole->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1024u);
  EXPECT_TRUE(sim::pattern::matches(0, 1024, whole->buffer.data(), 1024));
}

enum class Cut { Stall, Babble, Unplug };

struct CutCase {
  const char* name;
  Cut cut;
};

class CutMidFrame : public Bus, public ::testing::WithParamInterface<CutCase> {};

// A streamed frame that a stall, babble or unplug cuts part way is lost whole: the
// camera goes on with the next frame from its first byte, never with the rest.
TEST_P(CutMidFrame, TheStreamGoesOnWithTheNextFrameWhole) {
  constexpr uint32_t kSize = 4096;
  sim::Camera& camera = rig_.device().camera();
  camera.set_frame_size(kSize);
  camera.set_streaming(true);
  auto head = rig_.bulk(1024);
  ASSERT_EQ(head->send_and_wait(), STATUS_SUCCESS);
  EXPECT_TRUE(sim::pattern::matches(0, 0, head->buffer.data(), 1024));
  std::vector<uint8_t> next(kSize);
  if (GetParam().cut == Cut::Unplug) {
    rig_.device().disconnect();
    bool ends = false;
    std::optional<std::chrono::steady_clock::time_point> wait;
    EXPECT_EQ(camera.produce(next.data(), 512, kSize / 512, &ends, &wait), kSize);
  } else {
    if (GetParam().cut == Cut::Stall) {
      rig_.device().stall_pipe(CameraRig::kIn);
    } else {
      auto babble = rig_.bulk(1000);  // its second packet does not fit
      babble->send_and_wait();
      EXPECT_EQ(babble->usbd, USBD_STATUS_BABBLE_DETECTED);
    }
    EXPECT_EQ(rig_.pipe_request(URB_FUNCTION_RESET_PIPE)->send_and_wait(), STATUS_SUCCESS);
    auto whole = rig_.bulk(kSize);
    ASSERT_EQ(whole->send_and_wait(), STATUS_SUCCESS);
    ASSERT_EQ(whole->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, kSize);
    next.assign(whole->buffer.begin(), whole->buffer.begin() + kSize);
  }
  camera.set_streaming(false);
  sim::pattern::Check check = sim::pattern::check(next.data(), kSize);
  EXPECT_TRUE(check.ok);
  EXPECT_EQ(check.frame, 1u);
  EXPECT_EQ(camera.frames_cut(), 1u);
  EXPECT_EQ(camera.frames_started(), 2u);
  EXPECT_EQ(camera.frames_dropped(), 0u);
}

constexpr CutCase kCutCases[] = {{"Stall", Cut::Stall}, {"Babble", Cut::Babble}, {"Unplug", Cut::Unplug}};

INSTANTIATE_TEST_SUITE_P(Faults, CutMidFrame, ::testing::ValuesIn(kCutCases), CaseName());

// A suspended device moves nothing: new transfers fail at once, a queued one waits
// for D0 and then gets its data.
TEST_F(Bus, TransfersFailWhileTheDeviceIsNotInD0) {
  auto set_power = [this](DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    auto sent = rig_.platform().send_power(rig_.device(), IRP_MN_SET_POWER, DevicePowerState, power);
    ASSERT_EQ(sent.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(sent.get(), STATUS_SUCCESS);
  };
  auto queued = rig_.pending_in(CameraRig::kIn, 512);
  {
    // Powering down over a queued transfer is the driver's fault, reported; the bus
    // still keeps the transfer until D0.
    sim::ExpectFault powered_down(sim::Fault::PowerDownWithTransfersQueued);
    set_power(PowerDeviceD3);
  }
  rig_.device().camera().set_frame_size(512);
  rig_.device().camera().queue_frames(1);
  auto bulk = rig_.bulk(64);
  auto control = rig_.read_register(1);
  for (UrbIrp* request : {bulk.get(), control.get()}) {
    EXPECT_EQ(request->send(), STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(request->usbd, USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_FALSE(queued->done.is_set());
  set_power(PowerDeviceD0);
  ASSERT_TRUE(queued->done.wait());
  EXPECT_EQ(queued->status, STATUS_SUCCESS);
  EXPECT_EQ(queued->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
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

// Any URB counts towards the nth, whatever its kind, and every URB that reaches
// the bus is counted as it arrives, the refused ones too.
TEST_F(Bus, UnplugOnTheNthRequestOfAnyKindCountsEachArrival) {
  uint64_t before = rig_.device().urbs_arrived();
  rig_.device().unplug_on(sim::UrbMatch::any(), 3);
  auto in = rig_.pending_in();
  EXPECT_EQ(rig_.read_register(0x10)->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(rig_.device().urbs_arrived(), before + 2);
  EXPECT_TRUE(rig_.device().present());
  EXPECT_EQ(rig_.pipe_request(URB_FUNCTION_ABORT_PIPE, CameraRig::kOut)->send_and_wait(),
            STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(rig_.device().present());
  ASSERT_TRUE(in->done.wait());
  EXPECT_EQ(in->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(rig_.bulk(64)->send(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(rig_.device().wait_for_urbs(before + 4, kBound));
  EXPECT_FALSE(rig_.device().wait_for_urbs(before + 5, std::chrono::milliseconds(0)));
}

// A pipe abort races an unconfigure on another thread: the abort either finds the
// pipe or fails with a stale handle, never uses a deleted pipe; the old handle
// fails afterwards, even once a new configuration made new pipes. Seeded spins
// shift the two threads' start.
TEST_F(Bus, AnAbortRacingAnUnconfigureNeverUsesADeletedPipe) {
  std::mt19937 random(7);
  for (int round = 0; round < 100; ++round) {
    USBD_PIPE_HANDLE handle = rig_.pipe(CameraRig::kIn);
    auto abort = rig_.pipe_request(URB_FUNCTION_ABORT_PIPE);
    auto unconfigure = std::make_unique<UrbIrp>(rig_.pdo());
    unconfigure->urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    unconfigure->urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    int spins[2] = {static_cast<int>(random() % 2000), static_cast<int>(random() % 2000)};
    std::atomic<int> ready{0};
    auto start = [&ready](int spin) {
      ready++;
      while (ready.load() < 2) {
      }
      std::atomic<int> spun{0};
      while (spun.fetch_add(1, std::memory_order_relaxed) < spin) {
      }
    };
    std::thread aborter([&] {
      start(spins[0]);
      abort->send_and_wait();
    });
    start(spins[1]);
    EXPECT_EQ(unconfigure->send_and_wait(), STATUS_SUCCESS);
    aborter.join();
    EXPECT_TRUE(abort->usbd == USBD_STATUS_SUCCESS || abort->usbd == USBD_STATUS_INVALID_PIPE_HANDLE)
        << std::hex << abort->usbd;
    rig_.configure();
    auto stale = std::make_unique<UrbIrp>(rig_.pdo());
    stale->pipe_request(URB_FUNCTION_ABORT_PIPE, handle);
    EXPECT_EQ(stale->send_and_wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
}

// ---- a cancelled transfer completes later, on the host controller ----

// What the driver frees of a cancelled transfer: its IRP, its URB, its buffer or
// its MDL, all in its own pool.
enum class Freed { Irp, Urb, Buffer, Mdl };

struct FreedCase {
  const char* name;
  Freed what;
  sim::Fault fault;
};

class CancelledTransfer : public Bus, public ::testing::WithParamInterface<FreedCase> {
 protected:
  // Keeps the host controller inside the completion routine of an OUT transfer.
  void block_host_controller() {
    blocker_ = rig_.bulk(16, CameraRig::kOut);
    gate_.hold(*blocker_);
    EXPECT_EQ(blocker_->send(), STATUS_PENDING);
    ASSERT_TRUE(gate_.entered.wait());
  }

  Gate gate_;
  std::unique_ptr<UrbIrp> blocker_;
};

// IoCancelIrp returns before the routine runs; the driver frees something of the
// transfer before (reported the moment it does) or after its routine has run.
TEST_P(CancelledTransfer, CompletesAfterIoCancelIrpReturnedAndMayBeFreedOnlyThen) {
  for (bool early : {true, false}) {
    auto* urb =
        static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    auto* buffer = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, 4096));
    PMDL mdl = IoAllocateMdl(buffer, 4096, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    auto request = rig_.bulk(4096);
    memcpy(urb, &request->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    bool by_mdl = GetParam().what == Freed::Mdl;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = by_mdl ? nullptr : buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = by_mdl ? mdl : nullptr;
    block_host_controller();
    EXPECT_EQ(request->send(urb), STATUS_PENDING);
    ASSERT_TRUE(rig_.device().wait_for_pending(1, kBound));
    EXPECT_TRUE(IoCancelIrp(request->irp));
    EXPECT_FALSE(request->done.is_set());
    bool freed = false;
    auto free_it = [&] {
      switch (GetParam().what) {
        case Freed::Irp:
          IoFreeIrp(request->irp);
          break;
        case Freed::Urb:
          ExFreePool(urb);
          break;
        case Freed::Buffer:
          ExFreePool(buffer);
          break;
        case Freed::Mdl:
          IoFreeMdl(mdl);
          break;
      }
    };
    if (early) {
      sim::ExpectFault fault(GetParam().fault);
      free_it();
      EXPECT_EQ(fault.count(), 1);
      freed = GetParam().what != Freed::Irp;  // a reported IoFreeIrp leaves the IRP alone
    }
    gate_.release.set();
    ASSERT_TRUE(request->done.wait());
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_NE(request->thread, std::this_thread::get_id());
    EXPECT_EQ(request->irql, DISPATCH_LEVEL);
    if (!early) {
      free_it();
      freed = true;
    }
    if (freed && GetParam().what == Freed::Irp) request->irp = nullptr;
    if (!freed || GetParam().what != Freed::Urb) ExFreePool(urb);
    if (!freed || GetParam().what != Freed::Mdl) IoFreeMdl(mdl);
    if (!freed || GetParam().what != Freed::Buffer) ExFreePool(buffer);
    gate_.entered.reset();
    gate_.release.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(
    What, CancelledTransfer,
    ::testing::Values(FreedCase{"Irp", Freed::Irp, sim::Fault::IrpFreedWhileOwnedBelow},
                      FreedCase{"Urb", Freed::Urb, sim::Fault::BufferFreedUnderTransfer},
                      FreedCase{"Buffer", Freed::Buffer, sim::Fault::BufferFreedUnderTransfer},
                      FreedCase{"Mdl", Freed::Mdl, sim::Fault::BufferFreedUnderTransfer}),
    CaseName());

// ---- the bus takes system addresses ----

// A transfer buffer that is an application's address (here a user view of pool)
// means nothing on the host controller: reported, and the URB refused. The same
// memory at its system address is fine.
TEST_F(Bus, RefusesAUserAddressAsATransferBuffer) {
  PVOID pool = ExAllocatePool(NonPagedPool, PAGE_SIZE);
  PMDL mdl = IoAllocateMdl(pool, PAGE_SIZE, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  sim::Process viewer("viewer");
  PVOID view;
  {
    sim::ProcessScope in(viewer);
    view = map_user_view(mdl);
  }
  ASSERT_NE(view, nullptr);
  for (PVOID buffer : {view, pool}) {
    auto request = rig_.bulk(512);
    request->urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    std::unique_ptr<sim::ExpectFault> user;
    if (buffer == view) user = std::make_unique<sim::ExpectFault>(sim::Fault::UserAddressInUrb);
    NTSTATUS sent = request->send();
    if (user) {
      EXPECT_TRUE(mentions(*user, "lies in the user view"));
      EXPECT_TRUE(mentions(*user, "of process viewer"));
      EXPECT_EQ(sent, STATUS_INVALID_PARAMETER);
      continue;
    }
    EXPECT_EQ(sent, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(request->irp));
    ASSERT_TRUE(request->done.wait());
  }
  {
    sim::ProcessScope in(viewer);
    MmUnmapLockedPages(view, mdl);
  }
  IoFreeMdl(mdl);
  ExFreePool(pool);
}

}  // namespace
}  // namespace simtest
