// Every control code on every model with every input and output length from 0 to
// one past what the code needs: a request short of its bytes is refused before
// anything is sent, a served one never reports more than its output buffer holds,
// and nothing is read or written outside the buffers (the I/O manager's system
// buffers come from the guarded pool; the caller's are guarded here).
#include <algorithm>

#include "support/control.h"

namespace quorvex::test {
namespace {

constexpr long kWholeOutput = -1;
constexpr NTSTATUS kShort = STATUS_BUFFER_TOO_SMALL;

// What a code needs, what it says when short, and what it reports when served.
struct CodeRow {
  ULONG code;
  size_t in;                       // input bytes it reads
  size_t out;                      // output bytes it writes
  NTSTATUS short_status = kShort;  // when a buffer falls short
  Bytes sample = {};               // a valid input, extended with filler when longer
  long information = 0;            // on success; kWholeOutput: the output length
  bool echo = false;               // information only when the output holds it
  size_t sweep_out = 0;            // output lengths to try beyond `out` + 1
};

// The codes with a rule of their own, then those grouped by their buffers; sorted by code.
std::vector<CodeRow> rows() {
  std::vector<CodeRow> rows = {
      {IOCTL_CAM_SET_REG05, 1, 0, kShort, {9}, 1, true},
      {IOCTL_CAM_SET_RESOLUTION, 8, 0, kShort, le32(640) + le32(480)},
      {IOCTL_CAM_WRITE_REGISTER, 6, 0, kShort, Bytes{0x35, 1, 2, 3} + le16(0x1234), 2, true, 2},
      {IOCTL_CAM_GET_LAST_STATUS, 0, 4, STATUS_UNSUCCESSFUL, {}, 4, false, 3},
      {IOCTL_CAM_GET_DEVICE_LIST, 0, 128, kShort, {}, 128},
      {IOCTL_CAM_GET_IDENTITY, 0, 12, kShort, {}, 12},
      {IOCTL_CAM_WRITE_B9, 4, 0, kShort, le16(0x1234) + le16(2)},
      {IOCTL_CAM_READ_REGISTER_EX, 2, 4, kShort, le16(9), 4},
      {IOCTL_CAM_WRITE_BLOCK, 4, 0, STATUS_INVALID_PARAMETER, le32(7)},
      {IOCTL_CAM_READ_BLOCK, 2, 0, kShort, le16(3), kWholeOutput, false, 24},
      {IOCTL_CAM_READ_BB, 2, 4, kShort, le16(3), 4},
      {IOCTL_CAM_WRITE_BC_0, 4, 0, kShort, le32(5), 4, true, 4},
      {IOCTL_CAM_WRITE_BD, 2, 0, kShort, le16(5), 4, true, 4},
      {IOCTL_CAM_STREAM_START, 56, 0, STATUS_INVALID_PARAMETER, Bytes(36, 0) + le32(4096) + Bytes(16, 0)},
      {IOCTL_CAM_STREAM_GET_FRAME, 0, 40, STATUS_INVALID_PARAMETER, {}, 40},
      {IOCTL_CAM_STREAM_RELEASE_FRAME, 32, 0, STATUS_INVALID_PARAMETER, le32(32) + Bytes(28, 0)},
      {IOCTL_CAM_READ_C0, 0, 8, kShort, {}, 8},
      {IOCTL_CAM_GET_RESOLUTION, 0, 12, kShort, {}, 12},
      {IOCTL_CAM_READ_REGISTER, 1, 4, kShort, {9}, 4},
      // Frames from a streaming camera, as much as the output holds.
      {IOCTL_CAM_READ_FRAME_EX, 0, 0, kShort, {}, kWholeOutput},
      {IOCTL_CAM_READ_FRAME, 0, 0, kShort, {}, kWholeOutput},
  };
  // No input read, no output written.
  for (ULONG code :
       {IOCTL_CAM_TRIGGER,     IOCTL_CAM_NOOP_805,          IOCTL_CAM_SET_REG62_ON, IOCTL_CAM_SET_REG62_OFF,
        IOCTL_CAM_NOOP_815,    IOCTL_CAM_NOOP_81B,          IOCTL_CAM_NOOP_81C,     IOCTL_CAM_NOOP_81D,
        IOCTL_CAM_NOOP_81E,    IOCTL_CAM_NOOP_81F,          IOCTL_CAM_NOOP_820,     IOCTL_CAM_COMMAND_B4,
        IOCTL_CAM_NOOP_824,    IOCTL_CAM_COMMAND_B8,        IOCTL_CAM_WRITE_BC_1,   IOCTL_CAM_ABORT_PIPE,
        IOCTL_CAM_STREAM_STOP, IOCTL_CAM_STREAM_READ_FRAME, IOCTL_CAM_NOOP_86E,     IOCTL_CAM_NOOP_876,
        IOCTL_CAM_NOOP_877}) {
    rows.push_back({code, 0, 0});
  }
  // A 32-bit value in, nothing out; 2 is a value every model accepts for each.
  for (ULONG code :
       {IOCTL_CAM_SET_EXPOSURE, IOCTL_CAM_SET_GLOBAL_GAIN, IOCTL_CAM_SET_GAIN_2B, IOCTL_CAM_SET_GAIN_2E,
        IOCTL_CAM_SET_GAIN_2C, IOCTL_CAM_SET_GAIN_2D, IOCTL_CAM_SET_OFFSET_60_61, IOCTL_CAM_SET_OFFSET_63,
        IOCTL_CAM_SET_OFFSET_64, IOCTL_CAM_SET_OFFSET_60, IOCTL_CAM_SET_OFFSET_61, IOCTL_CAM_SET_REG20_BITS,
        IOCTL_CAM_WRITE_BE, IOCTL_CAM_WRITE_BF, IOCTL_CAM_SET_CAPTURE_MODE, IOCTL_CAM_SENSOR_COMMAND}) {
    rows.push_back({code, 4, 0, kShort, le32(2)});
  }
  // Nothing in, a 32-bit value out.
  for (ULONG code :
       {IOCTL_CAM_GET_GLOBAL_GAIN, IOCTL_CAM_GET_EXPOSURE, IOCTL_CAM_GET_MODEL, IOCTL_CAM_GET_GAIN_2B,
        IOCTL_CAM_GET_GAIN_2E, IOCTL_CAM_GET_GAIN_2D, IOCTL_CAM_GET_GAIN_2C, IOCTL_CAM_GET_OFFSET_60_61,
        IOCTL_CAM_GET_OFFSET_60, IOCTL_CAM_GET_OFFSET_61, IOCTL_CAM_GET_OFFSET_64, IOCTL_CAM_GET_OFFSET_63}) {
    rows.push_back({code, 0, 4, kShort, {}, 4});
  }
  std::sort(rows.begin(), rows.end(), [](const CodeRow& a, const CodeRow& b) { return a.code < b.code; });
  return rows;
}

// The sweep's table covers the public list, code for code.
TEST(SweepTable, CoversEveryPublicCode) {
  std::vector<ULONG> covered;
  for (const CodeRow& row : rows()) covered.push_back(row.code);
  EXPECT_EQ(covered, control_codes());
}

Bytes input_of(const CodeRow& row, size_t length) {
  Bytes input = row.sample;
  input.resize(length, 0x5A);
  return input;
}

ULONG_PTR expected_information(const CodeRow& row, size_t out) {
  if (row.information == kWholeOutput) return out;
  ULONG_PTR information = static_cast<ULONG_PTR>(row.information);
  if (row.echo && out < information) return 0;
  return information;
}

struct SweepCase {
  USHORT product;
  CodeRow row;
};

class Sweep : public ControlTest, public ::testing::WithParamInterface<SweepCase> {
 protected:
  void SetUp() override {
    attach(GetParam().product);
    ULONG code = GetParam().row.code;
    // Frames from a streaming camera; the trigger pends, as on Windows.
    if (code == IOCTL_CAM_READ_FRAME || code == IOCTL_CAM_READ_FRAME_EX) {
      device_->camera().set_streaming(true);
      device_->set_control_deferred(true);
    }
  }

