// The simulated machine behind the host build of the tool.
#pragma once

#include <sim/platform.h>

#include <memory>
#include <string>
#include <vector>

#include "tool.h"

namespace quorvex::tool {

class SimMachine : public Machine {
 public:
  SimMachine();
  ~SimMachine() override;
  // Plugs the cameras the options ask for; false (having said why) if one fails.
  bool plug_all(const Options& options, std::ostream& err);

  bool simulated() const override { return true; }
  void clear_trace() override;
  std::vector<std::string> trace() override;
  int finish(std::ostream& err) override;
  int tour(std::ostream& out, std::ostream& err) override;
  int system_power(int state, const Options& options, std::ostream& out, std::ostream& err) override;
  void release_frame(int instance) override;
  void stream_frames(int instance, bool on, uint64_t bytes_per_second) override;
  bool numbered_frames() const override { return true; }
  std::string check_frame(const uint8_t* data, uint32_t received, uint32_t frame_bytes) override;

 private:
  int tour_settings(const Camera& camera, std::ostream& out);
  void tour_traffic(const Camera& camera, std::ostream& out);
  int tour_frames(const Camera& camera, std::ostream& out, std::ostream& err);
  int tour_stream(const Camera& camera, std::ostream& out, std::ostream& err);
  void tour_refusals(const Camera& camera, std::ostream& out);
  void tour_unplug(std::ostream& out);
  static int tour_save(const FrameResult& frame, const char* name, std::ostream& out, std::ostream& err);
  static void tour_next(const ProductInfo& product, std::ostream& out);
  std::string device_power_text(const Options& options) const;

  std::unique_ptr<sim::Platform> platform_;
  std::vector<sim::UsbDevice*> devices_;
  bool verdict_given_ = false;
};

// One bus event as a line a person reads: the setup packet, the data stage, and what
// it means for register access.
std::string describe(const sim::BusEvent& event);
const char* pnp_name(UCHAR minor);
// "STATUS_SUCCESS", "STATUS_INVALID_DEVICE_STATE"
std::string status_name(NTSTATUS status);
// The faults the verifier reported since the machine was made.
std::vector<std::string> verifier_faults();

}  // namespace quorvex::tool
