// Device objects, their stacks, and the object namespace (device names and
// symbolic links). A deleted device object stays allocated while handles are
// open on it, as on Windows, and goes when the last one closes.
// Locks: the table lock guards names, links, the device list, each device's
// reference count and initialisation state, and drivers' device lists.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include <sim/kernel.h>

#include "internal.h"

namespace sim {
namespace {

// Whether the I/O manager may open a device. One created inside the driver's
// entry or AddDevice is initialising until the platform, on the thread that ran
// the driver, has seen the call return: the driver's own clearing of
// DO_DEVICE_INITIALIZING is never read by another thread.
enum class Readiness { ReadFlag, Initialising, Ready };

struct DeviceInfo {
  std::wstring name;
  bool deleted = false;
  int references = 0;  // taken by IoEnumerateDeviceObjectList, dropped by ObDereferenceObject
  Readiness readiness = Readiness::ReadFlag;
};

thread_local int t_setup_depth = 0;
thread_local std::vector<PDEVICE_OBJECT> t_setup_created;

struct ObjectTable {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, DeviceInfo> devices;
  std::map<std::wstring, PDEVICE_OBJECT> names;
  std::map<std::wstring, std::wstring> links;
};

ObjectTable& table() {
  static ObjectTable* t = new ObjectTable();
  return *t;
}

std::wstring to_wstring(PUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

void unlink_from_driver(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == device) *link = device->NextDevice;
  device->NextDevice = nullptr;
}

// Frees a device object already taken off its driver's list.
void free_device(PDEVICE_OBJECT device) {
  if (device->DeviceExtension != nullptr) pool_free(device->DeviceExtension, PoolOwner::Platform);
  memset(static_cast<void*>(device), 0xDD, sizeof(*device));
  std::free(device);
}

// A deleted device object stays while a handle or a pointer references it or a
// device is still attached to it: the driver above may detach only after passing
// remove-device down to the driver that deleted it. Table lock held.
bool releasable(PDEVICE_OBJECT device) {
  auto it = table().devices.find(device);
  int references = it == table().devices.end() ? 0 : it->second.references;
  return device->ReferenceCount == 0 && device->AttachedDevice == nullptr && references == 0;
}

// A device object stays on its driver's list until it is freed, as on Windows: a
// deleted one that handles keep alive is still walked by its driver. It leaves the
// list under the table lock, so that the driver is never seen without devices while
// one is still linked to it (the driver object may go as soon as it has none).
void forget_locked(PDEVICE_OBJECT device) {
  unlink_from_driver(device);
  table().devices.erase(device);
}

}  // namespace

PDEVICE_OBJECT device_lookup(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().names.find(name);
  return it == table().names.end() ? nullptr : it->second;
}

std::wstring symlink_target(const std::wstring& link) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().links.find(link);
  return it == table().links.end() ? std::wstring() : it->second;
}

PDEVICE_OBJECT device_open_by_name(const std::wstring& name, bool* initialising) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().names.find(name);
  if (it == table().names.end()) return nullptr;
  PDEVICE_OBJECT device = it->second;
  Readiness readiness = table().devices[device].readiness;
  *initialising = readiness == Readiness::Initialising ||
                  (readiness == Readiness::ReadFlag && (device->Flags & DO_DEVICE_INITIALIZING) != 0);
  device->ReferenceCount++;
  return device;
}

LONG device_reference_count(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(table().mutex);
  return device->ReferenceCount;
}

void driver_setup_begin() { t_setup_depth++; }

void driver_setup_end(bool clear_flags) {
  if (--t_setup_depth > 0) return;
  std::lock_guard<std::mutex> lock(table().mutex);
  for (PDEVICE_OBJECT device : t_setup_created) {
    auto it = table().devices.find(device);
    if (it == table().devices.end()) continue;
    if (clear_flags) device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!(device->Flags & DO_DEVICE_INITIALIZING)) it->second.readiness = Readiness::Ready;
  }
  t_setup_created.clear();
}

// Drops a handle's reference; frees a deleted device object with the last one.
bool device_dereference(PDEVICE_OBJECT device) {
  bool free_now = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    --device->ReferenceCount;
    free_now = table().devices[device].deleted && releasable(device);
    if (free_now) forget_locked(device);
  }
  if (free_now) free_device(device);
  return free_now;
}

std::vector<PDEVICE_OBJECT> driver_devices(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> lock(table().mutex);
  std::vector<PDEVICE_OBJECT> list;
  for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) list.push_back(d);
  return list;
}

bool driver_has_devices(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> lock(table().mutex);
  for (auto& [device, info] : table().devices) {
    if (device->DriverObject == driver) return true;
  }
  return false;
}

// Device objects a scenario left behind (reported as leaks by then) go too.
void object_reset() {
  std::map<PDEVICE_OBJECT, DeviceInfo> left;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    table().names.clear();
    table().links.clear();
    left.swap(table().devices);
  }
  // Their drivers may be gone already: free without touching the driver's list.
  for (auto& [device, info] : left) free_device(device);
}

PDEVICE_OBJECT find_device(const std::wstring& device_name) { return device_lookup(device_name); }

bool symbolic_link_exists(const std::wstring& link_name) { return !symlink_target(link_name).empty(); }

int deferred_device_count() {
  std::lock_guard<std::mutex> lock(table().mutex);
  return static_cast<int>(std::count_if(table().devices.begin(), table().devices.end(),
                                        [](auto& entry) { return entry.second.deleted; }));
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  irql_check("RtlInitUnicodeString");
  size_t length = SourceString ? wcslen(SourceString) * sizeof(WCHAR) : 0;
  DestinationString->Length = static_cast<USHORT>(length);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length + sizeof(WCHAR) : 0);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                              BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
  irql_check("IoCreateDevice");
  NTSTATUS injected;
  if (inject_call_failure("IoCreateDevice", &injected, DriverObject)) return injected;
  return device_create(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                       Exclusive, DeviceObject);
}

}  // extern "C"

