// The one process-wide random source of the access patterns: a 64-bit Mersenne Twister seeded from the system
// clock on first use. Unlocked: only the worker thread draws.
#ifndef KYT_RUNNER_ACCESS_PATTERN_RANDOM_H
#define KYT_RUNNER_ACCESS_PATTERN_RANDOM_H

#include <cstdint>
#include <random>

class Random {
 public:
  // The engine's next output.
  static uint64_t Get() { return Instance().engine_(); }
  // The seed in force.
  static uint64_t GetSeed() { return Instance().seed_; }

 private:
  Random();
  static Random& Instance();

  uint64_t seed_;
  std::mt19937_64 engine_;
};

#endif  // KYT_RUNNER_ACCESS_PATTERN_RANDOM_H
