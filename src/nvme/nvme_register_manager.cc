#include "nvme/nvme_register_manager.h"

#include <stdexcept>
#include <string>

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

uint32_t NvmeRegisterManager::ReadReg4(uint32_t offset, const char* name) {
  uint32_t value = 0;
  if (GetReg4(offset, value)) throw std::runtime_error(std::string("Failed to read from ") + name + " register");
  return value;
}

void NvmeRegisterManager::WriteReg4(uint32_t offset, uint32_t value, const char* name) {
  if (SetReg4(offset, value)) throw std::runtime_error(std::string("Failed to write to ") + name + " register");
}

uint64_t NvmeRegisterManager::GetCapRegister() const { return spdk_nvme_ctrlr_get_regs_cap(ctrlr_); }

uint32_t NvmeRegisterManager::GetCstsRegister() const { return spdk_nvme_ctrlr_get_regs_csts(ctrlr_); }

uint32_t NvmeRegisterManager::GetVsRegister() const { return spdk_nvme_ctrlr_get_regs_vs(ctrlr_); }

uint32_t NvmeRegisterManager::GetCmbszRegister() const { return spdk_nvme_ctrlr_get_regs_cmbsz(ctrlr_); }

}  // namespace nvme
}  // namespace kyt
