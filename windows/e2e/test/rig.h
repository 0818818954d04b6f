// The test program's view of the test bus and of the cameras on it: plugging,
// waiting for Plug and Play to settle, the bus trace, and the checks scenarios
// make of it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <sim/pattern.h>

#include "../bus_control.h"

namespace quorvex::e2e {

// A failed check: the scenario stops and reports why.
struct Failure {
  std::string why;
};

[[noreturn]] void fail(const std::string& why);
std::string hex(uint32_t value);
std::string hex_bytes(const uint8_t* data, size_t length);

// One control transfer as the camera saw it.
struct Transfer {
  uint8_t setup[8];
  std::vector<uint8_t> data;  // the data stage (as far as the trace keeps it)
  uint32_t moved;
  uint32_t usbd_status;
  bool operator==(const Transfer& other) const;
  std::string text() const;
};

Transfer vendor_out(uint8_t request, uint16_t value, std::vector<uint8_t> data);
Transfer vendor_in(uint8_t request, uint16_t value, std::vector<uint8_t> data);
Transfer reg_write(uint8_t reg, uint16_t value);
Transfer reg_read(uint8_t reg, uint16_t value);
Transfer descriptor_read(uint8_t type, uint16_t asked, const std::vector<uint8_t>& descriptor);
Transfer set_configuration(uint8_t value);
Transfer stalled(Transfer transfer);

class Bus {
 public:
  Bus() = default;
  ~Bus();
  bool open(std::string* error);

  uint32_t plug(uint16_t product);  // plugged and settled; the slot
  void unplug(uint32_t slot);       // unplugged and settled
  void settle();
  void stall(uint32_t slot, uint32_t count);
  // Queues `count` frames of the camera's picture; every frame from now on is
  // `size` bytes and pictures `window`.
  void queue_frames(uint32_t slot, uint32_t count, uint32_t size, const sim::pattern::Geometry& window);
  QVXBUS_STATE state(uint32_t slot);
  std::vector<QVXBUS_TRACE_ENTRY> trace(uint32_t slot, uint32_t first = 0);
  std::vector<Transfer> control_transfers(uint32_t slot, uint32_t first = 0);
  // Unplugs whatever a scenario left on the bus.
  void unplug_all();

 private:
  void request(uint32_t code, const void* in, uint32_t in_length, void* out, uint32_t out_length,
               uint32_t* returned = nullptr);
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::vector<uint32_t> plugged_;
};

// Expected traffic against what the camera saw since `first`.
void expect_traffic(Bus& bus, uint32_t slot, uint32_t first, const std::vector<Transfer>& expected,
                    const std::string& what);

}  // namespace quorvex::e2e
