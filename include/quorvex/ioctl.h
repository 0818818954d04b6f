/* Quorvex USB camera driver: device-control codes.
 *
 * Every code is a Windows CTL_CODE of device type 0x22 (FILE_DEVICE_UNKNOWN) with
 * FILE_ANY_ACCESS. All use METHOD_BUFFERED except four, which use METHOD_OUT_DIRECT
 * (the output buffer is locked and handed to the driver as is). The header defines
 * its own macros so that it can be included next to the DDK, <windows.h> or neither.
 *
 * Multi-byte values in every request buffer are little-endian. For each code the
 * comment gives the input the driver reads and the output it writes; a buffer shorter
 * than that is refused with STATUS_BUFFER_TOO_SMALL (0xC0000023) unless noted.
 */
#ifndef QUORVEX_IOCTL_H
#define QUORVEX_IOCTL_H

#include <stdint.h>

#define QUORVEX_DEVICE_TYPE 0x22u
#define QUORVEX_METHOD_BUFFERED 0u
#define QUORVEX_METHOD_OUT_DIRECT 2u
#define QUORVEX_ANY_ACCESS 0u

#define QUORVEX_CTL_CODE(function, method) \
  ((uint32_t)((QUORVEX_DEVICE_TYPE << 16) | (QUORVEX_ANY_ACCESS << 14) | ((function) << 2) | (method)))
#define QUORVEX_METHOD_OF(code) ((uint32_t)(code)&3u)
#define QUORVEX_FUNCTION_OF(code) (((uint32_t)(code) >> 2) & 0xFFFu)

#define QUORVEX_BUFFERED(function) QUORVEX_CTL_CODE(function, QUORVEX_METHOD_BUFFERED)
#define QUORVEX_OUT_DIRECT(function) QUORVEX_CTL_CODE(function, QUORVEX_METHOD_OUT_DIRECT)

/* The codes, with the input each reads and the output it writes; counts are in
 * bytes. A request echoing bytes returns its own input bytes. */

/* Camera commands. No input read, no output. */
#define IOCTL_CAM_TRIGGER QUORVEX_BUFFERED(0x801u)

/* Settings: input a 32-bit value (compared as signed), no output. */
#define IOCTL_CAM_SET_EXPOSURE QUORVEX_BUFFERED(0x802u)
#define IOCTL_CAM_SET_GLOBAL_GAIN QUORVEX_BUFFERED(0x803u)

/* Kept for compatibility: success, no action. */
#define IOCTL_CAM_NOOP_805 QUORVEX_BUFFERED(0x805u)

/* Input one byte, 9 or 18. Echoes that byte when the output holds it. */
#define IOCTL_CAM_SET_REG05 QUORVEX_BUFFERED(0x806u)

/* Input CAM_WINDOW_SIZE. */
#define IOCTL_CAM_SET_RESOLUTION QUORVEX_BUFFERED(0x807u)

/* Input CAM_REGISTER_WRITE. Echoes its first 2 bytes when the output holds them. */
#define IOCTL_CAM_WRITE_REGISTER QUORVEX_BUFFERED(0x808u)

/* Input a 32-bit value, no output. */
#define IOCTL_CAM_SET_GAIN_2B QUORVEX_BUFFERED(0x809u)
#define IOCTL_CAM_SET_GAIN_2E QUORVEX_BUFFERED(0x80Au)
#define IOCTL_CAM_SET_GAIN_2C QUORVEX_BUFFERED(0x80Bu)
#define IOCTL_CAM_SET_GAIN_2D QUORVEX_BUFFERED(0x80Cu)
#define IOCTL_CAM_SET_OFFSET_60_61 QUORVEX_BUFFERED(0x80Du)
#define IOCTL_CAM_SET_OFFSET_63 QUORVEX_BUFFERED(0x80Eu)
#define IOCTL_CAM_SET_OFFSET_64 QUORVEX_BUFFERED(0x80Fu)
#define IOCTL_CAM_SET_OFFSET_60 QUORVEX_BUFFERED(0x810u)
#define IOCTL_CAM_SET_OFFSET_61 QUORVEX_BUFFERED(0x811u)

/* No input, no output. */
#define IOCTL_CAM_SET_REG62_ON QUORVEX_BUFFERED(0x812u)
#define IOCTL_CAM_SET_REG62_OFF QUORVEX_BUFFERED(0x813u)

