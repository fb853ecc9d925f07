/*
 * NVMe over PCIe definitions used by the simulated controller and its host-side helper: register offsets and bit
 * fields, command and completion layouts, opcodes and status codes. Written from the NVMe base standard 1.4.
 */
#ifndef KYT_SIM_NVME_DEFS_H
#define KYT_SIM_NVME_DEFS_H

#include <cstddef>
#include <cstdint>

namespace kyt::sim {

// Controller registers (byte offsets into BAR0).
namespace reg {
constexpr uint32_t kCap = 0x00;
constexpr uint32_t kVs = 0x08;
constexpr uint32_t kIntms = 0x0C;
constexpr uint32_t kIntmc = 0x10;
constexpr uint32_t kCc = 0x14;
constexpr uint32_t kCsts = 0x1C;
constexpr uint32_t kNssr = 0x20;
constexpr uint32_t kAqa = 0x24;
constexpr uint32_t kAsq = 0x28;
constexpr uint32_t kAcq = 0x30;
constexpr uint32_t kCmbloc = 0x38;
constexpr uint32_t kCmbsz = 0x3C;
constexpr uint32_t kDoorbellBase = 0x1000;
}  // namespace reg

// CC fields.
namespace cc {
constexpr uint32_t kEn = 1u << 0;
inline uint32_t Css(uint32_t v) { return (v >> 4) & 0x7; }
inline uint32_t Mps(uint32_t v) { return (v >> 7) & 0xF; }
inline uint32_t Ams(uint32_t v) { return (v >> 11) & 0x7; }
inline uint32_t Shn(uint32_t v) { return (v >> 14) & 0x3; }
inline uint32_t Iosqes(uint32_t v) { return (v >> 16) & 0xF; }
inline uint32_t Iocqes(uint32_t v) { return (v >> 20) & 0xF; }
}  // namespace cc

// CSTS fields.
namespace csts {
constexpr uint32_t kRdy = 1u << 0;
constexpr uint32_t kCfs = 1u << 1;
constexpr uint32_t kShstMask = 3u << 2;
constexpr uint32_t kShstNormal = 0u << 2;
constexpr uint32_t kShstOccurring = 1u << 2;
constexpr uint32_t kShstComplete = 2u << 2;
constexpr uint32_t kNssro = 1u << 4;
}  // namespace csts

// Submission queue entry (64 bytes).
struct Command {
  uint32_t cdw0;  // OPC 7:0, FUSE 9:8, PSDT 15:14, CID 31:16
  uint32_t nsid;
  uint32_t cdw2;
  uint32_t cdw3;
  uint64_t mptr;
  uint64_t prp1;
  uint64_t prp2;
  uint32_t cdw10;
  uint32_t cdw11;
  uint32_t cdw12;
  uint32_t cdw13;
  uint32_t cdw14;
  uint32_t cdw15;

  uint8_t opcode() const { return cdw0 & 0xFF; }
  uint8_t fuse() const { return (cdw0 >> 8) & 0x3; }
  uint8_t psdt() const { return (cdw0 >> 14) & 0x3; }
  uint16_t cid() const { return cdw0 >> 16; }
  // Dword i (0..15) of the entry.
  uint32_t dword(int i) const { return reinterpret_cast<const uint32_t*>(this)[i]; }
};
static_assert(sizeof(Command) == 64, "submission queue entry is 64 bytes");

// Completion queue entry (16 bytes).
struct Completion {
  uint32_t cdw0;
  uint32_t cdw1;
  uint16_t sqhd;
  uint16_t sqid;
  uint16_t cid;
  uint16_t status;  // P bit 0, SC 8:1, SCT 11:9, CRD 13:12, M 14, DNR 15

