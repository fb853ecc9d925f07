/* Growable array of bits. Indexes past the capacity read as clear; not-found results are UINT32_MAX. */
#ifndef SPDK_BIT_ARRAY_H
#define SPDK_BIT_ARRAY_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spdk_bit_array;

/* All bits clear. NULL when out of memory. */
struct spdk_bit_array *spdk_bit_array_create(uint32_t num_bits);
/* Free *bap and set it to NULL. */
void spdk_bit_array_free(struct spdk_bit_array **bap);
/* Grow or shrink, keeping bits below the new size; new bits are clear. *bap may be NULL (creates). 0 or -ENOMEM. */
int spdk_bit_array_resize(struct spdk_bit_array **bap, uint32_t num_bits);
uint32_t spdk_bit_array_capacity(const struct spdk_bit_array *ba);
bool spdk_bit_array_get(const struct spdk_bit_array *ba, uint32_t bit_index);
/* 0, or -EINVAL when the index is past the capacity. */
int spdk_bit_array_set(struct spdk_bit_array *ba, uint32_t bit_index);
/* Ignored past the capacity. */
void spdk_bit_array_clear(struct spdk_bit_array *ba, uint32_t bit_index);
uint32_t spdk_bit_array_find_first_set(const struct spdk_bit_array *ba, uint32_t start_bit_index);
uint32_t spdk_bit_array_find_first_clear(const struct spdk_bit_array *ba, uint32_t start_bit_index);
uint32_t spdk_bit_array_count_set(const struct spdk_bit_array *ba);
uint32_t spdk_bit_array_count_clear(const struct spdk_bit_array *ba);

#ifdef __cplusplus
}
#endif

#endif /* SPDK_BIT_ARRAY_H */