/* Input a 32-bit mode, 0 to 3. */
#define IOCTL_CAM_SET_REG20_BITS QUORVEX_BUFFERED(0x814u)

/* Kept for compatibility: success, no action. */
#define IOCTL_CAM_NOOP_815 QUORVEX_BUFFERED(0x815u)
#define IOCTL_CAM_NOOP_81B QUORVEX_BUFFERED(0x81Bu)
#define IOCTL_CAM_NOOP_81C QUORVEX_BUFFERED(0x81Cu)
#define IOCTL_CAM_NOOP_81D QUORVEX_BUFFERED(0x81Du)
#define IOCTL_CAM_NOOP_81E QUORVEX_BUFFERED(0x81Eu)
#define IOCTL_CAM_NOOP_81F QUORVEX_BUFFERED(0x81Fu)
#define IOCTL_CAM_NOOP_820 QUORVEX_BUFFERED(0x820u)

/* No input, no output. */
#define IOCTL_CAM_COMMAND_B4 QUORVEX_OUT_DIRECT(0x823u)

/* Kept for compatibility: success, no action. */
#define IOCTL_CAM_NOOP_824 QUORVEX_BUFFERED(0x824u)

/* Output exactly 4 bytes: the last USB failure status; any other length gets
 * STATUS_UNSUCCESSFUL. */
#define IOCTL_CAM_GET_LAST_STATUS QUORVEX_BUFFERED(0x832u)

/* Output CAM_DEVICE_LIST. */
#define IOCTL_CAM_GET_DEVICE_LIST QUORVEX_BUFFERED(0x833u)

/* Output CAM_IDENTITY. */
#define IOCTL_CAM_GET_IDENTITY QUORVEX_BUFFERED(0x834u)

/* No input, no output. */
#define IOCTL_CAM_COMMAND_B8 QUORVEX_BUFFERED(0x835u)

/* Input CAM_B9_WRITE. */
#define IOCTL_CAM_WRITE_B9 QUORVEX_BUFFERED(0x836u)

/* Input a 16-bit register number (low 8 bits used), output the 32-bit value. */
#define IOCTL_CAM_READ_REGISTER_EX QUORVEX_BUFFERED(0x837u)

/* Input a 16-bit value, 2 unused bytes, then up to 65,535 data bytes; a shorter
 * input (under 4 bytes) or a longer one gets STATUS_INVALID_PARAMETER. */
#define IOCTL_CAM_WRITE_BLOCK QUORVEX_BUFFERED(0x838u)

/* Input a 16-bit value; fills the whole output, at most 65,535 bytes (longer:
 * STATUS_INVALID_PARAMETER). */
#define IOCTL_CAM_READ_BLOCK QUORVEX_BUFFERED(0x839u)

/* Input a 16-bit value, output 4 bytes. */
#define IOCTL_CAM_READ_BB QUORVEX_BUFFERED(0x83Au)

/* Input 4 bytes. Echoes them when the output holds 4 bytes. */
#define IOCTL_CAM_WRITE_BC_0 QUORVEX_BUFFERED(0x83Bu)

/* No input, no output. */
#define IOCTL_CAM_WRITE_BC_1 QUORVEX_BUFFERED(0x83Cu)

/* No input, no output: cancels what is outstanding on the image pipe. */
#define IOCTL_CAM_ABORT_PIPE QUORVEX_BUFFERED(0x83Du)

/* Input 2 bytes. Echoes them, and two zeros, when the output holds 4 bytes. */
#define IOCTL_CAM_WRITE_BD QUORVEX_BUFFERED(0x83Eu)

/* Input a 32-bit value, no output. */
#define IOCTL_CAM_WRITE_BE QUORVEX_BUFFERED(0x845u)

/* Output a frame, read without a trigger. */
#define IOCTL_CAM_READ_FRAME_EX QUORVEX_OUT_DIRECT(0x846u)

/* Input a 32-bit value, no output. */
#define IOCTL_CAM_WRITE_BF QUORVEX_BUFFERED(0x847u)

/* Streaming. Input CAM_STREAM_START_PARAMS; shorter: STATUS_INVALID_PARAMETER. */
#define IOCTL_CAM_STREAM_START QUORVEX_BUFFERED(0x848u)

