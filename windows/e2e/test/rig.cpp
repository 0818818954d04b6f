// The test bus from the test program's side.
#include "rig.h"

#include <algorithm>
#include <cstdio>

namespace quorvex::e2e {
namespace {

// Plug and Play enumerates, installs and starts within a second here; the bound
// only keeps a hung kernel from hanging the test.
constexpr DWORD kSettleMillis = 20000;

}  // namespace

void fail(const std::string& why) { throw Failure{why}; }

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

std::string hex_bytes(const uint8_t* data, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", data[i]);
    text += byte;
  }
  return text;
}

bool Transfer::operator==(const Transfer& other) const {
  return std::equal(setup, setup + 8, other.setup) && data == other.data && moved == other.moved &&
         usbd_status == other.usbd_status;
}

std::string Transfer::text() const {
  std::string text = "[" + hex_bytes(setup, 8) + "]";
  if (!data.empty()) text += " data " + hex_bytes(data.data(), data.size());
  text += " moved " + std::to_string(moved);
  if (usbd_status != 0) text += " usbd " + hex(usbd_status);
  return text;
}

static Transfer make(uint8_t type, uint8_t request, uint16_t value, uint16_t length,
                     std::vector<uint8_t> data, uint32_t moved) {
  Transfer t{
      {type, request, uint8_t(value), uint8_t(value >> 8), 0, 0, uint8_t(length), uint8_t(length >> 8)},
      std::move(data),
      moved,
      0};
  if (t.data.size() > QVXBUS_TRACE_DATA) t.data.resize(QVXBUS_TRACE_DATA);
  return t;
}

Transfer vendor_out(uint8_t request, uint16_t value, std::vector<uint8_t> data) {
  uint16_t length = uint16_t(data.size());
  return make(0x40, request, value, length, std::move(data), length);
}

Transfer vendor_in(uint8_t request, uint16_t value, std::vector<uint8_t> data) {
  uint16_t length = uint16_t(data.size());
  return make(0xC0, request, value, length, std::move(data), length);
}

Transfer reg_write(uint8_t reg, uint16_t value) {
  return vendor_out(0xB7, reg, {uint8_t(value), uint8_t(value >> 8)});
}
Transfer reg_read(uint8_t reg, uint16_t value) {
  return vendor_in(0xB7, reg, {uint8_t(value), uint8_t(value >> 8)});
}

Transfer descriptor_read(uint8_t type, uint16_t asked, const std::vector<uint8_t>& descriptor) {
  uint32_t moved = std::min<uint32_t>(asked, uint32_t(descriptor.size()));
  return make(0x80, 6, uint16_t(type << 8), asked, {descriptor.begin(), descriptor.begin() + moved}, moved);
}

Transfer set_configuration(uint8_t value) { return make(0x00, 9, value, 0, {}, 0); }

// A stalled transfer moves no data.
Transfer stalled(Transfer transfer) {
  bool in = transfer.setup[0] & 0x80;
  if (in) transfer.data.clear();
  transfer.moved = 0;
  transfer.usbd_status = 0xC0000004;  // USBD_STATUS_STALL_PID
  return transfer;
}

Bus::~Bus() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool Bus::open(std::string* error) {
  handle_ = CreateFileW(QVXBUS_USER_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE)
    *error = "cannot open the test bus: error " + std::to_string(GetLastError());
  return handle_ != INVALID_HANDLE_VALUE;
}

// Every request is waited for with a bound; a request still running then is
// cancelled and counts as a failure.
void Bus::request(uint32_t code, const void* in, uint32_t in_length, void* out, uint32_t out_length,
                  uint32_t* returned) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  BOOL ok =
      DeviceIoControl(handle_, code, const_cast<void*>(in), in_length, out, out_length, &bytes, &overlapped);
  DWORD error = ok ? 0 : GetLastError();
  if (!ok && error == ERROR_IO_PENDING) {
    if (WaitForSingleObject(overlapped.hEvent, kSettleMillis) != WAIT_OBJECT_0) {
      CancelIoEx(handle_, &overlapped);
      GetOverlappedResult(handle_, &overlapped, &bytes, TRUE);
      CloseHandle(overlapped.hEvent);
      fail("test bus request " + hex(code) + " did not finish within " + std::to_string(kSettleMillis) +
           " ms");
    }
    ok = GetOverlappedResult(handle_, &overlapped, &bytes, FALSE);
    error = ok ? 0 : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  if (!ok) fail("test bus request " + hex(code) + " failed: error " + std::to_string(error));
  if (returned) *returned = bytes;
}

