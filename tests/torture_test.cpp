// Plug and Play and camera faults against everything else at once, at the driver's
// limit of eight cameras: five that serve single-shot frame reads (the plain transfer
// and the triggered read, endpoints of 64, 512, 1024 and 100-byte packets) and three
// that stream. Each camera number has an application process of two threads that
// open it and drive the camera there as its kind wants: device-control requests of
// every kind, frame reads among them, now and then a handle closed under a read
// still pending; or streams started, frames taken in place and copied, released and
// stopped, alone on a handle or on one handle the two threads fight over.
// A Plug and Play thread stops and restarts, queries and cancels removal, removes
// cameras or pulls them out (removal after the last close) and plugs a new one in at
// once, racing the removal for the freed number, offers a ninth camera, and puts the
// machine to sleep and wakes it. A fault thread makes the cameras send frames,
// refuses, fails, holds and stalls their transfers, fails the driver's allocations at
// random and kills application processes wherever their threads are; between Plug
// and Play steps a share of all the driver's allocations fail as in a low resources
// simulation.
// Every frame read's buffer is checked against what the cameras send: each transfer's
// part holds consecutive bytes of one frame, parts come in the camera's order, nothing
// else in the buffer changed, and the bytes the read claims are no more than the bytes
// written. Every streamed frame a handle's only user takes, and every one copied, is
// checked as the camera's bytes in the camera's order.
// Seeded and bounded: QUORVEX_TORTURE_SECONDS and QUORVEX_TORTURE_SEED override the
// defaults. Every wait is bounded, so a hang fails the run instead of stalling it, and
// says which device objects are still held and by which thread.
#include <quorvex/quorvex.h>
#include <sim/pattern.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "driver/driver.h"
#include "support/testbed.h"

