// Plug and Play of the bus and of its cameras: enumeration of the children, their
// identifiers and capabilities, start and removal; plugging and unplugging.
#include "bus.h"

qvx_camera* qvx_camera_at(qvx_bus* bus, ULONG slot) {
  return slot < QVXBUS_MAX_CAMERAS ? &bus->cameras[slot] : NULL;
}

// PASSIVE_LEVEL. Passes the request down and waits for it to come back.
static NTSTATUS NTAPI qvx_wake(PDEVICE_OBJECT device, PIRP irp, PVOID event) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent((PKEVENT)event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS qvx_forward_and_wait(qvx_bus* bus, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, qvx_wake, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(bus->lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  return irp->IoStatus.Status;
}

// The children still plugged in, each referenced for the Plug and Play manager.
// Records whether the list differs from the one reported before, which is what a
// waiting settle request is told.
static NTSTATUS qvx_bus_relations(qvx_bus* bus, PIRP irp) {
  ULONG size = sizeof(DEVICE_RELATIONS) + QVXBUS_MAX_CAMERAS * sizeof(PDEVICE_OBJECT);
  PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePool(PagedPool, size);
  if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 0;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  for (ULONG i = 0; i < QVXBUS_MAX_CAMERAS; i++) {
    qvx_camera* camera = &bus->cameras[i];
    if (camera->plugged && camera->pdo != NULL) {
      ObReferenceObject(camera->pdo);
      relations->Objects[relations->Count++] = camera->pdo;
    }
  }
  bus->quiet = bus->reported == bus->changes;
  bus->reported = bus->changes;
  KeReleaseSpinLock(&bus->lock, irql);
  // A list handed down by a filter above would be replaced here; the bus is the
  // only driver that reports these children.
  if (irp->IoStatus.Information != 0) ExFreePool((PVOID)irp->IoStatus.Information);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

// Tells a test waiting for the bus that it is there, through the event the test
// made for it; with no test waiting there is no event and nothing to tell.
static void qvx_announce_start() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, QVXBUS_STARTED_EVENT);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE event;
  if (!NT_SUCCESS(ZwOpenEvent(&event, EVENT_MODIFY_STATE, &attributes))) return;
  ZwSetEvent(event, NULL);
  ZwClose(event);
}

NTSTATUS qvx_bus_pnp(qvx_bus* bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = qvx_forward_and_wait(bus, irp);
      if (NT_SUCCESS(status)) qvx_announce_start();
      return qvx_complete(irp, status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        NTSTATUS status = qvx_bus_relations(bus, irp);
        if (!NT_SUCCESS(status)) return qvx_complete(irp, status, 0);
        irp->IoStatus.Status = status;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(bus->lower, irp);
        qvx_settle_answered(bus);
        return status;
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // Only once every child is gone: the Plug and Play manager removes them first.
      InterlockedExchange(&bus->stopping, 1);
      KeSetEvent(&bus->work, IO_NO_INCREMENT, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      PDEVICE_OBJECT lower = bus->lower;
      NTSTATUS status = IoCallDriver(lower, irp);
      if (bus->worker != NULL) {
        KeWaitForSingleObject(bus->worker, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(bus->worker);
      }
      qvx_the_bus = NULL;
      IoDetachDevice(lower);
      IoDeleteDevice(bus->fdo);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

// Identifiers ------------------------------------------------------------------

static WCHAR* qvx_put(WCHAR* at, const WCHAR* text) {
  while (*text) *at++ = *text++;
  return at;
}

// Ends one string of a multi-string.
static WCHAR* qvx_end(WCHAR* at) {
  *at = 0;
  return at + 1;
}

static WCHAR* qvx_put_hex(WCHAR* at, ULONG value, int digits) {
  for (int i = digits - 1; i >= 0; i--) *at++ = L"0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
  return at;
}

static WCHAR* qvx_put_usb_id(WCHAR* at, qvx_camera* camera) {
  at = qvx_put_hex(qvx_put(at, L"USB\\VID_"), camera->vendor_id, 4);
  return qvx_put_hex(qvx_put(at, L"&PID_"), camera->product_id, 4);
}

// The identifier strings a USB hub gives a device with one vendor-class
// interface; multi-strings end with an empty string. The caller frees the result.
static WCHAR* qvx_device_id(qvx_camera* camera, BUS_QUERY_ID_TYPE type) {
  WCHAR* id = (WCHAR*)ExAllocatePool(PagedPool, 256 * sizeof(WCHAR));
  if (id == NULL) return NULL;
  WCHAR* at = id;
  switch (type) {
    case BusQueryDeviceID:
      at = qvx_put_usb_id(at, camera);
      break;
    case BusQueryHardwareIDs:
      at = qvx_end(qvx_put(qvx_put_usb_id(at, camera), L"&REV_0100"));
      at = qvx_end(qvx_put_usb_id(at, camera));
      break;
    case BusQueryCompatibleIDs:
      at = qvx_end(qvx_put(at, L"USB\\Class_FF&SubClass_00&Prot_00"));
      at = qvx_end(qvx_put(at, L"USB\\Class_FF&SubClass_00"));
      at = qvx_end(qvx_put(at, L"USB\\Class_FF"));
      break;
    case BusQueryInstanceID:
      at = qvx_put_hex(qvx_put(at, L"QVX"), camera->serial, 8);
      break;
    default:
      ExFreePool(id);
      return NULL;
  }
  *at = 0;
  return id;
}

static NTSTATUS qvx_query_id(qvx_camera* camera, PIRP irp) {
  BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType;
  if (type != BusQueryDeviceID && type != BusQueryHardwareIDs && type != BusQueryCompatibleIDs &&
      type != BusQueryInstanceID) {
    return qvx_complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
  WCHAR* id = qvx_device_id(camera, type);
  return qvx_complete(irp, id != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, (ULONG_PTR)id);
}

// A removable USB device, powered only in the working state, without wake.
static NTSTATUS qvx_capabilities(qvx_camera* camera, PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
    return qvx_complete(irp, STATUS_UNSUCCESSFUL, 0);
  }
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = TRUE;
  caps->UniqueID = FALSE;
  caps->Address = camera->slot + 1;
  caps->UINumber = camera->slot + 1;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++) caps->DeviceState[s] = PowerDeviceD3;
  caps->SystemWake = PowerSystemWorking;
  caps->DeviceWake = PowerDeviceUnspecified;
  return qvx_complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS qvx_target_relation(qvx_camera* camera, PIRP irp) {
  PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS));
  if (relations == NULL) return qvx_complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  ObReferenceObject(camera->pdo);
  relations->Count = 1;
  relations->Objects[0] = camera->pdo;
  return qvx_complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
}

// A camera's device object goes once the camera is unplugged and its removal is
// done; a removal while it is still plugged leaves it for the next enumeration.
static NTSTATUS qvx_camera_remove(qvx_camera* camera, PIRP irp) {
  InterlockedExchange(&camera->started, 0);
  qvx_abort_all(camera, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  qvx_bus* bus = camera->bus;
  PDEVICE_OBJECT gone = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  if (!camera->plugged) {
    gone = camera->pdo;
    camera->pdo = NULL;
  }
  KeReleaseSpinLock(&bus->lock, irql);
  NTSTATUS status = qvx_complete(irp, STATUS_SUCCESS, 0);
  if (gone != NULL) IoDeleteDevice(gone);
  return status;
}

NTSTATUS qvx_camera_pnp(qvx_camera* camera, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  qvx_trace_pnp(camera, stack->MinorFunction);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      InterlockedExchange(&camera->started, 1);
      return qvx_complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID:
      return qvx_query_id(camera, irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return qvx_capabilities(camera, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        return qvx_target_relation(camera, irp);
      }
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      InterlockedExchange(&camera->started, 0);
      qvx_abort_all(camera, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
      return qvx_complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE:
      return qvx_camera_remove(camera, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      return qvx_complete(irp, STATUS_SUCCESS, 0);
    default:
      break;
  }
  return qvx_complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

// Plugging and unplugging --------------------------------------------------------

static ULONG qvx_claim_slot(qvx_bus* bus, PDEVICE_OBJECT pdo, USHORT vendor, USHORT product) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  ULONG slot = 0;
  while (slot < QVXBUS_MAX_CAMERAS && (bus->cameras[slot].pdo != NULL || bus->cameras[slot].plugged)) slot++;
  if (slot < QVXBUS_MAX_CAMERAS) {
    qvx_camera* camera = &bus->cameras[slot];
    qvx_camera_init(camera, vendor, product);
    camera->bus = bus;
    camera->slot = slot;
    camera->serial = ++bus->next_serial;
    camera->pdo = pdo;
    camera->plugged = 1;
    ((qvx_child*)pdo->DeviceExtension)->camera = camera;
    bus->changes++;
  }
  KeReleaseSpinLock(&bus->lock, irql);
  return slot;
}

// PASSIVE_LEVEL. The camera appears to Plug and Play at its next enumeration,
// which this asks for.
NTSTATUS qvx_plug(qvx_bus* bus, USHORT vendor, USHORT product, ULONG* slot) {
  PDEVICE_OBJECT pdo;
  NTSTATUS status = IoCreateDevice(bus->fdo->DriverObject, sizeof(qvx_child), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return status;
  ((qvx_child*)pdo->DeviceExtension)->kind = QVX_CAMERA_DEVICE;
  pdo->Flags |= DO_POWER_PAGABLE;
  *slot = qvx_claim_slot(bus, pdo, vendor, product);
  if (*slot == QVXBUS_MAX_CAMERAS) {
    IoDeleteDevice(pdo);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The camera leaves the next enumeration, which brings its
// surprise removal and removal.
NTSTATUS qvx_unplug(qvx_bus* bus, ULONG slot) {
  qvx_camera* camera = qvx_camera_at(bus, slot);
  if (camera == NULL) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  BOOLEAN was_plugged = camera->plugged != 0;
  camera->plugged = 0;
  if (was_plugged) bus->changes++;
  KeReleaseSpinLock(&bus->lock, irql);
  if (!was_plugged) return STATUS_NO_SUCH_DEVICE;
  // From here on the camera answers nothing, as a device that left the bus.
  qvx_abort_all(camera, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  return STATUS_SUCCESS;
}
