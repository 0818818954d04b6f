// Device start: read the device descriptor, read the configuration, select its
// first interface and keep the pipe table. Descriptors come from the device and
// are checked before anything relies on them.
#include "../driver/byte_order.h"
#include "pnp.h"

#define CAM_CONFIG_HEADER_BYTES 9
#define CAM_CONFIG_SLACK 16

static PURB CamAllocateDescriptorUrb() {
  return (PURB)CamAllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
}

// Fills the descriptor request from a zeroed block: nothing of an earlier request,
// nor what the stack wrote back into it, goes down again.
static VOID CamBuildDescriptorRead(PURB Urb, UCHAR Type, PVOID Buffer, ULONG Length) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
  RtlZeroMemory(request, sizeof(*request));
  request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request->DescriptorType = Type;
  request->Index = 0;
  request->LanguageId = 0;
  request->TransferBuffer = Buffer;
  request->TransferBufferLength = Length;
  request->TransferBufferMDL = NULL;
  request->UrbLink = NULL;
}

// Reads a descriptor and checks that the device delivered at least `Needed` bytes.
static NTSTATUS CamReadDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Type, PVOID Buffer,
                                  ULONG Length, ULONG Needed) {
  CamBuildDescriptorRead(Urb, Type, Buffer, Length);
  NTSTATUS status = CamSubmitUrbSync(DeviceObject, Urb);
  if (NT_SUCCESS(status) && Urb->UrbControlDescriptorRequest.TransferBufferLength < Needed) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  return status;
}

// PASSIVE_LEVEL, after the lower drivers started the device.
NTSTATUS CamStartDevice(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  PURB urb = CamAllocateDescriptorUrb();
  PVOID block = CamAllocatePool(sizeof(USB_DEVICE_DESCRIPTOR));
  if (urb == NULL || block == NULL) {
    if (urb != NULL) ExFreePool(urb);
    if (block != NULL) ExFreePool(block);
    return STATUS_NO_MEMORY;
  }
  NTSTATUS status = CamReadDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, block,
                                      sizeof(USB_DEVICE_DESCRIPTOR), sizeof(USB_DEVICE_DESCRIPTOR));
  // A restart after stop replaces the descriptor of the earlier start.
  if (extension->DeviceDescriptor != NULL) ExFreePool(extension->DeviceDescriptor);
  if (NT_SUCCESS(status)) {
    extension->DeviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)block;
  } else {
    ExFreePool(block);
    extension->DeviceDescriptor = NULL;
  }
  ExFreePool(urb);
  return NT_SUCCESS(status) ? CamConfigureDevice(DeviceObject) : status;
}

// Checks the descriptor chain of a configuration: every descriptor lies inside
// wTotalLength, there is an interface, and the first interface's endpoint
// descriptors are all there.
static NTSTATUS CamCheckConfiguration(const UCHAR* Config, ULONG TotalLength) {
  const UCHAR* firstInterface = NULL;
  ULONG endpoints = 0;
  for (ULONG at = 0; at < TotalLength;) {
    ULONG length = Config[at];
    if (length < 2 || at + length > TotalLength) return STATUS_DEVICE_DATA_ERROR;
    UCHAR type = Config[at + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      if (firstInterface != NULL) break;
      firstInterface = Config + at;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && firstInterface != NULL &&
               length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      endpoints++;
    }
    at += length;
  }
  if (firstInterface == NULL) return STATUS_DEVICE_CONFIGURATION_ERROR;
  UCHAR claimed = ((const USB_INTERFACE_DESCRIPTOR*)firstInterface)->bNumEndpoints;
  return endpoints < claimed ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS;
}

