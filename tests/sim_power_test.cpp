// The power manager and the bus as Windows runs them: device power requests pend
// at the bus and complete later at DISPATCH_LEVEL, PoRequestPowerIrp returns
// before its callback runs; and Driver Verifier's power checks, each fired by a
// faulty driver and silent for its legal look-alike.
#include <algorithm>
#include <set>
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

using sim::ExpectFault;
using sim::Fault;

POWER_STATE device_state(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

struct Callback {
  std::thread::id thread;
  KIRQL irql = 0xFF;
  NTSTATUS status = STATUS_PENDING;
  Signal done;
};

VOID NTAPI power_done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* c = static_cast<Callback*>(context);
  c->thread = std::this_thread::get_id();
  c->irql = KeGetCurrentIrql();
  c->status = status->Status;
  c->done.set();
}

class PowerRequest : public ::testing::TestWithParam<bool> {
 protected:
  CameraRig rig_;
};

// Deferred (the default): the request pends at the bus, the callback runs on the
// host controller at DISPATCH_LEVEL. Inline: everything happens inside the call.
TEST_P(PowerRequest, CompletesAtTheBusAsTheSettingSays) {
  bool deferred = GetParam();
  rig_.device().set_power_deferred(deferred);
  Callback callback;
  PDEVICE_OBJECT fdo = rig_.platform().fdo(rig_.device());
  EXPECT_EQ(
      PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, device_state(PowerDeviceD2), power_done, &callback, nullptr),
      STATUS_PENDING);
  ASSERT_TRUE(callback.done.wait());
  EXPECT_EQ(callback.thread != std::this_thread::get_id(), deferred);
  EXPECT_EQ(callback.irql, deferred ? DISPATCH_LEVEL : PASSIVE_LEVEL);
  EXPECT_EQ(callback.status, STATUS_SUCCESS);
  EXPECT_EQ(rig_.device().power_state(), PowerDeviceD2);
  rig_.platform().clear_history();
  POWER_STATE d0 = device_state(PowerDeviceD0);
  EXPECT_EQ(rig_.platform().send_power(rig_.device(), IRP_MN_SET_POWER, DevicePowerState, d0).get(),
            STATUS_SUCCESS);
  EXPECT_EQ(rig_.platform().history().back().returned, deferred ? STATUS_PENDING : STATUS_SUCCESS);
  EXPECT_EQ(rig_.device().power_state(), PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(DeferredAndInline, PowerRequest, ::testing::Bool());

// ---- a device set-power the bus fails ----

struct FailedPowerCase {
  const char* name;
  DEVICE_POWER_STATE from;   // the device's state before
  DEVICE_POWER_STATE fails;  // the request the bus fails
  NTSTATUS status;
};

class FailedDevicePower : public ::testing::TestWithParam<std::tuple<FailedPowerCase, bool>> {
 protected:
  NTSTATUS set_device_power(DEVICE_POWER_STATE state) {
    return rig_.platform()
        .send_power(rig_.device(), IRP_MN_SET_POWER, DevicePowerState, device_state(state))
        .get();
  }
  NTSTATUS transfer() {
    auto request = rig_.bulk(512);
    rig_.device().camera().set_frame_size(512);
    rig_.device().camera().queue_frames(1);
    return request->send_and_wait();
  }
  CameraRig rig_;
};

// The next request for the state fails once, completed as the setting says, and
// the device stays where it was: a camera that did not come back to D0 still
// refuses transfers. A request for another state goes through meanwhile.
TEST_P(FailedDevicePower, FailsOnceAndLeavesTheDeviceWhereItWas) {
  const auto& [c, deferred] = GetParam();
  sim::UsbDevice& device = rig_.device();
  device.set_power_deferred(deferred);
  ASSERT_EQ(set_device_power(c.from), STATUS_SUCCESS);
  device.fail_device_power(c.fails, c.status);
  ASSERT_EQ(set_device_power(c.from), STATUS_SUCCESS);
  {
    ExpectFault failed(Fault::SetPowerFailed);
    rig_.platform().clear_history();
    EXPECT_EQ(set_device_power(c.fails), c.status);
    EXPECT_EQ(rig_.platform().history().back().returned, deferred ? STATUS_PENDING : c.status);
    EXPECT_EQ(failed.count(), 1);
  }
  EXPECT_EQ(device.power_state(), c.from);
  EXPECT_EQ(transfer(), c.from == PowerDeviceD0 ? STATUS_SUCCESS : STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(set_device_power(c.fails), STATUS_SUCCESS);
  EXPECT_EQ(device.power_state(), c.fails);
  EXPECT_EQ(transfer(), c.fails == PowerDeviceD0 ? STATUS_SUCCESS : STATUS_DEVICE_POWERED_OFF);
}

INSTANTIATE_TEST_SUITE_P(
    States, FailedDevicePower,
    ::testing::Combine(
        ::testing::Values(FailedPowerCase{"PowerUp", PowerDeviceD3, PowerDeviceD0, STATUS_DEVICE_DATA_ERROR},
                          FailedPowerCase{"PowerDown", PowerDeviceD0, PowerDeviceD2, STATUS_UNSUCCESSFUL}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Deferred" : "Inline");
    });

// ---- Driver Verifier's power checks ----

// A power dispatch routine that keeps the request until the test passes it on.
PIRP g_held = nullptr;
Signal* g_arrived = nullptr;
NTSTATUS NTAPI hold_power(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g_held = irp;
  g_arrived->set();
  return STATUS_PENDING;
}

NTSTATUS query_capabilities(PDEVICE_OBJECT pdo, USHORT size, USHORT version) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = size;
  caps.Version = version;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  UrbIrp request(pdo);
  request.irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request.irp);
  IoSetCompletionRoutine(request.irp, UrbIrp::on_complete, &request, TRUE, TRUE, TRUE);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = &caps;
  IoCallDriver(pdo, request.irp);
  EXPECT_TRUE(request.done.wait());
  EXPECT_EQ(NT_SUCCESS(request.status), caps.DeviceState[PowerSystemWorking] == PowerDeviceD0);
  return request.status;
}

class PowerVerifier : public ::testing::Test {
 protected:
  explicit PowerVerifier(sim::CameraConfig config = {}) : rig_(std::move(config)) {}
  sim::UsbDevice& device() { return rig_.device(); }
  NTSTATUS set_device_power(DEVICE_POWER_STATE state) {
    return rig_.platform()
        .send_power(device(), IRP_MN_SET_POWER, DevicePowerState, device_state(state))
        .get();
  }
  CameraRig rig_;
};

TEST_F(PowerVerifier, ReportsPowerRoutinesOnARequestThatIsNotALivePowerRequest) {
  {
    ExpectFault not_power(Fault::PowerIrpNotLive);
    auto read = rig_.read_register(0x10);
    read->prepare();
    PoStartNextPowerIrp(read->irp);
    PoCallDriver(rig_.pdo(), read->irp);  // still goes down, as it would on Windows
    EXPECT_TRUE(read->done.wait());
    EXPECT_EQ(not_power.count(), 2);
  }
  // The pass-through driver calls both on every power request it gets.
  EXPECT_EQ(set_device_power(PowerDeviceD0), STATUS_SUCCESS);
}

TEST_F(PowerVerifier, ReportsARequestHeldPastTheLimitButNotOneWithinIt) {
  sim::set_power_request_limit(std::chrono::milliseconds(1000));
  EXPECT_EQ(set_device_power(PowerDeviceD0), STATUS_SUCCESS);
  sim::set_power_request_limit(std::chrono::milliseconds(20));
  Signal arrived;
  g_arrived = &arrived;
  PDRIVER_OBJECT driver = rig_.platform().driver().object();
  driver->MajorFunction[IRP_MJ_POWER] = hold_power;
  ExpectFault held(Fault::PowerIrpHeldTooLong);
  auto sent =
      rig_.platform().send_power(device(), IRP_MN_SET_POWER, DevicePowerState, device_state(PowerDeviceD0));
  ASSERT_TRUE(arrived.wait());
  EXPECT_TRUE(held.wait(kBound));
  EXPECT_TRUE(mentions(held, "IRP_MN_SET_POWER D0"));
  driver->MajorFunction[IRP_MJ_POWER] = pass_power;
  pass_power(rig_.platform().fdo(device()), g_held);
  EXPECT_EQ(sent.get(), STATUS_SUCCESS);
  EXPECT_EQ(held.count(), 1);  // once per request
  g_arrived = nullptr;
}

TEST_F(PowerVerifier, ReportsAPowerDownReachingTheBusWithTransfersQueued) {
  auto transfer = rig_.pending_in();
  {
    ExpectFault queued(Fault::PowerDownWithTransfersQueued);
    EXPECT_EQ(set_device_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_TRUE(mentions(queued, "D3 with 1 transfer(s) queued"));
  }
  EXPECT_EQ(device().power_state(), PowerDeviceD3);
  EXPECT_EQ(set_device_power(PowerDeviceD0), STATUS_SUCCESS);  // powering up is never reported
  IoCancelIrp(transfer->irp);
  ASSERT_TRUE(transfer->done.wait());
  EXPECT_EQ(set_device_power(PowerDeviceD3), STATUS_SUCCESS);  // nothing queued any more
}

// A strict bus answers only a capabilities record with its size and version 1.
TEST_F(PowerVerifier, CapabilitiesAreFailedWithoutSizeAndVersion) {
  EXPECT_EQ(query_capabilities(rig_.pdo(), sizeof(DEVICE_CAPABILITIES), 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(query_capabilities(rig_.pdo(), sizeof(DEVICE_CAPABILITIES) - 1, 1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(query_capabilities(rig_.pdo(), sizeof(DEVICE_CAPABILITIES), 1), STATUS_SUCCESS);
}

// A camera that can wake the system from S3, and itself from D2.
sim::CameraConfig wake_capable() {
  sim::CameraConfig config;
  config.capabilities.DeviceWake = PowerDeviceD2;
  config.capabilities.SystemWake = PowerSystemSleeping3;
  config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  return config;
}

class WakeCapable : public PowerVerifier {
 protected:
  WakeCapable() : PowerVerifier(wake_capable()) {}
};

// The bus reports the capabilities the test gave its camera.
TEST_F(WakeCapable, CapabilitiesAreTheCameraOwn) {
  DEVICE_CAPABILITIES caps;
  ASSERT_EQ(rig_.platform().query_capabilities(device(), &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
  EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
  DEVICE_CAPABILITIES given = wake_capable().capabilities;
  EXPECT_TRUE(
      std::equal(std::begin(caps.DeviceState), std::end(caps.DeviceState), std::begin(given.DeviceState)));
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
}

// The bus holds one wait-wake request until the camera signals; a cancel ends it,
// also one that came while the request was still above the bus, before the bus
// had set its cancel routine.
TEST_F(WakeCapable, WaitWakeIsHeldUntilTheCameraSignalsOrItIsCancelled) {
  enum End { Wake, CancelWhileHeld, CancelBeforeArrival };
  PDRIVER_OBJECT driver = rig_.platform().driver().object();
  PDEVICE_OBJECT fdo = rig_.platform().fdo(device());
  for (End end : {Wake, CancelWhileHeld, CancelBeforeArrival}) {
    Signal arrived;
    g_arrived = &arrived;
    driver->MajorFunction[IRP_MJ_POWER] = hold_power;
    POWER_STATE sleeping;
    sleeping.SystemState = PowerSystemSleeping1;
    auto sent = rig_.platform().send_power(device(), IRP_MN_WAIT_WAKE, SystemPowerState, sleeping);
    ASSERT_TRUE(arrived.wait());
    driver->MajorFunction[IRP_MJ_POWER] = pass_power;
    if (end == CancelBeforeArrival) {
      EXPECT_FALSE(IoCancelIrp(g_held));  // no cancel routine yet
    }
    EXPECT_EQ(pass_power(fdo, g_held), STATUS_PENDING) << end;
    if (end == Wake) {
      EXPECT_TRUE(device().signal_wake());
    } else if (end == CancelWhileHeld) {
      EXPECT_TRUE(IoCancelIrp(g_held));
    }
    ASSERT_EQ(sent.wait_for(kBound), std::future_status::ready) << end;
    EXPECT_EQ(sent.get(), end == Wake ? STATUS_SUCCESS : STATUS_CANCELLED) << end;
    EXPECT_FALSE(device().signal_wake()) << end;  // nothing held any more
  }
  g_arrived = nullptr;
}

// ---- system power at the bus, and the power policy owner above it ----

POWER_STATE system_state(SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  return power;
}

bool is_system_set(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState;
}

DEVICE_POWER_STATE device_state_for(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState == PowerSystemWorking
             ? PowerDeviceD0
             : PowerDeviceD3;
}

Signal* g_device_request_done = nullptr;

VOID NTAPI device_request_done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {
  if (g_device_request_done != nullptr) g_device_request_done->set();
}

// Asks for the device state the system state maps to, and passes the system
// request on at once, without waiting for the device request.
NTSTATUS NTAPI owner_not_waiting(PDEVICE_OBJECT device, PIRP irp) {
  if (is_system_set(irp)) {
    PoRequestPowerIrp(layer_of(device)->lower, IRP_MN_SET_POWER, device_state(device_state_for(irp)),
                      device_request_done, nullptr, nullptr);
  }
  return pass_power(device, irp);
}

// The system request goes on from the device request's callback, once it is done.
VOID NTAPI pass_system_request_on(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto* irp = static_cast<PIRP>(context);
  PDEVICE_OBJECT owner = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoCallDriver(layer_of(owner)->lower, irp);
  if (g_device_request_done != nullptr) g_device_request_done->set();
}

NTSTATUS NTAPI owner_waiting(PDEVICE_OBJECT device, PIRP irp) {
  if (!is_system_set(irp)) return pass_power(device, irp);
  IoMarkIrpPending(irp);
  PoRequestPowerIrp(layer_of(device)->lower, IRP_MN_SET_POWER, device_state(device_state_for(irp)),
                    pass_system_request_on, irp, nullptr);
  return STATUS_PENDING;
}

class SystemPower : public PowerVerifier {
 protected:
  SystemPower() { g_device_request_done = &device_request_done_; }
  ~SystemPower() override { g_device_request_done = nullptr; }

  void use(PDRIVER_DISPATCH owner) { rig_.platform().driver().object()->MajorFunction[IRP_MJ_POWER] = owner; }
  // A system power change, and the device request the owner made for it done.
  NTSTATUS change(SYSTEM_POWER_STATE state, bool device_request = true) {
    device_request_done_.reset();
    NTSTATUS status = state == PowerSystemWorking ? rig_.platform().wake() : rig_.platform().sleep(state);
    if (device_request) {
      EXPECT_TRUE(device_request_done_.wait());
    }
    return status;
  }
  NTSTATUS transfer() {
    auto request = rig_.bulk(512);
    device().camera().set_frame_size(512);
    device().camera().queue_frames(1);
    return request->send_and_wait();
  }

  Signal device_request_done_;
};

// A sleeping system suspends the port: transfers fail until the device is powered
// up again (its port resumes with it, ahead of the system request) or the system
// works again.
TEST_F(SystemPower, SleepSuspendsThePortUntilTheDeviceOrTheSystemPowersUp) {
  use(owner_waiting);
  for (bool device_first : {true, false}) {
    EXPECT_EQ(change(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(device().system_sleeping());
    EXPECT_EQ(device().power_state(), PowerDeviceD3);
    EXPECT_EQ(transfer(), STATUS_DEVICE_POWERED_OFF);
    if (device_first) {
      EXPECT_EQ(set_device_power(PowerDeviceD0), STATUS_SUCCESS);
      EXPECT_FALSE(device().system_sleeping());
      EXPECT_EQ(transfer(), STATUS_SUCCESS);
    }
    EXPECT_EQ(change(PowerSystemWorking, !device_first), STATUS_SUCCESS);
    EXPECT_FALSE(device().system_sleeping());
    EXPECT_EQ(transfer(), STATUS_SUCCESS);
  }
}

// An owner that lets the system request down without a device request leaves the
// device in D0 as the system sleeps.
TEST_F(SystemPower, ReportsASleepReachingTheBusWithTheDeviceInD0) {
  {
    ExpectFault in_d0(Fault::SleepWithDeviceInD0);
    EXPECT_EQ(change(PowerSystemSleeping1, false), STATUS_SUCCESS);
    EXPECT_TRUE(mentions(in_d0, "S1 reached the bus with the device in D0"));
  }
  EXPECT_EQ(change(PowerSystemWorking, false), STATUS_SUCCESS);
  use(owner_waiting);
  EXPECT_EQ(change(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(change(PowerSystemWorking), STATUS_SUCCESS);
}

// With the bus completing a system request ahead of a waiting device request, an
// owner that does not wait for its device request sees a sleeping system request
// done first; one that waits is never caught. Resuming, not waiting is allowed:
// it is what a leaf device's owner should do.
TEST_F(SystemPower, ReportsASleepDoneBeforeTheDeviceRequestMadeForIt) {
  device().set_system_power_first(true);
  use(owner_not_waiting);
  {
    ExpectFault early(Fault::SystemPowerCompletedBeforeDevice);
    EXPECT_EQ(change(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(mentions(early, "IRP_MN_SET_POWER D3) issued for it is still in progress"));
  }
  EXPECT_EQ(change(PowerSystemWorking), STATUS_SUCCESS);
  use(owner_waiting);
  EXPECT_EQ(change(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(change(PowerSystemWorking), STATUS_SUCCESS);
}

// A driver may fail a query, never a set.
NTSTATUS NTAPI fails_power(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  return complete_irp(irp, STATUS_UNSUCCESSFUL);
}

TEST_F(SystemPower, ReportsASetPowerCompletedWithAnErrorButNotAFailedQuery) {
  use(fails_power);
  POWER_STATE d2 = device_state(PowerDeviceD2);
  EXPECT_EQ(rig_.platform().send_power(device(), IRP_MN_QUERY_POWER, DevicePowerState, d2).get(),
            STATUS_UNSUCCESSFUL);
  for (UCHAR type : {UCHAR(DevicePowerState), UCHAR(SystemPowerState)}) {
    ExpectFault failed(Fault::SetPowerFailed);
    POWER_STATE state = type == DevicePowerState ? d2 : system_state(PowerSystemWorking);
    EXPECT_EQ(rig_.platform()
                  .send_power(device(), IRP_MN_SET_POWER, static_cast<POWER_STATE_TYPE>(type), state)
                  .get(),
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(mentions(failed, "completed with 0xC0000001"));
  }
  use(pass_power);
}

// ---- the whole machine's sleep and wake ----

struct SystemRequest {
  PDEVICE_OBJECT fdo;
  UCHAR minor;
  SYSTEM_POWER_STATE state;
  POWER_ACTION action;
};

// What the owner below saw of the system requests, and how it treats them.
struct SystemLog {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<SystemRequest> seen;
  PDEVICE_OBJECT refuses_query = nullptr;  // this stack fails a query
  long hold_for = 0;        // each request waits until this many of its kind (minor and state) have arrived
  bool held_alone = false;  // one waited in vain

  std::vector<SystemRequest> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::move(seen);
  }
};
SystemLog* g_log = nullptr;

// The waiting owner, which also logs every system request and may refuse a query.
NTSTATUS NTAPI logging_owner(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Power.Type != SystemPowerState) return owner_waiting(device, irp);
  bool refuse;
  {
    std::unique_lock<std::mutex> lock(g_log->mutex);
    g_log->seen.push_back({device, stack->MinorFunction, stack->Parameters.Power.State.SystemState,
                           stack->Parameters.Power.ShutdownType});
    g_log->arrived.notify_all();
    auto all_arrived = [stack] {
      return std::count_if(g_log->seen.begin(), g_log->seen.end(), [stack](const SystemRequest& r) {
               return r.minor == stack->MinorFunction && r.state == stack->Parameters.Power.State.SystemState;
             }) >= g_log->hold_for;
    };
    if (!g_log->arrived.wait_for(lock, kBound, all_arrived)) g_log->held_alone = true;
    refuse = stack->MinorFunction == IRP_MN_QUERY_POWER && device == g_log->refuses_query;
  }
  if (!refuse) return owner_waiting(device, irp);
  PoStartNextPowerIrp(irp);
  return complete_irp(irp, STATUS_UNSUCCESSFUL);
}

// Two started cameras and one added but never started, each under the logging owner.
class MachineSleep : public ::testing::Test {
 protected:
  MachineSleep() {
    g_log = &log_;
    second_ = rig_.platform().plug({}).device;
    idle_ = rig_.platform().attach({}).device;
    rig_.platform().driver().object()->MajorFunction[IRP_MJ_POWER] = logging_owner;
  }
  ~MachineSleep() override {
    rig_.finish();
    g_log = nullptr;
  }
  sim::Platform& platform() { return rig_.platform(); }
  PDEVICE_OBJECT fdo(sim::UsbDevice* device) { return platform().fdo(*device); }
  std::set<PDEVICE_OBJECT> started() { return {fdo(&rig_.device()), fdo(second_)}; }

  // The requests seen, one `minor` for `state` from each stack of `stacks`, in any
  // order, all of `action`.
  static void expect_each(const std::vector<SystemRequest>& seen, size_t from,
                          std::set<PDEVICE_OBJECT> stacks, UCHAR minor, SYSTEM_POWER_STATE state,
                          POWER_ACTION action) {
    ASSERT_GE(seen.size(), from + stacks.size());
    std::set<PDEVICE_OBJECT> got;
    for (size_t i = from; i < from + stacks.size(); ++i) {
      EXPECT_EQ(seen[i].minor, minor) << i;
      EXPECT_EQ(seen[i].state, state) << i;
      EXPECT_EQ(seen[i].action, action) << i;
      got.insert(seen[i].fdo);
    }
    EXPECT_EQ(got, stacks);
  }

  SystemLog log_;
  CameraRig rig_;
  sim::UsbDevice* second_ = nullptr;
  sim::UsbDevice* idle_ = nullptr;
};

// Every started stack is queried, then set; a wake is a set for the working state,
// never queried; a stopped stack is left out.
TEST_F(MachineSleep, QueriesThenSetsEveryStartedStackAndWakeSetsWorking) {
  EXPECT_EQ(platform().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(platform().system_power(), PowerSystemSleeping3);
  std::vector<SystemRequest> seen = log_.take();
  EXPECT_EQ(seen.size(), 4u);
  expect_each(seen, 0, started(), IRP_MN_QUERY_POWER, PowerSystemSleeping3, PowerActionSleep);
  expect_each(seen, 2, started(), IRP_MN_SET_POWER, PowerSystemSleeping3, PowerActionSleep);
  for (sim::UsbDevice* device : {&rig_.device(), second_}) {
    EXPECT_EQ(device->power_state(), PowerDeviceD3);
    EXPECT_TRUE(device->system_sleeping());
  }
  EXPECT_FALSE(idle_->system_sleeping());
  EXPECT_EQ(platform().sleep(PowerSystemSleeping1), STATUS_INVALID_DEVICE_STATE);  // asleep already
  EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
  seen = log_.take();
  EXPECT_EQ(seen.size(), 2u);
  expect_each(seen, 0, started(), IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
  EXPECT_EQ(platform().system_power(), PowerSystemWorking);
  EXPECT_EQ(second_->power_state(), PowerDeviceD0);
  EXPECT_EQ(platform().wake(), STATUS_SUCCESS);  // awake already: nothing is sent
  EXPECT_EQ(platform().sleep(PowerSystemWorking), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log_.take().empty());

  ASSERT_EQ(platform().stop(*second_), STATUS_SUCCESS);
  EXPECT_EQ(platform().sleep(PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
  seen = log_.take();
  EXPECT_EQ(seen.size(), 3u);
  expect_each(seen, 0, {fdo(&rig_.device())}, IRP_MN_QUERY_POWER, PowerSystemHibernate, PowerActionHibernate);
  expect_each(seen, 1, {fdo(&rig_.device())}, IRP_MN_SET_POWER, PowerSystemHibernate, PowerActionHibernate);
  expect_each(seen, 2, {fdo(&rig_.device())}, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
}

// A stack that fails the query keeps the machine working: every stack is told so.
TEST_F(MachineSleep, AFailedQueryReaffirmsTheWorkingStateEverywhere) {
  log_.refuses_query = fdo(second_);
  EXPECT_EQ(platform().sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(platform().system_power(), PowerSystemWorking);
  std::vector<SystemRequest> seen = log_.take();
  EXPECT_EQ(seen.size(), 4u);
  expect_each(seen, 0, started(), IRP_MN_QUERY_POWER, PowerSystemSleeping3, PowerActionSleep);
  expect_each(seen, 2, started(), IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
  EXPECT_EQ(rig_.device().power_state(), PowerDeviceD0);
  EXPECT_FALSE(rig_.device().system_sleeping());
  log_.refuses_query = nullptr;
  EXPECT_EQ(platform().sleep(PowerSystemSleeping1), STATUS_SUCCESS);
  EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
}

// Each request of a step is held until the other stack's has arrived: they are
// sent at once, not one after another.
TEST_F(MachineSleep, SendsEachStepToEveryStackAtOnce) {
  log_.hold_for = 2;
  EXPECT_EQ(platform().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
  EXPECT_EQ(log_.take().size(), 6u);
  EXPECT_FALSE(log_.held_alone);
}

// ---- wait-wake as the capabilities allow, and handing back a request ----

struct WakeCase {
  const char* name;
  DEVICE_POWER_STATE device_wake;
  SYSTEM_POWER_STATE system_wake;
  DEVICE_POWER_STATE in;    // the device's state when the request comes
  SYSTEM_POWER_STATE from;  // the sleeping state the request is to wake the system from
  NTSTATUS status;          // STATUS_PENDING: held until the camera signals
};

class WaitWakeAtTheBus : public ::testing::TestWithParam<WakeCase> {};

// A refused request completes inside PoRequestPowerIrp; a held one when the camera
// signals.
TEST_P(WaitWakeAtTheBus, IsHeldOnlyWhereTheCapabilitiesAllow) {
  const WakeCase& c = GetParam();
  sim::CameraConfig config;
  config.capabilities.DeviceWake = c.device_wake;
  config.capabilities.SystemWake = c.system_wake;
  CameraRig rig(config);
  POWER_STATE in = device_state(c.in);
  ASSERT_EQ(rig.platform().send_power(rig.device(), IRP_MN_SET_POWER, DevicePowerState, in).get(),
            STATUS_SUCCESS);
  Callback woken;
  EXPECT_EQ(PoRequestPowerIrp(rig.platform().fdo(rig.device()), IRP_MN_WAIT_WAKE, system_state(c.from),
                              power_done, &woken, nullptr),
            STATUS_PENDING);
  bool held = c.status == STATUS_PENDING;
  EXPECT_EQ(woken.done.is_set(), !held);
  EXPECT_EQ(rig.device().signal_wake(), held);
  ASSERT_TRUE(woken.done.wait());
  EXPECT_EQ(woken.status, held ? STATUS_SUCCESS : c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Capabilities, WaitWakeAtTheBus,
    ::testing::Values(WakeCase{"CannotWake", PowerDeviceUnspecified, PowerSystemWorking, PowerDeviceD0,
                               PowerSystemWorking, STATUS_NOT_SUPPORTED},
                      WakeCase{"HeldInD0", PowerDeviceD2, PowerSystemSleeping3, PowerDeviceD0,
                               PowerSystemSleeping3, STATUS_PENDING},
                      WakeCase{"HeldAtDeviceWake", PowerDeviceD2, PowerSystemSleeping3, PowerDeviceD2,
                               PowerSystemSleeping3, STATUS_PENDING},
                      WakeCase{"HeldForTheWorkingStateOnly", PowerDeviceD2, PowerSystemWorking, PowerDeviceD1,
                               PowerSystemWorking, STATUS_PENDING},
                      WakeCase{"DeviceDeeperThanDeviceWake", PowerDeviceD2, PowerSystemSleeping3,
                               PowerDeviceD3, PowerSystemSleeping3, STATUS_INVALID_DEVICE_STATE},
                      WakeCase{"SystemDeeperThanSystemWake", PowerDeviceD2, PowerSystemSleeping1,
                               PowerDeviceD0, PowerSystemSleeping3, STATUS_INVALID_DEVICE_STATE}),
    CaseName());

// Only a wait-wake request may be handed back by PoRequestPowerIrp, to be cancelled
// later: a set or a query may be over, its IRP freed, before the call returns.
TEST_F(WakeCapable, ReportsASetOrQueryHandedBackButNotAWaitWake) {
  PDEVICE_OBJECT fdo = rig_.platform().fdo(device());
  for (UCHAR minor : {UCHAR(IRP_MN_SET_POWER), UCHAR(IRP_MN_QUERY_POWER)}) {
    ExpectFault handed(Fault::PowerIrpPointerRequested);
    Callback done;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(fdo, minor, device_state(PowerDeviceD0), power_done, &done, &irp),
              STATUS_PENDING);
    ASSERT_TRUE(done.done.wait());
    EXPECT_EQ(handed.count(), 1);
  }
  Callback woken;
  PIRP wait_wake = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_WAIT_WAKE, system_state(PowerSystemSleeping3), power_done, &woken,
                              &wait_wake),
            STATUS_PENDING);
  ASSERT_NE(wait_wake, nullptr);
  EXPECT_TRUE(IoCancelIrp(wait_wake));
  ASSERT_TRUE(woken.done.wait());
  EXPECT_EQ(woken.status, STATUS_CANCELLED);
}

// The bus keeps its state for a device set-power to no state it knows.
TEST_F(PowerVerifier, ADeviceStateOutsideD0ToD3LeavesTheBusAsItWas) {
  EXPECT_EQ(set_device_power(PowerDeviceD2), STATUS_SUCCESS);
  for (DEVICE_POWER_STATE state : {PowerDeviceUnspecified, PowerDeviceMaximum}) {
    EXPECT_EQ(set_device_power(state), STATUS_SUCCESS);
    EXPECT_EQ(device().power_state(), PowerDeviceD2);
  }
}

// A camera's wake signal wakes a machine sleeping no deeper than its wait-wake
// request allows, before the request completes; otherwise nothing happens.
TEST_F(WakeCapable, TheCameraWakesASleepingMachineItMayWake) {
  rig_.platform().driver().object()->MajorFunction[IRP_MJ_POWER] = owner_waiting;
  PDEVICE_OBJECT fdo = rig_.platform().fdo(device());
  sim::Platform& platform = rig_.platform();
  ASSERT_EQ(platform.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_FALSE(platform.signal_wake(device()));  // nothing held
  ASSERT_EQ(platform.wake(), STATUS_SUCCESS);
  for (SYSTEM_POWER_STATE from : {PowerSystemSleeping1, PowerSystemSleeping3}) {
    Callback woken;
    ASSERT_EQ(PoRequestPowerIrp(fdo, IRP_MN_WAIT_WAKE, system_state(from), power_done, &woken, nullptr),
              STATUS_PENDING);
    ASSERT_EQ(platform.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    bool may_wake = from == PowerSystemSleeping3;
    EXPECT_EQ(platform.signal_wake(device()), may_wake) << from;
    EXPECT_EQ(platform.system_power(), may_wake ? PowerSystemWorking : PowerSystemSleeping3) << from;
    EXPECT_EQ(woken.done.is_set(), may_wake) << from;
    if (!may_wake) {
      ASSERT_EQ(platform.wake(), STATUS_SUCCESS);
      EXPECT_TRUE(platform.signal_wake(device())) << from;  // a working machine: the request completes
    }
    ASSERT_TRUE(woken.done.wait());
    EXPECT_EQ(woken.status, STATUS_SUCCESS) << from;
    EXPECT_EQ(device().power_state(), PowerDeviceD0) << from;
  }
}

}  // namespace
}  // namespace simtest
