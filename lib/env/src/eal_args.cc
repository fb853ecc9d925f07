#include "eal_args.h"

#include <stdexcept>

namespace kyt::env {

namespace {

std::string fmt_addr(const spdk_pci_addr &a)
{
	char buf[SPDK_PCI_ADDR_FMT_LEN + 8];
	snprintf(buf, sizeof(buf), "%04x:%02x:%02x.%x", a.domain, a.bus, a.dev, a.func);
	return buf;
}

}  // namespace

std::vector<std::string> BuildEalArgs(const spdk_env_opts &opts, const EalHost &host)
{
	std::vector<std::string> args;
	args.emplace_back(opts.name != nullptr && opts.name[0] != '\0' ? opts.name : "kyt");

	if (opts.core_mask != nullptr && opts.core_mask[0] != '\0') {
		args.emplace_back("-c");
		args.emplace_back(opts.core_mask);
	}
	if (opts.master_core >= 0) {
		args.emplace_back("--main-lcore=" + std::to_string(opts.master_core));
	}
	if (opts.mem_channel > 0) {
		args.emplace_back("-n");
		args.emplace_back(std::to_string(opts.mem_channel));
	}
	if (opts.mem_size > 0) {
		args.emplace_back("-m");
		args.emplace_back(std::to_string(opts.mem_size));
	}

	if (opts.no_pci) {
		args.emplace_back("--no-pci");
	} else if (opts.num_pci_addr > 0) {
		if (opts.pci_whitelist != nullptr && opts.pci_blacklist != nullptr) {
			throw std::invalid_argument("an allow-list and a block-list cannot both be given");
		}
		if (opts.pci_whitelist == nullptr && opts.pci_blacklist == nullptr) {
			throw std::invalid_argument("num_pci_addr is set but no address list is given");
		}
		const bool allow = opts.pci_whitelist != nullptr;
		const spdk_pci_addr *list = allow ? opts.pci_whitelist : opts.pci_blacklist;
		for (size_t i = 0; i < opts.num_pci_addr; ++i) {
			args.emplace_back(allow ? "-a" : "-b");
			args.emplace_back(fmt_addr(list[i]));
		}
	}

	if (host.hugepages_mounted) {
		if (opts.hugepage_single_segments) {
			args.emplace_back("--single-file-segments");
		}
		if (opts.unlink_hugepage) {
			args.emplace_back("--huge-unlink");
		}
		if (opts.hugedir != nullptr && opts.hugedir[0] != '\0') {
			args.emplace_back(std::string("--huge-dir=") + opts.hugedir);
		}
		if (opts.shm_id >= 0) {
			args.emplace_back("--file-prefix=spdk" + std::to_string(opts.shm_id));
			args.emplace_back("--proc-type=auto");
		} else {
			args.emplace_back("--file-prefix=spdk_pid" + std::to_string(host.pid));
		}
	} else {
		/* Anonymous memory: no physical addresses, nothing to share with other processes. */
		args.emplace_back("--no-huge");
		args.emplace_back("--iova-mode=va");
		args.emplace_back("--no-shconf");
		if (opts.shm_id >= 0) {
			args.emplace_back("--file-prefix=spdk" + std::to_string(opts.shm_id));
		} else {
			args.emplace_back("--file-prefix=spdk_pid" + std::to_string(host.pid));
		}
	}

	if (opts.base_virtaddr != 0) {
		char buf[32];
		snprintf(buf, sizeof(buf), "0x%llx", (unsigned long long)opts.base_virtaddr);
		args.emplace_back(std::string("--base-virtaddr=") + buf);
	}
	args.emplace_back("--log-level=lib.eal:6");
	args.emplace_back("--no-telemetry");

	if (opts.env_context != nullptr) {
		const std::string extra = static_cast<const char *>(opts.env_context);
		size_t pos = 0;
		while (pos < extra.size()) {
			size_t end = extra.find(' ', pos);
			if (end == std::string::npos) {
				end = extra.size();
			}
			if (end > pos) {
				args.emplace_back(extra.substr(pos, end - pos));
			}
			pos = end + 1;
		}
	}
	return args;
}

}  // namespace kyt::env
