#include "uio_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kyt::env {

UioBackend::UioBackend(std::string dir, int cfg_fd) : SysfsBackend(std::move(dir)), cfg_fd_(cfg_fd)
{
}

UioBackend::~UioBackend()
{
	close(cfg_fd_);
}

int UioBackend::cfg_read(void *value, uint32_t len, uint32_t offset)
{
	return cfg_pread(cfg_fd_, 0, value, len, offset);
}

int UioBackend::cfg_write(const void *value, uint32_t len, uint32_t offset)
{
	return cfg_pwrite(cfg_fd_, 0, value, len, offset);
}

int UioBackend::map_bar(uint32_t bar, void **addr, uint64_t *phys, uint64_t *size)
{
	uint64_t start, len, flags;
	if (bar > 5 || !read_resource(dir_, bar, &start, &len, &flags) || !(flags & kIoResourceMem)) {
		return -EINVAL;
	}
	int fd = open((dir_ + "/resource" + std::to_string(bar)).c_str(), O_RDWR | O_CLOEXEC);
	if (fd < 0) {
		return -errno;
	}
	void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	int err = errno;
	close(fd);
	if (p == MAP_FAILED) {
		return -err;
	}
	*addr = p;
	*phys = start;
	*size = len;
	return 0;
}

}  // namespace kyt::env
