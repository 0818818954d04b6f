// Exposure, gain and offset settings. Each model keeps these values in its own
// register format; the camera's record names the registers and the code that
// translates between the application's numbers and the 16-bit register values.
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

// How a request codes its value: a model's gain code (CAM_GAIN_CODE_*), the offset
// code, or none, for a camera that does not have the setting.
#define CAM_CODE_NONE 0u
#define CAM_CODE_OFFSET 0x80u

// Returns FALSE for a value the code refuses. Offsets are never refused: only their
// low 16 bits are sent.
static BOOLEAN CamEncodeValue(ULONG Code, LONG Value, PULONG Register) {
  uint32_t encoded;
  if (Code == CAM_CODE_OFFSET) {
    encoded = CamEncodeOffset(Value) & 0xFFFF;
  } else if (!CamEncodeGain(Code, Value, &encoded)) {
    return FALSE;
  }
  *Register = encoded;
  return TRUE;
}

static LONG CamDecodeValue(ULONG Code, ULONG Register) {
  return Code == CAM_CODE_OFFSET ? CamDecodeOffset(Register) : CamDecodeGain(Code, Register);
}

// PASSIVE_LEVEL, no lock. Encodes the 32-bit input and writes it to Register; a
// refused model or value sends nothing.
static NTSTATUS CamSetCodedRegister(const CAM_CONTROL_CALL* Call, UCHAR Register, ULONG Code) {
  LONG input = (LONG)CamGetU32(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  ULONG value;
  if (!CamEncodeValue(Code, input, &value)) return STATUS_INVALID_PARAMETER;
  return CamWriteRegister(Call->DeviceObject, urb, Register, value);
}

// PASSIVE_LEVEL, no lock. Reads Register and returns its decoded value; nothing is
// written to the output unless the read succeeded.
static NTSTATUS CamGetCodedRegister(const CAM_CONTROL_CALL* Call, UCHAR Register, ULONG Code) {
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Code == CAM_CODE_NONE) return STATUS_INVALID_PARAMETER;
  ULONG value;
  NTSTATUS status = CamReadRegister(Call->DeviceObject, urb, Register, &value);
  if (!NT_SUCCESS(status)) return status;
  CamPutU32(Call->Buffer, (ULONG)CamDecodeValue(Code, value));
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return status;
}

static ULONG CamSetGlobalGainCode(const CAM_PRODUCT* Product) {
  return Product != NULL ? Product->Model->GainCode : CAM_CODE_NONE;
}

// Reading back is narrower than writing: of model 0x1801 only the monochrome
// product decodes its global gain.
static ULONG CamGetGlobalGainCode(const CAM_PRODUCT* Product) {
  return Product != NULL && Product->GlobalGainReadable ? Product->Model->GainCode : CAM_CODE_NONE;
}

static ULONG CamChannelGainCode(const CAM_PRODUCT* Product) {
  return Product != NULL && Product->ChannelGains ? Product->Model->GainCode : CAM_CODE_NONE;
}

static ULONG CamOffsetCode(const CAM_PRODUCT* Product) {
  return Product != NULL && Product->Model->Offsets ? CAM_CODE_OFFSET : CAM_CODE_NONE;
}

// PASSIVE_LEVEL, no lock. A 32-bit exposure is split over two registers, high half
// first; the low half is not written when the high half failed. Another request
// may reach the camera between the two.
NTSTATUS CamSetExposure(const CAM_CONTROL_CALL* Call) {
  ULONG exposure = CamGetU32(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  if (Call->Product->Model->ExposureBits == 32) {
    NTSTATUS status = CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_HIGH, exposure >> 16);
    if (!NT_SUCCESS(status)) return status;
  }
  return CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_LOW, exposure & 0xFFFF);
}

// PASSIVE_LEVEL, no lock. The low half is read only after the high half; the status
// is that of the last read sent.
NTSTATUS CamGetExposure(const CAM_CONTROL_CALL* Call) {
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  ULONG high = 0;
  ULONG low = 0;
  NTSTATUS status;
  if (Call->Product->Model->ExposureBits == 32) {
    status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_HIGH, &high);
    if (!NT_SUCCESS(status)) return status;
  }
  status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_EXPOSURE_LOW, &low);
  if (!NT_SUCCESS(status)) return status;
  CamPutU32(Call->Buffer, (high << 16) + low);
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return status;
}

NTSTATUS CamSetGlobalGain(const CAM_CONTROL_CALL* Call) {
  return CamSetCodedRegister(Call, CAM_REGISTER_GLOBAL_GAIN, CamSetGlobalGainCode(Call->Product));
}

NTSTATUS CamGetGlobalGain(const CAM_CONTROL_CALL* Call) {
  return CamGetCodedRegister(Call, CAM_REGISTER_GLOBAL_GAIN, CamGetGlobalGainCode(Call->Product));
}

// Argument is the channel's register (0x2B to 0x2E). Model 0x1621 and the colour
// products of model 0x1801 only.
NTSTATUS CamSetChannelGain(const CAM_CONTROL_CALL* Call) {
  return CamSetCodedRegister(Call, (UCHAR)Call->Argument, CamChannelGainCode(Call->Product));
}

NTSTATUS CamGetChannelGain(const CAM_CONTROL_CALL* Call) {
  return CamGetCodedRegister(Call, (UCHAR)Call->Argument, CamChannelGainCode(Call->Product));
}

// Argument is the offset's register. Model 0x1621 only.
NTSTATUS CamSetOffset(const CAM_CONTROL_CALL* Call) {
  return CamSetCodedRegister(Call, (UCHAR)Call->Argument, CamOffsetCode(Call->Product));
}

NTSTATUS CamGetOffset(const CAM_CONTROL_CALL* Call) {
  return CamGetCodedRegister(Call, (UCHAR)Call->Argument, CamOffsetCode(Call->Product));
}

// PASSIVE_LEVEL, no lock. Four writes, each sent whatever became of the ones
// before; 0x63 and 0x64 get the fixed value, 0x60 and 0x61 the offset.
NTSTATUS CamSetOffsetPair(const CAM_CONTROL_CALL* Call) {
  LONG offset = (LONG)CamGetU32(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  ULONG value;
  if (!CamEncodeValue(CamOffsetCode(Call->Product), offset, &value)) return STATUS_INVALID_PARAMETER;
  const CAM_REGISTER_STEP writes[] = {
      {CAM_REGISTER_OFFSET_64, 0, CAM_OFFSET_PAIR_FIXED},
      {CAM_REGISTER_OFFSET_63, 0, CAM_OFFSET_PAIR_FIXED},
      {CAM_REGISTER_OFFSET_60, 0, (USHORT)value},
      {CAM_REGISTER_OFFSET_61, 0, (USHORT)value},
  };
  return CamWriteRegisterSequence(Call->DeviceObject, urb, writes, CAM_COUNT_OF(writes), 0);
}
