/*
 * NVMe data structures as the NVM Express base specification (revision 1.4) lays them out: controller registers,
 * submission and completion queue entries, SGL descriptors, status codes, opcodes, Identify data and the other records
 * that cross the PCIe link. Little-endian host assumed (x86-64).
 */
#ifndef SPDK_NVME_SPEC_H
#define SPDK_NVME_SPEC_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define SPDK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define SPDK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---------------------------------------------------------------------------------------------------------------- */
/* Controller registers (BAR0)                                                                                      */
/* ---------------------------------------------------------------------------------------------------------------- */

#define SPDK_NVME_MAX_IO_QUEUES (65535)
#define SPDK_NVME_ADMIN_QUEUE_MIN_ENTRIES 2
#define SPDK_NVME_ADMIN_QUEUE_MAX_ENTRIES 4096
#define SPDK_NVME_IO_QUEUE_MIN_ENTRIES 2
#define SPDK_NVME_IO_QUEUE_MAX_ENTRIES 65536

union spdk_nvme_cap_register {
	uint64_t raw;
	struct {
		uint32_t mqes : 16;   /* maximum queue entries supported, zero-based */
		uint32_t cqr : 1;     /* contiguous queues required */
		uint32_t ams : 2;     /* arbitration mechanisms supported */
		uint32_t reserved1 : 5;
		uint32_t to : 8;      /* ready time-out, units of 500 ms */
		uint32_t dstrd : 4;   /* doorbell stride, 2^(2 + dstrd) bytes */
		uint32_t nssrs : 1;   /* NVM subsystem reset supported */
		uint32_t css : 8;     /* command sets supported */
		uint32_t bps : 1;     /* boot partition support */
		uint32_t reserved2 : 2;
		uint32_t mpsmin : 4;  /* memory page size minimum, 2^(12 + mpsmin) */
		uint32_t mpsmax : 4;
		uint32_t pmrs : 1;
		uint32_t cmbs : 1;
		uint32_t reserved3 : 6;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_cap_register) == 8, "CAP is 8 bytes");

/* CAP.CSS bits */
enum spdk_nvme_cap_css {
	SPDK_NVME_CAP_CSS_NVM = 1u << 0,
	SPDK_NVME_CAP_CSS_NOIO = 1u << 7,
};

union spdk_nvme_vs_register {
	uint32_t raw;
	struct {
		uint32_t ter : 8;
		uint32_t mnr : 8;
		uint32_t mjr : 16;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_vs_register) == 4, "VS is 4 bytes");

/* VS value for major.minor.tertiary */
#define SPDK_NVME_VERSION(mjr, mnr, ter) (((uint32_t)(mjr) << 16) | ((uint32_t)(mnr) << 8) | (uint32_t)(ter))

union spdk_nvme_cc_register {
	uint32_t raw;
	struct {
		uint32_t en : 1;
		uint32_t reserved1 : 3;
		uint32_t css : 3;
		uint32_t mps : 4;
		uint32_t ams : 3;
		uint32_t shn : 2;
		uint32_t iosqes : 4;
		uint32_t iocqes : 4;
		uint32_t reserved2 : 8;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_cc_register) == 4, "CC is 4 bytes");

enum spdk_nvme_shn_value {
	SPDK_NVME_SHN_NORMAL = 0x1,
	SPDK_NVME_SHN_ABRUPT = 0x2,
};

union spdk_nvme_csts_register {
	uint32_t raw;
	struct {
		uint32_t rdy : 1;
		uint32_t cfs : 1;
		uint32_t shst : 2;
		uint32_t nssro : 1;
		uint32_t pp : 1;
		uint32_t reserved1 : 26;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_csts_register) == 4, "CSTS is 4 bytes");

enum spdk_nvme_shst_value {
	SPDK_NVME_SHST_NORMAL = 0x0,
	SPDK_NVME_SHST_OCCURRING = 0x1,
	SPDK_NVME_SHST_COMPLETE = 0x2,
};

union spdk_nvme_aqa_register {
	uint32_t raw;
	struct {
		uint32_t asqs : 12;
		uint32_t reserved1 : 4;
		uint32_t acqs : 12;
		uint32_t reserved2 : 4;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_aqa_register) == 4, "AQA is 4 bytes");

union spdk_nvme_cmbloc_register {
	uint32_t raw;
	struct {
		uint32_t bir : 3;
		uint32_t reserved1 : 9;
		uint32_t ofst : 20;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_cmbloc_register) == 4, "CMBLOC is 4 bytes");

union spdk_nvme_cmbsz_register {
	uint32_t raw;
	struct {
		uint32_t sqs : 1;
		uint32_t cqs : 1;
		uint32_t lists : 1;
		uint32_t rds : 1;
		uint32_t wds : 1;
		uint32_t reserved1 : 3;
		uint32_t szu : 4;
		uint32_t sz : 20;
	} bits;
};
SPDK_STATIC_ASSERT(sizeof(union spdk_nvme_cmbsz_register) == 4, "CMBSZ is 4 bytes");

union spdk_nvme_bpinfo_register {
	uint32_t raw;
	struct {
		uint32_t bpsz : 15;
		uint32_t reserved1 : 9;
		uint32_t brs : 2;
		uint32_t reserved2 : 5;
		uint32_t abpid : 1;
	} bits;
};

union spdk_nvme_bprsel_register {
	uint32_t raw;
	struct {
		uint32_t bprsz : 10;
		uint32_t bprof : 20;
		uint32_t reserved1 : 1;
		uint32_t bpid : 1;
	} bits;
};

