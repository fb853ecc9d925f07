/* The PCI layer over software functions: registry, attach, claim, config space, BAR0 mapping and removal. */
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "env_fixture.h"
#include "spdk/env.h"
#include "spdk/pci_ids.h"

namespace {

constexpr uint64_t kBarSize = 16 * 1024;

/* A function with a plain 4 KiB config space and BAR0 in a memfd. */
class FakeFunction {
public:
	explicit FakeFunction(spdk_pci_addr addr, uint32_t class_id = SPDK_PCI_CLASS_NVME, uint64_t bar_size = kBarSize)
	{
		memset(cfg_, 0, sizeof(cfg_));
		put16(0x00, 0x1b36);
		put16(0x02, 0x0010);
		put32(0x08, class_id << 8);
		put16(0x2c, 0x1af4);
		put16(0x2e, 0x1100);
		fd_ = memfd_create("kyt_fake_bar0", MFD_CLOEXEC);
		if (fd_ >= 0 && ftruncate(fd_, (off_t)bar_size) != 0) {
			close(fd_);
			fd_ = -1;
		}
		memset(&desc_, 0, sizeof(desc_));
		desc_.addr = addr;
		desc_.id = {class_id, 0x1b36, 0x0010, 0x1af4, 0x1100};
		desc_.bar0_fd = fd_;
		desc_.bar0_size = bar_size;
		desc_.bar0_phys = bar_size > kBarSize ? 0xfe000000 : 0xfebf0000;
		desc_.ops.cfg_read = [](void *ctx, void *value, uint32_t len, uint32_t offset) {
			auto *self = static_cast<FakeFunction *>(ctx);
			self->reads_.push_back({offset, len});
			memcpy(value, self->cfg_ + offset, len);
			return 0;
		};
		desc_.ops.cfg_write = [](void *ctx, const void *value, uint32_t len, uint32_t offset) {
			auto *self = static_cast<FakeFunction *>(ctx);
			self->writes_.push_back({offset, len});
			memcpy(self->cfg_ + offset, value, len);
			return 0;
		};
		desc_.ctx = this;
	}
	~FakeFunction()
	{
		kyt_swdev_unregister(&desc_.addr);
		if (fd_ >= 0) {
			close(fd_);
		}
	}

	int Register()
	{
		return kyt_swdev_register(&desc_);
	}
	const spdk_pci_addr &addr() const
	{
		return desc_.addr;
	}
	spdk_pci_addr *mutable_addr()
	{
		return &desc_.addr;
	}
	int fd() const
	{
		return fd_;
	}
	kyt_swdev_desc &desc()
	{
		return desc_;
	}
	uint8_t *cfg()
	{
		return cfg_;
	}

