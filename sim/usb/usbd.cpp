// The USBD library routines, behaving as Windows' do.
#include <sim/usb_bus.h>
#include <sim/usbdlib.h>

#include "../kernel/internal.h"

using namespace sim;

namespace {

ULONG interface_size(ULONG pipes) {
  return static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * pipes -
                            sizeof(USBD_PIPE_INFORMATION));
}

bool filter_matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

}  // namespace

extern "C" {

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  call_point("USBD_GetUSBDIVersion", VersionInformation);
  irql_check("USBD_GetUSBDIVersion");
  UsbBus* bus = current_bus();
  VersionInformation->USBDI_Version = bus != nullptr ? bus->usbdi_version() : 0x600;
  VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  call_point("USBD_ParseConfigurationDescriptorEx", ConfigurationDescriptor);
  irql_check("USBD_ParseConfigurationDescriptorEx");
  auto* base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  PUCHAR end = base + ConfigurationDescriptor->wTotalLength;
  for (auto* at = static_cast<PUCHAR>(StartPosition); at + 2 <= end && at[0] != 0; at += at[0]) {
    if (at[1] != USB_INTERFACE_DESCRIPTOR_TYPE || at[0] < sizeof(USB_INTERFACE_DESCRIPTOR) ||
        at + sizeof(USB_INTERFACE_DESCRIPTOR) > end) {
      continue;
    }
    auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at);
    if (filter_matches(InterfaceNumber, d->bInterfaceNumber) &&
        filter_matches(AlternateSetting, d->bAlternateSetting) &&
        filter_matches(InterfaceClass, d->bInterfaceClass) &&
        filter_matches(InterfaceSubClass, d->bInterfaceSubClass) &&
        filter_matches(InterfaceProtocol, d->bInterfaceProtocol)) {
      return d;
    }
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  irql_check("USBD_CreateConfigurationRequestEx");
  NTSTATUS injected;
  if (inject_call_failure("USBD_CreateConfigurationRequestEx", &injected, ConfigurationDescriptor))
    return nullptr;
  ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    size += interface_size(entry->InterfaceDescriptor->bNumEndpoints);
  }
  // The library's own tagged block, which the caller frees with ExFreePool.
  constexpr ULONG kUsbdTag = 'U' | 'S' << 8 | 'B' << 16 | 'D' << 24;
  auto urb = static_cast<PURB>(
      SimExAllocatePoolWithTagAt(NonPagedPoolNx, size, kUsbdTag, "USBD_CreateConfigurationRequestEx", 0));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
    info->Length = static_cast<USHORT>(interface_size(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    entry->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  return urb;
}

}  // extern "C"