/* The register file up to and including the first doorbell pair (the admin queue's). */
struct spdk_nvme_registers {
	union spdk_nvme_cap_register cap;       /* 0x00 */
	union spdk_nvme_vs_register vs;         /* 0x08 */
	uint32_t intms;                         /* 0x0C */
	uint32_t intmc;                         /* 0x10 */
	union spdk_nvme_cc_register cc;         /* 0x14 */
	uint32_t reserved1;                     /* 0x18 */
	union spdk_nvme_csts_register csts;     /* 0x1C */
	uint32_t nssr;                          /* 0x20 */
	union spdk_nvme_aqa_register aqa;       /* 0x24 */
	uint64_t asq;                           /* 0x28 */
	uint64_t acq;                           /* 0x30 */
	union spdk_nvme_cmbloc_register cmbloc; /* 0x38 */
	union spdk_nvme_cmbsz_register cmbsz;   /* 0x3C */
	union spdk_nvme_bpinfo_register bpinfo; /* 0x40 */
	union spdk_nvme_bprsel_register bprsel; /* 0x44 */
	uint64_t bpmbl;                         /* 0x48 */
	uint32_t reserved3[0x3EC];              /* 0x50 - 0xFFF */
	struct {
		uint32_t sq_tdbl;
		uint32_t cq_hdbl;
	} doorbell[1];                          /* 0x1000 */
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_registers) == 4104, "register file through the first doorbell pair");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_registers, cc) == 0x14, "CC offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_registers, csts) == 0x1C, "CSTS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_registers, aqa) == 0x24, "AQA offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_registers, cmbloc) == 0x38, "CMBLOC offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_registers, cmbsz) == 0x3C, "CMBSZ offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_registers, doorbell) == 0x1000, "doorbell offset");

/* Byte offsets of the registers in BAR0 */
enum spdk_nvme_register_offset {
	SPDK_NVME_REG_CAP = 0x00,
	SPDK_NVME_REG_VS = 0x08,
	SPDK_NVME_REG_INTMS = 0x0C,
	SPDK_NVME_REG_INTMC = 0x10,
	SPDK_NVME_REG_CC = 0x14,
	SPDK_NVME_REG_CSTS = 0x1C,
	SPDK_NVME_REG_NSSR = 0x20,
	SPDK_NVME_REG_AQA = 0x24,
	SPDK_NVME_REG_ASQ = 0x28,
	SPDK_NVME_REG_ACQ = 0x30,
	SPDK_NVME_REG_CMBLOC = 0x38,
	SPDK_NVME_REG_CMBSZ = 0x3C,
	SPDK_NVME_REG_BPINFO = 0x40,
	SPDK_NVME_REG_BPRSEL = 0x44,
	SPDK_NVME_REG_BPMBL = 0x48,
	SPDK_NVME_REG_DOORBELL_BASE = 0x1000,
};

/* ---------------------------------------------------------------------------------------------------------------- */
/* Submission and completion queue entries                                                                          */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_sgl_descriptor_type {
	SPDK_NVME_SGL_TYPE_DATA_BLOCK = 0x0,
	SPDK_NVME_SGL_TYPE_BIT_BUCKET = 0x1,
	SPDK_NVME_SGL_TYPE_SEGMENT = 0x2,
	SPDK_NVME_SGL_TYPE_LAST_SEGMENT = 0x3,
	SPDK_NVME_SGL_TYPE_KEYED_DATA_BLOCK = 0x4,
	SPDK_NVME_SGL_TYPE_TRANSPORT_DATA_BLOCK = 0x5,
	SPDK_NVME_SGL_TYPE_VENDOR_SPECIFIC = 0xF,
};

enum spdk_nvme_sgl_descriptor_subtype {
	SPDK_NVME_SGL_SUBTYPE_ADDRESS = 0x0,
	SPDK_NVME_SGL_SUBTYPE_OFFSET = 0x1,
	SPDK_NVME_SGL_SUBTYPE_TRANSPORT = 0xA,
};

struct spdk_nvme_sgl_descriptor {
	uint64_t address;
	union {
		struct {
			uint8_t reserved[7];
			uint8_t subtype : 4;
			uint8_t type : 4;
		} generic;
		struct {
			uint32_t length;
			uint8_t reserved[3];
			uint8_t subtype : 4;
			uint8_t type : 4;
		} unkeyed;
		struct {
			uint64_t length : 24;
			uint64_t key : 32;
			uint64_t subtype : 4;
			uint64_t type : 4;
		} keyed;
	};
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_sgl_descriptor) == 16, "SGL descriptor is 16 bytes");

enum spdk_nvme_psdt_value {
	SPDK_NVME_PSDT_PRP = 0x0,
	SPDK_NVME_PSDT_SGL_MPTR_CONTIG = 0x1,
	SPDK_NVME_PSDT_SGL_MPTR_SGL = 0x2,
	SPDK_NVME_PSDT_RESERVED = 0x3,
};

enum spdk_nvme_cmd_fuse {
	SPDK_NVME_CMD_FUSE_NONE = 0x0,
	SPDK_NVME_CMD_FUSE_FIRST = 0x1,
	SPDK_NVME_CMD_FUSE_SECOND = 0x2,
};

/* Submission queue entry */
struct spdk_nvme_cmd {
	/* dword 0 */
	uint16_t opc : 8;
	uint16_t fuse : 2;
	uint16_t rsvd1 : 4;
	uint16_t psdt : 2;
	uint16_t cid;
	/* dword 1 */
	uint32_t nsid;
	/* dwords 2-3 */
	uint32_t rsvd2;
	uint32_t rsvd3;
	/* dwords 4-5 */
	uint64_t mptr;
	/* dwords 6-9 */
	union {
		struct {
			uint64_t prp1;
			uint64_t prp2;
		} prp;
		struct spdk_nvme_sgl_descriptor sgl1;
	} dptr;
	/* dwords 10-15 */
	uint32_t cdw10;
	uint32_t cdw11;
	uint32_t cdw12;
	uint32_t cdw13;
	uint32_t cdw14;
	uint32_t cdw15;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_cmd) == 64, "submission queue entry is 64 bytes");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_cmd, mptr) == 16, "MPTR at byte 16");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_cmd, dptr) == 24, "DPTR at byte 24");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_cmd, cdw10) == 40, "CDW10 at byte 40");

/* Completion status field (phase tag included) */
struct spdk_nvme_status {
	uint16_t p : 1;   /* phase tag */
	uint16_t sc : 8;  /* status code */
	uint16_t sct : 3; /* status code type */
	uint16_t rsvd2 : 2;
	uint16_t m : 1;   /* more */
	uint16_t dnr : 1; /* do not retry */
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_status) == 2, "status is 2 bytes");

