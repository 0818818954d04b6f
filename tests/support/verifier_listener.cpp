// Routes the platform verifier's reports to failures of the running test.
#include <gtest/gtest.h>
#include <sim/verifier.h>

namespace {

class VerifierEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    sim::set_fault_handler([](const sim::FaultReport& report) {
      ADD_FAILURE() << "verifier: " << sim::fault_name(report.kind) << ": " << report.message;
    });
  }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new VerifierEnvironment);

}  // namespace
