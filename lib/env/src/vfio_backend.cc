#include "vfio_backend.h"

#include <errno.h>
#include <linux/vfio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <rte_vfio.h>

namespace kyt::env {

VfioBackend::VfioBackend(std::string dir, std::string name, int fd, uint64_t cfg_offset)
	: SysfsBackend(std::move(dir)), name_(std::move(name)), fd_(fd), cfg_offset_(cfg_offset)
{
}

VfioBackend::~VfioBackend()
{
	rte_vfio_release_device(kSysfsBase, name_.c_str(), fd_);
}

int VfioBackend::cfg_read(void *value, uint32_t len, uint32_t offset)
{
	return cfg_pread(fd_, cfg_offset_, value, len, offset);
}

int VfioBackend::cfg_write(const void *value, uint32_t len, uint32_t offset)
{
	return cfg_pwrite(fd_, cfg_offset_, value, len, offset);
}

int VfioBackend::map_bar(uint32_t bar, void **addr, uint64_t *phys, uint64_t *size)
{
	uint64_t start, len, flags;
	if (bar > 5 || !read_resource(dir_, bar, &start, &len, &flags) || !(flags & kIoResourceMem)) {
		return -EINVAL;
	}
	vfio_region_info info;
	memset(&info, 0, sizeof(info));
	info.argsz = sizeof(info);
	info.index = VFIO_PCI_BAR0_REGION_INDEX + bar;
	if (ioctl(fd_, VFIO_DEVICE_GET_REGION_INFO, &info) != 0) {
		return -errno;
	}
	if (!(info.flags & VFIO_REGION_INFO_FLAG_MMAP) || info.size == 0) {
		return -ENOTSUP;
	}
	void *p = mmap(nullptr, info.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, (off_t)info.offset);
	if (p == MAP_FAILED) {
		return -errno;
	}
	*addr = p;
	*phys = start;
	*size = info.size;
	return 0;
}

}  // namespace kyt::env