/* Completion queue entry */
struct spdk_nvme_cpl {
	/* dword 0 */
	uint32_t cdw0;
	/* dword 1 */
	uint32_t rsvd1;
	/* dword 2 */
	uint16_t sqhd;
	uint16_t sqid;
	/* dword 3 */
	uint16_t cid;
	union {
		uint16_t status_raw;
		struct spdk_nvme_status status;
	};
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_cpl) == 16, "completion queue entry is 16 bytes");

/* Dataset Management range */
struct spdk_nvme_dsm_range {
	union {
		struct {
			uint32_t af : 4;
			uint32_t access_lat : 2;
			uint32_t reserved0 : 2;
			uint32_t sequential_read_range : 1;
			uint32_t sequential_write_range : 1;
			uint32_t write_prepare : 1;
			uint32_t reserved1 : 13;
			uint32_t command_access_size : 8;
		} bits;
		uint32_t raw;
	} attributes;
	uint32_t length;
	uint64_t starting_lba;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_dsm_range) == 16, "DSM range is 16 bytes");

#define SPDK_NVME_DATASET_MANAGEMENT_MAX_RANGES 256

/* Dataset Management cdw11 attributes */
enum spdk_nvme_dsm_attribute {
	SPDK_NVME_DSM_ATTR_INTEGRAL_READ = 0x1,
	SPDK_NVME_DSM_ATTR_INTEGRAL_WRITE = 0x2,
	SPDK_NVME_DSM_ATTR_DEALLOCATE = 0x4,
};

/* ---------------------------------------------------------------------------------------------------------------- */
/* Status codes                                                                                                     */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_status_code_type {
	SPDK_NVME_SCT_GENERIC = 0x0,
	SPDK_NVME_SCT_COMMAND_SPECIFIC = 0x1,
	SPDK_NVME_SCT_MEDIA_ERROR = 0x2,
	SPDK_NVME_SCT_PATH = 0x3,
	SPDK_NVME_SCT_VENDOR_SPECIFIC = 0x7,
};

enum spdk_nvme_generic_command_status_code {
	SPDK_NVME_SC_SUCCESS = 0x00,
	SPDK_NVME_SC_INVALID_OPCODE = 0x01,
	SPDK_NVME_SC_INVALID_FIELD = 0x02,
	SPDK_NVME_SC_COMMAND_ID_CONFLICT = 0x03,
	SPDK_NVME_SC_DATA_TRANSFER_ERROR = 0x04,
	SPDK_NVME_SC_ABORTED_POWER_LOSS = 0x05,
	SPDK_NVME_SC_INTERNAL_DEVICE_ERROR = 0x06,
	SPDK_NVME_SC_ABORTED_BY_REQUEST = 0x07,
	SPDK_NVME_SC_ABORTED_SQ_DELETION = 0x08,
	SPDK_NVME_SC_ABORTED_FAILED_FUSED = 0x09,
	SPDK_NVME_SC_ABORTED_MISSING_FUSED = 0x0a,
	SPDK_NVME_SC_INVALID_NAMESPACE_OR_FORMAT = 0x0b,
	SPDK_NVME_SC_COMMAND_SEQUENCE_ERROR = 0x0c,
	SPDK_NVME_SC_INVALID_SGL_SEG_DESCRIPTOR = 0x0d,
	SPDK_NVME_SC_INVALID_NUM_SGL_DESCIRPTORS = 0x0e,
	SPDK_NVME_SC_DATA_SGL_LENGTH_INVALID = 0x0f,
	SPDK_NVME_SC_METADATA_SGL_LENGTH_INVALID = 0x10,
	SPDK_NVME_SC_SGL_DESCRIPTOR_TYPE_INVALID = 0x11,
	SPDK_NVME_SC_INVALID_CONTROLLER_MEM_BUF = 0x12,
	SPDK_NVME_SC_INVALID_PRP_OFFSET = 0x13,
	SPDK_NVME_SC_ATOMIC_WRITE_UNIT_EXCEEDED = 0x14,
	SPDK_NVME_SC_OPERATION_DENIED = 0x15,
	SPDK_NVME_SC_INVALID_SGL_OFFSET = 0x16,
	SPDK_NVME_SC_HOSTID_INCONSISTENT_FORMAT = 0x18,
	SPDK_NVME_SC_KEEP_ALIVE_EXPIRED = 0x19,
	SPDK_NVME_SC_KEEP_ALIVE_INVALID = 0x1a,
	SPDK_NVME_SC_ABORTED_PREEMPT = 0x1b,
	SPDK_NVME_SC_SANITIZE_FAILED = 0x1c,
	SPDK_NVME_SC_SANITIZE_IN_PROGRESS = 0x1d,
	SPDK_NVME_SC_SGL_DATA_BLOCK_GRANULARITY_INVALID = 0x1e,
	SPDK_NVME_SC_COMMAND_INVALID_IN_CMB = 0x1f,
	SPDK_NVME_SC_LBA_OUT_OF_RANGE = 0x80,
	SPDK_NVME_SC_CAPACITY_EXCEEDED = 0x81,
	SPDK_NVME_SC_NAMESPACE_NOT_READY = 0x82,
	SPDK_NVME_SC_RESERVATION_CONFLICT = 0x83,
	SPDK_NVME_SC_FORMAT_IN_PROGRESS = 0x84,
};

