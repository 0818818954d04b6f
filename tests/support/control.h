// Helpers for the device-control tests: a camera of a given product opened as an
// application opens it, requests sent through the I/O manager with guarded and
// poisoned caller buffers, and the camera's vendor traffic rendered as text.
#pragma once

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "include/quorvex/quorvex.h"
#include "support/testbed.h"

namespace quorvex::test {

// The control code's name as the public header spells it, or "unknown".
inline std::string control_code_name(ULONG code) {
  switch (code) {
#define CONTROL_CODE_NAME(name) \
  case name:                    \
    return #name;
    QUORVEX_CONTROL_CODES(CONTROL_CODE_NAME)
#undef CONTROL_CODE_NAME
    default:
      return "unknown";
  }
}

// Every public control code, in ascending order.
inline std::vector<ULONG> control_codes() {
  return {
#define CONTROL_CODE(name) name,
      QUORVEX_CONTROL_CODES(CONTROL_CODE)
#undef CONTROL_CODE
  };
}

constexpr uint8_t kPoison = 0xDE;
constexpr NTSTATUS kNotServed = static_cast<NTSTATUS>(0xDEDEDEDE);

using Bytes = std::vector<uint8_t>;

inline Bytes le16(uint16_t value) { return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}; }
inline Bytes le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// " 34 12": the bytes in hex, as the bus notation and the failure messages show them.
inline std::string hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), " %02X", b);
    text += digits;
  }
  return text;
}

// One product of each model, and the monochrome product of model 0x1801.
constexpr USHORT kProducts[] = {0x1009, 0x100B, 0x100D, 0x100E};

inline uint32_t model_of(USHORT product) {
  if (product == 0x1009 || product == 0x100A) return CAM_MODEL_8431;
  return product == 0x100E ? CAM_MODEL_1621 : CAM_MODEL_1801;
}

// A window size the model accepts; model 0x1801 has only one.
inline Bytes accepted_window(uint32_t model) {
  return model == CAM_MODEL_1801 ? le32(2592) + le32(1944) : le32(640) + le32(480);
}

// A caller's buffer of `length` poisoned bytes between two guard zones. Under
// AddressSanitizer the guards are poisoned, so any access to them stops the test at
// once (the macros do nothing in other builds); they are checked for writes too.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kGuardFill = 0xA7;

  explicit GuardedBuffer(size_t length, const Bytes& content = {})
      : storage_(length + 2 * kGuard, kGuardFill), length_(length) {
    std::fill(data(), data() + length, kPoison);
    std::copy(content.begin(), content.end(), data());
    ASAN_POISON_MEMORY_REGION(storage_.data(), kGuard);
    ASAN_POISON_MEMORY_REGION(data() + length, kGuard);
  }
  ~GuardedBuffer() { ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size()); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  uint8_t* data() { return storage_.data() + kGuard; }
  Bytes bytes() { return Bytes(data(), data() + length_); }

  // Ends the guarding.
  bool guards_intact() {
    ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size());
    const Bytes guard(kGuard, kGuardFill);
    return std::equal(guard.begin(), guard.end(), storage_.begin()) &&
           std::equal(guard.begin(), guard.end(), storage_.end() - kGuard);
  }

 private:
  Bytes storage_;
  size_t length_;
};

// What a request came back with: its status, Information, and the whole output
// buffer afterwards, poison where nothing came back.
struct Outcome {
  NTSTATUS status = kNotServed;
  ULONG_PTR information = 0;
  Bytes output;

