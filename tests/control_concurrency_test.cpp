// Device control from several threads at once: requests of different threads on
// one camera, and requests inside the dispatcher while Plug and Play refuses new
// ones or removes the device.
#include <atomic>
#include <future>
#include <thread>

#include "support/control.h"
#include "support/name_squatter.h"

namespace quorvex::test {
namespace {

class Concurrent : public ControlTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    attach(0x100E);
    device_->set_control_deferred(GetParam());
  }
};

// Each thread owns one register; whatever the interleaving on the bus, each reads
// back what it wrote, and the requests that touch no register run alongside.
TEST_P(Concurrent, RequestsOfSeveralThreadsDoNotShareState) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 100;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      uint8_t reg = static_cast<uint8_t>(0x40 + t);
      for (int i = 0; i < kRounds; ++i) {
        uint16_t value = static_cast<uint16_t>(t << 12 | i);
        Reply wrote = send_control(handle_, IOCTL_CAM_WRITE_REGISTER, Bytes{reg, 0, 0, 0} + le16(value), 0);
        Reply read = send_control(handle_, IOCTL_CAM_READ_REGISTER, {reg}, 4);
        if (wrote.status != STATUS_SUCCESS || read != Outcome{STATUS_SUCCESS, 4, le32(value)}) mismatches++;
        if (!wrote.guards_intact || !read.guards_intact) mismatches++;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      Reply list = send_control(handle_, IOCTL_CAM_GET_DEVICE_LIST, {}, 128);
      Reply status = send_control(handle_, IOCTL_CAM_GET_LAST_STATUS, {}, 4);
      if (list.status != STATUS_SUCCESS || status.output != le32(0)) mismatches++;
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(ext_->IoCount, 1);
}

// Every open records the identity again while requests on another handle read it:
// the readers see the whole identity each time.
TEST_P(Concurrent, OpensRecordTheIdentityWhileOtherHandlesReadIt) {
  const Bytes identity = le32(0x04B4) + le32(0x100E) + le32(0x1621);
  std::atomic<int> wrong{0};
  std::thread opener([&] {
    for (int i = 0; i < 50; ++i) {
      sim::Handle other = sim::kInvalidHandle;
      if (sim::nt_create_file(user_name(0), &other) != STATUS_SUCCESS) wrong++;
      sim::nt_close(other);
    }
  });
  for (int i = 0; i < 100; ++i) {
    if (send_control(handle_, IOCTL_CAM_GET_IDENTITY, {}, 12).output != identity) wrong++;
  }
  opener.join();
  EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Completion, Concurrent, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pended" : "Immediate"; });

// A camera comes and goes while another thread reads the device list; each time,
// AddDevice claims 1, finds the name taken and gives it up for 2. Every list read
// names the cameras that are there, whole: camera 0 alone or with camera 2 (and
// the table is read and changed under its lock, which ThreadSanitizer checks).
class CamerasComeAndGo : public ControlTest {};

TEST_F(CamerasComeAndGo, TheDeviceListNamesOnlyTheCamerasThatAreThere) {
  attach(0x100A);
  Bytes alone(128, 0), both(128, 0);
  const std::string first = "Quorvex-0", second = "Quorvex-2";
  std::copy(first.begin(), first.end(), alone.begin());
  std::copy(second.begin(), second.end(), both.begin());
  std::copy(first.begin(), first.end(), both.begin() + 16);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      Reply list = send_control(handle_, IOCTL_CAM_GET_DEVICE_LIST, {}, 128);
      if (list.status != STATUS_SUCCESS || (list.output != alone && list.output != both)) wrong++;
      reads++;
    }
  });
  {
    NameSquatter squatter({1});
    for (int i = 0; i < 20; ++i) {
      sim::UsbDevice& device = plug(camera(0x100B));
      EXPECT_EQ(extension(device)->InstanceIndex, 2u);
      EXPECT_EQ(platform().remove(device), STATUS_SUCCESS);
    }
  }
  done = true;
  reader.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

class Held : public ControlTest {
 protected:
  void SetUp() override {
    attach(0x100A);
    device_->camera().set_reg(0x09, 0x2710);
    device_->hold(sim::UrbMatch::vendor(0xB7));
    inside_ = std::async(std::launch::async,
                         [this] { return send_control(handle_, IOCTL_CAM_READ_REGISTER, {0x09}, 4); });
    ASSERT_TRUE(device_->wait_for_pending(1, kBound)) << "the read reached the camera";
  }

  void TearDown() override {
    device_->release_held();
    if (inside_.valid()) inside_.wait();
  }

  std::future<Reply> inside_;
};

// Removal waits for the request inside; newcomers are refused at the gate meanwhile,
// and the request inside finishes normally.
TEST_F(Held, RemovalWaitsForTheRequestInside) {
  std::future<NTSTATUS> removal = platform().remove_async(*device_);
  ASSERT_TRUE(sim::wait_for_waiter(&ext_->RemoveEvent, kBound));
  EXPECT_EQ(send_control(handle_, IOCTL_CAM_GET_MODEL, {}, 4), untouched(STATUS_DELETE_PENDING, 4));
  EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  device_->release_held();
  EXPECT_EQ(inside_.get(), (Outcome{STATUS_SUCCESS, 4, le32(0x2710)}));
  EXPECT_EQ(removal.get(), STATUS_SUCCESS);
}

// A query-remove refuses newcomers and waits for the request inside, which still
// completes; after cancel-remove the device serves again with its gate as before.
TEST_F(Held, QueryRemoveWaitsForTheRequestInsideAndRefusesNewcomers) {
  std::future<NTSTATUS> query =
      std::async(std::launch::async, [this] { return platform().query_remove(*device_); });
  ASSERT_TRUE(sim::wait_for_waiter(&ext_->DrainEvent, kBound));
  EXPECT_EQ(send_control(handle_, IOCTL_CAM_TRIGGER, {}, 0).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(query.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  device_->release_held();
  EXPECT_EQ(inside_.get().status, STATUS_SUCCESS);
  ASSERT_EQ(query.get(), STATUS_SUCCESS);
  ASSERT_EQ(platform().cancel_remove(*device_), STATUS_SUCCESS);
  EXPECT_EQ(call(IOCTL_CAM_READ_REGISTER, {0x09}, 4).output, le32(0x2710));
  EXPECT_EQ(ext_->IoCount, 1);
}

}  // namespace
}  // namespace quorvex::test
