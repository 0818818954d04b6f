// The scenarios: enumeration and start of each model, the device list, identity,
// settings with their bus traffic, raw commands, a stalled request, and an unplug
// with a handle open (the frame reads are in frame_reads.cpp). Where Wine's kernel
// behaves unlike Windows', the scenario says so and accepts both.
#include "scenarios.h"

#include <camera.h>

#include <cstdio>
#include <cstring>
#include <optional>

namespace quorvex::e2e {

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Reply call(const Camera& camera, uint32_t code, const Bytes& in, uint32_t out_length) {
  Reply reply;
  reply.out.assign(out_length, 0xDE);
  reply.status = camera.control(code, in.empty() ? nullptr : in.data(), uint32_t(in.size()),
                                out_length ? reply.out.data() : nullptr, out_length, &reply.returned);
  return reply;
}

// Succeeds and returns exactly `expected`, leaving the rest of the buffer alone.
void expect_ok(const Reply& r, const Bytes& expected, const std::string& what) {
  if (!r.status) fail(what + ": failed with error " + std::to_string(r.status.code));
  Bytes got(r.out.begin(), r.out.begin() + std::min<size_t>(r.returned, r.out.size()));
  if (r.returned != expected.size() || got != expected) {
    fail(what + ": returned " + std::to_string(r.returned) + " bytes [" + hex_bytes(got.data(), got.size()) +
         "], expected [" + hex_bytes(expected.data(), expected.size()) + "]");
  }
  for (size_t i = expected.size(); i < r.out.size(); ++i) {
    if (r.out[i] != 0xDE) fail(what + ": wrote past what it returned, at byte " + std::to_string(i));
  }
}

void expect_error(const Reply& r, uint32_t error, const std::string& what) {
  if (r.status) fail(what + ": succeeded, expected error " + std::to_string(error));
  if (r.status.code != error)
    fail(what + ": error " + std::to_string(r.status.code) + ", expected " + std::to_string(error));
}

Camera open_camera(int instance) {
  Status status;
  Camera camera = Camera::open(instance, &status);
  if (!status) fail("open of Quorvex-" + std::to_string(instance) + ": error " + std::to_string(status.code));
  return camera;
}

namespace {

// Win32 errors the driver's statuses become.
constexpr uint32_t kGenFailure = 31;           // STATUS_UNSUCCESSFUL
constexpr uint32_t kInvalidParameter = 87;     // STATUS_INVALID_PARAMETER
constexpr uint32_t kInsufficientBuffer = 122;  // STATUS_BUFFER_TOO_SMALL
constexpr uint32_t kStallPid = 0xC0000004;     // USBD_STATUS_STALL_PID

constexpr uint8_t kPnpStart = 0x00, kPnpRemove = 0x02, kPnpCapabilities = 0x09, kPnpSurpriseRemoval = 0x17;

// Where the Plug and Play requests of a slot's trace are, by minor code, in order.
std::vector<std::pair<size_t, uint32_t>> pnp_events(const std::vector<QVXBUS_TRACE_ENTRY>& trace) {
  std::vector<std::pair<size_t, uint32_t>> events;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].Event == QVXBUS_EVENT_PNP) events.push_back({i, trace[i].Minor});
  }
  return events;
}

std::optional<size_t> first_pnp(const std::vector<QVXBUS_TRACE_ENTRY>& trace, uint32_t minor) {
  for (auto [at, m] : pnp_events(trace)) {
    if (m == minor) return at;
  }
  return std::nullopt;
}

uint32_t model_of(uint16_t product) {
  switch (product) {
    case 0x1009:
    case 0x100A:
      return CAM_MODEL_8431;
    case 0x100E:
      return CAM_MODEL_1621;
    default:
      return CAM_MODEL_1801;
  }
}

Bytes identity(uint16_t product) { return le32(0x04B4) + le32(product) + le32(model_of(product)); }

// Enumeration and start --------------------------------------------------------------

// The descriptors the bus gives every camera: one interface, a bulk endpoint out
// and the image endpoint in.
Bytes device_descriptor(uint16_t product) {
  return {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0xB4, 0x04, uint8_t(product), uint8_t(product >> 8),
          0x00, 0x01, 1,    2,    0,    1};
}