	struct Access {
		uint32_t offset, len;
	};
	std::vector<Access> reads_, writes_;

private:
	void put16(uint32_t off, uint16_t v)
	{
		memcpy(cfg_ + off, &v, 2);
	}
	void put32(uint32_t off, uint32_t v)
	{
		memcpy(cfg_ + off, &v, 4);
	}
	uint8_t cfg_[4096];
	int fd_ = -1;
	kyt_swdev_desc desc_;
};

/* Addresses private to this process, so that test processes running side by side never meet. */
spdk_pci_addr TestAddr(uint8_t dev)
{
	return spdk_pci_addr{0x7000u + (uint32_t)(getpid() & 0xfff), 0x42, dev, 0};
}

struct AttachResult {
	spdk_pci_device *dev = nullptr;
	int calls = 0;
	int answer = 0;
};

int KeepOrSkip(void *ctx, spdk_pci_device *dev)
{
	auto *r = static_cast<AttachResult *>(ctx);
	++r->calls;
	r->dev = dev;
	return r->answer;
}

int Attach(spdk_pci_addr addr, AttachResult *r)
{
	return spdk_pci_device_attach(spdk_pci_nvme_get_driver(), KeepOrSkip, r, &addr);
}

TEST(SwDev, RegistryRegisterDuplicateUnregister)
{
	FakeFunction f(TestAddr(1));
	ASSERT_GE(f.fd(), 0);
	EXPECT_FALSE(kyt_swdev_present(&f.addr()));
	ASSERT_EQ(f.Register(), 0);
	EXPECT_TRUE(kyt_swdev_present(&f.addr()));
	EXPECT_EQ(f.Register(), -EEXIST);
	ASSERT_EQ(kyt_swdev_unregister(f.mutable_addr()), 0);
	EXPECT_FALSE(kyt_swdev_present(&f.addr()));
	EXPECT_EQ(kyt_swdev_unregister(f.mutable_addr()), -ENOENT);
	EXPECT_EQ(f.Register(), 0) << "the address is free again";

	kyt_swdev_desc bad = f.desc();
	bad.addr = TestAddr(2);
	bad.bar0_fd = -1;
	EXPECT_EQ(kyt_swdev_register(&bad), -EINVAL);
	bad = f.desc();
	bad.addr = TestAddr(2);
	bad.ops.cfg_read = nullptr;
	EXPECT_EQ(kyt_swdev_register(&bad), -EINVAL);
	bad = f.desc();
	bad.addr = TestAddr(2);
	bad.addr.dev = 0x20;
	EXPECT_EQ(kyt_swdev_register(&bad), -EINVAL);
	EXPECT_EQ(kyt_swdev_register(nullptr), -EINVAL);
}

TEST(SwDev, AttachByAddressOffersTheDeviceOnce)
{
	FakeFunction f(TestAddr(3));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	ASSERT_EQ(r.calls, 1);
	ASSERT_NE(r.dev, nullptr);
	spdk_pci_addr got = spdk_pci_device_get_addr(r.dev);
	EXPECT_EQ(spdk_pci_addr_compare(&got, &f.addr()), 0);
	spdk_pci_id id = spdk_pci_device_get_id(r.dev);
	EXPECT_EQ(id.class_id, (uint32_t)SPDK_PCI_CLASS_NVME);
	EXPECT_EQ(id.vendor_id, 0x1b36);
	EXPECT_EQ(id.device_id, 0x0010);
	EXPECT_EQ(id.subvendor_id, 0x1af4);
	EXPECT_EQ(id.subdevice_id, 0x1100);
	EXPECT_EQ(spdk_pci_device_get_vendor_id(r.dev), 0x1b36);
	EXPECT_FALSE(spdk_pci_device_is_removed(r.dev));

	AttachResult second;
	EXPECT_EQ(Attach(f.addr(), &second), -EBUSY) << "one attachment at a time";
	EXPECT_EQ(second.calls, 0);

	spdk_pci_device_detach(r.dev);
	AttachResult third;
	EXPECT_EQ(Attach(f.addr(), &third), 0) << "attachable again after the detach";
	spdk_pci_device_detach(third.dev);
}

TEST(SwDev, AttachFailures)
{
	AttachResult r;
	EXPECT_EQ(Attach(TestAddr(9), &r), -ENODEV) << "nothing at that address";
	EXPECT_EQ(r.calls, 0);

	FakeFunction net(TestAddr(4), 0x020000);
	ASSERT_EQ(net.Register(), 0);
	EXPECT_EQ(Attach(net.addr(), &r), -ENODEV) << "not an NVMe controller";
	EXPECT_EQ(r.calls, 0);

	FakeFunction f(TestAddr(5));
	ASSERT_EQ(f.Register(), 0);
	r.answer = 1;
	EXPECT_EQ(Attach(f.addr(), &r), 1) << "the callback's answer is the result";
	EXPECT_EQ(r.calls, 1);
	r.answer = 0;
	EXPECT_EQ(Attach(f.addr(), &r), 0) << "a skipped device is not left attached";
	spdk_pci_device_detach(r.dev);

	/* A callback that fails after releasing the device itself (as a failed controller construction does). */
	spdk_pci_addr a = f.addr();
	int rc = spdk_pci_device_attach(
		spdk_pci_nvme_get_driver(),
		[](void *, spdk_pci_device *dev) {
			void *bar;
			uint64_t phys, size;
			spdk_pci_device_map_bar(dev, 0, &bar, &phys, &size);
			spdk_pci_device_detach(dev);
			return -1;
		},
		nullptr, &a);
	EXPECT_EQ(rc, -1);
	EXPECT_EQ(Attach(f.addr(), &r), 0) << "the failed attach left nothing behind";
	spdk_pci_device_detach(r.dev);
	EXPECT_EQ(spdk_pci_device_attach(spdk_pci_nvme_get_driver(), nullptr, nullptr, &a), -EINVAL);
}

TEST(SwDev, ConfigSpaceReachesTheCallbacks)
{
	FakeFunction f(TestAddr(6));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	spdk_pci_device *dev = r.dev;
	f.reads_.clear();

	uint32_t v32 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 0), 0);
	EXPECT_EQ(v32, 0x00101b36u);
	uint16_t v16 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read16(dev, &v16, 0x2c), 0);
	EXPECT_EQ(v16, 0x1af4);
	uint8_t v8 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read8(dev, &v8, 0x0b), 0);
	EXPECT_EQ(v8, 0x01);
	ASSERT_EQ(f.reads_.size(), 3u);
	EXPECT_EQ(f.reads_[1].offset, 0x2cu);
	EXPECT_EQ(f.reads_[1].len, 2u);

	ASSERT_EQ(spdk_pci_device_cfg_write32(dev, 0xfebf0000, 0x10), 0);
	ASSERT_EQ(spdk_pci_device_cfg_write16(dev, 0x0406, 0x04), 0);
	ASSERT_EQ(spdk_pci_device_cfg_write8(dev, 0x5a, 0xfff), 0);
	ASSERT_EQ(f.writes_.size(), 3u);
	EXPECT_EQ(f.writes_[0].offset, 0x10u);
	EXPECT_EQ(f.writes_[0].len, 4u);
	uint32_t bar;
	memcpy(&bar, f.cfg() + 0x10, 4);
	EXPECT_EQ(bar, 0xfebf0000u);
	EXPECT_EQ(f.cfg()[0xfff], 0x5a);
	ASSERT_EQ(spdk_pci_device_cfg_read16(dev, &v16, 0x04), 0);
	EXPECT_EQ(v16, 0x0406);

	/* Out of the 4 KiB space, or odd widths: refused before any callback. */
	const size_t before = f.reads_.size() + f.writes_.size();
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 4094), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_write16(dev, 1, 4095), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_read8(dev, &v8, 4096), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_read(dev, &v32, 3, 0), -EINVAL);
	EXPECT_EQ(f.reads_.size() + f.writes_.size(), before);

	/* Unregistered under the driver: the handle stays, config access fails, later attaches find nothing. */
	ASSERT_EQ(kyt_swdev_unregister(f.mutable_addr()), 0);
	EXPECT_TRUE(spdk_pci_device_is_removed(dev));
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 0), -ENODEV);
	EXPECT_EQ(spdk_pci_device_cfg_write32(dev, 0, 0x10), -ENODEV);
	EXPECT_EQ(f.reads_.size() + f.writes_.size(), before);
	AttachResult later;
	EXPECT_EQ(Attach(f.addr(), &later), -ENODEV);

	/* Back on the bus (power restored) while the stale handle is still held: a fresh attach works. */
	ASSERT_EQ(f.Register(), 0);
	EXPECT_EQ(Attach(f.addr(), &later), 0);
	EXPECT_TRUE(spdk_pci_device_is_removed(dev));
	spdk_pci_device_detach(dev);
	spdk_pci_device_detach(later.dev);
}

