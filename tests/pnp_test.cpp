// Plug and Play dispatch: the device's state through start, stop, query-remove and
// cancel, capabilities, surprise removal; and the request gate underneath it.
#include <quorvex/quorvex.h>

#include "driver/driver.h"
#include "support/posted_read.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

class Pnp : public Testbed {
 protected:
  CAM_PNP_STATE state(sim::UsbDevice& device) { return extension(device)->PnpState; }

  sim::PnpRecord last(UCHAR minor) {
    std::vector<sim::PnpRecord> history = platform().history();
    for (auto it = history.rbegin(); it != history.rend(); ++it) {
      if (it->minor == minor) return *it;
    }
    ADD_FAILURE() << "no request " << int(minor);
    return {};
  }

  sim::UsbDevice& attach() {
    sim::Platform::Plugged added = platform().attach(camera());
    EXPECT_EQ(added.add_status, STATUS_SUCCESS);
    return *added.device;
  }
};

TEST_F(Pnp, FollowsTheStateTableThroughALife) {
  sim::UsbDevice& device = attach();
  EXPECT_EQ(state(device), CamPnpNotStarted);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStarted);
  ASSERT_EQ(platform().query_remove(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpQueryRemoved);
  ASSERT_EQ(platform().cancel_remove(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStarted);
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStopped);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStarted);
  PDEVICE_OBJECT fdo = platform().fdo(device);
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  for (PDEVICE_OBJECT d : platform().driver().devices()) EXPECT_NE(d, fdo);
}

TEST_F(Pnp, AStartTheLowerDriversFailIsNotConfigured) {
  sim::UsbDevice& device = attach();
  const NTSTATUS not_ready = static_cast<NTSTATUS>(0xC00000A3L);
  device.fail_pnp(IRP_MN_START_DEVICE, not_ready);
  EXPECT_EQ(platform().start(device), not_ready);
  EXPECT_EQ(last(IRP_MN_START_DEVICE).returned, not_ready);
  EXPECT_EQ(state(device), CamPnpNotStarted);
  EXPECT_TRUE(device.trace().empty());
}

TEST_F(Pnp, AStartThatEndsInAnInformationalStatusLeavesTheDeviceNotStarted) {
  sim::UsbDevice& device = attach();
  const NTSTATUS informational = static_cast<NTSTATUS>(0x40000000L);
  device.set_control_deferred(false);
  device.fail_urb(sim::UrbMatch::select_configuration(), USBD_STATUS_SUCCESS, informational);
  EXPECT_EQ(platform().start(device), informational);
  EXPECT_EQ(state(device), CamPnpNotStarted);
}

// Succeeded before they go down though nothing else is done: the bus's verifier
// reports either passed down with the status it was sent with.
TEST_F(Pnp, QueryAndCancelRemoveOfADeviceNeverStartedAreSucceededAndPassedDown) {
  sim::UsbDevice& device = attach();
  EXPECT_EQ(platform().query_remove(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpNotStarted);
  EXPECT_EQ(platform().cancel_remove(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpNotStarted);
}

// The camera is unconfigured while the bus still serves it: a stopped bus refuses
// URBs, so an unconfigure sent after the stop never reaches the camera.
TEST_F(Pnp, AStopUnconfiguresTheCameraBeforeTheBusStops) {
  sim::UsbDevice& device = plug();
  device.clear_trace();
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  std::vector<sim::BusEvent> trace = device.trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, sim::BusEvent::Unconfigure);
}

// A stop is never failed: without memory for the unconfigure request it still goes
// down and succeeds, the device stays Stopping, and device control stays refused
// until a start.
TEST_F(Pnp, AStopWithoutMemoryForTheUnconfigureRequestStillStops) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  device.clear_trace();
  sim::inject::fail_pool_allocation(1);
  EXPECT_EQ(platform().stop(device), STATUS_SUCCESS);
  EXPECT_EQ(last(IRP_MN_STOP_DEVICE).returned, STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStopping);
  EXPECT_TRUE(device.trace().empty());
  uint8_t out[4];
  EXPECT_EQ(sim::nt_device_io_control(handle, IOCTL_CAM_GET_MODEL, nullptr, 0, out, sizeof(out), nullptr),
            STATUS_DELETE_PENDING);
  open(0, STATUS_UNSUCCESSFUL);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_device_io_control(handle, IOCTL_CAM_GET_MODEL, nullptr, 0, out, sizeof(out), nullptr),
            STATUS_SUCCESS);
  sim::nt_close(handle);
}

