// The vendor request URB every camera command travels in, its builders, and the
// register access through request 0xB7.
#include "control.h"

#define CAM_REGISTER_BYTES 2

// Any IRQL. The caller frees the block with ExFreePool.
PURB CamAllocateVendorUrb(VOID) {
  return (PURB)CamAllocatePool(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
}

// Any IRQL. Fills the whole block, so nothing of an earlier request survives in it.
// Short transfers are allowed both ways; the caller reads TransferBufferLength back.
VOID CamBuildVendorRequest(PURB Urb, UCHAR Request, BOOLEAN In, USHORT Value, PVOID Buffer, ULONG Length) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &Urb->UrbControlVendorClassRequest;
  RtlZeroMemory(request, sizeof(*request));
  request->Hdr.Length = sizeof(*request);
  request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request->TransferFlags =
      (In ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) | USBD_SHORT_TRANSFER_OK;
  request->TransferBufferLength = Length;
  request->TransferBuffer = Buffer;
  request->TransferBufferMDL = NULL;
  request->UrbLink = NULL;
  request->RequestTypeReservedBits = 0;
  request->Request = Request;
  request->Value = Value;
  request->Index = 0;
}

// The four 2-byte builders take their value through 8 bits, so they never carry a
// wValue above 0xFF.
VOID CamBuildRegisterWrite(PURB Urb, UCHAR Register, PVOID Data) {
  CamBuildVendorRequest(Urb, CAM_REQUEST_REGISTER, FALSE, Register, Data, CAM_REGISTER_BYTES);
}

VOID CamBuildRegisterRead(PURB Urb, UCHAR Register, PVOID Data) {
  CamBuildVendorRequest(Urb, CAM_REQUEST_REGISTER, TRUE, Register, Data, CAM_REGISTER_BYTES);
}

VOID CamBuildB9Write(PURB Urb, UCHAR Value, PVOID Data) {
  CamBuildVendorRequest(Urb, CAM_REQUEST_B9, FALSE, Value, Data, CAM_REGISTER_BYTES);
}

VOID CamBuildBCWrite(PURB Urb, UCHAR Value, PVOID Data) {
  CamBuildVendorRequest(Urb, CAM_REQUEST_BC, FALSE, Value, Data, CAM_REGISTER_BYTES);
}

// PASSIVE_LEVEL. Sends the low 16 bits of Value, low byte first, from a local that
// lives until the transfer is over.
NTSTATUS CamWriteRegister(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Register, ULONG Value) {
  UCHAR data[sizeof(ULONG)];
  CamPutU32(data, Value);
  CamBuildRegisterWrite(Urb, Register, data);
  return CamSubmitUrbSync(DeviceObject, Urb);
}

// PASSIVE_LEVEL. The value lands in a zeroed 32-bit variable, so the upper half is
// 0 and bytes the camera did not send read as 0. *Value is set whatever the
// outcome: a failed read gives 0, whatever the stack left in the buffer.
NTSTATUS CamReadRegister(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Register, PULONG Value) {
  UCHAR data[sizeof(ULONG)];
  RtlZeroMemory(data, sizeof(data));
  CamBuildRegisterRead(Urb, Register, data);
  NTSTATUS status = CamSubmitUrbSync(DeviceObject, Urb);
  *Value = NT_SUCCESS(status) ? CamGetU32(data) : 0;
  return status;
}

// PASSIVE_LEVEL. Each write is sent whatever became of the ones before; the status
// is that of the last.
NTSTATUS CamWriteRegisterSequence(PDEVICE_OBJECT DeviceObject, PURB Urb, const CAM_REGISTER_VALUE* Writes,
                                  ULONG Count) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < Count; i++) {
    status = CamWriteRegister(DeviceObject, Urb, Writes[i].Register, Writes[i].Value);
  }
  return status;
}
