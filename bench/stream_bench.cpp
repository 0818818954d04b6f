// Streaming from a camera with no bandwidth limit, 5,038,848-byte frames: a bare
// loop (the camera producing each 512 KiB piece, then one copy into a frame
// buffer), the same work through the bus with two transfers kept in flight and
// re-armed from their completion routine, this driver streaming to an application
// through the I/O manager, four cameras streaming at once against four bare loops
// on four threads, and one memcpy per frame. The bare loop is what a streaming
// driver is measured against. Each figure is the minimum over the repetitions; the
// ratios are printed last.
#include <benchmark/benchmark.h>
#include <sim/app.h>
#include <sim/platform.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "include/quorvex/quorvex.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using Clock = std::chrono::steady_clock;

constexpr ULONG kFrame = 2592 * 1944;
constexpr ULONG kChunk = 0x80000;
constexpr ULONG kPacket = 512;
constexpr int kFrames = 16;  // a repetition
constexpr int kSlots = 3;
constexpr int kCameras = 4;
// With several streams the clock runs from the kSettle-th frame of all of them to
// kWindow frames later, while every stream is running.
constexpr int kSettle = 2 * kCameras;
constexpr int kWindow = 2 * kCameras * kFrames;

std::map<std::string, double> g_min;  // seconds a frame

// Keeps the minimum time a frame of a figure; returns the seconds it took this time.
double note(const std::string& name, Clock::duration took, int frames = kFrames) {
  double seconds = std::chrono::duration<double>(took).count();
  auto it = g_min.find(name);
  if (it == g_min.end() || seconds / frames < it->second) g_min[name] = seconds / frames;
  return seconds;
}

// The frame buffers a loop fills, one after another.
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
struct Buffers {
  Frames bare[kCameras];  // a set for each bare loop thread
  Frames bus;
  std::vector<uint8_t> pieces[kCameras + 2];  // each bare loop's piece, then the two transfers'
  std::vector<uint8_t> copies[kCameras];      // each application's own frame, when it reads one
};
Buffers* g_buffers = nullptr;

// The next piece: the rest of the frame, at most a chunk.
ULONG next_piece(ULONG filled_after_other) { return std::min(kFrame - filled_after_other % kFrame, kChunk); }

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(kFrame, 0x5A), to(kFrame);
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
      memcpy(to.data(), from.data(), kFrame);
      benchmark::ClobberMemory();
    }
    state.SetIterationTime(note("memcpy", Clock::now() - start));
  }
}

sim::CameraConfig streaming_camera() {
  sim::CameraConfig config;
  config.product_id = 0x100A;
  config.frame_size = kFrame;
  return config;
}

// One more frame of the bare loop: pieces from the camera, each copied in.
void bare_frame(sim::Camera& camera, Frames& frames, uint8_t* piece) {
  for (int done = frames.done; frames.done == done;) {
    ULONG length = next_piece(frames.filled);
    bool ends = false;
    std::optional<Clock::time_point> wait;
    size_t got = camera.produce(piece, kPacket, (length + kPacket - 1) / kPacket, &ends, &wait);
    frames.take(piece, static_cast<ULONG>(got));
  }
}

double bare_loop() {
  sim::Camera camera(streaming_camera());
  camera.set_streaming(true);
  Frames& frames = g_buffers->bare[0];
  frames.restart();
  auto start = Clock::now();
  for (int i = 0; i < kFrames; ++i) bare_frame(camera, frames, g_buffers->pieces[0].data());
  return note("bare loop", Clock::now() - start);
}

