// Driver objects: load, the default dispatch routine, unload with its leak checks;
// and the kernel's small utilities (debug output, hex formatting).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <sim/inject.h>
#include <sim/kernel.h>

#include "internal.h"

namespace sim {
namespace {

std::mutex g_log_mutex;
std::vector<std::string>& log_lines() {
  static auto* lines = new std::vector<std::string>();
  return *lines;
}

NTSTATUS NTAPI invalid_device_request(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// The driver object, its extension and its name live in one allocation.
struct DriverBlock {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::wstring name;
};

PDRIVER_OBJECT create_driver_object(const std::wstring& service) {
  auto* block = new DriverBlock{};
  block->name = L"\\Driver\\" + service;
  PDRIVER_OBJECT object = &block->object;
  object->Type = 4;
  object->Size = sizeof(DRIVER_OBJECT);
  object->DriverExtension = &block->extension;
  block->extension.DriverObject = object;
  RtlInitUnicodeString(&object->DriverName, block->name.c_str());
  for (auto& entry : object->MajorFunction) entry = invalid_device_request;
  return object;
}

void destroy_driver_object(PDRIVER_OBJECT object) {
  static_assert(offsetof(DriverBlock, object) == 0);
  delete reinterpret_cast<DriverBlock*>(object);
}

}  // namespace

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

PDRIVER_OBJECT platform_driver_object(const std::wstring& service) { return create_driver_object(service); }

void destroy_platform_driver_object(PDRIVER_OBJECT object) { destroy_driver_object(object); }

Driver::Driver(PDRIVER_INITIALIZE entry, std::wstring service_name)
    : entry_(entry), service_(std::move(service_name)) {}

Driver::~Driver() {
  if (object_ != nullptr) destroy_driver_object(object_);
}

PDRIVER_OBJECT Driver::object() {
  if (object_ != nullptr) return object_;
  PDRIVER_OBJECT object = create_driver_object(service_);
  std::wstring path = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_;
  UNICODE_STRING registry;
  RtlInitUnicodeString(&registry, path.c_str());
  driver_setup_begin();
  NTSTATUS status = entry_(object, &registry);
  driver_setup_end(true);
  object_ = object;
  if (!NT_SUCCESS(status)) {
    report_fault(Fault::InvalidArgument, "driver entry failed with " + hex(static_cast<ULONG>(status)));
  }
  return object_;
}

bool Driver::loaded() const { return object_ != nullptr; }

bool Driver::unload_if_idle() {
  PDRIVER_OBJECT object = object_;
  if (object == nullptr || driver_has_devices(object)) return false;
  if (object->DriverUnload != nullptr) object->DriverUnload(object);
  object_ = nullptr;
  destroy_driver_object(object);
  check_for_leaks("after the driver unloaded");
  return true;
}

std::vector<PDEVICE_OBJECT> Driver::devices() const {
  PDRIVER_OBJECT object = object_;
  return object == nullptr ? std::vector<PDEVICE_OBJECT>() : driver_devices(object);
}

std::vector<std::string> debug_log() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return log_lines();
}

void debug_log_clear() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  log_lines().clear();
}

void reset_kernel() {
  irp_reset_tracking();
  pool_reset();
  object_reset();
  lock_order_reset();
  power_reset();
  inject::clear();
  debug_log_clear();
  set_timeout_scale(1.0);
  set_hang_report_after(std::chrono::milliseconds(0));
  set_completion_nesting_limit(0);
  set_waiter_runs_first(false);
}

void check_for_leaks(const char* when) {
  pool_check_leaks(when);
  irp_check_leaks(when);
  mdl_check_leaks(when);
}

}  // namespace sim

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  UNREFERENCED_PARAMETER(ComponentId);
  UNREFERENCED_PARAMETER(Level);
  char text[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof(text), Format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(sim::g_log_mutex);
  sim::log_lines().push_back(text);
  return 0;
}
