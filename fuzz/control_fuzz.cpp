// Device-control fuzzing: libFuzzer's bytes, read as a program that a few
// applications run against the driver on a fresh simulated machine. Each input
// plugs two cameras, then runs operations until its bytes run out: opens (good
// names and names that must not open) and closes in three processes; device-control
// requests of the driver's codes, their neighbours, codes between them and codes of
// other device types, every method, with lengths of 0, one short, exact and large,
// absent buffers with lengths, and contents random or shaped; streams started with
// wild frame sizes, frames taken, read, and released by addresses of their own,
// of another process's stream and of nowhere; frame reads of awkward lengths on
// each read path; a read left pending while its handle closes, its camera goes or
// the machine sleeps; Plug and Play stops, starts, removals, surprise removals and
// replugs, and the machine's sleep and wake; the camera stalling, cutting transfers
// short or streaming, and the nth allocation or mapping of the driver failing. The
// machine is then torn down: the platform's verifier reports any fault the driver
// commits (a leak at unload included) and aborts, as do AddressSanitizer and
// UndefinedBehaviorSanitizer, and every wait without a time-out is bounded by the
// verifier's hang report.
//
// What is done depends only on the input: nothing is decided by the clock (waits
// are bounded, but what follows them is the same either way).
//
// The input: byte 0 picks the two cameras' products, byte 1 their image endpoint
// and frame size; then each operation is one byte (its number modulo kOps, below)
// followed by the bytes it reads (see each operation). Missing bytes read as 0.
// fuzz/make-corpus writes one seed per operation in this format. With
// CONTROL_FUZZ_TRACE set, each input's operations and their results are printed
// (`CONTROL_FUZZ_TRACE=1 build/fuzz/fuzz/control_fuzz FILE`); a finding prints them
// anyway.
#include <quorvex/quorvex.h>
#include <sim/app.h>
#include <sim/inject.h>
#include <sim/kernel.h>
#include <sim/platform.h>
#include <sim/verifier.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/control.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using namespace std::chrono_literals;

// Kernel time-outs run at this share of real time: a frame wait of a second takes
// 5 ms, so timed-out reads cost little.
constexpr double kTimeoutScale = 0.005;
// A read left pending waits at this scale (a second is 50 ms), long enough for
// what is done under it.
constexpr double kPendingScale = 0.05;
// Every wait of the harness, and the verifier's report of a wait without time-out.
constexpr auto kBound = 10s;
constexpr size_t kMaxHandles = 8;
constexpr size_t kMaxCameras = 3;
constexpr size_t kMaxAddresses = 16;
constexpr uint32_t kChunk = 0x80000;
constexpr uint32_t kHeader = sizeof(CAM_STREAM_FRAME_HEADER);

constexpr USHORT kProducts[] = {0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F};
struct Endpoint {
  UCHAR type;
  USHORT packet;
};
constexpr Endpoint kEndpoints[] = {{USB_ENDPOINT_TYPE_BULK, 512},
                                   {USB_ENDPOINT_TYPE_BULK, 64},
                                   {USB_ENDPOINT_TYPE_INTERRUPT, 100},
                                   {USB_ENDPOINT_TYPE_INTERRUPT, 1024}};
constexpr uint32_t kFrameSizes[] = {1000, 4096, 70000 + 300, 600000};

bool plain_product(USHORT product) { return product == 0x1009 || product == 0x100B || product == 0x100F; }

// Figures for the end of a run.
struct Counts {
  std::atomic<long> inputs{0}, requests{0}, opens{0}, closes{0}, streams{0}, frame_reads{0}, pending{0},
      pnp{0}, sleeps{0};
};
Counts g_counts;
// What the current input has done so far, printed with a finding.
std::string* g_log = nullptr;

void print_counts() {
  std::fprintf(stderr,
               "control_fuzz: %ld inputs: %ld device-control requests (%ld frame reads, %ld stream "
               "starts, %ld left pending under another operation), %ld opens, %ld closes, %ld Plug and "
               "Play events, %ld sleeps\n",
               g_counts.inputs.load(), g_counts.requests.load(), g_counts.frame_reads.load(),
               g_counts.streams.load(), g_counts.pending.load(), g_counts.opens.load(),
               g_counts.closes.load(), g_counts.pnp.load(), g_counts.sleeps.load());
}

