// A triggered read of one whole frame from a camera with no bandwidth limit, timed
// against a minimal driver that only chains 512 KiB transfers straight into the
// caller's buffer through the same request, and against one memcpy of the frame.
// Each figure is the minimum over the repetitions; the ratios are printed last.
#include <benchmark/benchmark.h>
#include <sim/app.h>
#include <sim/platform.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "include/quorvex/quorvex.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr ULONG kFrame = 2592 * 1944;
constexpr ULONG kChunk = 0x80000;

struct Rig {
  std::unique_ptr<sim::Platform> platform;
  sim::UsbDevice* device = nullptr;
  sim::Handle handle = sim::kInvalidHandle;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kFrame);
};
Rig* g_rig = nullptr;
std::map<std::string, double> g_min;  // seconds

// Keeps the minimum of a figure; returns the seconds it took this time.
double note(const std::string& name, std::chrono::steady_clock::duration took) {
  double seconds = std::chrono::duration<double>(took).count();
  auto it = g_min.find(name);
  if (it == g_min.end() || seconds < it->second) g_min[name] = seconds;
  return seconds;
}

// ---- the minimal driver: one IRP re-armed from its completion, chunk after chunk ----

struct MinimalRead {
  PURB urb;
  PIRP irp;
  PDEVICE_OBJECT lower;
  USBD_PIPE_HANDLE pipe;
  PUCHAR buffer;
  ULONG length;
  ULONG issued;
  ULONG received;
  KEVENT done;
};

void arm(MinimalRead* r) {
  ULONG chunk = std::min(r->length - r->issued, kChunk);
  auto& b = r->urb->UrbBulkOrInterruptTransfer;
  memset(&b, 0, sizeof(b));
  b.Hdr.Length = sizeof(b);
  b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  b.PipeHandle = r->pipe;
  b.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  b.TransferBufferLength = chunk;
  b.TransferBuffer = r->buffer + r->issued;
  r->issued += chunk;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = r->urb;
}

NTSTATUS NTAPI minimal_complete(PDEVICE_OBJECT, PIRP irp, PVOID context);

void send(MinimalRead* r) {
  arm(r);
  IoSetCompletionRoutine(r->irp, minimal_complete, r, TRUE, TRUE, TRUE);
  IofCallDriver(r->lower, r->irp);
}

NTSTATUS NTAPI minimal_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<MinimalRead*>(context);
  r->received += r->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (NT_SUCCESS(irp->IoStatus.Status) && r->issued < r->length) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    send(r);
  } else {
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI minimal_dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PCAM_DEVICE_EXTENSION ext = CamExtension(device);
  PUSBD_INTERFACE_INFORMATION pipes = ext->InterfaceInfo;
  MinimalRead r{};
  r.lower = ext->LowerDeviceObject;
  r.pipe = pipes->Pipes[pipes->NumberOfPipes - 1].PipeHandle;
  r.buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  r.length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  r.urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  r.irp = IoAllocateIrp(static_cast<CCHAR>(r.lower->StackSize + 1), FALSE);
  KeInitializeEvent(&r.done, NotificationEvent, FALSE);
  send(&r);
  KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(r.irp);
  ExFreePool(r.urb);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = r.received;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// ---- the three figures ----

ULONG_PTR read_frame() {
  ULONG_PTR information = 0;
  NTSTATUS status = sim::nt_device_io_control(g_rig->handle, IOCTL_CAM_READ_FRAME, nullptr, 0,
                                              g_rig->buffer.data(), kFrame, &information);
  return NT_SUCCESS(status) ? information : 0;
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(kFrame, 0x5A), to(kFrame);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    memcpy(to.data(), from.data(), kFrame);
    benchmark::ClobberMemory();
    state.SetIterationTime(note("memcpy", std::chrono::steady_clock::now() - start));
  }
}

// One read through the minimal driver, the camera's frame queued beforehand as the
// trigger would.
double minimal_read(benchmark::State& state) {
  PDRIVER_OBJECT driver = g_rig->platform->driver().object();
  PDRIVER_DISPATCH saved = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = minimal_dispatch;
  g_rig->device->camera().queue_frames(1);
  auto start = std::chrono::steady_clock::now();
  ULONG_PTR got = read_frame();
  double seconds = note("minimal driver", std::chrono::steady_clock::now() - start);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = saved;
  if (got != kFrame) state.SkipWithError("short frame");
  return seconds;
}

double triggered_read(benchmark::State& state) {
  auto start = std::chrono::steady_clock::now();
  ULONG_PTR got = read_frame();
  double seconds = note("this driver", std::chrono::steady_clock::now() - start);
  if (got != kFrame) state.SkipWithError("short frame");
  return seconds;
}

// The two drivers take turns, each going first every other time, so that a change
// in the machine's load falls on both alike.
void BM_Reads(benchmark::State& state) {
  bool minimal_first = true;
  for (auto _ : state) {
    double seconds = minimal_first ? minimal_read(state) : 0;
    seconds += triggered_read(state);
    if (!minimal_first) seconds += minimal_read(state);
    state.SetIterationTime(seconds);
    minimal_first = !minimal_first;
  }
}

BENCHMARK(BM_Memcpy)->UseManualTime()->Iterations(1)->Repetitions(30)->ReportAggregatesOnly(true);
BENCHMARK(BM_Reads)->UseManualTime()->Iterations(1)->Repetitions(30)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Rig rig;
  g_rig = &rig;
  rig.platform = std::make_unique<sim::Platform>(CamDriverEntry);
  sim::CameraConfig config;
  config.product_id = 0x100A;
  config.frame_size = kFrame;
  rig.device = rig.platform->plug(config).device;
  rig.device->set_control_deferred(true);
  if (sim::nt_create_file(L"\\\\.\\Quorvex-0", &rig.handle) != STATUS_SUCCESS) return 1;
  benchmark::RunSpecifiedBenchmarks();
  sim::nt_close(rig.handle);
  rig.platform.reset();
  double copy = g_min["memcpy"], minimal = g_min["minimal driver"], driver = g_min["this driver"];
  std::printf("\nmin of the repetitions: memcpy %.3f ms, minimal driver %.3f ms, this driver %.3f ms\n",
              copy * 1e3, minimal * 1e3, driver * 1e3);
  std::printf("this driver / minimal driver (speed): %.2f\n", minimal / driver);
  std::printf("minimal driver / memcpy (speed): %.3f\n", copy / minimal);
  benchmark::Shutdown();
  return 0;
}
