// Single-shot frame reads through the I/O manager: the chunk plans, the placement
// of short chunks, time-outs, unplug, failing and refused chunks, the trigger's
// failures, immediate completions, two reads at once, the plain bulk transfer and
// the routing by product. Pixel data is checked against the camera's pattern.
#include <sys/mman.h>

#include <future>
#include <thread>

#include "capture/capture.h"
#include "support/control.h"

namespace quorvex::test {
namespace {

constexpr ULONG kFrame = 2592 * 1944;  // one whole frame of the large sensor
constexpr uint8_t kIn = 0x82;
constexpr uint32_t kPacket = 512;  // the image endpoint's packet, unless a test says otherwise
constexpr USBD_STATUS kTimedOut = static_cast<USBD_STATUS>(0xC0000102);

// One bulk transfer as the camera saw it: "82 f3 80000>80000" (endpoint, transfer
// flags, asked > moved), with the IRP's status when it failed.
std::string describe_bulk(const sim::BusEvent& e) {
  char text[64];
  std::snprintf(text, sizeof(text), "%02X f%X %X>%X", e.endpoint, e.transfer_flags, e.requested, e.actual);
  std::string s = text;
  if (e.irp_status == STATUS_CANCELLED) {
    s += " cancelled";
  } else if (e.irp_status != STATUS_SUCCESS) {
    s += " failed";
  } else if (USBD_ERROR(e.usbd_status)) {
    s += " urb failed";
  }
  return s;
}

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

class CaptureTest : public ControlTest {
 protected:
  void attach(USHORT product, uint32_t frame = 4096) {
    ControlTest::attach(product);
    // Control transfers pend and complete later, as on Windows.
    device_->set_control_deferred(true);
    device_->camera().set_frame_size(frame);
    // Reads that are not about their time-out finish well inside it even in the
    // slowest (sanitizer) builds; the time-out tests set their own scale.
    sim::set_timeout_scale(30);
  }

  Reply read(ULONG code, size_t length) { return call(code, {}, length); }

  // Bulk transfers, pipe resets and vendor requests since the last look, in the
  // order the camera finished them; aborts of the pipe are counted apart, since an
  // abort and the transfers it ends may be traced in either order.
  Traffic bus() {
    Traffic text;
    aborts_ = 0;
    bulk_.clear();
    for (const sim::BusEvent& e : device_->trace()) {
      if (e.kind == sim::BusEvent::Bulk) bulk_.push_back(describe_bulk(e));
      if (e.kind == sim::BusEvent::Bulk) text.push_back(describe_bulk(e));
      if (e.kind == sim::BusEvent::ResetPipe) bulk_.push_back(reset(e.endpoint));
      if (e.kind == sim::BusEvent::ResetPipe) text.push_back(reset(e.endpoint));
      if (e.kind == sim::BusEvent::AbortPipe) aborts_++;
      if (e.kind == sim::BusEvent::Control) text.push_back(describe(e));
    }
    device_->clear_trace();
    return text;
  }

  static std::string trigger() { return "40 B3 0000 0000 0010 :" + hex(Bytes(16, 0xFF)); }
  static std::string reset(UCHAR endpoint = kIn) {
    char text[16];
    std::snprintf(text, sizeof(text), "reset %02X", endpoint);
    return text;
  }
  static std::string chunk(uint32_t asked, uint32_t moved, int flags = 3) {
    return describe_bulk([&] {
      sim::BusEvent e(sim::BusEvent::Bulk);
      e.endpoint = kIn;
      e.transfer_flags = static_cast<ULONG>(flags);
      e.requested = asked;
      e.actual = moved;
      return e;
    }());
  }

  LONG last_status() { return CamReadUsbdStatus(ext_); }

  int aborts_ = 0;
  Traffic bulk_;  // the image pipe's part of the last look: transfers and resets
};

// ---- chunk plans ----

struct PlanCase {
  const char* name;
  uint32_t length;  // output length, and the frame's size
  std::vector<uint32_t> asked;
  uint32_t tail_moved;  // bytes of the last packet the camera sent (0: no tail)
};

class ChunkPlan : public CaptureTest, public ::testing::WithParamInterface<PlanCase> {};

// The whole frame arrives in chunks of at most 512 KiB, each at its place in the buffer; a
// length that is not whole packets takes the frame's last packet too.
TEST_P(ChunkPlan, TriggeredReadBringsTheWholeFrame) {
  const PlanCase& c = GetParam();
  attach(0x100A, c.length);
  Reply reply = read(IOCTL_CAM_READ_FRAME, c.length);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, c.length);
  EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), c.length));
  Traffic expected{trigger()};
  for (uint32_t asked : c.asked) expected.push_back(chunk(asked, asked));
  if (c.tail_moved != 0) expected.push_back(chunk(kPacket, c.tail_moved));
  EXPECT_EQ(bus(), expected);
  EXPECT_EQ(device_->camera().triggers(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ChunkPlan,
                         ::testing::Values(PlanCase{"Under512", 100, {}, 100},
                                           PlanCase{"Length1000", 1000, {512}, 488},
                                           PlanCase{"OneChunk", 0x80000, {0x80000}, 0},
                                           PlanCase{"ChunkAndPacket", 0x80200, {0x80000, 0x200}, 0},
                                           PlanCase{"TwoChunks", 0x100000, {0x80000, 0x80000}, 0},
                                           PlanCase{"ThreeChunks", 0x180000, {0x80000, 0x80000, 0x80000}, 0},
                                           PlanCase{"WholeSensor",
                                                    kFrame,
                                                    {0x80000, 0x80000, 0x80000, 0x80000, 0x80000, 0x80000,
                                                     0x80000, 0x80000, 0x80000, 320000},
                                                    256}),
                         CaseName());

// ---- the chains ----

class Chains : public CaptureTest {
 protected:
  void SetUp() override { attach(0x100A, 0x180000); }
};

// Short chunks: each chunk lands at the offset it claimed, the rest of its range
// untouched; whichever chunk comes back first is re-issued for the third.
TEST_F(Chains, ShortChunksKeepTheirPlaces) {
  device_->short_transfers(1000, 3);
  Reply reply = read(IOCTL_CAM_READ_FRAME, 0x180000);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 3000u);
  EXPECT_EQ(bus(), (Traffic{trigger(), chunk(0x80000, 1000), chunk(0x80000, 1000), chunk(0x80000, 1000)}));
  for (uint32_t i = 0; i < 3; ++i) {
    const uint8_t* at = reply.output.data() + i * 0x80000;
    EXPECT_TRUE(sim::pattern::matches(0, i * 1000, at, 1000)) << i;
    EXPECT_EQ(Bytes(at + 1000, at + 0x80000), Bytes(0x80000 - 1000, kPoison)) << i;
  }
}

