// Requests the dispatcher answers from the device context, with one register
// transfer, or with a pipe abort.
#include "control.h"

#define CAM_REGISTER_62 0x62

// The codes kept for compatibility that do nothing.
NTSTATUS CamNoAction(const CAM_CONTROL_CALL* Call) {
  UNREFERENCED_PARAMETER(Call);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, no lock. Register number at byte 0, 16-bit value at byte 4; bytes
// 1 to 3 are not read. Reports the bytes the USB stack says it sent.
NTSTATUS CamWriteRegisterRequest(const CAM_CONTROL_CALL* Call) {
  UCHAR reg = Call->Buffer[FIELD_OFFSET(CAM_REGISTER_WRITE, Register)];
  USHORT value = CamGetU16(Call->Buffer + FIELD_OFFSET(CAM_REGISTER_WRITE, Value));
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = CamWriteRegister(Call->DeviceObject, urb, reg, value);
  if (NT_SUCCESS(status)) CamReportEcho(Call, urb->UrbControlVendorClassRequest.TransferBufferLength);
  return status;
}

// PASSIVE_LEVEL, no lock. Any of the 256 registers, by the number at byte 0; the
// output is written only when the read succeeded.
NTSTATUS CamReadRegisterRequest(const CAM_CONTROL_CALL* Call) {
  UCHAR reg = Call->Buffer[0];
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  ULONG value;
  NTSTATUS status = CamReadRegister(Call->DeviceObject, urb, reg, &value);
  if (!NT_SUCCESS(status)) return status;
  CamPutU32(Call->Buffer, value);
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return status;
}

// PASSIVE_LEVEL, no lock. Argument is the value (1 or 0); only model 0x1621 has
// the register. The URB comes first, so a shortage shows on every model alike.
NTSTATUS CamSetReg62(const CAM_CONTROL_CALL* Call) {
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL || !Call->Product->Model->Register62) return STATUS_INVALID_PARAMETER;
  return CamWriteRegister(Call->DeviceObject, urb, CAM_REGISTER_62, Call->Argument);
}

// PASSIVE_LEVEL, no lock. Any output length but exactly 4 is refused: callers rely
// on that. Reading does not clear the value.
NTSTATUS CamGetLastStatus(const CAM_CONTROL_CALL* Call) {
  if (Call->OutputLength != sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
  CamPutU32(Call->Buffer, (ULONG)CamReadUsbdStatus(Call->Extension));
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, no lock. The identity of the camera's record, chosen at open;
// zeros while the driver knows no record for it.
NTSTATUS CamGetIdentity(const CAM_CONTROL_CALL* Call) {
  const CAM_PRODUCT* product = Call->Product;
  CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_IDENTITY, VendorId), product != NULL ? CAM_VENDOR_ID : 0);
  CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_IDENTITY, ProductId), product != NULL ? product->ProductId : 0);
  CamPutU32(Call->Buffer + FIELD_OFFSET(CAM_IDENTITY, ModelCode), CamModelCode(product));
  Call->Irp->IoStatus.Information = sizeof(CAM_IDENTITY);
  return STATUS_SUCCESS;
}

NTSTATUS CamGetModel(const CAM_CONTROL_CALL* Call) {
  CamPutU32(Call->Buffer, CamModelCode(Call->Product));
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, no lock; waits for the USB stack. Cancels what is outstanding on
// the image pipe, the last of the pipe table; a device configured without pipes has
// nothing to abort.
NTSTATUS CamAbortImagePipe(const CAM_CONTROL_CALL* Call) {
  PUSBD_INTERFACE_INFORMATION pipes = Call->Extension->InterfaceInfo;
  if (pipes == NULL || pipes->NumberOfPipes == 0) return STATUS_UNSUCCESSFUL;
  return CamAbortPipe(Call->DeviceObject, pipes->Pipes[pipes->NumberOfPipes - 1].PipeHandle);
}
