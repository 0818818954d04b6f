// Every control code on every model with every input and output length from 0 to
// one past what the code needs: a request short of its bytes is refused before
// anything is sent, a served one never reports more than its output buffer holds,
// and nothing is read or written outside the buffers (the I/O manager's system
// buffers come from the guarded pool; the caller's are guarded here).
#include "support/control.h"

namespace quorvex::test {
namespace {

constexpr long kWholeOutput = -1;

// What a code needs, what it says when short, and what it reports when served.
struct CodeRow {
  ULONG code;
  const char* name;
  size_t in;              // input bytes it reads
  size_t out;             // output bytes it writes
  NTSTATUS short_status;  // when a buffer falls short
  Bytes sample;           // a valid input, extended with filler when longer
  long information = 0;   // on success; kWholeOutput: the output length
  bool echo = false;      // information only when the output holds it
  size_t sweep_out = 0;   // output lengths to try beyond `out` + 1
};

constexpr NTSTATUS kShort = STATUS_BUFFER_TOO_SMALL;

std::vector<CodeRow> rows() {
  Bytes start = Bytes(36, 0) + le32(4096) + Bytes(16, 0);
  Bytes release = le32(32) + Bytes(28, 0);
  return {
      {IOCTL_CAM_TRIGGER, "Trigger", 0, 0, kShort, {}},
      {IOCTL_CAM_SET_EXPOSURE, "SetExposure", 4, 0, kShort, le32(100)},
      {IOCTL_CAM_SET_GLOBAL_GAIN, "SetGlobalGain", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_NOOP_805, "Noop805", 0, 0, kShort, {}},
      {IOCTL_CAM_SET_REG05, "SetReg05", 1, 0, kShort, {9}, 1, true},
      {IOCTL_CAM_SET_RESOLUTION, "SetResolution", 8, 0, kShort, le32(640) + le32(480)},
      {IOCTL_CAM_WRITE_REGISTER, "WriteRegister", 6, 0, kShort, Bytes{0x35, 1, 2, 3} + le16(0x1234), 2, true,
       2},
      {IOCTL_CAM_SET_GAIN_2B, "SetGain2B", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_SET_GAIN_2E, "SetGain2E", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_SET_GAIN_2C, "SetGain2C", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_SET_GAIN_2D, "SetGain2D", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_SET_OFFSET_60_61, "SetOffset6061", 4, 0, kShort, le32(5)},
      {IOCTL_CAM_SET_OFFSET_63, "SetOffset63", 4, 0, kShort, le32(5)},
      {IOCTL_CAM_SET_OFFSET_64, "SetOffset64", 4, 0, kShort, le32(5)},
      {IOCTL_CAM_SET_OFFSET_60, "SetOffset60", 4, 0, kShort, le32(5)},
      {IOCTL_CAM_SET_OFFSET_61, "SetOffset61", 4, 0, kShort, le32(5)},
      {IOCTL_CAM_SET_REG62_ON, "SetReg62On", 0, 0, kShort, {}},
      {IOCTL_CAM_SET_REG62_OFF, "SetReg62Off", 0, 0, kShort, {}},
      {IOCTL_CAM_SET_REG20_BITS, "SetReg20Bits", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_NOOP_815, "Noop815", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_81B, "Noop81B", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_81C, "Noop81C", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_81D, "Noop81D", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_81E, "Noop81E", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_81F, "Noop81F", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_820, "Noop820", 0, 0, kShort, {}},
      {IOCTL_CAM_COMMAND_B4, "CommandB4", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_824, "Noop824", 0, 0, kShort, {}},
      {IOCTL_CAM_GET_LAST_STATUS, "GetLastStatus", 0, 4, STATUS_UNSUCCESSFUL, {}, 4, false, 3},
      {IOCTL_CAM_GET_DEVICE_LIST, "GetDeviceList", 0, 128, kShort, {}, 128},
      {IOCTL_CAM_GET_IDENTITY, "GetIdentity", 0, 12, kShort, {}, 12},
      {IOCTL_CAM_COMMAND_B8, "CommandB8", 0, 0, kShort, {}},
      {IOCTL_CAM_WRITE_B9, "WriteB9", 4, 0, kShort, le16(0x1234) + le16(2)},
      {IOCTL_CAM_READ_REGISTER_EX, "ReadRegisterEx", 2, 4, kShort, le16(9), 4},
      {IOCTL_CAM_WRITE_BLOCK, "WriteBlock", 4, 0, STATUS_INVALID_PARAMETER, le32(7)},
      {IOCTL_CAM_READ_BLOCK, "ReadBlock", 2, 0, kShort, le16(3), kWholeOutput, false, 24},
      {IOCTL_CAM_READ_BB, "ReadBB", 2, 4, kShort, le16(3), 4},
      {IOCTL_CAM_WRITE_BC_0, "WriteBC0", 4, 0, kShort, le32(5), 4, true, 4},
      {IOCTL_CAM_WRITE_BC_1, "WriteBC1", 0, 0, kShort, {}},
      {IOCTL_CAM_ABORT_PIPE, "AbortPipe", 0, 0, kShort, {}},
      {IOCTL_CAM_WRITE_BD, "WriteBD", 2, 0, kShort, le16(5), 4, true, 4},
      {IOCTL_CAM_WRITE_BE, "WriteBE", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_READ_FRAME_EX, "ReadFrameEx", 0, 0, kShort, {}},
      {IOCTL_CAM_WRITE_BF, "WriteBF", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_STREAM_START, "StreamStart", 56, 0, STATUS_INVALID_PARAMETER, start},
      {IOCTL_CAM_STREAM_STOP, "StreamStop", 0, 0, kShort, {}},
      {IOCTL_CAM_STREAM_GET_FRAME, "StreamGetFrame", 0, 40, STATUS_INVALID_PARAMETER, {}, 40},
      {IOCTL_CAM_STREAM_RELEASE_FRAME, "StreamReleaseFrame", 32, 0, STATUS_INVALID_PARAMETER, release},
      {IOCTL_CAM_READ_C0, "ReadC0", 0, 8, kShort, {}, 8},
      {IOCTL_CAM_STREAM_READ_FRAME, "StreamReadFrame", 0, 0, kShort, {}},
      {IOCTL_CAM_READ_FRAME, "ReadFrame", 0, 0, kShort, {}},
      {IOCTL_CAM_GET_GLOBAL_GAIN, "GetGlobalGain", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_EXPOSURE, "GetExposure", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_MODEL, "GetModel", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_RESOLUTION, "GetResolution", 0, 12, kShort, {}, 12},
      {IOCTL_CAM_READ_REGISTER, "ReadRegister", 1, 4, kShort, {9}, 4},
      {IOCTL_CAM_GET_GAIN_2B, "GetGain2B", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_GAIN_2E, "GetGain2E", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_GAIN_2D, "GetGain2D", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_GAIN_2C, "GetGain2C", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_NOOP_86E, "Noop86E", 0, 0, kShort, {}},
      {IOCTL_CAM_GET_OFFSET_60_61, "GetOffset6061", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_OFFSET_60, "GetOffset60", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_OFFSET_61, "GetOffset61", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_OFFSET_64, "GetOffset64", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_GET_OFFSET_63, "GetOffset63", 0, 4, kShort, {}, 4},
      {IOCTL_CAM_SET_CAPTURE_MODE, "SetCaptureMode", 4, 0, kShort, le32(2)},
      {IOCTL_CAM_SENSOR_COMMAND, "SensorCommand", 4, 0, kShort, le32(1)},
      {IOCTL_CAM_NOOP_876, "Noop876", 0, 0, kShort, {}},
      {IOCTL_CAM_NOOP_877, "Noop877", 0, 0, kShort, {}},
  };
}

// The sweep's table covers the public list, code for code. All codes but four are
// buffered, so that the sweep sees every byte the driver writes into the output.
TEST(SweepTable, CoversEveryPublicCode) {
  const ULONG codes[] = {
#define SWEEP_CODE(name) name,
      QUORVEX_CONTROL_CODES(SWEEP_CODE)
#undef SWEEP_CODE
  };
  std::vector<CodeRow> table = rows();
  ASSERT_EQ(table.size(), std::size(codes));
  for (size_t i = 0; i < table.size(); ++i) {
    const CodeRow& row = table[i];
    EXPECT_EQ(row.code, codes[i]) << row.name;
    bool direct = row.code == IOCTL_CAM_COMMAND_B4 || row.code == IOCTL_CAM_READ_FRAME_EX ||
                  row.code == IOCTL_CAM_STREAM_READ_FRAME || row.code == IOCTL_CAM_READ_FRAME;
    EXPECT_EQ(QUORVEX_METHOD_OF(row.code), direct ? QUORVEX_METHOD_OUT_DIRECT : QUORVEX_METHOD_BUFFERED)
        << row.name;
  }
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
  void SetUp() override { attach(GetParam().product); }

  bool short_of(const CodeRow& row, size_t in, size_t out) {
    if (row.code == IOCTL_CAM_GET_LAST_STATUS) return out != 4;
    return in < row.in || out < row.out;
  }
};

TEST_P(Sweep, EveryLengthStaysInsideTheBuffers) {
  const CodeRow& row = GetParam().row;
  bool buffered = QUORVEX_METHOD_OF(row.code) == QUORVEX_METHOD_BUFFERED;
  for (size_t in = 0; in <= row.in + 1; ++in) {
    for (size_t out = 0; out <= row.out + 1 + row.sweep_out; ++out) {
      SCOPED_TRACE(testing::Message() << row.name << " in " << in << " out " << out);
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
        if (buffered) {
          // Only the bytes reported come back; the rest of the caller's buffer is
          // as it was.
          Bytes rest(reply.output.begin() + static_cast<long>(std::min<size_t>(reply.information, out)),
                     reply.output.end());
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
  return product_name(info.param.product) + "_" + info.param.row.name;
});

}  // namespace
}  // namespace quorvex::test
