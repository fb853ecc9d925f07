#include "runner/access_pattern_random.h"

#include <chrono>

Random::Random()
    : seed_(static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())), engine_(seed_) {}

Random& Random::Instance() {
  static Random instance;
  return instance;
}
