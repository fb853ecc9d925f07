#include "nvme/namespace_manager.h"

#include <stdexcept>

#include "nvme_internal.h"
#include "spdk/env.h"
#include "spdk/nvme.h"

namespace kyt {
namespace nvme {

NamespaceManager::NamespaceManager(spdk_nvme_ctrlr* ctrlr)
    : ctrlr_(ctrlr), placeholder_(std::make_shared<NamespaceCtx>(nullptr, 0)) {}

void NamespaceManager::RefreshNamespaces() {
  table_.clear();
  for (uint32_t nsid = 1; nsid <= GetMaxNamespaceId(); ++nsid) {
    table_.push_back(std::make_shared<NamespaceCtx>(spdk_nvme_ctrlr_get_ns(ctrlr_, nsid), nsid));
  }
}

uint32_t NamespaceManager::GetMaxNamespaceId() const { return spdk_nvme_ctrlr_get_num_ns(ctrlr_); }

const std::shared_ptr<NamespaceCtx>& NamespaceManager::Entry(uint32_t nsid) const {
  if (nsid == 0 || nsid > GetMaxNamespaceId()) {
    return placeholder_;
  }
  if (nsid > table_.size()) {
    throw std::out_of_range("_Map_base::at");  // the maximum grew without a refresh
  }
  return table_[nsid - 1];
}

uint32_t NamespaceManager::GetFirstActiveNamespaceId() const {
  const uint32_t max = GetMaxNamespaceId();
  for (uint32_t nsid = 1; nsid <= max; ++nsid) {
    if (Entry(nsid)->IsActive()) {
      return nsid;
    }
  }
  return 0;
}

void NamespaceManager::ChangeFormat(uint32_t cdw10, uint32_t nsid) {
  auto apply = [this, cdw10](uint32_t id) {
    if (id != 0 && id <= table_.size()) {
      table_[id - 1]->ChangeFormat(cdw10);
    }
  };
  if (nsid == kBroadcastNsid) {
    const uint32_t max = GetMaxNamespaceId();
    for (uint32_t id = 1; id <= max; ++id) {
      apply(id);
    }
  } else {
    apply(nsid);
  }
}

void NamespaceManager::DestructNamespaces() {
  // The table's entries point into the driver's namespace array: drop them first.
  table_.clear();
  if (ctrlr_->ns != nullptr) {
    for (uint32_t i = 0; i < ctrlr_->num_ns; ++i) {
      nvme_ns_destruct(&ctrlr_->ns[i]);
    }
    spdk_free(ctrlr_->ns);
    ctrlr_->ns = nullptr;
  }
  ctrlr_->num_ns = 0;
  if (ctrlr_->nsdata != nullptr) {
    spdk_free(ctrlr_->nsdata);
    ctrlr_->nsdata = nullptr;
  }
  if (ctrlr_->active_ns_list != nullptr) {
    spdk_free(ctrlr_->active_ns_list);
    ctrlr_->active_ns_list = nullptr;
  }
}

}  // namespace nvme
}  // namespace kyt
