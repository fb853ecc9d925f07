/* The DPDK start arguments built from the environment options. */
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "eal_args.h"

namespace {

using kyt::env::BuildEalArgs;
using kyt::env::EalHost;

bool Has(const std::vector<std::string> &args, const std::string &a)
{
	return std::find(args.begin(), args.end(), a) != args.end();
}

/* The value following an option, or "" when absent. */
std::string After(const std::vector<std::string> &args, const std::string &opt)
{
	auto it = std::find(args.begin(), args.end(), opt);
	return it == args.end() || it + 1 == args.end() ? "" : *(it + 1);
}

/* The options the device layer gives when it starts the worker. */
spdk_env_opts DriverOpts(spdk_pci_addr *allowed)
{
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.name = "nvme_addon";
	opts.shm_id = 7;
	opts.mem_size = 1024;
	opts.unlink_hugepage = true;
	opts.num_pci_addr = 1;
	opts.pci_whitelist = allowed;
	opts.core_mask = "24";
	opts.master_core = 2;
	return opts;
}

TEST(EalArgs, DriverStartWithHugepages)
{
	spdk_pci_addr addr = {0, 0x00, 0x04, 0};
	spdk_env_opts opts = DriverOpts(&addr);
	EalHost host{true, 4242};
	std::vector<std::string> args = BuildEalArgs(opts, host);
	ASSERT_FALSE(args.empty());
	EXPECT_EQ(args[0], "nvme_addon");
	EXPECT_EQ(After(args, "-c"), "24");
	EXPECT_TRUE(Has(args, "--main-lcore=2"));
	EXPECT_EQ(After(args, "-m"), "1024");
	EXPECT_EQ(After(args, "-a"), "0000:00:04.0");
	EXPECT_TRUE(Has(args, "--file-prefix=spdk7"));
	EXPECT_TRUE(Has(args, "--proc-type=auto"));
	EXPECT_TRUE(Has(args, "--huge-unlink"));
	EXPECT_FALSE(Has(args, "--no-huge"));
	EXPECT_FALSE(Has(args, "--no-pci"));
	EXPECT_FALSE(Has(args, "--iova-mode=va"));
	EXPECT_EQ(std::count(args.begin(), args.end(), "-a"), 1);
}

TEST(EalArgs, NoHugepagesRunsAnonymousAndIovaAsVa)
{
	spdk_pci_addr addr = {0x10, 0xab, 0x1f, 7};
	spdk_env_opts opts = DriverOpts(&addr);
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{false, 4242});
	EXPECT_TRUE(Has(args, "--no-huge"));
	EXPECT_TRUE(Has(args, "--iova-mode=va"));
	EXPECT_TRUE(Has(args, "--no-shconf"));
	EXPECT_FALSE(Has(args, "--huge-unlink")) << "hugepage options make no sense without hugepages";
	EXPECT_FALSE(Has(args, "--proc-type=auto"));
	EXPECT_TRUE(Has(args, "--file-prefix=spdk7"));
	EXPECT_EQ(After(args, "-a"), "0010:ab:1f.7");
}

TEST(EalArgs, DefaultsAndPrivatePrefix)
{
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	EXPECT_EQ(opts.shm_id, -1);
	EXPECT_EQ(opts.master_core, -1);
	EXPECT_FALSE(opts.no_pci);
	EXPECT_EQ(opts.num_pci_addr, 0u);
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{true, 4242});
	EXPECT_TRUE(Has(args, "--file-prefix=spdk_pid4242"));
	EXPECT_FALSE(Has(args, "--proc-type=auto"));
	EXPECT_EQ(After(args, "-c"), "0x1");
	EXPECT_FALSE(Has(args, "-a"));
	EXPECT_FALSE(Has(args, "-m")) << "no memory size asked for";
	for (const std::string &a : args) {
		EXPECT_NE(a.rfind("--main-lcore", 0), 0u) << "no main core asked for";
	}
}

TEST(EalArgs, PciSelection)
{
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.no_pci = true;
	spdk_pci_addr list[2] = {{0, 1, 2, 3}, {0, 4, 5, 6}};
	opts.pci_whitelist = list;
	opts.num_pci_addr = 2;
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{false, 1});
	EXPECT_TRUE(Has(args, "--no-pci"));
	EXPECT_FALSE(Has(args, "-a")) << "no PCI scan overrides the allow-list";

	opts.no_pci = false;
	args = BuildEalArgs(opts, EalHost{false, 1});
	EXPECT_EQ(std::count(args.begin(), args.end(), "-a"), 2);
	EXPECT_TRUE(Has(args, "0000:01:02.3"));
	EXPECT_TRUE(Has(args, "0000:04:05.6"));

	opts.pci_whitelist = nullptr;
	opts.pci_blacklist = list;
	args = BuildEalArgs(opts, EalHost{false, 1});
	EXPECT_EQ(std::count(args.begin(), args.end(), "-b"), 2);
	EXPECT_FALSE(Has(args, "-a"));

	opts.pci_whitelist = list;
	EXPECT_THROW(BuildEalArgs(opts, EalHost{false, 1}), std::invalid_argument);
	opts.pci_whitelist = nullptr;
	opts.pci_blacklist = nullptr;
	EXPECT_THROW(BuildEalArgs(opts, EalHost{false, 1}), std::invalid_argument);
}

TEST(EalArgs, ExtraArgumentsAreSplitOnBlanks)
{
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	char extra[] = "--vdev=net_null0  --log-level=lib.eal:8";
	opts.env_context = extra;
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{false, 1});
	ASSERT_GE(args.size(), 2u);
	EXPECT_EQ(args[args.size() - 2], "--vdev=net_null0");
	EXPECT_EQ(args.back(), "--log-level=lib.eal:8");
}

}  // namespace
