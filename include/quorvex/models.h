/* Quorvex USB camera driver: what each product and each model is, in one table for
 * the driver, the client library and the simulated cameras. A product (USB product
 * ID) names its model, its pixel depth, how IOCTL_CAM_READ_FRAME reads its frames
 * and which gains it has; a model names its sensor, the image windows it accepts
 * and where each lies on the sensor, its exposure register, its gain code and what
 * its settings accept. The register codes of gains and offsets are here too.
 *
 * Self-contained: needs only <stdint.h> and <stddef.h>, builds as C11 or C++, and as
 * kernel code (no allocation, no library calls).
 */
#ifndef QUORVEX_MODELS_H
#define QUORVEX_MODELS_H

#include <stddef.h>
#include <stdint.h>

#include "records.h"

/* How IOCTL_CAM_READ_FRAME reads a product's frame. */
#define CAM_FRAME_TRIGGERED 0u /* a trigger, then the image pipe in chunks of 512 KiB */
#define CAM_FRAME_PLAIN 1u     /* one plain bulk transfer, no trigger */

/* The most one transfer on the image pipe carries (its MaximumTransferSize): the
 * whole of a plain read, one chunk of a triggered read. */
#define CAM_FRAME_TRANSFER_MAX 0x80000u

/* How a model turns gain steps into a gain register's value and back. */
#define CAM_GAIN_CODE_8431 1u /* 0; 1..25 + 7; 26..48 + 55 */
#define CAM_GAIN_CODE_1801 2u /* 1..120: steps * 256 + 8 */
#define CAM_GAIN_CODE_1621 3u /* 0; 1..25 + 7; 26..41 + 55; 42..161: (steps - 41) * 256 + 0x60 */

/* The offsets (model 0x1621) take 0 to 511; 256 is register value 0. */
#define CAM_OFFSET_MAX 511

/* One image window a model accepts, and the start row and column that centre it
 * on the sensor (registers 0x01 and 0x02). */
typedef struct _CAM_WINDOW {
  uint16_t Width;
  uint16_t Height;
  uint16_t StartRow;
  uint16_t StartColumn;
} CAM_WINDOW;

#define CAM_MAX_WINDOWS 5u

/* A capture mode's register writes (IOCTL_CAM_SET_CAPTURE_MODE): each sets
 * Register to Value, or, where Keep is not 0, to the capture register's value as
 * read (AND Keep) with Value's bits added. */
typedef struct _CAM_REGISTER_STEP {
  uint8_t Register;
  uint16_t Keep;
  uint16_t Value;
} CAM_REGISTER_STEP;

#define CAM_MAX_MODE_STEPS 3u
#define CAM_REGISTER_CAPTURE_MODE 0x1Eu

typedef struct _CAM_MODE_PROGRAM {
  uint8_t Count;
  CAM_REGISTER_STEP Steps[CAM_MAX_MODE_STEPS];
} CAM_MODE_PROGRAM;

typedef struct _CAM_MODEL {
  uint32_t ModelCode;
  uint16_t SensorWidth; /* the window at power-on is the whole sensor */
  uint16_t SensorHeight;
  uint8_t ExposureBits; /* 16: register 0x09; 32: upper half in 0x08, then lower half in 0x09 */
  uint8_t GainCode;     /* CAM_GAIN_CODE_* */
  int32_t GainLow;      /* the gain steps the code accepts */
  int32_t GainHigh;
  uint8_t Offsets;    /* the offset registers 0x60, 0x61, 0x63 and 0x64 */
  uint8_t Register62; /* register 0x62, on (1) or off (0) */
  /* Register 0x20's mode bits are added to those it holds, and a failed read of it
   * ends the request; otherwise they replace them, from 0 when the read fails. */
  uint8_t Reg20Merge;
  uint8_t SensorCommands;             /* sent to the camera; otherwise taken and dropped */
  uint8_t CaptureModes;               /* bit n: capture mode n is accepted */
  uint8_t CaptureReadsFirst;          /* the capture register is read before the mode is looked at */
  uint8_t CaptureReads;               /* the capture register is read, for the programs' Keep steps */
  CAM_MODE_PROGRAM CaptureProgram[4]; /* by mode */
  uint8_t WindowCount;
  CAM_WINDOW Windows[CAM_MAX_WINDOWS]; /* smallest first; the last is the sensor */
} CAM_MODEL;

