/* Quorvex USB camera driver: the records that device-control requests exchange.
 *
 * All fields are little-endian, at the offsets the assertions below pin down, so the
 * records read the same from C, C++, 32-bit and 64-bit code. Reserved bytes are zero
 * when the driver writes a record and are not read when it reads one.
 */
#ifndef QUORVEX_RECORDS_H
#define QUORVEX_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
#define QUORVEX_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define QUORVEX_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

#define QUORVEX_USB_VENDOR_ID 0x04B4u

/* Model codes, by USB product ID: 0x1009 and 0x100A; 0x100B, 0x100C, 0x100D and
 * 0x100F; 0x100E. */
#define CAM_MODEL_8431 0x8431u
#define CAM_MODEL_1801 0x1801u
#define CAM_MODEL_1621 0x1621u

/* Output of IOCTL_CAM_GET_IDENTITY. */
typedef struct _CAM_IDENTITY {
  uint32_t VendorId;
  uint32_t ProductId;
  uint32_t ModelCode;
} CAM_IDENTITY, *PCAM_IDENTITY;

/* Output of IOCTL_CAM_GET_RESOLUTION. */
typedef struct _CAM_RESOLUTION {
  uint32_t Width;
  uint32_t Height;
  uint32_t BitsPerPixel;
} CAM_RESOLUTION, *PCAM_RESOLUTION;

/* Input of IOCTL_CAM_SET_RESOLUTION: one of the window sizes the model accepts. */
typedef struct _CAM_WINDOW_SIZE {
  uint32_t Width;
  uint32_t Height;
} CAM_WINDOW_SIZE, *PCAM_WINDOW_SIZE;

/* Input of IOCTL_CAM_WRITE_REGISTER. */
typedef struct _CAM_REGISTER_WRITE {
  uint8_t Register;
  uint8_t Reserved[3];
  uint16_t Value;
} CAM_REGISTER_WRITE, *PCAM_REGISTER_WRITE;

/* Input of IOCTL_CAM_WRITE_B9: only the low 8 bits of the selector reach the camera. */
typedef struct _CAM_B9_WRITE {
  uint16_t Selector;
  uint16_t Data;
} CAM_B9_WRITE, *PCAM_B9_WRITE;

/* Output of IOCTL_CAM_GET_DEVICE_LIST: one entry per camera the driver runs, most
 * recently added first, each a zero-terminated name such as "Quorvex-0" (open it as
 * \\.\Quorvex-0); unused entries are all zero. */
#define CAM_DEVICE_LIST_ENTRIES 8
#define CAM_DEVICE_NAME_BYTES 16

typedef struct _CAM_DEVICE_NAME {
  char Name[CAM_DEVICE_NAME_BYTES];
} CAM_DEVICE_NAME, *PCAM_DEVICE_NAME;

typedef struct _CAM_DEVICE_LIST {
  CAM_DEVICE_NAME Entries[CAM_DEVICE_LIST_ENTRIES];
} CAM_DEVICE_LIST, *PCAM_DEVICE_LIST;

/* Input of IOCTL_CAM_STREAM_START. FrameSize is the number of bytes the camera
 * sends per frame; it is the only field the driver reads. */
typedef struct _CAM_STREAM_START_PARAMS {
  uint8_t Reserved0[36];
  int32_t FrameSize;
  uint8_t Reserved1[16];
} CAM_STREAM_START_PARAMS, *PCAM_STREAM_START_PARAMS;

/* Output of IOCTL_CAM_STREAM_GET_FRAME: where the oldest finished frame lies in the
 * address space of the process that started the stream. The frame stays there until
 * it is handed back with IOCTL_CAM_STREAM_RELEASE_FRAME. */
#define CAM_STREAM_FRAME_INFO_LENGTH 40u

typedef struct _CAM_STREAM_FRAME_INFO {
  uint32_t Length; /* 40 */
  uint32_t Reserved0;
  uint64_t UserAddress;
  uint32_t Size;
  uint8_t Reserved1[20];
} CAM_STREAM_FRAME_INFO, *PCAM_STREAM_FRAME_INFO;

/* Input of IOCTL_CAM_STREAM_RELEASE_FRAME. */
#define CAM_STREAM_FRAME_RELEASE_LENGTH 32u

typedef struct _CAM_STREAM_FRAME_RELEASE {
  uint32_t Length; /* must be 32 */
  uint32_t Reserved0;
  uint64_t UserAddress; /* as IOCTL_CAM_STREAM_GET_FRAME returned it */
  uint8_t Reserved1[16];
} CAM_STREAM_FRAME_RELEASE, *PCAM_STREAM_FRAME_RELEASE;

/* First bytes of the output of IOCTL_CAM_STREAM_READ_FRAME; the frame's Size bytes
 * follow at offset 24. */
typedef struct _CAM_STREAM_FRAME_HEADER {
  uint32_t Reserved0;
  uint32_t Size;
  uint8_t Reserved1[16];
} CAM_STREAM_FRAME_HEADER, *PCAM_STREAM_FRAME_HEADER;

QUORVEX_STATIC_ASSERT(sizeof(CAM_IDENTITY) == 12, "identity record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_IDENTITY, ModelCode) == 8, "identity record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_RESOLUTION) == 12, "resolution record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_RESOLUTION, BitsPerPixel) == 8, "resolution record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_WINDOW_SIZE) == 8, "window size record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_REGISTER_WRITE) == 6, "register write record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_REGISTER_WRITE, Value) == 4, "register write record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_B9_WRITE) == 4, "B9 write record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_DEVICE_LIST) == 128, "device list");
QUORVEX_STATIC_ASSERT(sizeof(CAM_STREAM_START_PARAMS) == 56, "stream start record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_STREAM_START_PARAMS, FrameSize) == 36, "stream start record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_STREAM_FRAME_INFO) == 40, "frame information record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_STREAM_FRAME_INFO, UserAddress) == 8, "frame information record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_STREAM_FRAME_INFO, Size) == 16, "frame information record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_STREAM_FRAME_RELEASE) == 32, "frame release record");
QUORVEX_STATIC_ASSERT(offsetof(CAM_STREAM_FRAME_RELEASE, UserAddress) == 8, "frame release record");
QUORVEX_STATIC_ASSERT(sizeof(CAM_STREAM_FRAME_HEADER) == 24, "frame header");
QUORVEX_STATIC_ASSERT(offsetof(CAM_STREAM_FRAME_HEADER, Size) == 4, "frame header");

#endif /* QUORVEX_RECORDS_H */
