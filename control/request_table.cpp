// The request table: for every control code the handler that serves it, the bytes
// of input it reads and of output it writes, and the handler's argument.
#include "control.h"

#define CAM_U32 sizeof(ULONG)
#define CAM_U16 sizeof(USHORT)

// Sorted by code, one row per public code; the checks below hold the table to that.
static constexpr CAM_CONTROL_ENTRY CamControlTable[] = {
    {IOCTL_CAM_TRIGGER, CamSendFilledRequest, 0, 0, 0xB3},
    {IOCTL_CAM_SET_EXPOSURE, CamSetExposure, CAM_U32, 0, 0},
    {IOCTL_CAM_SET_GLOBAL_GAIN, CamSetGlobalGain, CAM_U32, 0, 0},
    {IOCTL_CAM_NOOP_805, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_SET_REG05, CamSetReg05, 1, 0, 0},
    {IOCTL_CAM_SET_RESOLUTION, CamSetResolution, sizeof(CAM_WINDOW_SIZE), 0, 0},
    {IOCTL_CAM_WRITE_REGISTER, CamWriteRegisterRequest, sizeof(CAM_REGISTER_WRITE), 0, 0},
    {IOCTL_CAM_SET_GAIN_2B, CamSetChannelGain, CAM_U32, 0, 0x2B},
    {IOCTL_CAM_SET_GAIN_2E, CamSetChannelGain, CAM_U32, 0, 0x2E},
    {IOCTL_CAM_SET_GAIN_2C, CamSetChannelGain, CAM_U32, 0, 0x2C},
    {IOCTL_CAM_SET_GAIN_2D, CamSetChannelGain, CAM_U32, 0, 0x2D},
    {IOCTL_CAM_SET_OFFSET_60_61, CamSetOffsetPair, CAM_U32, 0, 0},
    {IOCTL_CAM_SET_OFFSET_63, CamSetOffset, CAM_U32, 0, 0x63},
    {IOCTL_CAM_SET_OFFSET_64, CamSetOffset, CAM_U32, 0, 0x64},
    {IOCTL_CAM_SET_OFFSET_60, CamSetOffset, CAM_U32, 0, 0x60},
    {IOCTL_CAM_SET_OFFSET_61, CamSetOffset, CAM_U32, 0, 0x61},
    {IOCTL_CAM_SET_REG62_ON, CamSetReg62, 0, 0, 1},
    {IOCTL_CAM_SET_REG62_OFF, CamSetReg62, 0, 0, 0},
    {IOCTL_CAM_SET_REG20_BITS, CamSetReg20Bits, CAM_U32, 0, 0},
    {IOCTL_CAM_NOOP_815, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_81B, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_81C, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_81D, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_81E, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_81F, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_820, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_COMMAND_B4, CamSendFilledRequest, 0, 0, 0xB4},
    {IOCTL_CAM_NOOP_824, CamNoAction, 0, 0, 0},
    // Needs an output of exactly 4 bytes; the handler tests it.
    {IOCTL_CAM_GET_LAST_STATUS, CamGetLastStatus, 0, 0, 0},
    {IOCTL_CAM_GET_DEVICE_LIST, CamGetDeviceList, 0, sizeof(CAM_DEVICE_LIST), 0},
    {IOCTL_CAM_GET_IDENTITY, CamGetIdentity, 0, sizeof(CAM_IDENTITY), 0},
    {IOCTL_CAM_COMMAND_B8, CamSendFilledRequest, 0, 0, 0xB8},
    {IOCTL_CAM_WRITE_B9, CamWriteB9, sizeof(CAM_B9_WRITE), 0, 0},
    {IOCTL_CAM_READ_REGISTER_EX, CamReadRegisterEx, CAM_U16, CAM_U32, 0},
    // Refuses inputs under 4 bytes itself, with its own status.
    {IOCTL_CAM_WRITE_BLOCK, CamWriteBlock, 0, 0, 0},
    // Returns as many bytes as the output buffer holds.
    {IOCTL_CAM_READ_BLOCK, CamReadBlock, CAM_U16, 0, 0},
    {IOCTL_CAM_READ_BB, CamReadBB, CAM_U16, CAM_U32, 0},
    {IOCTL_CAM_WRITE_BC_0, CamWriteBC, CAM_U32, 0, 0},
    {IOCTL_CAM_WRITE_BC_1, CamWriteBC, 0, 0, 1},
    {IOCTL_CAM_ABORT_PIPE, CamAbortImagePipe, 0, 0, 0},
    {IOCTL_CAM_WRITE_BD, CamWriteBD, CAM_U16, 0, 0},
    {IOCTL_CAM_WRITE_BE, CamSendFilledRequest, CAM_U32, 0, 0xBE},
    {IOCTL_CAM_READ_FRAME_EX, CamReadFrameExRequest, 0, 0, 0},
    {IOCTL_CAM_WRITE_BF, CamSendFilledRequest, CAM_U32, 0, 0xBF},
    // The streaming requests test their records themselves.
    {IOCTL_CAM_STREAM_START, CamStreamStartRequest, 0, 0, 0},
    {IOCTL_CAM_STREAM_STOP, CamStreamStopRequest, 0, 0, 0},
    {IOCTL_CAM_STREAM_GET_FRAME, CamStreamGetFrameRequest, 0, 0, 0},
    {IOCTL_CAM_STREAM_RELEASE_FRAME, CamStreamReleaseFrameRequest, 0, 0, 0},
    {IOCTL_CAM_READ_C0, CamReadC0, 0, 2 * CAM_U32, 0},
    {IOCTL_CAM_STREAM_READ_FRAME, CamStreamReadFrameRequest, 0, 0, 0},
    {IOCTL_CAM_READ_FRAME, CamReadFrameRequest, 0, 0, 0},
    {IOCTL_CAM_GET_GLOBAL_GAIN, CamGetGlobalGain, 0, CAM_U32, 0},
    {IOCTL_CAM_GET_EXPOSURE, CamGetExposure, 0, CAM_U32, 0},
    {IOCTL_CAM_GET_MODEL, CamGetModel, 0, CAM_U32, 0},
    {IOCTL_CAM_GET_RESOLUTION, CamGetResolution, 0, sizeof(CAM_RESOLUTION), 0},
    {IOCTL_CAM_READ_REGISTER, CamReadRegisterRequest, 1, CAM_U32, 0},
    {IOCTL_CAM_GET_GAIN_2B, CamGetChannelGain, 0, CAM_U32, 0x2B},
    {IOCTL_CAM_GET_GAIN_2E, CamGetChannelGain, 0, CAM_U32, 0x2E},
    {IOCTL_CAM_GET_GAIN_2D, CamGetChannelGain, 0, CAM_U32, 0x2D},
    {IOCTL_CAM_GET_GAIN_2C, CamGetChannelGain, 0, CAM_U32, 0x2C},
    {IOCTL_CAM_NOOP_86E, CamNoAction, 0, 0, 0},
    // Both of these read register 0x60.
    {IOCTL_CAM_GET_OFFSET_60_61, CamGetOffset, 0, CAM_U32, 0x60},
    {IOCTL_CAM_GET_OFFSET_60, CamGetOffset, 0, CAM_U32, 0x60},
    {IOCTL_CAM_GET_OFFSET_61, CamGetOffset, 0, CAM_U32, 0x61},
    {IOCTL_CAM_GET_OFFSET_64, CamGetOffset, 0, CAM_U32, 0x64},
    {IOCTL_CAM_GET_OFFSET_63, CamGetOffset, 0, CAM_U32, 0x63},
    {IOCTL_CAM_SET_CAPTURE_MODE, CamSetCaptureMode, CAM_U32, 0, 0},
    {IOCTL_CAM_SENSOR_COMMAND, CamSensorCommand, CAM_U32, 0, 0},
    {IOCTL_CAM_NOOP_876, CamNoAction, 0, 0, 0},
    {IOCTL_CAM_NOOP_877, CamNoAction, 0, 0, 0},
};

