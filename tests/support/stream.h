// A stream driven as an application drives it: start, frames taken in place and
// given back, frames copied, stop; each reply's record checked as it comes, and
// the frames an application sees checked against the camera's picture.
#pragma once

#include <sim/pattern.h>

#include <cstring>
#include <vector>

#include "stream/stream.h"
#include "support/control.h"

namespace quorvex::test {

struct Frame {
  NTSTATUS status = kNotServed;
  ULONG_PTR information = 0;
  uint64_t address = 0;
  uint32_t size = 0;
};

struct StreamCalls {
  static NTSTATUS start(sim::Handle handle, LONG frame_size, ULONG length = sizeof(CAM_STREAM_START_PARAMS)) {
    Bytes input(length, 0xA5);
    if (length >= 40) {
      Bytes size = le32(static_cast<uint32_t>(frame_size));
      std::copy(size.begin(), size.end(), input.begin() + 36);
    }
    ULONG_PTR information = 1;
    NTSTATUS status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_START, input.data(), length, nullptr,
                                                0, &information);
    EXPECT_EQ(information, 0u);
    return status;
  }

  static NTSTATUS stop(sim::Handle handle) {
    ULONG_PTR information = 1;
    NTSTATUS status =
        sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_STOP, nullptr, 0, nullptr, 0, &information);
    EXPECT_EQ(information, 0u);
    return status;
  }

  static Frame get(sim::Handle handle, ULONG length = CAM_STREAM_FRAME_INFO_LENGTH) {
    Bytes output(length, kPoison);
    Frame frame;
    frame.status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_GET_FRAME, nullptr, 0, output.data(),
                                             length, &frame.information);
    if (frame.status == STATUS_SUCCESS && length >= CAM_STREAM_FRAME_INFO_LENGTH) {
      EXPECT_EQ(frame.information, CAM_STREAM_FRAME_INFO_LENGTH);
      EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), le32(40) + le32(0));
      memcpy(&frame.address, output.data() + 8, 8);
      memcpy(&frame.size, output.data() + 16, 4);
      EXPECT_EQ(Bytes(output.begin() + 20, output.begin() + 40), Bytes(20, 0));
    } else {
      EXPECT_EQ(frame.information, 0u);
    }
    return frame;
  }

  static NTSTATUS release(sim::Handle handle, uint64_t address, uint32_t length_field = 32) {
    Bytes input = le32(length_field) + le32(0);
    input.resize(32, 0);
    memcpy(input.data() + 8, &address, 8);
    ULONG_PTR information = 1;
    NTSTATUS status = sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_RELEASE_FRAME, input.data(), 32,
                                                nullptr, 0, &information);
    EXPECT_EQ(information, 0u);
    return status;
  }

  // A frame copied behind its header into `output` (resized to `length`).
  static NTSTATUS read(sim::Handle handle, ULONG length, Bytes* output, ULONG_PTR* information) {
    output->assign(length, kPoison);
    return sim::nt_device_io_control(handle, IOCTL_CAM_STREAM_READ_FRAME, nullptr, 0, output->data(), length,
                                     information);
  }

  // The frame the view shows is whole and untorn; returns its number.
  static uint32_t check_view(const Frame& frame) {
    std::vector<uint8_t> bytes(frame.size);
    EXPECT_TRUE(
        sim::read_user_view(reinterpret_cast<const void*>(frame.address), bytes.data(), bytes.size()));
    sim::pattern::Check check = sim::pattern::check(bytes.data(), bytes.size());
    EXPECT_TRUE(check.ok) << "frame " << check.frame << " differs at " << check.first_bad_offset;
    return check.frame;
  }

  static PCAM_STREAM_CONTEXT stream_of(sim::Handle handle) {
    PFILE_OBJECT file = sim::handle_file_object(handle);
    return file == nullptr ? nullptr : static_cast<PCAM_FILE_CONTEXT>(file->FsContext)->StreamContext;
  }
};

}  // namespace quorvex::test