enum spdk_nvme_command_specific_status_code {
	SPDK_NVME_SC_COMPLETION_QUEUE_INVALID = 0x00,
	SPDK_NVME_SC_INVALID_QUEUE_IDENTIFIER = 0x01,
	SPDK_NVME_SC_INVALID_QUEUE_SIZE = 0x02,
	SPDK_NVME_SC_ABORT_COMMAND_LIMIT_EXCEEDED = 0x03,
	SPDK_NVME_SC_ASYNC_EVENT_REQUEST_LIMIT_EXCEEDED = 0x05,
	SPDK_NVME_SC_INVALID_FIRMWARE_SLOT = 0x06,
	SPDK_NVME_SC_INVALID_FIRMWARE_IMAGE = 0x07,
	SPDK_NVME_SC_INVALID_INTERRUPT_VECTOR = 0x08,
	SPDK_NVME_SC_INVALID_LOG_PAGE = 0x09,
	SPDK_NVME_SC_INVALID_FORMAT = 0x0a,
	SPDK_NVME_SC_FIRMWARE_REQ_CONVENTIONAL_RESET = 0x0b,
	SPDK_NVME_SC_INVALID_QUEUE_DELETION = 0x0c,
	SPDK_NVME_SC_FEATURE_ID_NOT_SAVEABLE = 0x0d,
	SPDK_NVME_SC_FEATURE_NOT_CHANGEABLE = 0x0e,
	SPDK_NVME_SC_FEATURE_NOT_NAMESPACE_SPECIFIC = 0x0f,
	SPDK_NVME_SC_FIRMWARE_REQ_NVM_RESET = 0x10,
	SPDK_NVME_SC_FIRMWARE_REQ_RESET = 0x11,
	SPDK_NVME_SC_FIRMWARE_REQ_MAX_TIME_VIOLATION = 0x12,
	SPDK_NVME_SC_FIRMWARE_ACTIVATION_PROHIBITED = 0x13,
	SPDK_NVME_SC_OVERLAPPING_RANGE = 0x14,
	SPDK_NVME_SC_NAMESPACE_INSUFFICIENT_CAPACITY = 0x15,
	SPDK_NVME_SC_NAMESPACE_ID_UNAVAILABLE = 0x16,
	SPDK_NVME_SC_NAMESPACE_ALREADY_ATTACHED = 0x18,
	SPDK_NVME_SC_NAMESPACE_IS_PRIVATE = 0x19,
	SPDK_NVME_SC_NAMESPACE_NOT_ATTACHED = 0x1a,
	SPDK_NVME_SC_THINPROVISIONING_NOT_SUPPORTED = 0x1b,
	SPDK_NVME_SC_CONTROLLER_LIST_INVALID = 0x1c,
	SPDK_NVME_SC_DEVICE_SELF_TEST_IN_PROGRESS = 0x1d,
	SPDK_NVME_SC_BOOT_PARTITION_WRITE_PROHIBITED = 0x1e,
	SPDK_NVME_SC_INVALID_CTRLR_ID = 0x1f,
	SPDK_NVME_SC_INVALID_SECONDARY_CTRLR_STATE = 0x20,
	SPDK_NVME_SC_INVALID_NUM_CTRLR_RESOURCES = 0x21,
	SPDK_NVME_SC_INVALID_RESOURCE_ID = 0x22,
	SPDK_NVME_SC_CONFLICTING_ATTRIBUTES = 0x80,
	SPDK_NVME_SC_INVALID_PROTECTION_INFO = 0x81,
	SPDK_NVME_SC_ATTEMPTED_WRITE_TO_RO_RANGE = 0x82,
};

enum spdk_nvme_media_error_status_code {
	SPDK_NVME_SC_WRITE_FAULTS = 0x80,
	SPDK_NVME_SC_UNRECOVERED_READ_ERROR = 0x81,
	SPDK_NVME_SC_GUARD_CHECK_ERROR = 0x82,
	SPDK_NVME_SC_APPLICATION_TAG_CHECK_ERROR = 0x83,
	SPDK_NVME_SC_REFERENCE_TAG_CHECK_ERROR = 0x84,
	SPDK_NVME_SC_COMPARE_FAILURE = 0x85,
	SPDK_NVME_SC_ACCESS_DENIED = 0x86,
	SPDK_NVME_SC_DEALLOCATED_OR_UNWRITTEN_BLOCK = 0x87,
};

enum spdk_nvme_path_status_code {
	SPDK_NVME_SC_INTERNAL_PATH_ERROR = 0x00,
	SPDK_NVME_SC_CONTROLLER_PATH_ERROR = 0x60,
	SPDK_NVME_SC_HOST_PATH_ERROR = 0x70,
	SPDK_NVME_SC_ABORTED_BY_HOST = 0x71,
};

/* "Error" means a non-zero status code or status code type */
#define spdk_nvme_cpl_is_error(cpl) ((cpl)->status.sc != 0 || (cpl)->status.sct != 0)
#define spdk_nvme_cpl_is_success(cpl) (!spdk_nvme_cpl_is_error(cpl))

/* ---------------------------------------------------------------------------------------------------------------- */
/* Opcodes                                                                                                          */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_admin_opcode {
	SPDK_NVME_OPC_DELETE_IO_SQ = 0x00,
	SPDK_NVME_OPC_CREATE_IO_SQ = 0x01,
	SPDK_NVME_OPC_GET_LOG_PAGE = 0x02,
	SPDK_NVME_OPC_DELETE_IO_CQ = 0x04,
	SPDK_NVME_OPC_CREATE_IO_CQ = 0x05,
	SPDK_NVME_OPC_IDENTIFY = 0x06,
	SPDK_NVME_OPC_ABORT = 0x08,
	SPDK_NVME_OPC_SET_FEATURES = 0x09,
	SPDK_NVME_OPC_GET_FEATURES = 0x0a,
	SPDK_NVME_OPC_ASYNC_EVENT_REQUEST = 0x0c,
	SPDK_NVME_OPC_NS_MANAGEMENT = 0x0d,
	SPDK_NVME_OPC_FIRMWARE_COMMIT = 0x10,
	SPDK_NVME_OPC_FIRMWARE_IMAGE_DOWNLOAD = 0x11,
	SPDK_NVME_OPC_DEVICE_SELF_TEST = 0x14,
	SPDK_NVME_OPC_NS_ATTACHMENT = 0x15,
	SPDK_NVME_OPC_KEEP_ALIVE = 0x18,
	SPDK_NVME_OPC_DIRECTIVE_SEND = 0x19,
	SPDK_NVME_OPC_DIRECTIVE_RECEIVE = 0x1a,
	SPDK_NVME_OPC_VIRTUALIZATION_MANAGEMENT = 0x1c,
	SPDK_NVME_OPC_NVME_MI_SEND = 0x1d,
	SPDK_NVME_OPC_NVME_MI_RECEIVE = 0x1e,
	SPDK_NVME_OPC_DOORBELL_BUFFER_CONFIG = 0x7c,
	SPDK_NVME_OPC_FORMAT_NVM = 0x80,
	SPDK_NVME_OPC_SECURITY_SEND = 0x81,
	SPDK_NVME_OPC_SECURITY_RECEIVE = 0x82,
	SPDK_NVME_OPC_SANITIZE = 0x84,
	SPDK_NVME_OPC_GET_LBA_STATUS = 0x86,
};