const Bytes kConfiguration = {9, 2, 32, 0, 1,    1, 0,    0x80, 250, 9, 4, 0,    0, 2,    0xFF, 0,
                              0, 0, 7,  5, 0x01, 2, 0x00, 0x02, 0,   7, 5, 0x82, 2, 0x00, 0x02, 0};

// The camera was enumerated, asked for its capabilities, started and configured
// with the four requests the driver makes; it answers its identity and model;
// close and reopen work; the unplug removes it.
void start_model(Bus& bus, uint16_t product) {
  Plugged cam{bus.plug(product)};
  auto trace = bus.trace(cam.slot);
  auto start = first_pnp(trace, kPnpStart);
  auto caps = first_pnp(trace, kPnpCapabilities);
  if (!start) fail("the camera was never started");
  if (!caps || *caps > *start) fail("no capabilities query reached the camera before its start");
  std::vector<Transfer> configure = {descriptor_read(1, 18, device_descriptor(product)),
                                     descriptor_read(2, 9, kConfiguration),
                                     descriptor_read(2, 32 + 16, kConfiguration), set_configuration(1)};
  expect_traffic(bus, cam.slot, uint32_t(*start), configure, "start");
  if (!bus.state(cam.slot).Started) fail("the bus does not hold the camera started");
  {
    Camera camera = open_camera(0);
    expect_ok(call(camera, IOCTL_CAM_GET_IDENTITY, {}, 12), identity(product), "identity");
    expect_ok(call(camera, IOCTL_CAM_GET_MODEL, {}, 4), le32(model_of(product)), "model");
  }
  Camera again = open_camera(0);
  expect_ok(call(again, IOCTL_CAM_GET_MODEL, {}, 4), le32(model_of(product)), "model after reopening");
  again = Camera();
  bus.unplug(cam.slot);
  if (bus.state(cam.slot).Exists) fail("the camera's device object outlived its removal");
}

// Device list ------------------------------------------------------------------------

// Two cameras: each open handle reaches its own, and both list the two names,
// the most recently added first.
void device_list(Bus& bus) {
  bus.plug(0x1009);
  bus.plug(0x100E);
  Camera first = open_camera(0), second = open_camera(1);
  expect_ok(call(first, IOCTL_CAM_GET_IDENTITY, {}, 12), identity(0x1009), "identity of Quorvex-0");
  expect_ok(call(second, IOCTL_CAM_GET_IDENTITY, {}, 12), identity(0x100E), "identity of Quorvex-1");
  Bytes list(128, 0);
  memcpy(list.data(), "Quorvex-1", 9);
  memcpy(list.data() + 16, "Quorvex-0", 9);
  expect_ok(call(first, IOCTL_CAM_GET_DEVICE_LIST, {}, 128), list, "device list through Quorvex-0");
  expect_ok(call(second, IOCTL_CAM_GET_DEVICE_LIST, {}, 128), list, "device list through Quorvex-1");
}

// Identity -----------------------------------------------------------------------------

// Answered by the driver alone: exactly twelve bytes, no more written, a short
// buffer refused, and nothing sent to the camera.
void identity_scenario(Bus& bus) {
  Plugged cam{bus.plug(0x100B)};
  Camera camera = open_camera(0);
  cam.mark = mark(bus, cam.slot);
  expect_ok(call(camera, IOCTL_CAM_GET_IDENTITY, {}, 16), identity(0x100B), "identity into 16 bytes");
  expect_error(call(camera, IOCTL_CAM_GET_IDENTITY, {}, 8), kInsufficientBuffer, "identity into 8 bytes");
  expect_ok(call(camera, IOCTL_CAM_GET_MODEL, {}, 4), le32(CAM_MODEL_1801), "model");
  expect_since(bus, cam, {}, "identity and model");
}

// Settings ------------------------------------------------------------------------------

// One request of a settings sequence: its code and input, what it returns (or the
// error it fails with) and the control transfers it makes.
struct Step {
  const char* name;
  uint32_t code;
  Bytes in;
  std::optional<Bytes> out;  // none: fails with `error`
  uint32_t error;
  std::vector<Transfer> traffic;
};

