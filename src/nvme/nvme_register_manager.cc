#include "nvme/nvme_register_manager.h"

#include "nvme_internal.h"
#include "spdk/nvme.h"

namespace kyt {
namespace nvme {

bool NvmeRegisterManager::SetReg4(uint32_t offset, uint32_t value) {
  return nvme_transport_ctrlr_set_reg_4(ctrlr_, offset, value) != 0;
}

bool NvmeRegisterManager::GetReg4(uint32_t offset, uint32_t& value) {
  return nvme_transport_ctrlr_get_reg_4(ctrlr_, offset, &value) != 0;
}

uint64_t NvmeRegisterManager::GetCapRegister() const { return spdk_nvme_ctrlr_get_regs_cap(ctrlr_); }

uint32_t NvmeRegisterManager::GetCstsRegister() const { return spdk_nvme_ctrlr_get_regs_csts(ctrlr_); }

uint32_t NvmeRegisterManager::GetVsRegister() const { return spdk_nvme_ctrlr_get_regs_vs(ctrlr_); }

uint32_t NvmeRegisterManager::GetCmbszRegister() const { return spdk_nvme_ctrlr_get_regs_cmbsz(ctrlr_); }

}  // namespace nvme
}  // namespace kyt
