/* The PCI layer over software functions: registry, attach, claim, config space, BAR0 mapping and removal. */
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "env_fixture.h"
#include "fake_function.h"
#include "kyt/env.h"
#include "spdk/env.h"

namespace {

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
	ASSERT_EQ(f.Register(), 0);
	EXPECT_TRUE(kyt_swdev_present(&f.addr()));
	EXPECT_EQ(f.Register(), -EEXIST);
	ASSERT_EQ(kyt_swdev_unregister(&f.desc.addr), 0);
	EXPECT_FALSE(kyt_swdev_present(&f.addr()));
	EXPECT_EQ(kyt_swdev_unregister(&f.desc.addr), -ENOENT);
	/* No BAR memory, no config access, a device number beyond 31. */
	for (auto spoil : {+[](kyt_swdev_desc &d) { d.bar0_fd = -1; }, +[](kyt_swdev_desc &d) { d.ops.cfg_read = nullptr; },
			   +[](kyt_swdev_desc &d) { d.addr.dev = 0x20; }}) {
		kyt_swdev_desc bad = f.desc;
		bad.addr = TestAddr(2);
		spoil(bad);
		EXPECT_EQ(kyt_swdev_register(&bad), -EINVAL);
	}
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
	spdk_pci_addr got = spdk_pci_device_get_addr(r.dev);
	EXPECT_EQ(spdk_pci_addr_compare(&got, &f.addr()), 0);
	EXPECT_EQ(spdk_pci_device_get_vendor_id(r.dev), 0x1b36);
	AttachResult second;
	EXPECT_EQ(Attach(f.addr(), &second), -EBUSY) << "one attachment at a time";
	spdk_pci_device_detach(r.dev);
	second.answer = 1;
	EXPECT_EQ(Attach(f.addr(), &second), 1) << "the callback's answer is the result";
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
}

TEST(SwDev, ConfigSpaceReachesTheCallbacks)
{
	FakeFunction f(TestAddr(6));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	spdk_pci_device *dev = r.dev;
	uint32_t v32 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 0), 0);
	EXPECT_EQ(v32, 0x00101b36u);
	uint16_t v16 = 0;
	ASSERT_EQ(spdk_pci_device_cfg_read16(dev, &v16, 0x2c), 0);
	EXPECT_EQ(v16, 0x1af4);
	ASSERT_EQ(spdk_pci_device_cfg_write8(dev, 0x5a, 0xfff), 0);
	EXPECT_EQ(f.cfg[0xfff], 0x5a);

	/* Out of the 4 KiB space, or odd widths: refused before any callback. */
	const size_t before = f.accesses;
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 4094), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_write16(dev, 1, 4095), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_read(dev, &v32, 3, 0), -EINVAL);
	EXPECT_EQ(f.accesses, before);

	/* Unregistered under the driver: the handle stays, config access fails, later attaches find nothing. */
	ASSERT_EQ(kyt_swdev_unregister(&f.desc.addr), 0);
	EXPECT_TRUE(spdk_pci_device_is_removed(dev));
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 0), -ENODEV);
	EXPECT_EQ(f.accesses, before);
	AttachResult later;
	EXPECT_EQ(Attach(f.addr(), &later), -ENODEV);
	/* Back on the bus (power restored) while the stale handle is still held: a fresh attach works. */
	ASSERT_EQ(f.Register(), 0);
	EXPECT_EQ(Attach(f.addr(), &later), 0);
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
	EXPECT_EQ(size, kBarSize);

	/* Device side writes (the fd) are seen through the mapping, and driver side writes reach the fd. */
	const uint32_t vs = 0x00010400;
	ASSERT_EQ(pwrite(f.fd, &vs, 4, 8), 4);
	EXPECT_EQ(static_cast<volatile uint32_t *>(bar)[2], vs);
	static_cast<volatile uint32_t *>(bar)[5] = 0x460001;
	uint32_t cc = 0;
	ASSERT_EQ(pread(f.fd, &cc, 4, 0x14), 4);
	EXPECT_EQ(cc, 0x460001u);

	void *bar2 = nullptr;
	EXPECT_EQ(spdk_pci_device_map_bar(r.dev, 1, &bar2, &phys, &size), -EINVAL) << "software functions have BAR0 only";
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
	EXPECT_EQ(spdk_mem_register(inner + k2M, 2 * k2M), -EBUSY) << "overlap";

	void *probe = spdk_dma_zmalloc(64, 64, nullptr);
	const bool va = spdk_vtophys(probe, nullptr) == (uint64_t)(uintptr_t)probe;
	spdk_dma_free(probe);
	const uint64_t offset = (uint64_t)(inner - static_cast<uint8_t *>(bar));
	const uint64_t want = va ? (uint64_t)(uintptr_t)inner : phys + offset;
	uint64_t contig = len + k2M;
	EXPECT_EQ(spdk_vtophys(inner, &contig), want);
	EXPECT_EQ(contig, len) << "contiguity stops at the end of the registered range";
	EXPECT_EQ(spdk_vtophys(inner + len, nullptr), SPDK_VTOPHYS_ERROR) << "past the registered range";

	/* The device side resolves the bus address back into the same shared memory. */
	uint8_t *seen = static_cast<uint8_t *>(kyt_env_iova_to_vaddr(want + k2M + 8, 16));
	ASSERT_NE(seen, nullptr);
	inner[k2M + 8] = 0x3C;
	EXPECT_EQ(seen[0], 0x3C);
	EXPECT_EQ(kyt_env_iova_to_vaddr(want + len - 8, 64), nullptr) << "a range running past registered memory";
	EXPECT_EQ(spdk_mem_unregister(inner, k2M), -EINVAL) << "only a range exactly as registered";
	const uint64_t releases = kyt_env_dma_release_count();
	ASSERT_EQ(spdk_mem_unregister(inner, len), 0);
	EXPECT_GT(kyt_env_dma_release_count(), releases);
	EXPECT_EQ(kyt_env_iova_to_vaddr(want + k2M + 8, 16), nullptr);
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
	testing::internal::GetCapturedStdout();
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
	opts.mem_size = 256;
	opts.num_pci_addr = 1;
	opts.pci_whitelist = list;
	testing::internal::CaptureStdout();
	int rc = spdk_env_init(&opts);
	std::string out = testing::internal::GetCapturedStdout();
	ASSERT_EQ(rc, 0) << out;

	AttachResult r;
	testing::internal::CaptureStdout();
	EXPECT_EQ(Attach(other.addr(), &r), -EPERM);
	testing::internal::GetCapturedStdout();
	EXPECT_EQ(r.calls, 0);
	ASSERT_EQ(Attach(allowed.addr(), &r), 0);
	spdk_pci_device_detach(r.dev);
}

}  // namespace