// Returns the camera's slot, still plugged.
uint32_t run_steps(Bus& bus, uint16_t product, const std::vector<Step>& steps) {
  Plugged cam{bus.plug(product)};
  Camera camera = open_camera(0);
  cam.mark = mark(bus, cam.slot);
  for (const Step& s : steps) {
    Reply r = call(camera, s.code, s.in, s.out ? uint32_t(s.out->size()) : 4);
    if (s.out) {
      expect_ok(r, *s.out, s.name);
    } else {
      expect_error(r, s.error, s.name);
    }
    expect_since(bus, cam, s.traffic, s.name);
  }
  return cam.slot;
}

const Bytes kNone;

// Exposure and gains on each model, read back through the registers they set.
std::vector<Step> settings_steps(uint16_t product) {
  uint32_t model = model_of(product);
  std::vector<Step> steps;
  if (model == CAM_MODEL_1801) {
    steps = {{"set exposure",
              IOCTL_CAM_SET_EXPOSURE,
              le32(0x12345),
              kNone,
              0,
              {reg_write(0x08, 1), reg_write(0x09, 0x2345)}},
             {"get exposure",
              IOCTL_CAM_GET_EXPOSURE,
              {},
              le32(0x12345),
              0,
              {reg_read(0x08, 1), reg_read(0x09, 0x2345)}},
             {"set gain 2B", IOCTL_CAM_SET_GAIN_2B, le32(2), kNone, 0, {reg_write(0x2B, 0x0208)}},
             {"get gain 2B", IOCTL_CAM_GET_GAIN_2B, {}, le32(2), 0, {reg_read(0x2B, 0x0208)}},
             {"global gain refused", IOCTL_CAM_GET_GLOBAL_GAIN, {}, std::nullopt, kInvalidParameter, {}}};
    return steps;
  }
  bool m1621 = model == CAM_MODEL_1621;
  steps = {{"set exposure", IOCTL_CAM_SET_EXPOSURE, le32(0x12345), kNone, 0, {reg_write(0x09, 0x2345)}},
           {"get exposure", IOCTL_CAM_GET_EXPOSURE, {}, le32(0x2345), 0, {reg_read(0x09, 0x2345)}},
           {"set global gain", IOCTL_CAM_SET_GLOBAL_GAIN, le32(26), kNone, 0, {reg_write(0x35, 0x51)}},
           {"get global gain", IOCTL_CAM_GET_GLOBAL_GAIN, {}, le32(26), 0, {reg_read(0x35, 0x51)}}};
  if (m1621) {
    steps.push_back({"set gain 2C", IOCTL_CAM_SET_GAIN_2C, le32(42), kNone, 0, {reg_write(0x2C, 0x0160)}});
    steps.push_back({"get gain 2C", IOCTL_CAM_GET_GAIN_2C, {}, le32(42), 0, {reg_read(0x2C, 0x0160)}});
    steps.push_back({"register 0x62 on", IOCTL_CAM_SET_REG62_ON, {}, kNone, 0, {reg_write(0x62, 1)}});
  } else {
    steps.push_back(
        {"register 0x62 refused", IOCTL_CAM_SET_REG62_ON, {}, std::nullopt, kInvalidParameter, {}});
  }
  return steps;
}

// Raw commands ----------------------------------------------------------------------------

const Bytes kFF4(4, 0xFF), kFF10(10, 0xFF);

