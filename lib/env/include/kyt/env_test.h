/*
 * Test-only services of the environment library.
 *
 * Software PCI functions: a test registers a function at a PCI address with its config space served by callbacks and
 * its BAR0 backed by a shared-memory file descriptor (a memfd). The environment's PCI layer finds, claims, attaches and
 * maps it exactly as it would a device bound to uio_pci_generic or vfio-pci, so the driver cannot tell them apart.
 * Truncating the memfd makes the mapped BAR vanish: an access then raises a real SIGBUS.
 *
 * The product registers no software function; only tests and the test-only Node module do.
 */
#ifndef KYT_ENV_TEST_H
#define KYT_ENV_TEST_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "spdk/env.h"

#ifdef __cplusplus
extern "C" {
#endif

struct kyt_swdev_ops {
	/* Config space access; len is 1, 2 or 4 and offset + len <= 4096. Return 0 or a negative errno. */
	int (*cfg_read)(void *ctx, void *value, uint32_t len, uint32_t offset);
	int (*cfg_write)(void *ctx, const void *value, uint32_t len, uint32_t offset);
};

struct kyt_swdev_desc {
	struct spdk_pci_addr addr;
	struct spdk_pci_id id;     /* class_id (e.g. 0x010802), vendor, device, subvendor, subdevice */
	int bar0_fd;               /* shared-memory fd backing BAR0, mapped MAP_SHARED by spdk_pci_device_map_bar */
	uint64_t bar0_size;        /* bytes */
	uint64_t bar0_phys;        /* the bus address reported for BAR0 */
	struct kyt_swdev_ops ops;
	void *ctx;                 /* handed to the callbacks */
};

/* Put a software function on the bus (the descriptor is copied). 0, -EEXIST when the address is taken, -EINVAL. */
int kyt_swdev_register(const struct kyt_swdev_desc *desc);

/* Take it off the bus (surprise removal, power off). A driver that still holds the device keeps its mapping and its
 * handle; config accesses through that handle then fail (-ENODEV) and later probes do not find it. 0 or -ENOENT. */
int kyt_swdev_unregister(const struct spdk_pci_addr *addr);

/* Whether a software function is on the bus at the address. */
bool kyt_swdev_present(const struct spdk_pci_addr *addr);

/* Translate a DMA address that a device was given back to a pointer in this process; NULL when it is not DMA memory
 * of this process (or the range crosses into unknown memory). */
void *kyt_env_iova_to_vaddr(uint64_t iova, uint64_t len);

/* How many times DMA memory of this process has stopped being DMA memory (given back to the system, unregistered, or
 * the environment stopped). A device model that remembers translations forgets them when the count changes; read it
 * after the doorbell that announced the commands it is about to serve. */
uint64_t kyt_env_dma_release_count(void);

/* Test clock: spdk_get_ticks runs `factor` times faster and spdk_delay_us waits 1/factor of the time; 1 is real time.
 * Lets tests cross multi-second delays and time-outs of the product without changing the product's values. */
void kyt_env_test_set_clock_scale(uint32_t factor);

/* Test clock: spdk_get_ticks and spdk_delay_us run `divisor` times slower than real time; 1 is real time. While no
 * deadline of the product can pass within a test's run, a test can tell a call that ends by an event from one that
 * waited for a deadline by how much of this clock it took, whatever the machine's load. */
void kyt_env_test_set_clock_slowdown(uint32_t divisor);

/* Test clock: moves spdk_get_ticks forward by `ticks` at once (the rate stays). A test that waits for a time-out
 * advances the clock past it instead of letting real time pass, so that neither a slow machine fires a deadline
 * early nor a fast one waits: time-outs happen exactly when the test says. */
void kyt_env_test_advance_clock(uint64_t ticks);

/* Test clock pacers: threads that play hardware for the driver (a simulated device's service thread). The clock runs
 * no more than 100 ms of itself (at least 2 ms of real time) past the start of the last pass each pacer has been
 * through: a pacer that does not get to run on a loaded machine holds the clock back, so a deadline the driver sets
 * never passes before the hardware it waits for has had its turn. An advance still moves the clock at once. _add
 * gives a new pacer its id (-1 when 64 are in use) and turns the test clock on (at real time) if no test has set it;
 * a pacer calls _pass before each look at everything the host may have done (which ends the pass before it); _remove
 * ends pacing by that id. */
int kyt_env_test_clock_pacer_add(void);
void kyt_env_test_clock_pacer_pass(int pacer);
void kyt_env_test_clock_pacer_remove(int pacer);

/* Test clock: the calling thread becomes a pacer whose every clock reading is a pass (a test thread that steps the
 * driver itself): the clock then runs no further than a slack past the thread's previous reading, so a deadline does
 * not pass while the thread is kept from running between reading the device and reading the clock. A pacing thread
 * that waits for something the clock must move for reads the clock while it waits. Its pacer id (the same on a second
 * call); it stops pacing when it ends or removes that id. */
int kyt_env_test_clock_pace_thread(void);

/* Test clock: `fn(arg)` runs once, at the calling thread's next reading of the test clock and before that reading is
 * taken: what it does (a device posting a completion, an advance of the clock) falls between what the thread did
 * before and the time it reads, as when the thread is held off its core there. Turns the test clock on (at real
 * time) if no test has set it. A NULL fn takes back a hook that has not run. */
void kyt_env_test_before_clock_reading(void (*fn)(void *arg), void *arg);

/* Start the environment for a test process with default options (no PCI allow-list restriction beyond software
 * functions, no hugepages unless mounted). Idempotent: later calls return the first result. 0 or a negative errno. */
int kyt_env_test_init(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* KYT_ENV_TEST_H */
