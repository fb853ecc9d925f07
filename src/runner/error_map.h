// The process-wide table of NVMe completion statuses that end a workload: for each known (SCT, SC) its name and
// whether it is fatal. Built at load with every entry fatal and never changed: a workload's ignore list is its own and
// is applied at each look-up.
#ifndef KYT_RUNNER_ERROR_MAP_H
#define KYT_RUNNER_ERROR_MAP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// A completion status: status code type first, status code second.
using StatusKey = std::pair<uint16_t, uint16_t>;

// Hash of a status key: the two halves XORed.
struct hash_pair {
  size_t operator()(const StatusKey& key) const { return static_cast<size_t>(key.first ^ key.second); }
};

struct error_mask {
  std::string text;
  uint16_t mask;  // 1 fatal, 0 not fatal
};

using ErrorMap = std::unordered_map<StatusKey, error_mask, hash_pair>;

// A fresh table: the 96 known statuses, all fatal.
ErrorMap BuildErrorMap();

// The table of this process.
extern const ErrorMap error_map;

// The entry when (sct, sc) is in the table, fatal and not in `ignored`; null otherwise (an unknown status is never
// fatal).
const error_mask* FindFatalStatus(uint16_t sct, uint16_t sc, const std::vector<StatusKey>& ignored = {});

#endif  // KYT_RUNNER_ERROR_MAP_H
