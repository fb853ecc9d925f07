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
#include "kyt/env.h"
#include "spdk/env.h"
#include "spdk/pci_ids.h"

namespace {

constexpr uint64_t kBarSize = 16 * 1024;

/* A function with a plain 4 KiB config space and BAR0 in a memfd; it records the config accesses. */
struct FakeFunction {
	explicit FakeFunction(spdk_pci_addr addr, uint32_t class_id = SPDK_PCI_CLASS_NVME, uint64_t bar_size = kBarSize)
	{
		memset(cfg, 0, sizeof(cfg));
		const uint32_t words[] = {0x00101b36, 0, class_id << 8};
		memcpy(cfg, words, sizeof(words));
		const uint32_t subsystem = 0x11001af4;
		memcpy(cfg + 0x2c, &subsystem, 4);
		fd = memfd_create("kyt_fake_bar0", MFD_CLOEXEC);
		if (fd >= 0 && ftruncate(fd, (off_t)bar_size) != 0) {
			close(fd);
			fd = -1;
		}
		desc = {addr, {class_id, 0x1b36, 0x0010, 0x1af4, 0x1100}, fd, bar_size,
			bar_size > kBarSize ? 0xfe000000ull : 0xfebf0000ull, {}, this};
		desc.ops.cfg_read = [](void *ctx, void *value, uint32_t len, uint32_t offset) {
			auto *self = static_cast<FakeFunction *>(ctx);
			self->reads.push_back({offset, len});
			memcpy(value, self->cfg + offset, len);
			return 0;
		};
		desc.ops.cfg_write = [](void *ctx, const void *value, uint32_t len, uint32_t offset) {
			auto *self = static_cast<FakeFunction *>(ctx);
			self->writes.push_back({offset, len});
			memcpy(self->cfg + offset, value, len);
			return 0;
		};
	}
	~FakeFunction()
	{
		kyt_swdev_unregister(&desc.addr);
		if (fd >= 0) {
			close(fd);
		}
	}
	int Register()
	{
		return kyt_swdev_register(&desc);
	}
	const spdk_pci_addr &addr() const
	{
		return desc.addr;
	}

	struct Access {
		uint32_t offset, len;
	};
	std::vector<Access> reads, writes;
	uint8_t cfg[4096];
	int fd = -1;
	kyt_swdev_desc desc;
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
	ASSERT_GE(f.fd, 0);
	EXPECT_FALSE(kyt_swdev_present(&f.addr()));
	ASSERT_EQ(f.Register(), 0);
	EXPECT_TRUE(kyt_swdev_present(&f.addr()));
	EXPECT_EQ(f.Register(), -EEXIST);
	ASSERT_EQ(kyt_swdev_unregister(&f.desc.addr), 0);
	EXPECT_FALSE(kyt_swdev_present(&f.addr()));
	EXPECT_EQ(kyt_swdev_unregister(&f.desc.addr), -ENOENT);
	EXPECT_EQ(f.Register(), 0) << "the address is free again";