TEST(SwDev, Bar0MappingSharesTheMemoryOfTheDescriptor)
{
	FakeFunction f(TestAddr(7));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	void *bar = nullptr;
	uint64_t phys = 0, size = 0;
	ASSERT_EQ(spdk_pci_device_map_bar(r.dev, 0, &bar, &phys, &size), 0);
	ASSERT_NE(bar, nullptr);
	EXPECT_EQ(phys, 0xfebf0000u);
	EXPECT_EQ(size, kBarSize);

	/* Device side writes (the fd) are seen through the mapping, and driver side writes reach the fd. */
	const uint32_t vs = 0x00010400;
	ASSERT_EQ(pwrite(f.fd(), &vs, 4, 8), 4);
	EXPECT_EQ(static_cast<volatile uint32_t *>(bar)[2], vs);
	static_cast<volatile uint32_t *>(bar)[5] = 0x460001;
	uint32_t cc = 0;
	ASSERT_EQ(pread(f.fd(), &cc, 4, 0x14), 4);
	EXPECT_EQ(cc, 0x460001u);

	void *bar2 = nullptr;
	EXPECT_EQ(spdk_pci_device_map_bar(r.dev, 1, &bar2, &phys, &size), -EINVAL) << "software functions have BAR0 only";
	EXPECT_EQ(spdk_pci_device_unmap_bar(r.dev, 0, static_cast<char *>(bar) + 4096), -EINVAL);
	EXPECT_EQ(spdk_pci_device_unmap_bar(r.dev, 0, bar), 0);
	EXPECT_EQ(spdk_pci_device_unmap_bar(r.dev, 0, bar), -EINVAL) << "already unmapped";
	spdk_pci_device_detach(r.dev);
}

