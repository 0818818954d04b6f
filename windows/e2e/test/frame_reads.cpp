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
namespace {

constexpr uint32_t kChunk = 0x80000;          // the driver's chunk transfer
constexpr uint32_t kFullFrame = 2592 * 1944;  // 256 bytes past a multiple of 512
constexpr uint32_t kUsbdCanceled = 0xC0010000;
constexpr uint32_t kTransferTimeout = 0xC0000102;

// The camera's image pattern: 32-bit little-endian words, word k of frame f
// holding f XOR (k * 0x9E3779B1). The first offset that differs, or `length`.
size_t pattern_mismatch(uint32_t frame, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    uint32_t word = frame ^ uint32_t((i / 4) * 0x9E3779B1u);
    if (data[i] != uint8_t(word >> (8 * (i % 4)))) return i;
  }
  return length;
}

void expect_pattern(const Reply& r, uint32_t frame, uint32_t length, const std::string& what) {
  if (r.returned != length) {
    fail(what + ": " + std::to_string(r.returned) + " bytes, expected " + std::to_string(length));
  }
  size_t at = pattern_mismatch(frame, r.out.data(), length);
  if (at != length) {
    fail(what + ": byte " + std::to_string(at) + " is " + hex(r.out[at]) + ", not frame " +
         std::to_string(frame) + "'s pattern");
  }
}

// What the camera was handed on its pipes since `first`, in order: "out N" for a
// bulk transfer of N bytes on the image pipe, "trigger N" for the 0xB3 request
// with N bytes of 0xFF, "abort" for an abort of the image pipe; and what the
// transfers ended with: "N" bytes moved, with the USB status if not success.
struct Traffic {
  std::vector<std::string> sent, ended;
};

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
  bus.queue_frames(cam.slot, 0, kFullFrame);
  cam.mark = mark(bus, cam.slot);
  Reply r = call(camera, IOCTL_CAM_READ_FRAME, {}, kFullFrame);
  if (!r.status) {
    Traffic t = image_traffic(bus, cam.slot, cam.mark);
    fail("the read failed with error " + std::to_string(r.status.code) + "; sent " + joined(t.sent) +
         ", ended " + joined(t.ended));
  }
  expect_pattern(r, 0, kFullFrame, "the frame");
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
  Plugged cam{bus.plug(product)};
  Camera camera = open_camera(0);
  bus.queue_frames(cam.slot, 1, kLength);
  cam.mark = mark(bus, cam.slot);
  Reply r = call(camera, IOCTL_CAM_READ_FRAME, {}, kLength);
  if (!r.status) fail("the read failed with error " + std::to_string(r.status.code));
  expect_pattern(r, 0, kLength, "the frame");
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
