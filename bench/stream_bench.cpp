// Streaming from a camera with no bandwidth limit, 5,038,848-byte frames: a bare
// loop (the camera producing each 512 KiB piece, then one copy into a frame
// buffer), the same work through the bus with two transfers kept in flight and
// re-armed from their completion routine, and one memcpy per frame. The bare loop
// is what a streaming driver is measured against. Each figure is the minimum over
// the repetitions; the ratios are printed last.
#include <benchmark/benchmark.h>
#include <sim/app.h>
#include <sim/platform.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "include/quorvex/quorvex.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr ULONG kFrame = 2592 * 1944;
constexpr ULONG kChunk = 0x80000;
constexpr ULONG kPacket = 512;
constexpr int kFrames = 16;  // a repetition
constexpr int kSlots = 3;

std::map<std::string, double> g_min;  // seconds a frame

double note(const std::string& name, std::chrono::steady_clock::duration took) {
  double seconds = std::chrono::duration<double>(took).count() / kFrames;
  auto it = g_min.find(name);
  if (it == g_min.end() || seconds < it->second) g_min[name] = seconds;
  return seconds * kFrames;
}

// The frame buffers both loops fill, one after another.
struct Frames {
  std::vector<std::vector<uint8_t>> slots =
      std::vector<std::vector<uint8_t>>(kSlots, std::vector<uint8_t>(kFrame));
  int fill = 0;
  ULONG filled = 0;
  int done = 0;

  // Copies a piece in; a piece never crosses a frame's end.
  void take(const uint8_t* piece, ULONG length) {
    memcpy(slots[fill].data() + filled, piece, std::min(length, kFrame - filled));
    filled += length;
    if (filled < kFrame) return;
    filled = 0;
    fill = (fill + 1) % kSlots;
    done++;
  }
  void restart() { fill = 0, filled = 0, done = 0; }
};

// Allocated once, touched before the clock runs: the loops time copies, not page
// faults.
Frames* g_bare_frames = nullptr;
Frames* g_bus_frames = nullptr;
std::vector<uint8_t>* g_pieces = nullptr;  // the bare loop's piece, then the two transfers'

// The next piece: the rest of the frame, at most a chunk.
ULONG next_piece(ULONG filled_after_other) { return std::min(kFrame - filled_after_other % kFrame, kChunk); }

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(kFrame, 0x5A), to(kFrame);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
      memcpy(to.data(), from.data(), kFrame);
      benchmark::ClobberMemory();
    }
    state.SetIterationTime(note("memcpy", std::chrono::steady_clock::now() - start));
  }
}

sim::CameraConfig streaming_camera() {
  sim::CameraConfig config;
  config.product_id = 0x100A;
  config.frame_size = kFrame;
  return config;
}

double bare_loop() {
  sim::Camera camera(streaming_camera());
  camera.set_streaming(true);
  Frames& frames = *g_bare_frames;
  frames.restart();
  uint8_t* piece = g_pieces[0].data();
  auto start = std::chrono::steady_clock::now();
  while (frames.done < kFrames) {
    ULONG length = next_piece(frames.filled);
    bool ends = false;
    std::optional<std::chrono::steady_clock::time_point> wait;
    size_t got = camera.produce(piece, kPacket, (length + kPacket - 1) / kPacket, &ends, &wait);
    frames.take(piece, static_cast<ULONG>(got));
  }
  return note("bare loop", std::chrono::steady_clock::now() - start);
}

// ---- two transfers through the bus, re-armed from their completion ----

struct Stream;

struct InFlight {
  Stream* stream;
  PIRP irp;
  PURB urb;
  uint8_t* buffer;
};

struct Stream {
  PDEVICE_OBJECT lower;
  USBD_PIPE_HANDLE pipe;
  InFlight transfers[2];
  Frames& frames = *g_bus_frames;
  ULONG asked = 0;  // bytes of the stream asked for so far
  LONG pending = 2;
  KEVENT done;
};

NTSTATUS NTAPI stream_complete(PDEVICE_OBJECT, PIRP irp, PVOID context);

