#include "runner/error_map.h"

#include <algorithm>

namespace {

struct KnownStatus {
  uint16_t sct;
  uint16_t sc;
  const char* text;
};

// Generic (SCT 0), command specific (1), media and data integrity (2) and path related (3) statuses.
constexpr KnownStatus kKnownStatuses[] = {
    {0, 0x00, "Successful Completion"},
    {0, 0x01, "Invalid Command Opcode"},
    {0, 0x02, "Invalid Field in Command"},
    {0, 0x03, "Command ID Conflict"},
    {0, 0x04, "Data Transfer Error"},
    {0, 0x05, "Command Aborted due to Power Loss Notification"},
    {0, 0x06, "Internal Error"},
    {0, 0x07, "Command Abort Requested"},
    {0, 0x08, "Command Abort due to SQ Deletion"},
    {0, 0x09, "Command Abort due to Failed Fused Command"},
    {0, 0x0A, "Command Abort due to Missed Fused Command"},
    {0, 0x0B, "Invalid Namespace or Format"},
    {0, 0x0C, "Command Sequence Error"},
    {0, 0x0D, "Invalid SGL Segment Descriptor"},
    {0, 0x0E, "Invalid Number of SGL Descriptors"},
    {0, 0x0F, "Data SGL Length Invalid"},
    {0, 0x10, "Metadata SGL Length Invalid"},
    {0, 0x11, "SGL Descriptor Type Invalid"},
    {0, 0x12, "Invalid Use of Controller Memory Buffer"},
    {0, 0x13, "PRP Offset Invalid"},
    {0, 0x14, "Atomic Write Unit Exceeded"},
    {0, 0x15, "Opertion Denied"},
    {0, 0x16, "SGL Offset Invalid"},
    {0, 0x17, "Reserved"},
    {0, 0x18, "Host Identifier Inconsistent Format"},
    {0, 0x19, "Keep Alive Timer Expired"},
    {0, 0x1A, "Keep Alive Timeout Invalid"},
    {0, 0x1B, "Command Aborted due to Preempt and Abort"},
    {0, 0x1C, "Sanitize Failed"},
    {0, 0x1D, "Sanitize in Progress"},
    {0, 0x1E, "SGL Data Block Granularity Invalid"},
    {0, 0x1F, "Command Not Supported for Queue in CMB"},
    {0, 0x20, "Namespace is Write Protected"},
    {0, 0x21, "Command Interrupted"},
    {0, 0x22, "Transient Transport Error"},
    {0, 0x80, "LBA Out of Range"},
    {0, 0x81, "Capacity Exceeded"},
    {0, 0x82, "Namespace Not Ready"},
    {0, 0x83, "Reservation Conflict"},
    {0, 0x84, "Format In Progress"},
    {1, 0x00, "Completion Queue Invalid"},
    {1, 0x01, "Invalid Queue Identifier"},
    {1, 0x02, "Invalid Queue Size"},
    {1, 0x03, "Abort Command Limit Exceeded"},
    {1, 0x04, "Reserved"},
    {1, 0x05, "Asynchronous Event Request Limited Exceeded"},
    {1, 0x06, "Invalid Firmware Slot"},
    {1, 0x07, "Invalid Firmware Image"},
    {1, 0x08, "Invalid Interrupt Vector"},
    {1, 0x09, "Invalid Log Page"},
    {1, 0x0A, "Invalid Format"},
    {1, 0x0B, "Firmware Activation Requires Conventional Reset"},
    {1, 0x0C, "Invalid Queue Deletion"},
    {1, 0x0D, "Feature Identifier Not Saveable"},
    {1, 0x0E, "Feature Not Changeable"},
    {1, 0x0F, "Feature Not Namespace Specific"},
    {1, 0x10, "Firmware Activation Requires NVM Subsystem Reset"},
    {1, 0x11, "Firmware Activation Requires Controller Level Reset"},
    {1, 0x12, "Firmware Activation Requires Maximum Time Violation"},
    {1, 0x13, "Firmware Activation Prohibited"},
    {1, 0x14, "Overlapping Range"},
    {1, 0x15, "Namespace Insufficient Capacity"},
    {1, 0x16, "Namespace Identifier Unavailable"},
    {1, 0x17, "Reserved"},
    {1, 0x18, "Namespace Already Attached"},
    {1, 0x19, "Namespace Is Private"},
    {1, 0x1A, "Namespace Is Not Attached"},
    {1, 0x1B, "Thin Provisioning Not Supported"},
    {1, 0x1C, "Controller List Invalid"},
    {1, 0x1D, "Device Self-test In Progress"},
    {1, 0x1E, "Boot Partition Write Prohibited"},
    {1, 0x1F, "Invalid Controller Identifier"},
    {1, 0x20, "Invalid Secondary Controller State"},
    {1, 0x21, "Invalid Number of Controller Resources"},
    {1, 0x22, "Invalid Resource Identifier"},
    {1, 0x23, "Sanitize Prohibited While Persistent Memory Region is Enabled"},
    {1, 0x24, "ANA Group Identifier Invalid"},
    {1, 0x25, "ANA Attach Failed"},
    {1, 0x80, "Conflicting Attributes"},
    {1, 0x81, "Invalid Protection Information"},
    {1, 0x82, "Attempted Write to Read Only Range"},
    {2, 0x80, "Write Fault"},
    {2, 0x81, "Unrecovered Read Error"},
    {2, 0x82, "End-to-end Guard Check Error"},
    {2, 0x83, "End-to-end Application Tag Check Error"},
    {2, 0x84, "End-to-end Reference Tag Check Error"},
    {2, 0x85, "Compare Failure"},
    {2, 0x86, "Access Denied"},
    {2, 0x87, "Deallocated or Unwritten Logical Block"},
    {3, 0x00, "Internal Path Error"},
    {3, 0x01, "Asymmetric Access Persistent Loss"},
    {3, 0x02, "Asymmetric Access Inaccessible"},
    {3, 0x03, "Asymmetric Access Transition"},
    {3, 0x60, "Controler Pathing Error"},
    {3, 0x70, "Host Pathing Error"},
    {3, 0x71, "Command Aborted By Host"},
};

}  // namespace

ErrorMap BuildErrorMap() {
  constexpr size_t kEntries = sizeof(kKnownStatuses) / sizeof(kKnownStatuses[0]);
  static_assert(kEntries == 96, "the table knows 96 statuses");
  ErrorMap map;
  map.max_load_factor(1.0f);
  map.reserve(kEntries);
  for (const KnownStatus& status : kKnownStatuses) {
    map.emplace(StatusKey(status.sct, status.sc), error_mask{status.text, 1});
  }
  return map;
}

const ErrorMap error_map = BuildErrorMap();

const error_mask* FindFatalStatus(uint16_t sct, uint16_t sc, const std::vector<StatusKey>& ignored) {
  const StatusKey key(sct, sc);
  const auto it = error_map.find(key);
  if (it == error_map.end() || it->second.mask != 1) return nullptr;
  return std::find(ignored.begin(), ignored.end(), key) == ignored.end() ? &it->second : nullptr;
}
