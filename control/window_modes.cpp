// Window, readout and capture-mode settings: the image window each model accepts,
// the image size read back, and the register programs of the modes.
#include "control.h"

#define CAM_REGISTER_START_ROW 0x01
#define CAM_REGISTER_START_COLUMN 0x02
#define CAM_REGISTER_HEIGHT 0x03
#define CAM_REGISTER_WIDTH 0x04
#define CAM_REGISTER_05 0x05
#define CAM_REGISTER_SENSOR_0B 0x0B
#define CAM_REGISTER_20 0x20
#define CAM_REGISTER_21 0x21
#define CAM_REGISTER_78 0x78
#define CAM_REG20_MODE_BITS 0xC000

// PASSIVE_LEVEL, no lock. Sizes the model does not accept send nothing; the four
// writes go out whatever became of the ones before. The start values centre the
// window on the sensor.
NTSTATUS CamSetResolution(const CAM_CONTROL_CALL* Call) {
  ULONG width = CamGetU32(Call->Buffer + FIELD_OFFSET(CAM_WINDOW_SIZE, Width));
  ULONG height = CamGetU32(Call->Buffer + FIELD_OFFSET(CAM_WINDOW_SIZE, Height));
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  const CAM_WINDOW* window =
      Call->Product != NULL ? CamFindWindow(Call->Product->Model, width, height) : NULL;
  if (window == NULL) return STATUS_INVALID_PARAMETER;
  const CAM_REGISTER_STEP writes[] = {
      {CAM_REGISTER_START_ROW, 0, window->StartRow},
      {CAM_REGISTER_START_COLUMN, 0, window->StartColumn},
      {CAM_REGISTER_HEIGHT, 0, (USHORT)(height - 1)},
      {CAM_REGISTER_WIDTH, 0, (USHORT)(width - 1)},
  };
  return CamWriteRegisterSequence(Call->DeviceObject, urb, writes, CAM_COUNT_OF(writes), 0);
}

// PASSIVE_LEVEL, no lock. Both size registers are read whatever the first read
// gave; only the second read decides the outcome, a failed first read counting as
// 0. The pixel depth is the product's.
NTSTATUS CamGetResolution(const CAM_CONTROL_CALL* Call) {
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  ULONG height;
  ULONG width;
  CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_HEIGHT, &height);
  NTSTATUS status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_WIDTH, &width);
  if (!NT_SUCCESS(status)) return status;
  CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_RESOLUTION, Width), width + 1);
  CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_RESOLUTION, Height), height + 1);
  CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_RESOLUTION, BitsPerPixel), Call->Product->BitsPerPixel);
  Call->Irp->IoStatus.Information = sizeof(CAM_RESOLUTION);
  return status;
}

// PASSIVE_LEVEL, no lock. A one-byte write of register 0x05, on every model. The
// selector is tested before anything is allocated.
NTSTATUS CamSetReg05(const CAM_CONTROL_CALL* Call) {
  UCHAR data;
  if (Call->Buffer[0] == 9) {
    data = 0x02;
  } else if (Call->Buffer[0] == 18) {
    data = 0x00;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  CamBuildVendorRequest(urb, CAM_REQUEST_REGISTER, FALSE, CAM_REGISTER_05, &data, sizeof(data));
  NTSTATUS status = CamSubmitUrbSync(Call->DeviceObject, urb);
  if (NT_SUCCESS(status)) CamReportEcho(Call, urb->UrbControlVendorClassRequest.TransferBufferLength);
  return status;
}

// The new value of register 0x20 for mode 0 to 3 (bits 14 and 15): added to the
// mode bits the register holds on models that merge them (for modes 1 to 3),
// replacing them on the others.
static ULONG CamReg20Value(const CAM_MODEL* Model, ULONG Current, ULONG Mode) {
  static const ULONG bits[] = {0x0000, 0x4000, 0x8000, 0xC000};
  if (Model->Reg20Merge && Mode != 0) return Current | bits[Mode];
  return (Current & ~(ULONG)CAM_REG20_MODE_BITS) | bits[Mode];
}

// PASSIVE_LEVEL, no lock. The register is read before the mode is looked at. A
// model that merges stops on a failed read; the others go on from 0. Not atomic
// against another request changing the register in between.
NTSTATUS CamSetReg20Bits(const CAM_CONTROL_CALL* Call) {
  ULONG mode = CamGetU32(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  const CAM_MODEL* model = Call->Product->Model;
  ULONG current;
  NTSTATUS status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_20, &current);
  if (!NT_SUCCESS(status) && model->Reg20Merge) return status;
  if (mode > 3) return STATUS_INVALID_PARAMETER;
  return CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_20, CamReg20Value(model, current, mode));
}

// PASSIVE_LEVEL, no lock. The model's program for the mode: its capture register
// read (on some models before the mode is looked at), then its writes, each sent
// whatever became of the ones before; the status is the last one's. A failed read
// ends the request.
NTSTATUS CamSetCaptureMode(const CAM_CONTROL_CALL* Call) {
  ULONG mode = CamGetU32(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  const CAM_MODEL* model = Call->Product->Model;
  BOOLEAN accepted = mode < CAM_COUNT_OF(model->CaptureProgram) && (model->CaptureModes & (1u << mode)) != 0;
  if (!accepted && !model->CaptureReadsFirst) return STATUS_INVALID_PARAMETER;
  ULONG current = 0;
  if (model->CaptureReads) {
    NTSTATUS status = CamReadRegister(Call->DeviceObject, urb, CAM_REGISTER_CAPTURE_MODE, &current);
    if (!NT_SUCCESS(status)) return status;
  }
  if (!accepted) return STATUS_INVALID_PARAMETER;
  const CAM_MODE_PROGRAM* program = &model->CaptureProgram[mode];
  return CamWriteRegisterSequence(Call->DeviceObject, urb, program->Steps, program->Count, current);
}

// PASSIVE_LEVEL, no lock. A model without sensor commands accepts every one without
// a transfer.
NTSTATUS CamSensorCommand(const CAM_CONTROL_CALL* Call) {
  static const CAM_REGISTER_STEP commands[] = {
      {CAM_REGISTER_78, 0, 0x9C57}, {CAM_REGISTER_21, 0, 1}, {CAM_REGISTER_SENSOR_0B, 0, 1}};
  ULONG command = CamGetU32(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  if (!Call->Product->Model->SensorCommands) return STATUS_SUCCESS;
  if (command < 1 || command > 3) return STATUS_INVALID_PARAMETER;
  return CamWriteRegisterSequence(Call->DeviceObject, urb, &commands[command - 1], 1, 0);
}
