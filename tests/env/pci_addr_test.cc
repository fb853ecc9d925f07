/* PCI address texts. */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>

#include "spdk/env.h"

namespace {

std::string Parse(const char *text)
{
	spdk_pci_addr a;
	memset(&a, 0xEE, sizeof(a));
	char buf[SPDK_PCI_ADDR_FMT_LEN];
	if (spdk_pci_addr_parse(&a, text) != 0 || spdk_pci_addr_fmt(buf, sizeof(buf), &a) != 0) {
		return "error";
	}
	return buf;
}

TEST(PciAddr, ParsesEveryFormItAcceptsAndNothingElse)
{
	const std::pair<const char *, const char *> cases[] = {
		{"0001:AB:1f.7", "0001:ab:1f.7"}, {"0000.81.00.1", "0000:81:00.1"}, {"81:00.1", "0000:81:00.1"},
		{"0002:03:04", "0002:03:04.0"},   {"0002.03.04", "0002:03:04.0"},   {"3.4", "0000:03:04.0"},
		{"", "error"},			  {"0000:00:04.", "error"},	    {"0000:00:04.8", "error"},
		{"0000:00:20.0", "error"},	  {"0000:100:00.0", "error"},	    {"0000:00:04.0 ", "error"},
		{"0000:00:04.0.0", "error"},	  {"0000:00.04:0", "error"},	    {"zz:00.0", "error"},
		{"0000::04.0", "error"},	  {"-1:00.0", "error"},		    {"123456789:00:00.0", "error"}};
	for (const auto &c : cases) {
		EXPECT_EQ(Parse(c.first), c.second) << "'" << c.first << "'";
	}
}

TEST(PciAddr, CompareOrdersByDomainBusDeviceFunction)
{
	/* Each address ranks below the next: function, then device, bus and domain outrank what follows them. */
	const spdk_pci_addr order[] = {{0, 1, 2, 3}, {0, 1, 2, 4}, {0, 1, 3, 0}, {0, 2, 0, 0}, {1, 0, 0, 0}};
	for (size_t i = 0; i < 4; ++i) {
		EXPECT_EQ(spdk_pci_addr_compare(&order[i], &order[i]), 0);
		EXPECT_LT(spdk_pci_addr_compare(&order[i], &order[i + 1]), 0) << i;
		EXPECT_GT(spdk_pci_addr_compare(&order[i + 1], &order[i]), 0) << i;
	}
}

}  // namespace
