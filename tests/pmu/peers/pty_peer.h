// The far end of a pseudo-terminal, serviced by a thread: the code under test opens the
// slave path as its serial line, the peer reads and answers on the master side.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace pmupeers {

class PtyPeer {
 public:
  PtyPeer();
  virtual ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  // Path of the slave side, for the port under test to open.
  const std::string& slavePath() const { return slave; }
  // Every byte the port under test has sent so far.
  std::string received();
  // Writes bytes to the port under test.
  void send(const std::string& bytes);
  // Closes the far end for good: the port under test then fails its writes with EIO.
  void hangUp();

 protected:
  // Starts the service thread; subclasses call it at the end of their constructor.
  void start();
  // Stops the service thread; subclasses call it first in their destructor.
  void stop();
  // Called on the service thread with each chunk that arrived.
  virtual void onBytes(const std::string& bytes) = 0;

 private:
  void run();
  int master = -1;
  int slaveFd = -1;
  std::string slave;
  std::atomic<bool> running{false};
  std::thread thread;
  std::mutex mutex;
  std::string all;
};

}  // namespace pmupeers