struct FailCase {
  const char* name;
  int nth;  // which chunk transfer fails
  const char* shown;
  USBD_STATUS usbd;
  NTSTATUS irp_status;
  NTSTATUS status;
  ULONG_PTR information;
  LONG last_status;  // LastUsbdStatus afterwards
};

class FailingChunk : public Chains, public ::testing::WithParamInterface<FailCase> {};

// A failing chunk (other than cancelled or unplugged) does not stop its chain: the
// next chunk is issued, and the read's status is that of the chunk that came last.
TEST_P(FailingChunk, ChainGoesOn) {
  const FailCase& c = GetParam();
  device_->fail_urb(sim::UrbMatch::bulk(), c.usbd, c.irp_status, c.nth);
  Reply reply = read(IOCTL_CAM_READ_FRAME, 0x180000);
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.information, c.information);
  bus();
  // A status that halts the pipe has it reset once every chain has ended.
  bool halts = c.usbd == USBD_STATUS_STALL_PID;
  ASSERT_EQ(bulk_.size(), halts ? 4u : 3u);
  EXPECT_EQ(bulk_[static_cast<size_t>(c.nth - 1)], chunk(0x80000, 0) + c.shown);
  if (halts) {
    EXPECT_EQ(bulk_.back(), reset());
  }
  EXPECT_EQ(last_status(), c.last_status);
  if (c.nth == 1) {  // the frame went to the second and third chunks
    EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data() + 0x80000, 0x100000));
    EXPECT_EQ(reply.output[0], kPoison);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingChunk,
    ::testing::Values(FailCase{"FirstFails", 1, " failed", USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL,
                               STATUS_SUCCESS, 0x100000, 0},
                      FailCase{"LastFails", 3, " failed", USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL,
                               STATUS_UNSUCCESSFUL, 0, 0},
                      FailCase{"LastUrbFails", 3, " urb failed", USBD_STATUS_STALL_PID, STATUS_SUCCESS,
                               STATUS_UNSUCCESSFUL, 0, USBD_STATUS_STALL_PID},
                      FailCase{"SecondFailsWithoutHalt", 2, " failed", USBD_STATUS_REQUEST_FAILED,
                               STATUS_UNSUCCESSFUL, STATUS_SUCCESS, 0x100000, 0}),
    CaseName());

// Unplugged mid-read: the chains end without counting, and the read says why.
TEST_F(Chains, UnplugEndsTheRead) {
  device_->camera().stop_after(0x1000);
  auto pending = std::async(std::launch::async, [&] { return read(IOCTL_CAM_READ_FRAME, 0x180000); });
  ASSERT_TRUE(device_->wait_for_events(sim::UrbMatch::vendor(0xB3), 1, kBound));
  ASSERT_TRUE(device_->wait_for_pending(2, kBound));
  device_->disconnect();
  Reply reply = pending.get();
  EXPECT_EQ(reply.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(reply.information, 0u);
}

// ---- a halted pipe ----

struct PathCase {
  const char* name;
  USHORT product;
  ULONG code;
};

// Each read path, on each model it serves.
const PathCase kPaths[] = {
    {"Plain8431", 0x1009, IOCTL_CAM_READ_FRAME},     {"Plain1801", 0x100B, IOCTL_CAM_READ_FRAME},
    {"Triggered8431", 0x100A, IOCTL_CAM_READ_FRAME}, {"Triggered1801", 0x100C, IOCTL_CAM_READ_FRAME},
    {"Triggered1621", 0x100E, IOCTL_CAM_READ_FRAME}, {"Untriggered", 0x100D, IOCTL_CAM_READ_FRAME_EX}};

class ReadPath : public CaptureTest, public ::testing::WithParamInterface<PathCase> {
 protected:
  bool plain() const {
    USHORT p = GetParam().product;
    return GetParam().code == IOCTL_CAM_READ_FRAME && (p == 0x1009 || p == 0x100B || p == 0x100F);
  }
  bool triggered() const { return GetParam().code == IOCTL_CAM_READ_FRAME && !plain(); }
  // The camera sends the next read a frame: on its trigger, or queued now.
  void offer_frame() {
    if (!triggered()) device_->camera().queue_frames(1);
  }
};

// A stall from the camera fails the read, and every transfer of it (each chain runs
// to the end of the buffer); once they are all back the pipe is reset, so that the
// next read works: nothing else would ever clear the halt.
TEST_P(ReadPath, StalledPipeIsResetForTheNextRead) {
  uint32_t length = plain() ? 0x40000 : 0x180000;
  attach(GetParam().product, length);
  device_->stall_pipe(kIn);
  EXPECT_EQ(read(GetParam().code, length), untouched(STATUS_UNSUCCESSFUL, length));
  // A chunked read whose last chunk's IRP failed leaves the last status alone.
  EXPECT_EQ(last_status(), plain() ? USBD_STATUS_STALL_PID : 0);
  bus();  // a chunk may fail before the trigger is done
  Traffic expected(plain() ? 1 : 3, chunk(plain() ? length : 0x80000, 0) + " failed");
  expected.push_back(reset());
  EXPECT_EQ(bulk_, expected);
  offer_frame();
  Reply reply = read(GetParam().code, length);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, length);
  EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), length));
}