	/* No BAR memory, no config access, a device number beyond 31. */
	for (auto spoil : {+[](kyt_swdev_desc &d) { d.bar0_fd = -1; }, +[](kyt_swdev_desc &d) { d.ops.cfg_read = nullptr; },
			   +[](kyt_swdev_desc &d) { d.addr.dev = 0x20; }}) {
		kyt_swdev_desc bad = f.desc;
		bad.addr = TestAddr(2);
		spoil(bad);
		EXPECT_EQ(kyt_swdev_register(&bad), -EINVAL);
	}
	EXPECT_EQ(kyt_swdev_register(nullptr), -EINVAL);
}

TEST(SwDev, AttachOffersTheDeviceOnceAndFailsCleanly)
{
	AttachResult r;
	EXPECT_EQ(Attach(TestAddr(9), &r), -ENODEV) << "nothing at that address";
	FakeFunction net(TestAddr(4), 0x020000);
	ASSERT_EQ(net.Register(), 0);
	EXPECT_EQ(Attach(net.addr(), &r), -ENODEV) << "not an NVMe controller";
	EXPECT_EQ(r.calls, 0);

	FakeFunction f(TestAddr(3));
	ASSERT_EQ(f.Register(), 0);
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	ASSERT_EQ(r.calls, 1);
	ASSERT_NE(r.dev, nullptr);
	spdk_pci_addr got = spdk_pci_device_get_addr(r.dev);
	EXPECT_EQ(spdk_pci_addr_compare(&got, &f.addr()), 0);
	spdk_pci_id id = spdk_pci_device_get_id(r.dev);
	EXPECT_EQ(memcmp(&id, &f.desc.id, sizeof(id)), 0);
	EXPECT_EQ(spdk_pci_device_get_vendor_id(r.dev), 0x1b36);
	EXPECT_FALSE(spdk_pci_device_is_removed(r.dev));
	AttachResult second;
	EXPECT_EQ(Attach(f.addr(), &second), -EBUSY) << "one attachment at a time";
	EXPECT_EQ(second.calls, 0);
	spdk_pci_device_detach(r.dev);

	second.answer = 1;
	EXPECT_EQ(Attach(f.addr(), &second), 1) << "the callback's answer is the result";
	EXPECT_EQ(second.calls, 1);
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
	second.answer = 0;
	EXPECT_EQ(Attach(f.addr(), &second), 0) << "neither a skipped nor a failed attach leaves the device attached";
	spdk_pci_device_detach(second.dev);
	EXPECT_EQ(spdk_pci_device_attach(spdk_pci_nvme_get_driver(), nullptr, nullptr, &a), -EINVAL);
}

TEST(SwDev, ConfigSpaceReachesTheCallbacks)
{
	FakeFunction f(TestAddr(6));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	spdk_pci_device *dev = r.dev;
	f.reads.clear();

	uint32_t v32 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 0), 0);
	EXPECT_EQ(v32, 0x00101b36u);
	uint16_t v16 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read16(dev, &v16, 0x2c), 0);
	EXPECT_EQ(v16, 0x1af4);
	uint8_t v8 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read8(dev, &v8, 0x0b), 0);
	EXPECT_EQ(v8, 0x01);
	ASSERT_EQ(f.reads.size(), 3u);
	EXPECT_EQ(f.reads[1].offset, 0x2cu);
	EXPECT_EQ(f.reads[1].len, 2u);

	ASSERT_EQ(spdk_pci_device_cfg_write32(dev, 0xfebf0000, 0x10), 0);
	ASSERT_EQ(spdk_pci_device_cfg_write16(dev, 0x0406, 0x04), 0);
	ASSERT_EQ(spdk_pci_device_cfg_write8(dev, 0x5a, 0xfff), 0);
	ASSERT_EQ(f.writes.size(), 3u);
	EXPECT_EQ(f.writes[0].offset, 0x10u);
	EXPECT_EQ(f.writes[0].len, 4u);
	uint32_t bar;
	memcpy(&bar, f.cfg + 0x10, 4);
	EXPECT_EQ(bar, 0xfebf0000u);
	EXPECT_EQ(f.cfg[0xfff], 0x5a);
	ASSERT_EQ(spdk_pci_device_cfg_read16(dev, &v16, 0x04), 0);
	EXPECT_EQ(v16, 0x0406);

	/* Out of the 4 KiB space, or odd widths: refused before any callback. */
	const size_t before = f.reads.size() + f.writes.size();
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 4094), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_write16(dev, 1, 4095), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_read8(dev, &v8, 4096), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_read(dev, &v32, 3, 0), -EINVAL);
	EXPECT_EQ(f.reads.size() + f.writes.size(), before);

	/* Unregistered under the driver: the handle stays, config access fails, later attaches find nothing. */
	ASSERT_EQ(kyt_swdev_unregister(&f.desc.addr), 0);
	EXPECT_TRUE(spdk_pci_device_is_removed(dev));
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 0), -ENODEV);
	EXPECT_EQ(spdk_pci_device_cfg_write32(dev, 0, 0x10), -ENODEV);
	EXPECT_EQ(f.reads.size() + f.writes.size(), before);
	AttachResult later;
	EXPECT_EQ(Attach(f.addr(), &later), -ENODEV);

	/* Back on the bus (power restored) while the stale handle is still held: a fresh attach works. */
	ASSERT_EQ(f.Register(), 0);
	EXPECT_EQ(Attach(f.addr(), &later), 0);
	EXPECT_TRUE(spdk_pci_device_is_removed(dev));
	spdk_pci_device_detach(dev);
	spdk_pci_device_detach(later.dev);
}

