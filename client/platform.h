// Where an application's cameras are. On Windows they are the installed driver's,
// and a Platform does nothing. On the host the driver runs on the simulated
// platform: a Platform loads it there and plugs in one simulated camera of each
// product given, for as long as it lives. A program that makes one before it opens
// a camera runs unchanged on both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvex {

// How the simulated cameras send frames: one for each trigger (single-shot reads),
// or back to back whenever a transfer waits for image data, as a stream needs them.
enum class SimulatedFrames : uint8_t { OnTrigger, BackToBack };

class Platform {
 public:
  explicit Platform(const std::vector<uint16_t>& simulated_products = {0x100E},
                    SimulatedFrames frames = SimulatedFrames::OnTrigger);
  ~Platform();  // unplugs the simulated cameras and unloads the driver
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // Empty when the cameras are there; otherwise what went wrong.
  const std::string& error() const { return error_; }

 private:
  struct Simulation;
  std::unique_ptr<Simulation> simulation_;
  std::string error_;
};

}  // namespace quorvex
