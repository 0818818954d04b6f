// The camera pulled out, and the machine put to sleep, at every point of an
// application's session in turn. The session (settings, a register, a stream with
// frames taken in place and copied, each single-shot frame read, the close) runs
// once to count the URBs it sends; then once more for each k, with the fault at the
// k-th URB. An unplug takes the camera off the bus as that URB arrives and the Plug
// and Play manager sends surprise removal after it, as a hub reports a port that
// lost its device; a sleep (S3, then wake) starts as that URB arrives. Every
// replay must end with each request completed, its status one the fault may give,
// every frame the application saw whole, the handle closed, nothing leaked and no
// verifier report; after an unplug the device object is gone, after a sleep the
// stream went on and the camera serves the next request. Every wait is bounded: a
// replay that hangs says at which k, and what it was doing.
#include <sim/pattern.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "support/control.h"
#include "support/stream.h"

namespace quorvex::test {
namespace {

// Not a whole number of packets: each frame ends with a short packet, so that one
// stream transfer takes it whole and every frame costs the stream one URB.
constexpr uint32_t kFrame = 300000;
constexpr int kStreamRounds = 3;  // each a frame taken in place and one copied

enum class Fault { None, Unplug, Sleep };

const char* fault_name(Fault fault) {
  switch (fault) {
    case Fault::Unplug:
      return "unplug";
    case Fault::Sleep:
      return "sleep";
    default:
      return "none";
  }
}

enum class Kind { Control, StreamStart, StreamTake, StreamRelease, StreamStop, FrameRead };

// What each kind of request may end with once the fault struck, read from the
// driver. After an unplug the bus fails every URB with STATUS_DEVICE_NOT_CONNECTED
// (those it holds at once, before the surprise removal aborts anything), which a
// control request, a stream start whose send was refused and a frame read whose
// last chunk failed pass on; a frame read whose trigger or first send failed is
// STATUS_UNSUCCESSFUL; once surprise removal came, every request is refused with
// STATUS_DELETE_PENDING. A stream start that finds the device leaving as it sends
// ends its transfers unsent (STATUS_CANCELLED); one whose transfers both ended
// before it returned fails with STATUS_UNSUCCESSFUL, and so does a take that finds
// no frame. Around a sleep a request that would move data while the device goes
// out of D0 is not sent (STATUS_DEVICE_POWERED_OFF), and a frame read in flight is
// ended (STATUS_CANCELLED); a stream parks its transfers and goes on after the
// wake, so its requests all succeed.
const std::set<NTSTATUS>& allowed(Fault fault, Kind kind) {
  static const std::set<NTSTATUS> kSuccess = {STATUS_SUCCESS};
  static const std::set<NTSTATUS> kUnplugControl = {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED,
                                                    STATUS_DELETE_PENDING};
  static const std::set<NTSTATUS> kUnplugStart = {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED,
                                                  STATUS_DELETE_PENDING, STATUS_CANCELLED,
                                                  STATUS_UNSUCCESSFUL};
  static const std::set<NTSTATUS> kUnplugTake = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DELETE_PENDING};
  static const std::set<NTSTATUS> kUnplugRefused = {STATUS_SUCCESS, STATUS_DELETE_PENDING};
  static const std::set<NTSTATUS> kUnplugRead = {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED,
                                                 STATUS_DELETE_PENDING, STATUS_UNSUCCESSFUL};
  static const std::set<NTSTATUS> kSleepControl = {STATUS_SUCCESS, STATUS_DEVICE_POWERED_OFF};
  static const std::set<NTSTATUS> kSleepRead = {STATUS_SUCCESS, STATUS_DEVICE_POWERED_OFF, STATUS_CANCELLED};
  if (fault == Fault::Unplug) {
    switch (kind) {
      case Kind::Control:
        return kUnplugControl;
      case Kind::StreamStart:
        return kUnplugStart;
      case Kind::StreamTake:
        return kUnplugTake;
      case Kind::FrameRead:
        return kUnplugRead;
      default:
        return kUnplugRefused;
    }
  }
  if (fault == Fault::Sleep) {
    if (kind == Kind::Control) return kSleepControl;
    if (kind == Kind::FrameRead) return kSleepRead;
  }
  return kSuccess;
}

bool plain_bulk(USHORT product) { return product == 0x1009 || product == 0x100B || product == 0x100F; }

// The application: one handle, its requests one after another, each outcome
// recorded; what it saw of the camera's frames checked as it comes.
class Session {
 public:
  Session(sim::UsbDevice& device, Fault fault) : device_(device), fault_(fault) {}

