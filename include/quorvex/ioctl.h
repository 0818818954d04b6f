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

/* Camera commands and settings. "in" is the input, "out" the output and the byte
 * count reported on success. Set requests compare their 32-bit input as signed. */
#define IOCTL_CAM_TRIGGER QUORVEX_BUFFERED(0x801u)          /* in -, out - */
#define IOCTL_CAM_SET_EXPOSURE QUORVEX_BUFFERED(0x802u)     /* in u32, out - */
#define IOCTL_CAM_SET_GLOBAL_GAIN QUORVEX_BUFFERED(0x803u)  /* in s32, out - */
#define IOCTL_CAM_NOOP_805 QUORVEX_BUFFERED(0x805u)         /* no action */
#define IOCTL_CAM_SET_REG05 QUORVEX_BUFFERED(0x806u)        /* in u8 (9 or 18), out 1 byte echoed */
#define IOCTL_CAM_SET_RESOLUTION QUORVEX_BUFFERED(0x807u)   /* in CAM_WINDOW_SIZE, out - */
#define IOCTL_CAM_WRITE_REGISTER QUORVEX_BUFFERED(0x808u)   /* in CAM_REGISTER_WRITE, out 2 bytes echoed */
#define IOCTL_CAM_SET_GAIN_2B QUORVEX_BUFFERED(0x809u)      /* in s32, out - */
#define IOCTL_CAM_SET_GAIN_2E QUORVEX_BUFFERED(0x80Au)      /* in s32, out - */
#define IOCTL_CAM_SET_GAIN_2C QUORVEX_BUFFERED(0x80Bu)      /* in s32, out - */
#define IOCTL_CAM_SET_GAIN_2D QUORVEX_BUFFERED(0x80Cu)      /* in s32, out - */
#define IOCTL_CAM_SET_OFFSET_60_61 QUORVEX_BUFFERED(0x80Du) /* in s32, out - */
#define IOCTL_CAM_SET_OFFSET_63 QUORVEX_BUFFERED(0x80Eu)    /* in s32, out - */
#define IOCTL_CAM_SET_OFFSET_64 QUORVEX_BUFFERED(0x80Fu)    /* in s32, out - */
#define IOCTL_CAM_SET_OFFSET_60 QUORVEX_BUFFERED(0x810u)    /* in s32, out - */
#define IOCTL_CAM_SET_OFFSET_61 QUORVEX_BUFFERED(0x811u)    /* in s32, out - */
#define IOCTL_CAM_SET_REG62_ON QUORVEX_BUFFERED(0x812u)     /* in -, out - */
#define IOCTL_CAM_SET_REG62_OFF QUORVEX_BUFFERED(0x813u)    /* in -, out - */
#define IOCTL_CAM_SET_REG20_BITS QUORVEX_BUFFERED(0x814u)   /* in u32 (0 to 3), out - */
#define IOCTL_CAM_NOOP_815 QUORVEX_BUFFERED(0x815u)         /* no action */
#define IOCTL_CAM_NOOP_81B QUORVEX_BUFFERED(0x81Bu)         /* no action */
#define IOCTL_CAM_NOOP_81C QUORVEX_BUFFERED(0x81Cu)         /* no action */
#define IOCTL_CAM_NOOP_81D QUORVEX_BUFFERED(0x81Du)         /* no action */
#define IOCTL_CAM_NOOP_81E QUORVEX_BUFFERED(0x81Eu)         /* no action */
#define IOCTL_CAM_NOOP_81F QUORVEX_BUFFERED(0x81Fu)         /* no action */
#define IOCTL_CAM_NOOP_820 QUORVEX_BUFFERED(0x820u)         /* no action */
#define IOCTL_CAM_COMMAND_B4 QUORVEX_OUT_DIRECT(0x823u)     /* in -, out - */
#define IOCTL_CAM_NOOP_824 QUORVEX_BUFFERED(0x824u)         /* no action */
#define IOCTL_CAM_GET_LAST_STATUS \
  QUORVEX_BUFFERED(0x832u) /* out exactly 4: u32 USBD status, else STATUS_UNSUCCESSFUL */
#define IOCTL_CAM_GET_DEVICE_LIST QUORVEX_BUFFERED(0x833u)  /* out CAM_DEVICE_LIST */
#define IOCTL_CAM_GET_IDENTITY QUORVEX_BUFFERED(0x834u)     /* out CAM_IDENTITY */
#define IOCTL_CAM_COMMAND_B8 QUORVEX_BUFFERED(0x835u)       /* in -, out - */
#define IOCTL_CAM_WRITE_B9 QUORVEX_BUFFERED(0x836u)         /* in u16 selector, u16 data, out - */
#define IOCTL_CAM_READ_REGISTER_EX QUORVEX_BUFFERED(0x837u) /* in u16 register, out u32 value */
#define IOCTL_CAM_WRITE_BLOCK \
  QUORVEX_BUFFERED(0x838u) /* in u16 value, 2 unused, data (at most 65535 bytes), out - */
