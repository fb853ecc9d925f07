/* Internal interfaces shared by the environment library's source files. */
#ifndef KYT_ENV_INTERNAL_H
#define KYT_ENV_INTERNAL_H

#include <cstdint>
#include <cstddef>

#include "spdk/env.h"

namespace kyt::env {

/* Whether DPDK's EAL has been started successfully in this process. */
bool dpdk_started();

/* Whether DMA addresses are virtual addresses (IOVA as VA) in this process. True before the start. */
bool iova_is_va();

/* Logs a PCI failure as an error line and keeps its text as the calling thread's kyt_env_pci_error(). */
void pci_error(const char *file, int line, const char *func, const char *format, ...)
	__attribute__((format(printf, 4, 5)));
#define KYT_PCI_ERROR(...) ::kyt::env::pci_error(__FILE__, __LINE__, __func__, __VA_ARGS__)
/* Forgets the calling thread's last PCI failure (the start of an attach). */
void clear_pci_error();

/* Whether the allow-list of the start admits this address (true when the start gave none). */
bool pci_addr_allowed(const spdk_pci_addr &addr);

/* Remember the allow-list of the start. */
void set_pci_allow_list(const spdk_pci_addr *addrs, size_t n);

/* A BAR mapping the PCI layer made: lets spdk_mem_register learn bus addresses of device memory. */
void note_bar_mapping(void *vaddr, uint64_t len, uint64_t phys);
void forget_bar_mapping(void *vaddr);
/* Bus address of a byte inside a recorded BAR mapping, or SPDK_VTOPHYS_ERROR. */
uint64_t bar_mapping_phys(const void *vaddr);

/* Whether a device has been set up in DPDK's VFIO container by this process: then devices reach memory only through
 * the IOMMU, and registered memory must be mapped there too. */
bool vfio_in_use();

/* Count DMA memory given back from now on (DPDK's memory events), and count one release now (the environment
 * stops, memory is unregistered): see kyt_env_dma_release_count. */
void watch_dma_releases();
void note_dma_release();

}  // namespace kyt::env

#endif
