// The exact sum of a frame's values, and their mean, within bounded memory.
//
// The mean is that of the frame's finite values, correctly rounded: each
// finite value is accumulated exactly, as a whole number of 2^-1074 (the
// smallest step of binary64), and the exact sum is divided by the count
// once, the quotient rounded to nearest, ties to even. Nothing is lost
// however many values there are and however far their magnitudes lie
// apart, so the result depends neither on the order of the values nor on
// the host. For uint16 values that is the whole-number sum divided by the
// count, rounded once.
#pragma once

#include "pixel_block.h"

#include <cstdint>

namespace img {

// A signed 128-bit integer, which GCC and Clang have on 64-bit hosts.
__extension__ typedef __int128 Bin;

// An exact sum in progress. A binary64 value's 53-bit significand, with its
// sign, goes to the bin of its exponent, where 2^74 of them fit before the
// bin could overflow; uint16 values go to one 64-bit sum. The bins come in
// lanes taken by values in turn: the values of a frame mostly share one or
// two exponents, and additions to one bin would otherwise wait for each
// other.
struct Exact_Sum {
    Bin* bins;            // lanes x 2048, owned
    std::uint64_t whole;  // the sum of the uint16 values
    std::uint64_t values; // every value added, finite or not
    std::uint64_t others; // NaNs and infinities among them, left out of the sum
};

// false: no memory.
bool prepare_exact_sum(Exact_Sum& sum);
void release_exact_sum(Exact_Sum& sum);

// Values of the file type, in the file's byte order (little-endian), at
// any address.
void add_values(Exact_Sum& sum, const unsigned char* values, std::uint64_t n, std::uint16_t type);
// Values in the host's order.
void add_binary64(Exact_Sum& sum, const double* values, std::uint64_t n);

// The mean of the finite values added, correctly rounded; a NaN if there
// are none. An exact sum of 0 gives +0.
double finite_mean(const Exact_Sum& sum);

// Adds `from` to `into`, as if its values had been added there: sums kept
// apart (by two threads, say) merge exactly.
void merge_exact_sums(Exact_Sum& into, const Exact_Sum& from);

// A buffer for add_block_values: the values it reads at a time.
inline constexpr std::uint64_t sum_chunk_values = 32768;

// Adds values [first, first + n) of a block, read by chunks into `buffer`
// (sum_chunk_values of them). A sized block may be read from anywhere, by
// several threads at once; a stream only in order. With `floor`, a value
// below it counts as `floor`: -inf too, a NaN never. Returns ok, or
// short_block with `obtained` the position of the first value missing.
Block_Status add_block_values(Exact_Sum& sum, Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                              const double* floor, double* buffer, std::uint64_t& obtained);

} // namespace img
