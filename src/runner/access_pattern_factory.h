// Makes the access-pattern generator of a workload from the pattern part of its input.
#ifndef KYT_RUNNER_ACCESS_PATTERN_FACTORY_H
#define KYT_RUNNER_ACCESS_PATTERN_FACTORY_H

#include <memory>

#include "runner/access_pattern_generator.h"

class NvmeController;

class AccessPatternGeneratorFactory {
 public:
  // `output` must be fresh and must outlive the generator (the generator reports into it and the multi-range
  // generator works on its copy). Throws std::runtime_error with the refusal's text; then no generator exists and the
  // output keeps what was filled in so far.
  static std::unique_ptr<AccessPatternGenerator> Create(const std::shared_ptr<NvmeController>& controller,
                                                        const AccessPatternInput& input, AccessPatternOutput& output);
};

#endif  // KYT_RUNNER_ACCESS_PATTERN_FACTORY_H