#define IOCTL_CAM_READ_BLOCK \
  QUORVEX_BUFFERED(0x839u) /* in u16 value, out the whole buffer (at most 65535 bytes) */
#define IOCTL_CAM_READ_BB QUORVEX_BUFFERED(0x83Au)         /* in u16 value, out u32 */
#define IOCTL_CAM_WRITE_BC_0 QUORVEX_BUFFERED(0x83Bu)      /* in u32, out 4 bytes echoed */
#define IOCTL_CAM_WRITE_BC_1 QUORVEX_BUFFERED(0x83Cu)      /* in -, out - */
#define IOCTL_CAM_ABORT_PIPE QUORVEX_BUFFERED(0x83Du)      /* in -, out - */
#define IOCTL_CAM_WRITE_BD QUORVEX_BUFFERED(0x83Eu)        /* in u16, out 4 bytes echoed */
#define IOCTL_CAM_WRITE_BE QUORVEX_BUFFERED(0x845u)        /* in u32, out - */
#define IOCTL_CAM_READ_FRAME_EX QUORVEX_OUT_DIRECT(0x846u) /* out a frame, without trigger */
#define IOCTL_CAM_WRITE_BF QUORVEX_BUFFERED(0x847u)        /* in u32, out - */
#define IOCTL_CAM_STREAM_START QUORVEX_BUFFERED(0x848u) /* in CAM_STREAM_START_PARAMS (at least 56 bytes) */
#define IOCTL_CAM_STREAM_STOP QUORVEX_BUFFERED(0x849u)  /* in -, out - */
#define IOCTL_CAM_STREAM_GET_FRAME \
  QUORVEX_BUFFERED(0x84Au) /* out CAM_STREAM_FRAME_INFO (at least 40 bytes) */
#define IOCTL_CAM_STREAM_RELEASE_FRAME QUORVEX_BUFFERED(0x84Bu) /* in CAM_STREAM_FRAME_RELEASE (Length 32) \
                                                                 */
#define IOCTL_CAM_READ_C0 QUORVEX_BUFFERED(0x84Cu)              /* out 8 bytes */
#define IOCTL_CAM_STREAM_READ_FRAME QUORVEX_OUT_DIRECT(0x84Du)  /* out CAM_STREAM_FRAME_HEADER and the frame \
                                                                 */
#define IOCTL_CAM_READ_FRAME QUORVEX_OUT_DIRECT(0x864u)         /* out a frame, triggered */
#define IOCTL_CAM_GET_GLOBAL_GAIN QUORVEX_BUFFERED(0x865u)      /* out s32 */
#define IOCTL_CAM_GET_EXPOSURE QUORVEX_BUFFERED(0x866u)         /* out u32 */
#define IOCTL_CAM_GET_MODEL QUORVEX_BUFFERED(0x867u)            /* out u32 model code */
#define IOCTL_CAM_GET_RESOLUTION QUORVEX_BUFFERED(0x868u)       /* out CAM_RESOLUTION */
#define IOCTL_CAM_READ_REGISTER QUORVEX_BUFFERED(0x869u)        /* in u8 register, out u32 value */
#define IOCTL_CAM_GET_GAIN_2B QUORVEX_BUFFERED(0x86Au)          /* out s32 */
#define IOCTL_CAM_GET_GAIN_2E QUORVEX_BUFFERED(0x86Bu)          /* out s32 */
#define IOCTL_CAM_GET_GAIN_2D QUORVEX_BUFFERED(0x86Cu)          /* out s32 (pairs with SET_GAIN_2C's code) */
#define IOCTL_CAM_GET_GAIN_2C QUORVEX_BUFFERED(0x86Du)          /* out s32 (pairs with SET_GAIN_2D's code) */
#define IOCTL_CAM_NOOP_86E QUORVEX_BUFFERED(0x86Eu)             /* no action */
#define IOCTL_CAM_GET_OFFSET_60_61 QUORVEX_BUFFERED(0x86Fu)     /* out s32, register 0x60 */
#define IOCTL_CAM_GET_OFFSET_60 QUORVEX_BUFFERED(0x870u)        /* out s32 */
#define IOCTL_CAM_GET_OFFSET_61 QUORVEX_BUFFERED(0x871u)        /* out s32 */
#define IOCTL_CAM_GET_OFFSET_64 QUORVEX_BUFFERED(0x872u)        /* out s32 */
#define IOCTL_CAM_GET_OFFSET_63 QUORVEX_BUFFERED(0x873u)        /* out s32 */
#define IOCTL_CAM_SET_CAPTURE_MODE QUORVEX_BUFFERED(0x874u)     /* in u32 (0 to 3), out - */
#define IOCTL_CAM_SENSOR_COMMAND QUORVEX_BUFFERED(0x875u)       /* in u32 (1 to 3), out - */
#define IOCTL_CAM_NOOP_876 QUORVEX_BUFFERED(0x876u)             /* no action */
#define IOCTL_CAM_NOOP_877 QUORVEX_BUFFERED(0x877u)             /* no action */

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
