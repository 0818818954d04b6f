// Window, readout and capture-mode settings: the image window each model accepts,
// the image size read back, and the fixed register patterns of the modes.
#include "control.h"

#define CAM_REGISTER_START_ROW 0x01
#define CAM_REGISTER_START_COLUMN 0x02
#define CAM_REGISTER_HEIGHT 0x03
#define CAM_REGISTER_WIDTH 0x04
#define CAM_REGISTER_05 0x05
#define CAM_REGISTER_SENSOR_0B 0x0B
#define CAM_REGISTER_CAPTURE 0x1E
#define CAM_REGISTER_20 0x20
#define CAM_REGISTER_21 0x21
#define CAM_REGISTER_77 0x77
#define CAM_REGISTER_78 0x78
#define CAM_REGISTER_79 0x79
#define CAM_REG20_MODE_BITS 0xC000
#define CAM_CAPTURE_8431_BITS 0x0700
#define CAM_CAPTURE_1801_BIT 0x0100

typedef struct _CAM_WINDOW {
  ULONG ModelCode;
  ULONG Width;
  ULONG Height;
  USHORT StartRow;
  USHORT StartColumn;
} CAM_WINDOW;

// The start values centre the window on each sensor; model 0x1801 has one size.
static const CAM_WINDOW CamWindows[] = {
    {CAM_MODEL_8431, 1280, 1024, 12, 20},   {CAM_MODEL_8431, 1024, 768, 140, 148},
    {CAM_MODEL_8431, 640, 480, 284, 340},   {CAM_MODEL_1801, 2592, 1944, 54, 16},
    {CAM_MODEL_1621, 1280, 1024, 276, 416}, {CAM_MODEL_1621, 1024, 768, 404, 544},
    {CAM_MODEL_1621, 640, 480, 548, 736},   {CAM_MODEL_1621, 2048, 1536, 20, 32},
    {CAM_MODEL_1621, 1600, 1200, 188, 256},
};

static const CAM_WINDOW* CamFindWindow(ULONG ModelCode, ULONG Width, ULONG Height) {
  for (ULONG i = 0; i < CAM_COUNT_OF(CamWindows); i++) {
    const CAM_WINDOW* window = &CamWindows[i];
    if (window->ModelCode == ModelCode && window->Width == Width && window->Height == Height) return window;
  }
  return NULL;
}

// PASSIVE_LEVEL, no lock; frees its URB. Sizes the model does not accept send
// nothing; the four writes go out whatever became of the ones before.
NTSTATUS CamSetResolution(const CAM_CONTROL_CALL* Call) {
  ULONG width = CamGetU32(Call->Buffer + FIELD_OFFSET(CAM_WINDOW_SIZE, Width));
  ULONG height = CamGetU32(Call->Buffer + FIELD_OFFSET(CAM_WINDOW_SIZE, Height));
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  const CAM_WINDOW* window = CamFindWindow(CamModelCode(Call->Extension), width, height);
  if (window != NULL) {
    const CAM_REGISTER_VALUE writes[] = {
        {CAM_REGISTER_START_ROW, window->StartRow},
        {CAM_REGISTER_START_COLUMN, window->StartColumn},
        {CAM_REGISTER_HEIGHT, (USHORT)(height - 1)},
        {CAM_REGISTER_WIDTH, (USHORT)(width - 1)},
    };
    status = CamWriteRegisterSequence(Call->DeviceObject, urb, writes, CAM_COUNT_OF(writes));
  }
  ExFreePool(urb);
  return status;
}

static ULONG CamBitsPerPixel(PCAM_DEVICE_EXTENSION Extension) {
  if (CamModelCode(Extension) == CAM_MODEL_8431) return 8;
  if (CamModelCode(Extension) == CAM_MODEL_1801 && CamProductId(Extension) == CAM_PRODUCT_1801_MONO) return 8;
  return 24;
}

// PASSIVE_LEVEL, no lock; frees its URB. Both size registers are read whatever the
// first read gave; only the second read decides the outcome, a failed first read
// counting as 0.
NTSTATUS CamGetResolution(const CAM_CONTROL_CALL* Call) {
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (CamKnownModel(CamModelCode(Call->Extension))) {
    ULONG height;
    ULONG width;
    CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_HEIGHT, &height);
    status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_WIDTH, &width);
    if (NT_SUCCESS(status)) {
      CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_RESOLUTION, Width), width + 1);
      CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_RESOLUTION, Height), height + 1);
      CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_RESOLUTION, BitsPerPixel), CamBitsPerPixel(Call->Extension));
      Call->Irp->IoStatus.Information = sizeof(CAM_RESOLUTION);
    }
  }
  ExFreePool(urb);
  return status;
}