// Two figures take turns, each going first every other time, so that a change in
// the machine's load falls on both alike.
template <typename First, typename Second>
void take_turns(benchmark::State& state, First first, Second second) {
  bool first_first = true;
  for (auto _ : state) {
    double seconds = first_first ? first() : 0;
    seconds += second();
    if (!first_first) seconds += first();
    state.SetIterationTime(seconds);
    first_first = !first_first;
  }
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
  Frames& frames = g_buffers->bus;
  ULONG asked = 0;  // bytes of the stream asked for so far
  LONG pending = 2;
  NTSTATUS failed = STATUS_SUCCESS;  // the first failed transfer's status
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
  if (!NT_SUCCESS(irp->IoStatus.Status) && NT_SUCCESS(s->failed)) s->failed = irp->IoStatus.Status;
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
    t.buffer = g_buffers->pieces[kCameras + i].data();
    t.urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    t.irp = IoAllocateIrp(static_cast<CCHAR>(s->lower->StackSize + 1), FALSE);
  }
  for (InFlight& t : s->transfers) send(&t);
  KeWaitForSingleObject(&s->done, Executive, KernelMode, FALSE, nullptr);
  for (InFlight& t : s->transfers) {
    IoFreeIrp(t.irp);
    ExFreePool(t.urb);
  }
  NTSTATUS status = !NT_SUCCESS(s->failed)      ? s->failed
                    : s->frames.done == kFrames ? STATUS_SUCCESS
                                                : STATUS_UNSUCCESSFUL;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct Rig {
  std::unique_ptr<sim::Platform> platform;
  sim::Handle handles[kCameras] = {sim::kInvalidHandle, sim::kInvalidHandle, sim::kInvalidHandle,
                                   sim::kInvalidHandle};
  sim::Camera* cameras[kCameras] = {};
};
Rig* g_rig = nullptr;

double bus_stream(benchmark::State& state) {
  PDRIVER_OBJECT driver = g_rig->platform->driver().object();
  PDRIVER_DISPATCH saved = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = stream_dispatch;
  ULONG_PTR information = 0;
  auto start = Clock::now();
  NTSTATUS status = sim::nt_device_io_control(g_rig->handles[0], IOCTL_CAM_STREAM_START, nullptr, 0, nullptr,
                                              0, &information);
  double seconds = note("two transfers", Clock::now() - start);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = saved;
  if (!NT_SUCCESS(status)) {
    char error[64];
    std::snprintf(error, sizeof(error), "frames lost: 0x%08X", static_cast<unsigned>(status));
    state.SkipWithError(error);
  }
  return seconds;
}

void BM_Streams(benchmark::State& state) {
  take_turns(state, bare_loop, [&state] { return bus_stream(state); });
}

// ---- this driver, streaming to an application through the I/O manager ----

// What the application does with each frame between taking and releasing it. In
// place, it reads the frame's number through its view and nothing else: the bare
// loop's one copy is the driver's own, from the transfer's buffer into the frame
// buffer. Read once, it also copies the whole frame out of its view, as an
// application that keeps every frame would: a second copy, on its own thread.
enum Take : int64_t { kInPlace, kReadOnce };
const char* const kDriver[] = {"driver, in place", "driver, read once"};
const char* const kFour[] = {"four cameras, in place", "four cameras, read once"};

// One application's stream on one handle, and when it took which frame.
struct Application {
  sim::Handle handle = sim::kInvalidHandle;
  Take take = kInPlace;
  std::vector<uint8_t>* copy = nullptr;
  std::set<uint64_t> views;  // the frame buffers' views seen so far
  std::vector<std::pair<Clock::time_point, uint32_t>> taken;
  bool failed = false;
};

// What a figure's streams did in its windows, summed over the repetitions.
struct Tally {
  uint64_t taken = 0;
  uint64_t dropped = 0;
};
std::map<std::string, Tally> g_tally;

// Counts the frames `app` took in (opened, closed] and those the driver dropped
// before each: the camera numbers its frames, and the numbers skipped between two
// frames taken one after the other are frames the driver finished and dropped
// because the application was not there to take them.
void tally(const std::string& name, const Application& app, Clock::time_point opened,
           Clock::time_point closed) {
  Tally& t = g_tally[name];
  for (size_t i = 1; i < app.taken.size(); ++i) {
    if (app.taken[i].first <= opened || app.taken[i].first > closed) continue;
    t.taken++;
    t.dropped += app.taken[i].second - app.taken[i - 1].second - 1;
  }
}

