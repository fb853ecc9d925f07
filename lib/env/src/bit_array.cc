/* Bit arrays: 64-bit words, bits past the capacity always clear. */
#include "spdk/bit_array.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

struct spdk_bit_array {
	uint32_t bit_count;
	uint64_t words[];
};

namespace {

constexpr uint32_t kNotFound = UINT32_MAX;

inline uint32_t word_count(uint32_t bits)
{
	return (uint32_t)(((uint64_t)bits + 63) / 64);
}

/* First index at or above `start` whose bit equals `want`; bits at or past the capacity count as clear but are never
 * reported. */
uint32_t find_first(const spdk_bit_array *ba, uint32_t start, bool want)
{
	if (ba == nullptr || start >= ba->bit_count) {
		return kNotFound;
	}
	uint32_t w = start / 64;
	uint64_t word = want ? ba->words[w] : ~ba->words[w];
	word &= ~0ULL << (start % 64);
	const uint32_t nwords = word_count(ba->bit_count);
	while (word == 0) {
		if (++w >= nwords) {
			return kNotFound;
		}
		word = want ? ba->words[w] : ~ba->words[w];
	}
	uint32_t idx = w * 64 + (uint32_t)__builtin_ctzll(word);
	return idx < ba->bit_count ? idx : kNotFound;
}

}  // namespace

extern "C" {

struct spdk_bit_array *spdk_bit_array_create(uint32_t num_bits)
{
	spdk_bit_array *ba = nullptr;
	if (spdk_bit_array_resize(&ba, num_bits) != 0) {
		return nullptr;
	}
	return ba;
}

void spdk_bit_array_free(struct spdk_bit_array **bap)
{
	if (bap == nullptr) {
		return;
	}
	free(*bap);
	*bap = nullptr;
}

int spdk_bit_array_resize(struct spdk_bit_array **bap, uint32_t num_bits)
{
	if (bap == nullptr) {
		return -EINVAL;
	}
	spdk_bit_array *old = *bap;
	const uint32_t new_words = word_count(num_bits);
	/* At least one word so that a zero-sized array is a valid object. */
	size_t bytes = sizeof(spdk_bit_array) + (size_t)(new_words ? new_words : 1) * sizeof(uint64_t);
	spdk_bit_array *ba = (spdk_bit_array *)realloc(old, bytes);
	if (ba == nullptr) {
		return -ENOMEM;
	}
	const uint32_t old_bits = old != nullptr ? ba->bit_count : 0;
	const uint32_t old_words = word_count(old_bits);
	if (new_words > old_words) {
		memset(&ba->words[old_words], 0, (size_t)(new_words - old_words) * sizeof(uint64_t));
	}
	/* Clear the bits past the old capacity inside its last word, and past the new capacity when shrinking. */
	uint32_t keep = old_bits < num_bits ? old_bits : num_bits;
	if (keep % 64 != 0) {
		ba->words[keep / 64] &= (1ULL << (keep % 64)) - 1;
	}
	if (new_words == 0) {
		ba->words[0] = 0;
	}
	ba->bit_count = num_bits;
	*bap = ba;
	return 0;
}

uint32_t spdk_bit_array_capacity(const struct spdk_bit_array *ba)
{
	return ba != nullptr ? ba->bit_count : 0;
}

bool spdk_bit_array_get(const struct spdk_bit_array *ba, uint32_t bit_index)
{
	if (ba == nullptr || bit_index >= ba->bit_count) {
		return false;
	}
	return (ba->words[bit_index / 64] >> (bit_index % 64)) & 1;
}

int spdk_bit_array_set(struct spdk_bit_array *ba, uint32_t bit_index)
{
	if (ba == nullptr || bit_index >= ba->bit_count) {
		return -EINVAL;
	}
	ba->words[bit_index / 64] |= 1ULL << (bit_index % 64);
	return 0;
}

void spdk_bit_array_clear(struct spdk_bit_array *ba, uint32_t bit_index)
{
	if (ba == nullptr || bit_index >= ba->bit_count) {
		return;
	}
	ba->words[bit_index / 64] &= ~(1ULL << (bit_index % 64));
}

uint32_t spdk_bit_array_find_first_set(const struct spdk_bit_array *ba, uint32_t start_bit_index)
{
	return find_first(ba, start_bit_index, true);
}

uint32_t spdk_bit_array_find_first_clear(const struct spdk_bit_array *ba, uint32_t start_bit_index)
{
	return find_first(ba, start_bit_index, false);
}

uint32_t spdk_bit_array_count_set(const struct spdk_bit_array *ba)
{
	if (ba == nullptr) {
		return 0;
	}
	uint32_t n = 0;
	for (uint32_t w = 0; w < word_count(ba->bit_count); ++w) {
		n += (uint32_t)__builtin_popcountll(ba->words[w]);
	}
	return n;
}

uint32_t spdk_bit_array_count_clear(const struct spdk_bit_array *ba)
{
	return spdk_bit_array_capacity(ba) - spdk_bit_array_count_set(ba);
}

}  // extern "C"
