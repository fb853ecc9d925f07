// One I/O as a generator returned it, and a helper that draws I/Os until the pattern says it is finished.
#ifndef KYT_TESTS_WORKLOAD_UNITS_IO_RECORD_H
#define KYT_TESTS_WORKLOAD_UNITS_IO_RECORD_H

#include <cstdint>
#include <ostream>
#include <vector>

#include "runner/access_pattern_generator.h"
#include "spdk/env.h"

namespace wlunits {

struct Io {
  uint32_t nsid = 0;
  uint64_t lba = 0;
  uint32_t blocks = 0;
  IoDirection direction = kIoDirectionRead;
  uint32_t bytes = 0;
  bool finished = false;

  bool operator==(const Io& o) const {
    return nsid == o.nsid && lba == o.lba && blocks == o.blocks && direction == o.direction && bytes == o.bytes &&
           finished == o.finished;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Io& io) {
  return os << "{nsid " << io.nsid << " lba " << io.lba << " blocks " << io.blocks << " dir " << io.direction
            << " bytes " << io.bytes << (io.finished ? " finished}" : "}");
}

inline Io NextIo(AccessPatternGenerator& generator, uint64_t now = spdk_get_ticks()) {
  Io io;
  io.finished = generator.Next(io.nsid, io.lba, io.blocks, io.direction, io.bytes, now);
  return io;
}

// Draws until finished (at most `limit` I/Os, the last one included).
inline std::vector<Io> DrawUntilFinished(AccessPatternGenerator& generator, size_t limit) {
  std::vector<Io> ios;
  while (ios.size() < limit) {
    ios.push_back(NextIo(generator));
    if (ios.back().finished) break;
  }
  return ios;
}

}  // namespace wlunits

#endif  // KYT_TESTS_WORKLOAD_UNITS_IO_RECORD_H