void Bus::settle() { request(IOCTL_QVXBUS_SETTLE, nullptr, 0, nullptr, 0); }

uint32_t Bus::plug(uint16_t product) {
  QVXBUS_PLUG plug{0x04B4, product};
  uint32_t slot = 0;
  request(IOCTL_QVXBUS_PLUG, &plug, sizeof(plug), &slot, sizeof(slot));
  plugged_.push_back(slot);
  settle();
  return slot;
}

void Bus::unplug(uint32_t slot) {
  request(IOCTL_QVXBUS_UNPLUG, &slot, sizeof(slot), nullptr, 0);
  plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), slot), plugged_.end());
  settle();
}

void Bus::unplug_all() {
  while (!plugged_.empty()) unplug(plugged_.back());
}

void Bus::stall(uint32_t slot, uint32_t count) {
  QVXBUS_STALL stall{slot, count};
  request(IOCTL_QVXBUS_STALL, &stall, sizeof(stall), nullptr, 0);
}

void Bus::queue_frames(uint32_t slot, uint32_t count, uint32_t size, const sim::pattern::Geometry& window) {
  QVXBUS_FRAMES frames{slot, count, size, window.width, window.height, window.bytes_per_pixel};
  request(IOCTL_QVXBUS_QUEUE_FRAMES, &frames, sizeof(frames), nullptr, 0);
}

QVXBUS_STATE Bus::state(uint32_t slot) {
  QVXBUS_STATE state{};
  request(IOCTL_QVXBUS_STATE, &slot, sizeof(slot), &state, sizeof(state));
  return state;
}

std::vector<QVXBUS_TRACE_ENTRY> Bus::trace(uint32_t slot, uint32_t first) {
  std::vector<QVXBUS_TRACE_ENTRY> entries(QVXBUS_TRACE_ENTRIES);
  QVXBUS_TRACE_QUERY query{slot, first};
  // The request reads its input before it writes its output over the same buffer.
  std::vector<uint8_t> buffer(entries.size() * sizeof(QVXBUS_TRACE_ENTRY));
  memcpy(buffer.data(), &query, sizeof(query));
  uint32_t returned = 0;
  request(IOCTL_QVXBUS_TRACE, buffer.data(), sizeof(query), buffer.data(), uint32_t(buffer.size()),
          &returned);
  entries.resize(returned / sizeof(QVXBUS_TRACE_ENTRY));
  memcpy(entries.data(), buffer.data(), entries.size() * sizeof(QVXBUS_TRACE_ENTRY));
  return entries;
}

std::vector<Transfer> Bus::control_transfers(uint32_t slot, uint32_t first) {
  std::vector<Transfer> transfers;
  for (const QVXBUS_TRACE_ENTRY& e : trace(slot, first)) {
    if (e.Event != QVXBUS_EVENT_CONTROL) continue;
    Transfer t{};
    std::copy(e.Setup, e.Setup + 8, t.setup);
    uint32_t shown = (e.Setup[0] & 0x80) ? e.Moved : e.Length;
    t.data.assign(e.Data, e.Data + std::min<uint32_t>(shown, QVXBUS_TRACE_DATA));
    t.moved = e.Moved;
    t.usbd_status = e.UsbdStatus;
    transfers.push_back(t);
  }
  return transfers;
}

void expect_traffic(Bus& bus, uint32_t slot, uint32_t first, const std::vector<Transfer>& expected,
                    const std::string& what) {
  std::vector<Transfer> seen = bus.control_transfers(slot, first);
  if (seen == expected) return;
  std::string text = what + ": the camera saw";
  for (const Transfer& t : seen) text += " " + t.text();
  text += "; expected";
  for (const Transfer& t : expected) text += " " + t.text();
  fail(text);
}

}  // namespace quorvex::e2e
