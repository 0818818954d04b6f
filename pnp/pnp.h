// Plug and Play: dispatch, removal, start and configuration.
#pragma once

#include "../driver/driver.h"

DRIVER_DISPATCH CamDispatchPnp;
NTSTATUS CamRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID CamEndRequestsInside(PDEVICE_OBJECT DeviceObject);
NTSTATUS CamStartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS CamConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS CamSelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
