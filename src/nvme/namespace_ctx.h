// One namespace identifier of an attached controller, active or not, over the driver's namespace object.
// Every getter answers 0 (or null) for an inactive namespace and for the placeholder (no namespace, NSID 0).
// Worker thread only.
#ifndef KYT_NVME_NAMESPACE_CTX_H
#define KYT_NVME_NAMESPACE_CTX_H

#include <cstdint>

struct spdk_nvme_ns;
struct spdk_nvme_ns_data;

class NamespaceCtx {
 public:
  // `ns` is not owned (the driver keeps it for the life of the attachment); null for the placeholder.
  NamespaceCtx(spdk_nvme_ns* ns, uint32_t nsid) : ns_(ns), nsid_(nsid) {}

  uint32_t GetId() const { return nsid_; }
  bool IsActive() const;
  const spdk_nvme_ns_data* GetData() const;
  uint64_t GetSize() const;               // NSZE, in logical blocks
  uint32_t GetLbaSize() const;            // data bytes per block of the current format
  uint32_t GetMetaSize() const;           // metadata bytes per block
  uint32_t GetSectorBufferSize() const;   // bytes per block in the data buffer (data + interleaved metadata)
  uint32_t GetMetaBufferSize() const;     // 0 when metadata travels at the end of each data block, else GetMetaSize()
  uint32_t GetMaxXferSize() const;        // largest transfer in bytes
  uint32_t GetMaxXferBlocks() const;      // largest transfer in blocks (of GetSectorBufferSize() bytes each)
  // Logs "NVME: NS Max Transfer Size: <max>"; the request when non-zero (even above the maximum), else the maximum.
  uint32_t GetAdjustedXferSize(uint32_t requested) const;
  // Switches the cached format to Format NVM's dword 10 `cdw10`, keeping the capacity in bytes: bits 3:0 the LBA
  // format and bit 4 the metadata at the end of each block (FLBAS), bits 7:5 the protection type and bit 8 its place
  // in the metadata (DPS). Nothing is sent.
  void ChangeFormat(uint32_t cdw10);

  spdk_nvme_ns* GetNs() const { return ns_; }

 private:
  spdk_nvme_ns* ns_;
  uint32_t nsid_;
};

#endif  // KYT_NVME_NAMESPACE_CTX_H