// A read waiting on a silent camera (the plain transfer has no time-out), or on a
// trigger the camera never answers, does not hold a stop, a query-remove or a
// removal (on Windows that would block every device installation): while the step
// waits for the requests inside, the pipes are aborted and the trigger cancelled,
// and the read ends cancelled with nothing written. So does a read that gave up its
// chunks at the data time-out and waits for the trigger alone.
TEST_P(ReadPath, DoesNotHoldAStopQueryRemoveOrRemoval) {
  attach(GetParam().product);
  device_->hold(sim::UrbMatch::vendor(0xB3));
  if (triggered()) {
    sim::set_timeout_scale(0.01);
    auto pending = std::async(std::launch::async, [&] { return read(GetParam().code, 4096); });
    ASSERT_TRUE(device_->wait_for_events(sim::UrbMatch::pipe_request(URB_FUNCTION_ABORT_PIPE), 1, kBound));
    EXPECT_EQ(platform().stop(*device_), STATUS_SUCCESS);
    EXPECT_EQ(pending.get(), untouched(STATUS_CANCELLED, 4096));
    EXPECT_EQ(platform().start(*device_), STATUS_SUCCESS);
  }
  sim::set_timeout_scale(1);  // the drain's poll at real scale; the chunks' time-outs do not come first
  using Step = NTSTATUS (sim::Platform::*)(sim::UsbDevice&);
  for (Step step : {&sim::Platform::stop, &sim::Platform::query_remove, &sim::Platform::remove}) {
    auto pending = std::async(std::launch::async, [&] { return read(GetParam().code, 4096); });
    ASSERT_TRUE(device_->wait_for_pending(triggered() ? 2 : 1, kBound));
    auto done = std::async(std::launch::async, [&] { return (platform().*step)(*device_); });
    bool held = done.wait_for(kBound) != std::future_status::ready;
    if (held) device_->release_held();  // the test has failed; let the step end
    EXPECT_FALSE(held) << "held by the read";
    EXPECT_EQ(done.get(), STATUS_SUCCESS);
    EXPECT_EQ(pending.get(), untouched(STATUS_CANCELLED, 4096));
    bus();
    for (const std::string& transfer : bulk_) {
      EXPECT_NE(transfer.find(" cancelled"), std::string::npos) << transfer;
    }
    EXPECT_GE(aborts_, 1);
    if (step == &sim::Platform::stop) {
      EXPECT_EQ(platform().start(*device_), STATUS_SUCCESS);
    } else if (step == &sim::Platform::query_remove) {
      EXPECT_EQ(platform().cancel_remove(*device_), STATUS_SUCCESS);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ReadPath, ::testing::ValuesIn(kPaths), CaseName());

// ---- time-outs ----

// At real scale: part of a frame, then silence. After a second the pipe is aborted
// and a second wait collects the aborted chunk; the bytes of whole chunks count.
TEST_F(Chains, TimeoutWithPartOfAFrame) {
  sim::set_timeout_scale(1);
  device_->camera().stop_after(0x81000);
  auto start = std::chrono::steady_clock::now();
  Reply reply = read(IOCTL_CAM_READ_FRAME, 0x100000);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.status, STATUS_TIMEOUT);
  EXPECT_EQ(reply.information, 0x80000u);
  EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), 0x80000));
  EXPECT_EQ(last_status(), kTimedOut);
  EXPECT_EQ(bus(), (Traffic{trigger(), chunk(0x80000, 0x80000), chunk(0x80000, 0x1000) + " cancelled"}));
  EXPECT_EQ(aborts_, 1);
  EXPECT_GE(took, 1s);
  EXPECT_LT(took, 2500ms);
}

class ScaledTimeouts : public CaptureTest {
 protected:
  void SetUp() override {
    attach(0x100A);
    sim::set_timeout_scale(0.01);
  }
};

// A camera that sends nothing: the untriggered read times out with nothing.
TEST_F(ScaledTimeouts, NothingSent) {
  Reply reply = read(IOCTL_CAM_READ_FRAME_EX, 0x100000);
  EXPECT_EQ(reply, untouched(STATUS_TIMEOUT, 0x100000));
  EXPECT_EQ(last_status(), kTimedOut);
  EXPECT_EQ(bus(), (Traffic{chunk(0x80000, 0) + " cancelled", chunk(0x80000, 0) + " cancelled"}));
  EXPECT_EQ(aborts_, 1);
}