  bool operator==(const Outcome& other) const {
    return status == other.status && information == other.information && output == other.output;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << std::hex << "status " << static_cast<uint32_t>(o.status) << std::dec << ", information "
            << o.information << ", output" << hex(o.output);
}

// A request that ended with `status` and wrote nothing into its output.
inline Outcome untouched(NTSTATUS status, size_t output_length) {
  return {status, 0, Bytes(output_length, kPoison)};
}

struct Reply : Outcome {
  bool input_intact = false;
  bool guards_intact = false;
};

// Sends one request as an application does, with an input of exactly the given
// bytes and an output buffer of `output_length` poisoned bytes.
inline Reply send_control(sim::Handle handle, ULONG code, const Bytes& input, size_t output_length) {
  GuardedBuffer in(input.size(), input);
  GuardedBuffer out(output_length);
  Reply reply;
  reply.information = 0xDEDEDEDE;
  reply.status = sim::nt_device_io_control(
      handle, code, input.empty() ? nullptr : in.data(), static_cast<ULONG>(input.size()),
      output_length == 0 ? nullptr : out.data(), static_cast<ULONG>(output_length), &reply.information);
  reply.output = out.bytes();
  reply.input_intact = in.bytes() == input;
  reply.guards_intact = in.guards_intact() && out.guards_intact();
  return reply;
}

// One vendor request as the camera saw it: "40 B7 0035 0000 0002 : 34 12", the
// setup packet's fields in bus order, then the data stage that moved.
inline std::string describe(const sim::BusEvent& e) {
  char head[64];
  std::snprintf(head, sizeof(head), "%02X %02X %04X %04X %04X", e.request_type(), e.request(), e.value(),
                e.index(), e.length());
  std::string text = head;
  if (!e.data.empty()) text += " :" + hex(e.data);
  if (e.usbd_status != USBD_STATUS_SUCCESS) text += " (failed)";
  return text;
}

// Every request the camera saw, one a line: control transfers as above, the
// others by kind, endpoint, lengths and statuses. For the messages of a failure.
inline std::string describe_trace(const sim::UsbDevice& device) {
  std::string text;
  char line[128];
  for (const sim::BusEvent& e : device.trace()) {
    if (e.kind == sim::BusEvent::Control) {
      text += "\n  " + describe(e);
      continue;
    }
    std::snprintf(line, sizeof line, "\n  kind %d endpoint %02X, %u of %u bytes, USBD %08X, status %08X",
                  static_cast<int>(e.kind), e.endpoint, e.actual, e.requested,
                  static_cast<uint32_t>(e.usbd_status), static_cast<uint32_t>(e.irp_status));
    text += line;
  }
  return text;
}

// Register traffic in the same notation; a failed transfer moves no data.
inline std::string reg_access(bool in, uint8_t reg, std::optional<uint16_t> value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s B7 %04X 0000 0002", in ? "C0" : "40", reg);
  return text + (value ? " :" + hex(le16(*value)) : " (failed)");
}
inline std::string reg_write(uint8_t reg, uint16_t value) { return reg_access(false, reg, value); }
inline std::string reg_read(uint8_t reg, uint16_t value) { return reg_access(true, reg, value); }
inline std::string reg_write_failed(uint8_t reg) { return reg_access(false, reg, std::nullopt); }
inline std::string reg_read_failed(uint8_t reg) { return reg_access(true, reg, std::nullopt); }

using Traffic = std::vector<std::string>;

// The control transfers the camera saw since its trace was last cleared, which this
// clears.
inline Traffic take_control_traffic(sim::UsbDevice& device) {
  Traffic text;
  for (const sim::BusEvent& e : device.trace()) {
    if (e.kind == sim::BusEvent::Control) text.push_back(describe(e));
  }
  device.clear_trace();
  return text;
}

// A started camera of one product with a handle open on it, its trace cleared.
class ControlTest : public Testbed {
 protected:
  void attach(USHORT product) {
    device_ = &plug(camera(product));
    ext_ = extension(*device_);
    handle_ = open(0);
    device_->clear_trace();
  }

  Reply call(ULONG code, const Bytes& input = {}, size_t output_length = 0) {
    Reply reply = send_control(handle_, code, input, output_length);
    EXPECT_TRUE(reply.guards_intact) << "a caller's buffer was touched outside its bounds";
    EXPECT_TRUE(reply.input_intact) << "the caller's input was changed";
    EXPECT_LE(reply.information, output_length);
    return reply;
  }

  // Sends a 32-bit value through `code`, which has no output, and returns the
  // register traffic.
  Traffic set(ULONG code, int32_t value, NTSTATUS expected = STATUS_SUCCESS) {
    EXPECT_EQ(call(code, le32(static_cast<uint32_t>(value))), (Outcome{expected, 0, {}}))
        << std::hex << code << " " << std::dec << value;
    return traffic();
  }

  // The nth register read (or write) from now stalls.
  void stall_register(bool in, int nth = 1) {
    device_->fail_urb(sim::UrbMatch::vendor(0xB7, in), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, nth);
  }

  // The control traffic since the last call, which clears it.
  Traffic traffic() { return take_control_traffic(*device_); }

  sim::UsbDevice* device_ = nullptr;
  PCAM_DEVICE_EXTENSION ext_ = nullptr;
  sim::Handle handle_ = sim::kInvalidHandle;
};

inline std::string product_name(USHORT product) {
  char text[16];
  std::snprintf(text, sizeof(text), "Product%04X", product);
  return text;
}

// The same tests on each product the suite is instantiated with.
class ProductTest : public ControlTest, public ::testing::WithParamInterface<USHORT> {
 protected:
  void SetUp() override { attach(GetParam()); }
  uint32_t model() const { return model_of(GetParam()); }
};

struct ProductName {
  std::string operator()(const ::testing::TestParamInfo<USHORT>& info) const {
    return product_name(info.param);
  }
};

}  // namespace quorvex::test