void send(InFlight* t) {
  Stream* s = t->stream;
  ULONG length = next_piece(s->asked);
  s->asked += length;
  auto& b = t->urb->UrbBulkOrInterruptTransfer;
  memset(&b, 0, sizeof(b));
  b.Hdr.Length = sizeof(b);
  b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  b.PipeHandle = s->pipe;
  b.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  b.TransferBufferLength = length;
  b.TransferBuffer = t->buffer;
  IoReuseIrp(t->irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = t->urb;
  IoSetCompletionRoutine(t->irp, stream_complete, t, TRUE, TRUE, TRUE);
  IofCallDriver(s->lower, t->irp);
}

// The host controller completes the pipe's transfers one at a time, in order.
NTSTATUS NTAPI stream_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* t = static_cast<InFlight*>(context);
  Stream* s = t->stream;
  s->frames.take(t->buffer, t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
  if (NT_SUCCESS(irp->IoStatus.Status) && s->asked < ULONG{kFrames} * kFrame) {
    send(t);
  } else if (InterlockedDecrement(&s->pending) == 0) {
    KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI stream_dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PCAM_DEVICE_EXTENSION ext = CamExtension(device);
  PUSBD_INTERFACE_INFORMATION pipes = ext->InterfaceInfo;
  auto s = std::make_unique<Stream>();
  s->lower = ext->LowerDeviceObject;
  s->pipe = pipes->Pipes[pipes->NumberOfPipes - 1].PipeHandle;
  KeInitializeEvent(&s->done, NotificationEvent, FALSE);
  s->frames.restart();
  for (int i = 0; i < 2; ++i) {
    InFlight& t = s->transfers[i];
    t.stream = s.get();
    t.buffer = g_pieces[1 + i].data();
    t.urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    t.irp = IoAllocateIrp(static_cast<CCHAR>(s->lower->StackSize + 1), FALSE);
  }
  for (InFlight& t : s->transfers) send(&t);
  KeWaitForSingleObject(&s->done, Executive, KernelMode, FALSE, nullptr);
  for (InFlight& t : s->transfers) {
    IoFreeIrp(t.irp);
    ExFreePool(t.urb);
  }
  irp->IoStatus.Status = s->frames.done == kFrames ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

struct Rig {
  std::unique_ptr<sim::Platform> platform;
  sim::UsbDevice* device = nullptr;
  sim::Handle handle = sim::kInvalidHandle;
};
Rig* g_rig = nullptr;

double bus_stream(benchmark::State& state) {
  PDRIVER_OBJECT driver = g_rig->platform->driver().object();
  PDRIVER_DISPATCH saved = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = stream_dispatch;
  ULONG_PTR information = 0;
  auto start = std::chrono::steady_clock::now();
  NTSTATUS status =
      sim::nt_device_io_control(g_rig->handle, IOCTL_CAM_STREAM_START, nullptr, 0, nullptr, 0, &information);
  double seconds = note("two transfers", std::chrono::steady_clock::now() - start);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = saved;
  if (!NT_SUCCESS(status)) state.SkipWithError("frames lost");
  return seconds;
}

// The two loops take turns, each going first every other time, so that a change
// in the machine's load falls on both alike.
void BM_Streams(benchmark::State& state) {
  bool bare_first = true;
  for (auto _ : state) {
    double seconds = bare_first ? bare_loop() : 0;
    seconds += bus_stream(state);
    if (!bare_first) seconds += bare_loop();
    state.SetIterationTime(seconds);
    bare_first = !bare_first;
  }
}

BENCHMARK(BM_Memcpy)->UseManualTime()->Iterations(1)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_Streams)->UseManualTime()->Iterations(1)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Rig rig;
  g_rig = &rig;
  Frames bare_frames, bus_frames;
  std::vector<uint8_t> pieces[3] = {std::vector<uint8_t>(kChunk), std::vector<uint8_t>(kChunk),
                                    std::vector<uint8_t>(kChunk)};
  g_bare_frames = &bare_frames;
  g_bus_frames = &bus_frames;
  g_pieces = pieces;
  rig.platform = std::make_unique<sim::Platform>(CamDriverEntry);
  rig.device = rig.platform->plug(streaming_camera()).device;
  rig.device->camera().set_streaming(true);
  if (sim::nt_create_file(L"\\\\.\\Quorvex-0", &rig.handle) != STATUS_SUCCESS) return 1;
  benchmark::RunSpecifiedBenchmarks();
  sim::nt_close(rig.handle);
  rig.platform.reset();
  double copy = g_min["memcpy"], bare = g_min["bare loop"], bus = g_min["two transfers"];
  std::printf(
      "\nmin a frame: memcpy %.3f ms, bare loop %.3f ms (%.0f frames/s, %.0f MB/s), two transfers %.3f ms\n",
      copy * 1e3, bare * 1e3, 1 / bare, kFrame / bare / 1e6, bus * 1e3);
  std::printf("two transfers / bare loop (speed): %.2f\n", bare / bus);
  std::printf("bare loop / memcpy (speed): %.3f\n", copy / bare);
  benchmark::Shutdown();
  return 0;
}