// An abort that fails leaves the chunks out after both waits: the read still
// times out, and its records outlive the transfers (the pipe is aborted again).
TEST_F(ScaledTimeouts, TransfersNotBackAfterTheAbort) {
  device_->fail_urb(sim::UrbMatch::pipe_request(URB_FUNCTION_ABORT_PIPE), USBD_STATUS_REQUEST_FAILED,
                    STATUS_UNSUCCESSFUL);
  Reply reply = read(IOCTL_CAM_READ_FRAME_EX, 0x1000);
  EXPECT_EQ(reply, untouched(STATUS_TIMEOUT, 0x1000));
  EXPECT_EQ(device_->pending_transfers(), 0u);
  bus();
  EXPECT_EQ(bulk_, Traffic{chunk(0x1000, 0) + " cancelled"});
  // The failed abort, then one that worked; the drain aborts again each time its
  // short poll runs out before the cancelled transfer is back, which a loaded
  // machine can make happen more than once.
  EXPECT_GE(aborts_, 2);
}

// ---- the trigger ----

// The trigger fails while a frame arrives anyway: the read succeeds and the
// trigger's failure is recorded.
TEST_F(Chains, TriggerFailsWhileDataArrives) {
  device_->camera().queue_frames(1);
  device_->fail_urb(sim::UrbMatch::vendor(0xB3), USBD_STATUS_STALL_PID);
  Reply reply = read(IOCTL_CAM_READ_FRAME, 0x180000);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0x180000u);
  EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), 0x180000));
  EXPECT_EQ(last_status(), USBD_STATUS_STALL_PID);
}

// A trigger that does not pend: the first chunk is aborted and waited for before
// its records go, and the read fails with the chunk's USBD status recorded.
TEST_F(Chains, TriggerNotPending) {
  device_->set_control_deferred(false);
  device_->camera().set_frame_size(0);  // the trigger brings nothing
  Reply reply = read(IOCTL_CAM_READ_FRAME, 0x100000);
  EXPECT_EQ(reply, untouched(STATUS_UNSUCCESSFUL, 0x100000));
  EXPECT_EQ(bus(), (Traffic{trigger(), chunk(0x80000, 0) + " cancelled"}));
  EXPECT_EQ(aborts_, 1);
  EXPECT_EQ(last_status(), USBD_STATUS_CANCELED);
}

// ---- refused chunks ----

struct RefuseCase {
  const char* name;
  int nth;
  uint32_t length;
};

class RefusedChunk : public Chains, public ::testing::WithParamInterface<RefuseCase> {};

// A chunk the lower driver refuses at once fails the read. When the refused first
// chunk was re-issued for a later chunk, that transfer is aborted and back before
// the read frees anything; the trigger goes only after a first chunk that pends.
TEST_P(RefusedChunk, FailsTheRead) {
  const RefuseCase& c = GetParam();
  device_->camera().set_frame_size(0);  // nothing arrives: only the refusal decides
  device_->refuse_urb(sim::UrbMatch::bulk(), STATUS_INVALID_PARAMETER, c.nth);
  Reply reply = read(IOCTL_CAM_READ_FRAME, c.length);
  EXPECT_EQ(reply, untouched(STATUS_UNSUCCESSFUL, c.length));
  EXPECT_EQ(device_->camera().triggers(), c.nth == 1 ? 0u : 1u);
  EXPECT_EQ(device_->pending_transfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedChunk,
                         ::testing::Values(RefuseCase{"FirstOfTwo", 1, 0x100000},
                                           RefuseCase{"FirstThenReissued", 1, 0x180000},
                                           RefuseCase{"Second", 2, 0x100000}),
                         CaseName());

// ---- transfers that did not succeed ----

// The bus driver's own dispatch routine, which the lower drivers below stand in for.
PDRIVER_DISPATCH g_bus_dispatch = nullptr;

// A lower driver of the test's in place of the bus driver's dispatch routine for
// internal requests, while it lives; the bus's own is kept in g_bus_dispatch.
class LowerDriver {
 public:
  LowerDriver(sim::Platform& platform, PDRIVER_DISPATCH routine) : bus_(platform.bus().driver()) {
    g_bus_dispatch = bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
    bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = routine;
  }
  ~LowerDriver() { bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = g_bus_dispatch; }
  LowerDriver(const LowerDriver&) = delete;
  LowerDriver& operator=(const LowerDriver&) = delete;

 private:
  PDRIVER_OBJECT bus_;
};
std::atomic<int> g_bulk_seen{0};
int g_refuse_nth = 0;

// A driver below that refuses the nth bulk transfer inside IofCallDriver without
// touching its URB, as a filter failing the IRP would: the URB still carries the
// length the read asked for. The rest go on to the bus.
NTSTATUS NTAPI refuse_nth_untouched(PDEVICE_OBJECT device, PIRP irp) {
  PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || ++g_bulk_seen != g_refuse_nth) {
    return g_bus_dispatch(device, irp);
  }
  irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INSUFFICIENT_RESOURCES;
}

struct UntrustedCase {
  const char* name;
  ULONG code;
  size_t length;
  int refused;  // which bulk transfer the driver below refuses
  NTSTATUS status;
  ULONG_PTR information;
  size_t hole, hole_end;  // the range the refused transfer claimed
};

class RefusedUntouched : public CaptureTest, public ::testing::WithParamInterface<UntrustedCase> {};

