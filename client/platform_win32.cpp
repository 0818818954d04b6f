// Windows: the cameras are the installed driver's; there is nothing to set up.
#include "platform.h"

namespace quorvex {

struct Platform::Simulation {};

Platform::Platform(const std::vector<uint16_t>&, SimulatedFrames) {}

Platform::~Platform() = default;

}  // namespace quorvex