namespace quorvex::test {
namespace {

constexpr int kHostSeconds = 40;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultSeconds = 13;
#else
constexpr int kDefaultSeconds = kHostSeconds;
#endif
constexpr auto kPnpBound = 20s;
constexpr double kLowResources = 0.05;  // the share of allocations that fail between steps
constexpr uint8_t kPoison = 0xDE;
constexpr uint32_t kChunk = 0x80000;
constexpr size_t kPlaceable = 127;          // bytes that hold a whole code block wherever they start
constexpr uint32_t kMaxTransfer = 0x80000;  // the plain transfer's bound
// Not a whole number of packets on any endpoint below: each frame ends with a
// short packet, which ends the transfer it lands in.
constexpr uint32_t kFrame = 0x100000 + 300;
constexpr uint32_t kFrameReadLengths[] = {256, 0x7F000 + 300, kFrame};

int setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text == nullptr ? fallback : std::atoi(text);
}

struct CameraKind {
  USHORT product;
  UCHAR type;
  USHORT packet;
  bool plain;             // its frame read is the plain transfer
  uint32_t stream_frame;  // 0: single-shot reads only
  bool fought_over;       // its stream is on one handle that two threads share
};

// The plain transfer waits on the camera without a time-out, the others take a
// trigger; each model. The streaming kinds stream whenever transfers wait. Camera
// i holds number i throughout: a replug gets the number its camera gave up. Two
// cameras of one kind are alike in every way that matters to the checks.
constexpr CameraKind kCameras[] = {{0x1009, USB_ENDPOINT_TYPE_BULK, 512, true, 0, false},
                                   {0x100D, USB_ENDPOINT_TYPE_BULK, 512, false, 0, false},
                                   {0x100C, USB_ENDPOINT_TYPE_BULK, 1024, false, 0, false},
                                   {0x100B, USB_ENDPOINT_TYPE_INTERRUPT, 100, true, 0, false},
                                   {0x100F, USB_ENDPOINT_TYPE_BULK, 64, true, 0, false},
                                   {0x100A, USB_ENDPOINT_TYPE_BULK, 512, false, 300000, false},
                                   {0x100E, USB_ENDPOINT_TYPE_BULK, 512, false, 1000000, false},
                                   {0x100A, USB_ENDPOINT_TYPE_BULK, 512, false, 300000, true}};
static_assert(std::size(kCameras) == CAM_MAX_INSTANCES);
constexpr uint64_t kStreamBandwidth = 100'000'000;
constexpr UCHAR kImage = 0x82;

const CameraKind* kind_of(uint32_t product) {
  for (const CameraKind& kind : kCameras) {
    if (kind.product == product) return &kind;
  }
  return nullptr;
}

sim::CameraConfig camera_config(const CameraKind& kind) {
  sim::CameraConfig config = camera(kind.product);
  config.interfaces[0].endpoints = {{0x01, USB_ENDPOINT_TYPE_BULK}, {kImage, kind.type, kind.packet}};
  config.frame_size = kind.stream_frame != 0 ? kind.stream_frame : kFrame;
  return config;
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

// A device list holds, entry by entry, a camera's name or nothing, each name once,
// and no more names than cameras are plugged.
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
  ASSERT_LE(seen.size(), std::size(kCameras));
}

// ---- what a frame read's buffer may hold ----

// What one transfer wrote at the start of its part of the buffer. The camera's
// picture may hold the poison's value, so a piece's length is known between two
// bounds: at least up to its last byte that is not poison, at most as far as the
// camera's code goes on.
struct Piece {
  uint32_t frame = 0;
  uint64_t offset = 0;  // in the frame
  size_t least = 0;
  size_t most = 0;
  bool placed = false;  // too short to tell where it came from: only its bytes are counted
  bool foreign = false;
};

bool before(const Piece& piece, const Piece& last) {
  return piece.frame < last.frame || (piece.frame == last.frame && piece.offset < last.offset + last.least);
}

// The run of consecutive bytes of one frame at the start of `data`: of the places
// the camera's code names, the one whose code runs furthest. A piece too short to
// hold a whole code block cannot be placed; only its bytes are counted, and since
// its last bytes may be the camera's own bytes of the poison's value, up to
// kPoisonLookalikes of them may have come (the camera ends a piece with more of
// them once in 2^24 pieces).
constexpr size_t kPoisonLookalikes = 2;

Piece find_piece(const uint8_t* data, size_t length, uint32_t frames) {
  Piece piece;
  size_t written = length;
  while (written > 0 && data[written - 1] == kPoison) --written;
  piece.least = piece.most = written;
  if (written == 0) return piece;
  piece.most = std::min(length, written + kPoisonLookalikes);
  sim::pattern::Place places[8];
  size_t found = std::min(sim::pattern::locate(data, written, frames, kFrame, places, std::size(places)),
                          std::size(places));
  for (size_t i = 0; i < found; ++i) {
    size_t run = std::min<size_t>(sim::pattern::mismatch(places[i].frame, places[i].offset, data, length),
                                  kFrame - places[i].offset);
    if (run < written || (piece.placed && run <= piece.most)) continue;
    piece.frame = places[i].frame;
    piece.offset = places[i].offset;
    piece.most = run;
    piece.placed = true;
  }
  piece.foreign = !piece.placed && written >= kPlaceable;
  return piece;
}

// The parts of the buffer that one transfer each fills, as the read plans them:
// whole packets of the image endpoint, chunks of at most 512 KiB of them, and one
// packet of the driver's for the bytes past them.
std::vector<std::pair<size_t, size_t>> read_plan(size_t length, uint32_t packet, bool plain) {
  std::vector<std::pair<size_t, size_t>> parts;
  size_t whole = length - length % packet;
  size_t chunk = plain ? whole : kChunk - kChunk % packet;
  for (size_t at = 0; at < whole; at += chunk) parts.emplace_back(at, std::min(whole, at + chunk));
  if (whole < length) parts.emplace_back(whole, length);
  return parts;
}

// Checks one frame read's outcome; an empty string when it is sound.
std::string check_frame_read(const std::vector<uint8_t>& out, NTSTATUS status, ULONG_PTR information,
                             uint32_t packet, bool plain, uint32_t frames) {
  std::ostringstream fault;
  if (!NT_SUCCESS(status) && information != 0) fault << "failed, yet claims " << information << " bytes; ";
  if (information > out.size()) fault << "claims " << information << " bytes of " << out.size() << "; ";
  size_t written = 0;
  Piece last;
  bool any = false;
  for (auto [begin, end] : read_plan(out.size(), packet, plain)) {
    Piece piece = find_piece(out.data() + begin, end - begin, frames);
    written += piece.most;
    if (piece.foreign) {
      fault << "bytes at " << begin << " that are not the camera's; ";
      continue;
    }
    if (!piece.placed) continue;
    if (any && before(piece, last)) {
      fault << "the part at " << begin << " (frame " << piece.frame << " at " << piece.offset
            << ") comes before the one ahead of it; ";
    }
    last = piece;
    any = true;
  }
  if (information > written) fault << "claims " << information << " bytes where " << written << " came; ";
  return fault.str();
}

// ---- what a streamed frame may hold ----

// The longest run of one camera frame's consecutive bytes at the start of `data`
// that a place its code names gives; of length 0 when none does.
struct Run {
  sim::pattern::Place place{};
  size_t length = 0;
};

Run longest_run(const uint8_t* data, size_t length, uint32_t frames, uint32_t frame_size) {
  sim::pattern::Place places[8];
  size_t found = std::min(sim::pattern::locate(data, std::min<size_t>(length, 4096), frames, frame_size,
                                               places, std::size(places)),
                          std::size(places));
  Run best;
  for (size_t i = 0; i < found; ++i) {
    size_t run = std::min<size_t>(sim::pattern::mismatch(places[i].frame, places[i].offset, data, length),
                                  frame_size - places[i].offset);
    if (run > best.length) best = {places[i], run};
  }
  return best;
}

// Checks a streamed frame; an empty string when it is sound. A stream cuts frames
// by byte count alone, so one that lost step with the camera (a transfer refused
// or short, a pipe reset at start that could not be allocated) hands out frames
// made of the end of one of the camera's frames and the start of a later one, or
// of more pieces. Each piece must be the camera's consecutive bytes and the pieces
// must come in the camera's order; only a piece too short to place goes unchecked.
// `in_step` tells a frame that is one of the camera's, whole.
std::string check_streamed(const uint8_t* data, uint32_t frame_size, uint32_t frames, bool* in_step) {
  *in_step = sim::pattern::check(data, frame_size).ok;
  std::ostringstream fault;
  Piece last;
  for (size_t at = 0; !*in_step && at < frame_size;) {
    size_t skipped = 0;
    Run run = longest_run(data + at, frame_size - at, frames, frame_size);
    while (run.length == 0 && ++skipped < kPlaceable && at + skipped < frame_size) {
      run = longest_run(data + at + skipped, frame_size - at - skipped, frames, frame_size);
    }
    if (run.length == 0) {
      if (frame_size - at >= kPlaceable) fault << "bytes at " << at << " that are not the camera's";
      break;
    }
    Piece piece;
    piece.frame = run.place.frame;
    piece.offset = run.place.offset;
    piece.least = run.length;
    if (at > 0 && before(piece, last)) {
      fault << "the piece at " << at + skipped << " (frame " << piece.frame << " at " << piece.offset
            << ") comes before the one ahead of it (frame " << last.frame << " at " << last.offset << ")";
      break;
    }
    last = piece;
    at += skipped + run.length;
  }
  return fault.str();
}

// What one application thread is doing, for a hang report.
struct Activity {
  std::atomic<int> instance{-1};  // the camera number its handle names, -1: none open
  std::atomic<sim::Handle> handle{sim::kInvalidHandle};
  std::atomic<ULONG> code{0};  // the request it is in, 0: none
};

// One camera number's applications: a process with two threads in it, which the
// fault thread may kill (both threads are terminated wherever they are, and the
// handles close with the process); a new process takes its place.
struct Slot {
  std::mutex mutex;
  std::condition_variable changed;
  bool kill = false;                                     // guarded by mutex
  std::atomic<sim::Handle> shared{sim::kInvalidHandle};  // a stream handle both threads use
};

class Torture : public Testbed {
 protected:
  // One application thread: opens its camera number, drives the camera there as
  // its kind wants, closes; again until the end. Whatever it holds when it is
  // terminated goes with its process.
  void application(int instance, unsigned seed, Activity* activity) {
    struct Idle {
      Activity* activity;
      ~Idle() {
        activity->code = 0;
        activity->instance = -1;
        activity->handle = sim::kInvalidHandle;
      }
    } idle{activity};
    std::mt19937 random(seed);
    std::wstring name = user_name(instance);
    while (!done_.load()) {
      sim::Handle handle = sim::kInvalidHandle;
      NTSTATUS opened = sim::nt_create_file(name, &handle);
      if (!NT_SUCCESS(opened)) {
        // The camera is gone: the handle the threads shared goes too, as its
        // removal waits for it.
        sim::Handle shared = slots_[instance].shared.exchange(sim::kInvalidHandle);
        if (shared != sim::kInvalidHandle) sim::nt_close(shared);
        std::this_thread::yield();
        continue;
      }
      opens_++;
      activity->handle = handle;
      activity->instance = instance;
      const CameraKind* kind = identify(handle);
      if (kind != nullptr && kind->stream_frame != 0) {
        if (kCameras[instance].fought_over) {
          stream_shared(handle, &slots_[instance], *kind, random, activity);
        } else {
          stream_alone(handle, *kind, random, activity);
        }
      } else {
        single_shots(handle, kind, random, activity);
      }
      activity->instance = -1;
      activity->handle = sim::kInvalidHandle;
    }
  }