// Only a transfer that succeeded is counted: a refused third chunk leaves its range
// unwritten and uncounted (the fourth, sent last, gets the rest of the frame and
// decides the status), and a refused last packet puts nothing of the driver's block
// (never written) into the caller's buffer, on both chunked reads.
TEST_P(RefusedUntouched, CountsAndCopiesNothing) {
  const UntrustedCase& c = GetParam();
  attach(0x100A, static_cast<uint32_t>(c.length));
  device_->camera().queue_frames(1);
  g_bulk_seen = 0;
  g_refuse_nth = c.refused;
  Reply reply;
  {
    LowerDriver below(platform(), refuse_nth_untouched);
    reply = read(c.code, c.length);
  }
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.information, c.information);
  const uint8_t* out = reply.output.data();
  // A refused second transfer fails the read, whose first may end before its data.
  if (c.status == STATUS_SUCCESS) {
    EXPECT_TRUE(sim::pattern::matches(0, 0, out, c.hole));
  }
  EXPECT_EQ(Bytes(out + c.hole, out + c.hole_end), Bytes(c.hole_end - c.hole, kPoison));
  EXPECT_TRUE(sim::pattern::matches(0, c.hole, out + c.hole_end, c.length - c.hole_end));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedUntouched,
    ::testing::Values(UntrustedCase{"ThirdChunkTriggered", IOCTL_CAM_READ_FRAME, 0x200000, 3, STATUS_SUCCESS,
                                    0x180000, 0x100000, 0x180000},
                      UntrustedCase{"ThirdChunkUntriggered", IOCTL_CAM_READ_FRAME_EX, 0x200000, 3,
                                    STATUS_SUCCESS, 0x180000, 0x100000, 0x180000},
                      UntrustedCase{"LastPacketTriggered", IOCTL_CAM_READ_FRAME, 4096 + 300, 2,
                                    STATUS_UNSUCCESSFUL, 0, 4096, 4096 + 300},
                      UntrustedCase{"LastPacketUntriggered", IOCTL_CAM_READ_FRAME_EX, 4096 + 300, 2,
                                    STATUS_UNSUCCESSFUL, 0, 4096, 4096 + 300}),
    CaseName());

// ---- immediate completions ----

// A lower driver that completes every bulk transfer inside IofCallDriver, moving
// nothing into the buffer, and measures how deep its calls nest.
thread_local int t_depth = 0;
std::atomic<int> g_max_depth{0};
std::atomic<long> g_bulk_calls{0};

NTSTATUS NTAPI complete_at_once(PDEVICE_OBJECT device, PIRP irp) {
  PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return g_bus_dispatch(device, irp);
  g_max_depth = std::max(g_max_depth.load(), ++t_depth);
  ++g_bulk_calls;
  IoMarkIrpPending(irp);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  --t_depth;
  return STATUS_PENDING;
}

// Thousands of chunks completed at once re-issue from a loop, not by recursion.
TEST_F(Chains, ImmediateCompletionsDoNotNest) {
  constexpr uint32_t kChunks = 4000;
  constexpr size_t kLength = size_t{kChunks} * CAM_CHUNK_BYTES;
  void* space = mmap(nullptr, kLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  PDEVICE_OBJECT fdo = platform().fdo(*device_);
  PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength = kLength;
  // A buffer already in system space, never touched: the lower driver moves nothing.
  PMDL mdl = IoAllocateMdl(space, kLength, FALSE, FALSE, irp);
  mdl->MappedSystemVa = space;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  NTSTATUS status;
  {
    LowerDriver below(platform(), complete_at_once);
    status = CamReadFrameUntriggered(fdo, irp);
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Information, kLength);
  EXPECT_EQ(g_bulk_calls.load(), kChunks);
  EXPECT_EQ(g_max_depth.load(), 1);
  IoFreeMdl(mdl);
  IoFreeIrp(irp);
  munmap(space, kLength);
}

// A driver below that claims every transfer succeeded while writing nothing: the
// caller's last partial packet comes back as zeros of the driver's, never as what
// the pool held before.
TEST_F(Chains, LastPacketNeverShowsOldPool) {
  Reply reply;
  {
    LowerDriver below(platform(), complete_at_once);
    reply = read(IOCTL_CAM_READ_FRAME_EX, 4096 + 300);
  }
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(Bytes(reply.output.begin() + 4096, reply.output.end()), Bytes(300, 0));
}

// A lower driver that keeps the first chunk and, when the second comes, ends both
// (cancelled) on another processor before its call returns.
PIRP g_kept = nullptr;
LONG g_count_after_ends = -1;
PCAM_DEVICE_EXTENSION g_ext = nullptr;

NTSTATUS NTAPI end_both_on_second(PDEVICE_OBJECT device, PIRP irp) {
  PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return g_bus_dispatch(device, irp);
  IoMarkIrpPending(irp);
  if (g_kept == nullptr) {
    g_kept = irp;
    return STATUS_PENDING;
  }
  std::thread([irp] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (PIRP done : {g_kept, irp}) {
      static_cast<PURB>(IoGetCurrentIrpStackLocation(done)->Parameters.Others.Argument1)->UrbHeader.Status =
          USBD_STATUS_CANCELED;
      done->IoStatus.Status = STATUS_CANCELLED;
      IofCompleteRequest(done, IO_NO_INCREMENT);
    }
    KeLowerIrql(old);
  }).join();
  g_count_after_ends = InterlockedCompareExchange(&g_ext->PendingChunks, 0, 0);
  return STATUS_PENDING;
}

