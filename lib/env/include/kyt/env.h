/*
 * Services of the environment library beyond the SPDK interface.
 */
#ifndef KYT_ENV_H
#define KYT_ENV_H

#ifdef __cplusplus
extern "C" {
#endif

/* Why the last PCI attach or claim of the calling thread failed, as the line it logged (without the line feed);
 * empty when it did not fail or failed for no reason the PCI layer knows. Valid until the thread's next attach. */
const char *kyt_env_pci_error(void);

#ifdef __cplusplus
}
#endif

#endif /* KYT_ENV_H */
