// Little drivers for the platform's own tests.
//
// LittleStack: one driver object with a stack of device objects (bottom first),
// the top one named \Device\SimLittle with the link \DosDevices\SimLittle so that an
// application opens it as \\.\SimLittle. A test installs the dispatch routines it
// needs; each device's extension says which layer it is and what lies below it.
//
// CameraRig: a plugged simulated camera under a pass-through function driver, the
// camera configured, with helpers that send URBs straight to its physical device
// object from the test.
#pragma once

#include <gtest/gtest.h>
#include <sim/app.h>
#include <sim/inject.h>
#include <sim/kernel.h>
#include <sim/platform.h>
#include <sim/usb_bus.h>
#include <sim/usbdlib.h>
#include <sim/verifier.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/signal.h"

namespace simtest {

using namespace std::chrono_literals;
// Only a hang detector: generous, so that a sanitizer build on a loaded machine never trips it.
constexpr auto kBound = std::chrono::seconds(20);

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

struct LayerExtension {
  PDEVICE_OBJECT lower;  // the device below in the stack, or null at the bottom
  int index;             // 0 at the bottom
  PVOID context;         // free for the test
};

inline LayerExtension* layer_of(PDEVICE_OBJECT device) {
  return static_cast<LayerExtension*>(device->DeviceExtension);
}

inline NTSTATUS complete_irp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS NTAPI complete_success(PDEVICE_OBJECT, PIRP irp) { return complete_irp(irp, STATUS_SUCCESS); }

// Passes the request to the device below with `routine` on this device's location
// (called on success, error and cancel).
inline NTSTATUS forward(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine,
                        PVOID context = nullptr) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
  return IoCallDriver(layer_of(device)->lower, irp);
}