std::vector<Step> raw_steps() {
  return {
      {"write register",
       IOCTL_CAM_WRITE_REGISTER,
       Bytes{0x35, 0, 0, 0, 0x34, 0x12},
       kNone,
       0,
       {reg_write(0x35, 0x1234)}},
      {"read register", IOCTL_CAM_READ_REGISTER, Bytes{0x35}, le32(0x1234), 0, {reg_read(0x35, 0x1234)}},
      {"trigger", IOCTL_CAM_TRIGGER, {}, kNone, 0, {vendor_out(0xB3, 0, kFF10)}},
      {"command B4", IOCTL_CAM_COMMAND_B4, {}, kNone, 0, {vendor_out(0xB4, 0, kFF10)}},
      {"command B8", IOCTL_CAM_COMMAND_B8, {}, kNone, 0, {vendor_out(0xB8, 0, kFF10)}},
      {"write B9",
       IOCTL_CAM_WRITE_B9,
       Bytes{0xFF, 0x01, 0xEF, 0xBE},
       kNone,
       0,
       {vendor_out(0xB9, 0xFF, {0xEF, 0xBE})}},
      {"write block",
       IOCTL_CAM_WRITE_BLOCK,
       Bytes{0x34, 0x12, 0, 0, 1, 2, 3, 4, 5},
       kNone,
       0,
       {vendor_out(0xBA, 0x1234, {1, 2, 3, 4, 5})}},
      {"read block",
       IOCTL_CAM_READ_BLOCK,
       Bytes{0x10, 0},
       Bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0x15},
       0,
       {vendor_in(0xBA, 0x10, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15})}},
      {"read BB",
       IOCTL_CAM_READ_BB,
       Bytes{7, 0},
       Bytes{7, 0, 0xBB, 0},
       0,
       {vendor_in(0xBB, 7, {7, 0, 0xBB, 0})}},
      {"write BC 0", IOCTL_CAM_WRITE_BC_0, le32(0x11223344), kNone, 0, {vendor_out(0xBC, 0, {0x44, 0x33})}},
      {"write BC 1", IOCTL_CAM_WRITE_BC_1, {}, kNone, 0, {vendor_out(0xBC, 1, {0, 0})}},
      {"write BD", IOCTL_CAM_WRITE_BD, Bytes{0xCD, 0xAB}, kNone, 0, {vendor_out(0xBD, 0, {0xCD, 0xAB})}},
      {"write BE", IOCTL_CAM_WRITE_BE, le32(0x00050006), kNone, 0, {vendor_out(0xBE, 6, kFF4)}},
      {"write BF", IOCTL_CAM_WRITE_BF, le32(7), kNone, 0, {vendor_out(0xBF, 7, kFF10)}},
      {"read C0",
       IOCTL_CAM_READ_C0,
       {},
       Bytes{1, 0, 0xC0, 1, 0, 0x10, 0, 0},
       0,
       {vendor_in(0xC0, 1, {1, 0, 0xC0, 1, 0, 0x10, 0, 0})}},
      {"unknown code", 0x222010, {}, std::nullopt, kInvalidParameter, {}},
      {"abort pipe", IOCTL_CAM_ABORT_PIPE, {}, kNone, 0, {}},
  };
}

// The raw commands, and the abort reached the image pipe, and only it.
void raw_commands(Bus& bus) {
  uint32_t slot = run_steps(bus, 0x100E, raw_steps());
  std::vector<uint32_t> aborted;
  for (const QVXBUS_TRACE_ENTRY& e : bus.trace(slot)) {
    if (e.Event == QVXBUS_EVENT_ABORT) aborted.push_back(e.Endpoint);
  }
  if (aborted != std::vector<uint32_t>{0x82}) fail("the abort did not reach the image pipe alone");
}

// A stall ----------------------------------------------------------------------------------

// A stalled register read fails, its USB status is kept as the last status until
// another failure, and the camera works on.
std::vector<Step> stall_steps() {
  return {{"last status before", IOCTL_CAM_GET_LAST_STATUS, {}, le32(0), 0, {}},
          {"stalled read",
           IOCTL_CAM_READ_REGISTER,
           Bytes{0x35},
           std::nullopt,
           kGenFailure,
           {stalled(reg_read(0x35, 0))}},
          {"last status", IOCTL_CAM_GET_LAST_STATUS, {}, le32(kStallPid), 0, {}},
          {"read after the stall", IOCTL_CAM_READ_REGISTER, Bytes{0x35}, le32(0), 0, {reg_read(0x35, 0)}},
          {"last status kept", IOCTL_CAM_GET_LAST_STATUS, {}, le32(kStallPid), 0, {}}};
}

void stall_scenario(Bus& bus) {
  std::vector<Step> steps = stall_steps();
  Plugged cam{bus.plug(0x1009)};
  Camera camera = open_camera(0);
  cam.mark = mark(bus, cam.slot);
  for (const Step& s : steps) {
    if (s.code == IOCTL_CAM_READ_REGISTER && !s.out) bus.stall(cam.slot, 1);
    Reply r = call(camera, s.code, s.in, 4);
    s.out ? expect_ok(r, *s.out, s.name) : expect_error(r, s.error, s.name);
    expect_since(bus, cam, s.traffic, s.name);
  }
  expect_error(call(camera, IOCTL_CAM_GET_LAST_STATUS, {}, 8), kGenFailure, "last status into 8 bytes");
}

