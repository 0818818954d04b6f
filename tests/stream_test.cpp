// Streaming: the slot queues and the lengths each transfer asks for.
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
    ::testing::Values(LengthCycle{"Small", 300000, {300000, 300000, 300000, 300000}},
                      LengthCycle{"UnderTwoChunks", 1000000, {524288, 475712, 524288, 475712, 524288, 475712}},
                      LengthCycle{"OverTwoChunks",
                                  1500000,
                                  {524288, 524288, 451424, 524288, 524288, 451424, 524288, 524288}},
                      LengthCycle{"ChunkAndOneByte", 524289, {524288, 1, 524288, 1, 524288, 1}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex::test
