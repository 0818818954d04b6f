// Raw camera commands: vendor requests other than register access, passed between
// the application and the camera with little or no interpretation.
#include "control.h"

#define CAM_FILLED_DATA_MAX 10
#define CAM_FILL_BYTE 0xFF
#define CAM_READ_BB_BYTES 4
#define CAM_READ_BB_DEFAULT 0x02000200
#define CAM_READ_C0_BYTES 8
#define CAM_READ_C0_VALUE 1
#define CAM_ECHO_BYTES 4
#define CAM_BLOCK_HEADER_BYTES 4

// Commands whose data stage is fixed: all 0xFF, whatever the application passed.
typedef struct _CAM_FILLED_REQUEST {
  UCHAR Request;
  UCHAR Length;
  BOOLEAN ValueFromInput;  // wValue is the low 16 bits of the 32-bit input
} CAM_FILLED_REQUEST;

static const CAM_FILLED_REQUEST CamFilledRequests[] = {
    {CAM_REQUEST_TRIGGER, 10, FALSE}, {0xB4, 10, FALSE}, {0xB8, 10, FALSE}, {0xBE, 4, TRUE}, {0xBF, 10, TRUE},
};

// Several commands report any failed transfer as a bad parameter; LastUsbdStatus
// still holds what the USB stack said.
static NTSTATUS CamRefuseOnFailure(NTSTATUS Status) {
  return NT_SUCCESS(Status) ? Status : STATUS_INVALID_PARAMETER;
}

static const CAM_FILLED_REQUEST* CamFindFilledRequest(ULONG Request) {
  for (ULONG i = 0; i < CAM_COUNT_OF(CamFilledRequests); i++) {
    if (CamFilledRequests[i].Request == Request) return &CamFilledRequests[i];
  }
  return NULL;
}

// PASSIVE_LEVEL, no lock. Argument is the request code. No model test; the
// submission's status is returned unchanged.
NTSTATUS CamSendFilledRequest(const CAM_CONTROL_CALL* Call) {
  const CAM_FILLED_REQUEST* request = CamFindFilledRequest(Call->Argument);
  if (request == NULL) return STATUS_INVALID_PARAMETER;
  USHORT value = request->ValueFromInput ? (USHORT)(CamGetU32(Call->Buffer) & 0xFFFF) : 0;
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  UCHAR data[CAM_FILLED_DATA_MAX];
  RtlFillMemory(data, sizeof(data), CAM_FILL_BYTE);
  CamBuildVendorRequest(urb, request->Request, FALSE, value, data, request->Length);
  return CamSubmitUrbSync(Call->DeviceObject, urb);
}

// PASSIVE_LEVEL, no lock. Only the low 8 bits of the selector reach the camera: the
// builder takes its value through 8 bits.
NTSTATUS CamWriteB9(const CAM_CONTROL_CALL* Call) {
  USHORT selector = CamGetU16(Call->Buffer + FIELD_OFFSET(CAM_B9_WRITE, Selector));
  UCHAR data[sizeof(ULONG)];
  CamPutU32(data, CamGetU16(Call->Buffer + FIELD_OFFSET(CAM_B9_WRITE, Data)));
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  CamBuildB9Write(urb, (UCHAR)selector, data);
  return CamRefuseOnFailure(CamSubmitUrbSync(Call->DeviceObject, urb));
}

// PASSIVE_LEVEL, no lock. Argument is wValue: 0 sends the low 16 bits of the input
// and hands the caller its input back, in every outcome once the URB is had; 1
// sends two zero bytes.
NTSTATUS CamWriteBC(const CAM_CONTROL_CALL* Call) {
  UCHAR data[sizeof(ULONG)];
  RtlZeroMemory(data, sizeof(data));
  if (Call->Argument == 0) CamPutU32(data, CamGetU32(Call->Buffer) & 0xFFFF);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Argument == 0) CamReportEcho(Call, CAM_ECHO_BYTES);
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  CamBuildBCWrite(urb, (UCHAR)Call->Argument, data);
  return CamRefuseOnFailure(CamSubmitUrbSync(Call->DeviceObject, urb));
}

// PASSIVE_LEVEL, no lock. Hands the caller its input back after the transfer,
// success or not. The input is 2 bytes and the echo 4: the bytes beyond the input
// are zeroed first, so that nothing but the caller's own bytes goes back.
NTSTATUS CamWriteBD(const CAM_CONTROL_CALL* Call) {
  UCHAR data[sizeof(ULONG)];
  CamPutU32(data, CamGetU16(Call->Buffer));
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  CamBuildVendorRequest(urb, CAM_REQUEST_BD, FALSE, 0, data, sizeof(USHORT));
  NTSTATUS status = CamRefuseOnFailure(CamSubmitUrbSync(Call->DeviceObject, urb));
  if (Call->OutputLength >= CAM_ECHO_BYTES && Call->InputLength < CAM_ECHO_BYTES) {
    RtlZeroMemory(Call->Buffer + Call->InputLength, CAM_ECHO_BYTES - Call->InputLength);
  }
  CamReportEcho(Call, CAM_ECHO_BYTES);
  return status;
}

