#include "runner/access_pattern_generator.h"

#include <limits>
#include <stdexcept>

#include "runner/access_pattern_random.h"

IoDirection AccessPatternGenerator::DirectionForDraw(uint32_t read_percent, uint32_t trim_percent, uint64_t draw) {
  if (draw < 100u - read_percent - trim_percent) return kIoDirectionWrite;
  if (draw < 100u - trim_percent) return kIoDirectionRead;
  return kIoDirectionTrim;
}

IoDirection AccessPatternGenerator::ChooseDirection(uint32_t read_percent, uint32_t trim_percent) {
  // Widened: two large percentages must not wrap below 100.
  if (static_cast<uint64_t>(read_percent) + trim_percent > 100) {
    throw std::runtime_error("Sum of read percent and trim percent is more than 100");
  }
  if (read_percent == 100) return kIoDirectionRead;
  if (trim_percent == 100) return kIoDirectionTrim;
  return DirectionForDraw(read_percent, trim_percent, Random::Get() % 100);
}

uint64_t AccessPatternGenerator::LimitTicks(uint64_t seconds, uint64_t ticks_hz) {
  const unsigned __int128 ticks = static_cast<unsigned __int128>(seconds) * ticks_hz;
  return ticks > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                      : static_cast<uint64_t>(ticks);
}
