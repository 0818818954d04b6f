// The driver's list of device objects, taken whole and referenced: another
// camera's device object may be freed on another thread while the list is read.
#include "driver.h"

// Drops the references of the first Count entries.
static VOID CamDereferenceAll(PDEVICE_OBJECT* Objects, ULONG Count) {
  for (ULONG i = 0; i < Count; i++) ObDereferenceObject(Objects[i]);
}

// PASSIVE_LEVEL. The list lives in pool, as the enumeration asks; it is sized from
// a first count and taken again if a device object came meanwhile.
NTSTATUS CamReferenceDeviceObjects(PDRIVER_OBJECT DriverObject, CAM_DEVICE_OBJECTS* List) {
  ULONG count = 0;
  IoEnumerateDeviceObjectList(DriverObject, NULL, 0, &count);
  for (;;) {
    // One entry more than counted, so that an empty list is still a block.
    ULONG capacity = count + 1;
    PDEVICE_OBJECT* objects = (PDEVICE_OBJECT*)CamAllocatePool(capacity * sizeof(PDEVICE_OBJECT));
    if (objects == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status =
        IoEnumerateDeviceObjectList(DriverObject, objects, capacity * sizeof(PDEVICE_OBJECT), &count);
    if (NT_SUCCESS(status)) {
      List->Objects = objects;
      List->Count = count;
      return STATUS_SUCCESS;
    }
    // Too small: what fitted was referenced all the same.
    CamDereferenceAll(objects, capacity);
    ExFreePool(objects);
  }
}

// PASSIVE_LEVEL. A device object may be freed by this.
VOID CamReleaseDeviceObjects(CAM_DEVICE_OBJECTS* List) {
  CamDereferenceAll(List->Objects, List->Count);
  ExFreePool(List->Objects);
  List->Objects = NULL;
  List->Count = 0;
}
