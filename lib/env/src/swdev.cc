/* Software PCI functions: registered by tests, found by the PCI layer exactly like real devices. */
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "pci_device.h"
#include "spdk/log.h"

namespace kyt::env {
namespace {

uint64_t addr_key(const spdk_pci_addr &a)
{
	return ((uint64_t)a.domain << 24) | ((uint64_t)a.bus << 16) | ((uint64_t)a.dev << 8) | a.func;
}

std::mutex g_lock;
std::map<uint64_t, std::shared_ptr<SwFunction>> &functions()
{
	static auto *m = new std::map<uint64_t, std::shared_ptr<SwFunction>>();
	return *m;
}

class SwBackend final : public PciBackend {
public:
	explicit SwBackend(std::shared_ptr<SwFunction> fn) : fn_(std::move(fn)) {}

	int cfg_read(void *value, uint32_t len, uint32_t offset) override
	{
		return cfg_access(fn_->desc.ops.cfg_read, value, len, offset);
	}

	int cfg_write(const void *value, uint32_t len, uint32_t offset) override
	{
		return cfg_access(fn_->desc.ops.cfg_write, value, len, offset);
	}

	int map_bar(uint32_t bar, void **addr, uint64_t *phys, uint64_t *size) override
	{
		if (bar != 0 || fn_->desc.bar0_size == 0) {
			return -EINVAL;
		}
		void *p = mmap(nullptr, fn_->desc.bar0_size, PROT_READ | PROT_WRITE, MAP_SHARED, fn_->desc.bar0_fd, 0);
		if (p == MAP_FAILED) {
			return -errno;
		}
		*addr = p;
		*phys = fn_->desc.bar0_phys;
		*size = fn_->desc.bar0_size;
		return 0;
	}

	bool removed() const override
	{
		std::lock_guard<std::recursive_mutex> guard(fn_->cfg_lock);
		return !fn_->present;
	}

private:
	/* One config-space access through the function's callback (registration makes sure it has both), under its
	 * config lock: -ENODEV once the function is removed. */
	template <class Value>
	int cfg_access(int (*op)(void *, Value, uint32_t, uint32_t), Value value, uint32_t len, uint32_t offset)
	{
		std::lock_guard<std::recursive_mutex> guard(fn_->cfg_lock);
		if (!fn_->present) {
			return -ENODEV;
		}
		return op(fn_->desc.ctx, value, len, offset);
	}

	std::shared_ptr<SwFunction> fn_;
};

}  // namespace

SwFunction::~SwFunction()
{
	if (desc.bar0_fd >= 0) {
		close(desc.bar0_fd);
	}
}

std::shared_ptr<SwFunction> swdev_find(const spdk_pci_addr &addr)
{
	std::lock_guard<std::mutex> guard(g_lock);
	auto it = functions().find(addr_key(addr));
	return it != functions().end() ? it->second : nullptr;
}

std::unique_ptr<PciBackend> make_sw_backend(std::shared_ptr<SwFunction> fn)
{
	return std::make_unique<SwBackend>(std::move(fn));
}

}  // namespace kyt::env

using namespace kyt::env;

extern "C" {

int kyt_swdev_register(const struct kyt_swdev_desc *desc)
{
	if (desc == nullptr || desc->addr.dev > 0x1F || desc->addr.func > 7 ||
	    desc->bar0_fd < 0 || desc->bar0_size == 0 || desc->ops.cfg_read == nullptr || desc->ops.cfg_write == nullptr) {
		return -EINVAL;
	}
	struct stat st;
	if (fstat(desc->bar0_fd, &st) != 0) {
		return -EINVAL;
	}
	std::lock_guard<std::mutex> guard(g_lock);
	auto &m = functions();
	const uint64_t key = addr_key(desc->addr);
	if (m.count(key) != 0) {
		return -EEXIST;
	}
	auto fn = std::make_shared<SwFunction>();
	fn->desc = *desc;
	/* Our own descriptor: the function stays mappable however the caller manages its own. */
	fn->desc.bar0_fd = fcntl(desc->bar0_fd, F_DUPFD_CLOEXEC, 0);
	if (fn->desc.bar0_fd < 0) {
		return -errno;
	}
	m.emplace(key, std::move(fn));
	return 0;
}

int kyt_swdev_unregister(const struct spdk_pci_addr *addr)
{
	if (addr == nullptr) {
		return -ENOENT;
	}
	std::shared_ptr<SwFunction> fn;
	{
		std::lock_guard<std::mutex> guard(g_lock);
		auto it = functions().find(addr_key(*addr));
		if (it == functions().end()) {
			return -ENOENT;
		}
		fn = std::move(it->second);
		functions().erase(it);
	}
	std::lock_guard<std::recursive_mutex> guard(fn->cfg_lock);
	fn->present = false;
	return 0;
}

bool kyt_swdev_present(const struct spdk_pci_addr *addr)
{
	return addr != nullptr && swdev_find(*addr) != nullptr;
}

}  // extern "C"
