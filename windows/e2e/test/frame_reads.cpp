// The single-shot frame reads on the real driver: the read after a trigger, the
// plain bulk transfer, and the read without trigger that times out. The bus
// traces each bulk transfer when it is handed over and again when it ends, so
// the order the driver sent in is checked apart from the order they finished in.
//
// Where Wine differs from Windows: its I/O manager gives a METHOD_OUT_DIRECT
// request an MDL over its own copy of the output buffer, already mapped
// (MDL_MAPPED_TO_SYSTEM_VA), and copies the bytes the request returns back to the
// caller when it completes. So MmGetSystemAddressForMdlSafe returns that mapping
// without calling MmMapLockedPagesSpecifyCache (which returns NULL in Wine), and
// the reads that map the caller's buffer work here as on Windows, where the MDL
// names the caller's own locked pages.
#include <windows.h>

#include "scenarios.h"

namespace quorvex::e2e {

Traffic image_traffic(Bus& bus, uint32_t slot, uint32_t first) {
  Traffic t;
  for (const QVXBUS_TRACE_ENTRY& e : bus.trace(slot, first)) {
    if (e.Event == QVXBUS_EVENT_SUBMIT && e.Endpoint == 0x82)
      t.sent.push_back("out " + std::to_string(e.Length));
    if (e.Event == QVXBUS_EVENT_ABORT && e.Endpoint == 0x82) t.sent.push_back("abort");
    if (e.Event == QVXBUS_EVENT_BULK && e.Endpoint == 0x82) {
      t.ended.push_back(std::to_string(e.Moved) + (e.UsbdStatus ? " " + hex(e.UsbdStatus) : ""));
    }
    if (e.Event == QVXBUS_EVENT_CONTROL && e.Setup[1] == 0xB3) {
      bool ones = true;
      for (uint32_t i = 0; i < std::min<uint32_t>(e.Length, QVXBUS_TRACE_DATA); ++i)
        ones &= e.Data[i] == 0xFF;
      t.sent.push_back(std::string(ones ? "trigger " : "trigger (not 0xFF) ") + std::to_string(e.Length));
    }
  }
  return t;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return "[" + text + "]";
}

void expect_list(const std::vector<std::string>& seen, const std::vector<std::string>& expected,
                 const std::string& what) {
  if (seen != expected) fail(what + ": " + joined(seen) + ", expected " + joined(expected));
}

void expect_picture(const uint8_t* data, uint32_t received, uint32_t length, uint32_t frame,
                    const sim::pattern::Geometry& window, const std::string& what) {
  if (received != length) {
    fail(what + ": " + std::to_string(received) + " bytes, expected " + std::to_string(length));
  }
  sim::pattern::Check check = sim::pattern::check(data, length);
  if (!check.ok || check.frame != frame) {
    fail(what + ": the pattern finds frame " + std::to_string(check.frame) +
         (check.ok ? "" : ", broken at byte " + std::to_string(check.first_bad_offset)) + ", not frame " +
         std::to_string(frame));
  }
  std::vector<uint8_t> picture(length);
  sim::pattern::fill(window, frame, 0, picture.data(), length);
  auto differ = std::mismatch(picture.begin(), picture.end(), data);
  if (differ.first != picture.end()) {
    size_t at = size_t(differ.first - picture.begin());
    fail(what + ": byte " + std::to_string(at) + " is " + hex(data[at]) + ", the picture's is " +
         hex(picture[at]));
  }
}

namespace {

constexpr uint32_t kChunk = 0x80000;          // the driver's chunk transfer
constexpr uint32_t kFullFrame = 2592 * 1944;  // 256 bytes past a multiple of 512
constexpr sim::pattern::Geometry kFullWindow = {2592, 1944, 1};
constexpr uint32_t kUsbdCanceled = 0xC0010000;
constexpr uint32_t kTransferTimeout = 0xC0000102;

// Every transfer the read sent is back in the bus, none left on its pipes.
void expect_idle(Bus& bus, uint32_t slot, uint32_t frames_sent) {
  QVXBUS_STATE state = bus.state(slot);
  if (state.PendingTransfers != 0) fail(std::to_string(state.PendingTransfers) + " transfers still pending");
  if (state.FramesSent != frames_sent) {
    fail(std::to_string(state.FramesSent) + " frames sent, expected " + std::to_string(frames_sent));
  }
}

// A whole frame of the largest sensor after the trigger, into a buffer of exactly
// its size: nine full chunks, the rest rounded down to whole packets, then one
// packet that holds the frame's last 256 bytes. The first chunk waits on the pipe
// before the trigger goes out, the second follows, and the rest are re-issued
// from the completions in the order of the buffer.
std::string triggered_read(Bus& bus, uint16_t product) {
  Plugged cam{bus.plug(product)};
  Camera camera = open_camera(0);
  bus.queue_frames(cam.slot, 0, kFullFrame, kFullWindow);
  cam.mark = mark(bus, cam.slot);
  Reply r = call(camera, IOCTL_CAM_READ_FRAME, {}, kFullFrame);
  if (!r.status) {
    Traffic t = image_traffic(bus, cam.slot, cam.mark);
    fail("the read failed with error " + std::to_string(r.status.code) + "; sent " + joined(t.sent) +
         ", ended " + joined(t.ended));
  }
  expect_picture(r.out.data(), r.returned, kFullFrame, 0, kFullWindow, "the frame");
  std::vector<std::string> sent = {"out " + std::to_string(kChunk), "trigger 16"}, ended;
  for (int i = 1; i < 9; ++i) sent.push_back("out " + std::to_string(kChunk));
  for (int i = 0; i < 9; ++i) ended.push_back(std::to_string(kChunk));
  uint32_t rest = kFullFrame - 9 * kChunk;
  sent.push_back("out " + std::to_string(rest / 512 * 512));
  sent.push_back("out 512");
  ended.push_back(std::to_string(rest / 512 * 512));
  ended.push_back(std::to_string(rest % 512));
  Traffic t = image_traffic(bus, cam.slot, cam.mark);
  expect_list(t.sent, sent, "sent");
  expect_list(t.ended, ended, "transfers ended");
  expect_idle(bus, cam.slot, 1);
  return std::to_string(kFullFrame) + " bytes of frame 0 in " + std::to_string(ended.size()) + " transfers";
}

// The whole packets of the output in one transfer, handed the caller's pages; the
// rest in one more packet of the driver's, so that no packet overruns a transfer.
std::string bulk_read(Bus& bus, uint16_t product) {
  constexpr uint32_t kLength = 300000;  // not whole packets
  constexpr uint32_t kWhole = kLength / 512 * 512;
  constexpr sim::pattern::Geometry kWindow = {640, 480, 1};
  Plugged cam{bus.plug(product)};
  Camera camera = open_camera(0);
  bus.queue_frames(cam.slot, 1, kLength, kWindow);
  cam.mark = mark(bus, cam.slot);
  Reply r = call(camera, IOCTL_CAM_READ_FRAME, {}, kLength);
  if (!r.status) fail("the read failed with error " + std::to_string(r.status.code));
  expect_picture(r.out.data(), r.returned, kLength, 0, kWindow, "the frame");
  Traffic t = image_traffic(bus, cam.slot, cam.mark);
  expect_list(t.sent, {"out " + std::to_string(kWhole), "out 512"}, "sent");
  expect_list(t.ended, {std::to_string(kWhole), std::to_string(kLength - kWhole)}, "transfers ended");
  expect_idle(bus, cam.slot, 1);
  return std::to_string(kLength) + " bytes of frame 0 in two transfers";
}

// Nothing comes: after a second the pipe is aborted, the chunk comes back
// cancelled, and the read ends in STATUS_TIMEOUT with nothing received.
std::string untriggered_timeout(Bus& bus) {
  Plugged cam{bus.plug(0x100E)};
  Camera camera = open_camera(0);
  cam.mark = mark(bus, cam.slot);
  ULONGLONG start = GetTickCount64();
  Reply r = call(camera, IOCTL_CAM_READ_FRAME_EX, {}, 4096);
  ULONGLONG took = GetTickCount64() - start;
  if (took < 900 || took > 5000) fail("the read ended after " + std::to_string(took) + " ms, not about 1 s");
  Traffic t = image_traffic(bus, cam.slot, cam.mark);
  expect_list(t.sent, {"out 4096", "abort"}, "sent");
  expect_list(t.ended, {"0 " + hex(kUsbdCanceled)}, "transfers ended");
  expect_idle(bus, cam.slot, 0);
  // STATUS_TIMEOUT is informational, so a success (NT_SUCCESS): DeviceIoControl
  // returns TRUE with the bytes received, on Windows and here alike.
  expect_ok(r, {}, "the read");
  expect_ok(call(camera, IOCTL_CAM_GET_LAST_STATUS, {}, 4), le32(kTransferTimeout), "last status");
  return "after " + std::to_string(took) +
         " ms the request succeeded with 0 bytes (STATUS_TIMEOUT), last status " + hex(kTransferTimeout) +
         ", pipe aborted";
}

}  // namespace

std::vector<Scenario> frame_read_scenarios() {
  return {
      {"triggered read on 0x100A", [](Bus& b) { return triggered_read(b, 0x100A); }},
      {"plain bulk read on 0x1009", [](Bus& b) { return bulk_read(b, 0x1009); }},
      {"untriggered read times out", untriggered_timeout},
  };
}

}  // namespace quorvex::e2e
