// The host build's machine: a fresh simulated platform with the driver loaded and
// the cameras of the options plugged in, its bus traffic as text, and the verifier's
// verdict when it is taken down.
#include "machine_sim.h"

#include <sim/verifier.h>

#include <cstdio>
#include <mutex>
#include <ostream>

#include "status.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace quorvex::tool {
namespace {

// The model with every family of controls.
constexpr uint16_t kDefaultProduct = 0x100E;

std::mutex g_faults_mutex;
std::vector<std::string> g_faults;

void collect_fault(const sim::FaultReport& report) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  g_faults.push_back(std::string(sim::fault_name(report.kind)) + ": " + report.message);
}

std::string data_text(const std::vector<uint8_t>& data) {
  std::string text;
  char part[4];
  for (size_t i = 0; i < data.size() && i < 16; ++i) {
    std::snprintf(part, sizeof(part), " %02X", data[i]);
    text += part;
  }
  if (data.size() > 16) text += " ... (" + std::to_string(data.size()) + " bytes)";
  return text;
}

std::string meaning(const sim::BusEvent& e) {
  char text[64];
  bool in = (e.request_type() & 0x80) != 0;
  if (e.request() == 0xB7 && e.data.size() == 2) {
    unsigned value = e.data[0] | (e.data[1] << 8);
    std::snprintf(text, sizeof(text), "%s register 0x%02X = 0x%04X", in ? "read" : "write", e.value(), value);
  } else if (e.request() == 0xB7 && e.data.size() == 1) {
    std::snprintf(text, sizeof(text), "write register 0x%02X, one byte 0x%02X", e.value(), e.data[0]);
  } else if (e.request() == 0xB3) {
    std::snprintf(text, sizeof(text), "trigger");
  } else {
    std::snprintf(text, sizeof(text), "vendor request 0x%02X", e.request());
  }
  return text;
}

}  // namespace

std::vector<std::string> verifier_faults() {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  return g_faults;
}

const char* pnp_name(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return "start-device";
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "query-remove";
    case IRP_MN_REMOVE_DEVICE:
      return "remove-device";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "cancel-remove";
    case IRP_MN_STOP_DEVICE:
      return "stop-device";
    case IRP_MN_QUERY_STOP_DEVICE:
      return "query-stop";
    case IRP_MN_QUERY_CAPABILITIES:
      return "query-capabilities";
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      return "query-device-state";
    case IRP_MN_SURPRISE_REMOVAL:
      return "surprise-removal";
    default:
      return "other";
  }
}

std::string status_name(NTSTATUS status) {
  return Status(static_cast<uint32_t>(status), !NT_SUCCESS(status)).name();
}

std::string describe(const sim::BusEvent& e) {
  char head[96];
  switch (e.kind) {
    case sim::BusEvent::Control:
      std::snprintf(head, sizeof(head), "%02X %02X %04X %04X %04X  %-3s", e.request_type(), e.request(),
                    e.value(), e.index(), e.length(), (e.request_type() & 0x80) ? "IN" : "OUT");
      break;
    case sim::BusEvent::Bulk:
      std::snprintf(head, sizeof(head), "bulk endpoint 0x%02X, %u of %u bytes", e.endpoint, e.actual,
                    e.requested);
      return head;
    case sim::BusEvent::AbortPipe:
      std::snprintf(head, sizeof(head), "abort pipe, endpoint 0x%02X", e.endpoint);
      return head;
    default:
      return e.kind == sim::BusEvent::SelectConfiguration ? "select configuration"
                                                          : "pipe or configuration request";
  }
  std::string text = head;
  if (e.usbd_status != USBD_STATUS_SUCCESS) {
    const char* name = usbd_status_name(static_cast<uint32_t>(e.usbd_status));
    return text + "  failed: " + (name ? name : "USBD error");
  }
  std::string data = data_text(e.data);
  text += data.empty() ? "  no data" : " " + data;
  if (text.size() < 52) text.resize(52, ' ');
  return text + "  " + meaning(e);
}

SimMachine::SimMachine() {
  {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    g_faults.clear();
  }
  sim::set_fault_handler(collect_fault);
  platform_ = std::make_unique<sim::Platform>(CamDriverEntry);
}

SimMachine::~SimMachine() { platform_.reset(); }

bool SimMachine::plug_all(const Options& options, std::ostream& err) {
  std::vector<uint16_t> products = options.products;
  if (products.empty()) products.push_back(kDefaultProduct);
  int count = options.cameras > 0 ? options.cameras : static_cast<int>(products.size());
  for (int i = 0; i < count; ++i) {
    sim::CameraConfig config;
    config.product_id = products[i % products.size()];
    sim::Platform::Plugged plugged = platform_->plug(config);
    if (plugged.add_status != STATUS_SUCCESS || plugged.start_status != STATUS_SUCCESS) {
      Status add{static_cast<uint32_t>(plugged.add_status), true};
      Status start{static_cast<uint32_t>(plugged.start_status), true};
      err << "quorvex: the simulated camera " << hex(config.product_id, 4) << " did not start: AddDevice "
          << add.name() << ", start-device " << start.name() << "\n";
      return false;
    }
    devices_.push_back(plugged.device);
  }
  return true;
}

