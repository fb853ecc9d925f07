// The gate in front of the process's standard output stream (std::cout). Installed once when the module loads, it
// passes every write through to the stream's original buffer until the first quiet addon object closes it; from
// then on, for the rest of the process, everything written to std::cout is discarded.
//
// Closing the gate is one atomic store, so it never races with threads that are writing at that moment, and the
// stream never refers to a closed or destroyed buffer (the gate lives until the process ends).
#ifndef KYT_ADDON_STDOUT_GATE_H
#define KYT_ADDON_STDOUT_GATE_H

#include <atomic>
#include <streambuf>

namespace kyt {

class StdoutGate : public std::streambuf {
 public:
  // The process-wide gate (never destroyed).
  static StdoutGate& Instance();

  // Puts the gate in front of std::cout; later calls do nothing.
  void Install();
  // Discards everything written to std::cout from now on.
  void Close() { closed_.store(true); }
  bool IsClosed() const { return closed_.load(); }

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  StdoutGate() = default;

  std::atomic<bool> closed_{false};
  std::atomic<bool> installed_{false};
  std::streambuf* target_ = nullptr;
};

}  // namespace kyt

#endif  // KYT_ADDON_STDOUT_GATE_H