// A stop the bus pends or fails is returned as the bus completes it.
TEST_F(Pnp, AStopReturnsWhatTheBusCompletesItWith) {
  sim::UsbDevice& device = plug();
  device.set_pnp_deferred(true);
  EXPECT_EQ(platform().stop(device), STATUS_SUCCESS);
  EXPECT_EQ(last(IRP_MN_STOP_DEVICE).returned, STATUS_PENDING);
  device.set_pnp_deferred(false);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  const NTSTATUS refused = static_cast<NTSTATUS>(0xC0000010L);
  device.fail_pnp(IRP_MN_STOP_DEVICE, refused);
  platform().stop(device);
  EXPECT_EQ(last(IRP_MN_STOP_DEVICE).returned, refused);
  EXPECT_EQ(last(IRP_MN_STOP_DEVICE).status, refused);
}

TEST_F(Pnp, CapabilitiesOfVersionOneAllowSurpriseRemoval) {
  sim::UsbDevice& device = plug();
  DEVICE_CAPABILITIES caps;
  EXPECT_EQ(platform().query_capabilities(device, &caps, 1), STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(platform().query_capabilities(device, &caps, 0), STATUS_UNSUCCESSFUL);  // the bus refuses it
  EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
}

TEST_F(Pnp, OtherRequestsPassDownUnchanged) {
  sim::UsbDevice& device = plug();
  EXPECT_EQ(platform().send_pnp(device, IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(platform().send_pnp(device, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(platform().send_pnp(device, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStarted);
}

// A start to a started device configures it again and leaves it started, as it
// always did: the state table is not a reason to stop the machine over it.
TEST_F(Pnp, AStartToAStartedDeviceKeepsItStarted) {
  sim::UsbDevice& device = plug();
  EXPECT_EQ(platform().send_pnp(device, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpStarted);
  sim::Handle handle = open();
  uint8_t model[4] = {};
  ULONG_PTR information = 0;
  EXPECT_EQ(
      sim::nt_device_io_control(handle, IOCTL_CAM_GET_MODEL, nullptr, 0, model, sizeof(model), &information),
      STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// From surprise removal on, new opens and device control are refused; the rest
// waits for the remove that follows the last close.
TEST_F(Pnp, SurpriseRemovalRefusesNewWorkAndRemovalFollowsTheLastClose) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  EXPECT_EQ(platform().unplug(device), STATUS_SUCCESS);
  EXPECT_EQ(state(device), CamPnpSurpriseRemoved);
  EXPECT_EQ(last(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  open(0, STATUS_DELETE_PENDING);
  uint8_t out[4];
  EXPECT_EQ(sim::nt_device_io_control(handle, IOCTL_CAM_GET_MODEL, nullptr, 0, out, sizeof(out), nullptr),
            STATUS_DELETE_PENDING);
  EXPECT_FALSE(platform().wait_removed(device, 0ms));
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  ASSERT_TRUE(platform().wait_removed(device, kBound));
  EXPECT_EQ(last(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(device.pdo(), nullptr);
  // A test that pulls out or removes the camera again gets an answer, not a crash.
  EXPECT_EQ(platform().unplug(device), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(platform().remove(device), STATUS_NO_SUCH_DEVICE);
}

// Management requests go to the bus, which provides no data and completes them
// with the status they came with.
TEST_F(Pnp, ManagementRequestsPassDown) {
  sim::UsbDevice& device = plug();
  PDEVICE_OBJECT fdo = platform().fdo(device);
  ManagementRequest request(fdo);
  EXPECT_EQ(IofCallDriver(fdo, request.irp), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(request.irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
}

// Through a life with requests that allocate, every block the driver takes is
// tagged non-executable pool.
TEST_F(Pnp, EveryPoolBlockIsTaggedAndNotExecutable) {
  sim::PoolHabits before = sim::driver_pool_habits();
  long allocations = sim::inject::pool_allocations();
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  uint8_t in[2] = {0x35, 0};
  uint8_t out[128];
  for (ULONG code :
       {IOCTL_CAM_READ_REGISTER, IOCTL_CAM_READ_BLOCK, IOCTL_CAM_GET_DEVICE_LIST, IOCTL_CAM_ABORT_PIPE}) {
    sim::nt_device_io_control(handle, code, in, sizeof(in), out, sizeof(out), nullptr);
  }
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  sim::nt_close(handle);
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  sim::PoolHabits after = sim::driver_pool_habits();
  EXPECT_GT(sim::inject::pool_allocations() - allocations, 10);
  EXPECT_EQ(after.untagged, before.untagged);
  EXPECT_EQ(after.executable, before.executable);
}

TEST_F(Pnp, RequestsArriveInTheOrderTheManagerSendsThem) {
  sim::UsbDevice& device = plug();
  platform().stop(device);
  platform().remove(device);
  std::vector<UCHAR> minors;
  for (const sim::PnpRecord& r : platform().history()) minors.push_back(r.minor);
  EXPECT_EQ(minors,
            (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

// A change of state the table does not list is this driver's fault and stops the
// machine, naming the two states; the tests above walk the changes it lists.
struct StateChange {
  const char* name;
  CAM_PNP_STATE from;
  CAM_PNP_STATE to;
  const char* bug_check;
};

void PrintTo(const StateChange& change, std::ostream* os) { *os << change.name; }

class PnpStateTable : public ::testing::TestWithParam<StateChange> {};

TEST_P(PnpStateTable, RefusesAChangeItDoesNotList) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CAM_DEVICE_EXTENSION extension{};
  extension.PnpState = GetParam().from;
  EXPECT_DEATH(CamSetPnpState(&extension, GetParam().to), GetParam().bug_check);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, PnpStateTable,
    ::testing::Values(StateChange{"NotStartedToStopping", CamPnpNotStarted, CamPnpStopping,
                                  "KeBugCheckEx\\(0x30787651, 0x1, 0x0, 0x3, "},
                      StateChange{"QueryRemovedToStopping", CamPnpQueryRemoved, CamPnpStopping,
                                  "KeBugCheckEx\\(0x30787651, 0x1, 0x2, 0x3, "},
                      StateChange{"StartedToStopped", CamPnpStarted, CamPnpStopped,
                                  "KeBugCheckEx\\(0x30787651, 0x1, 0x1, 0x4, "},
                      StateChange{"SurpriseRemovedToStarted", CamPnpSurpriseRemoved, CamPnpStarted,
                                  "KeBugCheckEx\\(0x30787651, 0x1, 0x5, 0x1, "},
                      StateChange{"RemovedToRemoved", CamPnpRemoved, CamPnpRemoved,
                                  "KeBugCheckEx\\(0x30787651, 0x1, 0x6, 0x6, "},
                      StateChange{"StartedToStarted", CamPnpStarted, CamPnpStarted,
                                  "KeBugCheckEx\\(0x30787651, 0x1, 0x1, 0x1, "}),
    [](const ::testing::TestParamInfo<StateChange>& info) { return std::string(info.param.name); });

// Device control between a start and the next stop, query-remove or removal.
class ControlReadiness : public Pnp {
 protected:
  NTSTATUS get_model(sim::Handle handle, ULONG_PTR* information) {
    uint8_t out[4] = {0xDE, 0xDE, 0xDE, 0xDE};
    return sim::nt_device_io_control(handle, IOCTL_CAM_GET_MODEL, nullptr, 0, out, sizeof(out), information);
  }
  void expect_refused(sim::UsbDevice& device, sim::Handle handle) {
    ULONG_PTR information = 99;
    EXPECT_EQ(get_model(handle, &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(extension(device)->IoCount, 1);
  }
  void expect_served(sim::Handle handle) {
    ULONG_PTR information = 0;
    EXPECT_EQ(get_model(handle, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
  }
};

TEST_F(ControlReadiness, IsRefusedWhileAQueryRemoveIsPendingAndServedAfterItsCancel) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  expect_served(handle);
  ASSERT_EQ(platform().query_remove(device), STATUS_SUCCESS);
  expect_refused(device, handle);
  ASSERT_EQ(platform().cancel_remove(device), STATUS_SUCCESS);
  expect_served(handle);
  sim::nt_close(handle);
}

TEST_F(ControlReadiness, IsRefusedAfterAStopAndServedAfterTheRestart) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  expect_refused(device, handle);
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  expect_served(handle);
  sim::nt_close(handle);
}

TEST_F(ControlReadiness, IsRefusedOnAHandleThatOutlivedRemoval) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  ULONG_PTR information = 99;
  EXPECT_EQ(get_model(handle, &information), STATUS_DELETE_PENDING);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
}

// The gate's two thresholds, on a real device object.
class RequestGate : public Pnp {
 protected:
  void SetUp() override {
    device_ = &attach();
    fdo_ = platform().fdo(*device_);
    ext_ = extension(*device_);
  }
  sim::UsbDevice* device_;
  PDEVICE_OBJECT fdo_;
  PCAM_DEVICE_EXTENSION ext_;
};

// A drain holds one count with the device's own: the fall to 2 wakes it, and
// the device's own count never signals removal.
TEST_F(RequestGate, CountsRequestsAndSignalsTheDrainWhenTheOthersLeave) {
  ASSERT_TRUE(CamEnterRequest(fdo_));
  ASSERT_TRUE(CamEnterRequest(fdo_));
  EXPECT_EQ(ext_->IoCount, 3);
  EXPECT_EQ(KeReadStateEvent(&ext_->DrainEvent), 0);
  CamLeaveRequest(fdo_);
  EXPECT_EQ(KeReadStateEvent(&ext_->DrainEvent), 1);
  CamLeaveRequest(fdo_);
  EXPECT_EQ(ext_->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&ext_->RemoveEvent), 0);
}

TEST_F(RequestGate, RefusesOnceRemovalHasBegunAndSignalsRemovalAtZero) {
  ASSERT_TRUE(CamEnterRequest(fdo_));  // a request inside when removal begins
  ASSERT_TRUE(CamEnterRequest(fdo_));  // the remove request
  ext_->PnpState = CamPnpRemoved;
  EXPECT_FALSE(CamEnterRequest(fdo_));
  EXPECT_EQ(ext_->IoCount, 3);
  CamLeaveRequest(fdo_);  // removal gives up its request and the device's reference
  CamLeaveRequest(fdo_);
  EXPECT_EQ(ext_->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&ext_->RemoveEvent), 0);
  EXPECT_FALSE(CamEnterRequest(fdo_));
  EXPECT_EQ(KeReadStateEvent(&ext_->RemoveEvent), 0);
  CamLeaveRequest(fdo_);  // the request inside leaves: removal may go on
  EXPECT_EQ(ext_->IoCount, 0);
  EXPECT_EQ(KeReadStateEvent(&ext_->RemoveEvent), 1);
  // A refusal whose own decrement reaches 0 signals removal too.
  KeResetEvent(&ext_->RemoveEvent);
  EXPECT_FALSE(CamEnterRequest(fdo_));
  EXPECT_EQ(ext_->IoCount, 0);
  EXPECT_EQ(KeReadStateEvent(&ext_->RemoveEvent), 1);
  // Put the device back as it was so that the scenario can remove it.
  ext_->IoCount = 1;
  ext_->PnpState = CamPnpNotStarted;
  KeResetEvent(&ext_->RemoveEvent);
}

}  // namespace
}  // namespace quorvex::test
