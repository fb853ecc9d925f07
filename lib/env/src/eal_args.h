/* The DPDK start arguments built from the environment options: a pure function, so that it can be checked alone. */
#ifndef KYT_ENV_EAL_ARGS_H
#define KYT_ENV_EAL_ARGS_H

#include <string>
#include <vector>

#include "spdk/env.h"

namespace kyt::env {

struct EalHost {
	bool hugepages_mounted = false; /* a hugetlbfs is mounted and may be used */
	int pid = 0;                    /* this process, for a private file prefix */
};

/* argv for rte_eal_init (argv[0] is the name). Throws std::invalid_argument for options that cannot be expressed. */
std::vector<std::string> BuildEalArgs(const spdk_env_opts &opts, const EalHost &host);

}  // namespace kyt::env

#endif