TEST(SwDev, RegisteredBarMemoryTranslatesToTheBusAddress)
{
	KYT_REQUIRE_ENV();
	/* As the driver registers a controller memory buffer: the 2 MiB-aligned inner part of a mapped BAR. */
	constexpr uint64_t k2M = 2ull << 20;
	FakeFunction f(TestAddr(13), SPDK_PCI_CLASS_NVME, 8 * k2M);
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	void *bar = nullptr;
	uint64_t phys = 0, size = 0;
	ASSERT_EQ(spdk_pci_device_map_bar(r.dev, 0, &bar, &phys, &size), 0);
	uint8_t *inner = reinterpret_cast<uint8_t *>(((uintptr_t)bar + k2M - 1) & ~(uintptr_t)(k2M - 1));
	const uint64_t len = 4 * k2M;
	EXPECT_EQ(spdk_vtophys(inner, nullptr), SPDK_VTOPHYS_ERROR) << "not before registration";
	ASSERT_EQ(spdk_mem_register(inner, len), 0);

	void *probe = spdk_dma_zmalloc(64, 64, nullptr);
	const bool va = spdk_vtophys(probe, nullptr) == (uint64_t)(uintptr_t)probe;
	spdk_dma_free(probe);
	const uint64_t offset = (uint64_t)(inner - static_cast<uint8_t *>(bar));
	const uint64_t want = va ? (uint64_t)(uintptr_t)inner : phys + offset;
	uint64_t contig = len;
	EXPECT_EQ(spdk_vtophys(inner, &contig), want);
	EXPECT_EQ(contig, len);
	EXPECT_EQ(spdk_vtophys(inner + 3 * k2M + 100, nullptr), want + 3 * k2M + 100);

	/* The device side resolves the bus address back into the same shared memory. */
	uint8_t *seen = static_cast<uint8_t *>(kyt_env_iova_to_vaddr(want + k2M + 8, 16));
	ASSERT_NE(seen, nullptr);
	inner[k2M + 8] = 0x3C;
	EXPECT_EQ(seen[0], 0x3C);
	uint8_t byte = 0;
	ASSERT_EQ(pread(f.fd(), &byte, 1, (off_t)(offset + k2M + 8)), 1);
	EXPECT_EQ(byte, 0x3C);

	ASSERT_EQ(spdk_mem_unregister(inner, len), 0);
	EXPECT_EQ(kyt_env_iova_to_vaddr(want + k2M + 8, 16), nullptr);
	EXPECT_EQ(spdk_pci_device_unmap_bar(r.dev, 0, bar), 0);
	spdk_pci_device_detach(r.dev);
}

