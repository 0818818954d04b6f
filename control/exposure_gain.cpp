// Exposure, gain and offset settings. Each model stores these values in its own
// register format; the codes below translate between the application's numbers
// and the 16-bit register values.
#include "control.h"

#define CAM_REGISTER_EXPOSURE_HIGH 0x08
#define CAM_REGISTER_EXPOSURE_LOW 0x09
#define CAM_REGISTER_GLOBAL_GAIN 0x35
#define CAM_REGISTER_OFFSET_60 0x60
#define CAM_REGISTER_OFFSET_61 0x61
#define CAM_REGISTER_OFFSET_63 0x63
#define CAM_REGISTER_OFFSET_64 0x64
// The offset pair pins registers 0x63 and 0x64 to the code of offset 293.
#define CAM_OFFSET_PAIR_FIXED 0x25

typedef enum _CAM_VALUE_CODE {
  CamCodeRefused,
  CamCodeGain1621,
  CamCodeGain8431,
  CamCodeGain1801,
  CamCodeOffset1621,
} CAM_VALUE_CODE;

static BOOLEAN CamInRange(LONG Value, LONG Low, LONG High) { return Value >= Low && Value <= High; }

static BOOLEAN CamEncodeGain1621(LONG Gain, PULONG Register) {
  if (Gain == 0) {
    *Register = 0;
  } else if (CamInRange(Gain, 1, 25)) {
    *Register = (ULONG)(Gain + 7);
  } else if (CamInRange(Gain, 26, 41)) {
    *Register = (ULONG)(Gain + 55);
  } else if (CamInRange(Gain, 42, 161)) {
    *Register = (ULONG)(Gain - 41) * 256 + 0x60;
  } else {
    return FALSE;
  }
  return TRUE;
}

static BOOLEAN CamEncodeGain8431(LONG Gain, PULONG Register) {
  if (Gain == 0) {
    *Register = 0;
  } else if (CamInRange(Gain, 1, 25)) {
    *Register = (ULONG)(Gain + 7);
  } else if (CamInRange(Gain, 26, 48)) {
    *Register = (ULONG)(Gain + 55);
  } else {
    return FALSE;
  }
  return TRUE;
}

// Offsets 0 to 511 map one to one onto register values 0x000 to 0x1FF, with 256
// meaning 0; the low 16 bits of the result are sent.
static ULONG CamEncodeOffset(LONG Offset) {
  if (Offset < 256) return (ULONG)Offset | 0x100;
  if (Offset <= 511) return (ULONG)(Offset - 256);
  return 0;
}

// Returns FALSE for a value the code refuses.
static BOOLEAN CamEncodeValue(CAM_VALUE_CODE Code, LONG Value, PULONG Register) {
  switch (Code) {
    case CamCodeGain1621:
      return CamEncodeGain1621(Value, Register);
    case CamCodeGain8431:
      return CamEncodeGain8431(Value, Register);
    case CamCodeGain1801:
      if (!CamInRange(Value, 1, 120)) return FALSE;
      *Register = (ULONG)Value * 256 + 0x08;
      return TRUE;
    case CamCodeOffset1621:
      *Register = CamEncodeOffset(Value) & 0xFFFF;
      return TRUE;
    default:
      return FALSE;
  }
}

static LONG CamDecodeGain1621(ULONG Register) {
  LONG r = (LONG)Register;
  if (CamInRange(r, 8, 32)) return r - 7;
  if (CamInRange(r, 81, 96)) return r - 55;
  if (CamInRange(r, 0x0160, 0x7860)) return (r >> 8) + 41;
  return 0;
}

static LONG CamDecodeGain8431(ULONG Register) {
  LONG r = (LONG)Register;
  if (CamInRange(r, 8, 32)) return r - 7;
  if (CamInRange(r, 81, 103)) return r - 55;
  return 0;
}

