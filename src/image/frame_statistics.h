// The median and the mean of one frame's finite values, exact, in bounded
// memory, for any tool that scales or normalizes a frame by them.
//
// Each statistic is gathered from the values as they are read, a chunk at a
// time, in one pass or (the median of binary64 values) a few. Infinities and
// NaNs are left out; a frame without finite values has neither statistic
// (NaN). At most 2^32 - 1 values, as in any one image.
//
//   median: the middle value in order; for an even count, the mean of the two
//           middle values, (a + b) / 2 rounded to nearest, or a / 2 + b / 2
//           where a + b would overflow.
//   mean:   the exact sum divided by the count, rounded once to nearest, ties
//           to even (for uint16 the sum is an integer below 2^53, so this is
//           numpy's mean; for binary64 it may lie one ulp from numpy's
//           pairwise sum).
//
// A binary64 median is found by radix selection over the values' 64-bit
// order keys: each pass counts the values whose key begins with the bits
// found so far, by their next 16 bits, and narrows to the bucket holding the
// middle ranks; once few enough values remain (at most 2^18), the next pass
// gathers them and sorts them. Four passes at most, 2 or 3 on camera frames.
#pragma once

#include "exact_sum.h"
#include "pixel_block.h"

#include <cstdint>

namespace img {

enum class Statistic { median, mean };

// One statistic being gathered. Plain data, owned buffers: release it with
// release_statistic.
struct Statistic_State {
    std::uint16_t file_type;
    Statistic which;
    std::uint64_t finite;      // finite values counted in the first pass
    std::uint64_t passes;      // passes ended so far
    bool done;
    double value;              // once done; NaN without finite values
    std::uint32_t* histogram;  // 65536 counts, or 2 x 65536 for binary64 medians
    // uint16: the counts are all there is. binary64 mean: the exact sum.
    Exact_Sum sum;
    // binary64 median: for the lower and the upper middle rank, the bits of
    // its key found so far and its rank among the values that begin so.
    std::uint64_t prefix[2], rank[2], candidates[2];
    unsigned known_bits;
    std::uint64_t* gathered;   // the last pass's keys
    std::uint64_t gathered_count;
    bool gathering;
};

// False: no memory (nothing to release then).
bool start_statistic(Statistic_State& s, std::uint16_t file_type, Statistic which);
// Values in file order (little-endian), any address, in any number of calls
// within a pass; every value of the frame once in each pass.
void add_to_statistic(Statistic_State& s, const unsigned char* values, std::uint64_t n);
// True once the statistic is known (s.value); false: another pass is needed.
bool end_statistic_pass(Statistic_State& s);
void release_statistic(Statistic_State& s);

enum class Statistic_Status { ok, no_memory, short_block };

// The whole job on a block read by chunks into `buffer` (room for
// `buffer_values` values): as many passes as it takes, which needs a sized
// block (a regular file). `obtained` as block_values sets it, for a block
// found short.
Statistic_Status frame_statistic(Pixel_Block& block, Statistic which, unsigned char* buffer,
                                 std::uint64_t buffer_values, double& value,
                                 std::uint64_t& obtained);

// The mean of the finite values of a whole block, read by chunks from its
// first value on (a sized file from anywhere; a stream must not have been
// read yet), with `floor` as above. On ok, `finite` is how many values the
// mean is of. Otherwise short_block (`obtained` values were there) or
// no_memory.
Statistic_Status frame_finite_mean(Pixel_Block& block, const double* floor, double& mean,
                                   std::uint64_t& finite, std::uint64_t& obtained);

} // namespace img