  // The camera a handle is open on, by its product; null if the request fails.
  static const CameraKind* identify(sim::Handle handle) {
    CAM_IDENTITY identity{};
    ULONG_PTR information = 0;
    NTSTATUS status = sim::nt_device_io_control(handle, IOCTL_CAM_GET_IDENTITY, nullptr, 0, &identity,
                                                sizeof identity, &information);
    return NT_SUCCESS(status) ? kind_of(identity.ProductId) : nullptr;
  }

  // A few random requests of every code, frame reads among them; every other
  // handle also asks for the device list, which reads the instance numbers that
  // Plug and Play claims and gives up. Now and then the handle is closed under a
  // frame read still pending on another thread.
  void single_shots(sim::Handle handle, const CameraKind* kind, std::mt19937& random, Activity* activity) {
    static const std::vector<ULONG> codes = all_codes();
    if (random() % 2 == 0) request(handle, IOCTL_CAM_GET_DEVICE_LIST, kind, random, activity);
    // Frame reads are two codes of many: each other handle makes one of its own.
    if (random() % 2 == 0) {
      request(handle, random() % 2 ? IOCTL_CAM_READ_FRAME : IOCTL_CAM_READ_FRAME_EX, kind, random, activity);
    }
    for (int n = random() % 8; n > 0; --n)
      request(handle, codes[random() % codes.size()], kind, random, activity);
    if (random() % 4 == 0) {
      close_under_read(handle, kind, random);
    } else {
      EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
    }
  }

  // A frame read on another thread of the process; the handle is closed while it
  // may be pending. Terminated itself, this thread takes the reader with it.
  void close_under_read(sim::Handle handle, const CameraKind* kind, std::mt19937& random) {
    ULONG code = random() % 2 == 0 ? IOCTL_CAM_READ_FRAME : IOCTL_CAM_READ_FRAME_EX;
    size_t length = kFrameReadLengths[random() % std::size(kFrameReadLengths)];
    sim::AppThread reader(sim::current_process(), "reader",
                          [this, handle, kind, code, length] { frame_read(handle, code, length, kind); });
    struct Ender {
      sim::AppThread& reader;
      ~Ender() { reader.terminate(); }
    } ender{reader};
    for (int spins = static_cast<int>(random() % 64); spins > 0; --spins) std::this_thread::yield();
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
    if (!reader.wait_exited(kPnpBound)) hang("a frame read under a close");
  }