enum spdk_nvme_nvm_opcode {
	SPDK_NVME_OPC_FLUSH = 0x00,
	SPDK_NVME_OPC_WRITE = 0x01,
	SPDK_NVME_OPC_READ = 0x02,
	SPDK_NVME_OPC_WRITE_UNCORRECTABLE = 0x04,
	SPDK_NVME_OPC_COMPARE = 0x05,
	SPDK_NVME_OPC_WRITE_ZEROES = 0x08,
	SPDK_NVME_OPC_DATASET_MANAGEMENT = 0x09,
	SPDK_NVME_OPC_RESERVATION_REGISTER = 0x0d,
	SPDK_NVME_OPC_RESERVATION_REPORT = 0x0e,
	SPDK_NVME_OPC_RESERVATION_ACQUIRE = 0x11,
	SPDK_NVME_OPC_RESERVATION_RELEASE = 0x15,
};

/* Data transfer direction, the low two bits of an opcode */
enum spdk_nvme_data_transfer {
	SPDK_NVME_DATA_NONE = 0,
	SPDK_NVME_DATA_HOST_TO_CONTROLLER = 1,
	SPDK_NVME_DATA_CONTROLLER_TO_HOST = 2,
	SPDK_NVME_DATA_BIDIRECTIONAL = 3,
};

static inline enum spdk_nvme_data_transfer spdk_nvme_opc_get_data_transfer(uint8_t opc)
{
	return (enum spdk_nvme_data_transfer)(opc & 3);
}

/* ---------------------------------------------------------------------------------------------------------------- */
/* Features, log pages, Identify                                                                                    */
/* ---------------------------------------------------------------------------------------------------------------- */

enum spdk_nvme_feat {
	SPDK_NVME_FEAT_ARBITRATION = 0x01,
	SPDK_NVME_FEAT_POWER_MANAGEMENT = 0x02,
	SPDK_NVME_FEAT_LBA_RANGE_TYPE = 0x03,
	SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD = 0x04,
	SPDK_NVME_FEAT_ERROR_RECOVERY = 0x05,
	SPDK_NVME_FEAT_VOLATILE_WRITE_CACHE = 0x06,
	SPDK_NVME_FEAT_NUMBER_OF_QUEUES = 0x07,
	SPDK_NVME_FEAT_INTERRUPT_COALESCING = 0x08,
	SPDK_NVME_FEAT_INTERRUPT_VECTOR_CONFIGURATION = 0x09,
	SPDK_NVME_FEAT_WRITE_ATOMICITY = 0x0A,
	SPDK_NVME_FEAT_ASYNC_EVENT_CONFIGURATION = 0x0B,
	SPDK_NVME_FEAT_AUTONOMOUS_POWER_STATE_TRANSITION = 0x0C,
	SPDK_NVME_FEAT_HOST_MEM_BUFFER = 0x0D,
	SPDK_NVME_FEAT_TIMESTAMP = 0x0E,
	SPDK_NVME_FEAT_KEEP_ALIVE_TIMER = 0x0F,
	SPDK_NVME_FEAT_HOST_CONTROLLED_THERMAL_MANAGEMENT = 0x10,
	SPDK_NVME_FEAT_NON_OPERATIONAL_POWER_STATE_CONFIG = 0x11,
	SPDK_NVME_FEAT_SOFTWARE_PROGRESS_MARKER = 0x80,
	SPDK_NVME_FEAT_HOST_IDENTIFIER = 0x81,
	SPDK_NVME_FEAT_HOST_RESERVE_MASK = 0x82,
	SPDK_NVME_FEAT_HOST_RESERVE_PERSIST = 0x83,
};

enum spdk_nvme_log_page {
	SPDK_NVME_LOG_ERROR = 0x01,
	SPDK_NVME_LOG_HEALTH_INFORMATION = 0x02,
	SPDK_NVME_LOG_FIRMWARE_SLOT = 0x03,
	SPDK_NVME_LOG_CHANGED_NS_LIST = 0x04,
	SPDK_NVME_LOG_COMMAND_EFFECTS_LOG = 0x05,
	SPDK_NVME_LOG_DEVICE_SELF_TEST = 0x06,
	SPDK_NVME_LOG_TELEMETRY_HOST_INITIATED = 0x07,
	SPDK_NVME_LOG_TELEMETRY_CTRLR_INITIATED = 0x08,
	SPDK_NVME_LOG_RESERVATION_NOTIFICATION = 0x80,
	SPDK_NVME_LOG_SANITIZE_STATUS = 0x81,
};

/* Intel vendor log pages (directory and the pages the controller initialisation looks for) */
enum spdk_nvme_intel_log_page {
	SPDK_NVME_INTEL_LOG_PAGE_DIRECTORY = 0xC0,
	SPDK_NVME_INTEL_LOG_READ_CMD_LATENCY = 0xC1,
	SPDK_NVME_INTEL_LOG_WRITE_CMD_LATENCY = 0xC2,
	SPDK_NVME_INTEL_LOG_TEMPERATURE = 0xC5,
	SPDK_NVME_INTEL_LOG_SMART = 0xCA,
	SPDK_NVME_INTEL_MARKETING_DESCRIPTION = 0xDD,
};

enum spdk_nvme_identify_cns {
	SPDK_NVME_IDENTIFY_NS = 0x00,
	SPDK_NVME_IDENTIFY_CTRLR = 0x01,
	SPDK_NVME_IDENTIFY_ACTIVE_NS_LIST = 0x02,
	SPDK_NVME_IDENTIFY_NS_ID_DESCRIPTOR_LIST = 0x03,
	SPDK_NVME_IDENTIFY_NVMSET_LIST = 0x04,
	SPDK_NVME_IDENTIFY_ALLOCATED_NS_LIST = 0x10,
	SPDK_NVME_IDENTIFY_NS_ALLOCATED = 0x11,
	SPDK_NVME_IDENTIFY_NS_ATTACHED_CTRLR_LIST = 0x12,
	SPDK_NVME_IDENTIFY_CTRLR_LIST = 0x13,
	SPDK_NVME_IDENTIFY_PRIMARY_CTRLR_CAP = 0x14,
	SPDK_NVME_IDENTIFY_SECONDARY_CTRLR_LIST = 0x15,
	SPDK_NVME_IDENTIFY_NS_GRANULARITY_LIST = 0x16,
	SPDK_NVME_IDENTIFY_UUID_LIST = 0x17,
};

