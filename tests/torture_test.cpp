// Plug and Play against everything else at once: two cameras, two threads per
// camera opening handles and sending device-control requests of every kind, while
// another thread stops and restarts, queries and cancels removal, pulls cameras out
// (removal after the last close) and plugs them back. Seeded and bounded:
// QUORVEX_TORTURE_SECONDS and QUORVEX_TORTURE_SEED override the defaults. Every
// wait is bounded, so a hang fails the run instead of stalling it.
#include <quorvex/quorvex.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "driver/driver.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultSeconds = 10;
#else
constexpr int kDefaultSeconds = 30;
#endif
constexpr auto kPnpBound = 20s;

int setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text == nullptr ? fallback : std::atoi(text);
}

// Every control code, with buffers long enough for any of them.
std::vector<ULONG> all_codes() {
  std::vector<ULONG> codes;
  for (ULONG function = 0x801; function <= 0x877; ++function) {
    for (ULONG method : {METHOD_BUFFERED, METHOD_OUT_DIRECT}) {
      codes.push_back(CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS));
    }
  }
  return codes;
}

// A device list holds, entry by entry, a camera's name or nothing, each name once.
// Two cameras at most are plugged at any moment.
void check_device_list(const uint8_t* list) {
  std::set<char> seen;
  for (int entry = 0; entry < 8; ++entry) {
    const char* name = reinterpret_cast<const char*>(list + entry * 16);
    if (name[0] == 0) continue;
    ASSERT_EQ(std::string(name, 8), "Quorvex-") << entry;
    ASSERT_TRUE(name[8] >= '0' && name[8] <= '7') << entry << ": " << int(name[8]);
    ASSERT_EQ(name[9], 0) << entry;
    ASSERT_TRUE(seen.insert(name[8]).second) << "Quorvex-" << name[8] << " listed twice";
  }
  ASSERT_LE(seen.size(), 2u);
}

class Torture : public Testbed {
 protected:
  // One application thread: opens its camera's name, sends a few random requests,
  // closes; again until the end. Every other handle also asks for the device list,
  // which reads the instance numbers that Plug and Play claims and gives up.
  void application(int instance, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<ULONG> codes = all_codes();
    std::wstring name = user_name(instance);
    while (!done_.load()) {
      sim::Handle handle = sim::kInvalidHandle;
      NTSTATUS opened = sim::nt_create_file(name, &handle);
      if (!NT_SUCCESS(opened)) {
        std::this_thread::yield();
        continue;
      }
      opens_++;
      if (random() % 2 == 0) request(handle, IOCTL_CAM_GET_DEVICE_LIST, random);
      for (int n = random() % 8; n > 0; --n) request(handle, codes[random() % codes.size()], random);
      EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
    }
  }

  // Frame reads take, now and then, a buffer of several chunks and a last partial
  // packet: both chains, their re-issue and the copy of the last packet then race
  // Plug and Play and pipe aborts from the other thread.
  void request(sim::Handle handle, ULONG code, std::mt19937& random) {
    uint8_t input[64];
    for (uint8_t& b : input) b = static_cast<uint8_t>(random());
    bool frame = code == IOCTL_CAM_READ_FRAME || code == IOCTL_CAM_READ_FRAME_EX;
    std::vector<uint8_t> output(frame && random() % 2 == 0 ? 0x100000 + 300 : 256, 0xDE);
    ULONG_PTR information = 0;
    NTSTATUS status =
        sim::nt_device_io_control(handle, code, input, 1 + random() % sizeof(input), output.data(),
                                  static_cast<ULONG>(output.size()), &information);
    requests_++;
    if (NT_SUCCESS(status)) served_++;
    if (code == IOCTL_CAM_GET_DEVICE_LIST && NT_SUCCESS(status)) check_device_list(output.data());
  }

  // Runs one Plug and Play step with a bound; a step that does not finish is a hang
  // in the driver, reported before the process is ended (it cannot be unwound).
  NTSTATUS bounded(const char* what, std::function<NTSTATUS()> step) {
    auto result = std::make_shared<std::promise<NTSTATUS>>();
    std::future<NTSTATUS> future = result->get_future();
    std::thread([result, step] { result->set_value(step()); }).detach();
    if (future.wait_for(kPnpBound) != std::future_status::ready) {
      std::fprintf(stderr, "torture: %s did not finish within %lld s (seed %u)\n", what,
                   static_cast<long long>(kPnpBound.count()), seed_);
      for (sim::UsbDevice* d : cameras_) {
        PCAM_DEVICE_EXTENSION e = extension(*d);
        if (e != nullptr) std::fprintf(stderr, "  camera: IoCount %d\n", int(e->IoCount));
      }
      std::fflush(stderr);
      std::_Exit(3);
    }
    return future.get();
  }