  bool short_of(const CodeRow& row, size_t in, size_t out) {
    if (row.code == IOCTL_CAM_GET_LAST_STATUS) return out != 4;
    return in < row.in || out < row.out;
  }
};

TEST_P(Sweep, EveryLengthStaysInsideTheBuffers) {
  const CodeRow& row = GetParam().row;
  for (size_t in = 0; in <= row.in + 1; ++in) {
    for (size_t out = 0; out <= row.out + 1 + row.sweep_out; ++out) {
      SCOPED_TRACE(testing::Message() << control_code_name(row.code) << " in " << in << " out " << out);
      Reply reply = call(row.code, input_of(row, in), out);
      ASSERT_NE(reply.status, kNotServed);
      if (short_of(row, in, out)) {
        EXPECT_EQ(reply, untouched(row.short_status, out));
        EXPECT_TRUE(device_->trace().empty()) << "nothing is sent for a short request";
      } else {
        EXPECT_NE(reply.status, STATUS_BUFFER_TOO_SMALL);
        if (NT_SUCCESS(reply.status)) {
          EXPECT_EQ(reply.information, expected_information(row, out));
        }
        // Only the bytes reported come back; the rest of the caller's buffer is as
        // it was, whether the I/O manager copies the output or the driver writes it.
        // A direct transfer that failed may have landed bytes in the caller's pages
        // before it failed (a babbling packet), as the controller's DMA would.
        bool failed_direct = !NT_SUCCESS(reply.status) && METHOD_FROM_CTL_CODE(row.code) == METHOD_OUT_DIRECT;
        Bytes rest(reply.output.begin() + static_cast<long>(std::min<size_t>(reply.information, out)),
                   reply.output.end());
        if (!failed_direct) {
          EXPECT_EQ(rest, Bytes(rest.size(), kPoison));
        }
      }
      device_->clear_trace();
    }
  }
}

std::vector<SweepCase> sweep_cases() {
  std::vector<SweepCase> cases;
  for (USHORT product : kProducts) {
    for (const CodeRow& row : rows()) cases.push_back({product, row});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllCodes, Sweep, ::testing::ValuesIn(sweep_cases()), [](const auto& info) {
  return product_name(info.param.product) + "_" + control_code_name(info.param.row.code);
});

}  // namespace
}  // namespace quorvex::test