typedef struct _CAM_PRODUCT {
  uint16_t ProductId;
  uint8_t BitsPerPixel;       /* 8: grey, 24: red, green, blue */
  uint8_t FrameRead;          /* CAM_FRAME_* */
  uint8_t ChannelGains;       /* the channel gains of registers 0x2B to 0x2E */
  uint8_t GlobalGainReadable; /* IOCTL_CAM_GET_GLOBAL_GAIN reads register 0x35 back */
  const CAM_MODEL* Model;
  const char* Description;
} CAM_PRODUCT;

/* clang-format off */
static const CAM_MODEL CamModels[] = {
    /* code, sensor, exposure bits, gain code and steps,
       offsets, register 0x62, register 0x20 merged, sensor commands,
       capture modes, capture register read first, read at all, the program of modes 0 to 3,
       windows: width, height, start row, start column */
    {CAM_MODEL_8431, 1280, 1024, 16, CAM_GAIN_CODE_8431, 0, 48,
     0, 0, 1, 1,
     0x0D, 1, 1,
     {{2, {{0x1E, 0xF8FF, 0x0000}, {0x77, 0, 0x0000}}},
      {0, {{0, 0, 0}}},
      {2, {{0x1E, 0xFFFF, 0x0700}, {0x79, 0, 0x9E02}}},
      {2, {{0x1E, 0xFFFF, 0x0700}, {0x79, 0, 0x9E02}}}},
     3, {{640, 480, 284, 340}, {1024, 768, 140, 148}, {1280, 1024, 12, 20}}},
    {CAM_MODEL_1801, 2592, 1944, 32, CAM_GAIN_CODE_1801, 1, 120,
     0, 0, 0, 0,
     0x0E, 0, 1,
     {{0, {{0, 0, 0}}},
      {1, {{0x1E, 0xFFFF, 0x0100}}},
      {1, {{0x1E, 0xFFFF, 0x0100}}},
      {1, {{0x1E, 0xFFFF, 0x0100}}}},
     1, {{2592, 1944, 54, 16}}},
    {CAM_MODEL_1621, 2048, 1536, 16, CAM_GAIN_CODE_1621, 0, 161,
     1, 1, 0, 1,
     0x0F, 0, 0,
     {{2, {{0x1E, 0, 0x8040}, {0x77, 0, 0x0000}}},
      {3, {{0x1E, 0, 0x8740}, {0x21, 0, 0x0003}, {0x79, 0, 0x9E02}}},
      {3, {{0x1E, 0, 0x8740}, {0x21, 0, 0x0003}, {0x79, 0, 0x9E02}}},
      {3, {{0x1E, 0, 0x8740}, {0x21, 0, 0x0003}, {0x79, 0, 0x9E02}}}},
     5, {{640, 480, 548, 736}, {1024, 768, 404, 544}, {1280, 1024, 276, 416}, {1600, 1200, 188, 256},
         {2048, 1536, 20, 32}}},
};
/* clang-format on */

#define CAM_MODEL_COUNT (sizeof(CamModels) / sizeof(CamModels[0]))

/* clang-format off */
static const CAM_PRODUCT CamProducts[] = {
    /* product, bits per pixel, frame read, channel gains, global gain read back, model */
    {0x1009,  8, CAM_FRAME_PLAIN,     0, 1, &CamModels[0],
     "1280x1024 sensor, 8 bits per pixel, frames by plain bulk read"},
    {0x100A,  8, CAM_FRAME_TRIGGERED, 0, 1, &CamModels[0],
     "1280x1024 sensor, 8 bits per pixel, triggered frames"},
    {0x100B, 24, CAM_FRAME_PLAIN,     1, 0, &CamModels[1],
     "2592x1944 sensor, 24 bits per pixel, frames by plain bulk read"},
    {0x100C, 24, CAM_FRAME_TRIGGERED, 1, 0, &CamModels[1],
     "2592x1944 sensor, 24 bits per pixel, triggered frames"},
    {0x100D,  8, CAM_FRAME_TRIGGERED, 0, 1, &CamModels[1],
     "2592x1944 sensor, 8 bits per pixel, triggered frames"},
    {0x100E, 24, CAM_FRAME_TRIGGERED, 1, 1, &CamModels[2],
     "2048x1536 sensor, 24 bits per pixel, triggered frames"},
    {0x100F, 24, CAM_FRAME_PLAIN,     1, 0, &CamModels[1],
     "2592x1944 sensor, 24 bits per pixel, frames by plain bulk read"},
};
/* clang-format on */

