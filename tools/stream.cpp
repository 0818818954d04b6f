// `quorvex stream`: frames back to back from the driver's stream, taken in place,
// with a live line of their rate, every k-th written out as a picture.
#include <chrono>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "commands.h"
#include "interrupt.h"
#include "output.h"

namespace quorvex::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Takes that find no frame for this long end the stream: the camera stopped sending,
// or the driver ended its transfers (it does not say which).
constexpr int kSilentSeconds = 5;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The live line: on a terminal redrawn in place four times a second, elsewhere one
// line a second.
class ProgressLine {
 public:
  ProgressLine(std::ostream& out, const StreamPlan& plan) : out_(out), plan_(plan) {}

  void show(const StreamStats& stats, double seconds) {
    if (!plan_.live) return;
    double period = plan_.terminal ? 0.25 : 1.0;
    if (seconds < next_) return;
    next_ = (static_cast<int>(seconds / period) + 1) * period;
    std::string text = stream_figures(stats, seconds);
    if (!plan_.terminal) {
      out_ << "  " << text << "\n" << std::flush;
      return;
    }
    size_t width = text.size();
    if (text.size() < shown_) text.resize(shown_, ' ');  // covers what the longer line left
    shown_ = width;
    out_ << "\r  " << text << std::flush;
  }
  // On a terminal the line is left standing.
  void end() {
    if (plan_.live && plan_.terminal && shown_ != 0) out_ << "\n";
  }

 private:
  std::ostream& out_;
  const StreamPlan& plan_;
  double next_ = 1.0;
  size_t shown_ = 0;
};

// Why a stream could not start, and the exit code: where the driver cannot map its
// frame buffers into the process (low memory, or a system such as Wine that maps no
// kernel memory into processes) streaming is unavailable.
int start_failed(const Camera& camera, const Status& status, std::ostream& err) {
  err << "quorvex: stream: the stream did not start: " << failure(camera, status) << "\n";
  if (status.origin == Origin::Library && status.code == kAlreadyStreaming) return kRequestFailed;
  if (status.nt_code() != 0xC000009A) return exit_for(status);  // STATUS_INSUFFICIENT_RESOURCES
  err << "quorvex: stream: streaming is unavailable here: the driver could not map its frame buffers into\n"
         "this process (Wine, for one, maps no kernel memory into processes); single frames still\n"
         "work: quorvex frame -o f.png\n";
  return kUnavailable;
}

// Writes the frame held in place as the frame command writes a frame read.
int save_held(const Frame& frame, const Resolution& window, FrameOutput& output, std::ostream& err) {
  FrameResult f;
  f.window = window;
  f.frame_bytes = frame.size();
  f.received = frame.size();
  f.data.assign(frame.data(), frame.data() + frame.size());
  std::string what;
  std::ostringstream quiet;
  return save_frame(output, f, quiet, err, &what);
}

// What happens to one frame taken: checked, and written out when it is a k-th.
class FrameSink {
 public:
  FrameSink(Machine& machine, const StreamPlan& plan, const Resolution& window, StreamOutcome* outcome)
      : machine_(machine), plan_(plan), window_(window), outcome_(outcome) {}

  // Made before the stream starts, so that a name that cannot be written costs no stream.
  int prepare(std::ostream& err) {
    if (plan_.every == 0) return kOk;
    return next_.open(numbered_name(plan_.output, 0), err);
  }

  int take(const Frame& frame, uint64_t index, std::ostream& err) {
    if (frame.number()) outcome_->last_number = frame.number();
    if (plan_.check) check(frame);
    if (plan_.every == 0 || index % plan_.every != 0) return kOk;
    std::string name = numbered_name(plan_.output, index);
    int code = index == 0 ? kOk : next_.open(name, err);
    if (code == kOk) code = save_held(frame, window_, next_, err);
    if (code == kOk) outcome_->saved.push_back(name);
    return code;
  }

 private:
  void check(const Frame& frame) {
    std::string verdict = machine_.check_frame(frame.data(), frame.size(), frame.size());
    if (verdict.find("untorn") != std::string::npos) return;
    if (outcome_->torn++ == 0) outcome_->first_torn = verdict;
  }

  Machine& machine_;
  const StreamPlan& plan_;
  Resolution window_;
  StreamOutcome* outcome_;
  FrameOutput next_;
};

bool bound_reached(const StreamPlan& plan, const StreamStats& stats, double seconds) {
  return (plan.frames != 0 && stats.frames >= plan.frames) || (plan.seconds != 0 && seconds >= plan.seconds);
}

// A take that found no frame: the stream goes on for a few seconds of them.
bool silent(const Status& status, int* seconds_silent) {
  return status.nt_code() == 0xC0000001 && ++*seconds_silent < kSilentSeconds;  // STATUS_UNSUCCESSFUL
}

