// Power management: the power dispatch routine, the device's own power requests,
// and what the device does with its transfers as it leaves and regains D0.
#pragma once

#include "../driver/driver.h"

DRIVER_DISPATCH CamDispatchPower;
REQUEST_POWER_COMPLETE CamSystemPowerComplete;
REQUEST_POWER_COMPLETE CamDevicePowerRequestComplete;

// The device set-power path (device_power.cpp). PASSIVE_LEVEL, inside the gate,
// which each leaves for the request; both complete or pass the request on.
NTSTATUS CamDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The system path claims the device's power for its request; a power-up an opener
// has out is waited for first (device_power.cpp). PASSIVE_LEVEL.
VOID CamClaimSystemTransition(PCAM_DEVICE_EXTENSION Extension, PIRP Irp);

// Copies the current location to the next, lets the next power request in and
// hands this one to the lower driver. PASSIVE_LEVEL, or DISPATCH_LEVEL from a
// power request's callback.
NTSTATUS CamPassPowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Before the device leaves D0 (power_hold.cpp): no new transfer goes to the
// camera, and what is out is ended and waited for. PASSIVE_LEVEL.
VOID CamQuiesceForPowerDown(PDEVICE_OBJECT DeviceObject);