  void request(sim::Handle handle, ULONG code, const CameraKind* kind, std::mt19937& random,
               Activity* activity) {
    activity->code = code;
    if (code == IOCTL_CAM_READ_FRAME || code == IOCTL_CAM_READ_FRAME_EX) {
      frame_read(handle, code, kFrameReadLengths[random() % std::size(kFrameReadLengths)], kind);
      activity->code = 0;
      return;
    }
    uint8_t input[64];
    for (uint8_t& b : input) b = static_cast<uint8_t>(random());
    std::vector<uint8_t> output(256, kPoison);
    ULONG_PTR information = 0;
    NTSTATUS status =
        sim::nt_device_io_control(handle, code, input, 1 + random() % sizeof(input), output.data(),
                                  static_cast<ULONG>(output.size()), &information);
    activity->code = 0;
    count(status);
    if (code == IOCTL_CAM_GET_DEVICE_LIST && NT_SUCCESS(status)) check_device_list(output.data());
  }

  void count(NTSTATUS status) {
    requests_++;
    if (NT_SUCCESS(status)) served_++;
  }

  // One frame read into a poisoned buffer, checked against what the cameras sent.
  void frame_read(sim::Handle handle, ULONG code, size_t length, const CameraKind* kind) {
    std::vector<uint8_t> output(length, kPoison);
    ULONG_PTR information = 0;
    NTSTATUS status = sim::nt_device_io_control(handle, code, nullptr, 0, output.data(),
                                                static_cast<ULONG>(output.size()), &information);
    count(status);
    frame_reads_++;
    if (kind == nullptr) return;  // the camera is unknown: the read cannot have been served
    bool plain = code == IOCTL_CAM_READ_FRAME && kind->plain;
    std::string fault = check_frame_read(output, status, information, kind->packet, plain, frames_sent());
    if (information != 0) frame_bytes_ += information;
    if (information != 0) frames_read_++;
    EXPECT_EQ(fault, "") << "product " << std::hex << kind->product << ", code " << code << std::dec << ", "
                         << length << " bytes: status " << std::hex << static_cast<uint32_t>(status)
                         << std::dec << ", information " << information;
  }

  // ---- streams ----

  NTSTATUS stream_control(sim::Handle handle, ULONG code, const void* input, ULONG length,
                          Activity* activity) {
    activity->code = code;
    NTSTATUS status = sim::nt_device_io_control(handle, code, input, length, nullptr, 0, nullptr);
    activity->code = 0;
    count(status);
    return status;
  }

  NTSTATUS stream_start(sim::Handle handle, uint32_t frame, Activity* activity) {
    CAM_STREAM_START_PARAMS params{};
    params.FrameSize = static_cast<int32_t>(frame);
    return stream_control(handle, IOCTL_CAM_STREAM_START, &params, sizeof params, activity);
  }

  void check_streamed_frame(const uint8_t* data, uint32_t frame, const char* how) {
    bool in_step = false;
    EXPECT_EQ(check_streamed(data, frame, frames_sent(), &in_step), "")
        << how << " frame of " << frame << " bytes";
    streamed_++;
    if (!in_step) out_of_step_++;
    frame_bytes_ += frame;
  }

  // A copied frame, checked; false when none came.
  bool stream_read(sim::Handle handle, uint32_t frame, Activity* activity) {
    std::vector<uint8_t> out(frame + sizeof(CAM_STREAM_FRAME_HEADER), kPoison);
    ULONG_PTR information = 0;
    activity->code = IOCTL_CAM_STREAM_READ_FRAME;
    NTSTATUS status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_READ_FRAME, nullptr, 0, out.data(),
                                                static_cast<ULONG>(out.size()), &information);
    activity->code = 0;
    count(status);
    if (status != STATUS_SUCCESS) return false;
    EXPECT_EQ(information, out.size());
    check_streamed_frame(out.data() + sizeof(CAM_STREAM_FRAME_HEADER), frame, "copied");
    return true;
  }

