// The namespace table of one attached controller: one NamespaceCtx for every NSID from 1 to the controller's maximum,
// plus a placeholder for "no namespace". Worker thread only.
#ifndef KYT_NVME_NAMESPACE_MANAGER_H
#define KYT_NVME_NAMESPACE_MANAGER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "nvme/namespace_ctx.h"

struct spdk_nvme_ctrlr;

namespace kyt {
namespace nvme {

class NamespaceManager {
 public:
  static constexpr uint32_t kBroadcastNsid = 0xFFFFFFFFu;

  // Does not read the controller; the controller context calls RefreshNamespaces() right after.
  explicit NamespaceManager(spdk_nvme_ctrlr* ctrlr);

  // Rebuilds the table from the driver's namespaces (inactive ones included).
  void RefreshNamespaces();
  // The controller's namespace count (NN).
  uint32_t GetMaxNamespaceId() const;
  // The placeholder for NSID 0 or above the maximum; otherwise the table's entry (std::out_of_range if missing).
  std::shared_ptr<NamespaceCtx> GetNamespace(uint32_t nsid) const { return Entry(nsid); }
  // The same namespace without a new owner, for the I/O path: valid until the next refresh.
  const NamespaceCtx& Lookup(uint32_t nsid) const { return *Entry(nsid); }
  // Lowest active NSID, 0 when none.
  uint32_t GetFirstActiveNamespaceId() const;
  // After a successful Format NVM (`cdw10`: see NamespaceCtx::ChangeFormat): NSID broadcast = every NSID; others
  // without an entry are skipped.
  void ChangeFormat(uint32_t cdw10, uint32_t nsid);
  // Releases the driver's namespace objects of this controller. Not used by the product.
  void DestructNamespaces();

  size_t GetTableSize() const { return table_.size(); }

 private:
  const std::shared_ptr<NamespaceCtx>& Entry(uint32_t nsid) const;

  spdk_nvme_ctrlr* ctrlr_;
  std::shared_ptr<NamespaceCtx> placeholder_;
  std::vector<std::shared_ptr<NamespaceCtx>> table_;  // NSID i at i - 1
};

}  // namespace nvme
}  // namespace kyt

#endif  // KYT_NVME_NAMESPACE_MANAGER_H