static LONG CamDecodeGain1801(ULONG Register) {
  LONG gain = (LONG)((Register >> 8) & 0x7F);
  if (gain < 1) return 1;
  if (gain > 120) return 120;
  return gain;
}

static LONG CamDecodeValue(CAM_VALUE_CODE Code, ULONG Register) {
  switch (Code) {
    case CamCodeGain1621:
      return CamDecodeGain1621(Register);
    case CamCodeGain8431:
      return CamDecodeGain8431(Register);
    case CamCodeGain1801:
      return CamDecodeGain1801(Register);
    case CamCodeOffset1621:
      return (Register & 0x100) != 0 ? (LONG)(Register & 0xFF) : (LONG)(Register + 256);
    default:
      return 0;
  }
}

// PASSIVE_LEVEL, no lock; frees its URB. Encodes the 32-bit input and writes it to
// Register; a refused model or value sends nothing.
static NTSTATUS CamSetCodedRegister(const CAM_CONTROL_CALL* Call, UCHAR Register, CAM_VALUE_CODE Code) {
  LONG input = (LONG)CamGetU32(Call->Buffer);
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  ULONG value;
  if (CamEncodeValue(Code, input, &value))
    status = CamWriteRegister(Call->DeviceObject, urb, Register, value);
  ExFreePool(urb);
  return status;
}

// PASSIVE_LEVEL, no lock; frees its URB. Reads Register and returns its decoded
// value; nothing is written to the output unless the read succeeded.
static NTSTATUS CamGetCodedRegister(const CAM_CONTROL_CALL* Call, UCHAR Register, CAM_VALUE_CODE Code) {
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (Code != CamCodeRefused) {
    ULONG value;
    status = CamReadRegister(Call->DeviceObject, urb, Register, &value);
    if (NT_SUCCESS(status)) {
      CamPutU32(Call->Buffer, (ULONG)CamDecodeValue(Code, value));
      Call->Irp->IoStatus.Information = sizeof(ULONG);
    }
  }
  ExFreePool(urb);
  return status;
}

static CAM_VALUE_CODE CamSetGlobalGainCode(PCAM_DEVICE_EXTENSION Extension) {
  switch (CamModelCode(Extension)) {
    case CAM_MODEL_8431:
      return CamCodeGain8431;
    case CAM_MODEL_1801:
      return CamCodeGain1801;
    case CAM_MODEL_1621:
      return CamCodeGain1621;
    default:
      return CamCodeRefused;
  }
}

// Reading back is narrower than writing: of model 0x1801 only the monochrome
// product decodes its global gain.
static CAM_VALUE_CODE CamGetGlobalGainCode(PCAM_DEVICE_EXTENSION Extension) {
  CAM_VALUE_CODE code = CamSetGlobalGainCode(Extension);
  if (code == CamCodeGain1801 && CamProductId(Extension) != CAM_PRODUCT_1801_MONO) return CamCodeRefused;
  return code;
}

static CAM_VALUE_CODE CamChannelGainCode(PCAM_DEVICE_EXTENSION Extension) {
  if (CamModelCode(Extension) == CAM_MODEL_1801 && CamProductId(Extension) != CAM_PRODUCT_1801_MONO) {
    return CamCodeGain1801;
  }
  return CamModelCode(Extension) == CAM_MODEL_1621 ? CamCodeGain1621 : CamCodeRefused;
}

static CAM_VALUE_CODE CamOffsetCode(PCAM_DEVICE_EXTENSION Extension) {
  return CamModelCode(Extension) == CAM_MODEL_1621 ? CamCodeOffset1621 : CamCodeRefused;
}