  // A frame taken in place; checked when `sole` (no other thread can stop the
  // stream under the view), then released. False when none came.
  bool stream_take(sim::Handle handle, uint32_t frame, bool sole, Activity* activity) {
    CAM_STREAM_FRAME_INFO info{};
    activity->code = IOCTL_CAM_STREAM_GET_FRAME;
    NTSTATUS got = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_GET_FRAME, nullptr, 0, &info,
                                             sizeof info, nullptr);
    activity->code = 0;
    count(got);
    if (got != STATUS_SUCCESS) return false;
    EXPECT_EQ(info.Size, frame);
    if (sole) {
      std::vector<uint8_t> bytes(frame);
      EXPECT_TRUE(sim::read_user_view(reinterpret_cast<const void*>(info.UserAddress), bytes.data(), frame));
      check_streamed_frame(bytes.data(), frame, "taken");
    }
    CAM_STREAM_FRAME_RELEASE release{};
    release.Length = CAM_STREAM_FRAME_RELEASE_LENGTH;
    release.UserAddress = info.UserAddress;
    NTSTATUS released =
        stream_control(handle, IOCTL_CAM_STREAM_RELEASE_FRAME, &release, sizeof release, activity);
    // Plug and Play may have stopped serving requests since the get.
    if (sole) {
      EXPECT_TRUE(released == STATUS_SUCCESS || released == STATUS_DELETE_PENDING) << std::hex << released;
    }
    return true;
  }

  // The handle's only user: a stream started, frames taken both ways, stopped or
  // left to the close. A start refused (another handle streams, or Plug and Play
  // or a fault ended this one) is tried again next round.
  void stream_alone(sim::Handle handle, const CameraKind& kind, std::mt19937& random, Activity* activity) {
    for (int round = random() % 4; round >= 0 && !done_.load(); --round) {
      if (stream_start(handle, kind.stream_frame, activity) != STATUS_SUCCESS) {
        std::this_thread::yield();
        continue;
      }
      for (int n = random() % 6; n > 0; --n) {
        bool took = random() % 2 ? stream_take(handle, kind.stream_frame, true, activity)
                                 : stream_read(handle, kind.stream_frame, activity);
        if (!took) break;
      }
      if (random() % 2) stream_control(handle, IOCTL_CAM_STREAM_STOP, nullptr, 0, activity);
    }
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  }

  // The handle both threads of the process use, which either replaces (closing the
  // old one under the other) with the one it opened, or uses for a few steps that
  // start, stop, read, take and release under each other. Frames copied are
  // checked; frames taken are not, as the other thread may stop the stream under
  // a view.
  void stream_shared(sim::Handle handle, Slot* slot, const CameraKind& kind, std::mt19937& random,
                     Activity* activity) {
    sim::Handle old = slot->shared.load();
    if (old == sim::kInvalidHandle || random() % 4 == 0) {
      old = slot->shared.exchange(handle);
      if (old != sim::kInvalidHandle) sim::nt_close(old);
      return;
    }
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
    for (int n = 1 + random() % 8; n > 0 && !done_.load(); --n) {
      switch (random() % 5) {
        case 0:
          stream_start(old, kind.stream_frame, activity);
          break;
        case 1:
          stream_control(old, IOCTL_CAM_STREAM_STOP, nullptr, 0, activity);
          break;
        case 2:
          stream_read(old, kind.stream_frame, activity);
          break;
        default:
          stream_take(old, kind.stream_frame, false, activity);
          break;
      }
    }
  }

  // An upper bound on the frame numbers any camera has sent: a frame dropped or cut
  // takes a number too.
  uint32_t frames_sent() {
    uint32_t most = 0;
    for (sim::UsbDevice* device : platform().bus().devices()) {
      const sim::Camera& camera = device->camera();
      most = std::max(most, camera.frames_started() + camera.frames_dropped() + camera.frames_cut());
    }
    return most + 1;
  }

  // ---- the applications' processes ----

  // The process of one camera number's two threads, replaced after each kill until
  // the run ends. Its handles close as it goes, after both threads have exited.
  void process_slot(int instance) {
    Slot& slot = slots_[instance];
    for (unsigned generation = 0; !done_.load(); ++generation) {
      sim::Process process("Quorvex-" + std::to_string(instance) + " applications, " +
                           std::to_string(generation));
      slot.shared = sim::kInvalidHandle;
      unsigned seed = seed_ + 1 + 2 * static_cast<unsigned>(instance) + 7907u * generation;
      Activity* activity = &activities_[2 * instance];
      sim::AppThread first(process, "first", [=, this] { application(instance, seed, activity); });
      sim::AppThread second(process, "second", [=, this] { application(instance, seed + 1, activity + 1); });
      bool kill;
      {
        std::unique_lock<std::mutex> lock(slot.mutex);
        slot.changed.wait(lock, [&] { return slot.kill || done_.load(); });
        kill = std::exchange(slot.kill, false);
      }
      if (kill) {
        first.terminate();
        second.terminate();
      }
      for (sim::AppThread* thread : {&first, &second}) {
        if (!thread->wait_exited(kPnpBound))
          hang(kill ? "a killed application's exit" : "an application's end");
        if (thread->terminated()) terminated_++;
      }
    }
  }

  void kill_applications(int instance) {
    Slot& slot = slots_[instance];
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.kill = true;
    slot.changed.notify_all();
  }

  // ---- hangs ----

  // What still holds each camera, for a hang report: its device object and gate,
  // the transfers its bus still has, and the application threads with a handle on
  // a camera number or inside a request.
  void report_holders(const char* what) {
    std::fprintf(stderr, "torture: %s did not finish within %lld s (seed %u)\n", what,
                 static_cast<long long>(kPnpBound.count()), seed_);
    for (size_t i = 0; i < std::size(kCameras); ++i) {
      sim::UsbDevice* d = camera_at(i);
      PDEVICE_OBJECT fdo = platform().fdo(*d);
      PCAM_DEVICE_EXTENSION e =
          fdo == nullptr ? nullptr : static_cast<PCAM_DEVICE_EXTENSION>(fdo->DeviceExtension);
      std::fprintf(stderr,
                   "  camera %zu (product %04X): device object %p, instance %d, IoCount %d, %zu transfers on "
                   "the bus%s\n",
                   i, kCameras[i].product, static_cast<void*>(fdo), e != nullptr ? int(e->InstanceIndex) : -1,
                   e != nullptr ? int(e->IoCount) : -1, d->pending_transfers(),
                   d->present() ? "" : ", unplugged");
    }
    for (size_t t = 0; t < std::size(activities_); ++t) {
      const Activity& a = activities_[t];
      if (a.instance.load() < 0 && a.code.load() == 0) continue;
      std::fprintf(stderr, "  application thread %zu: handle %lld on Quorvex-%d, in request %08lX\n", t,
                   static_cast<long long>(a.handle.load()), a.instance.load(),
                   static_cast<unsigned long>(a.code.load()));
    }
    for (size_t i = 0; i < std::size(slots_); ++i) {
      sim::Handle shared = slots_[i].shared.load();
      if (shared != sim::kInvalidHandle) {
        std::fprintf(stderr, "  Quorvex-%zu's applications share handle %lld\n", i,
                     static_cast<long long>(shared));
      }
    }
    std::fflush(stderr);
  }

  // A hang in the driver cannot be unwound: it is reported and the process ended.
  [[noreturn]] void hang(const char* what) {
    report_holders(what);
    std::_Exit(3);
  }

  // Runs one Plug and Play step with a bound.
  NTSTATUS bounded(const char* what, std::function<NTSTATUS()> step) {
    auto result = std::make_shared<std::promise<NTSTATUS>>();
    std::future<NTSTATUS> future = result->get_future();
    std::thread([result, step] { result->set_value(step()); }).detach();
    if (future.wait_for(kPnpBound) != std::future_status::ready) hang(what);
    return future.get();
  }

  void wait_removed(sim::UsbDevice& device) {
    if (!platform().wait_removed(device, kPnpBound)) hang("removal after the last close");
  }

  sim::UsbDevice* camera_at(size_t which) {
    std::lock_guard<std::mutex> lock(cameras_mutex_);
    return cameras_[which];
  }

  // ---- Plug and Play ----

  // Between Plug and Play steps the kernel runs short of resources as Driver
  // Verifier's low resources simulation makes it: a share of the driver's pool, IRP
  // and MDL allocations and of its mappings fail. Seeded from the run's seed and the
  // step, so that a run can be repeated.
  void low_resources_on() {
    sim::inject::low_resources(seed_ + 7919u * static_cast<unsigned>(steps_.load()), kLowResources);
  }

  // Ends every injection, counting what the low resources simulation failed.
  void quiet_kernel() {
    low_resource_failures_ += sim::inject::low_resources_failures();
    sim::inject::clear();
  }

  // One step of the Plug and Play thread on one camera, chosen at random. The
  // driver's allocations do not fail inside a step, so that every step succeeds.
  void pnp_step(size_t which, std::mt19937& random) {
    std::lock_guard<std::mutex> quiet(kernel_faults_);
    quiet_kernel();
    sim::UsbDevice* device = camera_at(which);
    switch (random() % 6) {
      case 4:
        sleep_and_wake(random);
        break;
      case 0:
        EXPECT_EQ(bounded("stop", [&] { return platform().stop(*device); }), STATUS_SUCCESS);
        EXPECT_EQ(bounded("start", [&] { return platform().start(*device); }), STATUS_SUCCESS);
        break;
      case 1:
        EXPECT_EQ(bounded("query-remove", [&] { return platform().query_remove(*device); }), STATUS_SUCCESS);
        EXPECT_EQ(bounded("cancel-remove", [&] { return platform().cancel_remove(*device); }),
                  STATUS_SUCCESS);
        break;
      case 2: {
        ULONG freed = extension(*device)->InstanceIndex;
        EXPECT_EQ(bounded("surprise removal", [&] { return platform().unplug(*device); }), STATUS_SUCCESS);
        replug(which, freed, device);
        break;
      }
      case 3: {
        ULONG freed = extension(*device)->InstanceIndex;
        EXPECT_EQ(bounded("remove", [&] { return platform().remove(*device); }), STATUS_SUCCESS);
        replug(which, freed, device);
        break;
      }
      default:
        refuse_ninth();
        break;
    }
    steps_++;
    low_resources_on();
  }

  // The whole machine sleeps, in a state chosen at random, and wakes.
  void sleep_and_wake(std::mt19937& random) {
    static const SYSTEM_POWER_STATE kStates[] = {PowerSystemSleeping1, PowerSystemSleeping3,
                                                 PowerSystemHibernate};
    SYSTEM_POWER_STATE state = kStates[random() % 3];
    EXPECT_EQ(bounded("sleep", [&] { return platform().sleep(state); }), STATUS_SUCCESS);
    EXPECT_EQ(bounded("wake", [&] { return platform().wake(); }), STATUS_SUCCESS);
    sleeps_++;
  }

  // A camera of the kind, plugged; streaming cameras stream whenever transfers wait.
  sim::Platform::Plugged attach(const CameraKind& kind) {
    sim::Platform::Plugged plugged{};
    bounded("AddDevice", [&] {
      plugged = platform().attach(camera_config(kind));
      return plugged.add_status;
    });
    if (kind.stream_frame != 0) {
      plugged.device->camera().set_bandwidth(kStreamBandwidth);
      plugged.device->camera().set_streaming(true);
    }
    return plugged;
  }

  // A camera of the same kind takes the place of one that went, at once. The number
  // it gave up is not free until the old camera's removal (when it was pulled out,
  // that comes with the last close of a handle on it) and until the old device
  // object's name goes with its last handle; the applications race both, closing
  // their handles as their requests fail. Until then AddDevice finds no number and
  // refuses the camera with nothing created, and it is plugged again. The new camera
  // gets the freed number: the other seven hold theirs.
  void replug(size_t which, ULONG freed, sim::UsbDevice* old) {
    const CameraKind& kind = kCameras[which];
    auto deadline = std::chrono::steady_clock::now() + kPnpBound;
    sim::Platform::Plugged plugged = attach(kind);
    while (plugged.add_status == STATUS_UNSUCCESSFUL) {
      races_lost_++;
      EXPECT_EQ(platform().fdo(*plugged.device), nullptr);
      bounded("removing a refused camera", [&] { return platform().remove(*plugged.device); });
      wait_removed(*old);
      if (std::chrono::steady_clock::now() > deadline) hang("a replug that finds no free number");
      std::this_thread::yield();
      plugged = attach(kind);
    }
    wait_removed(*old);
    ASSERT_EQ(plugged.add_status, STATUS_SUCCESS);
    EXPECT_EQ(extension(*plugged.device)->InstanceIndex, freed);
    EXPECT_EQ(bounded("start", [&] { return platform().start(*plugged.device); }), STATUS_SUCCESS);
    std::lock_guard<std::mutex> lock(cameras_mutex_);
    cameras_[which] = plugged.device;
  }

  // With all eight numbers held, a ninth camera is refused with nothing created,
  // and goes again.
  void refuse_ninth() {
    sim::Platform::Plugged ninth = attach(kCameras[0]);
    EXPECT_EQ(ninth.add_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(platform().fdo(*ninth.device), nullptr);
    EXPECT_EQ(bounded("removing the ninth camera", [&] { return platform().remove(*ninth.device); }),
              STATUS_SUCCESS);
    ninths_++;
  }

  // ---- faults ----

  // One fault on one camera, or on the driver's next allocations: transfers refused
  // at once or failed by the bus (halting the pipe or not), held for a while (the
  // trigger too), a stall, a short transfer; and frames sent for the reads that do
  // not trigger them. Holds are let go a few rounds later. Now and then one camera
  // number's applications are killed wherever they are.
  void fault_step(std::mt19937& random, std::vector<int>* held) {
    size_t which = random() % std::size(kCameras);
    sim::UsbDevice* device = camera_at(which);
    int nth = 1 + static_cast<int>(random() % 4);
    device->camera().queue_frames(1);
    unsigned fault = random() % 9;
    // A stream ends at its first failed transfer: streaming cameras get a quarter of
    // the faults, so that their streams live long enough to take frames.
    if (kCameras[which].stream_frame != 0 && random() % 4 != 0) fault = 8;
    switch (fault) {
      case 0:
        device->refuse_urb(sim::UrbMatch::bulk(),
                           random() % 2 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_INVALID_PARAMETER, nth);
        break;
      case 1: {
        const USBD_STATUS failures[] = {USBD_STATUS_STALL_PID, USBD_STATUS_XACT_ERROR,
                                        USBD_STATUS_REQUEST_FAILED};
        device->fail_urb(sim::UrbMatch::bulk(), failures[random() % 3], STATUS_UNSUCCESSFUL, nth);
        break;
      }
      case 2:
        device->hold(random() % 2 ? sim::UrbMatch::bulk() : sim::UrbMatch::vendor(0xB3));
        (*held)[which] = 3 + static_cast<int>(random() % 20);
        break;
      case 3:
        device->stall_pipe(kImage);
        break;
      case 4:
        device->short_transfers(4 * (1 + random() % 2048));
        break;
      case 5: {
        std::unique_lock<std::mutex> quiet(kernel_faults_, std::try_to_lock);
        if (!quiet.owns_lock()) break;  // a Plug and Play step is under way
        if (random() % 2) {
          sim::inject::fail_pool_allocation(1 + static_cast<int>(random() % 8));
        } else {
          sim::inject::fail_irp_allocation(nth);
        }
        break;
      }
      case 6:
        if (random() % 64 == 0) kill_applications(static_cast<int>(random() % std::size(slots_)));
        break;
      default:
        break;
    }
    for (size_t i = 0; i < held->size(); ++i) {
      if ((*held)[i] > 0 && --(*held)[i] == 0) camera_at(i)->release_held();
    }
    faults_++;
  }

  void fault_thread(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<int> held(std::size(kCameras), 0);
    while (!done_.load()) {
      fault_step(random, &held);
      std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 2000));
    }
  }

  void run(int seconds) {
    std::printf("torture: seed %u, %d s\n", seed_, seconds);
    for (const CameraKind& kind : kCameras) {
      sim::Platform::Plugged plugged = attach(kind);
      ASSERT_EQ(plugged.add_status, STATUS_SUCCESS);
      ASSERT_EQ(platform().start(*plugged.device), STATUS_SUCCESS);
      cameras_.push_back(plugged.device);
    }
    std::vector<std::thread> processes;
    for (int instance = 0; instance < CAM_MAX_INSTANCES; ++instance) {
      processes.emplace_back([this, instance] { process_slot(instance); });
    }
    low_resources_on();
    std::thread faults([this] { fault_thread(seed_ + 100); });
    std::mt19937 random(seed_);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end && !HasFatalFailure()) {
      pnp_step(random() % std::size(kCameras), random);
      // A moment between steps in which the driver's allocations may fail.
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
    }
    done_ = true;
    for (Slot& slot : slots_) {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.changed.notify_all();
    }
    faults.join();
    quiet_kernel();
    // A plain frame read waits on a silent camera without a time-out, and no step
    // comes any more to end it: pulling the cameras out ends what is still waiting.
    for (size_t i = 0; i < std::size(kCameras); ++i) {
      bounded("last unplug", [&] { return platform().unplug(*camera_at(i)); });
    }
    for (auto& t : processes) t.join();
    for (size_t i = 0; i < std::size(kCameras); ++i) wait_removed(*camera_at(i));
    std::printf(
        "torture: %ld Plug and Play steps (%ld sleeps, %ld ninth cameras refused, %ld replugs that found "
        "the freed number still held), %ld faults, %ld application threads terminated, %ld allocations "
        "failed for low resources, %ld opens, %ld requests (%ld served), %ld frame reads, %ld frames "
        "checked (%ld read, %ld streamed, %ld of them out of step; %ld MB)\n",
        steps_.load(), sleeps_.load(), ninths_.load(), races_lost_.load(), faults_.load(), terminated_.load(),
        low_resource_failures_.load(), opens_.load(), requests_.load(), served_.load(), frame_reads_.load(),
        frames_read_.load() + streamed_.load(), frames_read_.load(), streamed_.load(), out_of_step_.load(),
        frame_bytes_.load() >> 20);
    EXPECT_GT(steps_.load(), 0);
    EXPECT_GT(served_.load(), 0);
    EXPECT_GT(streamed_.load(), 0);
    EXPECT_GT(terminated_.load(), 0);
    // The short sanitizer runs see a handful of each (a whole frame read seldom escapes
    // the faults there), so none is no sign of a fault; a run of the host's length or
    // longer must see some.
    if (seconds >= kHostSeconds) {
      EXPECT_GT(low_resource_failures_.load(), 0);
      EXPECT_GT(frames_read_.load(), 0);
    }
  }

  unsigned seed_ = static_cast<unsigned>(setting("QUORVEX_TORTURE_SEED", 20261207));
  std::mutex cameras_mutex_;
  std::vector<sim::UsbDevice*> cameras_;  // guarded by cameras_mutex_; replugs replace them
  std::mutex kernel_faults_;              // held by a Plug and Play step: no allocation fails
  Slot slots_[CAM_MAX_INSTANCES];
  Activity activities_[2 * CAM_MAX_INSTANCES];
  std::atomic<bool> done_{false};
  std::atomic<long> steps_{0}, sleeps_{0}, ninths_{0}, races_lost_{0}, faults_{0}, terminated_{0},
      low_resource_failures_{0}, opens_{0}, requests_{0}, served_{0}, frame_reads_{0}, frames_read_{0},
      streamed_{0}, out_of_step_{0}, frame_bytes_{0};
};