// PASSIVE_LEVEL, no lock. 16-bit value at 0, bytes 2 and 3 unused, the data from
// byte 4 sent straight from the system buffer. A control transfer carries at most
// 65,535 bytes.
NTSTATUS CamWriteBlock(const CAM_CONTROL_CALL* Call) {
  if (Call->InputLength < CAM_BLOCK_HEADER_BYTES) return STATUS_INVALID_PARAMETER;
  ULONG length = Call->InputLength - CAM_BLOCK_HEADER_BYTES;
  if (length > CAM_MAX_CONTROL_DATA) return STATUS_INVALID_PARAMETER;
  USHORT value = CamGetU16(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  PVOID data = length > 0 ? Call->Buffer + CAM_BLOCK_HEADER_BYTES : NULL;
  CamBuildVendorRequest(urb, CAM_REQUEST_BLOCK, FALSE, value, data, length);
  return CamRefuseOnFailure(CamSubmitUrbSync(Call->DeviceObject, urb));
}

// PASSIVE_LEVEL, no lock; frees its data buffer. Returns the whole output buffer.
// It is read into a zeroed buffer of its own, made before the URB, so bytes the
// camera did not deliver come back as zeros.
NTSTATUS CamReadBlock(const CAM_CONTROL_CALL* Call) {
  ULONG length = Call->OutputLength;
  if (length > CAM_MAX_CONTROL_DATA) return STATUS_INVALID_PARAMETER;
  USHORT value = CamGetU16(Call->Buffer);
  PUCHAR data = NULL;
  if (length > 0) {
    data = (PUCHAR)CamAllocatePool(length);
    if (data == NULL) return STATUS_NO_MEMORY;
    RtlZeroMemory(data, length);
  }
  PURB urb = CamControlUrb(Call);
  NTSTATUS status = STATUS_NO_MEMORY;
  if (urb != NULL) {
    CamBuildVendorRequest(urb, CAM_REQUEST_BLOCK, TRUE, value, data, length);
    status = CamRefuseOnFailure(CamSubmitUrbSync(Call->DeviceObject, urb));
    if (NT_SUCCESS(status) && length > 0) {
      RtlCopyMemory(Call->Buffer, data, length);
      Call->Irp->IoStatus.Information = length;
    }
  }
  if (data != NULL) ExFreePool(data);
  return status;
}

// PASSIVE_LEVEL, no lock. Value 0 is answered with a constant, without asking the
// camera.
NTSTATUS CamReadBB(const CAM_CONTROL_CALL* Call) {
  USHORT value = CamGetU16(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  UCHAR data[CAM_READ_BB_BYTES];
  NTSTATUS status = STATUS_SUCCESS;
  if (value == 0) {
    CamPutU32(data, CAM_READ_BB_DEFAULT);
  } else {
    RtlZeroMemory(data, sizeof(data));
    CamBuildVendorRequest(urb, CAM_REQUEST_BB, TRUE, value, data, sizeof(data));
    status = CamRefuseOnFailure(CamSubmitUrbSync(Call->DeviceObject, urb));
    if (!NT_SUCCESS(status)) return status;
  }
  RtlCopyMemory(Call->Buffer, data, sizeof(data));
  Call->Irp->IoStatus.Information = sizeof(data);
  return status;
}

// PASSIVE_LEVEL, no lock. No model test; the submission's status is returned
// unchanged.
NTSTATUS CamReadC0(const CAM_CONTROL_CALL* Call) {
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  UCHAR data[CAM_READ_C0_BYTES];
  RtlZeroMemory(data, sizeof(data));
  CamBuildVendorRequest(urb, CAM_REQUEST_C0, TRUE, CAM_READ_C0_VALUE, data, sizeof(data));
  NTSTATUS status = CamSubmitUrbSync(Call->DeviceObject, urb);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(Call->Buffer, data, sizeof(data));
  Call->Irp->IoStatus.Information = sizeof(data);
  return status;
}

// PASSIVE_LEVEL, no lock. A register read by a 16-bit address of which the low 8
// bits reach the camera, as with every register access.
NTSTATUS CamReadRegisterEx(const CAM_CONTROL_CALL* Call) {
  USHORT address = CamGetU16(Call->Buffer);
  PURB urb = CamControlUrb(Call);
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (Call->Product == NULL) return STATUS_INVALID_PARAMETER;
  ULONG value;
  NTSTATUS status =
      CamRefuseOnFailure(CamReadRegister(Call->DeviceObject, urb, (UCHAR)(address & 0xFF), &value));
  if (!NT_SUCCESS(status)) return status;
  CamPutU32(Call->Buffer, value);
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return status;
}
