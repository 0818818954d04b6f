// The scenarios, each run against a bus with no camera on it, and the checks they
// share.
#pragma once

#include <camera.h>

#include <functional>
#include <string>
#include <vector>

#include "rig.h"

namespace quorvex::e2e {

using Bytes = std::vector<uint8_t>;

struct Scenario {
  std::string name;
  std::function<std::string(Bus&)> run;  // returns a note for the PASS line
};

// A request's outcome, through the client library.
struct Reply {
  Status status;
  uint32_t returned = 0;
  Bytes out;  // the whole output buffer, poisoned with 0xDE before the call
};

Bytes le32(uint32_t v);
Bytes operator+(Bytes a, const Bytes& b);
Reply call(const Camera& camera, uint32_t code, const Bytes& in, uint32_t out_length);
// Succeeds and returns exactly `expected`, leaving the rest of the buffer alone.
void expect_ok(const Reply& r, const Bytes& expected, const std::string& what);
void expect_error(const Reply& r, uint32_t error, const std::string& what);
Camera open_camera(int instance);

// A plugged camera, with its slot and where its trace stood.
struct Plugged {
  uint32_t slot;
  uint32_t mark = 0;
};
uint32_t mark(Bus& bus, uint32_t slot);
// A request's traffic: what the camera saw from the mark on, which then moves.
void expect_since(Bus& bus, Plugged& cam, const std::vector<Transfer>& expected, const std::string& what);

// What the camera was handed on its image pipe since a mark, in order ("out N",
// "trigger N", "abort"), and what those transfers ended with ("N" bytes moved,
// with the USB status if not success).
struct Traffic {
  std::vector<std::string> sent, ended;
};
Traffic image_traffic(Bus& bus, uint32_t slot, uint32_t first);
std::string joined(const std::vector<std::string>& items);  // "[a, b]"
void expect_list(const std::vector<std::string>& seen, const std::vector<std::string>& expected,
                 const std::string& what);

// `received` bytes of a frame read against the camera's picture: whole, frame
// `frame` by the pattern's own check, and byte for byte the picture of `window`.
void expect_picture(const uint8_t* data, uint32_t received, uint32_t length, uint32_t frame,
                    const sim::pattern::Geometry& window, const std::string& what);

// The single-shot frame reads (frame_reads.cpp).
std::vector<Scenario> frame_read_scenarios();

// The shipped quorvex.exe, run from `folder` against the real driver (tool.cpp).
void set_tool_folder(const std::wstring& folder);
std::vector<Scenario> tool_scenarios();

// Runs every scenario, printing "PASS name: ..." or "FAIL name: reason" for each.
bool run_scenarios(Bus& bus);

}  // namespace quorvex::e2e
