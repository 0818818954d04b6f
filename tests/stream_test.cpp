// Streaming: the slot queues, the lengths each transfer asks for, and a stream's
// memory with its clean-up after each allocation that can fail.
#include <string>
#include <vector>

#include "stream/stream.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

class SlotQueue : public ::testing::Test {
 protected:
  SlotQueue() {
    for (ULONG i = 0; i < CAM_STREAM_SLOTS; ++i) {
      slots_[i] = {};
      slots_[i].Index = i;
      // A stale link, as a slot that left another queue may carry.
      slots_[i].Next = &slots_[(i + 1) % CAM_STREAM_SLOTS];
    }
    CamInitializeSlotQueue(&queue_, CAM_STREAM_SLOTS);
  }

  std::vector<ULONG> drain() {
    std::vector<ULONG> order;
    while (PCAM_FRAME_SLOT slot = CamPopSlot(&queue_)) {
      EXPECT_EQ(slot->Next, nullptr);
      order.push_back(slot->Index);
    }
    EXPECT_EQ(queue_.Count, 0);
    EXPECT_EQ(queue_.Head, nullptr);
    EXPECT_EQ(queue_.Tail, nullptr);
    return order;
  }

  CAM_FRAME_SLOT slots_[CAM_STREAM_SLOTS];
  CAM_SLOT_QUEUE queue_;
};

TEST_F(SlotQueue, GivesSlotsBackOldestFirstAndUnlinked) {
  EXPECT_EQ(CamPopSlot(&queue_), nullptr);
  for (CAM_FRAME_SLOT& slot : slots_) ASSERT_TRUE(CamPushSlot(&queue_, &slot));
  EXPECT_EQ(queue_.Tail->Next, nullptr);
  EXPECT_EQ(drain(), (std::vector<ULONG>{0, 1, 2}));
}

TEST_F(SlotQueue, RefusesAPushBeyondItsLimitAndChangesNothing) {
  CamInitializeSlotQueue(&queue_, 2);
  ASSERT_TRUE(CamPushSlot(&queue_, &slots_[2]));
  ASSERT_TRUE(CamPushSlot(&queue_, &slots_[0]));
  PCAM_FRAME_SLOT staleLink = slots_[1].Next;
  EXPECT_FALSE(CamPushSlot(&queue_, &slots_[1]));
  EXPECT_EQ(queue_.Count, 2);
  EXPECT_EQ(queue_.Tail, &slots_[0]);
  EXPECT_EQ(slots_[0].Next, nullptr);
  EXPECT_EQ(slots_[1].Next, staleLink);
  EXPECT_EQ(drain(), (std::vector<ULONG>{2, 0}));
}

// The hand-off's cycle: a pop that empties the queue leaves no tail behind, so the
// next push starts a fresh list instead of linking after a slot that left.
TEST_F(SlotQueue, StartsAfreshAfterBeingEmptied) {
  ASSERT_TRUE(CamPushSlot(&queue_, &slots_[1]));
  ASSERT_EQ(CamPopSlot(&queue_), &slots_[1]);
  ASSERT_TRUE(CamPushSlot(&queue_, &slots_[2]));
  ASSERT_TRUE(CamPushSlot(&queue_, &slots_[0]));
  ASSERT_EQ(CamPopSlot(&queue_), &slots_[2]);
  ASSERT_TRUE(CamPushSlot(&queue_, &slots_[1]));
  EXPECT_EQ(slots_[1].Next, nullptr);
  EXPECT_EQ(drain(), (std::vector<ULONG>{0, 1}));
}

struct FirstLengths {
  std::string name;
  LONG frame_size;
  ULONG transfer0, transfer1;
};

class FirstTransferLength : public ::testing::TestWithParam<FirstLengths> {};

TEST_P(FirstTransferLength, SplitsTheFrameAcrossBothTransfers) {
  const FirstLengths& c = GetParam();
  EXPECT_EQ(CamFirstTransferLength(c.frame_size, 0), c.transfer0);
  EXPECT_EQ(CamFirstTransferLength(c.frame_size, 1), c.transfer1);
}

INSTANTIATE_TEST_SUITE_P(FrameSizes, FirstTransferLength,
                         ::testing::Values(FirstLengths{"Small", 300000, 300000, 300000},
                                           FirstLengths{"OneChunk", 524288, 524288, 524288},
                                           FirstLengths{"ChunkAndOneByte", 524289, 524288, 1},
                                           FirstLengths{"UnderTwoChunks", 1000000, 524288, 475712},
                                           FirstLengths{"OverTwoChunks", 1500000, 524288, 524288}),
                         [](const auto& info) { return info.param.name; });