void SimMachine::clear_trace() {
  for (sim::UsbDevice* d : devices_) d->clear_trace();
}

std::vector<std::string> SimMachine::trace() {
  std::vector<std::string> lines;
  for (sim::UsbDevice* d : devices_) {
    for (const sim::BusEvent& e : d->trace()) lines.push_back(describe(e));
  }
  return lines;
}

int SimMachine::finish(std::ostream& err) {
  platform_.reset();
  std::vector<std::string> faults = verifier_faults();
  if (faults.empty()) return kOk;
  if (!verdict_given_) {
    err << "quorvex: the verifier reported " << faults.size() << " fault(s):\n";
    for (const std::string& f : faults) err << "  " << f << "\n";
  }
  verdict_given_ = true;
  return kVerifier;
}

// The simulated camera sends a frame of its window when triggered; a read that
// sends no trigger needs one released by hand.
void SimMachine::release_frame(int instance) {
  if (instance < 0 || static_cast<size_t>(instance) >= devices_.size()) return;
  devices_[static_cast<size_t>(instance)]->camera().queue_frames(1);
}

void SimMachine::stream_frames(int instance, bool on, uint64_t bytes_per_second) {
  if (instance < 0 || static_cast<size_t>(instance) >= devices_.size()) return;
  sim::Camera& camera = devices_[static_cast<size_t>(instance)]->camera();
  camera.set_bandwidth(bytes_per_second);
  // A frame a stream left part sent is dropped: the next frame, streamed or
  // triggered, starts whole.
  if (!on) camera.cut_frame();
  camera.set_streaming(on);
}

std::string SimMachine::check_frame(const uint8_t* data, uint32_t received, uint32_t frame_bytes) {
  if (received == 0) return "nothing to check: no bytes came";
  sim::pattern::Check c = sim::pattern::check(data, received);
  if (!c.ok)
    return "torn: not the pattern of frame " + std::to_string(c.frame) + " from byte " +
           std::to_string(c.first_bad_offset);
  std::string whole = received == frame_bytes ? "whole"
                                              : "the first " + std::to_string(received) + " bytes of its " +
                                                    std::to_string(frame_bytes);
  return whole + ", frame " + std::to_string(c.frame) + ", untorn";
}

// "\\.\Quorvex-0 in D3, \\.\Quorvex-1 in D3": each camera's power state as the
// bus holds it, the last the driver asked for and the camera reached.
std::string SimMachine::device_power_text(const Options& options) const {
  std::string text;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (options.camera_given && static_cast<size_t>(options.instance) != i) continue;
    text += std::string(text.empty() ? "" : ", ") + "\\\\.\\Quorvex-" + std::to_string(i) + " in D" +
            std::to_string(devices_[i]->power_state() - PowerDeviceD0);
  }
  return text;
}

// The cameras are plugged in instance order, so --camera N is the Nth.
int SimMachine::system_power(int state, const Options& options, std::ostream& out, std::ostream& err) {
  std::string step = state == 0 ? "wake" : "sleep S" + std::to_string(state);
  if (options.camera_given && static_cast<size_t>(options.instance) >= devices_.size()) {
    err << "quorvex: " << step << ": no camera \\\\.\\Quorvex-" << options.instance << " on this machine ("
        << devices_.size() << " plugged)\n";
    return kNoDevice;
  }
  SYSTEM_POWER_STATE was = platform_->system_power();
  NTSTATUS status = state == 0
                        ? platform_->wake()
                        : platform_->sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + state));
  if (status == STATUS_INVALID_DEVICE_STATE) {
    err << "quorvex: " << step << ": " << status_name(status) << ": the machine is asleep already, in S"
        << was - PowerSystemWorking << "; wake it first\n";
    return kRequestFailed;
  }
  if (!NT_SUCCESS(status)) {
    err << "quorvex: " << step << ": a driver refused the query for it, " << status_name(status)
        << "; the machine stays working: " << device_power_text(options) << "\n";
    return kRequestFailed;
  }
  SYSTEM_POWER_STATE now = platform_->system_power();
  if (now == PowerSystemWorking) {
    out << "awake in S0" << (was == PowerSystemWorking ? " (it was not asleep)" : "");
  } else {
    out << "asleep in S" << now - PowerSystemWorking << (now == PowerSystemHibernate ? " (hibernate)" : "");
  }
  out << ": " << device_power_text(options) << "\n";
  return kOk;
}

std::unique_ptr<Machine> make_machine(const Options& options, std::ostream& err, int* exit) {
  auto machine = std::make_unique<SimMachine>();
  if (!machine->plug_all(options, err)) {
    *exit = machine->finish(err) != kOk ? kVerifier : kNoDevice;
    return nullptr;
  }
  return machine;
}

}  // namespace quorvex::tool