/* No input, no output. */
#define IOCTL_CAM_STREAM_STOP QUORVEX_BUFFERED(0x849u)

/* Output CAM_STREAM_FRAME_INFO; shorter: STATUS_INVALID_PARAMETER. */
#define IOCTL_CAM_STREAM_GET_FRAME QUORVEX_BUFFERED(0x84Au)

/* Input CAM_STREAM_FRAME_RELEASE with Length 32; otherwise
 * STATUS_INVALID_PARAMETER. */
#define IOCTL_CAM_STREAM_RELEASE_FRAME QUORVEX_BUFFERED(0x84Bu)

/* Output 8 bytes. */
#define IOCTL_CAM_READ_C0 QUORVEX_BUFFERED(0x84Cu)

/* Output CAM_STREAM_FRAME_HEADER followed by the frame. */
#define IOCTL_CAM_STREAM_READ_FRAME QUORVEX_OUT_DIRECT(0x84Du)

/* Output a frame, triggered. */
#define IOCTL_CAM_READ_FRAME QUORVEX_OUT_DIRECT(0x864u)

/* Output a 32-bit value. */
#define IOCTL_CAM_GET_GLOBAL_GAIN QUORVEX_BUFFERED(0x865u)
#define IOCTL_CAM_GET_EXPOSURE QUORVEX_BUFFERED(0x866u)
#define IOCTL_CAM_GET_MODEL QUORVEX_BUFFERED(0x867u)

/* Output CAM_RESOLUTION. */
#define IOCTL_CAM_GET_RESOLUTION QUORVEX_BUFFERED(0x868u)

/* Input a register number (1 byte), output the 32-bit value. */
#define IOCTL_CAM_READ_REGISTER QUORVEX_BUFFERED(0x869u)

/* Output a 32-bit value. Each code reads the register it names; note that the get
 * codes of registers 0x2C and 0x2D come in the other order than their set codes. */
#define IOCTL_CAM_GET_GAIN_2B QUORVEX_BUFFERED(0x86Au)
#define IOCTL_CAM_GET_GAIN_2E QUORVEX_BUFFERED(0x86Bu)
#define IOCTL_CAM_GET_GAIN_2D QUORVEX_BUFFERED(0x86Cu)
#define IOCTL_CAM_GET_GAIN_2C QUORVEX_BUFFERED(0x86Du)

/* Kept for compatibility: success, no action. */
#define IOCTL_CAM_NOOP_86E QUORVEX_BUFFERED(0x86Eu)

/* Output a 32-bit value. GET_OFFSET_60_61 reads the same register as GET_OFFSET_60. */
#define IOCTL_CAM_GET_OFFSET_60_61 QUORVEX_BUFFERED(0x86Fu)
#define IOCTL_CAM_GET_OFFSET_60 QUORVEX_BUFFERED(0x870u)
#define IOCTL_CAM_GET_OFFSET_61 QUORVEX_BUFFERED(0x871u)
#define IOCTL_CAM_GET_OFFSET_64 QUORVEX_BUFFERED(0x872u)
#define IOCTL_CAM_GET_OFFSET_63 QUORVEX_BUFFERED(0x873u)

/* Input a 32-bit mode, 0 to 3. */
#define IOCTL_CAM_SET_CAPTURE_MODE QUORVEX_BUFFERED(0x874u)

/* Input a 32-bit command, 1 to 3. */
#define IOCTL_CAM_SENSOR_COMMAND QUORVEX_BUFFERED(0x875u)

/* Kept for compatibility: success, no action. */
#define IOCTL_CAM_NOOP_876 QUORVEX_BUFFERED(0x876u)
#define IOCTL_CAM_NOOP_877 QUORVEX_BUFFERED(0x877u)