TEST(SwDev, VanishedBarRaisesSigbus)
{
	FakeFunction f(TestAddr(8));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	void *bar = nullptr;
	uint64_t phys = 0, size = 0;
	ASSERT_EQ(spdk_pci_device_map_bar(r.dev, 0, &bar, &phys, &size), 0);
	EXPECT_EXIT(
		{
			struct sigaction sa;
			memset(&sa, 0, sizeof(sa));
			sa.sa_handler = [](int) { _exit(77); };
			sigaction(SIGBUS, &sa, nullptr);
			if (ftruncate(f.fd(), 0) != 0) {
				_exit(1);
			}
			(void)static_cast<volatile uint32_t *>(bar)[0];
			_exit(0);
		},
		::testing::ExitedWithCode(77), "");
	spdk_pci_device_unmap_bar(r.dev, 0, bar);
	spdk_pci_device_detach(r.dev);
}

TEST(SwDev, ClaimIsExclusiveBetweenProcesses)
{
	spdk_pci_addr a = TestAddr(10);
	int fd = spdk_pci_device_claim(&a);
	ASSERT_GE(fd, 0);
	auto claim_in_child = [&a]() {
		pid_t pid = fork();
		if (pid == 0) {
			int rc = spdk_pci_device_claim(&a);
			_exit(rc >= 0 ? 0 : (rc == -EACCES ? 13 : 1));
		}
		int status = 0;
		waitpid(pid, &status, 0);
		return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	};
	testing::internal::CaptureStdout();
	EXPECT_EQ(claim_in_child(), 13) << "held by this process";
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_NE(out.find("probably process " + std::to_string(getpid()) + " has claimed it"), std::string::npos) << out;
	close(fd);
	EXPECT_EQ(claim_in_child(), 0) << "closing the descriptor releases the claim";
	char name[SPDK_PCI_ADDR_FMT_LEN];
	spdk_pci_addr_fmt(name, sizeof(name), &a);
	unlink((std::string("/var/tmp/spdk_pci_lock_") + name).c_str());
}

TEST(SwDev, AllowListOfTheStartLimitsAttach)
{
	KYT_REQUIRE_FRESH_PROCESS();
	FakeFunction allowed(TestAddr(11));
	FakeFunction other(TestAddr(12));
	ASSERT_EQ(allowed.Register(), 0);
	ASSERT_EQ(other.Register(), 0);

	/* Started the way the device layer starts it: one allowed address. */
	spdk_pci_addr list[1] = {allowed.addr()};
	spdk_env_opts opts;
	spdk_env_opts_init(&opts);
	opts.name = "nvme_addon";
	opts.mem_size = 256;
	opts.unlink_hugepage = true;
	opts.num_pci_addr = 1;
	opts.pci_whitelist = list;
	opts.core_mask = "1";
	opts.master_core = 0;
	testing::internal::CaptureStdout();
	int rc = spdk_env_init(&opts);
	std::string out = testing::internal::GetCapturedStdout();
	ASSERT_EQ(rc, 0) << out;
	char name[SPDK_PCI_ADDR_FMT_LEN];
	spdk_pci_addr_fmt(name, sizeof(name), &list[0]);
	EXPECT_NE(out.find(std::string("-a ") + name), std::string::npos) << out;

	AttachResult r;
	testing::internal::CaptureStdout();
	EXPECT_EQ(Attach(other.addr(), &r), -EPERM);
	testing::internal::GetCapturedStdout();
	EXPECT_EQ(r.calls, 0);
	ASSERT_EQ(Attach(allowed.addr(), &r), 0);
	spdk_pci_device_detach(r.dev);
}

}  // namespace
