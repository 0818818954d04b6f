// The bus driver object and the dispatch routines of its physical device objects.
#include <sim/usb_bus.h>

#include "../kernel/internal.h"

namespace sim {
namespace {

UsbBus* g_bus = nullptr;

UsbDevice* device_of(PDEVICE_OBJECT pdo) { return *static_cast<UsbDevice**>(pdo->DeviceExtension); }

NTSTATUS NTAPI bus_internal_control(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
  }
  auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb == nullptr) {
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  return device_of(DeviceObject)->dispatch_urb(Irp, urb);
}

NTSTATUS NTAPI bus_pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return device_of(DeviceObject)->dispatch_pnp(Irp);
}

NTSTATUS NTAPI bus_power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return device_of(DeviceObject)->dispatch_power(Irp);
}

// The bus provides no management data: a request for it is completed with the
// status it came with, as a physical device object that is no provider does.
NTSTATUS NTAPI bus_system_control(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

PDRIVER_OBJECT platform_driver_object(const std::wstring& service);
void destroy_platform_driver_object(PDRIVER_OBJECT object);

VOID NTAPI bus_cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  device_of(DeviceObject)->cancel(Irp);
}

UrbMatch UrbMatch::vendor(UCHAR request, std::optional<bool> in) {
  UrbMatch m;
  m.function = URB_FUNCTION_VENDOR_DEVICE;
  m.request = request;
  m.in = in;
  return m;
}

UrbMatch UrbMatch::descriptor(UCHAR type) {
  UrbMatch m;
  m.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  m.descriptor_type = type;
  return m;
}

UrbMatch UrbMatch::bulk(std::optional<UCHAR> endpoint) {
  UrbMatch m;
  m.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  m.endpoint = endpoint;
  return m;
}

UrbMatch UrbMatch::pipe_request(USHORT function, std::optional<UCHAR> endpoint) {
  UrbMatch m;
  m.function = function;
  m.endpoint = endpoint;
  return m;
}

UrbMatch UrbMatch::select_configuration() {
  UrbMatch m;
  m.function = URB_FUNCTION_SELECT_CONFIGURATION;
  return m;
}

UrbMatch UrbMatch::any() { return UrbMatch{}; }

UsbBus::UsbBus() : driver_(platform_driver_object(L"usbhub")) {
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = bus_internal_control;
  driver_->MajorFunction[IRP_MJ_PNP] = bus_pnp;
  driver_->MajorFunction[IRP_MJ_POWER] = bus_power;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = bus_system_control;
  g_bus = this;
}

UsbBus::~UsbBus() {
  devices_.clear();
  g_bus = nullptr;
  destroy_platform_driver_object(driver_);
}

UsbDevice& UsbBus::plug(const CameraConfig& config) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::wstring name = L"\\Device\\USBPDO-" + std::to_wstring(next_port_++);
  UNICODE_STRING unicode;
  RtlInitUnicodeString(&unicode, name.c_str());
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = device_create(driver_, sizeof(UsbDevice*), &unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
  if (!NT_SUCCESS(status)) {
    report_fault(Fault::InvalidArgument, "the bus could not create a physical device object");
    std::abort();
  }
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo->Flags |= DO_POWER_PAGABLE;
  devices_.push_back(std::make_unique<UsbDevice>(*this, config, pdo));
  *static_cast<UsbDevice**>(pdo->DeviceExtension) = devices_.back().get();
  return *devices_.back();
}

std::vector<UsbDevice*> UsbBus::devices() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<UsbDevice*> list;
  for (auto& d : devices_) list.push_back(d.get());
  return list;
}

void UsbBus::set_usbdi_version(ULONG version) { usbdi_version_ = version; }
ULONG UsbBus::usbdi_version() const { return usbdi_version_; }

UsbBus* current_bus() { return g_bus; }

}  // namespace sim
