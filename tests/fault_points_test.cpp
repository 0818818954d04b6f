// Every failure point of every request, one at a time. For each request the driver
// serves, the 1st, 2nd, ... nth driver pool, IRP and MDL allocation, system-space
// and user-space mapping is failed in turn, each on a fresh machine, until the
// request completes without reaching the failure it was given; then likewise each
// URB the request sends, failed by the camera (a stall, a CRC error) or refused by
// the bus as a camera no longer connected. Each replay must end with a status the
// table allows for that kind of failure, no frame reported whole that is not, the
// same request then served again correctly, nothing leaked and no verifier report
// (the machine's destruction unloads the driver and checks). The figures, points
// per kind, are printed at the end.
#include <sim/pattern.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/control.h"
#include "support/stream.h"

namespace quorvex::test {
namespace {

// Not a whole number of packets: a frame read has a tail packet, and each stream
// frame ends with a short packet that ends its transfer.
constexpr uint32_t kFrame = 300000;
// The one-second waits of frame reads and takes, shortened: a failure point that
// starves a read must not cost a second.
constexpr double kTimeoutScale = 0.5;

// The driver's own power requests (PoRequestPowerIrp) count with the allocations:
// the power manager's IRP is what they fail for want of.
enum class Fault { Pool, Irp, Mdl, PowerRequest, SystemMapping, UserMapping, Stall, Crc, NotConnected };
constexpr Fault kFaults[] = {Fault::Pool,         Fault::Irp,           Fault::Mdl,
                             Fault::PowerRequest, Fault::SystemMapping, Fault::UserMapping,
                             Fault::Stall,        Fault::Crc,           Fault::NotConnected};
constexpr int kFaultKinds = sizeof(kFaults) / sizeof(kFaults[0]);

const char* fault_name(Fault fault) {
  static const char* const kNames[] = {"pool",         "IRP",   "MDL", "power request", "system mapping",
                                       "user mapping", "stall", "CRC", "not connected"};
  return kNames[static_cast<int>(fault)];
}

bool allocation(Fault fault) { return fault <= Fault::UserMapping; }

using Statuses = std::set<NTSTATUS>;

// What a request may end with when a failure of that kind struck it. A kind the
// request has no entry for must never be reached by it.
using Expected = std::map<Fault, Statuses>;

// What the machine is given before the request under test.
enum class Before { NoCamera, Nothing, Idling, Handle, Stream, HeldFrame, Asleep };

struct Result {
  NTSTATUS status = kNotServed;
  ULONG_PTR information = 0;
  // The request did all it says: its output the camera's, whole. A failed request
  // is judged by its status and by `honest` alone.
  bool whole = false;
  // Nothing claimed that did not happen: no frame reported whole that is not, no
  // bytes reported by a failure.
  bool honest = true;
};

// The machine a request runs on: one camera of the product, one handle.
struct Machine {
  sim::Platform* platform = nullptr;
  sim::UsbDevice* device = nullptr;
  USHORT product = 0;
  sim::Handle handle = sim::kInvalidHandle;
  uint64_t held = 0;  // the address of a frame taken in place
  std::function<void()> arm_allocation;
  std::function<void()> arm_bus;
  // Called where the request under test ends and the checks of its outcome begin:
  // the failures not reached by then are taken back.
  std::function<void()> request_done;
};

// A frame read's outcome: a read that succeeds with the whole length brings the
// camera's whole frame; a failed one reports no bytes.
Result frame_result(NTSTATUS status, ULONG_PTR information, const Bytes& output) {
  Result r{status, information};
  bool full = information == kFrame && sim::pattern::check(output.data(), kFrame).ok;
  r.whole = status == STATUS_SUCCESS && full;
  r.honest = NT_SUCCESS(status) ? (information != kFrame || full) : information == 0;
  return r;
}

Result frame_read(Machine& m, ULONG code) {
  Bytes output(kFrame, kPoison);
  ULONG_PTR information = 0;
  NTSTATUS status =
      sim::nt_device_io_control(m.handle, code, nullptr, 0, output.data(), kFrame, &information);
  return frame_result(status, information, output);
}

Result control(Machine& m, ULONG code, const Bytes& input, const Bytes& answer) {
  Reply reply = send_control(m.handle, code, input, answer.size());
  Result r{reply.status, reply.information};
  r.whole = reply.status == STATUS_SUCCESS && reply.information == answer.size() && reply.output == answer;
  r.honest = NT_SUCCESS(reply.status) || reply.information == 0;
  return r;
}

// A take waits for a frame (a second, shortened): on a loaded machine the frame
// given may not have come by then. A take that waited its whole time while its
// stream still had transfers out and its camera was in D0 to bring that frame is
// tried again, up to a bound. The camera is given the frame first; once it is
// taken, the transfer that brought it is back at the bus (each frame costs the
// stream one URB), so nothing of this take reaches the bus later.
template <typename Take>
NTSTATUS take_frame(const Machine& m, Take take) {
  uint64_t sent = m.device->urbs_arrived();
  m.device->camera().queue_frames(1);
  using Clock = std::chrono::steady_clock;
  const auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kTimeoutScale));
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int tries = 0; tries < 20; ++tries) {
    Clock::time_point began = Clock::now();
    status = take();
    if (status != STATUS_UNSUCCESSFUL || Clock::now() - began < wait) break;
    PCAM_STREAM_CONTEXT stream = StreamCalls::stream_of(m.handle);
    if (stream == nullptr || stream->PendingTransfers == 0 || m.device->power_state() != PowerDeviceD0) break;
  }
  if (status == STATUS_SUCCESS) m.device->wait_for_urbs(sent + 1, kBound);
  return status;
}

