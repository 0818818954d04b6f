// Register access through request 0xB7: a write, a read, and a sequence of writes,
// in the URB of the request that asks.
#include "control.h"

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

// PASSIVE_LEVEL. Each step is sent whatever became of the ones before; the status
// is that of the last. A step that keeps bits takes them from Read, the value of
// a register read before.
NTSTATUS CamWriteRegisterSequence(PDEVICE_OBJECT DeviceObject, PURB Urb, const CAM_REGISTER_STEP* Steps,
                                  ULONG Count, ULONG Read) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < Count; i++) {
    ULONG value = Steps[i].Keep != 0 ? (Read & Steps[i].Keep) | Steps[i].Value : Steps[i].Value;
    status = CamWriteRegister(DeviceObject, Urb, Steps[i].Register, value);
  }
  return status;
}
