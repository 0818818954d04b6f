// Prints, for every product, what every control code and every frame read sends to
// the camera and what the application gets back: the bus traffic of each request
// (setup packets, data stages, transfer lengths and statuses) and each request's
// status, Information and output bytes. Deterministic, so that two builds can be
// compared byte for byte: a change meant to keep behaviour must leave this alike.
//
//   build/host/tests/traffic_dump > before.txt
#include <algorithm>
#include <cstdio>

#include "support/control.h"

namespace quorvex::test {
namespace {

// The control transfers in the order the camera saw them, then the other requests
// in theirs: a triggered read's trigger completes on the host controller while its
// first chunk fills, so where the two meet in the trace varies from run to run.
void print_traffic(sim::UsbDevice& device) {
  std::vector<sim::BusEvent> trace = device.trace();
  std::stable_partition(trace.begin(), trace.end(),
                        [](const sim::BusEvent& e) { return e.kind == sim::BusEvent::Control; });
  for (const sim::BusEvent& e : trace) {
    if (e.kind == sim::BusEvent::Control) {
      std::printf("    %s\n", describe(e).c_str());
    } else {
      std::printf("    kind %d endpoint %02X flags %lX requested %u actual %u usbd %08lX irp %08lX\n",
                  static_cast<int>(e.kind), e.endpoint, static_cast<unsigned long>(e.transfer_flags),
                  e.requested, e.actual, static_cast<unsigned long>(static_cast<uint32_t>(e.usbd_status)),
                  static_cast<unsigned long>(static_cast<uint32_t>(e.irp_status)));
    }
  }
  device.clear_trace();
}

void print_reply(const char* what, const Reply& reply, size_t shown) {
  Bytes head(reply.output.begin(), reply.output.begin() + std::min(shown, reply.output.size()));
  std::printf("  %s: status %08lX information %lu output%s\n", what,
              static_cast<unsigned long>(static_cast<uint32_t>(reply.status)),
              static_cast<unsigned long>(reply.information), hex(head).c_str());
}

// Every code with no input, with an input of rising bytes, and with a valid window.
void dump_codes(sim::Handle handle, sim::UsbDevice& device) {
  Bytes rising(64);
  for (size_t i = 0; i < rising.size(); ++i) rising[i] = static_cast<uint8_t>(i * 7 + 3);
  for (ULONG code : control_codes()) {
    if (code == IOCTL_CAM_READ_FRAME || code == IOCTL_CAM_READ_FRAME_EX) continue;
    for (const Bytes& input : {Bytes{}, Bytes(rising.begin(), rising.begin() + 8), rising}) {
      Reply reply = send_control(handle, code, input, 256);
      std::string what = control_code_name(code) + " in " + std::to_string(input.size());
      print_reply(what.c_str(), reply, 64);
      print_traffic(device);
    }
  }
}

// Each read path at lengths of one packet's part, whole chunks and a last partial
// packet, the camera holding a frame for each.
void dump_reads(sim::Handle handle, sim::UsbDevice& device) {
  for (ULONG code : {IOCTL_CAM_READ_FRAME, IOCTL_CAM_READ_FRAME_EX}) {
    for (size_t length : {size_t{300}, size_t{4096}, size_t{4096 + 300}, size_t{0x100000 + 300}}) {
      device.camera().set_frame_size(static_cast<uint32_t>(length));
      if (code == IOCTL_CAM_READ_FRAME_EX) device.camera().queue_frames(1);
      Reply reply = send_control(handle, code, {}, length);
      std::string what = control_code_name(code) + " of " + std::to_string(length);
      print_reply(what.c_str(), reply, 16);
      print_traffic(device);
    }
  }
}

int run() {
  for (USHORT product = 0x1009; product <= 0x100F; ++product) {
    sim::Platform platform(CamDriverEntry);
    sim::CameraConfig config;
    config.product_id = product;
    sim::Platform::Plugged plugged = platform.plug(config);
    std::printf("product %04X: add %08lX start %08lX\n", product,
                static_cast<unsigned long>(static_cast<uint32_t>(plugged.add_status)),
                static_cast<unsigned long>(static_cast<uint32_t>(plugged.start_status)));
    print_traffic(*plugged.device);
    sim::Handle handle = sim::kInvalidHandle;
    if (sim::nt_create_file(L"\\\\.\\Quorvex-0", &handle) != STATUS_SUCCESS) return 1;
    dump_codes(handle, *plugged.device);
    dump_reads(handle, *plugged.device);
    sim::nt_close(handle);
  }
  return 0;
}

}  // namespace
}  // namespace quorvex::test

int main() { return quorvex::test::run(); }