// One frame taken in place and given back.
Result take_in_place(Machine& m, bool release = true) {
  Frame frame;
  take_frame(m, [&] {
    frame = StreamCalls::get(m.handle);
    return frame.status;
  });
  Result r{frame.status};
  if (frame.status != STATUS_SUCCESS) return r;
  r.whole = frame.size == kFrame;
  StreamCalls::check_view(frame);
  m.held = frame.address;
  if (release) {
    r.status = StreamCalls::release(m.handle, frame.address);
    r.whole = r.whole && r.status == STATUS_SUCCESS;
  }
  return r;
}

Result take_copy(Machine& m) {
  Bytes output;
  ULONG_PTR information = 0;
  NTSTATUS status =
      take_frame(m, [&] { return StreamCalls::read(m.handle, kFrame + 24, &output, &information); });
  Result r{status, information};
  bool full = information == kFrame + 24 && sim::pattern::check(output.data() + 24, kFrame).ok;
  r.whole = status == STATUS_SUCCESS && full;
  r.honest = status == STATUS_SUCCESS ? full : information == 0;
  return r;
}

Result stream_start(Machine& m) {
  Result r{StreamCalls::start(m.handle, kFrame)};
  if (r.status == STATUS_SUCCESS) r.whole = take_in_place(m).whole;
  return r;
}

// The camera plugged in: AddDevice, then the start, each failure point among them.
Result plug(Machine& m, const sim::CameraConfig& config) {
  m.arm_allocation();
  sim::Platform::Plugged plugged = m.platform->attach(config);
  m.device = plugged.device;
  Result r{plugged.add_status};
  if (!NT_SUCCESS(r.status)) return r;
  m.arm_bus();
  r.status = m.platform->start(*m.device);
  m.request_done();
  if (r.status != STATUS_SUCCESS) return r;
  sim::Handle handle = sim::kInvalidHandle;
  if (sim::nt_create_file(L"\\\\.\\Quorvex-0", &handle) != STATUS_SUCCESS) return r;
  std::swap(handle, m.handle);
  r.whole = control(m, IOCTL_CAM_GET_EXPOSURE, {}, le32(0)).whole;
  std::swap(handle, m.handle);
  r.whole = sim::nt_close(handle) == STATUS_SUCCESS && r.whole;
  return r;
}

// The machine wakes and the stream goes on from a new frame.
Result wake(Machine& m) {
  Result r{m.platform->wake()};
  if (r.status == STATUS_SUCCESS) r = take_in_place(m);
  return r;
}

const Statuses kResources = {STATUS_INSUFFICIENT_RESOURCES};
const Statuses kNoMemory = {STATUS_NO_MEMORY};
const Statuses kServed = {STATUS_SUCCESS};
const Statuses kUsbFailed = {STATUS_UNSUCCESSFUL};
const Statuses kGone = {STATUS_DEVICE_NOT_CONNECTED};
// A chunked read whose transfer the camera failed: the read ends with the status
// of the chunk that completed last, so a success that reports the bytes that came
// (fewer than asked), or the time-out of a frame that never came (its trigger
// failed, or its first bytes went with the failed chunk).
const Statuses kChunkFailed = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_TIMEOUT};
// One the bus refused: a chunk or trigger refused as it was sent fails the read;
// a chunk refused as it was sent again ends its chain, and when it completed last
// the read gives its status.
const Statuses kChunkRefused = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                                STATUS_TIMEOUT};