  bool phase() const { return status & 1; }
  uint8_t sc() const { return (status >> 1) & 0xFF; }
  uint8_t sct() const { return (status >> 9) & 0x7; }
  bool more() const { return (status >> 14) & 1; }
  bool dnr() const { return (status >> 15) & 1; }
};
static_assert(sizeof(Completion) == 16, "completion queue entry is 16 bytes");

// A status field without the phase bit: SC 7:0, SCT 10:8, CRD 12:11, M 13, DNR 14 (the CQE's bits 15:1 shifted down).
struct Status {
  uint8_t sct = 0;
  uint8_t sc = 0;
  bool more = false;
  bool dnr = false;

  bool ok() const { return sct == 0 && sc == 0; }
  uint16_t field() const {
    return static_cast<uint16_t>(sc | (sct & 0x7) << 8 | (more ? 1u << 13 : 0) | (dnr ? 1u << 14 : 0));
  }
  static Status Of(uint8_t sct, uint8_t sc, bool dnr = true) { return Status{sct, sc, false, dnr}; }
  static Status Success() { return Status{}; }
};

namespace sct {
constexpr uint8_t kGeneric = 0;
constexpr uint8_t kCommandSpecific = 1;
constexpr uint8_t kMediaError = 2;
constexpr uint8_t kPathRelated = 3;
constexpr uint8_t kVendor = 7;
}  // namespace sct

// Generic command status (SCT 0).
namespace sc {
constexpr uint8_t kSuccess = 0x00;
constexpr uint8_t kInvalidOpcode = 0x01;
constexpr uint8_t kInvalidField = 0x02;
constexpr uint8_t kCommandIdConflict = 0x03;
constexpr uint8_t kDataTransferError = 0x04;
constexpr uint8_t kAbortedPowerLoss = 0x05;
constexpr uint8_t kInternalError = 0x06;
constexpr uint8_t kAbortRequested = 0x07;
constexpr uint8_t kAbortedSqDeletion = 0x08;
constexpr uint8_t kAbortedFailedFused = 0x09;
constexpr uint8_t kAbortedMissingFused = 0x0A;
constexpr uint8_t kInvalidNamespaceOrFormat = 0x0B;
constexpr uint8_t kCommandSequenceError = 0x0C;
constexpr uint8_t kInvalidSglSegment = 0x0D;
constexpr uint8_t kInvalidPrpOffset = 0x13;
constexpr uint8_t kNamespaceNotReady = 0x82;  // NVM command set: 0x80 range
constexpr uint8_t kLbaOutOfRange = 0x80;
constexpr uint8_t kCapacityExceeded = 0x81;
constexpr uint8_t kFormatInProgress = 0x84;
}  // namespace sc

// Command specific status (SCT 1).
namespace cssc {
constexpr uint8_t kCompletionQueueInvalid = 0x00;
constexpr uint8_t kInvalidQueueIdentifier = 0x01;
constexpr uint8_t kInvalidQueueSize = 0x02;
constexpr uint8_t kAbortLimitExceeded = 0x03;
constexpr uint8_t kAerLimitExceeded = 0x05;
constexpr uint8_t kInvalidFirmwareSlot = 0x06;
constexpr uint8_t kInvalidInterruptVector = 0x08;
constexpr uint8_t kInvalidLogPage = 0x09;
constexpr uint8_t kInvalidFormat = 0x0A;
constexpr uint8_t kInvalidQueueDeletion = 0x0C;
constexpr uint8_t kFeatureNotSaveable = 0x0D;
constexpr uint8_t kFeatureNotChangeable = 0x0E;
constexpr uint8_t kNamespaceInsufficientCapacity = 0x15;
constexpr uint8_t kNamespaceIdUnavailable = 0x16;
constexpr uint8_t kNamespaceAlreadyAttached = 0x18;
constexpr uint8_t kNamespaceIsPrivate = 0x19;
constexpr uint8_t kNamespaceNotAttached = 0x1A;
constexpr uint8_t kControllerListInvalid = 0x1C;
// NVM command set specific.
constexpr uint8_t kConflictingAttributes = 0x80;
constexpr uint8_t kInvalidProtectionInfo = 0x81;
}  // namespace cssc

// Media and data integrity errors (SCT 2).
namespace mesc {
constexpr uint8_t kWriteFault = 0x80;
constexpr uint8_t kUnrecoveredReadError = 0x81;
constexpr uint8_t kGuardCheckError = 0x82;
constexpr uint8_t kAppTagCheckError = 0x83;
constexpr uint8_t kRefTagCheckError = 0x84;
constexpr uint8_t kCompareFailure = 0x85;
}  // namespace mesc

namespace admin_opc {
constexpr uint8_t kDeleteIoSq = 0x00;
constexpr uint8_t kCreateIoSq = 0x01;
constexpr uint8_t kGetLogPage = 0x02;
constexpr uint8_t kDeleteIoCq = 0x04;
constexpr uint8_t kCreateIoCq = 0x05;
constexpr uint8_t kIdentify = 0x06;
constexpr uint8_t kAbort = 0x08;
constexpr uint8_t kSetFeatures = 0x09;
constexpr uint8_t kGetFeatures = 0x0A;
constexpr uint8_t kAsyncEventRequest = 0x0C;
constexpr uint8_t kNamespaceManagement = 0x0D;
constexpr uint8_t kFirmwareCommit = 0x10;
constexpr uint8_t kFirmwareImageDownload = 0x11;
constexpr uint8_t kNamespaceAttachment = 0x15;
constexpr uint8_t kKeepAlive = 0x18;
constexpr uint8_t kDoorbellBufferConfig = 0x7C;
constexpr uint8_t kFormatNvm = 0x80;
}  // namespace admin_opc

namespace io_opc {
constexpr uint8_t kFlush = 0x00;
constexpr uint8_t kWrite = 0x01;
constexpr uint8_t kRead = 0x02;
constexpr uint8_t kWriteUncorrectable = 0x04;
constexpr uint8_t kCompare = 0x05;
constexpr uint8_t kWriteZeroes = 0x08;
constexpr uint8_t kDatasetManagement = 0x09;
}  // namespace io_opc

namespace feature {
constexpr uint8_t kArbitration = 0x01;
constexpr uint8_t kPowerManagement = 0x02;
constexpr uint8_t kTemperatureThreshold = 0x04;
constexpr uint8_t kErrorRecovery = 0x05;
constexpr uint8_t kVolatileWriteCache = 0x06;
constexpr uint8_t kNumberOfQueues = 0x07;
constexpr uint8_t kInterruptCoalescing = 0x08;
constexpr uint8_t kInterruptVectorConfig = 0x09;
constexpr uint8_t kWriteAtomicity = 0x0A;
constexpr uint8_t kAsyncEventConfig = 0x0B;
constexpr uint8_t kKeepAliveTimer = 0x0F;
constexpr uint8_t kHostIdentifier = 0x81;
}  // namespace feature

namespace log_page {
constexpr uint8_t kErrorInformation = 0x01;
constexpr uint8_t kSmartHealth = 0x02;
constexpr uint8_t kFirmwareSlot = 0x03;
constexpr uint8_t kChangedNamespaceList = 0x04;
}  // namespace log_page

// Asynchronous event types and information.
namespace aen {
constexpr uint8_t kTypeError = 0x0;
constexpr uint8_t kTypeSmart = 0x1;
constexpr uint8_t kTypeNotice = 0x2;
constexpr uint8_t kErrorInvalidDoorbellRegister = 0x00;
constexpr uint8_t kErrorInvalidDoorbellValue = 0x01;
constexpr uint8_t kNoticeNamespaceAttributeChanged = 0x00;
}  // namespace aen

constexpr uint32_t kBroadcastNsid = 0xFFFFFFFFu;

}  // namespace kyt::sim

#endif  // KYT_SIM_NVME_DEFS_H
