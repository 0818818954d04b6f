// Device creation: instance numbers and names, the capabilities and the idle power
// state derived from them, and every way AddDevice can fail.
#include <sim/kernel.h>

#include <algorithm>

#include "driver/driver.h"
#include "support/name_squatter.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

std::wstring link_name(int instance) { return L"\\DosDevices\\Quorvex-" + std::to_wstring(instance); }

class AddDevice : public Testbed {
 protected:
  // CAM_MAX_INSTANCES for a camera the driver did not take.
  ULONG instance_of(sim::UsbDevice& device) {
    PCAM_DEVICE_EXTENSION ext = extension(device);
    return ext == nullptr ? ULONG(CAM_MAX_INSTANCES) : ext->InstanceIndex;
  }

  void expect_named(int instance) {
    EXPECT_NE(sim::find_device(device_name(instance)), nullptr) << instance;
    EXPECT_TRUE(sim::symbolic_link_exists(link_name(instance))) << instance;
  }

  void expect_unnamed(int instance) {
    EXPECT_EQ(sim::find_device(device_name(instance)), nullptr) << instance;
    EXPECT_FALSE(sim::symbolic_link_exists(link_name(instance))) << instance;
  }
};

TEST_F(AddDevice, CreatesAnAttachedNamedDeviceObjectThatIsNotStarted) {
  sim::Platform::Plugged added = platform().attach(camera());
  ASSERT_EQ(added.add_status, STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = platform().fdo(*added.device);
  ASSERT_NE(fdo, nullptr);
  PCAM_DEVICE_EXTENSION ext = extension(*added.device);
  EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(fdo->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_DIRECT_IO | DO_POWER_PAGABLE),
            ULONG(DO_DIRECT_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(fdo->StackSize, added.device->pdo()->StackSize + 1);
  EXPECT_EQ(ext->PhysicalDeviceObject, added.device->pdo());
  EXPECT_EQ(ext->LowerDeviceObject, added.device->pdo());
  EXPECT_EQ(std::wstring(ext->SymbolicLinkName), link_name(0));
  EXPECT_EQ(ext->IoCount, 1);
  EXPECT_EQ(ext->PnpState, CamPnpNotStarted);
  EXPECT_EQ(ext->OpenCount, 0);
  EXPECT_EQ(ext->DeviceDescriptor, nullptr);
  EXPECT_EQ(ext->InterfaceInfo, nullptr);
  EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&ext->PowerUpEvent), 0);
  expect_named(0);
  // Open needs a started device.
  open(0, STATUS_UNSUCCESSFUL);
}

TEST_F(AddDevice, TakesTheLowestFreeInstanceAndReusesNumbersAfterRemoval) {
  sim::UsbDevice& first = plug();
  sim::UsbDevice& second = plug();
  sim::UsbDevice& third = plug();
  EXPECT_EQ(instance_of(first), 0u);
  EXPECT_EQ(instance_of(second), 1u);
  EXPECT_EQ(instance_of(third), 2u);

  ASSERT_EQ(platform().remove(second), STATUS_SUCCESS);
  expect_unnamed(1);
  sim::UsbDevice& refill = plug();
  EXPECT_EQ(instance_of(refill), 1u);
  EXPECT_EQ(std::wstring(extension(refill)->SymbolicLinkName), link_name(1));
  expect_named(1);

  ASSERT_EQ(platform().remove(first), STATUS_SUCCESS);
  EXPECT_EQ(instance_of(plug()), 0u);
  EXPECT_EQ(instance_of(plug()), 3u);
}