bool plain_bulk(USHORT product) { return product == 0x1009 || product == 0x100B || product == 0x100F; }
bool triggered(USHORT product) { return !plain_bulk(product); }

struct Operation {
  const char* name;
  Before before;
  std::function<Result(Machine&)> run;
  Expected expected;
  // Only on the products this accepts (none: on every one).
  bool (*on)(USHORT product) = nullptr;
  // Frame reads: a fault may leave the camera part way through a frame (a
  // triggered frame goes on where it was), which the next read then meets.
  bool may_leave_a_remnant = false;
  // A failed URB is what applications read back as the device's last USB status.
  bool records_usb_failure = false;
};

// Takes what is left of a frame the camera was sending: a read without trigger
// with no new frame given, which ends when the camera falls silent.
void drain_remnant(Machine& m) {
  Bytes output(kFrame, kPoison);
  ULONG_PTR information = 0;
  sim::nt_device_io_control(m.handle, IOCTL_CAM_READ_FRAME_EX, nullptr, 0, output.data(), kFrame,
                            &information);
}

// Each request the driver serves, and what each kind of failure may make it end
// with. A vendor request without its URB is STATUS_NO_MEMORY, without an IRP to
// carry it STATUS_INSUFFICIENT_RESOURCES; one the camera fails is
// STATUS_UNSUCCESSFUL, one the bus refuses keeps the bus's status.
const std::vector<Operation>& operations() {
  static const Expected kVendor = {{Fault::Pool, kNoMemory},
                                   {Fault::Irp, kResources},
                                   {Fault::Stall, kUsbFailed},
                                   {Fault::Crc, kUsbFailed},
                                   {Fault::NotConnected, kGone}};
  // A read that cannot map the caller's buffer finds it unusable.
  static const Expected kChunkedRead = {{Fault::Pool, kResources},
                                        {Fault::Irp, kResources},
                                        {Fault::SystemMapping, {STATUS_INVALID_PARAMETER}},
                                        {Fault::Stall, kChunkFailed},
                                        {Fault::Crc, kChunkFailed},
                                        {Fault::NotConnected, kChunkRefused}};
  static const std::vector<Operation> kOperations = {
      {"open",
       Before::Nothing,
       [](Machine& m) {
         Result r{sim::nt_create_file(L"\\\\.\\Quorvex-0", &m.handle)};
         r.whole = r.status == STATUS_SUCCESS;
         return r;
       },
       {{Fault::Pool, kResources}}},
      {"open of an idling camera",
       Before::Idling,
       [](Machine& m) {
         Result r{sim::nt_create_file(L"\\\\.\\Quorvex-0", &m.handle)};
         m.request_done();
         if (r.status == STATUS_SUCCESS) r.whole = control(m, IOCTL_CAM_GET_EXPOSURE, {}, le32(0)).whole;
         return r;
       },
       {{Fault::Pool, kResources}, {Fault::PowerRequest, kResources}}},
      {"close with a stream",
       Before::Stream,
       [](Machine& m) {
         Result r{sim::nt_close(m.handle)};
         m.handle = sim::kInvalidHandle;
         r.whole = r.status == STATUS_SUCCESS;
         return r;
       },
       {}},
      {"get exposure", Before::Handle,
       [](Machine& m) { return control(m, IOCTL_CAM_GET_EXPOSURE, {}, le32(0)); }, kVendor, nullptr, false,
       true},
      {"set exposure", Before::Handle,
       [](Machine& m) { return control(m, IOCTL_CAM_SET_EXPOSURE, le32(1000), {}); }, kVendor, nullptr, false,
       true},
      {"read register", Before::Handle,
       [](Machine& m) {
         m.device->camera().set_reg(0x10, 0x1234);
         return control(m, IOCTL_CAM_READ_REGISTER, {0x10}, le32(0x1234));
       },
       kVendor, nullptr, false, true},
      {"triggered read", Before::Handle, [](Machine& m) { return frame_read(m, IOCTL_CAM_READ_FRAME); },
       kChunkedRead, triggered, true},
      {"plain read",
       Before::Handle,
       [](Machine& m) {
         m.device->camera().queue_frames(1);
         return frame_read(m, IOCTL_CAM_READ_FRAME);
       },
       {{Fault::Pool, {STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES}},
        {Fault::Irp, kResources},
        {Fault::SystemMapping, {STATUS_INVALID_PARAMETER}},
        {Fault::Stall, kUsbFailed},
        {Fault::Crc, kUsbFailed},
        {Fault::NotConnected, kGone}},
       plain_bulk,
       true},
      {"read without trigger", Before::Handle,
       [](Machine& m) {
         m.device->camera().queue_frames(1);
         return frame_read(m, IOCTL_CAM_READ_FRAME_EX);
       },
       kChunkedRead, nullptr, true},
      {"stream start",
       Before::Handle,
       stream_start,
       {{Fault::Pool, {STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}},
        {Fault::Irp, {STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}},
        {Fault::Mdl, kResources},
        {Fault::UserMapping, kResources},
        {Fault::Stall, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::Crc, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::NotConnected, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED}}}},
      {"stream get",
       Before::Stream,
       [](Machine& m) { return take_in_place(m, false); },
       {{Fault::Stall, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::Crc, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::NotConnected, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}}}},
      {"stream read",
       Before::Stream,
       take_copy,
       {{Fault::SystemMapping, kUsbFailed},
        {Fault::Stall, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::Crc, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::NotConnected, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}}}},
      {"stream release",
       Before::HeldFrame,
       [](Machine& m) {
         Result r{StreamCalls::release(m.handle, m.held)};
         r.whole = r.status == STATUS_SUCCESS;
         return r;
       },
       {}},
      {"stream stop",
       Before::Stream,
       [](Machine& m) {
         Result r{StreamCalls::stop(m.handle)};
         r.whole = r.status == STATUS_SUCCESS;
         return r;
       },
       {{Fault::Pool, kServed},
        {Fault::Irp, kServed},
        {Fault::Stall, kServed},
        {Fault::Crc, kServed},
        {Fault::NotConnected, kServed}}},
      {"plug and start",
       Before::NoCamera,
       [](Machine& m) {
         sim::CameraConfig config = camera(m.product);
         config.frame_size = kFrame;
         return plug(m, config);
       },
       {{Fault::Pool, {STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES}},
        {Fault::Irp, {STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}},
        {Fault::Stall, kUsbFailed},
        {Fault::Crc, kUsbFailed},
        {Fault::NotConnected, kGone}}},
      {"wake with a stream",
       Before::Asleep,
       wake,
       {{Fault::Pool, kServed},
        {Fault::Irp, kServed},
        {Fault::PowerRequest, kUsbFailed},
        {Fault::Stall, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::Crc, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}},
        {Fault::NotConnected, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}}}},
  };
  return kOperations;
}