// Takes frames until the plan's bound, a failure or Ctrl-C.
int take_frames(Stream& stream, const StreamPlan& plan, FrameSink& sink, ProgressLine& line,
                StreamOutcome* outcome, std::ostream& err) {
  Clock::time_point start = Clock::now();
  Frame frame;
  int seconds_silent = 0;
  for (;;) {
    outcome->seconds = since(start);
    StreamStats stats = stream.stats();
    line.show(stats, outcome->seconds);
    bool done = plan.tick && plan.tick(outcome->seconds, stats);
    if (done || bound_reached(plan, stats, outcome->seconds)) return kOk;
    if (InterruptWatch::raised()) {
      outcome->interrupted = true;
      return kInterrupted;
    }
    Status status = stream.take(&frame);
    if (!status && silent(status, &seconds_silent)) continue;
    if (!status) {
      outcome->status = status;
      err << "quorvex: stream: "
          << (status.camera_gone()  ? "the camera is gone: "
              : seconds_silent != 0 ? "no frame came for " + std::to_string(kSilentSeconds) + " s: "
                                    : "a take failed: ")
          << status.message() << "\n";
      return exit_for(status);
    }
    seconds_silent = 0;
    int code = sink.take(frame, stats.frames, err);
    if (code != kOk) return code;
  }
}

}  // namespace

std::string stream_figures(const StreamStats& stats, double seconds) {
  char text[160];
  double rate = seconds > 0 ? 1 / seconds : 0;
  std::snprintf(text, sizeof(text), "%llu frames in %.1f s: %.1f frames/s, %.1f MB/s, ",
                static_cast<unsigned long long>(stats.frames), seconds, stats.frames * rate,
                stats.bytes * rate / 1e6);
  return text + (stats.counts_drops ? std::to_string(stats.dropped) + " dropped" : "drops not known");
}

std::string numbered_name(const std::string& name, uint64_t index) {
  char number[24];
  std::snprintf(number, sizeof(number), "-%06llu", static_cast<unsigned long long>(index));
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.find_last_of('.');
  // No dot, a dot in a folder's name, or a name that starts with its only dot.
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
    return name + number;
  return name.substr(0, dot) + number + name.substr(dot);
}

int run_stream(Machine& machine, const Camera& camera, const StreamPlan& plan, std::ostream& out,
               std::ostream& err, StreamOutcome* outcome) {
  Resolution window;
  Status status = camera.resolution(&window);
  if (!status) {
    err << "quorvex: stream: " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  FrameSink sink(machine, plan, window, outcome);
  int code = sink.prepare(err);
  if (code != kOk) return code;
  StreamOptions options;
  if (machine.numbered_frames()) options.frame_number = pattern_frame_number;
  InterruptWatch watch;
  machine.stream_frames(camera.instance(), true, plan.bytes_per_second);
  Stream stream = Stream::start(camera, &outcome->status, options);
  if (!outcome->status) {
    machine.stream_frames(camera.instance(), false, 0);
    return start_failed(camera, outcome->status, err);
  }
  outcome->started = true;
  ProgressLine line(out, plan);
  code = take_frames(stream, plan, sink, line, outcome, err);
  outcome->stats = stream.stats();
  line.end();
  Status stopped = stream.stop();
  machine.stream_frames(camera.instance(), false, 0);
  if (!stopped && !stopped.camera_gone() && code == kOk) {
    err << "quorvex: stream: the stop failed: " << failure(camera, stopped) << "\n";
    code = exit_for(stopped);
  }
  return code;
}

// The simulated camera streams at USB 2.0 high-speed bandwidth, as a real one would.
int stream_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  if (options.every != 0 && options.output.empty()) {
    err << "quorvex: stream: --every K saves frames to -o NAME (frames as NAME-000000.png, ...)\n";
    return kUsage;
  }
  if (options.output == "-") {
    err << "quorvex: stream: -o takes a file name: frames go to files NAME-000000.png, ..., not to\n"
           "standard output, where the progress line goes\n";
    return kUsage;
  }
  if (options.sleep_at != 0 && !machine.simulated()) {
    err << "quorvex: stream: --sleep-at puts the simulated machine to sleep; Windows sleeps as its own\n"
           "power settings say\n";
    return kUsage;
  }
  Camera camera;
  int code = open_camera(options, &camera, err);
  if (code != kOk) return code;
  StreamPlan plan;
  plan.frames = options.frames;
  plan.seconds = options.frames == 0 && options.seconds == 0 ? 5 : options.seconds;
  plan.every = options.output.empty() ? 0 : (options.every == 0 ? 1 : options.every);
  plan.output = options.output;
  plan.check = machine.numbered_frames();
  plan.live = true;
  plan.terminal = options.terminal;
  bool slept = false;
  if (options.sleep_at != 0) {
    plan.tick = [&](double seconds, const StreamStats&) {
      if (slept || seconds < options.sleep_at) return false;
      slept = true;
      out << (options.terminal ? "\n" : "");
      machine.system_power(3, options, out, err);
      machine.system_power(0, options, out, err);
      return false;
    };
  }
  plan.bytes_per_second = kHighSpeedBytesPerSecond;
  StreamOutcome outcome;
  code = run_stream(machine, camera, plan, out, err, &outcome);
  if (!outcome.started) return code;
  out << "stream: " << stream_figures(outcome.stats, outcome.seconds);
  if (outcome.interrupted) out << "; stopped by Ctrl-C";
  out << "\n";
  if (plan.check) {
    out << (outcome.torn == 0
                ? "every frame is the camera's pattern, whole and untorn\n"
                : std::to_string(outcome.torn) + " frames not the camera's pattern; the first " +
                      outcome.first_torn + "\n");
    if (outcome.torn != 0 && code == kOk) code = kRequestFailed;
  }
  if (!outcome.saved.empty())
    out << outcome.saved.size() << " frames written: " << outcome.saved.front()
        << (outcome.saved.size() > 1 ? " ... " + outcome.saved.back() : "") << "\n";
  return code;
}

}  // namespace quorvex::tool
