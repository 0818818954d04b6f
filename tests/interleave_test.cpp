// Interleavings that timing alone shows only by luck, made to happen every time: a
// thread is stopped at a point of the driver's code (sim/inject.h) and another
// operation runs there, on another thread, before it goes on. Removal against the
// request gate, a stop against a request that outlives its first abort, a
// stream's stop against the requests using it, a frame read against a power-down.
#include <future>
#include <thread>

#include "support/control.h"
#include "support/posted_read.h"
#include "support/signal.h"
#include "support/stream.h"

namespace quorvex::test {
namespace {

namespace inject = sim::inject;

// The calls a point is for: those on `object` (null: any), made on the thread
// whose id `thread` holds once it is set.
inject::PointMatch on(const volatile void* object, const std::atomic<std::thread::id>* thread = nullptr) {
  return [=](const volatile void* at) {
    return (object == nullptr || at == object) &&
           (thread == nullptr || *thread == std::this_thread::get_id());
  };
}

// Runs `work` on a thread of its own whose id is published before it starts.
template <class Work>
auto on_own_thread(std::atomic<std::thread::id>* id, Work work) {
  return std::async(std::launch::async, [id, work] {
    *id = std::this_thread::get_id();
    return work();
  });
}

class Interleave : public ControlTest {
 protected:
  void SetUp() override { attach(0x100A); }
};

// ---- the request gate against removal ----

// A management request, built as the system builds one: once the gate lets it in
// it goes down the stack without looking at the device's state again, so only the
// gate keeps it from a stack that removal has taken down. The handle open on the
// device keeps the device object, as the sender's reference would.
struct GateCase {
  const char* name;
  int nth;                // the request's interlocked operation on IoCount at which removal starts
  bool removal_finishes;  // while the request is stopped there
  NTSTATUS status;        // the request's
};

const GateCase kGateCases[] = {
    // Not yet counted: removal need not wait, and the request must then be refused.
    {"RemovalStartsBeforeTheCount", 1, true, STATUS_DELETE_PENDING},
    // Counted and done below: removal waits for it to leave.
    {"RemovalStartsBeforeTheLeave", 2, false, STATUS_NOT_SUPPORTED},
};

class GateAgainstRemoval : public Interleave, public ::testing::WithParamInterface<GateCase> {};

TEST_P(GateAgainstRemoval, RemovalWaitsForEveryRequestTheGateLetsIn) {
  const GateCase& c = GetParam();
  PDEVICE_OBJECT fdo = platform().fdo(*device_);
  ManagementRequest request(fdo);
  PIRP irp = request.irp;

  std::atomic<std::thread::id> requester;
  std::future<NTSTATUS> removed;
  Signal waiting;
  bool counted_none = false;  // removal found the count at 0 when it came to wait
  inject::at_call(
      "KeWaitForSingleObject",
      [&] {
        counted_none = KeReadStateEvent(&ext_->RemoveEvent) != 0;
        waiting.set();
      },
      1, 1, on(&ext_->RemoveEvent));
  bool finished_in_window = false;
  inject::at_interlocked(
      &ext_->IoCount,
      [&] {
        removed = platform().remove_async(*device_);
        EXPECT_TRUE(waiting.wait());
        finished_in_window = counted_none && removed.wait_for(kBound) == std::future_status::ready;
      },
      c.nth, on(&ext_->IoCount, &requester));
  std::future<NTSTATUS> sent = on_own_thread(&requester, [&] { return IofCallDriver(fdo, irp); });
  ASSERT_EQ(sent.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(sent.get(), c.status);
  EXPECT_EQ(irp->IoStatus.Status, c.status);
  EXPECT_EQ(finished_in_window, c.removal_finishes);
  ASSERT_EQ(removed.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(removed.get(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Points, GateAgainstRemoval, ::testing::ValuesIn(kGateCases),
                         [](const ::testing::TestParamInfo<GateCase>& info) { return info.param.name; });

// ---- a stop against a request inside ----

// A register read is stopped as it is about to send its request to the camera,
// and a stop begins there. The stop's first wait runs out and it aborts the pipes
// and cancels the driver's requests: the read's, not yet sent, is only marked. Only
// then does the read send it, and the stop must wait for that too before the
// unconfigure goes out.
TEST_F(Interleave, AStopWaitsForARequestThatOutlivesItsFirstAbortAndPoll) {
  std::atomic<std::thread::id> requester;
  std::future<NTSTATUS> stopped;
  Signal polled, returned;
  bool unconfigured_early = true;
  // The stop's second wait for the requests inside: its first abort is behind it.
  inject::at_call(
      "KeWaitForSingleObject",
      [&] {
        std::vector<sim::BusEvent> trace = device_->trace();
        unconfigured_early = std::any_of(trace.begin(), trace.end(), [](const sim::BusEvent& e) {
          return e.kind == sim::BusEvent::Unconfigure;
        });
        polled.set();
        // The read is let go and leaves; the wait then finds it gone.
        EXPECT_TRUE(returned.wait());
      },
      2, 1, on(&ext_->DrainEvent));
  inject::at_call(
      "IofCallDriver",
      [&] {
        stopped = std::async(std::launch::async, [&] { return platform().stop(*device_); });
        EXPECT_TRUE(polled.wait());
      },
      1, 1,
      [&](const volatile void* irp) {
        return requester == std::this_thread::get_id() &&
               IoGetNextIrpStackLocation((PIRP)irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
      });
  std::future<Reply> read = on_own_thread(&requester, [&] {
    Reply reply = call(IOCTL_CAM_READ_REGISTER, {0x35}, 4);
    returned.set();
    return reply;
  });
  ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(read.get(), untouched(STATUS_CANCELLED, 4));
  ASSERT_TRUE(stopped.valid());
  ASSERT_EQ(stopped.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(stopped.get(), STATUS_SUCCESS);
  EXPECT_FALSE(unconfigured_early);
  std::vector<sim::BusEvent> trace = device_->trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().kind, sim::BusEvent::Unconfigure);
  EXPECT_EQ(platform().start(*device_), STATUS_SUCCESS);
}

// ---- a stream's stop against the requests using it ----

// Each request is stopped after it is done with the stream and before it counts
// itself out; the stop request on another thread ends the transfers, gives up the
// handle's use and waits there. The request's count-out must wake it, and the
// stream is freed only then.
struct UserCase {
  const char* name;
  // Takes what the request needs beforehand (the frame to release) and returns the request.
  std::function<NTSTATUS(sim::Handle handle)> (*prepare)(sim::Handle handle);
};

const UserCase kUserCases[] = {
    {"Get",
     [](sim::Handle) -> std::function<NTSTATUS(sim::Handle)> {
       return [](sim::Handle h) { return StreamCalls::get(h).status; };
     }},
    {"Read",
     [](sim::Handle) -> std::function<NTSTATUS(sim::Handle)> {
       return [](sim::Handle h) {
         Bytes output;
         ULONG_PTR information = 0;
         return StreamCalls::read(h, 4096 + sizeof(CAM_STREAM_FRAME_HEADER), &output, &information);
       };
     }},
    {"Release",
     [](sim::Handle handle) -> std::function<NTSTATUS(sim::Handle)> {
       Frame held = StreamCalls::get(handle);
       EXPECT_EQ(held.status, STATUS_SUCCESS);
       return [held](sim::Handle h) { return StreamCalls::release(h, held.address); };
     }},
};

class StreamStopAgainstAUser : public Interleave, public ::testing::WithParamInterface<UserCase> {};

TEST_P(StreamStopAgainstAUser, TheStopWaitsForTheRequestAndIsWokenByItsCountOut) {
  device_->camera().set_frame_size(4096);
  device_->camera().set_streaming(true);
  ASSERT_EQ(StreamCalls::start(handle_, 4096), STATUS_SUCCESS);
  PCAM_STREAM_CONTEXT stream = StreamCalls::stream_of(handle_);
  std::function<NTSTATUS(sim::Handle)> request = GetParam().prepare(handle_);
  std::atomic<std::thread::id> requester;
  std::future<NTSTATUS> stopped;
  Signal idle_wait;
  inject::at_call(
      "KeWaitForSingleObject", [&] { idle_wait.set(); }, 1, 1, on(&stream->IdleEvent));
  // The request's second operation on the count: the first counted it in.
  inject::at_interlocked(
      &stream->Users,
      [&] {
        stopped = std::async(std::launch::async, [&] { return StreamCalls::stop(handle_); });
        EXPECT_TRUE(idle_wait.wait());
      },
      2, on(&stream->Users, &requester));
  std::future<NTSTATUS> used = on_own_thread(&requester, [&] { return request(handle_); });
  ASSERT_EQ(used.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(used.get(), STATUS_SUCCESS);
  ASSERT_TRUE(stopped.valid());
  bool woken = stopped.wait_for(kBound) == std::future_status::ready;
  // The test has failed; let the stop end so that the run can go on.
  if (!woken) KeSetEvent(&stream->IdleEvent, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(woken) << "the stop was not woken by the last user";
  EXPECT_EQ(stopped.get(), STATUS_SUCCESS);
  EXPECT_EQ(StreamCalls::stream_of(handle_), nullptr);
  device_->camera().set_streaming(false);
}

INSTANTIATE_TEST_SUITE_P(Requests, StreamStopAgainstAUser, ::testing::ValuesIn(kUserCases),
                         [](const ::testing::TestParamInfo<UserCase>& info) { return info.param.name; });

// ---- a frame read against a power-down ----

// A chunk of a triggered read has come back with more of the frame to claim just
// as a power-down begins: the power-down has said no transfer may go out, so the
// chunk is not sent again for the rest of the frame, and the read ends cancelled.
// The sender is stopped as it claims the next piece; the power-down is let on only
// once the sender has decided, with no other sender about, so that any URB that
// reached the bus in between is the sender's.
TEST_F(Interleave, AChunkCompletingAsAPowerDownBeginsIsNotSentAgain) {
  constexpr ULONG kChunks = 8;
  constexpr ULONG kLength = kChunks * CAM_FRAME_TRANSFER_MAX;
  sim::set_timeout_scale(30);
  device_->camera().set_frame_size(kLength);
  std::atomic<std::thread::id> completer;
  std::future<NTSTATUS> powered_down;
  Signal began, decided;
  uint64_t arrived_at_power_down = 0, arrived_at_decision = 0;
  // The power-down has raised PowerDown and goes on to park the streams.
  inject::at_call(
      "KeAcquireSpinLockRaiseToDpc",
      [&] {
        began.set();
        EXPECT_TRUE(decided.wait());
      },
      1, 1, on(&ext_->StreamListLock));
  // The claim of the third chunk, by whichever thread re-issues a chunk that came
  // back (the sender that holds the token): the first two went out with the read.
  volatile LONG* issued = (volatile LONG*)&ext_->BytesIssued;
  inject::at_interlocked(
      issued,
      [&] {
        completer = std::this_thread::get_id();
        // Once it has ended or re-sent the chunk, it drops its count.
        inject::at_interlocked(
            &ext_->PendingChunks,
            [&] {
              arrived_at_decision = device_->urbs_arrived();
              decided.set();
            },
            1, on(&ext_->PendingChunks, &completer));
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        powered_down = platform().send_power(*device_, IRP_MN_SET_POWER, DevicePowerState, d3);
        EXPECT_TRUE(began.wait());
        arrived_at_power_down = device_->urbs_arrived();
      },
      1,
      [issued](const volatile void*) {
        return (ULONG)__atomic_load_n(issued, __ATOMIC_SEQ_CST) >= 2 * CAM_FRAME_TRANSFER_MAX;
      });
  Reply read = call(IOCTL_CAM_READ_FRAME, {}, kLength);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  ASSERT_TRUE(powered_down.valid());
  ASSERT_EQ(powered_down.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(powered_down.get(), STATUS_SUCCESS);
  EXPECT_EQ(arrived_at_decision - arrived_at_power_down, 0u) << "a chunk was sent during the power-down";
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(platform().send_power(*device_, IRP_MN_SET_POWER, DevicePowerState, d0).get(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace quorvex::test
