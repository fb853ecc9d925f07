// The gate in front of the process's standard output stream (std::cout), with a twin in front of the error stream
// (std::cerr). Installed once when the module loads, they pass every write through to the streams' original buffers
// until the first quiet addon object closes them; from then on, for the rest of the process, everything written to
// std::cout and std::cerr is discarded.
//
// Closing the gate is one atomic store, so it never races with threads that are writing at that moment, and the
// stream never refers to a closed or destroyed buffer (the gate lives until the process ends).
#ifndef KYT_UTILITY_STDOUT_GATE_H
#define KYT_UTILITY_STDOUT_GATE_H

#include <atomic>
#include <ostream>
#include <streambuf>

namespace kyt {

class StdoutGate : public std::streambuf {
 public:
  // The process-wide gate (never destroyed).
  static StdoutGate& Instance();

  // Puts the gate in front of std::cout and its twin in front of std::cerr; later calls do nothing.
  void Install();
  // Discards everything written to std::cout and std::cerr from now on.
  void Close() { closed_.store(true); }
  bool IsClosed() const { return closed_.load(); }

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  StdoutGate() = default;
  void Attach(std::ostream& stream);

  static std::atomic<bool> closed_;  // shared by both gates
  std::atomic<bool> installed_{false};
  std::streambuf* target_ = nullptr;
};

}  // namespace kyt

#endif  // KYT_UTILITY_STDOUT_GATE_H
