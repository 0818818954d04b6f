// `quorvex tour`: what the driver does for an application, on the simulated machine,
// in a few minutes of reading: plug, identify, change settings, watch the bus, read a
// frame, see what is refused and why, unplug, and the verifier's verdict.
#include <sim/verifier.h>

#include <cstdio>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "commands.h"
#include "machine_sim.h"

namespace quorvex::tool {
namespace {

using namespace std::chrono_literals;

void heading(std::ostream& out, int step, const char* text) { out << "\n" << step << ". " << text << "\n"; }

// Prints what `print` writes with every line indented, to set it apart from the
// tour's own lines.
template <typename Print>
int indented(std::ostream& out, Print print) {
  std::ostringstream text;
  int code = print(text);
  std::istringstream lines(text.str());
  for (std::string line; std::getline(lines, line);) out << (line.empty() ? "" : "   ") << line << "\n";
  return code;
}

// A value in the middle of what the setting accepts, so that it shows the driver's
// encoding rather than a boundary.
int64_t sample_value(Setting s, const Limits& l) {
  if (s == Setting::Exposure) return l.values[0].high > 0xFFFF ? 100000 : 1000;
  if (s == Setting::GlobalGain || s == Setting::Gain2B) return l.values[0].high >= 42 ? 42 : 30;
  if (s == Setting::OffsetPair) return 300;
  if (s == Setting::Reg20Bits) return 1;
  return l.values.back().high;
}

}  // namespace

int SimMachine::tour_settings(const Camera& camera, std::ostream& out) {
  const Setting samples[] = {Setting::Exposure, Setting::GlobalGain, Setting::Gain2B, Setting::OffsetPair,
                             Setting::Reg20Bits};
  const ProductInfo* p = nullptr;
  camera.product(&p);
  for (Setting s : samples) {
    Limits l = camera.limits(s);
    if (!l.settable()) continue;
    int64_t value = sample_value(s, l);
    Status status = camera.set(s, value);
    int64_t back = 0;
    std::string outcome = !status                           ? failure(camera, status)
                          : !l.readable                     ? "set (this product cannot read it back)"
                          : (status = camera.get(s, &back)) ? "reads back " + std::to_string(back)
                                                            : "read failed: " + failure(camera, status);
    out << "   set " << info(s).name << " " << value << " -> " << outcome;
    std::optional<uint16_t> reg = encode(s, p->model, value);
    if (reg && s != Setting::Exposure)
      out << "   (register " << hex(info(s).reg, 2) << " = " << hex(*reg, 4) << ")";
    out << "\n";
    if (!status) return kRequestFailed;
  }
  Limits windows = camera.limits(Setting::Resolution);
  WindowSize w = windows.windows.front();
  Resolution r;
  Status status = camera.set_resolution(w.width, w.height);
  if (status) status = camera.resolution(&r);
  out << "   set resolution " << w.width << "x" << w.height << " -> "
      << (status ? "reads back " + std::to_string(r.width) + "x" + std::to_string(r.height) + ", " +
                       std::to_string(r.bits_per_pixel) + " bits per pixel"
                 : failure(camera, status))
      << "\n";
  return status ? kOk : kRequestFailed;
}

void SimMachine::tour_traffic(const Camera& camera, std::ostream& out) {
  Limits l = camera.limits(Setting::GlobalGain);
  int64_t value = sample_value(Setting::GlobalGain, l);
  clear_trace();
  int64_t back = 0;
  camera.set(Setting::GlobalGain, value);
  if (l.readable) camera.get(Setting::GlobalGain, &back);
  out << "   quorvex set gain " << value
      << " --trace   (setup packet: bmRequestType bRequest wValue wIndex wLength)\n";
  for (const std::string& line : trace()) out << "   " << line << "\n";
}

void SimMachine::tour_refusals(const Camera& camera, std::ostream& out) {
  Limits l = camera.limits(Setting::GlobalGain);
  int64_t too_big = l.values.back().high + 1;
  clear_trace();
  Status status = camera.set(Setting::GlobalGain, too_big);
  out << "   set gain " << too_big << ": " << failure(camera, status) << "; " << trace().size()
      << " transfers on the bus\n";
  uint8_t byte = 0;
  status = camera.control(0x222010, nullptr, 0, &byte, 0);
  out << "   request 0x222010, a code the driver does not have: " << failure(camera, status) << "\n";
  status = camera.control(IOCTL_CAM_STREAM_STOP, nullptr, 0, nullptr, 0);
  out << "   IOCTL_CAM_STREAM_STOP on a handle with no stream: " << failure(camera, status) << "\n";
}

// Writes a frame the tour read into `name` in the current folder, as the frame
// command would, and says so.
int SimMachine::tour_save(const FrameResult& f, const char* name, std::ostream& out, std::ostream& err) {
  FrameOutput output;
  std::string what;
  int code = output.open(name, err);
  if (code == kOk) code = save_frame(output, f, out, err, &what);
  if (code == kOk) out << "   written to " << name << ": " << what << "\n";
  return code;
}

// One frame by the product's own read, then one by the read without trigger, each
// checked against the camera's pattern and written as a picture, with the bus
// traffic of the first.
int SimMachine::tour_frames(const Camera& camera, std::ostream& out, std::ostream& err) {
  const ProductInfo* p = nullptr;
  camera.product(&p);
  bool plain = p->frame_read == FrameRead::PlainBulk;
  out << "   quorvex frame -o frame.png\n   IOCTL_CAM_READ_FRAME, on product " << hex(p->product, 4)
      << (plain ? " one plain bulk transfer of a frame the camera sends unasked:\n"
                : " a trigger, then the image pipe in 512 KiB chunks:\n");
  FrameResult f = read_one_frame(*this, camera, 0, false);
  out << "   " << frame_text(f) << "\n";
  bool refused = plain && !f.status && f.frame_bytes > kPlainReadMaxBytes;
  if (refused) {
    out << "   (one plain bulk transfer carries at most " << kPlainReadMaxBytes
        << " bytes: the driver refuses a longer one before sending anything)\n";
  } else if (!f.status) {
    err << "quorvex: tour: frame read: " << failure(camera, f.status) << "\n";
    return exit_for(f.status);
  } else {
    out << "   the camera's test pattern: " << f.pattern << "\n   on the bus:\n";
    for (const std::string& line : trace()) out << "     " << line << "\n";
    int code = tour_save(f, "frame.png", out, err);
    if (code != kOk) return code;
  }
  out << "   quorvex frame --untriggered -o frame-untriggered.png\n"
         "   IOCTL_CAM_READ_FRAME_EX, no trigger (the simulated camera is given one frame to send):\n";
  f = read_one_frame(*this, camera, 0, true);
  out << "   " << frame_text(f) << "\n";
  if (!f.status) {
    err << "quorvex: tour: frame read without trigger: " << failure(camera, f.status) << "\n";
    return exit_for(f.status);
  }
  out << "   the camera's test pattern: " << f.pattern << "\n";
  return tour_save(f, "frame-untriggered.png", out, err);
}

// A stream of three seconds at USB 2.0 high-speed bandwidth, its first frame written
// out, with the machine put to sleep and woken a second into it: the frames go on
// after the wake, numbered higher, those the camera sent while asleep dropped. The
// sleep waits for a few frames and the end for a few after the wake, however slow
// the machine (a large frame's picture takes seconds under a sanitizer).
int SimMachine::tour_stream(const Camera& camera, std::ostream& out, std::ostream& err) {
  out << "   quorvex stream --seconds 3 --sleep-at 1 -o stream.png --every 1000\n"
         "   IOCTL_CAM_STREAM_START: two transfers always out on the image pipe, frames taken in place\n"
         "   from three buffers mapped into the tool; the camera sends 53,248,000 bytes a second:\n";
  StreamPlan plan;
  plan.every = 1000;
  plan.output = "stream.png";
  plan.check = true;
  StreamOutcome outcome;
  std::optional<uint32_t> before;
  uint64_t at_wake = 0;
  Options all;
  plan.tick = [&](double seconds, const StreamStats& stats) {
    if (before) return seconds >= 3 && stats.frames >= at_wake + 2;
    if (seconds < 1 || stats.frames < 2) return false;
    before = outcome.last_number;
    at_wake = stats.frames;
    out << "     " << stream_figures(stats, seconds) << "\n   ";
    system_power(3, all, out, err);
    out << "   ";
    system_power(0, all, out, err);
    return false;
  };
  plan.bytes_per_second = kHighSpeedBytesPerSecond;
  int code = run_stream(*this, camera, plan, out, err, &outcome);
  if (code != kOk) return code;
  out << "     " << stream_figures(outcome.stats, outcome.seconds) << "\n   "
      << (outcome.torn == 0 ? "every frame the camera's pattern, whole and untorn"
                            : std::to_string(outcome.torn) + " frames torn: " + outcome.first_torn)
      << "\n";
  bool went_on = before && outcome.last_number && *outcome.last_number > *before;
  out << (went_on ? "   after the wake the stream went on, its frames numbered higher; those the camera\n"
                    "   sent while the machine slept are counted dropped\n"
                  : "   the stream did NOT go on after the wake\n");
  if (!outcome.saved.empty()) out << "   its first frame written to " << outcome.saved.front() << "\n";
  return went_on && outcome.torn == 0 ? kOk : kRequestFailed;
}

void SimMachine::tour_next(const ProductInfo& p, std::ostream& out) {
  char other[40];
  std::snprintf(other, sizeof(other), "quorvex --product %04X info", p.product == 0x1009 ? 0x100E : 0x1009);
  const std::pair<std::string, const char*> next[] = {
      {"build/host/tools/quorvex --help", "every command, option and exit code"},
      {other, "another model's controls"},
      {"quorvex set resolution 1024x768 then set gain 30 then frame -o mine.png", nullptr},
      {"", "commands joined by `then` share one camera"},
      {"quorvex --trace get exposure", "the bus traffic of any command"},
      {"examples/capture.cpp", "the client library in an application"},
  };
  for (const auto& [command, what] : next) {
    out << "   " << std::left << std::setw(what ? 40 : 0) << command << std::right << (what ? what : "")
        << "\n";
  }
}

void SimMachine::tour_unplug(std::ostream& out) {
  sim::UsbDevice* device = devices_.front();
  platform_->clear_history();
  NTSTATUS unplugged = platform_->unplug(*device);
  bool removed = platform_->wait_removed(*device, 5s);
  out << "   unplugged: " << status_name(unplugged) << "\n   Plug and Play requests the driver handled:\n";
  for (const sim::PnpRecord& r : platform_->history()) {
    out << "     " << pnp_name(r.minor) << " " << status_name(r.status) << "\n";
  }
  out << (removed ? "   the device object is gone\n" : "   the device was NOT removed within 5 s\n");
  devices_.erase(devices_.begin());
}

int SimMachine::tour(std::ostream& out, std::ostream& err) {
  out << "Quorvex tour: the driver running on the simulated machine, driven as an application\n"
         "drives it on Windows: device control, single-shot frame reads and a stream.\n";
  const ProductInfo* p = find_product(devices_.front()->config().product_id);
  heading(out, 1, "A camera is plugged in and the driver starts it");
  for (sim::UsbDevice* d : devices_) {
    char id[16];
    std::snprintf(id, sizeof(id), "%04X:%04X", d->config().vendor_id, d->config().product_id);
    out << "   camera " << id << " on the simulated USB bus\n";
  }
  out << "   Plug and Play requests the driver handled:\n";
  for (const sim::PnpRecord& r : platform_->history()) {
    out << "     " << pnp_name(r.minor) << " " << status_name(r.status)
        << (r.status == STATUS_NOT_SUPPORTED ? " (nothing to report: passed down, as expected)" : "") << "\n";
  }
  int code = indented(out, [&](std::ostream& o) { return show_list(o, err); });
  if (code != kOk) return code;
  {
    Camera camera;
    Options first;
    code = open_camera(first, &camera, err);
    if (code != kOk) return code;
    heading(out, 2, "Its identity and each control its model has, in the camera's units");
    code = indented(out, [&](std::ostream& o) { return show_info(camera, o, err); });
    if (code != kOk) return code;
    heading(out, 3, "A few settings changed and read back");
    code = tour_settings(camera, out);
    if (code != kOk) return code;
    heading(out, 4, "The bus traffic of one of them");
    tour_traffic(camera, out);
    heading(out, 5, "One frame, read straight into the application's buffer");
    code = tour_frames(camera, out, err);
    if (code != kOk) return code;
    heading(out, 6, "A stream of frames, and the machine asleep in the middle of it");
    code = tour_stream(camera, out, err);
    if (code != kOk) return code;
    heading(out, 7, "What is refused, and why");
    tour_refusals(camera, out);
  }
  heading(out, 8, "The handle is closed and the camera unplugged");
  tour_unplug(out);
  heading(out, 9, "The verifier's verdict");
  code = finish(err);
  std::vector<std::string> faults = verifier_faults();
  out << "   driver unloaded; "
      << (faults.empty() ? "no faults, nothing leaked"
                         : std::to_string(faults.size()) + " fault(s), listed above")
      << "\n";
  heading(out, 10, "What to try next");
  tour_next(*p, out);
  return code;
}

}  // namespace quorvex::tool