TEST_F(AddDevice, RefusesANinthCameraWithNothingCreated) {
  for (int i = 0; i < CAM_MAX_INSTANCES; ++i) plug();
  sim::Platform::Plugged ninth = platform().attach(camera());
  EXPECT_EQ(ninth.add_status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(platform().fdo(*ninth.device), nullptr);
  EXPECT_EQ(platform().driver().devices().size(), size_t(CAM_MAX_INSTANCES));
  expect_unnamed(8);
}

struct FailureCase {
  const char* call;
  NTSTATUS injected;
  NTSTATUS expected;
};

class AddDeviceFailure : public AddDevice, public ::testing::WithParamInterface<FailureCase> {};

// A failed AddDevice leaves no device object, no name and no link; instance 0 stays free.
TEST_P(AddDeviceFailure, LeavesNothingBehind) {
  sim::inject::fail_call(GetParam().call, GetParam().injected);
  sim::Platform::Plugged failed = platform().attach(camera());
  EXPECT_EQ(failed.add_status, GetParam().expected);
  EXPECT_EQ(platform().fdo(*failed.device), nullptr);
  EXPECT_TRUE(platform().driver().devices().empty());
  EXPECT_EQ(failed.device->pdo()->AttachedDevice, nullptr);
  expect_unnamed(0);
  EXPECT_EQ(instance_of(plug()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Calls, AddDeviceFailure,
                         ::testing::Values(FailureCase{"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES,
                                                       STATUS_INSUFFICIENT_RESOURCES},
                                           FailureCase{"IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION,
                                                       STATUS_OBJECT_NAME_COLLISION},
                                           FailureCase{"IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL,
                                                       STATUS_NO_SUCH_DEVICE}),
                         [](const auto& info) { return std::string(info.param.call); });

struct CollisionCase {
  const char* name;
  int cameras;                // plugged first, taking 0, 1, ...
  std::vector<int> taken;     // names held by the other driver
  NTSTATUS status;            // of the next camera's AddDevice
  std::vector<ULONG> listed;  // the instance numbers listed afterwards, most recent first
};

class NameCollision : public AddDevice, public ::testing::WithParamInterface<CollisionCase> {
 protected:
  static std::vector<ULONG> listed_numbers() {
    ULONG numbers[CAM_MAX_INSTANCES];
    ULONG count = CamListInstances(numbers);
    return std::vector<ULONG>(numbers, numbers + count);
  }
};

// A number whose name is taken is given up again and the next is tried; when every
// free number collides, AddDevice fails holding none, and the numbers are there for
// the next camera once the names are free.
TEST_P(NameCollision, TakesTheNextNumberOrFailsHoldingNone) {
  const CollisionCase& c = GetParam();
  for (int i = 0; i < c.cameras; ++i) plug();
  {
    NameSquatter squatter(c.taken);
    sim::Platform::Plugged added = platform().attach(camera());
    EXPECT_EQ(listed_numbers(), c.listed);
    ASSERT_EQ(added.add_status, c.status);
    if (c.status == STATUS_SUCCESS) {
      ULONG instance = instance_of(*added.device);
      EXPECT_EQ(instance, c.listed.front());
      EXPECT_EQ(std::wstring(extension(*added.device)->SymbolicLinkName),
                link_name(static_cast<int>(instance)));
      EXPECT_TRUE(sim::symbolic_link_exists(link_name(static_cast<int>(instance))));
    } else {
      EXPECT_EQ(platform().fdo(*added.device), nullptr);
      EXPECT_EQ(platform().driver().devices().size(), size_t(c.cameras));
    }
    for (int instance : c.taken) EXPECT_FALSE(sim::symbolic_link_exists(link_name(instance))) << instance;
  }
  // The lowest number nobody holds goes to the next camera.
  ULONG lowest = 0;
  std::vector<ULONG> listed = listed_numbers();
  while (std::find(listed.begin(), listed.end(), lowest) != listed.end()) lowest++;
  EXPECT_EQ(instance_of(plug()), lowest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameCollision,
    ::testing::Values(CollisionCase{"LowestFree", 0, {0}, STATUS_SUCCESS, {1}},
                      CollisionCase{"TwoAfterACamera", 1, {1, 2}, STATUS_SUCCESS, {3, 0}},
                      CollisionCase{"AllButTheLast", 0, {0, 1, 2, 3, 4, 5, 6}, STATUS_SUCCESS, {7}},
                      CollisionCase{"EveryNumber", 0, {0, 1, 2, 3, 4, 5, 6, 7}, STATUS_UNSUCCESSFUL, {}},
                      CollisionCase{"EveryFreeNumber", 2, {2, 3, 4, 5, 6, 7}, STATUS_UNSUCCESSFUL, {1, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AddDevice, QueriesCapabilitiesFromTheBusWithTheRecordItsSenderMustFill) {
  sim::CameraConfig config = camera();
  config.capabilities.DeviceWake = PowerDeviceD2;
  config.capabilities.SystemWake = PowerSystemSleeping3;
  sim::UsbDevice& device = plug(config);
  const DEVICE_CAPABILITIES& caps = extension(device)->DeviceCapabilities;
  // The bus answers into the record as it was passed: Size and Version as sent.
  EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(caps.Version, 1);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
  EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
}

TEST_F(AddDevice, WithoutAnIrpForTheQueryTheCapabilitiesStayZeroAndTheDeviceStillStarts) {
  sim::CameraConfig config = camera();
  config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
  sim::inject::fail_irp_allocation(1);
  sim::UsbDevice& device = plug(config);
  PCAM_DEVICE_EXTENSION ext = extension(device);
  DEVICE_CAPABILITIES zero{};
  EXPECT_EQ(memcmp(&ext->DeviceCapabilities, &zero, sizeof(zero)), 0);
  EXPECT_EQ(ext->IdleDevicePowerState, PowerDeviceUnspecified);
  EXPECT_EQ(ext->PnpState, CamPnpStarted);
}

struct IdleCase {
  DEVICE_POWER_STATE s1, s2, s3, idle;
};

class IdlePowerState : public AddDevice, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdlePowerState, IsTheDeepestSleepingStateAboveD3) {
  sim::CameraConfig config = camera();
  config.capabilities.DeviceState[PowerSystemSleeping1] = GetParam().s1;
  config.capabilities.DeviceState[PowerSystemSleeping2] = GetParam().s2;
  config.capabilities.DeviceState[PowerSystemSleeping3] = GetParam().s3;
  EXPECT_EQ(extension(plug(config))->IdleDevicePowerState, GetParam().idle);
}

INSTANTIATE_TEST_SUITE_P(
    Mappings, IdlePowerState,
    ::testing::Values(IdleCase{PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
                      IdleCase{PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
                      IdleCase{PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceUnspecified},
                      IdleCase{PowerDeviceD3, PowerDeviceD3, PowerDeviceD1, PowerDeviceD1},
                      IdleCase{PowerDeviceD2, PowerDeviceD1, PowerDeviceD0, PowerDeviceD0}));

}  // namespace
}  // namespace quorvex::test