struct Point {
  USHORT product;
  const Operation* operation;
};

// Failure points reached, by kind, over the whole run: the figures printed at the end.
long g_points[kFaultKinds] = {};
long g_replays = 0;

class FaultPoints : public Testbed, public ::testing::WithParamInterface<Point> {
 protected:
  const Operation& op() const { return *GetParam().operation; }

  // A fresh machine, brought to where the request starts.
  void fresh(Machine& m) {
    platform_.reset();
    platform_ = std::make_unique<sim::Platform>(CamDriverEntry);
    sim::set_timeout_scale(kTimeoutScale);
    m = Machine{};
    m.platform = platform_.get();
    m.product = GetParam().product;
    if (op().before == Before::NoCamera) return;
    sim::CameraConfig config = camera(m.product);
    config.frame_size = kFrame;
    if (op().before == Before::Idling) {
      // A camera that idles in D2 while the machine sleeps in S1 or S2.
      config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
      config.capabilities.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    }
    m.device = &plug(config);
    prepare(m);
  }

  static POWER_STATE idle() {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    return state;
  }

  void prepare(Machine& m) {
    if (op().before == Before::Idling) {
      ASSERT_EQ(platform().send_power(*m.device, IRP_MN_SET_POWER, DevicePowerState, idle()).get(),
                STATUS_SUCCESS);
    }
    if (op().before <= Before::Idling) return;
    m.handle = open(0);
    if (op().before == Before::Handle) return;
    ASSERT_EQ(StreamCalls::start(m.handle, kFrame), STATUS_SUCCESS);
    if (op().before == Before::HeldFrame) {
      ASSERT_EQ(take_in_place(m, false).status, STATUS_SUCCESS);
    }
    // Both transfers out at the bus: nothing of the stream's is on its way there.
    if (op().before != Before::Asleep) {
      ASSERT_TRUE(m.device->wait_for_pending(2, kBound));
    }
    if (op().before == Before::Asleep) {
      ASSERT_EQ(platform().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    }
  }

  // Whatever the request left open is closed: its stream ends, and nothing of the
  // driver's can reach the bus any more.
  void settle(Machine& m) {
    if (m.handle != sim::kInvalidHandle) {
      EXPECT_EQ(sim::nt_close(m.handle), STATUS_SUCCESS);
    }
    m.handle = sim::kInvalidHandle;
  }

  static void arm(Fault fault, int nth, Machine& m) {
    m.arm_allocation = [fault, nth] {
      switch (fault) {
        case Fault::Pool:
          return sim::inject::fail_pool_allocation(nth);
        case Fault::Irp:
          return sim::inject::fail_irp_allocation(nth);
        case Fault::Mdl:
          return sim::inject::fail_mdl_allocation(nth);
        case Fault::PowerRequest:
          return sim::inject::fail_call("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES, nth);
        case Fault::SystemMapping:
          return sim::inject::fail_system_mapping(nth);
        case Fault::UserMapping:
          return sim::inject::fail_user_mapping(nth);
        default:
          return;
      }
    };
    m.arm_bus = [fault, nth, &m] {
      if (fault == Fault::Stall || fault == Fault::Crc) {
        m.device->fail_urb(sim::UrbMatch::any(),
                           fault == Fault::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_CRC,
                           STATUS_UNSUCCESSFUL, nth);
      } else if (fault == Fault::NotConnected) {
        m.device->refuse_urb(sim::UrbMatch::any(), STATUS_DEVICE_NOT_CONNECTED, nth);
      }
    };
  }

  static bool still_armed(Fault fault, Machine& m) {
    if (allocation(fault)) return sim::inject::failure_armed();
    return m.device != nullptr && m.device->armed_injections() != 0;
  }

  // After a fault the request is served again, correctly. A frame read may first
  // meet the rest of a frame the camera was sending when the fault struck (a
  // triggered frame goes on where it was): the next read then brings a whole one.
  void again(Machine& m, const char* what) {
    // A camera whose start failed is removed, as the Plug and Play manager does,
    // and a new one plugged in.
    if (op().before == Before::NoCamera && m.device != nullptr && platform().fdo(*m.device) != nullptr) {
      ASSERT_EQ(platform().remove(*m.device), STATUS_SUCCESS) << what;
    }
    m.arm_allocation = m.arm_bus = m.request_done = [] {};
    Result r;
    for (int attempt = 0; attempt < (op().may_leave_a_remnant ? 2 : 1) && !r.whole; ++attempt) {
      prepare(m);
      if (attempt == 1) drain_remnant(m);
      r = op().run(m);
      EXPECT_TRUE(r.honest) << what << ", served again";
      settle(m);
    }
    EXPECT_TRUE(r.whole) << what << ": not served again, status " << std::hex << r.status << std::dec << ", "
                         << r.information
                         << " bytes; the bus:" << (m.device ? describe_trace(*m.device) : "");
  }

  enum class Replayed { NotReached, Reached, Slowed };

  // One replay: the nth failure of the kind. A frame read that timed out although
  // every byte came was slowed by a loaded machine (its waits are shortened), not by
  // the failure: the caller runs that replay again.
  Replayed replay(Fault fault, int nth) {
    int failures = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    Machine m;
    fresh(m);
    if (HasFatalFailure()) return Replayed::NotReached;
    arm(fault, nth, m);
    std::optional<bool> reached;
    m.request_done = [&] {
      if (reached) return;
      reached = !still_armed(fault, m);
      sim::inject::clear();
      if (m.device != nullptr) m.device->clear_injections();
    };
    if (m.device != nullptr) {
      m.arm_allocation();
      m.arm_bus();
    }
    Result r = op().run(m);
    LONG last_usbd =
        m.device != nullptr && extension(*m.device) != nullptr ? extension(*m.device)->LastUsbdStatus : 0;
    settle(m);
    m.request_done();
    if (r.status == STATUS_TIMEOUT && r.information == kFrame) {
      platform_.reset();
      return Replayed::Slowed;
    }
    std::string what = std::string(op().name) + ", " + fault_name(fault) + " failure " + std::to_string(nth);
    g_replays++;
    if (!*reached) {
      EXPECT_TRUE(r.whole) << what << " not reached, yet the request failed: " << std::hex << r.status;
      return Replayed::NotReached;
    }
    auto expected = op().expected.find(fault);
    if (expected == op().expected.end()) {
      ADD_FAILURE() << what << " reached by a request that should have none";
    } else {
      EXPECT_EQ(expected->second.count(r.status), 1u) << what << ": status " << std::hex << r.status;
    }
    EXPECT_TRUE(r.honest) << what << ": claims what did not happen, " << r.information << " bytes";
    if (op().records_usb_failure && (fault == Fault::Stall || fault == Fault::Crc)) {
      EXPECT_EQ(static_cast<USBD_STATUS>(last_usbd),
                fault == Fault::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_CRC)
          << what << ": the last USB status";
    }
    if (r.status == STATUS_SUCCESS && allocation(fault)) {
      EXPECT_TRUE(r.whole) << what << ": succeeded, not whole";
    }
    std::string first = m.device != nullptr ? describe_trace(*m.device) : "";
    again(m, what.c_str());
    if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != failures) {
      ADD_FAILURE() << what << ": status " << std::hex << r.status << std::dec << ", " << r.information
                    << " bytes; the bus:" << first;
    }
    platform_.reset();  // unloads the driver: anything left is a leak
    return Replayed::Reached;
  }
};

TEST_P(FaultPoints, EachFailureInTurn) {
  int points[kFaultKinds] = {};
  for (Fault fault : kFaults) {
    for (int nth = 1; nth <= 64; ++nth) {
      int before = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
      Replayed replayed = Replayed::Slowed;
      for (int tries = 0; tries < 3 && replayed == Replayed::Slowed; ++tries) replayed = replay(fault, nth);
      if (replayed == Replayed::Slowed)
        ADD_FAILURE() << op().name << ": timed out three times with every byte";
      if (replayed != Replayed::Reached) break;
      points[static_cast<int>(fault)]++;
      g_points[static_cast<int>(fault)]++;
      if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != before)
        break;
    }
  }
  std::string line;
  for (Fault fault : kFaults) {
    line += std::string(", ") + fault_name(fault) + " " + std::to_string(points[static_cast<int>(fault)]);
  }
  std::printf("fault points: product %04X, %s%s\n", GetParam().product, op().name, line.c_str());
}