  void run() {
    at("open");
    sim::Handle handle = sim::kInvalidHandle;
    if (sim::nt_create_file(L"\\\\.\\Quorvex-0", &handle) != STATUS_SUCCESS) {
      note("open failed");
      return;
    }
    control(handle, "get exposure", IOCTL_CAM_GET_EXPOSURE, {}, 4);
    control(handle, "set exposure", IOCTL_CAM_SET_EXPOSURE, le32(1000), 0);
    control(handle, "read register", IOCTL_CAM_READ_REGISTER, {0x10}, 4);
    stream(handle);
    USHORT product = device_.config().product_id;
    if (plain_bulk(product)) device_.camera().queue_frames(1);
    frame_read(handle, plain_bulk(product) ? "plain read" : "triggered read", IOCTL_CAM_READ_FRAME);
    device_.camera().queue_frames(1);
    frame_read(handle, "read without trigger", IOCTL_CAM_READ_FRAME_EX);
    at("close");
    if (sim::nt_close(handle) != STATUS_SUCCESS) note("close failed");
    at("done");
  }

  struct Step {
    std::string what;
    Kind kind;
    NTSTATUS status;
  };
  const std::vector<Step>& steps() const { return steps_; }
  const std::vector<std::string>& faults() const { return faults_; }
  const char* doing() const { return doing_.load(); }
  int frames_seen() const { return frames_seen_; }

 private:
  void at(const char* what) { doing_ = what; }
  void note(std::string fault) { faults_.push_back(std::move(fault)); }
  NTSTATUS record(const char* what, Kind kind, NTSTATUS status) {
    steps_.push_back({what, kind, status});
    return status;
  }

  void control(sim::Handle handle, const char* what, ULONG code, const Bytes& input, size_t output) {
    at(what);
    record(what, Kind::Control, send_control(handle, code, input, output).status);
  }

  // Frames taken in place and copied, one queued at the camera for each. Before
  // the stop, the transfer that took the last frame has been sent again, so that
  // the stop's abort is always the URB after it.
  void stream(sim::Handle handle) {
    at("stream start");
    if (record("stream start", Kind::StreamStart, StreamCalls::start(handle, kFrame)) != STATUS_SUCCESS)
      return;
    // Each frame sends its transfer again.
    uint64_t started = device_.urbs_arrived();
    // One frame more than the takes need: a stream drops the frame under way as
    // its device powers down, which may be one the camera had sent whole.
    device_.camera().queue_frames(1);
    bool flowing = true;
    for (int round = 0; round < kStreamRounds && flowing; ++round) {
      flowing = take_in_place(handle) && take_copy(handle);
    }
    if (flowing && !device_.wait_for_urbs(started + 2 * kStreamRounds + 1, kBound)) {
      note("the stream's last transfer was not sent again");
    }
    at("stream stop");
    record("stream stop", Kind::StreamStop, StreamCalls::stop(handle));
  }

  bool take_in_place(sim::Handle handle) {
    at("stream get");
    device_.camera().queue_frames(1);
    Frame frame = StreamCalls::get(handle);
    if (lost_to_sleep(frame.status)) frame = StreamCalls::get(handle);
    if (record("stream get", Kind::StreamTake, frame.status) != STATUS_SUCCESS) return false;
    if (frame.size != kFrame) note("a frame of " + std::to_string(frame.size) + " bytes");
    in_order(StreamCalls::check_view(frame));
    at("stream release");
    return record("stream release", Kind::StreamRelease, StreamCalls::release(handle, frame.address)) ==
           STATUS_SUCCESS;
  }

  bool take_copy(sim::Handle handle) {
    at("stream read");
    device_.camera().queue_frames(1);
    Bytes output;
    ULONG_PTR information = 0;
    NTSTATUS status = StreamCalls::read(handle, kFrame + 24, &output, &information);
    if (lost_to_sleep(status)) status = StreamCalls::read(handle, kFrame + 24, &output, &information);
    if (record("stream read", Kind::StreamTake, status) != STATUS_SUCCESS) return false;
    sim::pattern::Check check = sim::pattern::check(output.data() + 24, kFrame);
    if (information != kFrame + 24 || !check.ok) {
      note("a copied frame not whole, " + std::to_string(information) + " bytes");
    }
    in_order(check.frame);
    return true;
  }

