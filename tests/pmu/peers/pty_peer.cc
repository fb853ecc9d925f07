#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace pmupeers {

PtyPeer::PtyPeer() {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal");
  slave = ptsname(master);
  // Hold the slave side open with output processing off: a real UART passes bytes through
  // unchanged, while a pseudo-terminal would turn LF into CR LF. The port under test keeps
  // the output flags it finds when it opens the path.
  slaveFd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
  if (slaveFd >= 0) {
    termios tty{};
    if (tcgetattr(slaveFd, &tty) == 0) {
      cfmakeraw(&tty);
      tcsetattr(slaveFd, TCSANOW, &tty);
    }
  }
}

PtyPeer::~PtyPeer() {
  stop();
  if (slaveFd >= 0) ::close(slaveFd);
  if (master >= 0) ::close(master);
}

void PtyPeer::start() {
  running = true;
  thread = std::thread(&PtyPeer::run, this);
}

void PtyPeer::stop() {
  running = false;
  if (thread.joinable()) thread.join();
}

void PtyPeer::hangUp() {
  stop();
  ::close(master);
  master = -1;
}

std::string PtyPeer::received() {
  std::lock_guard<std::mutex> lock(mutex);
  return all;
}

void PtyPeer::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd pfd{master, POLLOUT, 0};
      ::poll(&pfd, 1, 10);
    }
  }
}

void PtyPeer::run() {
  char buffer[4096];
  while (running) {
    pollfd pfd{master, POLLIN, 0};
    if (::poll(&pfd, 1, 5) <= 0) continue;
    ssize_t n = ::read(master, buffer, sizeof(buffer));
    if (n <= 0) {
      // No slave open yet (EIO): wait a little and look again.
      usleep(1000);
      continue;
    }
    std::string bytes(buffer, static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(mutex);
      all += bytes;
    }
    onBytes(bytes);
  }
}

}  // namespace pmupeers
