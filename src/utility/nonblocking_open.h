// Opening and writing a file a script named without ever waiting: a path may name a FIFO, whose plain open for
// writing waits until some process opens it for reading (for ever when none does), or a device that stops taking data.
// Header only: the device ports and the command tracker's sink share it without linking each other.
#ifndef KYT_UTILITY_NONBLOCKING_OPEN_H
#define KYT_UTILITY_NONBLOCKING_OPEN_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tyr {

struct NonblockingFile {
  int fd = -1;                       // -1 when the open failed
  std::string reason;                // why it failed
  bool fifoWithoutReader = false;    // it failed because the path is a FIFO that no process reads
};

// Opens `path` for writing, creating it when missing, with `flags` added (O_TRUNC, O_APPEND). The descriptor stays
// non-blocking: a write that the file cannot take now fails with EAGAIN instead of holding the writer, and the caller
// counts what it lost. A FIFO that no process has open for reading is refused ("it is a FIFO that no process reads").
inline NonblockingFile OpenNonblocking(const std::string& path, int flags) {
  NonblockingFile file;
  file.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | flags, 0666);
  if (file.fd < 0) {
    const int error = errno;
    struct stat status {};
    if (error == ENXIO && ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
      file.reason = "it is a FIFO that no process reads";
      file.fifoWithoutReader = true;
    } else {
      file.reason = std::strerror(error);
    }
    errno = error;
  }
  return file;
}

// Writes the bytes to a descriptor opened by OpenNonblocking, again after an interruption, until all went out or the
// file takes no more now; returns how many went out. When not all did, `error` is the failed write's errno (EAGAIN:
// the file takes nothing now), or 0 when a write took nothing without an error.
inline size_t WriteNonblocking(int fd, const char* data, size_t size, int& error) {
  size_t written = 0;
  error = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  return written;
}

}  // namespace tyr

#endif  // KYT_UTILITY_NONBLOCKING_OPEN_H