// A triggered product and a plain bulk one; QUORVEX_FAULT_POINTS=all sweeps every
// product.
std::vector<USHORT> products() {
  const char* which = std::getenv("QUORVEX_FAULT_POINTS");
  if (which != nullptr && std::string(which) == "all") {
    return {0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F};
  }
  return {0x100E, 0x1009};
}

std::vector<Point> points() {
  std::vector<Point> all;
  for (USHORT product : products()) {
    for (const Operation& operation : operations()) {
      if (operation.on != nullptr && !operation.on(product)) continue;
      all.push_back({product, &operation});
    }
  }
  return all;
}

std::string point_name(const ::testing::TestParamInfo<Point>& info) {
  std::string name = product_name(info.param.product) + "_";
  for (const char* c = info.param.operation->name; *c != 0; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Requests, FaultPoints, ::testing::ValuesIn(points()), point_name);

// The figures of the whole run.
class Figures : public ::testing::Environment {
 public:
  void TearDown() override {
    std::string line;
    long usb = 0;
    for (Fault fault : kFaults) {
      line += std::string(", ") + fault_name(fault) + " " + std::to_string(g_points[static_cast<int>(fault)]);
      if (!allocation(fault)) usb += g_points[static_cast<int>(fault)];
    }
    long alloc = g_points[0] + g_points[1] + g_points[2] + g_points[3];
    long mapping = g_points[4] + g_points[5];
    std::printf("fault points in all: %ld allocation, %ld mapping, %ld USB (%ld replays)%s\n", alloc, mapping,
                usb, g_replays, line.c_str());
  }
};

const auto* const kFigures = ::testing::AddGlobalTestEnvironment(new Figures);

}  // namespace
}  // namespace quorvex::test