[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "control_fuzz: FINDING: %s\n", what.c_str());
  if (g_log != nullptr) std::fprintf(stderr, "control_fuzz: operations of this input:\n%s", g_log->c_str());
  std::abort();
}

// The fuzzer's bytes, read front to back; zeros once they run out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() {
    uint16_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }
  uint32_t u32() {
    uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }
  template <typename T, size_t N>
  T pick(const T (&choices)[N]) {
    return choices[u8() % N];
  }
  // Up to `length` bytes of the input itself; the rest repeats them (or is zero).
  void fill(uint8_t* into, size_t length) {
    size_t take = std::min<size_t>(length, std::min<size_t>(u8(), size_ - std::min(at_, size_)));
    if (take > 0) std::memcpy(into, data_ + at_, take);
    at_ += take;
    for (size_t i = take; i < length; ++i) into[i] = take == 0 ? 0 : into[i % take];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct Camera {
  sim::UsbDevice* device = nullptr;
  USHORT product = 0;
  enum State { Started, Stopped, Gone } state = Started;
};

struct Open {
  sim::Handle handle;
  int process;
};

// A frame address a stream handed out, and the process it belongs to.
struct Address {
  uint64_t address;
  uint32_t size;
  int process;
};

// Interesting 32-bit values for settings and record fields.
constexpr uint32_t kValues[] = {0,          1,          2,          3,          4,    9,    18,    32,
                                40,         56,         161,        162,        511,  512,  640,   480,
                                1024,       768,        1280,       1024,       2592, 1944, 65535, 65536,
                                0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE, 120,  121,  48,    49};

class Session {
 public:
  Session(const uint8_t* data, size_t size) : in_(data, size) {
    g_log = &log_;
    sim::set_timeout_scale(kTimeoutScale);
    sim::set_hang_report_after(kBound);
    uint8_t products = in_.u8();
    uint8_t shape = in_.u8();
    endpoint_ = kEndpoints[shape % std::size(kEndpoints)];
    frame_ = kFrameSizes[(shape / 4) % std::size(kFrameSizes)];
    plug(kProducts[products % 7]);
    plug(kProducts[(products / 7) % 7]);
  }

  ~Session() { g_log = nullptr; }

  void run() {
    while (!in_.done()) step();
    finish();
    if (std::getenv("CONTROL_FUZZ_TRACE") != nullptr) std::fprintf(stderr, "%s", log_.c_str());
  }

 private:
  enum Op {
    OpOpen,
    OpClose,
    OpControl,
    OpStreamStart,
    OpStreamGet,
    OpStreamRelease,
    OpStreamRead,
    OpStreamStop,
    OpFrameRead,
    OpCamera,
    OpPnpStop,
    OpPnpStart,
    OpQueryRemove,
    OpUnplug,
    OpReplug,
    OpSleep,
    OpPendingRead,
    OpInject,
    kOps
  };

  void note(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_ += line;
    log_ += '\n';
  }

  void step() {
    switch (in_.u8() % kOps) {
      case OpOpen:
        return open();
      case OpClose:
        return close(in_.u8());
      case OpControl:
        return control();
      case OpStreamStart:
        return stream_start();
      case OpStreamGet:
        return stream_get();
      case OpStreamRelease:
        return stream_release();
      case OpStreamRead:
        return stream_read();
      case OpStreamStop:
        return stream_stop();
      case OpFrameRead:
        return frame_read();
      case OpCamera:
        return camera();
      case OpPnpStop:
        return pnp_stop_or_start(false);
      case OpPnpStart:
        return pnp_stop_or_start(true);
      case OpQueryRemove:
        return query_remove();
      case OpUnplug:
        return unplug();
      case OpReplug:
        return plug(in_.pick(kProducts));
      case OpSleep:
        return sleep();
      case OpPendingRead:
        return pending_read();
      case OpInject:
        return inject();
    }
  }

  // ---- cameras ----

  // At most kMaxCameras at once, and no more in all than the driver has numbers.
  void plug(USHORT product) {
    size_t present = 0;
    for (const Camera& camera : cameras_) present += camera.state != Camera::Gone;
    if (present >= kMaxCameras || cameras_.size() >= 8) return;
    sim::CameraConfig config;
    config.product_id = product;
    config.interfaces[0].endpoints = {{0x01, USB_ENDPOINT_TYPE_BULK},
                                      {0x82, endpoint_.type, endpoint_.packet}};
    config.frame_size = frame_;
    sim::Platform::Plugged plugged = platform_->plug(config);
    g_counts.pnp++;
    note("plug %04X: add %08X, start %08X", product, unsigned(plugged.add_status),
         unsigned(plugged.start_status));
    Camera camera;
    camera.device = plugged.device;
    camera.product = product;
    camera.state = NT_SUCCESS(plugged.start_status) ? Camera::Started : Camera::Stopped;
    if (!NT_SUCCESS(plugged.add_status)) camera.state = Camera::Gone;
    cameras_.push_back(camera);
  }

  Camera* pick_camera(Camera::State state) {
    uint8_t n = in_.u8();
    if (cameras_.empty()) return nullptr;
    Camera& camera = cameras_[n % cameras_.size()];
    return camera.state == state ? &camera : nullptr;
  }

  // Frames for reads that wait on the camera without a time-out of their own.
  void feed_cameras(int frames, bool plain_only = false) {
    for (Camera& camera : cameras_) {
      if (camera.state == Camera::Gone || (plain_only && !plain_product(camera.product))) continue;
      camera.device->camera().queue_frames(frames);
    }
  }

  void camera() {
    uint8_t what = in_.u8();
    Camera* camera = pick_camera(Camera::Started);
    if (camera == nullptr) return;
    sim::Camera& model = camera->device->camera();
    switch (what % 5) {
      case 0:
        model.queue_frames(1 + in_.u8() % 3);
        break;
      case 1:
        model.set_streaming(in_.u8() % 2 == 0);
        break;
      case 2:
        camera->device->stall_pipe(0x82);
        break;
      case 3:
        camera->device->short_transfers(in_.u16(), 1);
        break;
      case 4:
        model.set_frame_size(in_.pick(kFrameSizes));
        break;
    }
    note("camera %04X: change %d", camera->product, what % 5);
  }

  // A stop of a started camera, or a start of a stopped one.
  void pnp_stop_or_start(bool start) {
    Camera* camera = pick_camera(start ? Camera::Stopped : Camera::Started);
    if (camera == nullptr) return;
    NTSTATUS status = start ? platform_->start(*camera->device) : platform_->stop(*camera->device);
    g_counts.pnp++;
    note("%s %04X: %08X", start ? "start" : "stop", camera->product, unsigned(status));
    if (NT_SUCCESS(status)) camera->state = start ? Camera::Started : Camera::Stopped;
  }

  // Query-remove, then cancelled or followed by the removal.
  void query_remove() {
    bool cancel = in_.u8() % 2 == 0;
    Camera* camera = pick_camera(Camera::Started);
    if (camera == nullptr) return;
    NTSTATUS status = platform_->query_remove(*camera->device);
    g_counts.pnp++;
    note("query-remove %04X: %08X", camera->product, unsigned(status));
    if (!NT_SUCCESS(status) || cancel) {
      status = platform_->cancel_remove(*camera->device);
      note("cancel-remove %04X: %08X", camera->product, unsigned(status));
      return;
    }
    status = platform_->remove(*camera->device);
    note("remove %04X: %08X", camera->product, unsigned(status));
    camera->state = Camera::Gone;
  }

  // Surprise removal; the removal follows once its last handle is closed.
  void unplug() {
    uint8_t n = in_.u8();
    if (cameras_.empty()) return;
    Camera& camera = cameras_[n % cameras_.size()];
    if (camera.state == Camera::Gone) return;
    NTSTATUS status = platform_->unplug(*camera.device);
    g_counts.pnp++;
    note("unplug %04X: %08X", camera.product, unsigned(status));
    camera.state = Camera::Gone;
  }

  void sleep() {
    static constexpr SYSTEM_POWER_STATE kStates[] = {PowerSystemSleeping1, PowerSystemSleeping3,
                                                     PowerSystemHibernate};
    SYSTEM_POWER_STATE state = in_.pick(kStates);
    NTSTATUS slept = platform_->sleep(state);
    NTSTATUS woke = platform_->wake();
    g_counts.sleeps++;
    note("sleep S%d: %08X, wake: %08X", int(state) - 1, unsigned(slept), unsigned(woke));
  }

  // One failure of the platform's, met by the driver's next requests.
  void inject() {
    uint8_t what = in_.u8();
    int nth = 1 + in_.u8() % 8;
    switch (what % 5) {
      case 0:
        sim::inject::fail_pool_allocation(nth);
        break;
      case 1:
        sim::inject::fail_irp_allocation(nth);
        break;
      case 2:
        sim::inject::fail_mdl_allocation(nth);
        break;
      case 3:
        sim::inject::fail_system_mapping(nth);
        break;
      case 4:
        sim::inject::fail_user_mapping(nth);
        break;
    }
    note("inject %d at %d", what % 5, nth);
  }

  // ---- handles ----

  void open() {
    uint8_t name = in_.u8();
    int process = in_.u8() % 3;
    if (opens_.size() >= kMaxHandles) return;
    std::wstring path = L"\\\\.\\Quorvex-" + std::to_wstring(name % 9);  // 8: out of range
    if (name / 9 % 4 == 1) path += L"\\";
    if (name / 9 % 4 == 2) path += L"\\x";
    if (name / 9 % 4 == 3) path += L"0";
    sim::ProcessScope scope(process_(process));
    sim::Handle handle = sim::kInvalidHandle;
    NTSTATUS status = sim::nt_create_file(path, &handle);
    g_counts.opens++;
    note("open %ls in %d: %08X", path.c_str(), process, unsigned(status));
    if (NT_SUCCESS(status)) opens_.push_back({handle, process});
  }

  void close(uint8_t n) {
    if (opens_.empty()) return;
    size_t at = n % opens_.size();
    Open open = opens_[at];
    opens_.erase(opens_.begin() + static_cast<long>(at));
    sim::ProcessScope scope(process_(open.process));
    NTSTATUS status = sim::nt_close(open.handle);
    g_counts.closes++;
    note("close %ld: %08X", long(open.handle), unsigned(status));
    if (status != STATUS_SUCCESS) finding("closing an open handle failed");
  }

  const Open* pick_open() {
    uint8_t n = in_.u8();
    return opens_.empty() ? nullptr : &opens_[n % opens_.size()];
  }

  // ---- requests ----

  struct Request {
    ULONG code = 0;
    std::vector<uint8_t> input;
    ULONG output_length = 0;
    bool no_input = false, no_output = false;
  };

  struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> output;
  };

  Reply send(const Open& open, const Request& r) {
    Reply reply{};
    reply.output.assign(r.output_length, 0xDE);
    sim::ProcessScope scope(process_(open.process));
    reply.status = sim::nt_device_io_control(
        open.handle, r.code, r.no_input ? nullptr : r.input.data(), static_cast<ULONG>(r.input.size()),
        r.no_output ? nullptr : reply.output.data(), r.output_length, &reply.information);
    g_counts.requests++;
    note("request %08X in %zu%s out %u%s: %08X, %lu", unsigned(r.code), r.input.size(),
         r.no_input ? " (none)" : "", unsigned(r.output_length), r.no_output ? " (none)" : "",
         unsigned(reply.status), static_cast<unsigned long>(reply.information));
    if (NT_SUCCESS(reply.status) && reply.information > r.output_length &&
        METHOD_FROM_CTL_CODE(r.code) == METHOD_BUFFERED) {
      finding("Information beyond the output buffer");
    }
    return reply;
  }

  // A code: one of the driver's, a neighbour of one, one between them, or one of
  // any device type, with any method and access.
  ULONG pick_code() {
    static constexpr ULONG kCodes[] = {
#define FUZZ_CODE(name) name,
        QUORVEX_CONTROL_CODES(FUZZ_CODE)
#undef FUZZ_CODE
    };
    uint8_t how = in_.u8();
    ULONG base = in_.pick(kCodes);
    switch (how % 5) {
      case 0:
      case 1:
        return base;
      case 2:
        return base + static_cast<ULONG>(static_cast<int8_t>(in_.u8() % 9) - 4);  // method, access, function
      case 3:
        return code_of(FILE_DEVICE_UNKNOWN, 0x800 + in_.u8() % 0x90);
      default:
        if (in_.u8() % 2) return in_.u32();
        ULONG type = in_.u16();
        return code_of(type, in_.u16() & 0xFFF);
    }
  }

  ULONG code_of(ULONG type, ULONG function) {
    ULONG method = in_.u8() % 4;
    ULONG access = in_.u8() % 4;
    return CTL_CODE(type, function, method, access);
  }

  // What a code reads and writes: its row's needs, or the records the streaming
  // and status requests test themselves.
  static void needs(ULONG code, ULONG* input, ULONG* output) {
    const CAM_CONTROL_ENTRY* entry = CamFindControlEntry(code);
    *input = entry != nullptr ? entry->InputNeeded : 4;
    *output = entry != nullptr ? entry->OutputNeeded : 4;
    if (code == IOCTL_CAM_STREAM_START) *input = sizeof(CAM_STREAM_START_PARAMS);
    if (code == IOCTL_CAM_STREAM_RELEASE_FRAME) *input = sizeof(CAM_STREAM_FRAME_RELEASE);
    if (code == IOCTL_CAM_STREAM_GET_FRAME) *output = sizeof(CAM_STREAM_FRAME_INFO);
    if (code == IOCTL_CAM_GET_LAST_STATUS) *output = 4;
    if (code == IOCTL_CAM_WRITE_BLOCK) *input = 4;
  }

  // A length around what the code needs.
  ULONG pick_length(ULONG need) {
    switch (in_.u8() % 8) {
      case 0:
        return 0;
      case 1:
        return need > 0 ? need - 1 : 1;
      case 2:
        return need;
      case 3:
        return need + 1;
      case 4:
        return 0x10000;
      case 5:
        return in_.u8();
      case 6:
        return 0xFFFF;
      default:
        return 4096 + in_.u16() % 4096;
    }
  }

  // Contents: zeros, the input's own bytes, all ones, or chosen values in each word.
  void fill(std::vector<uint8_t>& bytes) {
    uint8_t how = in_.u8();
    if (bytes.empty()) return;
    switch (how % 4) {
      case 0:
        break;
      case 1:
        in_.fill(bytes.data(), bytes.size());
        break;
      case 2:
        std::memset(bytes.data(), 0xFF, bytes.size());
        break;
      case 3: {
        const uint32_t values[2] = {in_.pick(kValues), in_.pick(kValues)};
        for (size_t at = 0; at + 4 <= bytes.size() && at < 64; at += 4)
          std::memcpy(&bytes[at], &values[at / 4 % 2], 4);
        break;
      }
    }
  }

  void control() {
    const Open* open = pick_open();
    Request r;
    r.code = pick_code();
    ULONG input = 0, output = 0;
    needs(r.code, &input, &output);
    r.input.resize(pick_length(input));
    r.output_length = pick_length(output);
    uint8_t absent = in_.u8();
    r.no_input = absent & 1;
    r.no_output = absent & 2;
    fill(r.input);
    if (open == nullptr) return;
    if (is_frame_read(r.code)) prepare_read(r.code);
    Reply reply = send(*open, r);
    if (CamFindControlEntry(r.code) == nullptr && NT_SUCCESS(reply.status))
      finding("a code the driver does not have succeeded");
    if (r.code == IOCTL_CAM_STREAM_GET_FRAME) keep_frame(*open, reply);
  }

  // ---- frames ----

  static bool is_frame_read(ULONG code) {
    return code == IOCTL_CAM_READ_FRAME || code == IOCTL_CAM_READ_FRAME_EX ||
           code == IOCTL_CAM_STREAM_READ_FRAME;
  }

  // The plain transfer waits on the camera with no time-out: every camera gets a
  // frame first, as an application reading that way would have made sure of.
  void prepare_read(ULONG code) {
    g_counts.frame_reads++;
    if (code == IOCTL_CAM_READ_FRAME) feed_cameras(1, true);
  }

  ULONG pick_read_length() {
    const ULONG packet = endpoint_.packet;
    const ULONG lengths[] = {0,
                             1,
                             kHeader - 1,
                             kHeader,
                             511,
                             512,
                             513,
                             packet - 1,
                             packet,
                             packet + 1,
                             frame_ - 1,
                             frame_,
                             frame_ + 1,
                             kChunk - 1,
                             kChunk,
                             kChunk + 1,
                             kChunk + packet,
                             kHeader + frame_ - 1,
                             kHeader + frame_,
                             kHeader + frame_ + 1,
                             2 * frame_ + kHeader,
                             0x100000 + 7};
    return in_.pick(lengths);
  }

  void frame_read() {
    static constexpr ULONG kReads[] = {IOCTL_CAM_READ_FRAME, IOCTL_CAM_READ_FRAME_EX,
                                       IOCTL_CAM_STREAM_READ_FRAME};
    const Open* open = pick_open();
    Request r;
    r.code = in_.pick(kReads);
    r.output_length = pick_read_length();
    r.no_output = in_.u8() % 8 == 0;
    if (in_.u8() % 2 == 0) feed_cameras(1);
    if (open == nullptr) return;
    prepare_read(r.code);
    Reply reply = send(*open, r);
    if (NT_SUCCESS(reply.status) && reply.information > r.output_length)
      finding("a read claims more than its buffer");
  }

  void stream_start() {
    static constexpr int32_t kWild[] = {0,       1,        -1,       INT32_MIN,      511,
                                        512,     513,      4095,     4096,           0x80000,
                                        0x80001, 0x100000, 32 << 20, (32 << 20) + 1, INT32_MAX};
    const Open* open = pick_open();
    uint8_t how = in_.u8();
    Request r;
    CAM_STREAM_START_PARAMS params{};
    switch (how % 4) {
      case 0:
        params.FrameSize = static_cast<int32_t>(frame_);
        break;
      case 1:
        params.FrameSize = static_cast<int32_t>(frame_) + static_cast<int8_t>(in_.u8());
        break;
      case 2:
        params.FrameSize = in_.pick(kWild);
        break;
      case 3:
        params.FrameSize = static_cast<int32_t>(in_.u32());
        break;
    }
    const size_t lengths[] = {sizeof params, sizeof params - 1, sizeof params + 1, 4096};
    r.input.resize(lengths[(how / 4) % 4]);
    std::memcpy(r.input.data(), &params, std::min(r.input.size(), sizeof params));
    r.output_length = (how / 16) % 2 ? sizeof params : 0;
    r.no_input = how >= 0xF0;
    r.code = IOCTL_CAM_STREAM_START;
    if (open == nullptr) return;
    g_counts.streams++;
    send(*open, r);
  }

  void stream_get() {
    const Open* open = pick_open();
    Request r;
    r.code = IOCTL_CAM_STREAM_GET_FRAME;
    static constexpr ULONG kLengths[] = {40, 40, 39, 0, 41, 4096};
    r.output_length = in_.pick(kLengths);
    r.no_output = in_.u8() % 8 == 0;
    if (open == nullptr) return;
    keep_frame(*open, send(*open, r));
  }

  // A frame handed out must lie in a view of the process whose stream it is.
  void keep_frame(const Open& open, const Reply& reply) {
    if (!NT_SUCCESS(reply.status) || reply.information < sizeof(CAM_STREAM_FRAME_INFO)) return;
    CAM_STREAM_FRAME_INFO info;
    std::memcpy(&info, reply.output.data(), sizeof info);
    if (info.Length != sizeof info) finding("a frame record of the wrong length");
    if (info.Size > 0) {
      sim::ProcessScope scope(process_(open.process));
      uint8_t first = 0, last = 0;
      auto* address = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(info.UserAddress));
      if (!sim::read_user_view(address, &first, 1) ||
          !sim::read_user_view(address + info.Size - 1, &last, 1)) {
        finding("a frame handed out outside the process's views");
      }
    }
    if (addresses_.size() >= kMaxAddresses) addresses_.erase(addresses_.begin());
    addresses_.push_back({info.UserAddress, info.Size, open.process});
  }

  uint64_t pick_address() {
    uint8_t how = in_.u8();
    uint64_t known = addresses_.empty() ? 0 : addresses_[in_.u8() % addresses_.size()].address;
    switch (how % 6) {
      case 0:
      case 1:
        return known;
      case 2:
        return known + 1;
      case 3:
        return known + 4096;
      case 4:
        return 0;
      default: {
        uint64_t high = in_.u32();
        return (high << 32) | in_.u32();
      }
    }
  }

  void stream_release() {
    const Open* open = pick_open();
    uint8_t how = in_.u8();
    CAM_STREAM_FRAME_RELEASE record{};
    static constexpr uint32_t kLengthFields[] = {32, 32, 32, 40, 0, 31};
    record.Length = in_.pick(kLengthFields);
    record.UserAddress = pick_address();
    Request r;
    r.code = IOCTL_CAM_STREAM_RELEASE_FRAME;
    const size_t lengths[] = {sizeof record, sizeof record, sizeof record - 1, sizeof record + 1, 0};
    r.input.resize(lengths[how % 5]);
    if (!r.input.empty()) std::memcpy(r.input.data(), &record, std::min(r.input.size(), sizeof record));
    r.output_length = (how / 8) % 2 ? 32 : 0;
    r.no_input = how >= 0xF8;
    if (open == nullptr) return;
    send(*open, r);
  }

  void stream_read() {
    const Open* open = pick_open();
    Request r;
    r.code = IOCTL_CAM_STREAM_READ_FRAME;
    r.output_length = pick_read_length();
    r.no_output = in_.u8() % 8 == 0;
    if (open == nullptr) return;
    g_counts.frame_reads++;
    send(*open, r);
  }

  void stream_stop() {
    const Open* open = pick_open();
    Request r;
    r.code = IOCTL_CAM_STREAM_STOP;
    if (open == nullptr) return;
    send(*open, r);
  }

  // A read left waiting at the bus while another operation runs: the handle
  // closes, the pipe is aborted, the thread is terminated, or the next operation
  // of the input runs (a Plug and Play event, a sleep, a stream...). The camera
  // then sends frames; the read must be over within the bound.
  void pending_read() {
    const Open* chosen = pick_open();
    uint8_t how = in_.u8();
    if (chosen == nullptr || pending_) return;
    pending_ = true;
    Open open = *chosen;
    static constexpr ULONG kReads[] = {IOCTL_CAM_READ_FRAME, IOCTL_CAM_READ_FRAME_EX,
                                       IOCTL_CAM_STREAM_READ_FRAME, IOCTL_CAM_STREAM_GET_FRAME};
    ULONG code = kReads[how % 4];
    ULONG length = code == IOCTL_CAM_STREAM_GET_FRAME ? 40 : pick_read_length();
    g_counts.pending++;
    g_counts.requests++;
    note("pending request %08X out %u, then %d", unsigned(code), unsigned(length), (how / 4) % 4);
    sim::set_timeout_scale(kPendingScale);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    sim::AppThread reader(process_(open.process), "pending read", [&] {
      std::vector<uint8_t> output(length, 0xDE);
      ULONG_PTR information = 0;
      status = sim::nt_device_io_control(open.handle, code, nullptr, 0, output.data(), length, &information);
    });
    // Under way at the bus, or (nothing there to wait for) given a moment's start.
    for (Camera& camera : cameras_) {
      if (camera.state != Camera::Gone) camera.device->wait_for_pending(1, 5ms);
    }
    switch ((how / 4) % 4) {
      case 0:
        close_handle(open);
        break;
      case 1:
        reader.terminate();
        break;
      case 2: {
        Request abort;
        abort.code = IOCTL_CAM_ABORT_PIPE;
        send(open, abort);
        break;
      }
      case 3:
        if (!in_.done()) step();
        break;
    }
    feed_cameras(2);
    if (!reader.wait_exited(kBound)) {
      reader.terminate();
      if (!reader.wait_exited(kBound)) finding("a read left pending never ended");
    }
    sim::set_timeout_scale(kTimeoutScale);
    pending_ = false;
    note("pending request: %08X", unsigned(status.load()));
  }

  void close_handle(const Open& open) {
    for (size_t i = 0; i < opens_.size(); ++i) {
      if (opens_[i].handle == open.handle) return close(static_cast<uint8_t>(i));
    }
  }

  // ---- the end ----

  void finish() {
    if (platform_->system_power() != PowerSystemWorking) platform_->wake();
    while (!opens_.empty()) close(0);
    sim::inject::clear();
    platform_.reset();
  }

  sim::Process& process_(int n) { return n == 0 ? sim::default_process() : n == 1 ? first_ : second_; }

  Input in_;
  std::string log_;
  Endpoint endpoint_{};
  uint32_t frame_ = 0;
  // Declared before the platform: a process outlives the machine its views were on.
  sim::Process first_{"fuzz-first"};
  sim::Process second_{"fuzz-second"};
  std::unique_ptr<sim::Platform> platform_ = std::make_unique<sim::Platform>(CamDriverEntry);
  std::vector<Camera> cameras_;
  std::vector<Open> opens_;
  std::vector<Address> addresses_;
  bool pending_ = false;  // a read is left pending: no second one under it
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sim::set_fault_handler([](const sim::FaultReport& report) {
    finding(std::string("verifier: ") + sim::fault_name(report.kind) + ": " + report.message);
  });
  std::atexit(print_counts);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_counts.inputs++;
  Session session(data, size);
  session.run();
  return 0;
}