// PASSIVE_LEVEL, no lock; frees its URB. A one-byte write of register 0x05, on every
// model. The selector is tested before anything is allocated.
NTSTATUS CamSetReg05(const CAM_CONTROL_CALL* Call) {
  UCHAR data;
  if (Call->Buffer[0] == 9) {
    data = 0x02;
  } else if (Call->Buffer[0] == 18) {
    data = 0x00;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  CamBuildVendorRequest(urb, CAM_REQUEST_REGISTER, FALSE, CAM_REGISTER_05, &data, sizeof(data));
  NTSTATUS status = CamSubmitUrbSync(Call->DeviceObject, urb);
  if (NT_SUCCESS(status)) CamReportEcho(Call, urb->UrbControlVendorClassRequest.TransferBufferLength);
  ExFreePool(urb);
  return status;
}

// The new value of register 0x20 for mode 0 to 3 (bits 14 and 15). Model 0x8431
// keeps the other mode bit for modes 1 and 2; the others clear both first.
static ULONG CamReg20Value(ULONG ModelCode, ULONG Current, ULONG Mode) {
  static const ULONG bits[] = {0x0000, 0x4000, 0x8000, 0xC000};
  if (ModelCode == CAM_MODEL_8431 && Mode != 0) return Current | bits[Mode];
  return (Current & ~(ULONG)CAM_REG20_MODE_BITS) | bits[Mode];
}

// PASSIVE_LEVEL, no lock; frees its URB. The register is read before the mode is
// looked at. Model 0x8431 stops on a failed read; the others go on from 0. Not atomic
// against another request changing the register in between.
NTSTATUS CamSetReg20Bits(const CAM_CONTROL_CALL* Call) {
  ULONG mode = CamGetU32(Call->Buffer);
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  ULONG model = CamModelCode(Call->Extension);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (CamKnownModel(model)) {
    ULONG current;
    status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_20, &current);
    if (NT_SUCCESS(status) || model != CAM_MODEL_8431) {
      status = STATUS_INVALID_PARAMETER;
      if (mode <= 3) {
        status =
            CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_20, CamReg20Value(model, current, mode));
      }
    }
  }
  ExFreePool(urb);
  return status;
}

// Model 0x8431 reads the capture register before it looks at the mode; modes 2 and
// 3 are one and the same, mode 1 is refused.
static NTSTATUS CamSetCaptureMode8431(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Mode) {
  ULONG current;
  NTSTATUS status = CamReadRegister(DeviceObject, Urb, CAM_REGISTER_CAPTURE, &current);
  if (!NT_SUCCESS(status)) return status;
  if (Mode == 2 || Mode == 3) {
    const CAM_REGISTER_VALUE writes[] = {
        {CAM_REGISTER_CAPTURE, (USHORT)(current | CAM_CAPTURE_8431_BITS)},
        {CAM_REGISTER_79, 0x9E02},
    };
    return CamWriteRegisterSequence(DeviceObject, Urb, writes, CAM_COUNT_OF(writes));
  }
  if (Mode == 0) {
    const CAM_REGISTER_VALUE writes[] = {
        {CAM_REGISTER_CAPTURE, (USHORT)(current & ~(ULONG)CAM_CAPTURE_8431_BITS)},
        {CAM_REGISTER_77, 0},
    };
    return CamWriteRegisterSequence(DeviceObject, Urb, writes, CAM_COUNT_OF(writes));
  }
  return STATUS_INVALID_PARAMETER;
}

static NTSTATUS CamSetCaptureMode1801(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Mode) {
  if (Mode < 1 || Mode > 3) return STATUS_INVALID_PARAMETER;
  ULONG current;
  NTSTATUS status = CamReadRegister(DeviceObject, Urb, CAM_REGISTER_CAPTURE, &current);
  if (!NT_SUCCESS(status)) return status;
  return CamWriteRegister(DeviceObject, Urb, CAM_REGISTER_CAPTURE, current | CAM_CAPTURE_1801_BIT);
}

static NTSTATUS CamSetCaptureMode1621(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Mode) {
  static const CAM_REGISTER_VALUE triggered[] = {
      {CAM_REGISTER_CAPTURE, 0x8740}, {CAM_REGISTER_21, 3}, {CAM_REGISTER_79, 0x9E02}};
  static const CAM_REGISTER_VALUE continuous[] = {{CAM_REGISTER_CAPTURE, 0x8040}, {CAM_REGISTER_77, 0}};
  if (Mode == 0) return CamWriteRegisterSequence(DeviceObject, Urb, continuous, CAM_COUNT_OF(continuous));
  if (Mode <= 3) return CamWriteRegisterSequence(DeviceObject, Urb, triggered, CAM_COUNT_OF(triggered));
  return STATUS_INVALID_PARAMETER;
}

// PASSIVE_LEVEL, no lock; frees its URB. Writes are sent whatever became of the ones
// before; the status is that of the last.
NTSTATUS CamSetCaptureMode(const CAM_CONTROL_CALL* Call) {
  ULONG mode = CamGetU32(Call->Buffer);
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status;
  switch (CamModelCode(Call->Extension)) {
    case CAM_MODEL_8431:
      status = CamSetCaptureMode8431(Call->DeviceObject, urb, mode);
      break;
    case CAM_MODEL_1801:
      status = CamSetCaptureMode1801(Call->DeviceObject, urb, mode);
      break;
    case CAM_MODEL_1621:
      status = CamSetCaptureMode1621(Call->DeviceObject, urb, mode);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  ExFreePool(urb);
  return status;
}

// PASSIVE_LEVEL, no lock; frees its URB. Model 0x1801 has none of these commands and
// accepts every one without a transfer.
NTSTATUS CamSensorCommand(const CAM_CONTROL_CALL* Call) {
  static const CAM_REGISTER_VALUE commands[] = {
      {CAM_REGISTER_78, 0x9C57}, {CAM_REGISTER_21, 1}, {CAM_REGISTER_SENSOR_0B, 1}};
  ULONG command = CamGetU32(Call->Buffer);
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  ULONG model = CamModelCode(Call->Extension);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (model == CAM_MODEL_1801) {
    status = STATUS_SUCCESS;
  } else if ((model == CAM_MODEL_8431 || model == CAM_MODEL_1621) && command >= 1 && command <= 3) {
    status = CamWriteRegisterSequence(Call->DeviceObject, urb, &commands[command - 1], 1);
  }
  ExFreePool(urb);
  return status;
}
