#include "kyt_sim/pci_config_space.h"

#include <gtest/gtest.h>

namespace kyt::sim {
namespace {

PciConfigSpace Make() { return PciConfigSpace({0x1d1d, 0x5a51, 0x1d1d, 0x0001, 1}, 16384, 0x80100000ull); }

uint32_t R32(PciConfigSpace& c, uint32_t off) {
  uint32_t v = 0;
  EXPECT_TRUE(c.Read(off, 4, &v));
  return v;
}
void W32(PciConfigSpace& c, uint32_t off, uint32_t v) { EXPECT_TRUE(c.Write(off, 4, &v)); }

TEST(PciConfigSpaceTest, PowerOnResetUnassignsBar0AndAllOnesAnswersEverything) {
  PciConfigSpace c = Make();
  EXPECT_FALSE(c.bus_master());
  W32(c, 0x04, 0x0406);
  EXPECT_TRUE(c.bus_master());
  c.PowerOnReset();
  EXPECT_EQ(R32(c, 0x10), 0x4u);  // below 16384: the driver sees a lost BAR
  EXPECT_EQ(R32(c, 0x14), 0u);
  EXPECT_EQ(c.command(), 0);
  EXPECT_EQ(R32(c, 0x00), 0x5a511d1du);
  c.SetAllOnes(true);
  EXPECT_EQ(R32(c, 0x00), 0xFFFFFFFFu);
  W32(c, 0x10, 0x80100000);
  c.SetAllOnes(false);
  EXPECT_EQ(R32(c, 0x10), 0x4u);
}

}  // namespace
}  // namespace kyt::sim
