// A fixed-capacity ring of values: made with N slots it holds N - 1 values. Queueing never allocates. Pushing onto
// a full ring, or reading or popping an empty one, is a broken internal invariant and stops the process.
#ifndef KYT_RUNNER_CIRCULAR_QUEUE_H
#define KYT_RUNNER_CIRCULAR_QUEUE_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "utility/log_line.h"

template <class T>
class CircularQueue {
 public:
  explicit CircularQueue(uint32_t slots) : slots_(slots == 0 ? 1 : slots) {}

  bool IsEmpty() const { return read_ == write_; }
  bool IsFull() const { return Next(write_) == read_; }
  uint32_t Size() const {
    return static_cast<uint32_t>((write_ + slots_.size() - read_) % slots_.size());
  }

  // `what` names the check in the message printed before the process stops.
  void Push(const T& value, const char* what = "Push") {
    Check(!IsFull(), what);
    slots_[write_] = value;
    write_ = Next(write_);
  }
  void Get(T& value, const char* what = "Get") const {
    Check(!IsEmpty(), what);
    value = slots_[read_];
  }
  // The value `i` places behind the front (i < Size()), without removing anything.
  const T& At(uint32_t i, const char* what = "At") const {
    Check(i < Size(), what);
    const uint32_t slot = read_ + i;
    return slots_[slot >= slots_.size() ? slot - slots_.size() : slot];
  }
  void Pop(const char* what = "Pop") {
    Check(!IsEmpty(), what);
    read_ = Next(read_);
  }

 private:
  // The index after `i`, modulo the slot count (without a division: the queues turn once per I/O).
  uint32_t Next(uint32_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }

  static void Check(bool ok, const char* what) {
    if (ok) return;
    // The log line, and the same text on the error stream where a dying process is looked for.
    kyt::LogFatalLine(std::string("NVME: WorkloadGenerator: ASSERT: ") + what +
                      " (../src/runner/workload_generation_runner)");
    std::abort();
  }

  uint32_t read_ = 0;
  uint32_t write_ = 0;
  std::vector<T> slots_;
};

#endif  // KYT_RUNNER_CIRCULAR_QUEUE_H