#define CAM_CONTROL_ROWS CAM_COUNT_OF(CamControlTable)

static constexpr ULONG CamPublicCodes[] = {
#define CAM_PUBLIC_CODE(name) name,
    QUORVEX_CONTROL_CODES(CAM_PUBLIC_CODE)
#undef CAM_PUBLIC_CODE
};

static constexpr bool CamTableMatchesPublicCodes() {
  if (sizeof(CamPublicCodes) / sizeof(CamPublicCodes[0]) != CAM_CONTROL_ROWS) return false;
  for (ULONG i = 0; i < CAM_CONTROL_ROWS; i++) {
    if (CamControlTable[i].Code != CamPublicCodes[i]) return false;
    if (i > 0 && CamControlTable[i - 1].Code >= CamControlTable[i].Code) return false;
  }
  return true;
}

static_assert(CAM_CONTROL_ROWS == QUORVEX_CONTROL_CODE_COUNT, "one row per control code");
static_assert(CamTableMatchesPublicCodes(), "rows in ascending order of the public codes");

// Any IRQL. The row of exactly this code, or NULL: codes between or next to the
// table's codes are not near misses but unknown requests.
const CAM_CONTROL_ENTRY* CamFindControlEntry(ULONG Code) {
  ULONG low = 0;
  ULONG high = CAM_CONTROL_ROWS;
  while (low < high) {
    ULONG middle = low + (high - low) / 2;
    if (CamControlTable[middle].Code == Code) return &CamControlTable[middle];
    if (CamControlTable[middle].Code < Code) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return NULL;
}