#define CAM_PRODUCT_COUNT (sizeof(CamProducts) / sizeof(CamProducts[0]))

/* The record of a product this driver serves, or NULL. */
static inline const CAM_PRODUCT* CamFindProduct(uint32_t ProductId) {
  size_t i;
  for (i = 0; i < CAM_PRODUCT_COUNT; i++) {
    if (CamProducts[i].ProductId == ProductId) return &CamProducts[i];
  }
  return NULL;
}

/* The window of exactly this size on the model, or NULL. */
static inline const CAM_WINDOW* CamFindWindow(const CAM_MODEL* Model, uint32_t Width, uint32_t Height) {
  uint32_t i;
  for (i = 0; i < Model->WindowCount; i++) {
    if (Model->Windows[i].Width == Width && Model->Windows[i].Height == Height) return &Model->Windows[i];
  }
  return NULL;
}

static inline int CamInSpan(int32_t Value, int32_t Low, int32_t High) {
  return Value >= Low && Value <= High;
}

/* The register value of `Steps` gain steps under the code; 0 when the code refuses
 * the value (and *Register is not written). */
static inline int CamEncodeGain(uint32_t GainCode, int32_t Steps, uint32_t* Register) {
  if (GainCode == CAM_GAIN_CODE_1801) {
    if (!CamInSpan(Steps, 1, 120)) return 0;
    *Register = (uint32_t)Steps * 256u + 0x08u;
  } else if (GainCode != CAM_GAIN_CODE_8431 && GainCode != CAM_GAIN_CODE_1621) {
    return 0;
  } else if (Steps == 0) {
    *Register = 0;
  } else if (CamInSpan(Steps, 1, 25)) {
    *Register = (uint32_t)(Steps + 7);
  } else if (CamInSpan(Steps, 26, GainCode == CAM_GAIN_CODE_8431 ? 48 : 41)) {
    *Register = (uint32_t)(Steps + 55);
  } else if (GainCode == CAM_GAIN_CODE_1621 && CamInSpan(Steps, 42, 161)) {
    *Register = (uint32_t)(Steps - 41) * 256u + 0x60u;
  } else {
    return 0;
  }
  return 1;
}

/* The gain steps a register value reads as under the code: values no step gives
 * read as 0, except under the 0x1801 code, which clamps into 1..120. */
static inline int32_t CamDecodeGain(uint32_t GainCode, uint32_t Register) {
  int32_t r = (int32_t)Register;
  if (GainCode == CAM_GAIN_CODE_1801) {
    int32_t steps = (int32_t)((Register >> 8) & 0x7Fu);
    return steps < 1 ? 1 : steps > 120 ? 120 : steps;
  }
  if (CamInSpan(r, 8, 32)) return r - 7;
  if (CamInSpan(r, 81, GainCode == CAM_GAIN_CODE_8431 ? 103 : 96)) return r - 55;
  if (GainCode == CAM_GAIN_CODE_1621 && CamInSpan(r, 0x0160, 0x7860)) return (r >> 8) + 41;
  return 0;
}

/* The register value of an offset: 0 to 255 with bit 8 set, 256 to 511 less 256;
 * anything above 511 writes 0 (only the low 16 bits reach the camera). */
static inline uint32_t CamEncodeOffset(int32_t Offset) {
  if (Offset < 256) return (uint32_t)Offset | 0x100u;
  if (Offset <= CAM_OFFSET_MAX) return (uint32_t)(Offset - 256);
  return 0;
}

static inline int32_t CamDecodeOffset(uint32_t Register) {
  return (Register & 0x100u) != 0 ? (int32_t)(Register & 0xFFu) : (int32_t)(Register + 256u);
}

#endif /* QUORVEX_MODELS_H */