// PASSIVE_LEVEL, no lock; frees its URB. Model 0x1801 splits the exposure over two
// registers, high half first; the low half is not written when the high half failed.
// Another request may reach the camera between the two.
NTSTATUS CamSetExposure(const CAM_CONTROL_CALL* Call) {
  ULONG exposure = CamGetU32(Call->Buffer);
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status;
  switch (CamModelCode(Call->Extension)) {
    case CAM_MODEL_8431:
    case CAM_MODEL_1621:
      status = CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_LOW, exposure & 0xFFFF);
      break;
    case CAM_MODEL_1801:
      status = CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_HIGH, exposure >> 16);
      if (NT_SUCCESS(status)) {
        status = CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_LOW, exposure & 0xFFFF);
      }
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  ExFreePool(urb);
  return status;
}

// PASSIVE_LEVEL, no lock; frees its URB. The low half is read only after the high
// half; the status is that of the last read sent.
NTSTATUS CamGetExposure(const CAM_CONTROL_CALL* Call) {
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  ULONG high = 0;
  ULONG low = 0;
  NTSTATUS status;
  switch (CamModelCode(Call->Extension)) {
    case CAM_MODEL_8431:
    case CAM_MODEL_1621:
      status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_LOW, &low);
      break;
    case CAM_MODEL_1801:
      status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_HIGH, &high);
      if (NT_SUCCESS(status))
        status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_LOW, &low);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  if (NT_SUCCESS(status)) {
    CamPutU32(Call->Buffer, (high << 16) + low);
    Call->Irp->IoStatus.Information = sizeof(ULONG);
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS CamSetGlobalGain(const CAM_CONTROL_CALL* Call) {
  return CamSetCodedRegister(Call, CAM_REGISTER_GLOBAL_GAIN, CamSetGlobalGainCode(Call->Extension));
}

NTSTATUS CamGetGlobalGain(const CAM_CONTROL_CALL* Call) {
  return CamGetCodedRegister(Call, CAM_REGISTER_GLOBAL_GAIN, CamGetGlobalGainCode(Call->Extension));
}

// Argument is the channel's register (0x2B to 0x2E). Model 0x1621 and the colour
// products of model 0x1801 only.
NTSTATUS CamSetChannelGain(const CAM_CONTROL_CALL* Call) {
  return CamSetCodedRegister(Call, (UCHAR)Call->Argument, CamChannelGainCode(Call->Extension));
}

NTSTATUS CamGetChannelGain(const CAM_CONTROL_CALL* Call) {
  return CamGetCodedRegister(Call, (UCHAR)Call->Argument, CamChannelGainCode(Call->Extension));
}

// Argument is the offset's register. Model 0x1621 only.
NTSTATUS CamSetOffset(const CAM_CONTROL_CALL* Call) {
  return CamSetCodedRegister(Call, (UCHAR)Call->Argument, CamOffsetCode(Call->Extension));
}

NTSTATUS CamGetOffset(const CAM_CONTROL_CALL* Call) {
  return CamGetCodedRegister(Call, (UCHAR)Call->Argument, CamOffsetCode(Call->Extension));
}

// PASSIVE_LEVEL, no lock; frees its URB. Four writes, each sent whatever became of
// the ones before; 0x63 and 0x64 get the fixed value, 0x60 and 0x61 the offset.
NTSTATUS CamSetOffsetPair(const CAM_CONTROL_CALL* Call) {
  LONG offset = (LONG)CamGetU32(Call->Buffer);
  PURB urb = CamAllocateVendorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  ULONG value;
  if (CamEncodeValue(CamOffsetCode(Call->Extension), offset, &value)) {
    const CAM_REGISTER_VALUE writes[] = {
        {CAM_REGISTER_OFFSET_64, CAM_OFFSET_PAIR_FIXED},
        {CAM_REGISTER_OFFSET_63, CAM_OFFSET_PAIR_FIXED},
        {CAM_REGISTER_OFFSET_60, (USHORT)value},
        {CAM_REGISTER_OFFSET_61, (USHORT)value},
    };
    status = CamWriteRegisterSequence(Call->DeviceObject, urb, writes, CAM_COUNT_OF(writes));
  }
  ExFreePool(urb);
  return status;
}
