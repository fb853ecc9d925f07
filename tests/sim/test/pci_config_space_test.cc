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

TEST(PciConfigSpaceTest, IdentityClassAndCapabilities) {
  PciConfigSpace c = Make();
  EXPECT_EQ(R32(c, 0x00), 0x5a511d1du);
  EXPECT_EQ(R32(c, 0x08) >> 8, 0x010802u);
  EXPECT_EQ(R32(c, 0x2C), 0x00011d1du);
  EXPECT_TRUE(R32(c, 0x04) >> 16 & 0x10);  // capabilities list
  uint8_t ptr = R32(c, 0x34) & 0xFF;
  bool pcie = false;
  for (int hops = 0; ptr && hops < 16; ++hops) {
    uint32_t cap = R32(c, ptr);
    if ((cap & 0xFF) == 0x10) pcie = true;
    ptr = (cap >> 8) & 0xFF;
  }
  EXPECT_TRUE(pcie);
}

TEST(PciConfigSpaceTest, Bar0Is64BitAndAnswersTheSizeProbe) {
  PciConfigSpace c = Make();
  EXPECT_EQ(R32(c, 0x10), 0x80100004u);
  EXPECT_EQ(c.bar0_address(), 0x80100000ull);
  W32(c, 0x10, 0xFFFFFFFF);
  W32(c, 0x14, 0xFFFFFFFF);
  EXPECT_EQ(R32(c, 0x10), 0xFFFFC004u);  // 16 KiB, 64-bit, non-prefetchable
  EXPECT_EQ(R32(c, 0x14), 0xFFFFFFFFu);
  W32(c, 0x10, 0x90000000);
  W32(c, 0x14, 0x1);
  EXPECT_EQ(c.bar0_address(), 0x190000000ull);
  // Byte writes merge into the dword.
  uint8_t b = 0x12;
  EXPECT_TRUE(c.Write(0x13, 1, &b));
  EXPECT_EQ(R32(c, 0x10), 0x12000004u);
  EXPECT_FALSE(c.Write(0x0FFE, 4, &b));
  EXPECT_FALSE(c.Read(0x10, 3, &b));
}

TEST(PciConfigSpaceTest, CommandRegisterKeepsOnlyItsWritableBits) {
  PciConfigSpace c = Make();
  EXPECT_FALSE(c.bus_master());
  uint16_t v = 0xFFFF;
  EXPECT_TRUE(c.Write(0x04, 2, &v));
  EXPECT_EQ(c.command(), 0x0546);
  EXPECT_TRUE(c.bus_master());
  EXPECT_EQ(R32(c, 0x00), 0x5a511d1du);  // read-only ids untouched by writes
  W32(c, 0x00, 0);
  EXPECT_EQ(R32(c, 0x00), 0x5a511d1du);
}

TEST(PciConfigSpaceTest, PowerOnResetUnassignsBar0AndAllOnesAnswersEverything) {
  PciConfigSpace c = Make();
  W32(c, 0x04, 0x0406);
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