// Reads the whole configuration into a block of wTotalLength + 16 bytes.
static NTSTATUS CamReadConfiguration(PDEVICE_OBJECT DeviceObject, PURB Urb, PUCHAR* Config) {
  PUCHAR header = (PUCHAR)CamAllocatePool(CAM_CONFIG_HEADER_BYTES + CAM_CONFIG_SLACK);
  if (header == NULL) return STATUS_NO_MEMORY;
  NTSTATUS status = CamReadDescriptor(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                      CAM_CONFIG_HEADER_BYTES, CAM_CONFIG_HEADER_BYTES);
  ULONG total = CamGetU16(header + FIELD_OFFSET(USB_CONFIGURATION_DESCRIPTOR, wTotalLength));
  ExFreePool(header);
  if (!NT_SUCCESS(status)) return status;
  if (total < CAM_CONFIG_HEADER_BYTES) return STATUS_DEVICE_DATA_ERROR;
  PUCHAR config = (PUCHAR)CamAllocatePool(total + CAM_CONFIG_SLACK);
  if (config == NULL) return STATUS_NO_MEMORY;
  status = CamReadDescriptor(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config,
                             total + CAM_CONFIG_SLACK, total);
  // The block is sized by the first read: a second that claims another length
  // describes a configuration other than the one read whole.
  if (NT_SUCCESS(status) &&
      CamGetU16(config + FIELD_OFFSET(USB_CONFIGURATION_DESCRIPTOR, wTotalLength)) != total) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status)) status = CamCheckConfiguration(config, total);
  if (!NT_SUCCESS(status)) {
    ExFreePool(config);
    return status;
  }
  // The second read's wTotalLength, equal to the first, is what the parsers below
  // walk; it was checked above.
  *Config = config;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The pipe table of an earlier start is stale once the device was
// unconfigured, so it goes before anything is read.
NTSTATUS CamConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PCAM_DEVICE_EXTENSION extension = CamExtension(DeviceObject);
  if (extension->InterfaceInfo != NULL) {
    ExFreePool(extension->InterfaceInfo);
    extension->InterfaceInfo = NULL;
    extension->ConfigurationHandle = NULL;
  }
  PURB urb = CamAllocateDescriptorUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  PUCHAR config = NULL;
  NTSTATUS status = CamReadConfiguration(DeviceObject, urb, &config);
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) return status;
  status = CamSelectConfiguration(DeviceObject, (PUSB_CONFIGURATION_DESCRIPTOR)config);
  ExFreePool(config);
  return status;
}

// Keeps a copy of the interface information the USB stack filled in.
static NTSTATUS CamKeepPipeTable(PCAM_DEVICE_EXTENSION Extension, PURB Urb) {
  PUSBD_INTERFACE_INFORMATION selected = &Urb->UrbSelectConfiguration.Interface;
  PUSBD_INTERFACE_INFORMATION copy = (PUSBD_INTERFACE_INFORMATION)CamAllocatePool(selected->Length);
  if (copy == NULL) return STATUS_NO_MEMORY;
  RtlCopyMemory(copy, selected, selected->Length);
  Extension->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;
  Extension->InterfaceInfo = copy;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Selects the configuration with its first interface, every pipe
// allowed transfers of up to 512 KiB.
NTSTATUS CamSelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(
      ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (first == NULL) return STATUS_DEVICE_CONFIGURATION_ERROR;
  USBD_INTERFACE_LIST_ENTRY interfaces[2];
  interfaces[0].InterfaceDescriptor = first;
  interfaces[0].Interface = NULL;
  interfaces[1].InterfaceDescriptor = NULL;
  interfaces[1].Interface = NULL;
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaces);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  CamHexDump(urb, urb->UrbHeader.Length);
  for (ULONG i = 0; i < first->bNumEndpoints; i++) {
    urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize = CAM_PIPE_MAX_TRANSFER_SIZE;
  }
  NTSTATUS status = CamSubmitUrbSync(DeviceObject, urb);
  CamHexDump(urb, urb->UrbHeader.Length);
  if (NT_SUCCESS(status)) {
    NTSTATUS kept = CamKeepPipeTable(CamExtension(DeviceObject), urb);
    if (!NT_SUCCESS(kept)) status = kept;
  }
  ExFreePool(urb);
  return status;
}