// Frames the first `count` cameras have started sending: with transfers always
// waiting on an unlimited camera, the frames that went through the driver.
uint64_t frames_sent(int count) {
  uint64_t frames = 0;
  for (int i = 0; i < count; ++i) frames += g_rig->cameras[i]->frames_started();
  return frames;
}

// Keeps the time a frame went through the driver, taken or dropped: how fast the
// driver moves frames, whatever the application made of them.
void note_sent(const std::string& name, Clock::duration took, uint64_t frames) {
  if (frames != 0) note(name + ", sent", took, static_cast<int>(frames));
}

NTSTATUS control(sim::Handle handle, ULONG code, const void* input, ULONG input_length, void* output,
                 ULONG output_length) {
  ULONG_PTR information = 0;
  return sim::nt_device_io_control(handle, code, input, input_length, output, output_length, &information);
}

bool start_stream(sim::Handle handle) {
  CAM_STREAM_START_PARAMS params{};
  params.FrameSize = kFrame;
  return control(handle, IOCTL_CAM_STREAM_START, &params, sizeof(params), nullptr, 0) == STATUS_SUCCESS;
}

bool stop_stream(sim::Handle handle) {
  return control(handle, IOCTL_CAM_STREAM_STOP, nullptr, 0, nullptr, 0) == STATUS_SUCCESS;
}

// The oldest frame's view, now held by the application; 0 when none came.
uint64_t get_frame(Application& app) {
  CAM_STREAM_FRAME_INFO info{};
  if (control(app.handle, IOCTL_CAM_STREAM_GET_FRAME, nullptr, 0, &info, sizeof(info)) != STATUS_SUCCESS ||
      info.Size != kFrame) {
    app.failed = true;
    return 0;
  }
  return info.UserAddress;
}

void release_frame(Application& app, uint64_t view) {
  CAM_STREAM_FRAME_RELEASE release{};
  release.Length = CAM_STREAM_FRAME_RELEASE_LENGTH;
  release.UserAddress = view;
  if (control(app.handle, IOCTL_CAM_STREAM_RELEASE_FRAME, &release, sizeof(release), nullptr, 0) !=
      STATUS_SUCCESS) {
    app.failed = true;
  }
}

// The frame in the view, looked at as the application does.
void look_at(Application& app, uint64_t view) {
  const void* address = reinterpret_cast<const void*>(static_cast<uintptr_t>(view));
  uint32_t number = 0;
  bool seen = app.take == kReadOnce ? sim::read_user_view(address, app.copy->data(), kFrame)
                                    : sim::read_user_view(address, &number, sizeof(number));
  if (app.take == kReadOnce) memcpy(&number, app.copy->data(), sizeof(number));
  if (!seen) {
    app.failed = true;
    return;
  }
  app.views.insert(view);
  app.taken.emplace_back(Clock::now(), number);
}

bool take_frame(Application& app) {
  uint64_t view = get_frame(app);
  if (view == 0) return false;
  look_at(app, view);
  release_frame(app, view);
  return !app.failed;
}

// Before the clock runs: every view read once, since the first touch of a fresh
// view faults its pages in, once a stream.
void settle(Application& app) {
  for (int i = 0; i < 3 * kSlots && app.views.size() < kSlots && take_frame(app); ++i) {
  }
}

