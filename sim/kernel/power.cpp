// The power manager's routines for drivers: device power requests made on a
// driver's behalf, and the calls that pass power requests along a stack.
#include "internal.h"

using namespace sim;

extern "C" {

// Builds a device power request, sends it to the top of the stack over
// DeviceObject and calls CompletionFunction when it has completed.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  irql_check("PoRequestPowerIrp");
  NTSTATUS injected;
  if (inject_call_failure("PoRequestPowerIrp", &injected)) return injected;
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  PIRP irp = irp_allocate(top->StackSize, false);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = static_cast<POWER_STATE_TYPE>(PowerState.SystemState);
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  irp_set_finisher(irp, [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction != nullptr) {
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
    }
    irp_release(done);
  });
  if (Irp != nullptr) *Irp = irp;
  IofCallDriver(top, irp);
  return STATUS_PENDING;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  irql_check("PoStartNextPowerIrp");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  irql_check("PoCallDriver");
  return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Type);
  irql_check("PoSetPowerState");
  return State;
}

}  // extern "C"
