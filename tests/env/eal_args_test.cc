/* The DPDK start arguments built from the environment options. */
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "eal_args.h"

namespace {

using kyt::env::BuildEalArgs;
using kyt::env::EalHost;

/* Checks that each of `want` is among the arguments (as one text, each followed by a blank) and none of `absent`. */
std::string Expect(const spdk_env_opts &opts, EalHost host, std::initializer_list<const char *> want,
		   std::initializer_list<const char *> absent)
{
	std::string text = " ";
	for (const std::string &a : BuildEalArgs(opts, host)) {
		text += a + " ";
	}
	for (const char *a : want) {
		EXPECT_NE(text.find(std::string(" ") + a + " "), std::string::npos) << a << " in " << text;
	}
	for (const char *a : absent) {
		EXPECT_EQ(text.find(std::string(" ") + a), std::string::npos) << a << " in " << text;
	}
	return text;
}

TEST(EalArgs, DriverStartWithAndWithoutHugepagesAndDefaults)
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
	std::string text = Expect(opts, EalHost{true, 4242}, {"--file-prefix=spdk7", "--proc-type=auto", "--huge-unlink"},
				  {"--no-huge", "--no-pci", "--iova-mode=va"});
	EXPECT_EQ(text.rfind(" nvme_addon -c 24 --main-lcore=2 -m 1024 -a 0000:00:04.0 ", 0), 0u) << text;
	/* Without hugepages: anonymous memory, IOVA as VA, and no hugepage options. */
	addr = {0x10, 0xab, 0x1f, 7};
	Expect(opts, EalHost{false, 4242},
	       {"0010:ab:1f.7", "--no-huge", "--iova-mode=va", "--no-shconf", "--file-prefix=spdk7"},
	       {"--huge-unlink", "--proc-type=auto"});
	opts.pci_whitelist = nullptr; /* a count without a list */
	EXPECT_THROW(BuildEalArgs(opts, EalHost{false, 1}), std::invalid_argument);
	spdk_env_opts_init(&opts);
	Expect(opts, EalHost{true, 4242}, {"-c 0x1", "--file-prefix=spdk_pid4242"},
	       {"--proc-type=auto", "-a", "-m", "--main-lcore"});
}

}  // namespace
