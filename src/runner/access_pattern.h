// Everything a workload needs of the access patterns: records, generators, factory and the random source.
#ifndef KYT_RUNNER_ACCESS_PATTERN_H
#define KYT_RUNNER_ACCESS_PATTERN_H

#include "runner/access_pattern_basic.h"
#include "runner/access_pattern_factory.h"
#include "runner/access_pattern_generator.h"
#include "runner/access_pattern_multi_range.h"
#include "runner/access_pattern_random.h"
#include "runner/access_pattern_records.h"

#endif  // KYT_RUNNER_ACCESS_PATTERN_H