// True when one of the reports an expectation swallowed contains `text`.
inline bool mentions(const sim::ExpectFault& expect, const std::string& text) {
  for (const std::string& message : expect.messages()) {
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

// Writes a byte out of reach of AddressSanitizer, as a faulty driver built without
// it would: the platform's own guard is what must notice.
__attribute__((no_sanitize("address"), noinline)) inline void unchecked_write(uint8_t* at, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(at) = value;
}

// A user view of `mdl` in the current process, made inside a guarded call as a
// driver must make it; null when the mapping failed.
inline PVOID map_user_view(PMDL mdl) {
  struct Mapping {
    PMDL mdl;
    PVOID view;
  } m{mdl, nullptr};
  SimCallGuarded(
      [](PVOID context) {
        auto* mapping = static_cast<Mapping*>(context);
        mapping->view = MmMapLockedPagesSpecifyCache(mapping->mdl, UserMode, MmCached, nullptr, FALSE,
                                                     NormalPagePriority);
      },
      &m);
  return m.view;
}

// Names each instance of a parameterised test after its case's `name`.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

inline NTSTATUS NTAPI little_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = complete_success;
  driver->MajorFunction[IRP_MJ_CLEANUP] = complete_success;
  driver->MajorFunction[IRP_MJ_CLOSE] = complete_success;
  return STATUS_SUCCESS;
}

using quorvex::test::Signal;

class LittleStack {
 public:
  static constexpr const wchar_t* kDeviceName = L"\\Device\\SimLittle";
  static constexpr const wchar_t* kLinkName = L"\\DosDevices\\SimLittle";
  static constexpr const wchar_t* kUserName = L"\\\\.\\SimLittle";

  explicit LittleStack(int layers = 1) : driver_(little_entry, L"simlittle") {
    PDRIVER_OBJECT object = driver_.object();
    for (int i = 0; i < layers; ++i) {
      UNICODE_STRING name;
      RtlInitUnicodeString(&name, kDeviceName);
      PDEVICE_OBJECT device = nullptr;
      NTSTATUS status = IoCreateDevice(object, sizeof(LayerExtension), i == layers - 1 ? &name : nullptr,
                                       FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
      EXPECT_EQ(status, STATUS_SUCCESS);
      layer_of(device)->index = i;
      layer_of(device)->lower =
          layers_.empty() ? nullptr : IoAttachDeviceToDeviceStack(device, layers_.back());
      device->Flags &= ~DO_DEVICE_INITIALIZING;
      layers_.push_back(device);
    }
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, kLinkName);
    RtlInitUnicodeString(&target, kDeviceName);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  }
  ~LittleStack() { finish(); }
  LittleStack(const LittleStack&) = delete;
  LittleStack& operator=(const LittleStack&) = delete;

  sim::Driver& driver() { return driver_; }
  PDEVICE_OBJECT top() { return layers_.back(); }
  PDEVICE_OBJECT layer(int index) { return layers_[static_cast<size_t>(index)]; }

  void set(UCHAR major, PDRIVER_DISPATCH routine) { driver_.object()->MajorFunction[major] = routine; }

  // An internal request as a driver allocates it for this stack, with `routine`
  // (if any) on the allocator's location.
  PIRP allocate(PIO_COMPLETION_ROUTINE routine = nullptr, PVOID context = nullptr) {
    PIRP irp = IoAllocateIrp(top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (routine != nullptr) IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    return irp;
  }

  sim::Handle open() {
    sim::Handle handle = sim::kInvalidHandle;
    EXPECT_EQ(sim::nt_create_file(kUserName, &handle), STATUS_SUCCESS);
    handles_.push_back(handle);
    return handle;
  }

  // Closes what is open, deletes the devices that are left, unloads the driver
  // (which checks for leaks) and resets the kernel for the next scenario.
  void finish() {
    if (finished_) return;
    finished_ = true;
    for (sim::Handle handle : handles_) sim::nt_close(handle);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    for (PDEVICE_OBJECT device : driver_.devices()) {
      if (layer_of(device)->lower != nullptr) IoDetachDevice(layer_of(device)->lower);
    }
    for (PDEVICE_OBJECT device : driver_.devices()) IoDeleteDevice(device);
    driver_.unload_if_idle();
    sim::reset_kernel();
  }

 private:
  sim::Driver driver_;
  std::vector<PDEVICE_OBJECT> layers_;
  std::vector<sim::Handle> handles_;
  bool finished_ = false;
};

// ---- a camera under a pass-through function driver ----

inline NTSTATUS NTAPI pass_down(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(layer_of(device)->lower, irp);
}

// Passes every request down; those every driver must handle it succeeds first.
inline NTSTATUS NTAPI pass_pnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = layer_of(device)->lower;
  bool required = minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
                  minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE ||
                  minor == IRP_MN_SURPRISE_REMOVAL;
  if (required) irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

inline NTSTATUS NTAPI pass_power(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(layer_of(device)->lower, irp);
}

inline NTSTATUS NTAPI pass_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(LayerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  layer_of(fdo)->index = 1;
  layer_of(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI pass_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = pass_add_device;
  driver->MajorFunction[IRP_MJ_PNP] = pass_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = pass_power;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pass_down;
  return STATUS_SUCCESS;
}

// One URB on its way to the camera in an IRP the test allocated. Its completion
// routine records what it saw, signals, and keeps the IRP (which the test frees).
struct UrbIrp {
  explicit UrbIrp(PDEVICE_OBJECT target) : target(target) {
    irp = IoAllocateIrp(target->StackSize, FALSE);
    memset(&urb, 0, sizeof(urb));
  }
  ~UrbIrp() {
    if (irp != nullptr) IoFreeIrp(irp);
  }
  UrbIrp(const UrbIrp&) = delete;
  UrbIrp& operator=(const UrbIrp&) = delete;

  // Sets up the bus's location for `submitted` (by default the URB inside).
  void prepare(PURB submitted = nullptr) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = submitted != nullptr ? submitted : &urb;
    IoSetCompletionRoutine(irp, on_complete, this, TRUE, TRUE, TRUE);
  }

  NTSTATUS send(PURB submitted = nullptr) {
    prepare(submitted);
    return IoCallDriver(target, irp);
  }

  // Sends and waits for the completion routine.
  NTSTATUS send_and_wait(PURB submitted = nullptr) {
    send(submitted);
    EXPECT_TRUE(done.wait());
    return status;
  }

  // A vendor request to the device; `flags` carries the direction.
  void vendor(UCHAR request, USHORT value, ULONG length, ULONG flags) {
    buffer.assign(length, 0xDE);
    auto& v = urb.UrbControlVendorClassRequest;
    v.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    v.TransferFlags = flags;
    v.TransferBufferLength = length;
    v.TransferBuffer = buffer.data();
    v.Request = request;
    v.Value = value;
  }

  void bulk(USBD_PIPE_HANDLE pipe, bool in, ULONG length) {
    buffer.assign(length, 0xDE);
    auto& b = urb.UrbBulkOrInterruptTransfer;
    b.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    b.PipeHandle = pipe;
    b.TransferFlags =
        in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    b.TransferBufferLength = length;
    b.TransferBuffer = buffer.data();
  }

  void pipe_request(USHORT function, USBD_PIPE_HANDLE pipe) {
    auto& p = urb.UrbPipeRequest;
    p.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    p.Hdr.Function = function;
    p.PipeHandle = pipe;
  }

  static NTSTATUS NTAPI on_complete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<UrbIrp*>(context);
    self->device_argument = device;
    self->irql = KeGetCurrentIrql();
    self->status = irp->IoStatus.Status;
    self->usbd = self->urb.UrbHeader.Status;
    self->completions++;
    self->order = ++sequence;
    self->thread = std::this_thread::get_id();
    if (self->hook) self->hook(self);
    self->done.set();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT target;
  PIRP irp = nullptr;
  URB urb;
  std::vector<uint8_t> buffer;
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbd = USBD_STATUS_PENDING;
  PDEVICE_OBJECT device_argument = nullptr;
  KIRQL irql = 0xFF;
  std::atomic<int> completions{0};
  int order = 0;           // when it completed, counted over all UrbIrps
  std::thread::id thread;  // where it completed
  static inline std::atomic<int> sequence{0};
  void (*hook)(UrbIrp*) = nullptr;  // runs inside the completion routine
  PVOID hook_context = nullptr;
  Signal done;
};

class CameraRig {
 public:
  explicit CameraRig(sim::CameraConfig config = {}) : config_(std::move(config)) {
    platform_ = std::make_unique<sim::Platform>(pass_entry, L"simpass");
    sim::Platform::Plugged plugged = platform_->plug(config_);
    EXPECT_EQ(plugged.add_status, STATUS_SUCCESS);
    EXPECT_EQ(plugged.start_status, STATUS_SUCCESS);
    device_ = plugged.device;
    configure();
  }
  ~CameraRig() { finish(); }
  CameraRig(const CameraRig&) = delete;
  CameraRig& operator=(const CameraRig&) = delete;

  sim::Platform& platform() { return *platform_; }
  sim::UsbDevice& device() { return *device_; }
  PDEVICE_OBJECT pdo() { return device_->pdo(); }
  USBD_PIPE_HANDLE pipe(UCHAR endpoint) { return pipes_[endpoint]; }
  static constexpr UCHAR kOut = 0x01;
  static constexpr UCHAR kIn = 0x82;

  std::unique_ptr<UrbIrp> bulk(ULONG length, UCHAR endpoint = kIn) {
    auto request = std::make_unique<UrbIrp>(pdo());
    request->bulk(pipe(endpoint), (endpoint & 0x80) != 0, length);
    return request;
  }
  // An IN transfer sent and queued on `endpoint`, waiting for data.
  std::unique_ptr<UrbIrp> pending_in(UCHAR endpoint = kIn, ULONG length = 4096) {
    auto request = bulk(length, endpoint);
    size_t before = device_->pending_transfers();
    EXPECT_EQ(request->send(), STATUS_PENDING);
    EXPECT_TRUE(device_->wait_for_pending(before + 1, kBound));
    return request;
  }
  std::unique_ptr<UrbIrp> pipe_request(USHORT function, UCHAR endpoint = kIn) {
    auto request = std::make_unique<UrbIrp>(pdo());
    request->pipe_request(function, pipe(endpoint));
    return request;
  }
  // A register read (vendor IN request 0xB7) of two bytes.
  std::unique_ptr<UrbIrp> read_register(UCHAR reg) {
    auto request = std::make_unique<UrbIrp>(pdo());
    request->vendor(0xB7, reg, 2, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    return request;
  }

  // Removes the camera, unloads the driver and checks for leaks.
  void finish() { platform_.reset(); }

  // Selects the configuration (again, after an unconfigure) and learns its pipes.
  void configure() {
    std::vector<uint8_t> bytes = sim::build_configuration_descriptor(config_);
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(select, nullptr);
    ASSERT_EQ(UrbIrp(pdo()).send_and_wait(select), STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p)
      pipes_[info->Pipes[p].EndpointAddress] = info->Pipes[p].PipeHandle;
    ExFreePool(select);
  }

 private:
  sim::CameraConfig config_;
  std::unique_ptr<sim::Platform> platform_;
  sim::UsbDevice* device_ = nullptr;
  std::map<UCHAR, USBD_PIPE_HANDLE> pipes_;
};

}  // namespace simtest
