// The vendor request URB every camera command travels in, and its builders: the
// settings, the raw commands and a frame read's trigger all fill it so.
#include "driver.h"

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
