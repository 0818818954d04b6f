// The power dispatch routine. The device follows the power requests of the
// stack below it; every request passes down unchanged.
#include "power.h"

// PASSIVE_LEVEL (the device object is power pageable).
NTSTATUS NTAPI CamDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(CamExtension(DeviceObject)->LowerDeviceObject, Irp);
}