/* Namespace identification descriptor types (Identify CNS 3) */
enum spdk_nvme_nidt {
	SPDK_NVME_NIDT_EUI64 = 0x01,
	SPDK_NVME_NIDT_NGUID = 0x02,
	SPDK_NVME_NIDT_UUID = 0x03,
};

struct spdk_nvme_ns_id_desc {
	uint8_t nidt;
	uint8_t nidl;
	uint8_t reserved2;
	uint8_t reserved3;
	uint8_t nid[];
};

/* Power state descriptor (32 bytes) */
struct spdk_nvme_power_state {
	uint16_t mp;
	uint8_t reserved1;
	uint8_t mps : 1;
	uint8_t nops : 1;
	uint8_t reserved2 : 6;
	uint32_t enlat;
	uint32_t exlat;
	uint8_t rrt : 5;
	uint8_t reserved3 : 3;
	uint8_t rrl : 5;
	uint8_t reserved4 : 3;
	uint8_t rwt : 5;
	uint8_t reserved5 : 3;
	uint8_t rwl : 5;
	uint8_t reserved6 : 3;
	uint8_t reserved7[16];
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_power_state) == 32, "power state descriptor is 32 bytes");

/* Identify Controller data */
struct __attribute__((packed)) spdk_nvme_ctrlr_data {
	/* bytes 0-255: controller capabilities and features */
	uint16_t vid;        /* 0: PCI vendor id */
	uint16_t ssvid;      /* 2: PCI subsystem vendor id */
	int8_t sn[20];       /* 4: serial number */
	int8_t mn[40];       /* 24: model number */
	uint8_t fr[8];       /* 64: firmware revision */
	uint8_t rab;         /* 72: recommended arbitration burst */
	uint8_t ieee[3];     /* 73 */
	struct {             /* 76: controller multi-path I/O and namespace sharing capabilities */
		uint8_t multi_port : 1;
		uint8_t multi_host : 1;
		uint8_t sr_iov : 1;
		uint8_t ana_reporting : 1;
		uint8_t reserved : 4;
	} cmic;
	uint8_t mdts;        /* 77: maximum data transfer size, power of two of the minimum page size */
	uint16_t cntlid;     /* 78 */
	union spdk_nvme_vs_register ver; /* 80 */
	uint32_t rtd3r;      /* 84 */
	uint32_t rtd3e;      /* 88 */
	union {              /* 92: optional asynchronous events supported */
		uint32_t raw;
		struct {
			uint32_t reserved1 : 8;
			uint32_t ns_attribute_notices : 1;
			uint32_t fw_activation_notices : 1;
			uint32_t reserved2 : 22;
		} bits;
	} oaes;
	union {              /* 96: controller attributes */
		uint32_t raw;
		struct {
			uint32_t host_id_exhid_supported : 1;
			uint32_t non_operational_power_state_permissive_mode : 1;
			uint32_t reserved : 30;
		} bits;
	} ctratt;
	uint16_t rrls;       /* 100 */
	uint8_t reserved_102[9];
	uint8_t cntrltype;   /* 111 */
	uint8_t fguid[16];   /* 112 */
	uint16_t crdt[3];    /* 128 */
	uint8_t reserved_134[106];
	uint8_t reserved_nvme_mi[16]; /* 240 */

	/* bytes 256-511: admin command set attributes */
	union {              /* 256: optional admin command support */
		uint16_t raw;
		struct {
			uint16_t security : 1;
			uint16_t format : 1;
			uint16_t firmware : 1;
			uint16_t ns_manage : 1;
			uint16_t device_self_test : 1;
			uint16_t directives : 1;
			uint16_t nvme_mi : 1;
			uint16_t virtualization_management : 1;
			uint16_t doorbell_buffer_config : 1;
			uint16_t get_lba_status : 1;
			uint16_t oacs_rsvd : 6;
		} bits;
	} oacs;
	uint8_t acl;         /* 258: abort command limit, zero-based */
	uint8_t aerl;        /* 259: asynchronous event request limit, zero-based */
	union {              /* 260: firmware updates */
		uint8_t raw;
		struct {
			uint8_t slot1_ro : 1;
			uint8_t num_slots : 3;
			uint8_t activation_without_reset : 1;
			uint8_t frmw_rsvd : 3;
		} bits;
	} frmw;
	union {              /* 261: log page attributes */
		uint8_t raw;
		struct {
			uint8_t ns_smart : 1;
			uint8_t celp : 1;  /* commands supported and effects log page */
			uint8_t edlp : 1;  /* extended data for Get Log Page */
			uint8_t telemetry : 1;
			uint8_t lpa_rsvd : 4;
		} bits;
	} lpa;
	uint8_t elpe;        /* 262 */
	uint8_t npss;        /* 263 */
	uint8_t avscc;       /* 264 */
	union {              /* 265: autonomous power state transition attributes */
		uint8_t raw;
		struct {
			uint8_t supported : 1;
			uint8_t apsta_rsvd : 7;
		} bits;
	} apsta;
	uint16_t wctemp;     /* 266 */
	uint16_t cctemp;     /* 268 */
	uint16_t mtfa;       /* 270 */
	uint32_t hmpre;      /* 272 */
	uint32_t hmmin;      /* 276 */
	uint64_t tnvmcap[2]; /* 280 */
	uint64_t unvmcap[2]; /* 296 */
	uint32_t rpmbs;      /* 312 */
	uint16_t edstt;      /* 316 */
	uint8_t dsto;        /* 318 */
	uint8_t fwug;        /* 319 */
	uint16_t kas;        /* 320: keep alive support, units of 100 ms */
	uint16_t hctma;      /* 322 */
	uint16_t mntmt;      /* 324 */
	uint16_t mxtmt;      /* 326 */
	uint32_t sanicap;    /* 328 */
	uint32_t hmminds;    /* 332 */
	uint16_t hmmaxd;     /* 336 */
	uint16_t nsetidmax;  /* 338 */
	uint16_t endgidmax;  /* 340 */
	uint8_t anatt;       /* 342 */
	uint8_t anacap;      /* 343 */
	uint32_t anagrpmax;  /* 344 */
	uint32_t nanagrpid;  /* 348 */
	uint32_t pels;       /* 352 */
	uint8_t reserved_356[156];