// Every chain ends while the read still holds the sender: the count that wakes the
// read must not reach 0 until the read lets go, or it rises again from 0 and the
// completion that brought it there may set the event of a read that has returned.
TEST_F(Chains, ChainsEndingBeforeTheSenderLetsGoDoNotWakeTheRead) {
  g_ext = ext_;
  g_kept = nullptr;
  Reply reply;
  {
    LowerDriver below(platform(), end_both_on_second);
    reply = read(IOCTL_CAM_READ_FRAME_EX, 0x100000);
  }
  EXPECT_EQ(reply, untouched(STATUS_CANCELLED, 0x100000));
  EXPECT_EQ(g_count_after_ends, 1) << "the read's wake-up was given while it still sent";
  EXPECT_EQ(ext_->PendingChunks, 0);
}

// ---- two reads ----

struct QueueCase {
  const char* name;
  ULONG first_code;
  uint32_t first_length;
  std::function<void(sim::UsbDevice&)> arrange;  // before the first read
  size_t aborts;                                 // tried by the first read before the second comes
  Traffic while_waiting;                         // what the camera saw of the first read by then
  std::function<void(sim::UsbDevice&)> let_go;   // brings the first read's transfer back
  NTSTATUS first_status;
  ULONG second_code;
};

class QueuedRead : public CaptureTest, public ::testing::WithParamInterface<QueueCase> {};

