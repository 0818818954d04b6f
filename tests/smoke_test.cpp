#include "support/testbed.h"

namespace quorvex::test {
namespace {

class Smoke : public Testbed {};

TEST_F(Smoke, PlugOpenClose) {
  sim::UsbDevice& device = plug();
  PCAM_DEVICE_EXTENSION ext = extension(device);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->Started, 1);
  sim::Handle h = open(0);
  EXPECT_EQ(ext->OpenCount, 1);
  EXPECT_EQ(ext->ModelCode, 0x8431u);
  EXPECT_EQ(sim::nt_close(h), STATUS_SUCCESS);
}

}  // namespace
}  // namespace quorvex::test