namespace sim {

NTSTATUS device_create(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                       DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                       PDEVICE_OBJECT* DeviceObject) {
  std::wstring name = to_wstring(DeviceName);
  auto device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
  device->Type = kIoTypeDevice;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  if (DeviceExtensionSize > 0) {
    device->DeviceExtension = pool_alloc(DeviceExtensionSize, PoolOwner::Platform, "IoCreateDevice", 0);
    memset(device->DeviceExtension, 0, DeviceExtensionSize);
  }
  {
    // Published by name only once filled in. The driver's list keeps the newest
    // device object first.
    std::lock_guard<std::mutex> lock(table().mutex);
    if (!name.empty() && table().names.count(name)) {
      if (device->DeviceExtension != nullptr) pool_free(device->DeviceExtension, PoolOwner::Platform);
      std::free(device);
      return STATUS_OBJECT_NAME_COLLISION;
    }
    if (!name.empty()) table().names[name] = device;
    bool setup = t_setup_depth > 0;
    table().devices[device] =
        DeviceInfo{name, false, 0, setup ? Readiness::Initialising : Readiness::ReadFlag};
    if (setup) t_setup_created.push_back(device);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

}  // namespace sim

extern "C" {

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  call_point("IoDeleteDevice", DeviceObject);
  irql_check("IoDeleteDevice");
  bool free_now = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    auto it = table().devices.find(DeviceObject);
    if (it == table().devices.end() || it->second.deleted) {
      report_fault(Fault::InvalidArgument, "IoDeleteDevice on a device object that is not live");
      return;
    }
    if (!it->second.name.empty()) table().names.erase(it->second.name);
    it->second.deleted = true;
    free_now = releasable(DeviceObject);
    if (free_now) forget_locked(DeviceObject);
  }
  if (free_now) free_device(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  irql_check("IoCreateSymbolicLink");
  NTSTATUS injected;
  if (inject_call_failure("IoCreateSymbolicLink", &injected)) return injected;
  std::lock_guard<std::mutex> lock(table().mutex);
  std::wstring link = to_wstring(SymbolicLinkName);
  if (table().links.count(link)) return STATUS_OBJECT_NAME_COLLISION;
  table().links[link] = to_wstring(DeviceName);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  call_point("IoDeleteSymbolicLink", SymbolicLinkName);
  irql_check("IoDeleteSymbolicLink");
  std::lock_guard<std::mutex> lock(table().mutex);
  return table().links.erase(to_wstring(SymbolicLinkName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Every device object on the driver's list, each referenced for the caller, as
// many as fit; the count is of the whole list.
NTSTATUS NTAPI IoEnumerateDeviceObjectList(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObjectList,
                                           ULONG DeviceObjectListSize, PULONG ActualNumberDeviceObjects) {
  call_point("IoEnumerateDeviceObjectList", DriverObject);
  if (current_irql() > APC_LEVEL)
    report_fault(Fault::InvalidArgument, "IoEnumerateDeviceObjectList above APC_LEVEL");
  std::lock_guard<std::mutex> lock(table().mutex);
  ULONG fits = DeviceObjectList == nullptr ? 0 : DeviceObjectListSize / sizeof(PDEVICE_OBJECT);
  ULONG count = 0;
  for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d != nullptr; d = d->NextDevice, ++count) {
    if (count >= fits) continue;
    table().devices[d].references++;
    DeviceObjectList[count] = d;
  }
  *ActualNumberDeviceObjects = count;
  return count > fits ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

// Only device objects are referenced for drivers here. The last reference to a
// deleted one frees it; its driver may then be unloaded, later, on the Plug and
// Play thread (the caller may be that thread, inside one of the driver's routines).
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
  call_point("ObfDereferenceObject", Object);
  if (current_irql() > DISPATCH_LEVEL)
    report_fault(Fault::InvalidArgument, "ObDereferenceObject above DISPATCH_LEVEL");
  auto device = static_cast<PDEVICE_OBJECT>(Object);
  PDRIVER_OBJECT driver = nullptr;
  bool free_now = false;
  LONG_PTR left = 0;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    auto it = table().devices.find(device);
    if (it == table().devices.end() || it->second.references == 0) {
      report_fault(Fault::InvalidArgument, "ObDereferenceObject of an object with no reference taken");
      return 0;
    }
    left = --it->second.references;
    driver = device->DriverObject;
    free_now = it->second.deleted && releasable(device);
    if (free_now) forget_locked(device);
  }
  if (free_now) {
    free_device(device);
    run_close_hook(nullptr, driver, true, false);
  }
  return left;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  call_point("IoGetAttachedDevice", DeviceObject);
  irql_check("IoGetAttachedDevice");
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  irql_check("IoAttachDeviceToDeviceStack");
  NTSTATUS injected;
  if (inject_call_failure("IoAttachDeviceToDeviceStack", &injected, SourceDevice)) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  call_point("IoDetachDevice", TargetDevice);
  irql_check("IoDetachDevice");
  if (TargetDevice->AttachedDevice == nullptr) {
    report_fault(Fault::InvalidArgument, "IoDetachDevice on a device with nothing attached");
    return;
  }
  bool free_now = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    TargetDevice->AttachedDevice = nullptr;
    auto it = table().devices.find(TargetDevice);
    free_now = it != table().devices.end() && it->second.deleted && releasable(TargetDevice);
    if (free_now) forget_locked(TargetDevice);
  }
  if (free_now) free_device(TargetDevice);
}

}  // extern "C"
