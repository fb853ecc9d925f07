// The interface of an access-pattern generator: the workload asks it for every I/O it submits. Worker thread only.
#ifndef KYT_RUNNER_ACCESS_PATTERN_GENERATOR_H
#define KYT_RUNNER_ACCESS_PATTERN_GENERATOR_H

#include <cstdint>

#include "runner/access_pattern_random.h"
#include "runner/access_pattern_records.h"

class AccessPatternGenerator {
 public:
  virtual ~AccessPatternGenerator() = default;

  // Fills the next I/O. Returns true when the pattern is finished; the I/O returned with true is still to be
  // submitted, and the caller asks no more. `now` is the caller's tick reading (the worker's pass): the time limit
  // counts from the first call's. Does not allocate or log. Throws std::runtime_error for a read/trim mix above
  // 100 % (and the multi-range generator when its weights select nothing).
  virtual bool Next(uint32_t& nsid, uint64_t& lba, uint32_t& blocks, IoDirection& direction, uint32_t& bytes,
                    uint64_t now) = 0;
  // The time limit has passed at `now` (false before the first I/O, and without a limit).
  virtual bool TimeIsUp(uint64_t now) const = 0;
  // Bytes of the data buffer that every I/O of this generator fits in.
  virtual uint32_t GetMaxDataSize() const = 0;
  // Bytes of a separate metadata buffer for the largest I/O (0: none needed).
  virtual uint32_t GetMaxMetaSize() const = 0;
  // Writes the settings in force into the output record handed at construction.
  virtual void GetOutput() = 0;

  // The direction of one I/O for a read/trim mix in percent: read at 100 % read, trim at 100 % trim (no draw);
  // otherwise one draw r = Random::Get() % 100: write below 100 - read - trim, read below 100 - trim, else trim.
  // Throws "Sum of read percent and trim percent is more than 100".
  static IoDirection ChooseDirection(uint32_t read_percent, uint32_t trim_percent);
  // The same choice for a given draw in 0..99 (no throw; the caller has checked the sum).
  static IoDirection DirectionForDraw(uint32_t read_percent, uint32_t trim_percent, uint64_t draw);

  // A random offset, from the start of a range of `span` blocks, of a transfer of `blocks` blocks (blocks <= span):
  // a multiple of `alignment` (at least 1), each such offset that keeps the whole transfer inside equally likely,
  // the last one included. One draw.
  static uint64_t RandomOffset(uint64_t span, uint64_t blocks, uint64_t alignment) {
    return RandomOffset(RandomPlaces(span, blocks, alignment), alignment);
  }
  // The number of those offsets, and one of `places` offsets `alignment` apart drawn as above (for a caller that
  // keeps the count).
  static uint64_t RandomPlaces(uint64_t span, uint64_t blocks, uint64_t alignment) {
    return (span - blocks) / alignment + 1;
  }
  static uint64_t RandomOffset(uint64_t places, uint64_t alignment) { return Random::Get() % places * alignment; }
  // Ticks in a time limit of `seconds` (0: none) at `ticks_hz`: the pattern is finished once that many ticks have
  // passed since its first I/O. Saturates instead of wrapping.
  static uint64_t LimitTicks(uint64_t seconds, uint64_t ticks_hz);
};

#endif  // KYT_RUNNER_ACCESS_PATTERN_GENERATOR_H