TEST(SwDev, Bar0MappingSharesTheMemoryOfTheDescriptorAndCanVanish)
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
	ASSERT_EQ(pwrite(f.fd, &vs, 4, 8), 4);
	EXPECT_EQ(static_cast<volatile uint32_t *>(bar)[2], vs);
	static_cast<volatile uint32_t *>(bar)[5] = 0x460001;
	uint32_t cc = 0;
	ASSERT_EQ(pread(f.fd, &cc, 4, 0x14), 4);
	EXPECT_EQ(cc, 0x460001u);

	/* A BAR whose memory vanishes (the device left the bus) raises a real SIGBUS on access. */
	EXPECT_EXIT(
		{
			struct sigaction sa;
			memset(&sa, 0, sizeof(sa));
			sa.sa_handler = [](int) { _exit(77); };
			sigaction(SIGBUS, &sa, nullptr);
			if (ftruncate(f.fd, 0) != 0) {
				_exit(1);
			}
			(void)static_cast<volatile uint32_t *>(bar)[0];
			_exit(0);
		},
		::testing::ExitedWithCode(77), "");

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
	EXPECT_EQ(spdk_mem_register(inner + 4096, k2M), -EINVAL) << "unaligned start";
	EXPECT_EQ(spdk_mem_register(inner, k2M + 4096), -EINVAL) << "unaligned length";
	ASSERT_EQ(spdk_mem_register(inner, len), 0);
	EXPECT_EQ(spdk_mem_register(inner + k2M, 2 * k2M), -EBUSY) << "overlap";

	void *probe = spdk_dma_zmalloc(64, 64, nullptr);
	const bool va = spdk_vtophys(probe, nullptr) == (uint64_t)(uintptr_t)probe;
	spdk_dma_free(probe);
	const uint64_t offset = (uint64_t)(inner - static_cast<uint8_t *>(bar));
	const uint64_t want = va ? (uint64_t)(uintptr_t)inner : phys + offset;
	uint64_t contig = len + k2M;
	EXPECT_EQ(spdk_vtophys(inner, &contig), want);
	EXPECT_EQ(contig, len) << "contiguity stops at the end of the registered range";
	EXPECT_EQ(spdk_vtophys(inner + 3 * k2M + 100, nullptr), want + 3 * k2M + 100);
	EXPECT_EQ(spdk_vtophys(inner + len, nullptr), SPDK_VTOPHYS_ERROR) << "past the registered range";

	/* The device side resolves the bus address back into the same shared memory. */
	uint8_t *seen = static_cast<uint8_t *>(kyt_env_iova_to_vaddr(want + k2M + 8, 16));
	ASSERT_NE(seen, nullptr);
	inner[k2M + 8] = 0x3C;
	EXPECT_EQ(seen[0], 0x3C);
	uint8_t byte = 0;
	ASSERT_EQ(pread(f.fd, &byte, 1, (off_t)(offset + k2M + 8)), 1);
	EXPECT_EQ(byte, 0x3C);
	EXPECT_EQ(kyt_env_iova_to_vaddr(want + len - 8, 64), nullptr) << "a range running past registered memory";

	EXPECT_EQ(spdk_mem_unregister(inner, k2M), -EINVAL) << "only a range exactly as registered";
	ASSERT_EQ(spdk_mem_unregister(inner, len), 0);
	EXPECT_EQ(spdk_vtophys(inner, nullptr), SPDK_VTOPHYS_ERROR);
	EXPECT_EQ(kyt_env_iova_to_vaddr(want + k2M + 8, 16), nullptr);
	EXPECT_EQ(spdk_mem_unregister(inner, len), -EINVAL);
	EXPECT_EQ(spdk_pci_device_unmap_bar(r.dev, 0, bar), 0);
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
			const bool named = strstr(kyt_env_pci_error(), "has claimed it") != nullptr;
			_exit(rc >= 0 ? 0 : (rc == -EACCES && named ? 13 : 1));
		}
		int status = 0;
		waitpid(pid, &status, 0);
		return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	};
	testing::internal::CaptureStdout();
	EXPECT_EQ(claim_in_child(), 13) << "held by this process, which the refusal's recorded cause names";
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