// kFrames frames of one camera. Each repetition starts its own stream and stops it:
// an unlimited camera left streaming between repetitions keeps the host
// controller's thread busy under the bare loop's. The clock starts as the last
// frame before it is taken, with no other frame waiting, and stops as the
// kFrames-th after it is taken.
double driver_stream(benchmark::State& state, Take take) {
  Application app;
  app.handle = g_rig->handles[0];
  app.take = take;
  app.copy = &g_buffers->copies[0];
  if (!start_stream(app.handle)) {
    state.SkipWithError("start failed");
    return 0;
  }
  settle(app);
  uint64_t sent = frames_sent(1);
  auto opened = Clock::now();
  for (int i = 0; i < kFrames && take_frame(app); ++i) {
  }
  auto closed = Clock::now();
  sent = frames_sent(1) - sent;
  bool stopped = stop_stream(app.handle);
  if (app.failed || !stopped) {
    state.SkipWithError("stream failed");
    return 0;
  }
  tally(kDriver[take], app, opened, closed);
  note_sent(kDriver[take], closed - opened, sent);
  return note(kDriver[take], closed - opened);
}

void BM_Driver(benchmark::State& state) {
  Take take = static_cast<Take>(state.range(0));
  take_turns(state, bare_loop, [&state, take] { return driver_stream(state, take); });
}

// ---- four cameras at once, against four bare loops at once ----

// The frames of every stream counted together: the clock runs from the kSettle-th
// to kWindow frames later, and the streams run until it has stopped. Each end is
// written by the thread that reaches it and read once every thread is gone.
struct Window {
  int cameras = 0;  // whose frames sent are counted at each end
  std::atomic<int> frames{0};
  std::atomic<bool> over{false};
  std::atomic<bool> failed{false};
  Clock::time_point opened;
  Clock::time_point closed;
  uint64_t sent_by_open = 0;
  uint64_t sent_by_close = 0;

  void tick() {
    int n = ++frames;
    if (n == kSettle) {
      sent_by_open = frames_sent(cameras);
      opened = Clock::now();
    }
    if (n == kSettle + kWindow) {
      closed = Clock::now();
      sent_by_close = frames_sent(cameras);
      over = true;
    }
  }
  void fail() {
    failed = true;
    over = true;
  }
};

// One application thread of the four: each view read once, two frames held while
// the others get there (so none finds frames waiting), then a frame after another
// until the window closes.
void stream_to(Application& app, std::barrier<>& ready, Window& window) {
  settle(app);
  uint64_t held[2] = {get_frame(app), get_frame(app)};
  ready.arrive_and_wait();
  for (uint64_t view : held) {
    if (view != 0) release_frame(app, view);
  }
  app.taken.clear();  // what the driver dropped while frames were held is no part of the run
  while (!app.failed && !window.over) {
    if (take_frame(app)) window.tick();
  }
  if (app.failed) window.fail();
}

double driver_streams(benchmark::State& state, Take take) {
  Application apps[kCameras];
  bool started = true;
  for (int i = 0; i < kCameras; ++i) {
    apps[i].handle = g_rig->handles[i];
    apps[i].take = take;
    apps[i].copy = &g_buffers->copies[i];
    started = start_stream(apps[i].handle) && started;
  }
  Window window;
  window.cameras = kCameras;
  if (started) {
    std::barrier<> ready(kCameras);
    std::vector<std::unique_ptr<sim::AppThread>> threads;
    for (Application& app : apps) {
      threads.push_back(std::make_unique<sim::AppThread>(sim::default_process(), "application",
                                                         [&] { stream_to(app, ready, window); }));
    }
  }
  bool stopped = true;
  for (Application& app : apps) stopped = stop_stream(app.handle) && stopped;
  if (!started || !stopped || window.failed) {
    state.SkipWithError("stream failed");
    return 0;
  }
  for (Application& app : apps) tally(kFour[take], app, window.opened, window.closed);
  note_sent(kFour[take], window.closed - window.opened, window.sent_by_close - window.sent_by_open);
  return note(kFour[take], window.closed - window.opened, kWindow);
}

double bare_loops() {
  Window window;
  std::barrier<> ready(kCameras);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kCameras; ++i) {
      threads.emplace_back([&window, &ready, i] {
        sim::Camera camera(streaming_camera());
        camera.set_streaming(true);
        Frames& frames = g_buffers->bare[i];
        frames.restart();
        ready.arrive_and_wait();
        while (!window.over) {
          bare_frame(camera, frames, g_buffers->pieces[i].data());
          window.tick();
        }
      });
    }
  }
  return note("four bare loops", window.closed - window.opened, kWindow);
}

