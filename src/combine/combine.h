// pixcombine's arithmetic: many frames of one type and size become one,
// value by value, by their median or their mean. Everything here is exact:
// the same inputs give the same bits on every host.
#pragma once

#include <cstdint>

namespace combine {

enum class Method { median, mean };

// The rejections, applied in this order, each to the values the ones before
// kept (pixcombine.1 says how each counts). A NaN is never combined where
// any of them, or scaling, is asked for.
enum class Center { median, mean };
enum class Deviation { std, mad_std };

struct Rejection {
    bool minmax = false; // values outside [min, max]
    double min = 0, max = 0;
    bool extrema = false; // the `low` lowest and `high` highest values
    std::uint64_t low = 0, high = 0;
    bool sigma = false; // below center - sigma_low * dev or above center + sigma_high * dev
    double sigma_low = 0, sigma_high = 0;
    Center center = Center::median;
    Deviation deviation = Deviation::mad_std;
    std::uint64_t iterations = 1; // 0: until an iteration rejects nothing
};

// astropy's mad_std: the median absolute deviation times this.
inline constexpr double mad_to_std = 1.482602218505602;

// The rules for one pixel, each written so that it is plainly right; the
// chunk functions below apply them to many pixels at once.

// sum / count rounded to nearest, ties to even.
std::uint16_t mean_uint16(std::uint64_t sum, std::uint64_t count);
// The median of an even count from its two middle values, low <= high:
// their mean, rounded to nearest, ties to even.
std::uint16_t middle_uint16(std::uint16_t low, std::uint16_t high);
// The same for binary64: (low + high) / 2, or low / 2 + high / 2 where the
// sum of two finite values overflows. A NaN result is quiet_nan.
double middle_binary64(double low, double high);

// The one NaN a median gives, whatever NaNs it met.
inline constexpr std::uint64_t quiet_nan_bits = 0x7ff8000000000000;

// A binary64's bits as a signed integer that orders as the numbers do, with
// -0 just before +0 (NaNs land beyond the infinities). Its own inverse.
inline std::int64_t order_key(std::uint64_t bits)
{
    auto b = static_cast<std::int64_t>(bits);
    return b ^ ((b >> 63) & INT64_MAX);
}

// A compare-exchange: the lesser value goes to position `low`.
struct Comparator {
    std::uint16_t low, high;
};

// What a combination needs for a run: the count of inputs, the middle
// positions, a sorting network for small counts and scratch memory.
struct Combiner {
    std::uint64_t inputs;
    std::uint16_t type;        // the inputs'
    std::uint16_t result_type; // what it writes: the inputs' type, or binary64
    Method method;
    std::uint64_t low, high; // middle positions in order; equal for an odd count
    std::uint64_t comparators;
    Comparator* network;
    void* keys;                  // scratch, released by release_combiner
    // With rejection or scaling (prepare_rejecting_combiner); otherwise
    // `rejecting` is false and the rest unused.
    bool rejecting;
    Rejection rejection;
    const double* factors; // each input's scale factor, or null
    // A pixel whose values are all rejected holds the plain median or mean
    // of all its values (as without rejection) rather than NaN: for binary64
    // results that go into a uint16 OUT.
    bool plain_if_empty;
    double* scratch;       // per-pixel work, released by release_combiner
    void* tile_work;       // the same for a tile of pixels, or null
    bool whole_sort = false; // `network` sorts every position, not only the middle ones
};

// false: no memory. The result is of the inputs' type, or binary64 where
// `result_type` says so (uint16 inputs' medians and means unrounded).
bool prepare_combiner(Combiner& c, std::uint64_t inputs, std::uint16_t type, Method method,
                      std::uint16_t result_type = 0);
// The same, for combine_rejecting. With `factors` (one per input, kept by
// the caller for the run), the inputs are scaled and the result is binary64.
// `plain_if_empty`: see Combiner.
bool prepare_rejecting_combiner(Combiner& c, std::uint64_t inputs, std::uint16_t type, Method method,
                                const Rejection& rejection, const double* factors,
                                std::uint16_t result_type = 0, bool plain_if_empty = false);
void release_combiner(Combiner& c);

// result[i] for i < count from values[k][i] for every input k; every block
// in the file's byte order (little-endian), at any address.
void combine_values(const Combiner& c, unsigned char* result, const unsigned char* const* values,
                    std::uint64_t count);

// The same with rejection: result[i] in the result's type (binary64 when
// scaled or asked, else the inputs'), and, unless `rejected` is null, rejected[i]
// (uint16) how many of the pixel's values were rejected. Returns how many pixels lost every value.
std::uint64_t combine_rejecting(const Combiner& c, unsigned char* result, unsigned char* rejected,
                                const unsigned char* const* values, std::uint64_t count);

} // namespace combine
