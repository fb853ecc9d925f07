/*
 * Configuration of a simulated NVMe controller: PCI identity, register capabilities, controller data, namespaces and
 * the timing of its state changes. Plain values; SimController copies them at construction.
 */
#ifndef KYT_SIM_SIM_CONFIG_H
#define KYT_SIM_SIM_CONFIG_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kyt::sim {

// The LBA formats every simulated namespace offers (Identify Namespace LBAF0..LBAF4).
struct LbaFormat {
  uint32_t data_size;
  uint16_t metadata_size;
};
constexpr std::array<LbaFormat, 5> kLbaFormats = {{{512, 0}, {512, 8}, {4096, 0}, {4096, 8}, {4096, 64}}};

struct NamespaceConfig {
  uint32_t nsid = 1;
  uint64_t blocks = 1u << 20;  // NSZE = NCAP, in logical blocks of the chosen format
  uint8_t lba_format = 0;      // index into kLbaFormats
  bool extended_lba = false;   // metadata transferred inline with the data (FLBAS bit 4)
  uint8_t pi_type = 0;         // protection information type 0..3 (needs 8 bytes of metadata)
  bool pi_first = false;       // protection information in the first 8 bytes of the metadata (DPS bit 3)
  bool active = true;          // attached to the controller; inactive namespaces are allocated but not attached
  std::string uuid;            // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; empty: derived from the serial number and NSID
};

struct SimConfig {
  // PCI identity.
  uint16_t vendor_id = 0x1d1d;
  uint16_t device_id = 0x5a51;
  uint16_t subsystem_vendor_id = 0x1d1d;
  uint16_t subsystem_id = 0x0001;
  uint8_t revision = 0x01;

  // Register capabilities.
  uint16_t mqes = 1023;        // CAP.MQES (zero-based maximum queue size)
  uint8_t timeout = 20;        // CAP.TO in 500 ms units
  uint8_t dstrd = 0;           // CAP.DSTRD: doorbell stride 4 << DSTRD bytes
  uint8_t ams = 0;             // CAP.AMS: bit 0 weighted round robin, bit 1 vendor specific
  uint8_t mpsmin = 0;          // CAP.MPSMIN
  uint8_t mpsmax = 4;          // CAP.MPSMAX
  uint32_t version = 0x00010300;  // VS (1.2, 1.3 and 1.4 are sensible)

  // Controller data (Identify Controller).
  std::string serial;          // empty: derived from the PCI address
  std::string model = "KYT Simulated NVMe Controller";
  std::string firmware = "1.0";
  uint8_t mdts = 5;            // 2^MDTS minimum pages per command; 0 = no limit
  uint16_t cntlid = 1;
  uint16_t kas = 0;            // Keep Alive Support in 100 ms units; 0 = keep alive not supported
  uint8_t aerl = 3;            // outstanding asynchronous event requests - 1
  uint8_t acl = 3;             // outstanding abort commands - 1
  uint32_t max_namespaces = 32;   // NN
  uint64_t total_capacity = 0;    // TNVMCAP in bytes; 0: twice what the configured namespaces use
  bool volatile_write_cache = true;
  // Offer Doorbell Buffer Config (OACS bit 8): shadow doorbells and event indexes for the I/O queues.
  bool doorbell_buffer = false;

  // Queues: how many I/O submission and completion queues the controller can allocate (Number of Queues).
  uint16_t io_queues = 64;

  std::vector<NamespaceConfig> namespaces = {NamespaceConfig{}};

  // Start state of CC.EN and CSTS.RDY, as if a previous owner left the controller so.
  bool start_enabled = false;
  bool start_ready = false;
  // CSTS.RDY starts held at its start value (SimController::SetReadyStuck(false) releases it), for
  // start_ready_stuck_us when that is not 0.
  bool start_ready_stuck = false;
  uint64_t start_ready_stuck_us = 0;

  // Timing (microseconds of the environment's clock, so tests can speed them up with the test clock).
  uint32_t ready_delay_us = 1000;     // CC.EN 0->1 until CSTS.RDY 1
  uint32_t disable_delay_us = 500;    // CC.EN 1->0 until CSTS.RDY 0
  uint32_t shutdown_delay_us = 2000;  // CC.SHN until CSTS.SHST 10b (01b meanwhile)
  uint32_t format_delay_us = 0;       // Format NVM duration (the namespace reports Format In Progress meanwhile)

  // Service thread: spin without sleeping, never allocate per command, post the completions of the I/O commands
  // fetched from a queue together (benchmarks, the main job).
  bool zero_latency = false;
  // Only the first 8 bytes of each block's data are the drive's (benchmarks, the main job): writes store them, reads
  // put them into the host's buffer and leave the rest of each block and its metadata as the buffer held it, Compare
  // compares them alone; no metadata or protection information is kept. Data validation stamps and checks exactly
  // these bytes.
  bool store_first_8_bytes = false;
  // Commands kept in the command log (0: no log).
  uint32_t command_log_capacity = 4096;
  // Commands the controller can hold at once (delayed, held, waiting for CQ room, event requests).
  uint32_t max_held_commands = 4096;
  // Print state changes and errors to stdout with the "SIM: " prefix.
  bool verbose = false;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_SIM_CONFIG_H