struct LengthCycle {
  std::string name;
  LONG frame_size;
  // The lengths asked, in the order the transfers complete, each delivering what
  // it asked for: the two first requests, then every re-submission.
  std::vector<ULONG> requests;
};

class NextTransferLength : public ::testing::TestWithParam<LengthCycle> {};

// Plays transfers 0 and 1 completing in turn, each with what it asked for, and
// checks every re-submission: no request may reach into the next frame's bytes
// while the other transfer still fetches this frame's.
TEST_P(NextTransferLength, KeepsEveryRequestInsideItsFrame) {
  const LengthCycle& c = GetParam();
  ULONG asked[CAM_STREAM_TRANSFERS] = {CamFirstTransferLength(c.frame_size, 0),
                                       CamFirstTransferLength(c.frame_size, 1)};
  ULONG filled = 0;
  std::vector<ULONG> seen = {asked[0], asked[1]};
  for (size_t i = 0; seen.size() < c.requests.size(); ++i) {
    ULONG t = i % CAM_STREAM_TRANSFERS;
    filled += asked[t];
    if (filled >= static_cast<ULONG>(c.frame_size)) filled = 0;
    asked[t] = CamNextTransferLength(c.frame_size, filled);
    seen.push_back(asked[t]);
  }
  EXPECT_EQ(seen, c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    FrameSizes, NextTransferLength,
    ::testing::Values(
        LengthCycle{"Small", 300000, {300000, 300000, 300000, 300000}},
        LengthCycle{"UnderTwoChunks", 1000000, {524288, 475712, 524288, 475712, 524288, 475712}},
        LengthCycle{
            "OverTwoChunks", 1500000, {524288, 524288, 451424, 524288, 524288, 451424, 524288, 524288}},
        LengthCycle{"ChunkAndOneByte", 524289, {524288, 1, 524288, 1, 524288, 1}}),
    [](const auto& info) { return info.param.name; });

// A stream's memory and views, opened straight on a started camera.
class StreamMemory : public Testbed {
 protected:
  NTSTATUS allocate(LONG frame_size, PCAM_STREAM_CONTEXT* stream) {
    PDEVICE_OBJECT fdo = platform().fdo(*camera_);
    PUSBD_INTERFACE_INFORMATION info = extension(*camera_)->InterfaceInfo;
    pipe_ = &info->Pipes[info->NumberOfPipes - 1];
    return CamOpenStream(fdo, frame_size, stream);
  }

  sim::UsbDevice* camera_ = &plug();
  PUSBD_PIPE_INFORMATION pipe_ = nullptr;
};

TEST_F(StreamMemory, FramesShowAsZeroedWholePagesWithSlotZeroFillingFirst) {
  constexpr LONG kFrame = 1000000;  // 244 pages and 576 bytes
  PCAM_STREAM_CONTEXT stream = nullptr;
  ASSERT_EQ(allocate(kFrame, &stream), STATUS_SUCCESS);
  EXPECT_EQ(stream->StreamPipe, pipe_);
  EXPECT_EQ(stream->FrameSize, kFrame);
  for (ULONG i = 0; i < CAM_STREAM_SLOTS; ++i) {
    const CAM_FRAME_SLOT& slot = stream->Slots[i];
    EXPECT_EQ(slot.Index, i);
    EXPECT_EQ(slot.Size, kFrame);
    EXPECT_EQ(slot.BufferBytes, 245u * PAGE_SIZE);
    EXPECT_EQ(BYTE_OFFSET(slot.Buffer), 0u);
    EXPECT_EQ(MmGetMdlByteCount(slot.Mdl), slot.BufferBytes);
    // The application's view shows the whole pages, zeroed: nothing the pool held.
    ASSERT_NE(slot.UserAddress, nullptr);
    EXPECT_NE(slot.UserAddress, slot.Buffer);
    std::vector<UCHAR> zeros(slot.BufferBytes, 0);
    EXPECT_EQ(memcmp(slot.UserAddress, zeros.data(), zeros.size()), 0) << "slot " << i;
  }
  EXPECT_EQ(stream->Slots[0].State, CamSlotFilling);
  EXPECT_EQ(stream->FillSlotIndex, 0u);
  EXPECT_EQ(stream->FillPointer, stream->Slots[0].Buffer);
  ASSERT_EQ(stream->FreeSlots.Count, 2);
  EXPECT_EQ(stream->FreeSlots.Head, &stream->Slots[1]);
  EXPECT_EQ(stream->FreeSlots.Tail, &stream->Slots[2]);
  EXPECT_EQ(stream->Slots[2].State, CamSlotFree);
  EXPECT_EQ(stream->ReadySlots.Count, 0);
  EXPECT_EQ(stream->ReadySlots.Limit, 3);
  CCHAR stack = extension(*camera_)->LowerDeviceObject->StackSize + 1;
  for (PCAM_STREAM_TRANSFER transfer : stream->Transfers) {
    ASSERT_NE(transfer, nullptr);
    EXPECT_EQ(transfer->Stream, stream);
    EXPECT_EQ(transfer->Irp->StackCount, stack);
    EXPECT_EQ(transfer->UrbLength, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_NE(transfer->DataBuffer, nullptr);
  }
  CamFreeStream(stream);
}

// Sizes no buffer can be had for, or beyond any camera's frame, fail before
// anything is taken that could stay; the largest frame allowed is taken.
TEST_F(StreamMemory, RefusesSizesNoBufferCanHold) {
  PCAM_STREAM_CONTEXT largest = nullptr;
  ASSERT_EQ(allocate(CAM_STREAM_FRAME_MAX, &largest), STATUS_SUCCESS);
  CamFreeStream(largest);
  for (LONG size : {-1, static_cast<LONG>(0x80000000u), CAM_STREAM_FRAME_MAX + 1, 0x7FFFFFFF}) {
    PCAM_STREAM_CONTEXT stream = reinterpret_cast<PCAM_STREAM_CONTEXT>(1);
    EXPECT_EQ(allocate(size, &stream), STATUS_INSUFFICIENT_RESOURCES) << size;
    EXPECT_EQ(stream, nullptr);
  }
}

// The hand-off, played on a stream that sends nothing: frames finished in turn
// with no slot held leave the two newest waiting, oldest first; the event is set
// only by a frame entering an empty queue.
class HandOff : public StreamMemory {
 protected:
  void SetUp() override { ASSERT_EQ(allocate(kFrame, &stream_), STATUS_SUCCESS); }
  void TearDown() override { CamFreeStream(stream_); }

  // Finishes the frame being filled in two pieces, the second too long.
  void finish_frame() {
    CamTakeStreamBytes(stream_, data_.data(), kFrame - 100);
    EXPECT_EQ(stream_->FrameBytesFilled, kFrame - 100);
    CamTakeStreamBytes(stream_, data_.data(), 300);
    EXPECT_EQ(stream_->FrameBytesFilled, 0u);
    EXPECT_EQ(stream_->FillPointer, stream_->Slots[stream_->FillSlotIndex].Buffer);
  }

  std::vector<ULONG> ready() const {
    std::vector<ULONG> order;
    for (PCAM_FRAME_SLOT s = stream_->ReadySlots.Head; s != nullptr; s = s->Next) order.push_back(s->Index);
    return order;
  }

  bool event_set() { return KeReadStateEvent(&stream_->FrameReadyEvent) != 0; }

  static constexpr LONG kFrame = 4000;  // not whole pages: zeros follow it in its slot
  PCAM_STREAM_CONTEXT stream_ = nullptr;
  std::vector<UCHAR> data_ = std::vector<UCHAR>(kFrame, 0x5A);
};

TEST_F(HandOff, KeepsTheTwoNewestFramesWaitingOldestFirst) {
  struct Row {
    std::vector<ULONG> ready;
    ULONG next_fill;
  };
  const Row rows[] = {{{0}, 1}, {{0, 1}, 2}, {{1, 2}, 0}, {{2, 0}, 1}, {{0, 1}, 2}};
  for (const Row& row : rows) {
    KeClearEvent(&stream_->FrameReadyEvent);
    bool was_empty = stream_->ReadySlots.Count == 0;
    finish_frame();
    EXPECT_EQ(ready(), row.ready);
    EXPECT_EQ(stream_->FillSlotIndex, row.next_fill);
    EXPECT_EQ(event_set(), was_empty);
  }
  // Nothing beyond the frame's end was written: the slot holds the frame and the
  // page's zeros after it.
  const CAM_FRAME_SLOT& slot = stream_->Slots[0];
  EXPECT_EQ(slot.Buffer[kFrame - 1], 0x5A);
  std::vector<UCHAR> zeros(slot.BufferBytes - kFrame, 0);
  EXPECT_EQ(memcmp(slot.Buffer + kFrame, zeros.data(), zeros.size()), 0);
}

// With two slots held and nothing waiting, every finished frame is dropped and
// the same slot filled again, waking nobody.
TEST_F(HandOff, RefillsTheSameSlotWhileTheApplicationHoldsBothOthers) {
  for (ULONG i : {1u, 2u}) {
    ASSERT_EQ(CamPopSlot(&stream_->FreeSlots), &stream_->Slots[i]);
    stream_->Slots[i].State = CamSlotHeld;
  }
  for (int i = 0; i < 3; ++i) {
    finish_frame();
    EXPECT_EQ(stream_->FillSlotIndex, 0u);
    EXPECT_TRUE(ready().empty());
    EXPECT_FALSE(event_set());
  }
}

// A completion that brings nothing changes neither the fill state nor the queues.
TEST_F(HandOff, NothingReceivedChangesNothing) {
  CamTakeStreamBytes(stream_, data_.data(), 10);
  PUCHAR fill = stream_->FillPointer;
  CamTakeStreamBytes(stream_, data_.data(), 0);
  EXPECT_EQ(stream_->FillPointer, fill);
  EXPECT_EQ(stream_->FrameBytesFilled, 10u);
  EXPECT_EQ(stream_->FreeSlots.Count, 2);
  EXPECT_TRUE(ready().empty());
}

// Opening a stream: the pipe's checks, the frame size, the reset that clears a
// halt left by an earlier user of the pipe.
class StreamOpen : public Testbed {
 protected:
  NTSTATUS open_stream(sim::UsbDevice& device, LONG frame_size) {
    device.clear_trace();
    PCAM_STREAM_CONTEXT stream = reinterpret_cast<PCAM_STREAM_CONTEXT>(1);
    NTSTATUS status = CamOpenStream(platform().fdo(device), frame_size, &stream);
    if (NT_SUCCESS(status)) {
      CamFreeStream(stream);
    } else {
      EXPECT_EQ(stream, nullptr);
    }
    return status;
  }

  static std::vector<USHORT> resets(sim::UsbDevice& device) {
    std::vector<USHORT> lengths;
    for (const sim::BusEvent& e : device.trace()) {
      EXPECT_EQ(e.kind, sim::BusEvent::ResetPipe);
      lengths.push_back(e.urb_length);
    }
    return lengths;
  }
};

TEST_F(StreamOpen, ResetsThePipeWithTheLengthTheStackKnows) {
  sim::UsbDevice& device = plug();
  for (auto [version, length] : {std::pair<ULONG, USHORT>{0x100, 36}, {0x101, 40}, {0x600, 40}}) {
    platform().bus().set_usbdi_version(version);
    EXPECT_EQ(open_stream(device, 300000), STATUS_SUCCESS);
    EXPECT_EQ(resets(device), std::vector<USHORT>{length}) << std::hex << version;
  }
}

// A frame of no bytes is refused before anything goes down; a negative one only
// once the pipe is reset, when no buffer can be had for it.
TEST_F(StreamOpen, RefusesAnEmptyFrameAtOnceAndANegativeOneForWantOfMemory) {
  sim::UsbDevice& device = plug();
  EXPECT_EQ(open_stream(device, 0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device.trace().empty());
  EXPECT_EQ(open_stream(device, -1), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(resets(device).size(), 1u);
}

struct UnusablePipes {
  std::string name;
  std::vector<sim::EndpointConfig> endpoints;
};

class StreamPipeTable : public StreamOpen, public ::testing::WithParamInterface<UnusablePipes> {};

TEST_P(StreamPipeTable, RefusedWithNothingSent) {
  sim::CameraConfig config = camera();
  config.interfaces[0].endpoints = GetParam().endpoints;
  sim::UsbDevice& device = plug(config);
  EXPECT_EQ(open_stream(device, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(open_stream(device, 300000), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(device.trace().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamPipeTable,
    ::testing::Values(UnusablePipes{"NoPipes", {}},
                      UnusablePipes{"IsochronousLast",
                                    {{0x81, USB_ENDPOINT_TYPE_BULK}, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS}}},
                      UnusablePipes{"OutLast",
                                    {{0x81, USB_ENDPOINT_TYPE_BULK}, {0x02, USB_ENDPOINT_TYPE_BULK}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex::test