TEST_F(Torture, PlugAndPlayAndCameraFaultsAgainstApplications) {
  run(setting("QUORVEX_TORTURE_SECONDS", kDefaultSeconds));
}

// Thousands of opens and closes from threads in four processes on two cameras,
// with requests between them and names that must not open: a name below the
// device, instance digits out of range or of no camera, a name one digit long.
// Each name gets its own answer every time; every handle's record is freed; the
// open counts and the gates end at their bases.
TEST_F(Torture, OpenAndCloseStormFromSeveralProcesses) {
  const unsigned seed = static_cast<unsigned>(setting("QUORVEX_TORTURE_SEED", 20261207));
  const int rounds = setting("QUORVEX_STORM_ROUNDS", 1500);
  sim::UsbDevice* cameras[] = {&plug(camera(0x100A)), &plug(camera(0x100E))};
  const std::pair<std::wstring, NTSTATUS> refused[] = {
      {L"\\\\.\\Quorvex-0\\", STATUS_ACCESS_DENIED},
      {L"\\\\.\\Quorvex-1\\x", STATUS_ACCESS_DENIED},
      {L"\\\\.\\Quorvex-0\\x\\y", STATUS_ACCESS_DENIED},
      {L"\\\\.\\Quorvex-2", STATUS_OBJECT_NAME_NOT_FOUND},
      {L"\\\\.\\Quorvex-8", STATUS_OBJECT_NAME_NOT_FOUND},
      {L"\\\\.\\Quorvex-9", STATUS_OBJECT_NAME_NOT_FOUND},
      {L"\\\\.\\Quorvex-00", STATUS_OBJECT_NAME_NOT_FOUND},
      {L"\\\\.\\Quorvex-", STATUS_OBJECT_NAME_NOT_FOUND},
  };
  std::atomic<long> opened{0}, served{0};
  auto storm = [&](unsigned thread_seed) {
    sim::Process process("storm " + std::to_string(thread_seed));
    sim::ProcessScope scope(process);
    std::mt19937 random(thread_seed);
    std::vector<sim::Handle> handles;
    for (int round = 0; round < rounds; ++round) {
      unsigned pick = random() % 10;
      if (pick < 5) {
        sim::Handle handle = sim::kInvalidHandle;
        ASSERT_EQ(sim::nt_create_file(user_name(static_cast<int>(random() % 2)), &handle), STATUS_SUCCESS);
        opened++;
        handles.push_back(handle);
        if (handles.size() > 3) {
          EXPECT_EQ(sim::nt_close(handles.front()), STATUS_SUCCESS);
          handles.erase(handles.begin());
        }
      } else if (pick < 7 && !handles.empty()) {
        UCHAR value[4];
        ULONG_PTR information = 0;
        EXPECT_EQ(sim::nt_device_io_control(handles[random() % handles.size()], IOCTL_CAM_GET_EXPOSURE,
                                            nullptr, 0, value, sizeof(value), &information),
                  STATUS_SUCCESS);
        served++;
      } else if (pick < 9) {
        const auto& [name, status] = refused[random() % std::size(refused)];
        sim::Handle handle = sim::kInvalidHandle;
        EXPECT_EQ(sim::nt_create_file(name, &handle), status);
        EXPECT_EQ(handle, sim::kInvalidHandle);
      } else if (!handles.empty()) {
        size_t at = random() % handles.size();
        EXPECT_EQ(sim::nt_close(handles[at]), STATUS_SUCCESS);
        handles.erase(handles.begin() + static_cast<long>(at));
      }
    }
    // The rest are closed as the process ends.
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) threads.emplace_back(storm, seed + t);
  for (auto& thread : threads) thread.join();
  std::printf("open storm: seed %u, %ld opens, %ld requests\n", seed, opened.load(), served.load());
  EXPECT_GE(opened.load(), 4 * rounds / 3);
  for (sim::UsbDevice* device : cameras) {
    EXPECT_EQ(extension(*device)->OpenCount, 0);
    EXPECT_EQ(extension(*device)->IoCount, 1);
  }
}

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