	/* bytes 512-703: NVM command set attributes */
	uint8_t sqes;        /* 512 */
	uint8_t cqes;        /* 513 */
	uint16_t maxcmd;     /* 514 */
	uint32_t nn;         /* 516: number of namespaces */
	union {              /* 520: optional NVM command support */
		uint16_t raw;
		struct {
			uint16_t compare : 1;
			uint16_t write_unc : 1;
			uint16_t dsm : 1;
			uint16_t write_zeroes : 1;
			uint16_t set_features_save : 1;
			uint16_t reservations : 1;
			uint16_t timestamp : 1;
			uint16_t verify : 1;
			uint16_t reserved : 8;
		} bits;
	} oncs;
	uint16_t fuses;      /* 522 */
	uint8_t fna;         /* 524 */
	union {              /* 525: volatile write cache */
		uint8_t raw;
		struct {
			uint8_t present : 1;
			uint8_t flush_broadcast : 2;
			uint8_t reserved : 5;
		} bits;
	} vwc;
	uint16_t awun;       /* 526 */
	uint16_t awupf;      /* 528 */
	uint8_t nvscc;       /* 530 */
	uint8_t nwpc;        /* 531 */
	uint16_t acwu;       /* 532 */
	uint16_t reserved_534;
	union {              /* 536: SGL support */
		uint32_t raw;
		struct {
			uint32_t supported : 2;
			uint32_t keyed_sgl : 1;
			uint32_t reserved1 : 13;
			uint32_t bit_bucket_descriptor : 1;
			uint32_t metadata_pointer : 1;
			uint32_t oversized_sgl : 1;
			uint32_t metadata_address : 1;
			uint32_t sgl_offset : 1;
			uint32_t transport_sgl : 1;
			uint32_t reserved2 : 10;
		} bits;
	} sgls;
	uint32_t mnan;       /* 540 */
	uint8_t reserved_544[224];
	uint8_t subnqn[256]; /* 768 */
	uint8_t reserved_1024[768];

	/* bytes 1792-2047: fabrics */
	struct {
		uint32_t ioccsz;
		uint32_t iorcsz;
		uint16_t icdoff;
		uint8_t ctrattr;
		uint8_t msdbd;   /* maximum SGL data block descriptors */
		uint8_t reserved[244];
	} nvmf_specific;

	/* bytes 2048-3071: power state descriptors */
	struct spdk_nvme_power_state psd[32];

	/* bytes 3072-4095: vendor specific */
	uint8_t vs[1024];
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_ctrlr_data) == 4096, "Identify Controller data is 4096 bytes");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, oacs) == 256, "OACS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, kas) == 320, "KAS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, nn) == 516, "NN offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, oncs) == 520, "ONCS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, vwc) == 525, "VWC offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, sgls) == 536, "SGLS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, subnqn) == 768, "SUBNQN offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, psd) == 2048, "PSD offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ctrlr_data, vs) == 3072, "vendor specific offset");

/* LBA format descriptor */
struct spdk_nvme_lbaf {
	uint32_t ms : 16;   /* metadata size */
	uint32_t lbads : 8; /* LBA data size, power of two */
	uint32_t rp : 2;    /* relative performance */
	uint32_t reserved6 : 6;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_lbaf) == 4, "LBA format is 4 bytes");

/* Identify Namespace data */
struct __attribute__((packed)) spdk_nvme_ns_data {
	uint64_t nsze;       /* 0: namespace size in blocks */
	uint64_t ncap;       /* 8: namespace capacity */
	uint64_t nuse;       /* 16: namespace utilisation */
	union {              /* 24: namespace features */
		uint8_t raw;
		struct {
			uint8_t thin_prov : 1;
			uint8_t ns_atomic_write_unit : 1;
			uint8_t dealloc_or_unwritten_error : 1;
			uint8_t guid_never_reused : 1;
			uint8_t optperf : 1;
			uint8_t reserved1 : 3;
		} bits;
	} nsfeat;
	uint8_t nlbaf;       /* 25: number of LBA formats, zero-based */
	union {              /* 26: formatted LBA size */
		uint8_t raw;
		struct {
			uint8_t format : 4;
			uint8_t extended : 1; /* metadata at the end of each block */
			uint8_t reserved2 : 3;
		} bits;
	} flbas;
	union {              /* 27: metadata capabilities */
		uint8_t raw;
		struct {
			uint8_t extended : 1;
			uint8_t pointer : 1;
			uint8_t reserved3 : 6;
		} bits;
	} mc;
	union {              /* 28: end-to-end data protection capabilities */
		uint8_t raw;
		struct {
			uint8_t pit1 : 1;
			uint8_t pit2 : 1;
			uint8_t pit3 : 1;
			uint8_t md_start : 1;
			uint8_t md_end : 1;
			uint8_t reserved4 : 3;
		} bits;
	} dpc;
	union {              /* 29: end-to-end data protection type settings */
		uint8_t raw;
		struct {
			uint8_t pit : 3;
			uint8_t md_start : 1;
			uint8_t reserved5 : 4;
		} bits;
	} dps;
	uint8_t nmic;        /* 30 */
	union {              /* 31: reservation capabilities */
		uint8_t raw;
		struct {
			uint8_t persist : 1;
			uint8_t write_exclusive : 1;
			uint8_t exclusive_access : 1;
			uint8_t write_exclusive_reg_only : 1;
			uint8_t exclusive_access_reg_only : 1;
			uint8_t write_exclusive_all_reg : 1;
			uint8_t exclusive_access_all_reg : 1;
			uint8_t ignore_existing_key : 1;
		} bits;
	} nsrescap;
	uint8_t fpi;         /* 32 */
	union {              /* 33: deallocate logical block features */
		uint8_t raw;
		struct {
			uint8_t bits : 3; /* value read from a deallocated block */
			uint8_t write_zero_deallocate : 1;
			uint8_t guard_value : 1;
			uint8_t reserved : 3;
		} bits;
	} dlfeat;
	uint16_t nawun;      /* 34 */
	uint16_t nawupf;     /* 36 */
	uint16_t nacwu;      /* 38 */
	uint16_t nabsn;      /* 40 */
	uint16_t nabo;       /* 42 */
	uint16_t nabspf;     /* 44 */
	uint16_t noiob;      /* 46: namespace optimal I/O boundary, in blocks */
	uint64_t nvmcap[2];  /* 48 */
	uint16_t npwg;       /* 64 */
	uint16_t npwa;       /* 66 */
	uint16_t npdg;       /* 68 */
	uint16_t npda;       /* 70 */
	uint16_t nows;       /* 72 */
	uint8_t reserved_74[18];
	uint32_t anagrpid;   /* 92 */
	uint8_t reserved_96[3];
	uint8_t nsattr;      /* 99 */
	uint16_t nvmsetid;   /* 100 */
	uint16_t endgid;     /* 102 */
	uint8_t nguid[16];   /* 104 */
	uint64_t eui64;      /* 120 */
	struct spdk_nvme_lbaf lbaf[16]; /* 128 */
	uint8_t reserved_192[192];
	uint8_t vendor_specific[3712]; /* 384 */
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_ns_data) == 4096, "Identify Namespace data is 4096 bytes");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ns_data, flbas) == 26, "FLBAS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ns_data, dps) == 29, "DPS offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ns_data, nsrescap) == 31, "RESCAP offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ns_data, dlfeat) == 33, "DLFEAT offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ns_data, noiob) == 46, "NOIOB offset");
SPDK_STATIC_ASSERT(offsetof(struct spdk_nvme_ns_data, lbaf) == 128, "LBAF offset");

