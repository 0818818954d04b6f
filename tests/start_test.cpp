// Device start: the descriptor reads and the configuration they lead to, the checks
// on what the camera presents, and every way a start can fail.
#include "driver/driver.h"
#include "support/descriptors.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

bool is_descriptor_read(const sim::BusEvent& e, UCHAR type) {
  return e.kind == sim::BusEvent::Control && e.request() == 0x06 && (e.value() >> 8) == type;
}

size_t count_kind(const std::vector<sim::BusEvent>& trace, sim::BusEvent::Kind kind) {
  return static_cast<size_t>(
      std::count_if(trace.begin(), trace.end(), [kind](const sim::BusEvent& e) { return e.kind == kind; }));
}

class Start : public Testbed {
 protected:
  sim::UsbDevice& attach(const sim::CameraConfig& config = camera()) {
    sim::Platform::Plugged added = platform().attach(config);
    EXPECT_EQ(added.add_status, STATUS_SUCCESS);
    return *added.device;
  }
};

TEST_F(Start, ReadsTheDescriptorsThenSelectsTheFirstInterfaceWith512KiBTransfers) {
  sim::CameraConfig config = camera();
  config.interfaces = {interface(0, 0, {bulk_out(1), interrupt_in(1), bulk_in(2)})};
  sim::UsbDevice& device = plug(config);
  std::vector<sim::BusEvent> trace = device.trace();
  ASSERT_EQ(trace.size(), 4u);
  uint16_t total = static_cast<uint16_t>(configuration_of(config).size());
  const uint8_t device_read[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
  const uint8_t header_read[8] = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 9, 0};
  EXPECT_EQ(memcmp(trace[0].setup, device_read, 8), 0);
  EXPECT_EQ(memcmp(trace[1].setup, header_read, 8), 0);
  EXPECT_TRUE(is_descriptor_read(trace[2], USB_CONFIGURATION_DESCRIPTOR_TYPE));
  EXPECT_EQ(trace[2].length(), total + 16);
  EXPECT_EQ(trace[3].kind, sim::BusEvent::SelectConfiguration);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(trace[i].urb_length, 136) << i;

  PCAM_DEVICE_EXTENSION ext = extension(device);
  EXPECT_EQ(memcmp(ext->DeviceDescriptor, sim::build_device_descriptor(config).data(), 18), 0);
  ASSERT_NE(ext->InterfaceInfo, nullptr);
  EXPECT_NE(ext->ConfigurationHandle, nullptr);
  ASSERT_EQ(ext->InterfaceInfo->NumberOfPipes, 3u);
  const UCHAR addresses[] = {0x01, 0x81, 0x82};
  const USBD_PIPE_TYPE types[] = {UsbdPipeTypeBulk, UsbdPipeTypeInterrupt, UsbdPipeTypeBulk};
  for (ULONG i = 0; i < 3; ++i) {
    const USBD_PIPE_INFORMATION& pipe = ext->InterfaceInfo->Pipes[i];
    EXPECT_EQ(pipe.MaximumTransferSize, 0x80000u) << i;
    EXPECT_EQ(pipe.EndpointAddress, addresses[i]) << i;
    EXPECT_EQ(pipe.PipeType, types[i]) << i;
    EXPECT_NE(pipe.PipeHandle, nullptr) << i;
  }
  EXPECT_EQ(ext->InterfaceInfo->Length,
            sizeof(USBD_INTERFACE_INFORMATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(device.configuration_value(), 1);
}

TEST_F(Start, SelectsOnlyTheFirstInterfaceDescriptorWhateverItsNumber) {
  sim::CameraConfig config = camera();
  config.interfaces = {interface(3, 1, {bulk_in(1), bulk_in(2)}), interface(0, 0, {bulk_in(3)})};
  PCAM_DEVICE_EXTENSION ext = extension(plug(config));
  EXPECT_EQ(ext->InterfaceInfo->InterfaceNumber, 3);
  EXPECT_EQ(ext->InterfaceInfo->AlternateSetting, 1);
  EXPECT_EQ(ext->InterfaceInfo->NumberOfPipes, 2u);
}

TEST_F(Start, AConfigurationOfThirtyTwoBytesIsReadWithFortyEight) {
  sim::CameraConfig config = camera();
  config.interfaces = {interface(0, 0, {bulk_out(1), bulk_in(2)})};
  ASSERT_EQ(configuration_of(config).size(), 32u);
  sim::UsbDevice& device = plug(config);
  sim::BusEvent full = device.trace()[2];
  EXPECT_EQ(full.length(), 48);
  EXPECT_EQ(full.requested, 48u);
  EXPECT_EQ(full.actual, 32u);
}

TEST_F(Start, StopThenStartReconfiguresTheDevice) {
  sim::UsbDevice& device = plug();
  PCAM_DEVICE_EXTENSION ext = extension(device);
  ASSERT_EQ(platform().stop(device), STATUS_SUCCESS);
  EXPECT_EQ(ext->PnpState, CamPnpStopped);
  EXPECT_EQ(device.configuration_value(), 0);
  std::vector<sim::BusEvent> trace = device.trace();
  ASSERT_EQ(trace.back().kind, sim::BusEvent::Unconfigure);
  EXPECT_EQ(trace.back().urb_length, 88);
  open(0, STATUS_UNSUCCESSFUL);

  device.clear_trace();
  ASSERT_EQ(platform().start(device), STATUS_SUCCESS);
  EXPECT_EQ(ext->PnpState, CamPnpStarted);
  EXPECT_EQ(count_kind(device.trace(), sim::BusEvent::SelectConfiguration), 1u);
  ASSERT_NE(ext->InterfaceInfo, nullptr);
  EXPECT_NE(ext->InterfaceInfo->Pipes[1].PipeHandle, nullptr);
  sim::nt_close(open(0));
  // The blocks of the first start are gone: the leak check at unload would say otherwise.
}

struct StartFailure {
  const char* name;
  std::function<void(sim::CameraConfig&)> shape;  // the camera presents this
  std::function<void(sim::UsbDevice&)> inject;    // and this happens on the bus
  NTSTATUS expected;
  bool descriptor_kept;
};

class StartFailures : public Start, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, LeaveTheDeviceNotStartedAndUnconfigured) {
  sim::CameraConfig config = camera();
  if (GetParam().shape) GetParam().shape(config);
  sim::UsbDevice& device = attach(config);
  if (GetParam().inject) GetParam().inject(device);
  EXPECT_EQ(platform().start(device), GetParam().expected);
  PCAM_DEVICE_EXTENSION ext = extension(device);
  EXPECT_EQ(ext->PnpState, CamPnpNotStarted);
  EXPECT_EQ(ext->InterfaceInfo, nullptr);
  EXPECT_EQ(ext->DeviceDescriptor != nullptr, GetParam().descriptor_kept);
  EXPECT_EQ(device.configuration_value(), 0);
  // Malformed descriptors never reach the select-configuration request.
  if (GetParam().expected == STATUS_DEVICE_DATA_ERROR ||
      GetParam().expected == STATUS_DEVICE_CONFIGURATION_ERROR) {
    EXPECT_EQ(count_kind(device.trace(), sim::BusEvent::SelectConfiguration), 0u);
  }
  open(0, STATUS_UNSUCCESSFUL);
}

const NTSTATUS kIoError = static_cast<NTSTATUS>(0xC0000185L);

// An IRP failure is seen as such only when the request completes inside the call.
void fail_descriptor(sim::UsbDevice& d, UCHAR type, int nth, bool by_urb) {
  if (!by_urb) d.set_control_deferred(false);
  d.fail_urb(sim::UrbMatch::descriptor(type), by_urb ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS,
             by_urb ? STATUS_SUCCESS : kIoError, nth);
}

void edit_configuration(sim::CameraConfig& c, const std::function<void(std::vector<uint8_t>&)>& edit) {
  c.configuration_descriptor = configuration_of(c);
  edit(c.configuration_descriptor);
}

// The default camera's configuration, with a second interface after its own
// and wTotalLength set to `total`.
std::vector<uint8_t> with_total_length(uint16_t total) {
  std::vector<uint8_t> bytes = configuration_of(camera());
  const uint8_t second[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, 0xFF, 0, 0, 0};
  bytes.insert(bytes.end(), second, second + sizeof(second));
  set_total_length(bytes, total);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartFailures,
    ::testing::Values(
        StartFailure{"DeviceDescriptorUrb", nullptr, [](auto& d) { fail_descriptor(d, 1, 1, true); },
                     STATUS_UNSUCCESSFUL, false},
        StartFailure{"DeviceDescriptorIrp", nullptr, [](auto& d) { fail_descriptor(d, 1, 1, false); },
                     kIoError, false},
        StartFailure{"ConfigurationHeaderUrb", nullptr, [](auto& d) { fail_descriptor(d, 2, 1, true); },
                     STATUS_UNSUCCESSFUL, true},
        StartFailure{"ConfigurationHeaderIrp", nullptr, [](auto& d) { fail_descriptor(d, 2, 1, false); },
                     kIoError, true},
        StartFailure{"FullConfigurationUrb", nullptr, [](auto& d) { fail_descriptor(d, 2, 2, true); },
                     STATUS_UNSUCCESSFUL, true},
        StartFailure{"FullConfigurationIrp", nullptr, [](auto& d) { fail_descriptor(d, 2, 2, false); },
                     kIoError, true},
        StartFailure{"SelectConfigurationUrb", nullptr,
                     [](auto& d) {
                       d.fail_urb(sim::UrbMatch::select_configuration(), USBD_STATUS_INVALID_PARAMETER,
                                  STATUS_SUCCESS);
                     },
                     STATUS_UNSUCCESSFUL, true},
        StartFailure{"SelectConfigurationIrp", nullptr,
                     [](auto& d) {
                       d.set_control_deferred(false);
                       d.fail_urb(sim::UrbMatch::select_configuration(), USBD_STATUS_SUCCESS, kIoError);
                     },
                     kIoError, true},
        StartFailure{"ShortDeviceDescriptor", nullptr,
                     [](auto& d) { d.truncate_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 17); },
                     STATUS_DEVICE_DATA_ERROR, false},
        StartFailure{"ShortConfigurationHeader", nullptr,
                     [](auto& d) { d.truncate_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 8); },
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"ConfigurationShorterThanItsTotalLength", nullptr,
                     [](auto& d) { d.truncate_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 31); },
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"TotalLengthBelowNine",
                     [](auto& c) { edit_configuration(c, [](auto& b) { set_total_length(b, 8); }); }, nullptr,
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"InterfaceClaimsMoreEndpointsThanPresent",
                     [](auto& c) { edit_configuration(c, [](auto& b) { b[9 + 4] = 3; }); }, nullptr,
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"DescriptorRunsPastTheTotalLength",
                     [](auto& c) { edit_configuration(c, [](auto& b) { b[9 + 9 + 7] = 40; }); }, nullptr,
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"ZeroLengthDescriptor",
                     [](auto& c) { edit_configuration(c, [](auto& b) { b[9 + 9] = 0; }); }, nullptr,
                     STATUS_DEVICE_DATA_ERROR, true},
        // A descriptor of one byte has no type: the walk cannot go on from it.
        StartFailure{"LastDescriptorOfLengthOne",
                     [](auto& c) {
                       edit_configuration(c, [](auto& b) {
                         b.push_back(1);
                         set_total_length(b, static_cast<uint16_t>(b.size()));
                       });
                     },
                     nullptr, STATUS_DEVICE_DATA_ERROR, true},
        // The endpoints after the second interface are its own, not the first's.
        StartFailure{"FirstInterfaceShortOfAnEndpointBeforeASecond",
                     [](auto& c) {
                       c.interfaces = {interface(0, 0, {bulk_in(1)}), interface(1, 0, {bulk_in(2)})};
                       edit_configuration(c, [](auto& b) { b[9 + 4] = 2; });
                     },
                     nullptr, STATUS_DEVICE_DATA_ERROR, true},
        // The second read is the one used; its length must be the one the block
        // was sized by.
        StartFailure{"SecondReadClaimsALongerConfiguration", nullptr,
                     [](auto& d) {
                       d.change_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 2,
                                           with_total_length(9 + 9 + 7 + 7 + 9));
                     },
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"SecondReadClaimsAShorterConfiguration", nullptr,
                     [](auto& d) {
                       d.change_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 2,
                                           with_total_length(9 + 9 + 7));
                     },
                     STATUS_DEVICE_DATA_ERROR, true},
        StartFailure{"NoInterface", [](auto& c) { c.interfaces.clear(); }, nullptr,
                     STATUS_DEVICE_CONFIGURATION_ERROR, true},
        StartFailure{
            "NoConfigurationRequest", nullptr,
            [](auto&) { sim::inject::fail_call("USBD_CreateConfigurationRequestEx", STATUS_UNSUCCESSFUL); },
            STATUS_INSUFFICIENT_RESOURCES, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Sweeps a failed allocation over every allocation start makes.
TEST_F(Start, EachFailedAllocationLeavesTheDeviceNotStarted) {
  int failures = 0;
  for (int nth = 1; nth < 32; ++nth) {
    sim::UsbDevice& device = attach();
    sim::inject::fail_pool_allocation(nth);
    NTSTATUS status = platform().start(device);
    sim::inject::clear();
    if (status == STATUS_SUCCESS) {
      EXPECT_EQ(extension(device)->PnpState, CamPnpStarted);
      break;
    }
    failures++;
    EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES) << nth;
    EXPECT_EQ(extension(device)->PnpState, CamPnpNotStarted) << nth;
    EXPECT_EQ(extension(device)->InterfaceInfo, nullptr) << nth;
    ASSERT_EQ(platform().remove(device), STATUS_SUCCESS);
  }
  EXPECT_EQ(failures, 7);
}

}  // namespace
}  // namespace quorvex::test