  // One step of the Plug and Play thread on one camera, chosen at random.
  void pnp_step(size_t which, std::mt19937& random) {
    sim::UsbDevice* device = cameras_[which];
    switch (random() % 4) {
      case 0:
        EXPECT_EQ(bounded("stop", [&] { return platform().stop(*device); }), STATUS_SUCCESS);
        EXPECT_EQ(bounded("start", [&] { return platform().start(*device); }), STATUS_SUCCESS);
        break;
      case 1:
        EXPECT_EQ(bounded("query-remove", [&] { return platform().query_remove(*device); }), STATUS_SUCCESS);
        EXPECT_EQ(bounded("cancel-remove", [&] { return platform().cancel_remove(*device); }),
                  STATUS_SUCCESS);
        break;
      case 2:
        EXPECT_EQ(bounded("surprise removal", [&] { return platform().unplug(*device); }), STATUS_SUCCESS);
        ASSERT_TRUE(platform().wait_removed(*device, kPnpBound)) << "removal after the last close";
        replug(which);
        break;
      default:
        EXPECT_EQ(bounded("remove", [&] { return platform().remove(*device); }), STATUS_SUCCESS);
        replug(which);
        break;
    }
    steps_++;
  }

  void replug(size_t which) {
    sim::Platform::Plugged plugged{};
    bounded("replug", [&] {
      plugged = platform().plug(sim::CameraConfig(camera(products_[which])));
      return plugged.start_status;
    });
    EXPECT_EQ(plugged.add_status, STATUS_SUCCESS);
    EXPECT_EQ(plugged.start_status, STATUS_SUCCESS);
    cameras_[which] = plugged.device;
  }

  void run(int seconds) {
    std::printf("torture: seed %u, %d s\n", seed_, seconds);
    for (USHORT product : products_) cameras_.push_back(&plug(camera(product)));
    std::vector<std::thread> applications;
    for (int t = 0; t < 4; ++t) applications.emplace_back([this, t] { application(t / 2, seed_ + 1 + t); });
    std::mt19937 random(seed_);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end && !HasFatalFailure()) {
      pnp_step(random() % cameras_.size(), random);
    }
    done_ = true;
    // A plain frame read waits on a silent camera without a time-out, and no step
    // comes any more to end it: pulling the cameras out ends what is still waiting.
    for (sim::UsbDevice* device : cameras_)
      bounded("last unplug", [&] { return platform().unplug(*device); });
    for (auto& t : applications) t.join();
    for (sim::UsbDevice* device : cameras_) {
      EXPECT_TRUE(platform().wait_removed(*device, kPnpBound)) << "removal after the last close";
    }
    std::printf("torture: %ld steps, %ld opens, %ld requests (%ld served)\n", steps_.load(), opens_.load(),
                requests_.load(), served_.load());
    EXPECT_GT(steps_.load(), 0);
    EXPECT_GT(served_.load(), 0);
  }

  unsigned seed_ = static_cast<unsigned>(setting("QUORVEX_TORTURE_SEED", 20261207));
  // One camera whose frame read is the plain transfer, which waits on the camera
  // without a time-out, and one whose frame read takes a trigger.
  const USHORT products_[2] = {0x1009, 0x100E};
  std::vector<sim::UsbDevice*> cameras_;
  std::atomic<bool> done_{false};
  std::atomic<long> steps_{0}, opens_{0}, requests_{0}, served_{0};
};

TEST_F(Torture, PlugAndPlayAgainstApplications) { run(setting("QUORVEX_TORTURE_SECONDS", kDefaultSeconds)); }

// The window of AddDevice alone: opens race the creation of the device they name.
// The I/O manager lets none reach the driver before AddDevice has returned, so
// whatever order AddDevice keeps inside, each open finds the gate set: an open
// that signalled events not yet initialised (a verifier fault) or left the count
// wrong would mean a device published too early.
TEST_F(Torture, OpensRacingAddDeviceFindTheDeviceWhole) {
  std::atomic<bool> stop{false};
  auto open_close = [&stop] {
    while (!stop.load()) {
      sim::Handle handle = sim::kInvalidHandle;
      if (NT_SUCCESS(sim::nt_create_file(L"\\\\.\\Quorvex-0", &handle))) sim::nt_close(handle);
    }
  };
  std::thread opener(open_close), second(open_close);
  auto end = std::chrono::steady_clock::now() + 5s;
  for (int i = 0; i < 3000 && !HasFailure() && std::chrono::steady_clock::now() < end; ++i) {
    sim::Platform::Plugged added = platform().attach(camera());
    ASSERT_EQ(added.add_status, STATUS_SUCCESS);
    // The device's own reference, and at most one for each opener inside right now.
    LONG count = InterlockedCompareExchange(&extension(*added.device)->IoCount, 0, 0);
    EXPECT_TRUE(count >= 1 && count <= 3) << "attach " << i << ": " << count;
    ASSERT_EQ(platform().remove(*added.device), STATUS_SUCCESS);
  }
  stop = true;
  opener.join();
  second.join();
}

}  // namespace
}  // namespace quorvex::test