/* Controller list (namespace attachment) */
struct spdk_nvme_ctrlr_list {
	uint16_t ctrlr_count;
	uint16_t ctrlr_list[2047];
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_ctrlr_list) == 4096, "controller list is 4096 bytes");

/* Format NVM cdw10 */
enum spdk_nvme_secure_erase_setting {
	SPDK_NVME_FMT_NVM_SES_NO_SECURE_ERASE = 0x0,
	SPDK_NVME_FMT_NVM_SES_USER_DATA_ERASE = 0x1,
	SPDK_NVME_FMT_NVM_SES_CRYPTO_ERASE = 0x2,
};

struct spdk_nvme_format {
	uint32_t lbaf : 4;
	uint32_t ms : 1;
	uint32_t pi : 3;
	uint32_t pil : 1;
	uint32_t ses : 3;
	uint32_t reserved : 20;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_format) == 4, "format word is 4 bytes");

/* Firmware Commit cdw10 */
enum spdk_nvme_fw_commit_action {
	SPDK_NVME_FW_COMMIT_REPLACE_IMG = 0x0,
	SPDK_NVME_FW_COMMIT_REPLACE_AND_ENABLE_IMG = 0x1,
	SPDK_NVME_FW_COMMIT_ENABLE_IMG = 0x2,
	SPDK_NVME_FW_COMMIT_RUN_IMG = 0x3,
};

struct spdk_nvme_fw_commit {
	uint32_t fs : 3;
	uint32_t ca : 3;
	uint32_t reserved : 25;
	uint32_t bpid : 1;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_fw_commit) == 4, "commit word is 4 bytes");

/* Sanitize cdw10 */
struct spdk_nvme_sanitize {
	uint32_t sanact : 3;
	uint32_t ause : 1;
	uint32_t owpass : 4;
	uint32_t oipbp : 1;
	uint32_t ndas : 1;
	uint32_t reserved : 22;
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_sanitize) == 4, "sanitize word is 4 bytes");

/* Error information log entry (64 bytes) */
struct spdk_nvme_error_information_entry {
	uint64_t error_count;
	uint16_t sqid;
	uint16_t cid;
	struct spdk_nvme_status status;
	uint16_t error_location;
	uint64_t lba;
	uint32_t nsid;
	uint8_t vendor_specific;
	uint8_t trtype;
	uint8_t reserved30[2];
	uint64_t command_specific;
	uint16_t trtype_specific;
	uint8_t reserved42[22];
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_error_information_entry) == 64, "error log entry is 64 bytes");

/* SMART / health information log page (512 bytes) */
struct __attribute__((packed)) spdk_nvme_health_information_page {
	uint8_t critical_warning;
	uint16_t temperature;
	uint8_t available_spare;
	uint8_t available_spare_threshold;
	uint8_t percentage_used;
	uint8_t reserved[26];
	uint64_t data_units_read[2];
	uint64_t data_units_written[2];
	uint64_t host_read_commands[2];
	uint64_t host_write_commands[2];
	uint64_t controller_busy_time[2];
	uint64_t power_cycles[2];
	uint64_t power_on_hours[2];
	uint64_t unsafe_shutdowns[2];
	uint64_t media_errors[2];
	uint64_t num_error_info_log_entries[2];
	uint32_t warning_temp_time;
	uint32_t critical_temp_time;
	uint16_t temp_sensor[8];
	uint8_t reserved2[296];
};
SPDK_STATIC_ASSERT(sizeof(struct spdk_nvme_health_information_page) == 512, "health log page is 512 bytes");

/* Asynchronous event completion dword 0 */
union spdk_nvme_async_event_completion {
	uint32_t raw;
	struct {
		uint32_t async_event_type : 3;
		uint32_t reserved1 : 5;
		uint32_t async_event_info : 8;
		uint32_t log_page_identifier : 8;
		uint32_t reserved2 : 8;
	} bits;
};

/* Set Features Asynchronous Event Configuration cdw11 */
union spdk_nvme_feat_async_event_configuration {
	uint32_t raw;
	struct {
		uint32_t crit_warn : 8;
		uint32_t ns_attr_notice : 1;
		uint32_t fw_activation_notice : 1;
		uint32_t telemetry_log_notice : 1;
		uint32_t reserved : 21;
	} bits;
};

#ifdef __cplusplus
}
#endif

#endif /* SPDK_NVME_SPEC_H */
