// `quorvex bench`: how fast a camera's frames reach the application on this machine,
// single-shot and streamed, each against one memcpy of the frame.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "commands.h"

namespace quorvex::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCopies = 20;
constexpr int kReads = 20;
constexpr double kReadSeconds = 3;
constexpr double kStreamSeconds = 2;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The fastest of a few copies of `bytes`: the speed the others are measured against.
double memcpy_seconds(uint32_t bytes) {
  std::vector<uint8_t> from(bytes, 0x5A), to(bytes);
  double best = 1e9;
  for (int i = 0; i < kCopies; ++i) {
    Clock::time_point start = Clock::now();
    std::memcpy(to.data(), from.data(), bytes);
    best = std::min(best, seconds(Clock::now() - start));
    from[i % bytes] ^= to[(i * 7) % bytes];  // keeps the copies from being folded away
  }
  return best;
}

void figure(std::ostream& out, const char* name, double per_frame, uint32_t bytes, double copy) {
  char text[160];
  std::snprintf(text, sizeof(text), "%-14s %8.3f ms a frame %8.1f frames/s %8.1f MB/s   %.3f of memcpy", name,
                per_frame * 1e3, 1 / per_frame, bytes / per_frame / 1e6, copy / per_frame);
  out << text;
}

// The fastest of back-to-back single-shot reads; 0 having said why when one fails.
double read_seconds(Machine& machine, const Camera& camera, uint32_t bytes, std::ostream& err, int* code) {
  double best = 0;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kReads && seconds(Clock::now() - start) < kReadSeconds; ++i) {
    Clock::time_point read = Clock::now();
    FrameResult f = read_one_frame(machine, camera, bytes, false);
    double took = seconds(Clock::now() - read);
    if (!f.status || f.received != f.data.size()) {
      err << "quorvex: bench: a single-shot read: " << frame_text(f) << "\n";
      *code = f.status ? kRequestFailed : exit_for(f.status);
      return 0;
    }
    best = best == 0 ? took : std::min(best, took);
  }
  return best;
}

// The largest window the camera has whose frame is at most `most` bytes, set.
int largest_window(const Camera& camera, uint32_t most, Resolution* window, std::ostream& err) {
  Status status = camera.resolution(window);
  const WindowSize* largest = nullptr;
  Limits limits = camera.limits(Setting::Resolution);
  for (const WindowSize& w : limits.windows) {
    Resolution r{w.width, w.height, window->bits_per_pixel};
    bool larger = largest == nullptr || w.width * w.height > largest->width * largest->height;
    if (frame_bytes(r) <= most && larger) largest = &w;
  }
  if (status && largest != nullptr) status = camera.set_resolution(largest->width, largest->height);
  if (status) status = camera.resolution(window);
  if (status) return kOk;
  err << "quorvex: bench: " << failure(camera, status) << "\n";
  return exit_for(status);
}

}  // namespace

int bench_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  Camera camera;
  int code = open_camera(options, &camera, err);
  const ProductInfo* p = nullptr;
  if (code == kOk && !camera.product(&p)) code = kRequestFailed;
  // One plain bulk transfer carries a whole frame only up to its length.
  uint32_t most = p != nullptr && p->frame_read == FrameRead::PlainBulk ? kPlainReadMaxBytes : UINT32_MAX;
  Resolution window;
  if (code == kOk) code = largest_window(camera, most, &window, err);
  if (code != kOk) return code;
  uint32_t whole = frame_bytes(window);
  out << "\\\\.\\Quorvex-" << options.instance << ", product " << hex(p->product, 4) << " at " << window.width
      << "x" << window.height << " (" << whole << " bytes a frame)"
      << (machine.simulated() ? ", the simulated camera sending with no bandwidth limit" : "") << ":\n";
  double copy = memcpy_seconds(whole);
  if (whole > most) {
    out << "single-shot    not timed: one plain bulk transfer carries at most " << most << " bytes\n";
  } else {
    double reads = read_seconds(machine, camera, 0, err, &code);
    if (code != kOk) return code;
    figure(out, "single-shot", reads, whole, copy);
    out << "\n";
  }
  StreamPlan plan;
  plan.seconds = kStreamSeconds;
  StreamOutcome streamed;
  code = run_stream(machine, camera, plan, out, err, &streamed);
  if (code != kOk) return code;
  if (streamed.stats.frames == 0) {
    err << "quorvex: bench: the stream brought no frame in " << kStreamSeconds << " s\n";
    return kRequestFailed;
  }
  figure(out, "stream", streamed.seconds / streamed.stats.frames, whole, copy);
  const StreamStats& s = streamed.stats;
  char dropped[64] = "   drops not known";
  if (s.counts_drops && s.numbered + s.dropped != 0)
    std::snprintf(dropped, sizeof(dropped), "   %.1f%% dropped",
                  100.0 * s.dropped / (s.numbered + s.dropped));
  out << dropped << "\n";
  return kOk;
}

}  // namespace quorvex::tool