/* Every code, in ascending order, for tables and sweeps: X(name) once per code. */
#define QUORVEX_CONTROL_CODES(X)    \
  X(IOCTL_CAM_TRIGGER)              \
  X(IOCTL_CAM_SET_EXPOSURE)         \
  X(IOCTL_CAM_SET_GLOBAL_GAIN)      \
  X(IOCTL_CAM_NOOP_805)             \
  X(IOCTL_CAM_SET_REG05)            \
  X(IOCTL_CAM_SET_RESOLUTION)       \
  X(IOCTL_CAM_WRITE_REGISTER)       \
  X(IOCTL_CAM_SET_GAIN_2B)          \
  X(IOCTL_CAM_SET_GAIN_2E)          \
  X(IOCTL_CAM_SET_GAIN_2C)          \
  X(IOCTL_CAM_SET_GAIN_2D)          \
  X(IOCTL_CAM_SET_OFFSET_60_61)     \
  X(IOCTL_CAM_SET_OFFSET_63)        \
  X(IOCTL_CAM_SET_OFFSET_64)        \
  X(IOCTL_CAM_SET_OFFSET_60)        \
  X(IOCTL_CAM_SET_OFFSET_61)        \
  X(IOCTL_CAM_SET_REG62_ON)         \
  X(IOCTL_CAM_SET_REG62_OFF)        \
  X(IOCTL_CAM_SET_REG20_BITS)       \
  X(IOCTL_CAM_NOOP_815)             \
  X(IOCTL_CAM_NOOP_81B)             \
  X(IOCTL_CAM_NOOP_81C)             \
  X(IOCTL_CAM_NOOP_81D)             \
  X(IOCTL_CAM_NOOP_81E)             \
  X(IOCTL_CAM_NOOP_81F)             \
  X(IOCTL_CAM_NOOP_820)             \
  X(IOCTL_CAM_COMMAND_B4)           \
  X(IOCTL_CAM_NOOP_824)             \
  X(IOCTL_CAM_GET_LAST_STATUS)      \
  X(IOCTL_CAM_GET_DEVICE_LIST)      \
  X(IOCTL_CAM_GET_IDENTITY)         \
  X(IOCTL_CAM_COMMAND_B8)           \
  X(IOCTL_CAM_WRITE_B9)             \
  X(IOCTL_CAM_READ_REGISTER_EX)     \
  X(IOCTL_CAM_WRITE_BLOCK)          \
  X(IOCTL_CAM_READ_BLOCK)           \
  X(IOCTL_CAM_READ_BB)              \
  X(IOCTL_CAM_WRITE_BC_0)           \
  X(IOCTL_CAM_WRITE_BC_1)           \
  X(IOCTL_CAM_ABORT_PIPE)           \
  X(IOCTL_CAM_WRITE_BD)             \
  X(IOCTL_CAM_WRITE_BE)             \
  X(IOCTL_CAM_READ_FRAME_EX)        \
  X(IOCTL_CAM_WRITE_BF)             \
  X(IOCTL_CAM_STREAM_START)         \
  X(IOCTL_CAM_STREAM_STOP)          \
  X(IOCTL_CAM_STREAM_GET_FRAME)     \
  X(IOCTL_CAM_STREAM_RELEASE_FRAME) \
  X(IOCTL_CAM_READ_C0)              \
  X(IOCTL_CAM_STREAM_READ_FRAME)    \
  X(IOCTL_CAM_READ_FRAME)           \
  X(IOCTL_CAM_GET_GLOBAL_GAIN)      \
  X(IOCTL_CAM_GET_EXPOSURE)         \
  X(IOCTL_CAM_GET_MODEL)            \
  X(IOCTL_CAM_GET_RESOLUTION)       \
  X(IOCTL_CAM_READ_REGISTER)        \
  X(IOCTL_CAM_GET_GAIN_2B)          \
  X(IOCTL_CAM_GET_GAIN_2E)          \
  X(IOCTL_CAM_GET_GAIN_2D)          \
  X(IOCTL_CAM_GET_GAIN_2C)          \
  X(IOCTL_CAM_NOOP_86E)             \
  X(IOCTL_CAM_GET_OFFSET_60_61)     \
  X(IOCTL_CAM_GET_OFFSET_60)        \
  X(IOCTL_CAM_GET_OFFSET_61)        \
  X(IOCTL_CAM_GET_OFFSET_64)        \
  X(IOCTL_CAM_GET_OFFSET_63)        \
  X(IOCTL_CAM_SET_CAPTURE_MODE)     \
  X(IOCTL_CAM_SENSOR_COMMAND)       \
  X(IOCTL_CAM_NOOP_876)             \
  X(IOCTL_CAM_NOOP_877)

#define QUORVEX_CONTROL_CODE_COUNT 70

#endif /* QUORVEX_IOCTL_H */