  // Each of the stream's two transfers may have taken a whole frame that the
  // power-down then cancelled, which can leave none of the frames given for a take
  // to find in its second: the camera is given one more, once, and the take tried
  // again, which must then succeed.
  bool lost_to_sleep(NTSTATUS status) {
    if (fault_ != Fault::Sleep || status != STATUS_UNSUCCESSFUL || retried_) return false;
    retried_ = true;
    device_.camera().queue_frames(1);
    return true;
  }

  void in_order(uint32_t frame) {
    if (frames_seen_ > 0 && frame <= last_frame_) {
      note("frame " + std::to_string(frame) + " after frame " + std::to_string(last_frame_));
    }
    last_frame_ = frame;
    frames_seen_++;
  }

  // A read that succeeds brings a whole frame, unless an earlier read was cut
  // short around a sleep: the camera then goes on with that frame where it was
  // (a triggered frame is not started again), and only the length is checked.
  void frame_read(sim::Handle handle, const char* what, ULONG code) {
    at(what);
    Bytes output(kFrame, kPoison);
    ULONG_PTR information = 0;
    NTSTATUS status =
        record(what, Kind::FrameRead,
               sim::nt_device_io_control(handle, code, nullptr, 0, output.data(), kFrame, &information));
    bool whole =
        status == STATUS_SUCCESS && information == kFrame && sim::pattern::check(output.data(), kFrame).ok;
    if (!NT_SUCCESS(status) && information != 0) {
      note(std::string(what) + " failed, yet claims " + std::to_string(information) + " bytes");
    } else if (NT_SUCCESS(status) && !whole && camera_at_frame_start_) {
      note(std::string(what) + ": " + std::to_string(information) + " bytes, not a whole frame");
    }
    camera_at_frame_start_ = camera_at_frame_start_ && (whole || fault_ != Fault::Sleep);
  }

  sim::UsbDevice& device_;
  const Fault fault_;
  bool retried_ = false;
  std::vector<Step> steps_;
  std::vector<std::string> faults_;
  std::atomic<const char*> doing_{"not started"};
  int frames_seen_ = 0;
  uint32_t last_frame_ = 0;
  bool camera_at_frame_start_ = true;
};

class UnplugPoints : public Testbed, public ::testing::WithParamInterface<USHORT> {
 protected:
  static int failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  // A hang cannot be unwound: it is reported with its point, and the run ends.
  [[noreturn]] static void hang(Fault fault, uint64_t k, const char* what, const Session& session) {
    std::fprintf(stderr, "%s at event %llu: %s did not finish within %lld s (the session was at: %s)\n",
                 fault_name(fault), static_cast<unsigned long long>(k), what,
                 static_cast<long long>(kBound.count()), session.doing());
    std::fflush(stderr);
    std::_Exit(3);
  }

  NTSTATUS bounded(Fault fault, uint64_t k, const char* what, const Session& session,
                   std::function<NTSTATUS()> step) {
    auto result = std::make_shared<std::promise<NTSTATUS>>();
    std::future<NTSTATUS> future = result->get_future();
    std::thread([result, step] { result->set_value(step()); }).detach();
    if (future.wait_for(kBound) != std::future_status::ready) hang(fault, k, what, session);
    return future.get();
  }

