// The driver as its stack's power policy owner: the device requests it makes for
// each system transition, the state it records as device requests pass, wait-wake,
// and the power-up an opener of an idling camera gets. Each path leaves the gate
// at its base.
#include <sim/kernel.h>

#include <future>
#include <mutex>
#include <vector>

#include "support/control.h"

extern DRIVER_DISPATCH CamDispatchPower;

namespace quorvex::test {
namespace {

POWER_STATE device_power(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

POWER_STATE system_power(SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  return power;
}

// The device set-power requests that reached the driver, in order.
std::mutex g_seen_mutex;
std::vector<DEVICE_POWER_STATE> g_seen;

NTSTATUS NTAPI recording_power(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_seen.push_back(stack->Parameters.Power.State.DeviceState);
  }
  return CamDispatchPower(device, irp);
}

// S1 and S2 to D2, S3 to D3: an idle state of D2. Wakes the system from S3, and
// itself from D3.
sim::CameraConfig idling_camera() {
  sim::CameraConfig config = camera();
  config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  config.capabilities.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  config.capabilities.DeviceWake = PowerDeviceD3;
  config.capabilities.SystemWake = PowerSystemSleeping3;
  return config;
}

class Power : public Testbed {
 protected:
  Power() {
    platform().driver().object()->MajorFunction[IRP_MJ_POWER] = recording_power;
    take_seen();
  }

  static std::vector<DEVICE_POWER_STATE> take_seen() {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    return std::exchange(g_seen, {});
  }

