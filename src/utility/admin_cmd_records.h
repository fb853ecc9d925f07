// Records that carry one administrative operation of the admin command runner: what to do (AdminCmdInput) and what
// came back (AdminCmdOutput). The device layer reads and writes them through NvmeController and NvmeAdminCtx.
#ifndef KYT_UTILITY_ADMIN_CMD_RECORDS_H
#define KYT_UTILITY_ADMIN_CMD_RECORDS_H

#include <cstdint>

#include "spdk/nvme.h"
#include "spdk/nvme_spec.h"

// Command codes of the admin command runner: an admin opcode for what is sent as one admin command, 0x100 plus a
// number for the driver's queue-pair operations.
enum AdminCmdCode : uint32_t {
  kAdminCmdNamespaceManagement = 0x0D,
  kAdminCmdNamespaceAttachment = 0x15,
  kAdminCmdFormatNvm = 0x80,
  kAdminCmdCreateQueuePair = 0x101,
  kAdminCmdDeleteQueuePair = 0x102,
};

// Format NVM, and deletion of an I/O queue pair.
struct AdminCmdFormatParams {
  uint32_t nsid;
  spdk_nvme_format format;  // command dword 10
  uint16_t qid;             // the I/O queue pair to delete
};

// Namespace management: nsid 0 creates a namespace from ns_data, any other nsid deletes that namespace.
struct AdminCmdNsMgmtParams {
  uint32_t nsid;
  spdk_nvme_ns_data ns_data;
};

// Namespace attachment: attach (true) or detach (false) nsid for the controllers of ctrlr_list.
struct AdminCmdNsAttachParams {
  uint32_t nsid;
  bool attach;
  spdk_nvme_ctrlr_list ctrlr_list;
};

struct AdminCmdInput {
  uint32_t code;  // AdminCmdCode
  uint16_t qid;   // queue whose completions are processed while a Format NVM is awaited; 0 = the admin queue
  union {
    AdminCmdFormatParams format;
    AdminCmdNsMgmtParams ns_mgmt;
    AdminCmdNsAttachParams ns_attach;
    uint8_t raw[4104];
  } params;
};

struct AdminCmdOutput {
  spdk_nvme_qpair* qpair;  // a queue pair that the operation created
  uint16_t qid;            // its id
  spdk_nvme_cpl cpl;       // completion entry of a Format NVM
};

#endif  // KYT_UTILITY_ADMIN_CMD_RECORDS_H