void BM_FourCameras(benchmark::State& state) {
  Take take = static_cast<Take>(state.range(0));
  take_turns(state, bare_loops, [&state, take] { return driver_streams(state, take); });
}

// One iteration a repetition, timed by hand: the minimum is what counts.
void repeated(benchmark::internal::Benchmark* b) {
  b->UseManualTime()->Iterations(1)->Repetitions(10)->ReportAggregatesOnly(true);
}

void each_take(benchmark::internal::Benchmark* b) { repeated(b->Arg(kInPlace)->Arg(kReadOnce)); }

BENCHMARK(BM_Memcpy)->Apply(repeated);
BENCHMARK(BM_Streams)->Apply(repeated);
BENCHMARK(BM_Driver)->Apply(each_take);
BENCHMARK(BM_FourCameras)->Apply(each_take);

// One line of the closing table: a figure against what it is measured against;
// for a stream, also the frames that went through the driver, taken or dropped.
void report(const std::string& name, const std::string& against) {
  if (g_min.count(name) == 0 || g_min.count(against) == 0) return;
  double a_frame = g_min[name];
  std::printf("%-24s %6.3f ms %5.0f frames/s %5.0f MB/s  %4.2f of %-15s %5.3f of memcpy\n", name.c_str(),
              a_frame * 1e3, 1 / a_frame, kFrame / a_frame / 1e6, g_min[against] / a_frame, against.c_str(),
              g_min["memcpy"] / a_frame);
  auto tally = g_tally.find(name);
  if (tally == g_tally.end() || g_min.count(name + ", sent") == 0) return;
  const Tally& t = tally->second;
  double sent = g_min[name + ", sent"];
  std::printf("%24s %6.3f ms %5.0f frames/s %5.0f MB/s  %4.2f of %-15s sent; %.1f%% dropped\n", "",
              sent * 1e3, 1 / sent, kFrame / sent / 1e6, g_min[against] / sent, against.c_str(),
              100.0 * static_cast<double>(t.dropped) / static_cast<double>(t.taken + t.dropped));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  auto buffers = std::make_unique<Buffers>();
  for (auto& piece : buffers->pieces) piece.assign(kChunk, 0);
  for (auto& copy : buffers->copies) copy.assign(kFrame, 0);
  g_buffers = buffers.get();
  Rig rig;
  g_rig = &rig;
  rig.platform = std::make_unique<sim::Platform>(CamDriverEntry);
  for (int i = 0; i < kCameras; ++i) {
    sim::UsbDevice* device = rig.platform->plug(streaming_camera()).device;
    rig.cameras[i] = &device->camera();
    device->camera().set_frame_size(kFrame);
    device->camera().set_streaming(true);
    if (sim::nt_create_file(L"\\\\.\\Quorvex-" + std::to_wstring(i), &rig.handles[i]) != STATUS_SUCCESS)
      return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  for (sim::Handle handle : rig.handles) sim::nt_close(handle);
  rig.platform.reset();
  if (g_min.count("memcpy") != 0 && g_min.count("bare loop") != 0) {
    double copy = g_min["memcpy"], bare = g_min["bare loop"];
    std::printf("\nmin a frame: memcpy %.3f ms, bare loop %.3f ms (%.0f frames/s, %.0f MB/s)\n", copy * 1e3,
                bare * 1e3, 1 / bare, kFrame / bare / 1e6);
    std::printf("bare loop / memcpy (speed): %.3f\n", copy / bare);
  }
  std::printf("min a frame taken, against the bare loop(s) and one memcpy a frame (speed):\n");
  report("two transfers", "bare loop");
  for (const char* name : kDriver) report(name, "bare loop");
  report("four bare loops", "bare loop");
  for (const char* name : kFour) report(name, "four bare loops");
  benchmark::Shutdown();
  return 0;
}