  NTSTATUS set_device(sim::UsbDevice& device, DEVICE_POWER_STATE state) {
    return platform().send_power(device, IRP_MN_SET_POWER, DevicePowerState, device_power(state)).get();
  }
  NTSTATUS set_system(sim::UsbDevice& device, SYSTEM_POWER_STATE state) {
    return platform().send_power(device, IRP_MN_SET_POWER, SystemPowerState, system_power(state)).get();
  }
  std::future<NTSTATUS> wait_wake(sim::UsbDevice& device, SYSTEM_POWER_STATE from = PowerSystemSleeping3) {
    return platform().send_power(device, IRP_MN_WAIT_WAKE, SystemPowerState, system_power(from));
  }
  // The wait-wake request is held at the bus, with the driver's flag up.
  bool armed(sim::UsbDevice& device) {
    for (auto deadline = std::chrono::steady_clock::now() + kBound;
         std::chrono::steady_clock::now() < deadline;) {
      if (device.wait_wake_from() && extension(device)->WaitWakeActive) return true;
      std::this_thread::yield();
    }
    return false;
  }
  static NTSTATUS register_read(sim::Handle handle) {
    return send_control(handle, IOCTL_CAM_GET_EXPOSURE, {}, 4).status;
  }
};

// What a system set-power asks of the device, from each starting point: the
// device request made (or none), the state recorded, the system request done.
struct SystemCase {
  const char* name;
  bool idling;                // the camera of idling_camera()
  DEVICE_POWER_STATE before;  // a device set-power sent first (0: none)
  bool wait_wake;             // a wait-wake armed first
  SYSTEM_POWER_STATE system;
  std::vector<DEVICE_POWER_STATE> requested;
  DEVICE_POWER_STATE after;
};

class SystemTransitions : public Power, public ::testing::WithParamInterface<SystemCase> {};

TEST_P(SystemTransitions, AskForTheDeviceStateTheSystemStateNeeds) {
  const SystemCase& c = GetParam();
  sim::UsbDevice& device = plug(c.idling ? idling_camera() : camera());
  if (c.before != PowerDeviceUnspecified) {
    EXPECT_EQ(set_device(device, c.before), STATUS_SUCCESS);
  }
  std::future<NTSTATUS> wake;
  if (c.wait_wake) {
    wake = wait_wake(device);
    ASSERT_TRUE(armed(device));
  }
  take_seen();
  EXPECT_EQ(set_system(device, c.system), STATUS_SUCCESS);
  EXPECT_EQ(take_seen(), c.requested);
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, c.after);
  EXPECT_EQ(device.power_state(), c.after);
  EXPECT_EQ(extension(device)->PendingSystemPowerIrp, nullptr);
  if (c.wait_wake) {
    EXPECT_TRUE(device.signal_wake());
    ASSERT_EQ(wake.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(wake.get(), STATUS_SUCCESS);
    EXPECT_FALSE(extension(device)->WaitWakeActive);
  }
  EXPECT_EQ(extension(device)->IoCount, 1);
}

const SystemCase kSystemCases[] = {
    {"SleepFromD0",
     false,
     PowerDeviceUnspecified,
     false,
     PowerSystemSleeping3,
     {PowerDeviceD3},
     PowerDeviceD3},
    {"SleepInD3AlreadyAsksNothing", false, PowerDeviceD3, false, PowerSystemSleeping3, {}, PowerDeviceD3},
    {"WorkingInD3AsksForD0", false, PowerDeviceD3, false, PowerSystemWorking, {PowerDeviceD0}, PowerDeviceD0},
    {"S1WithoutWaitWakeIsD3",
     true,
     PowerDeviceUnspecified,
     false,
     PowerSystemSleeping1,
     {PowerDeviceD3},
     PowerDeviceD3},
    {"S1WithWaitWakeIsItsMappedD2",
     true,
     PowerDeviceD3,
     true,
     PowerSystemSleeping1,
     {PowerDeviceD2},
     PowerDeviceD2},
    {"HibernateIsD3",
     false,
     PowerDeviceUnspecified,
     false,
     PowerSystemHibernate,
     {PowerDeviceD3},
     PowerDeviceD3},
};

INSTANTIATE_TEST_SUITE_P(Cases, SystemTransitions, ::testing::ValuesIn(kSystemCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Device set-power requests record D1 to D3 as they pass and D0 once done; an
// unspecified or unknown state passes unrecorded. Out of D0, requests that move
// data are refused as the bus would refuse them.
TEST_F(Power, RecordsTheDeviceStateAsDeviceRequestsPass) {
  sim::UsbDevice& device = plug();
  sim::Handle handle = open();
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceUnspecified);
  for (DEVICE_POWER_STATE state : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    EXPECT_EQ(set_device(device, state), STATUS_SUCCESS);
    EXPECT_EQ(extension(device)->CurrentDevicePowerState, state);
    EXPECT_EQ(register_read(handle), STATUS_DEVICE_POWERED_OFF);
  }
  EXPECT_EQ(set_device(device, PowerDeviceUnspecified), STATUS_SUCCESS);
  EXPECT_EQ(set_device(device, static_cast<DEVICE_POWER_STATE>(PowerDeviceD3 + 1)), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceD3);
  EXPECT_EQ(set_device(device, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(register_read(handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->IoCount, 1);
}

// Wait-wake is refused in D0 and when the device can wake only from a higher state
// than it is in; the refusal still makes DeviceWake the idle state.
TEST_F(Power, WaitWakeIsRefusedInD0AndFromADeeperStateThanDeviceWake) {
  sim::CameraConfig config = idling_camera();
  config.capabilities.DeviceWake = PowerDeviceD2;
  sim::UsbDevice& device = plug(config);
  EXPECT_EQ(set_device(device, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(wait_wake(device).get(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(set_device(device, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(wait_wake(device).get(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_FALSE(device.wait_wake_from());
  EXPECT_EQ(extension(device)->IdleDevicePowerState, PowerDeviceD2);
  EXPECT_FALSE(extension(device)->WaitWakeActive);
  EXPECT_EQ(extension(device)->IoCount, 1);
}

// A power-up the lower drivers fail is a failure: the device stays recorded out of
// D0 and refuses transfers, the request completes with their status, and the
// opener that asked for it fails with it, counted out again. The next works.
TEST_F(Power, APowerUpTheBusFailsIsNotRecordedAndFailsTheOpen) {
  sim::UsbDevice& device = plug(idling_camera());
  EXPECT_EQ(set_device(device, PowerDeviceD2), STATUS_SUCCESS);
  {
    sim::ExpectFault failed(sim::Fault::SetPowerFailed);
    device.fail_device_power(PowerDeviceD0, STATUS_IO_DEVICE_ERROR);
    open(0, STATUS_IO_DEVICE_ERROR);
    device.fail_device_power(PowerDeviceD0, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(set_device(device, PowerDeviceD0), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(failed.count(), 2);
  }
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceD2);
  EXPECT_EQ(extension(device)->OpenCount, 0);
  EXPECT_EQ(extension(device)->PowerRequestActive, 0);
  sim::Handle handle = open(0);
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(register_read(handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->IoCount, 1);
}

// A camera that signals wake while the machine sleeps in S1 wakes it; the driver
// then powers itself up for its open handle, and serves it.
TEST_F(Power, AWakeSignalWakesTheMachineAndTheDevice) {
  sim::UsbDevice& device = plug(idling_camera());
  sim::Handle handle = open();
  EXPECT_EQ(set_device(device, PowerDeviceD3), STATUS_SUCCESS);
  std::future<NTSTATUS> wake = wait_wake(device);
  ASSERT_TRUE(armed(device));
  EXPECT_EQ(platform().sleep(PowerSystemSleeping1), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceD2);
  EXPECT_TRUE(platform().signal_wake(device));
  ASSERT_EQ(wake.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(wake.get(), STATUS_SUCCESS);
  EXPECT_EQ(platform().system_power(), PowerSystemWorking);
  EXPECT_EQ(extension(device)->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(register_read(handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->IoCount, 1);
}

// A held wait-wake does not keep a removal waiting: the removal cancels it.
TEST_F(Power, RemovalAndSurpriseRemovalEndAHeldWaitWake) {
  for (bool surprise : {false, true}) {
    sim::UsbDevice& device = plug(idling_camera());
    EXPECT_EQ(set_device(device, PowerDeviceD3), STATUS_SUCCESS);
    std::future<NTSTATUS> wake = wait_wake(device);
    ASSERT_TRUE(armed(device));
    EXPECT_EQ(surprise ? platform().unplug(device) : platform().remove(device), STATUS_SUCCESS);
    EXPECT_TRUE(platform().wait_removed(device, kBound));
    ASSERT_EQ(wake.wait_for(kBound), std::future_status::ready);
    EXPECT_NE(wake.get(), STATUS_SUCCESS);
  }
}

// An opener of a camera idling below D0 gets it powered up, each time for its own
// request; not a camera without an idle state, nor one whose system transition is
// under way or whose machine sleeps.
TEST_F(Power, AnOpenPowersUpOnlyACameraIdlingOutsideATransition) {
  sim::UsbDevice& idling = plug(idling_camera());
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(set_device(idling, PowerDeviceD2), STATUS_SUCCESS);
    take_seen();
    sim::Handle handle = open(0);
    EXPECT_EQ(take_seen(), std::vector<DEVICE_POWER_STATE>{PowerDeviceD0});
    EXPECT_EQ(extension(idling)->CurrentDevicePowerState, PowerDeviceD0);
    EXPECT_EQ(register_read(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  }
  EXPECT_EQ(set_device(idling, PowerDeviceD2), STATUS_SUCCESS);
  extension(idling)->PendingSystemPowerIrp = reinterpret_cast<PIRP>(1);
  take_seen();
  sim::Handle during = open(0);
  EXPECT_EQ(take_seen(), std::vector<DEVICE_POWER_STATE>{});
  extension(idling)->PendingSystemPowerIrp = nullptr;
  EXPECT_EQ(sim::nt_close(during), STATUS_SUCCESS);
  // Nor while the machine sleeps: the wake powers it up.
  EXPECT_EQ(platform().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  take_seen();
  sim::Handle asleep = open(0);
  EXPECT_EQ(take_seen(), std::vector<DEVICE_POWER_STATE>{});
  EXPECT_EQ(idling.power_state(), PowerDeviceD3);
  EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
  EXPECT_EQ(register_read(asleep), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(asleep), STATUS_SUCCESS);

  sim::UsbDevice& plain = plug();
  EXPECT_EQ(extension(plain)->IdleDevicePowerState, PowerDeviceUnspecified);
  EXPECT_EQ(set_device(plain, PowerDeviceD3), STATUS_SUCCESS);
  take_seen();
  sim::Handle handle = open(1);
  EXPECT_EQ(take_seen(), std::vector<DEVICE_POWER_STATE>{});
  EXPECT_EQ(register_read(handle), STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_EQ(extension(idling)->IoCount, 1);
  EXPECT_EQ(extension(plain)->IoCount, 1);
}

// Opens racing a sleep and wake of the machine: each open succeeds or is refused
// cleanly, every handle opened works once the machine is back, nothing is left
// in the gate.
TEST_F(Power, OpensRacingASleepAndWakeEndWithAWorkingCamera) {
  sim::UsbDevice& device = plug(idling_camera());
  std::atomic<bool> done{false};
  std::vector<std::future<int>> openers;
  for (int t = 0; t < 2; ++t) {
    openers.push_back(std::async(std::launch::async, [&] {
      int opened = 0;
      while (!done) {
        sim::Handle handle = sim::kInvalidHandle;
        if (sim::nt_create_file(user_name(0), &handle) != STATUS_SUCCESS) continue;
        ++opened;
        NTSTATUS status = register_read(handle);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_POWERED_OFF) << std::hex << status;
        EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
      }
      return opened;
    }));
  }
  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate}) {
    EXPECT_EQ(platform().sleep(state), STATUS_SUCCESS);
    EXPECT_EQ(platform().wake(), STATUS_SUCCESS);
  }
  done = true;
  for (auto& opener : openers) EXPECT_GT(opener.get(), 0);
  sim::Handle handle = open();
  EXPECT_EQ(register_read(handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  EXPECT_EQ(extension(device)->IoCount, 1);
}

}  // namespace
}  // namespace quorvex::test