// Unplug ------------------------------------------------------------------------------------

// Unplugged with a handle open: surprise removal, then removal with both pipes
// aborted first; the handle's requests fail from then on and it closes. Windows
// sends the removal only after the last handle closes; Wine sends it at once.
// Both are accepted, and the order of the requests is checked either way.
std::string unplug_scenario(Bus& bus) {
  Plugged cam{bus.plug(0x1009)};
  Camera camera = open_camera(0);
  expect_ok(call(camera, IOCTL_CAM_GET_MODEL, {}, 4), le32(CAM_MODEL_8431), "model before the unplug");
  cam.mark = mark(bus, cam.slot);
  bus.unplug(cam.slot);
  bool removed_while_open = !bus.state(cam.slot).Exists;
  Reply after = call(camera, IOCTL_CAM_GET_MODEL, {}, 4);
  if (after.status) fail("a request on the open handle succeeded after the unplug");
  camera = Camera();
  bus.settle();
  auto trace = bus.trace(cam.slot, cam.mark);
  auto surprise = first_pnp(trace, kPnpSurpriseRemoval);
  auto remove = first_pnp(trace, kPnpRemove);
  if (!surprise || !remove || *remove < *surprise) fail("no surprise removal followed by removal");
  int aborts = 0;
  for (size_t i = *surprise; i < *remove; ++i) aborts += trace[i].Event == QVXBUS_EVENT_ABORT;
  if (aborts != 2) fail(std::to_string(aborts) + " pipe aborts between surprise removal and removal, not 2");
  if (bus.state(cam.slot).Exists) fail("the camera's device object outlived the close");
  Status status;
  if (Camera::open(0, &status).is_open()) fail("Quorvex-0 still opens after the removal");
  return "request after unplug: error " + std::to_string(after.status.code) +
         (removed_while_open ? "; removal came with the handle open (Wine; Windows waits for the close)"
                             : "");
}

std::vector<Scenario> scenarios() {
  std::vector<Scenario> list;
  for (uint16_t product : {0x1009, 0x100B, 0x100E}) {
    std::string id = hex(product) + " (model " + hex(model_of(product)) + ")";
    list.push_back({"start " + id, [product](Bus& b) { return start_model(b, product), std::string(); }});
  }
  list.push_back({"device list with two cameras", [](Bus& b) { return device_list(b), std::string(); }});
  list.push_back({"identity", [](Bus& b) { return identity_scenario(b), std::string(); }});
  for (uint16_t product : {0x1009, 0x100B, 0x100E}) {
    list.push_back({"settings on " + hex(product), [product](Bus& b) {
                      run_steps(b, product, settings_steps(product));
                      return std::string();
                    }});
  }
  list.push_back({"raw commands", [](Bus& b) { return raw_commands(b), std::string(); }});
  list.push_back(
      {"stalled request and last status", [](Bus& b) { return stall_scenario(b), std::string(); }});
  list.push_back({"unplug with a handle open, then close", unplug_scenario});
  for (Scenario& s : frame_read_scenarios()) list.push_back(std::move(s));
  for (Scenario& s : tool_scenarios()) list.push_back(std::move(s));
  return list;
}

}  // namespace

uint32_t mark(Bus& bus, uint32_t slot) { return bus.state(slot).TraceCount; }

void expect_since(Bus& bus, Plugged& cam, const std::vector<Transfer>& expected, const std::string& what) {
  expect_traffic(bus, cam.slot, cam.mark, expected, what);
  cam.mark = mark(bus, cam.slot);
}

bool run_scenarios(Bus& bus) {
  int failed = 0;
  for (const Scenario& s : scenarios()) {
    std::string line;
    try {
      std::string note = s.run(bus);
      line = "PASS " + s.name + (note.empty() ? "" : ": " + note);
    } catch (const Failure& f) {
      line = "FAIL " + s.name + ": " + f.why;
      failed++;
    }
    std::printf("%s\n", line.c_str());
    try {
      bus.unplug_all();
    } catch (const Failure& f) {
      std::printf("FAIL cleanup after %s: %s\n", s.name.c_str(), f.why.c_str());
      return false;
    }
  }
  return failed == 0;
}

}  // namespace quorvex::e2e