  // One run of the session on a fresh machine, the fault (if any) at the k-th
  // URB it sends; returns how many URBs it sent.
  uint64_t replay(Fault fault, uint64_t k) {
    int before = failures();
    platform_.reset();
    platform_ = std::make_unique<sim::Platform>(CamDriverEntry);
    sim::CameraConfig config = camera(GetParam());
    config.frame_size = kFrame;
    sim::UsbDevice& device = plug(config);
    uint64_t base = device.urbs_arrived();
    if (fault == Fault::Unplug) device.unplug_on(sim::UrbMatch::any(), static_cast<int>(k));
    sim::Process app("camera application");
    Session session(device, fault);
    {
      sim::AppThread thread(app, "session", [&session] { session.run(); });
      if (fault != Fault::None) strike(fault, k, device, base, session);
      if (!thread.wait_exited(kBound)) hang(fault, k, "the session", session);
    }
    uint64_t sent = device.urbs_arrived() - base;
    check_outcome(fault, session);
    if (fault == Fault::Unplug) {
      EXPECT_TRUE(platform().wait_removed(device, kBound)) << "the removal after the last close";
      EXPECT_EQ(platform().fdo(device), nullptr);
    }
    if (fault == Fault::Sleep) {
      EXPECT_EQ(bounded(fault, k, "the request after the wake", session, final_request), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::open_handle_count(), 0);
    if (failures() != before) report(session, device);
    platform_.reset();  // removes what is left, unloads the driver, checks for leaks
    return sent;
  }

  void strike(Fault fault, uint64_t k, sim::UsbDevice& device, uint64_t base, const Session& session) {
    if (!device.wait_for_urbs(base + k, kBound)) {
      ADD_FAILURE() << "the session sent fewer than " << k << " URBs";
      return;
    }
    if (fault == Fault::Unplug) {
      EXPECT_EQ(bounded(fault, k, "the unplug", session, [&] { return platform().unplug(device); }),
                STATUS_SUCCESS);
      return;
    }
    EXPECT_EQ(bounded(fault, k, "the sleep", session, [&] { return platform().sleep(PowerSystemSleeping3); }),
              STATUS_SUCCESS);
    EXPECT_EQ(bounded(fault, k, "the wake", session, [&] { return platform().wake(); }), STATUS_SUCCESS);
  }

  // What a failing replay did: each request's outcome and what the camera saw.
  static void report(const Session& session, sim::UsbDevice& device) {
    std::string text = "the session:";
    char line[128];
    for (const Session::Step& step : session.steps()) {
      std::snprintf(line, sizeof line, "\n  %s: %08X", step.what.c_str(), static_cast<uint32_t>(step.status));
      text += line;
    }
    ADD_FAILURE() << text << "\nthe bus:" << describe_trace(device);
  }

  static void check_outcome(Fault fault, const Session& session) {
    for (const std::string& fault_seen : session.faults()) ADD_FAILURE() << fault_seen;
    for (const Session::Step& step : session.steps()) {
      EXPECT_EQ(allowed(fault, step.kind).count(step.status), 1u)
          << step.what << " ended with status " << std::hex << static_cast<uint32_t>(step.status);
    }
    if (fault == Fault::None) {
      EXPECT_EQ(session.frames_seen(), 2 * kStreamRounds);
    }
  }

  // After the wake the camera serves a new handle.
  static NTSTATUS final_request() {
    sim::Handle handle = sim::kInvalidHandle;
    NTSTATUS status = sim::nt_create_file(user_name(0), &handle);
    if (status != STATUS_SUCCESS) return status;
    status = send_control(handle, IOCTL_CAM_GET_EXPOSURE, {}, 4).status;
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
    return status;
  }

  // Replays the session with the fault at each of its URBs in turn, up to the
  // first point that fails.
  void every_point(Fault fault) {
    auto begun = std::chrono::steady_clock::now();
    uint64_t count = replay(Fault::None, 0);
    ASSERT_GT(count, 0u);
    ASSERT_FALSE(HasFailure()) << "the session failed without a fault";
    uint64_t replayed = 0;
    for (uint64_t k = 1; k <= count; ++k) {
      int before = failures();
      replay(fault, k);
      replayed++;
      if (failures() != before) {
        ADD_FAILURE() << fault_name(fault) << " at event " << k << " of " << count << " failed (above)";
        break;
      }
    }
    auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun);
    std::printf("%s points: product %04X, %llu URBs in the session, %llu replayed, %lld ms\n",
                fault_name(fault), GetParam(), static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(replayed), static_cast<long long>(took.count()));
  }
};

TEST_P(UnplugPoints, UnplugAtEveryEvent) { every_point(Fault::Unplug); }

TEST_P(UnplugPoints, SleepAtEveryEvent) { every_point(Fault::Sleep); }

// The triggered read and the read without trigger; the plain bulk read and the
// read without trigger.
INSTANTIATE_TEST_SUITE_P(Products, UnplugPoints, ::testing::Values(USHORT{0x100E}, USHORT{0x1009}),
                         ProductName());

}  // namespace
}  // namespace quorvex::test
