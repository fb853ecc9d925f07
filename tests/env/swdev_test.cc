/* The PCI layer over software functions: registry, attach, claim, config space, BAR0 mapping and removal. */
#include <gtest/gtest.h>

#include <errno.h>
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

int Attach(spdk_pci_addr addr, AttachResult *r)
{
	return spdk_pci_device_attach(
		spdk_pci_nvme_get_driver(),
		[](void *ctx, spdk_pci_device *dev) {
			auto *r = static_cast<AttachResult *>(ctx);
			++r->calls;
			r->dev = dev;
			return r->answer;
		},
		r, &addr);
}

TEST(SwDev, RegistryAndAttachOfferTheDeviceOnceAndFailCleanly)
{
	FakeFunction f(TestAddr(3));
	ASSERT_EQ(f.Register(), 0);
	EXPECT_EQ(f.Register(), -EEXIST);
	AttachResult r;
	EXPECT_EQ(Attach(TestAddr(9), &r), -ENODEV) << "nothing at that address";
	FakeFunction net(TestAddr(4), 0x020000);
	ASSERT_EQ(net.Register(), 0);
	EXPECT_EQ(Attach(net.addr(), &r), -ENODEV) << "not an NVMe controller";
	EXPECT_EQ(r.calls, 0);

	ASSERT_EQ(Attach(f.addr(), &r), 0);
	spdk_pci_addr got = spdk_pci_device_get_addr(r.dev);
	EXPECT_EQ(spdk_pci_addr_compare(&got, &f.addr()), 0);
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

TEST(SwDev, ConfigSpaceAndBar0ReachTheFunctionUntilItIsRemoved)
{
	FakeFunction f(TestAddr(6));
	ASSERT_EQ(f.Register(), 0);
	AttachResult r;
	ASSERT_EQ(Attach(f.addr(), &r), 0);
	spdk_pci_device *dev = r.dev;
	ASSERT_EQ(spdk_pci_device_cfg_write8(dev, 0x5a, 0xfff), 0);
	EXPECT_EQ(f.cfg[0xfff], 0x5a);
	/* Out of the 4 KiB space, or odd widths: refused before any callback. */
	const size_t before = f.accesses;
	uint32_t v32 = 0;
	EXPECT_EQ(spdk_pci_device_cfg_read32(dev, &v32, 4094), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_write16(dev, 1, 4095), -EINVAL);
	EXPECT_EQ(spdk_pci_device_cfg_read(dev, &v32, 3, 0), -EINVAL);
	EXPECT_EQ(f.accesses, before);
	void *bar = nullptr;
	uint64_t phys = 0, size = 0;
	ASSERT_EQ(spdk_pci_device_map_bar(dev, 0, &bar, &phys, &size), 0);
	static_cast<volatile uint32_t *>(bar)[5] = 0x460001; /* the mapping shares the function's BAR0 memory */
	ASSERT_EQ(pread(f.fd, &v32, 4, 0x14), 4);
	EXPECT_EQ(v32, 0x460001u);
	EXPECT_EQ(spdk_pci_device_unmap_bar(dev, 0, bar), 0);

	/* Unregistered under the driver: the handle stays, config access fails, later attaches find nothing. */
	ASSERT_EQ(kyt_swdev_unregister(&f.desc.addr), 0);
	EXPECT_EQ(kyt_swdev_unregister(&f.desc.addr), -ENOENT);
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

/* As the driver registers a controller memory buffer: the 2 MiB-aligned inner part of a mapped BAR. Both sides
 * translate it, up to its end, until it is given back. */
TEST(SwDev, RegisteredBarMemoryTranslatesToTheBusAddress)
{
	KYT_REQUIRE_ENV();
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
	const uint64_t want = va ? (uint64_t)(uintptr_t)inner : phys + (uint64_t)(inner - static_cast<uint8_t *>(bar));
	uint64_t contig = len + k2M;
	EXPECT_EQ(spdk_vtophys(inner, &contig), want);
	EXPECT_EQ(contig, len) << "contiguity stops at the end of the registered range";
	uint8_t *seen = static_cast<uint8_t *>(kyt_env_iova_to_vaddr(want + k2M + 8, 16));
	ASSERT_NE(seen, nullptr);
	inner[k2M + 8] = 0x3C;
	EXPECT_EQ(seen[0], 0x3C);
	EXPECT_EQ(kyt_env_iova_to_vaddr(want + len - 8, 64), nullptr) << "a range running past registered memory";
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

}  // namespace
