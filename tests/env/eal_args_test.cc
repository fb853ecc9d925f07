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

size_t Count(const std::vector<std::string> &args, const std::string &a)
{
	return (size_t)std::count(args.begin(), args.end(), a);
}

/* The value following an option, or "" when absent. */
std::string After(const std::vector<std::string> &args, const std::string &opt)
{
	auto it = std::find(args.begin(), args.end(), opt);
	return it == args.end() || it + 1 == args.end() ? "" : *(it + 1);
}

/* Every option of `want` is present once and none of `absent`. */
void ExpectOptions(const std::vector<std::string> &args, std::initializer_list<const char *> want,
		   std::initializer_list<const char *> absent)
{
	for (const char *a : want) {
		EXPECT_EQ(Count(args, a), 1u) << a;
	}
	for (const char *a : absent) {
		EXPECT_EQ(Count(args, a), 0u) << a;
	}
}

TEST(EalArgs, DriverStartWithAndWithoutHugepages)
{
	/* The options the device layer gives when it starts the worker. */
	spdk_pci_addr addr = {0, 0x00, 0x04, 0};
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.name = "nvme_addon";
	opts.shm_id = 7;
	opts.mem_size = 1024;
	opts.unlink_hugepage = true;
	opts.num_pci_addr = 1;
	opts.pci_whitelist = &addr;
	opts.core_mask = "24";
	opts.master_core = 2;
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{true, 4242});
	ASSERT_FALSE(args.empty());
	EXPECT_EQ(args[0], "nvme_addon");
	EXPECT_EQ(After(args, "-c"), "24");
	EXPECT_EQ(After(args, "-m"), "1024");
	EXPECT_EQ(After(args, "-a"), "0000:00:04.0");
	ExpectOptions(args, {"-a", "--main-lcore=2", "--file-prefix=spdk7", "--proc-type=auto", "--huge-unlink"},
		      {"--no-huge", "--no-pci", "--iova-mode=va"});

	/* Without hugepages: anonymous memory, IOVA as VA, and no hugepage options. */
	addr = {0x10, 0xab, 0x1f, 7};
	args = BuildEalArgs(opts, EalHost{false, 4242});
	EXPECT_EQ(After(args, "-a"), "0010:ab:1f.7");
	ExpectOptions(args, {"--no-huge", "--iova-mode=va", "--no-shconf", "--file-prefix=spdk7"},
		      {"--huge-unlink", "--proc-type=auto"});
}

TEST(EalArgs, DefaultsAndPrivatePrefix)
{
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{true, 4242});
	EXPECT_EQ(After(args, "-c"), "0x1");
	ExpectOptions(args, {"--file-prefix=spdk_pid4242"}, {"--proc-type=auto", "-a", "-m"});
	for (const std::string &a : args) {
		EXPECT_NE(a.rfind("--main-lcore", 0), 0u) << "no main core asked for";
	}
}

TEST(EalArgs, PciSelectionAndExtraArguments)
{
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.no_pci = true;
	spdk_pci_addr list[2] = {{0, 1, 2, 3}, {0, 4, 5, 6}};
	opts.pci_whitelist = list;
	opts.num_pci_addr = 2;
	ExpectOptions(BuildEalArgs(opts, EalHost{false, 1}), {"--no-pci"}, {"-a"}); /* no scan overrides the list */

	opts.no_pci = false;
	std::vector<std::string> args = BuildEalArgs(opts, EalHost{false, 1});
	EXPECT_EQ(Count(args, "-a"), 2u);
	ExpectOptions(args, {"0000:01:02.3", "0000:04:05.6"}, {"-b"});

	opts.pci_whitelist = nullptr;
	opts.pci_blacklist = list;
	args = BuildEalArgs(opts, EalHost{false, 1});
	EXPECT_EQ(Count(args, "-b"), 2u);
	EXPECT_EQ(Count(args, "-a"), 0u);

	opts.pci_whitelist = list; /* both lists, or a count without a list */
	EXPECT_THROW(BuildEalArgs(opts, EalHost{false, 1}), std::invalid_argument);
	opts.pci_whitelist = nullptr;
	opts.pci_blacklist = nullptr;
	EXPECT_THROW(BuildEalArgs(opts, EalHost{false, 1}), std::invalid_argument);

	/* Extra arguments are split on blanks and come last. */
	opts.num_pci_addr = 0;
	char extra[] = "--vdev=net_null0  --log-level=lib.eal:8";
	opts.env_context = extra;
	args = BuildEalArgs(opts, EalHost{false, 1});
	ASSERT_GE(args.size(), 2u);
	EXPECT_EQ(args[args.size() - 2], "--vdev=net_null0");
	EXPECT_EQ(args.back(), "--log-level=lib.eal:8");
}

}  // namespace
