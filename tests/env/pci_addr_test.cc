/* PCI address texts. */
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "spdk/env.h"

namespace {

std::string Fmt(const spdk_pci_addr &a)
{
	char buf[SPDK_PCI_ADDR_FMT_LEN];
	EXPECT_EQ(spdk_pci_addr_fmt(buf, sizeof(buf), &a), 0);
	return buf;
}

std::string Parse(const char *text)
{
	spdk_pci_addr a;
	memset(&a, 0xEE, sizeof(a));
	if (spdk_pci_addr_parse(&a, text) != 0) {
		return "error";
	}
	return Fmt(a);
}

TEST(PciAddr, AcceptedForms)
{
	EXPECT_EQ(Parse("0000:00:04.0"), "0000:00:04.0");
	EXPECT_EQ(Parse("0001:AB:1f.7"), "0001:ab:1f.7");
	EXPECT_EQ(Parse("0000.81.00.1"), "0000:81:00.1");
	EXPECT_EQ(Parse("81:00.1"), "0000:81:00.1");
	EXPECT_EQ(Parse("0002:03:04"), "0002:03:04.0");
	EXPECT_EQ(Parse("0002.03.04"), "0002:03:04.0");
	EXPECT_EQ(Parse("03:04"), "0000:03:04.0");
	EXPECT_EQ(Parse("3.4"), "0000:03:04.0");
}

TEST(PciAddr, RejectedForms)
{
	for (const char *bad : {"", "0000", "0000:00:04.", "0000:00:04.8", "0000:00:20.0", "0000:100:00.0", "0000:00:04.0 ",
				" 0000:00:04.0", "0000:00:04.0.0", "0000:00.04:0", "zz:00.0", "0000::04.0", "0000:00:04.0x",
				"-1:00.0", "123456789:00:00.0", "0000.00:04.0"}) {
		EXPECT_EQ(Parse(bad), "error") << "'" << bad << "'";
	}
	spdk_pci_addr a;
	EXPECT_EQ(spdk_pci_addr_parse(&a, nullptr), -EINVAL);
}

TEST(PciAddr, FormatNeedsRoom)
{
	spdk_pci_addr a = {0, 0, 4, 0};
	char small[12];
	EXPECT_EQ(spdk_pci_addr_fmt(small, sizeof(small), &a), -EINVAL);
	char ok[13];
	EXPECT_EQ(spdk_pci_addr_fmt(ok, sizeof(ok), &a), 0);
	EXPECT_STREQ(ok, "0000:00:04.0");
}

TEST(PciAddr, CompareOrdersByDomainBusDeviceFunction)
{
	spdk_pci_addr a = {0, 1, 2, 3};
	spdk_pci_addr b = a;
	EXPECT_EQ(spdk_pci_addr_compare(&a, &b), 0);
	b.func = 4;
	EXPECT_LT(spdk_pci_addr_compare(&a, &b), 0);
	EXPECT_GT(spdk_pci_addr_compare(&b, &a), 0);
	spdk_pci_addr c = {0, 1, 3, 0};
	EXPECT_LT(spdk_pci_addr_compare(&b, &c), 0) << "device outranks function";
	spdk_pci_addr d = {1, 0, 0, 0};
	EXPECT_LT(spdk_pci_addr_compare(&c, &d), 0) << "domain outranks everything";
	spdk_pci_addr e = {0, 2, 0, 0};
	EXPECT_LT(spdk_pci_addr_compare(&c, &e), 0) << "bus outranks device";
}

}  // namespace