// A second read on the device waits for the first until the first's last transfer
// is back from the USB stack, sends nothing meanwhile, and gets its own frame
// whole: nothing of the first read's is left on the pipe to land in its buffer.
TEST_P(QueuedRead, SendsNothingUntilTheFirstIsBackThenGetsItsOwnFrame) {
  const QueueCase& c = GetParam();
  attach(0x100A, 0x1000);
  if (c.arrange) c.arrange(*device_);
  auto first = std::async(std::launch::async, [&] { return read(c.first_code, c.first_length); });
  // Whatever fails on the way, the transfer is let go below, so that both reads end.
  EXPECT_TRUE(device_->wait_for_pending(1, kBound));
  EXPECT_TRUE(
      device_->wait_for_events(sim::UrbMatch::pipe_request(URB_FUNCTION_ABORT_PIPE), c.aborts, kBound));
  auto second = std::async(std::launch::async, [&] { return read(c.second_code, 0x1000); });
  EXPECT_TRUE(sim::wait_for_waiter(&ext_->SingleShotLock, kBound));
  EXPECT_EQ(device_->pending_transfers(), 1u);
  EXPECT_EQ(bus(), c.while_waiting);
  c.let_go(*device_);
  Reply a = first.get();
  Reply b = second.get();
  EXPECT_EQ(a.status, c.first_status);
  if (c.first_status == STATUS_SUCCESS) {
    EXPECT_EQ(a.information, 0x1000u);
    EXPECT_TRUE(sim::pattern::matches(0, 0, a.output.data(), 0x1000));
  }
  EXPECT_EQ(b.status, STATUS_SUCCESS);
  EXPECT_EQ(b.information, 0x1000u);
  // Frame 1 whole; or frame 0, still in the camera, when the first read's transfer
  // came back empty (its tear-down's abort, no longer failing, can end it before the
  // camera sends into it).
  bool first_took_frame = false;
  for (const sim::BusEvent& e : device_->trace()) {
    first_took_frame |= e.kind == sim::BusEvent::Bulk && e.requested != 0x1000 && e.actual != 0;
  }
  uint32_t expected = c.first_status == STATUS_SUCCESS || first_took_frame ? 1 : 0;
  EXPECT_TRUE(sim::pattern::matches(expected, 0, b.output.data(), 0x1000)) << "frame " << expected;
  EXPECT_EQ(device_->pending_transfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueuedRead,
    ::testing::Values(QueueCase{"BehindARunningRead", IOCTL_CAM_READ_FRAME_EX, 0x1000, nullptr, 0, Traffic{},
                                [](sim::UsbDevice& d) { d.camera().queue_frames(2); }, STATUS_SUCCESS,
                                IOCTL_CAM_READ_FRAME_EX},
                      // The first read's second chunk is refused and the abort fails, so its first
                      // chunk is still out when the read has its status; the second read comes
                      // once the first is past that (its second abort is its tear-down's). The
                      // frame the first read's trigger asked for goes into that chunk once it is
                      // let go.
                      QueueCase{"BehindATransferLeftOut", IOCTL_CAM_READ_FRAME, 0x100000,
                                [](sim::UsbDevice& d) {
                                  sim::set_timeout_scale(0.01);
                                  d.refuse_urb(sim::UrbMatch::bulk(), STATUS_INVALID_PARAMETER, 2);
                                  d.hold(sim::UrbMatch::bulk());
                                  d.fail_urb(sim::UrbMatch::pipe_request(URB_FUNCTION_ABORT_PIPE),
                                             USBD_STATUS_REQUEST_FAILED, STATUS_UNSUCCESSFUL, 1,
                                             sim::UsbDevice::kForever);
                                },
                                2, Traffic{"40 B3 0000 0000 0010 :" + hex(Bytes(16, 0xFF))},
                                [](sim::UsbDevice& d) {
                                  sim::set_timeout_scale(1);
                                  d.release_held();
                                  d.clear_injections();
                                },
                                STATUS_UNSUCCESSFUL, IOCTL_CAM_READ_FRAME}),
    CaseName());

// ---- requests refused before anything is sent ----

struct AllocationCase {
  const char* name;
  ULONG code;
  int pool;  // allocations the read makes: tail buffer, URBs, context block, trigger URB
  int irps;
};

class Allocations : public CaptureTest, public ::testing::WithParamInterface<AllocationCase> {};

// No output buffer, and every allocation failing in turn: the read is refused with
// nothing sent and everything it allocated freed (the verifier checks the pool).
TEST_P(Allocations, RefusedWithNothingSent) {
  const AllocationCase& c = GetParam();
  attach(0x100A);
  EXPECT_EQ(read(c.code, 0), untouched(STATUS_INVALID_PARAMETER, 0));
  constexpr size_t kLength = 0x80000 + 100;  // two chunks, one of them the last packet
  for (int nth = 1; nth <= c.pool + c.irps; ++nth) {
    if (nth <= c.pool) {
      sim::inject::fail_pool_allocation(nth);
    } else {
      sim::inject::fail_irp_allocation(nth - c.pool);
    }
    EXPECT_EQ(read(c.code, kLength), untouched(STATUS_INSUFFICIENT_RESOURCES, kLength)) << nth;
    sim::inject::clear();
  }
  EXPECT_EQ(bus(), Traffic{});
}

INSTANTIATE_TEST_SUITE_P(Reads, Allocations,
                         ::testing::Values(AllocationCase{"Untriggered", IOCTL_CAM_READ_FRAME_EX, 4, 2},
                                           AllocationCase{"Triggered", IOCTL_CAM_READ_FRAME, 5, 3}),
                         CaseName());

struct PipeCase {
  const char* name;
  std::vector<sim::EndpointConfig> endpoints;
  NTSTATUS status;
};

class PipeTable : public CaptureTest, public ::testing::WithParamInterface<PipeCase> {};

// A pipe table whose last pipe no read can use refuses every read with nothing sent:
// a last pipe that sends to the camera would otherwise carry the read's own buffers
// out, and one of no packet size has no whole packets to ask for.

TEST_P(PipeTable, RefusedWithNothingSent) {
  for (USHORT product : {0x1009, 0x100A}) {
    sim::CameraConfig config = camera(product);
    config.interfaces[0].endpoints = GetParam().endpoints;
    sim::UsbDevice& device = plug(config);
    sim::Handle handle = open(product == 0x1009 ? 0 : 1);
    device.clear_trace();
    for (ULONG code : {IOCTL_CAM_READ_FRAME, IOCTL_CAM_READ_FRAME_EX}) {
      EXPECT_EQ(send_control(handle, code, {}, 4096).status, GetParam().status) << product << " " << code;
    }
    EXPECT_TRUE(device.trace().empty());
    sim::nt_close(handle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PipeTable,
    ::testing::Values(PipeCase{"NoPipes", {}, STATUS_UNSUCCESSFUL},
                      PipeCase{"IsochronousLast",
                               {{0x81, USB_ENDPOINT_TYPE_BULK}, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS}},
                               STATUS_INVALID_PARAMETER},
                      PipeCase{"OutLast",
                               {{0x81, USB_ENDPOINT_TYPE_BULK}, {0x02, USB_ENDPOINT_TYPE_BULK}},
                               STATUS_INVALID_DEVICE_STATE},
                      PipeCase{"NoPacketSize",
                               {{0x01, USB_ENDPOINT_TYPE_BULK}, {0x82, USB_ENDPOINT_TYPE_BULK, 0}},
                               STATUS_INVALID_DEVICE_STATE}),
    CaseName());

// ---- the plain bulk transfer ----

struct PlainCase {
  const char* name;
  uint32_t length;
  uint32_t frame;
  uint32_t short_at;  // 0: no short transfer
  NTSTATUS status;
  ULONG_PTR information;
  Traffic traffic;
};

class PlainTransfer : public CaptureTest, public ::testing::WithParamInterface<PlainCase> {};

// The whole packets of the output in one transfer into the caller's buffer, bounded
// by the pipe's MaximumTransferSize; the rest from one more packet, unless the frame
// ended short before it. A frame longer than the buffer does not babble.
TEST_P(PlainTransfer, OneTransfer) {
  const PlainCase& c = GetParam();
  attach(0x100B, c.frame);
  device_->camera().queue_frames(1);
  if (c.short_at != 0) device_->short_transfers(c.short_at);
  Reply reply = read(IOCTL_CAM_READ_FRAME, c.length);
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.information, c.information);
  EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), reply.information));
  EXPECT_EQ(bus(), c.traffic);
  EXPECT_EQ(device_->camera().triggers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlainTransfer,
    ::testing::Values(
        PlainCase{"MaximumTransferSize", 0x80000, 0x80000, 0, STATUS_SUCCESS, 0x80000, {"82 f3 80000>80000"}},
        PlainCase{"OneByteMore", 0x80001, 0x80001, 0, STATUS_INVALID_PARAMETER, 0, {}},
        PlainCase{"Unrounded", 1000, 1000, 0, STATUS_SUCCESS, 1000, {"82 f3 200>200", "82 f3 200>1E8"}},
        PlainCase{"LongerFrame", 1000, 2048, 0, STATUS_SUCCESS, 1000, {"82 f3 200>200", "82 f3 200>200"}},
        PlainCase{"ShortBeforeTheLastPacket", 1000, 2048, 100, STATUS_SUCCESS, 100, {"82 f3 200>64"}},
        PlainCase{"ZeroLength", 0, 1000, 0, STATUS_SUCCESS, 0, {"82 f3 0>0"}},
        PlainCase{"Short", 4096, 4096, 300, STATUS_SUCCESS, 300, {"82 f3 1000>12C"}}),
    CaseName());

