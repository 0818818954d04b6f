// The Windows build's machine: the cameras are the driver's, as installed.
#include <ostream>

#include "tool.h"

namespace quorvex::tool {
namespace {

class DriverMachine : public Machine {
 public:
  bool simulated() const override { return false; }
  int finish(std::ostream&) override { return kOk; }
  int tour(std::ostream&, std::ostream& err) override {
    err << "quorvex: the tour plugs a simulated camera; run it from the host build. Here, `quorvex info`\n"
           "shows the camera the driver runs.\n";
    return kUsage;
  }
  // Windows sleeps and wakes by its own power settings; an application cannot.
  int system_power(int state, const Options&, std::ostream&, std::ostream& err) override {
    err << "quorvex: " << (state == 0 ? "wake" : "sleep")
        << ": only the simulated machine of the host build can be put to sleep and woken; this build\n"
           "uses the installed driver, and Windows sleeps and wakes as its own power settings say.\n";
    return kUsage;
  }
};

}  // namespace

std::unique_ptr<Machine> make_machine(const Options& options, std::ostream& err, int* exit) {
  if (options.cameras != 0 || !options.products.empty()) {
    err << "quorvex: --product and --cameras choose simulated cameras; this build uses the real ones\n";
    *exit = kUsage;
    return nullptr;
  }
  return std::make_unique<DriverMachine>();
}

}  // namespace quorvex::tool
