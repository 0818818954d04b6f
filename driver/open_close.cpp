// Open and close of a handle on a camera.
#include "byte_order.h"
#include "driver.h"

// The record of a camera this driver serves, or NULL.
static const CAM_PRODUCT* CamRecognise(USHORT VendorId, USHORT ProductId) {
  return VendorId == CAM_VENDOR_ID ? CamFindProduct(ProductId) : NULL;
}

// Inside the request gate. Completes the request. Opens are served while the
// device is started, a query-remove pending included; a device that is stopping is
// not started for this purpose: a restart replaces the descriptor read here.
static NTSTATUS CamOpenHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCAM_DEVICE_EXTENSION Extension = CamExtension(DeviceObject);
  CAM_PNP_STATE state = CamPnpState(Extension);
  if (state == CamPnpSurpriseRemoved || state == CamPnpRemoved) {
    return CamCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  if (state != CamPnpStarted && state != CamPnpQueryRemoved)
    return CamCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  InterlockedIncrement(&Extension->OpenCount);
  // An idling device is brought to D0 for the opener. A power-up that the lower
  // drivers failed fails the open; a device that stopped meanwhile was not asked.
  NTSTATUS power = CamRequestDevicePower(DeviceObject);
  if (!NT_SUCCESS(power) && power != STATUS_DELETE_PENDING) {
    InterlockedDecrement(&Extension->OpenCount);
    return CamCompleteRequest(Irp, power, 0);
  }
  const UCHAR* descriptor = (const UCHAR*)Extension->DeviceDescriptor;
  USHORT vendor = CamGetU16(descriptor + FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, idVendor));
  USHORT product = CamGetU16(descriptor + FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, idProduct));
  const CAM_PRODUCT* record = CamRecognise(vendor, product);
  CamSetProduct(Extension, record);
  if (record == NULL) {
    InterlockedDecrement(&Extension->OpenCount);
    return CamCompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  }
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file == NULL) {
    InterlockedDecrement(&Extension->OpenCount);
    return CamCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  file->FsContext = NULL;
  PCAM_FILE_CONTEXT context = (PCAM_FILE_CONTEXT)CamAllocatePool(sizeof(CAM_FILE_CONTEXT));
  if (context == NULL) {
    InterlockedDecrement(&Extension->OpenCount);
    return CamCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  RtlZeroMemory(context, sizeof(*context));
  KeInitializeSpinLock(&context->StreamLock);
  file->FsContext = context;
  return CamCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// PASSIVE_LEVEL, in the opening thread. Completes the request. The open holds the
// request gate so that removal cannot free the device descriptor while it is read.
// The device has no namespace: a name with anything after the device's own is
// refused, whoever asks.
NTSTATUS NTAPI CamDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file != NULL && file->FileName.Length != 0) return CamCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  if (!CamEnterRequest(DeviceObject)) return CamCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  NTSTATUS status = CamOpenHandle(DeviceObject, Irp);
  CamLeaveRequest(DeviceObject);
  return status;
}

// PASSIVE_LEVEL, in the process that closes the handle's last user handle, which
// is where the stream's views were made. Also runs after removal: the stream's
// transfers have ended by then, and its memory is this handle's to free.
NTSTATUS NTAPI CamDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CamDetachStream(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject, TRUE);
  return CamCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// PASSIVE_LEVEL. Also runs after removal, while the device object is kept for the
// open handles: it touches only the handle's record, its stream (which cleanup
// has normally stopped already) and the open count.
NTSTATUS NTAPI CamDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  CamDetachStream(DeviceObject, file, FALSE);
  if (file != NULL && file->FsContext != NULL) {
    ExFreePool(file->FsContext);
    file->FsContext = NULL;
  }
  InterlockedDecrement(&CamExtension(DeviceObject)->OpenCount);
  return CamCompleteRequest(Irp, STATUS_SUCCESS, 0);
}