// Without memory for the URB or the last packet's block, nothing is sent.
TEST_F(CaptureTest, PlainTransferWithoutMemory) {
  attach(0x100F);
  for (int nth : {1, 2}) {
    sim::inject::fail_pool_allocation(nth);
    EXPECT_EQ(read(IOCTL_CAM_READ_FRAME, 16), untouched(STATUS_NO_MEMORY, 16)) << nth;
    sim::inject::clear();
  }
  EXPECT_EQ(bus(), Traffic{});
}

// ---- packet sizes ----

struct PacketCase {
  const char* name;
  UCHAR type;
  USHORT packet;
  uint32_t length;        // the output length; the frame is three packets longer
  uint32_t plain_length;  // the same for the plain transfer, within its MaximumTransferSize
};

class PacketSizes : public CaptureTest, public ::testing::WithParamInterface<PacketCase> {};

// Every length a read asks for is whole packets of the image endpoint, whatever
// their size (64 at full speed, 1024 on a SuperSpeed bulk endpoint, 100 on an
// interrupt endpoint, which USB allows): with a frame longer than the buffer no
// packet overruns a transfer (babble) or the last packet's block (the verifier
// checks the pool), and the caller gets exactly the frame's first bytes, on every
// read path and model.
TEST_P(PacketSizes, EveryTransferIsWholePackets) {
  const PacketCase& c = GetParam();
  struct Path {
    USHORT product;
    ULONG code;
  };
  const Path paths[] = {{0x1009, IOCTL_CAM_READ_FRAME}, {0x100B, IOCTL_CAM_READ_FRAME},
                        {0x100A, IOCTL_CAM_READ_FRAME}, {0x100C, IOCTL_CAM_READ_FRAME},
                        {0x100E, IOCTL_CAM_READ_FRAME}, {0x100D, IOCTL_CAM_READ_FRAME_EX}};
  sim::set_timeout_scale(30);
  int instance = 0;
  for (const Path& path : paths) {
    sim::CameraConfig config = camera(path.product);
    config.interfaces[0].endpoints = {{0x01, USB_ENDPOINT_TYPE_BULK}, {kIn, c.type, c.packet}};
    bool plain = path.product == 0x1009 || path.product == 0x100B;
    uint32_t length = plain ? c.plain_length : c.length;
    config.frame_size = length + 3u * c.packet;
    sim::UsbDevice& device = plug(config);
    sim::Handle handle = open(instance++);
    device.clear_trace();
    if (plain || path.code == IOCTL_CAM_READ_FRAME_EX) device.camera().queue_frames(1);
    Reply reply = send_control(handle, path.code, {}, length);
    std::string where = product_name(path.product);
    EXPECT_TRUE(reply.guards_intact) << where;
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << where;
    EXPECT_EQ(reply.information, length) << where;
    EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), length)) << where;
    for (const sim::BusEvent& e : device.trace()) {
      if (e.kind != sim::BusEvent::Bulk) continue;
      EXPECT_EQ(e.requested % c.packet, 0u) << where << ": " << describe_bulk(e);
      EXPECT_EQ(e.usbd_status, USBD_STATUS_SUCCESS) << where << ": " << describe_bulk(e);
    }
    sim::nt_close(handle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, PacketSizes,
    ::testing::Values(PacketCase{"Interrupt100", USB_ENDPOINT_TYPE_INTERRUPT, 100, 505, 505},
                      PacketCase{"FullSpeed64", USB_ENDPOINT_TYPE_BULK, 64, 1000, 1000},
                      PacketCase{"HighSpeed512", USB_ENDPOINT_TYPE_BULK, 512, 0x80000 + 300, 0x7F000 + 300},
                      PacketCase{"SuperSpeed1024", USB_ENDPOINT_TYPE_BULK, 1024, 0x80200, 0x7FE00}),
    CaseName());

// ---- routing ----

class Routing : public CaptureTest, public ::testing::WithParamInterface<USHORT> {};

// The frame read goes to the plain transfer on 0x1009, 0x100B and 0x100F and to the
// triggered read on the others; the read without trigger serves every product.
// Every block either read takes is tagged and not executable, and so is its view
// of the caller's buffer.
TEST_P(Routing, ByProduct) {
  attach(GetParam());
  sim::PoolHabits before = sim::driver_pool_habits();
  bool plain = GetParam() == 0x1009 || GetParam() == 0x100B || GetParam() == 0x100F;
  if (plain) device_->camera().queue_frames(1);
  Reply reply = read(IOCTL_CAM_READ_FRAME, 4096);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4096u);
  EXPECT_TRUE(sim::pattern::matches(0, 0, reply.output.data(), 4096));
  EXPECT_EQ(bus(), plain ? Traffic{chunk(4096, 4096)} : (Traffic{trigger(), chunk(4096, 4096)}));
  device_->camera().queue_frames(1);
  reply = read(IOCTL_CAM_READ_FRAME_EX, 4096);
  EXPECT_EQ(reply.information, 4096u);
  EXPECT_TRUE(sim::pattern::matches(1, 0, reply.output.data(), 4096));
  EXPECT_EQ(bus(), Traffic{chunk(4096, 4096)});
  sim::PoolHabits after = sim::driver_pool_habits();
  EXPECT_EQ(after.untagged, before.untagged);
  EXPECT_EQ(after.executable, before.executable);
  EXPECT_EQ(after.executable_mappings, before.executable_mappings);
}

INSTANTIATE_TEST_SUITE_P(Products, Routing,
                         ::testing::Values(0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F),
                         ProductName());

}  // namespace
}  // namespace quorvex::test
