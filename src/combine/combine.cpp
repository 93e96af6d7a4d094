#include "combine.h"

#include "image/byte_order.h"
#include "image/velkin.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace combine {

using namespace img;

namespace {

// Pixels handled together: for a small count of inputs, the keys of a tile
// of every input stay in the first-level cache while the network sorts them.
constexpr std::uint64_t tile = 256;

// Up to this many inputs, a sorting network over a tile of pixels at once,
// whose compare-exchanges are branch-free and run across the tile (in
// vector registers for uint16); above it, a selection per pixel, whose cost
// grows only linearly with the count. The bounds are where the selection
// became the faster on the build machine.
constexpr std::uint64_t network_inputs_uint16 = 512;
constexpr std::uint64_t network_inputs_binary64 = 128;

std::uint64_t network_inputs(std::uint16_t type)
{
    return type == type_uint16 ? network_inputs_uint16 : network_inputs_binary64;
}

// Batcher's odd-even merge sort for any n: the order of compare-exchanges,
// fixed in advance. Returns how many there are; stores them where `network`
// is given.
constexpr std::uint64_t batcher_network(std::uint64_t n, Comparator* network)
{
    std::uint64_t count = 0;
    for (std::uint64_t p = 1; p < n; p += p)
        for (std::uint64_t k = p; k > 0; k /= 2)
            for (std::uint64_t j = k % p; j + k < n; j += k + k)
                for (std::uint64_t i = 0; i < k && i + j + k < n; ++i)
                    if ((i + j) / (p + p) == (i + j + k) / (p + p)) {
                        if (network)
                            network[count] = {static_cast<std::uint16_t>(i + j),
                                              static_cast<std::uint16_t>(i + j + k)};
                        ++count;
                    }
    return count;
}

// Only the compare-exchanges that can reach the middle positions are kept,
// found backwards from them; returns how many.
constexpr std::uint64_t keep_middle(Comparator* network, std::uint64_t count, std::uint64_t low,
                          std::uint64_t high)
{
    bool needed[network_inputs_uint16] = {};
    needed[low] = needed[high] = true;
    std::uint64_t kept = count;
    for (std::uint64_t c = count; c-- > 0;) {
        Comparator x = network[c];
        if (needed[x.low] || needed[x.high]) {
            needed[x.low] = needed[x.high] = true;
            network[--kept] = x;
        }
    }
    std::copy(network + kept, network + count, network);
    return count - kept;
}

// ---- Sorting networks for few inputs, in registers ----

// Up to this many inputs, the network is known when the program is built,
// one for each count: a column of 64 bytes of every input's keys (32
// uint16 or 8 binary64 pixels) is loaded into vector registers, goes
// through every compare-exchange there, and only the rows needed are
// stored, where the general network below loads and stores both rows at
// each compare-exchange. Either places the same keys at every position
// it sorts. They want 32 vector registers of 64 bytes: AVX-512's. Built
// for it alone, and used where the processor has it; elsewhere the general
// network sorts every column.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define FIXED_NETWORKS 1
constexpr std::uint64_t fixed_inputs = 32;

template <class Key> struct Lanes;
template <> struct Lanes<std::uint16_t> {
    typedef std::uint16_t V __attribute__((vector_size(64)));
};
template <> struct Lanes<std::int64_t> {
    typedef std::int64_t V __attribute__((vector_size(64)));
};

template <std::uint64_t N> struct Fixed_Network {
    Comparator at[N * N]; // Batcher's network has fewer
    std::uint64_t count;
};

// The network for N inputs: the whole sort, or what places the middle
// positions, as the Combiner makes them.
template <std::uint64_t N, bool whole> constexpr Fixed_Network<N> fixed_network()
{
    Fixed_Network<N> f{};
    f.count = batcher_network(N, f.at);
    if (!whole)
        f.count = keep_middle(f.at, f.count, (N - 1) / 2, N / 2);
    return f;
}

template <class V> [[gnu::always_inline]] inline void exchange(V& x, V& y)
{
    V a = x, b = y;
    x = b < a ? b : a;
    y = b < a ? a : b;
}

template <std::uint64_t N, bool whole, class V, std::size_t... I>
[[gnu::always_inline]] inline void exchange_all(V* v, std::index_sequence<I...>)
{
    static constexpr Fixed_Network<N> net = fixed_network<N, whole>();
    (exchange(v[net.at[I].low], v[net.at[I].high]), ...);
}

template <class Key, std::uint64_t N, bool whole, std::size_t... K>
[[gnu::always_inline]] inline void sort_column(Key* keys, std::index_sequence<K...>)
{
    using V = typename Lanes<Key>::V;
    V v[N];
    ((std::memcpy(&v[K], keys + K * tile, sizeof(V))), ...);
    exchange_all<N, whole>(v, std::make_index_sequence<fixed_network<N, whole>().count>{});
    ((whole || K == (N - 1) / 2 || K == N / 2 ? std::memcpy(keys + K * tile, &v[K], sizeof(V)) : nullptr), ...);
}

// The columns of whole vectors among the first n pixels; returns how many
// pixels it sorted.
template <class Key, std::uint64_t N, bool whole>
[[gnu::always_inline]] inline std::uint64_t sort_fixed(Key* keys, std::uint64_t n)
{
    constexpr std::uint64_t lanes = sizeof(typename Lanes<Key>::V) / sizeof(Key);
    std::uint64_t p = 0;
    for (; p + lanes <= n; p += lanes)
        sort_column<Key, N, whole>(keys + p, std::make_index_sequence<N>{});
    return p;
}

template <class Key, bool whole, std::size_t... N>
[[gnu::always_inline]] inline std::uint64_t sort_fixed_for(std::uint64_t inputs, Key* keys, std::uint64_t n,
                                                            std::index_sequence<N...>)
{
    std::uint64_t done = 0;
    (void)((inputs == N + 2 && (done = sort_fixed<Key, N + 2, whole>(keys, n), true)) || ...);
    return done;
}

bool has_avx512()
{
    static const bool has = __builtin_cpu_supports("x86-64-v4");
    return has;
}

template <class Key, bool whole>
__attribute__((target("arch=x86-64-v4"))) std::uint64_t sort_fixed_avx512(std::uint64_t inputs, Key* keys,
                                                                           std::uint64_t n)
{
    return sort_fixed_for<Key, whole>(inputs, keys, n, std::make_index_sequence<fixed_inputs - 1>{});
}
#endif

// Over n pixels: keys[row * tile + p] is input row's key for pixel p.
template <class Key> void sort_tile(const Combiner& c, Key* keys, std::uint64_t n)
{
#ifdef FIXED_NETWORKS
    if (c.inputs <= fixed_inputs && has_avx512()) {
        std::uint64_t done = c.whole_sort ? sort_fixed_avx512<Key, true>(c.inputs, keys, n)
                                          : sort_fixed_avx512<Key, false>(c.inputs, keys, n);
        keys += done;
        n -= done;
    }
#endif
    for (std::uint64_t k = 0; k < c.comparators; ++k) {
        Key* __restrict x = keys + c.network[k].low * tile;
        Key* __restrict y = keys + c.network[k].high * tile;
        for (std::uint64_t p = 0; p < n; ++p) {
            Key a = x[p], b = y[p];
            bool swap = b < a;
            x[p] = swap ? b : a;
            y[p] = swap ? a : b;
        }
    }
}

// A function in two copies, one for x86-64's baseline (SSE2) and one for
// processors with AVX2, chosen when the program loads: the same operations
// in the same order, four 64-bit lanes at once in the second.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ALSO_FOR_AVX2 __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define ALSO_FOR_AVX2
#endif

// 64-bit keys: SSE2 has no 64-bit compare, so they are exchanged one at a
// time there.
ALSO_FOR_AVX2
void sort_tile_binary64(const Combiner& c, std::int64_t* keys, std::uint64_t n)
{
    sort_tile(c, keys, n);
}

bool is_nan_bits(std::uint64_t bits)
{
    return (bits & INT64_MAX) > 0x7ff0000000000000;
}

double from_key(std::int64_t key)
{
    return std::bit_cast<double>(static_cast<std::uint64_t>(order_key(static_cast<std::uint64_t>(key))));
}

const double quiet_nan = std::bit_cast<double>(quiet_nan_bits);

// sum / count rounded to nearest, ties to even, for whole numbers sum and
// count below 2^53 whose quotient is at most 65535. The quotient is
// correctly rounded; one that is not a tie lies at least 1/(2 count) from
// the nearest tie, far more than its rounding error, so a tie stays a tie
// and no other quotient crosses one. Adding 2^52, where binary64 holds
// whole numbers only, then rounds it to a whole number, ties to even, as the
// default rounding mode does; subtracting 2^52 again is exact.
std::uint16_t rounded_quotient(double sum, double count)
{
    constexpr double whole = 0x1p52;
    return static_cast<std::uint16_t>((sum / count + whole) - whole);
}

ALSO_FOR_AVX2
void median_uint16_tile(const Combiner& c, unsigned char* result,
                        const unsigned char* const* values, std::uint64_t first, std::uint64_t n)
{
    auto* keys = static_cast<std::uint16_t*>(c.keys);
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        for (std::uint64_t p = 0; p < n; ++p)
            keys[k * tile + p] = load_value<std::uint16_t>(values[k], first + p);
    sort_tile(c, keys, n);
    const std::uint16_t* low = keys + c.low * tile;
    const std::uint16_t* high = keys + c.high * tile;
    if (c.result_type == type_binary64) // (a + b) / 2 is exact
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, (static_cast<double>(low[p]) + static_cast<double>(high[p])) / 2);
    else
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, c.low == c.high ? low[p] : middle_uint16(low[p], high[p]));
}

// The flags are a local array, which nothing else can alias, of 64-bit
// flags as wide as the keys: so the loop runs across the tile.
ALSO_FOR_AVX2
void median_binary64_tile(const Combiner& c, unsigned char* result,
                          const unsigned char* const* values, std::uint64_t first, std::uint64_t n)
{
    auto* keys = static_cast<std::int64_t*>(c.keys);
    std::uint64_t nan[tile] = {};
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        for (std::uint64_t p = 0; p < n; ++p) {
            auto bits = load_value<std::uint64_t>(values[k], first + p);
            nan[p] |= is_nan_bits(bits);
            keys[k * tile + p] = order_key(bits);
        }
    sort_tile_binary64(c, keys, n);
    const std::int64_t* low = keys + c.low * tile;
    const std::int64_t* high = keys + c.high * tile;
    for (std::uint64_t p = 0; p < n; ++p) {
        double v = nan[p]                 ? quiet_nan
                   : c.low == c.high ? from_key(low[p])
                                     : middle_binary64(from_key(low[p]), from_key(high[p]));
        store_value(result, first + p, v);
    }
}

// For many inputs: the values at the middle positions, as a full sort
// would place them, without sorting.
template <class Key> void select_middle(const Combiner& c, Key* keys, Key& low, Key& high)
{
    std::nth_element(keys, keys + c.high, keys + c.inputs);
    high = keys[c.high];
    low = c.low == c.high ? high : *std::max_element(keys, keys + c.high);
}

void median_uint16_select(const Combiner& c, unsigned char* result,
                          const unsigned char* const* values, std::uint64_t count)
{
    auto* keys = static_cast<std::uint16_t*>(c.keys);
    for (std::uint64_t p = 0; p < count; ++p) {
        for (std::uint64_t k = 0; k < c.inputs; ++k)
            keys[k] = load_value<std::uint16_t>(values[k], p);
        std::uint16_t low, high;
        select_middle(c, keys, low, high);
        if (c.result_type == type_binary64)
            store_value(result, p, (static_cast<double>(low) + static_cast<double>(high)) / 2);
        else
            store_value(result, p, c.low == c.high ? high : middle_uint16(low, high));
    }
}

void median_binary64_select(const Combiner& c, unsigned char* result,
                            const unsigned char* const* values, std::uint64_t count)
{
    auto* keys = static_cast<std::int64_t*>(c.keys);
    for (std::uint64_t p = 0; p < count; ++p) {
        bool nan = false;
        for (std::uint64_t k = 0; k < c.inputs; ++k) {
            auto bits = load_value<std::uint64_t>(values[k], p);
            nan |= is_nan_bits(bits);
            keys[k] = order_key(bits);
        }
        double v = quiet_nan;
        if (!nan) {
            std::int64_t low, high;
            select_middle(c, keys, low, high);
            v = c.low == c.high ? from_key(high) : middle_binary64(from_key(low), from_key(high));
        }
        store_value(result, p, v);
    }
}

// Up to 65537 values of at most 65535 sum below 2^32: such runs of inputs
// are summed in 32 bits, four at a time in a vector register; their sums
// are added up in binary64, which holds whole numbers below 2^53 (65535
// times a count below 2^37) exactly.
ALSO_FOR_AVX2
void mean_uint16_tile(const Combiner& c, unsigned char* result, const unsigned char* const* values,
                      std::uint64_t first, std::uint64_t n)
{
    constexpr std::uint64_t run = 65537;
    auto* sums = static_cast<double*>(c.keys);
    auto* part = reinterpret_cast<std::uint32_t*>(sums + tile);
    std::fill(sums, sums + n, 0.0);
    for (std::uint64_t k0 = 0; k0 < c.inputs; k0 += run) {
        std::fill(part, part + n, 0);
        const std::uint64_t end = std::min(c.inputs, k0 + run);
        std::uint64_t k = k0;
        for (; k + 4 <= end; k += 4) // fewer passes over the sums
            for (std::uint64_t p = 0; p < n; ++p)
                part[p] += std::uint32_t{load_value<std::uint16_t>(values[k], first + p)} +
                           load_value<std::uint16_t>(values[k + 1], first + p) +
                           load_value<std::uint16_t>(values[k + 2], first + p) +
                           load_value<std::uint16_t>(values[k + 3], first + p);
        for (; k < end; ++k)
            for (std::uint64_t p = 0; p < n; ++p)
                part[p] += load_value<std::uint16_t>(values[k], first + p);
        for (std::uint64_t p = 0; p < n; ++p)
            sums[p] += part[p];
    }
    const auto count = static_cast<double>(c.inputs);
    if (c.result_type == type_binary64) // the exact sum, divided once
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, sums[p] / count);
    else
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, rounded_quotient(sums[p], count));
}

// Summed in the order of the inputs, from +0 as numpy sums (so a pixel of
// -0s has the mean +0), then divided.
ALSO_FOR_AVX2
void mean_binary64_tile(const Combiner& c, unsigned char* result,
                        const unsigned char* const* values, std::uint64_t first, std::uint64_t n)
{
    auto* sums = static_cast<double*>(c.keys);
    std::fill(sums, sums + n, 0.0);
    std::uint64_t k = 0;
    for (; k + 4 <= c.inputs; k += 4) // fewer passes over the sums, the same order
        for (std::uint64_t p = 0; p < n; ++p)
            sums[p] = sums[p] + load_value<double>(values[k], first + p) +
                      load_value<double>(values[k + 1], first + p) +
                      load_value<double>(values[k + 2], first + p) +
                      load_value<double>(values[k + 3], first + p);
    for (; k < c.inputs; ++k)
        for (std::uint64_t p = 0; p < n; ++p)
            sums[p] = sums[p] + load_value<double>(values[k], first + p);
    const auto count = static_cast<double>(c.inputs);
    for (std::uint64_t p = 0; p < n; ++p)
        store_value(result, first + p, sums[p] / count);
}

// ---- With rejection: one pixel at a time ----

// A pixel's values and room to work on them, carved from Combiner::scratch.
struct Pixel {
    double* values; // as combined: scaled, or the uint16 values exactly
    double* survivors;
    double* work;
    std::pair<std::int64_t, std::uint64_t>* ranked;
    unsigned char* kept;
};

constexpr std::uint64_t scratch_bytes_per_input = 3 * sizeof(double) +
                                                  sizeof(std::pair<std::int64_t, std::uint64_t>) + 1;

Pixel pixel_scratch(const Combiner& c)
{
    double* d = c.scratch;
    auto* ranked = reinterpret_cast<std::pair<std::int64_t, std::uint64_t>*>(d + 3 * c.inputs);
    return {d, d + c.inputs, d + 2 * c.inputs, ranked, reinterpret_cast<unsigned char*>(ranked + c.inputs)};
}

// astropy's median for the clipping: (a + b) / 2 for an even count, even
// where a + b overflows. Reorders x.
double clip_median(double* x, std::uint64_t m)
{
    std::nth_element(x, x + m / 2, x + m);
    double high = x[m / 2];
    if (m % 2 == 1)
        return high;
    return (*std::max_element(x, x + m / 2) + high) / 2;
}

struct Bounds {
    double low, high;
};

// As astropy's sigma clipping computes them from the values in `s`, in
// their order: the mean summed from +0, the standard deviation about the
// mean, the median absolute deviation about the median.
Bounds clip_bounds(const Rejection& r, const double* s, std::uint64_t m, double* work)
{
    double median = 0, mean = 0, deviation = 0;
    if (r.center == Center::median || r.deviation == Deviation::mad_std) {
        std::copy(s, s + m, work);
        median = clip_median(work, m);
    }
    if (r.center == Center::mean || r.deviation == Deviation::std) {
        for (std::uint64_t k = 0; k < m; ++k)
            mean += s[k];
        mean /= static_cast<double>(m);
    }
    if (r.deviation == Deviation::mad_std) {
        for (std::uint64_t k = 0; k < m; ++k)
            work[k] = std::fabs(s[k] - median);
        deviation = clip_median(work, m) * mad_to_std;
    } else {
        for (std::uint64_t k = 0; k < m; ++k)
            deviation += (mean - s[k]) * (mean - s[k]);
        deviation = std::sqrt(deviation / static_cast<double>(m));
    }
    double center = r.center == Center::median ? median : mean;
    return {center - r.sigma_low * deviation, center + r.sigma_high * deviation};
}

void reject_outside(const Combiner& c, Pixel& px)
{
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        px.kept[k] &= px.values[k] >= c.rejection.min && px.values[k] <= c.rejection.max;
}

// NaNs rank above every number, as numpy sorts them; equal values by input
// order, the later the higher.
void reject_extrema(const Combiner& c, Pixel& px)
{
    std::uint64_t m = 0;
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        if (px.kept[k]) {
            double v = px.values[k];
            px.ranked[m++] = {std::isnan(v) ? INT64_MAX : order_key(std::bit_cast<std::uint64_t>(v)), k};
        }
    const Rejection& r = c.rejection;
    if (r.low >= m || r.high >= m - r.low) { // not low + high >= m, which can wrap
        std::fill(px.kept, px.kept + c.inputs, 0);
        return;
    }
    std::sort(px.ranked, px.ranked + m);
    for (std::uint64_t i = 0; i < r.low; ++i)
        px.kept[px.ranked[i].second] = 0;
    for (std::uint64_t i = m - r.high; i < m; ++i)
        px.kept[px.ranked[i].second] = 0;
}

// astropy's: bounds from the finite values kept, again from those within
// them, as many times as asked or until nothing more falls outside (or
// nothing is left); then every value outside the last bounds is rejected,
// even one an earlier iteration had set aside and the last bounds hold.
void reject_by_sigma(const Combiner& c, Pixel& px)
{
    std::uint64_t m = 0;
    for (std::uint64_t k = 0; k < c.inputs; ++k) {
        px.kept[k] &= std::isfinite(px.values[k]);
        if (px.kept[k])
            px.survivors[m++] = px.values[k];
    }
    if (m == 0)
        return;
    Bounds b;
    for (std::uint64_t iteration = 1;; ++iteration) {
        b = clip_bounds(c.rejection, px.survivors, m, px.work);
        std::uint64_t left = 0;
        for (std::uint64_t i = 0; i < m; ++i)
            if (px.survivors[i] >= b.low && px.survivors[i] <= b.high)
                px.survivors[left++] = px.survivors[i];
        if (left == m || left == 0 || iteration == c.rejection.iterations)
            break;
        m = left;
    }
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        px.kept[k] &= !(px.values[k] < b.low || px.values[k] > b.high);
}

// The middle values of the first m keys, as a sort would place them.
template <class Key> void middle_keys(const Combiner& c, Key* keys, std::uint64_t m, Key& low, Key& high)
{
    Combiner middle = c;
    middle.inputs = m;
    middle.low = (m - 1) / 2;
    middle.high = m / 2;
    select_middle(middle, keys, low, high);
}

// The kept values' median or mean, in binary64.
double combine_kept(const Combiner& c, Pixel& px, std::uint64_t kept)
{
    if (c.method == Method::mean) {
        double sum = 0.0;
        for (std::uint64_t k = 0; k < c.inputs; ++k)
            if (px.kept[k])
                sum = sum + px.values[k];
        return sum / static_cast<double>(kept);
    }
    std::uint64_t m = 0;
    auto* keys = reinterpret_cast<std::int64_t*>(px.work);
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        if (px.kept[k])
            keys[m++] = order_key(std::bit_cast<std::uint64_t>(px.values[k]));
    std::int64_t low, high;
    middle_keys(c, keys, m, low, high);
    return m % 2 ? from_key(high) : middle_binary64(from_key(low), from_key(high));
}

// The plain median or mean of all the values, NaNs included, as
// combine_values gives it.
double combine_all(const Combiner& c, Pixel& px)
{
    std::fill(px.kept, px.kept + c.inputs, 1);
    if (c.method == Method::median)
        for (std::uint64_t k = 0; k < c.inputs; ++k)
            if (std::isnan(px.values[k]))
                return quiet_nan;
    return combine_kept(c, px, c.inputs);
}

// The same for uint16 values, exactly: their sum is exact, and so are both
// middle values. With nothing kept, of every value.
std::uint16_t combine_kept_uint16(const Combiner& c, Pixel& px, std::uint64_t kept)
{
    bool all = kept == 0;
    if (c.method == Method::mean) {
        std::uint64_t sum = 0;
        for (std::uint64_t k = 0; k < c.inputs; ++k)
            if (all || px.kept[k])
                sum += static_cast<std::uint64_t>(px.values[k]);
        return mean_uint16(sum, all ? c.inputs : kept);
    }
    std::uint64_t m = 0;
    auto* keys = reinterpret_cast<std::uint16_t*>(px.work);
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        if (all || px.kept[k])
            keys[m++] = static_cast<std::uint16_t>(px.values[k]);
    std::uint16_t low, high;
    middle_keys(c, keys, m, low, high);
    return m % 2 ? high : middle_uint16(low, high);
}

// Rejects, then combines what is left: in binary64 for a binary64 result
// (quiet NaN where nothing is left), exactly for a uint16 one.
void reject_and_combine(const Combiner& c, Pixel& px, unsigned char* result, unsigned char* rejected,
                        std::uint64_t p, std::uint64_t& emptied)
{
    std::fill(px.kept, px.kept + c.inputs, 1);
    if (c.rejection.minmax)
        reject_outside(c, px);
    if (c.rejection.extrema)
        reject_extrema(c, px);
    if (c.rejection.sigma)
        reject_by_sigma(c, px);
    std::uint64_t kept = 0;
    for (std::uint64_t k = 0; k < c.inputs; ++k) {
        px.kept[k] &= !std::isnan(px.values[k]);
        kept += px.kept[k];
    }
    if (rejected != nullptr) // at most 65535 inputs then
        store_value(rejected, p, static_cast<std::uint16_t>(c.inputs - kept));
    emptied += kept == 0;
    if (c.result_type == type_binary64 && kept == 0 && c.plain_if_empty)
        store_value(result, p, combine_all(c, px));
    else if (c.result_type == type_binary64)
        store_value(result, p, kept == 0 ? quiet_nan : combine_kept(c, px, kept));
    else
        store_value(result, p, combine_kept_uint16(c, px, kept));
}

// ---- With rejection: a tile of pixels at a time ----

// Up to this many inputs, and without --minmax or --extrema, the values of
// a tile of pixels are clipped together, each step a loop across the tile
// (vector registers), the medians by the sorting networks. A pixel that
// holds a NaN or an infinity, or whose clipping goes on past the first
// bounds, or whose median is of fewer values than all, is done again alone
// by the rules above: the same operations in the same order, so the same
// bits.
constexpr std::uint64_t tile_inputs = network_inputs_binary64;

bool by_tiles(const Combiner& c)
{
    return c.inputs <= tile_inputs && !c.rejection.minmax && !c.rejection.extrema;
}

// Per pixel of a tile.
struct Tile_Work {
    double* values;     // inputs * tile: values[k * tile + p]
    std::int64_t* keys; // inputs * tile
    Comparator* sort_network; // a whole sort, for the clipping in whole numbers
    std::uint64_t sort_comparators;
    double low[tile], high[tile]; // bounds
    double middle[2][tile];       // the middle values of all, in order
    double sum[tile];
    std::uint64_t kept[tile];
    unsigned char alone[tile];    // to be done by reject_and_combine
};

// The middle values of the keys sorted by the network, and their median
// as astropy takes it.
ALSO_FOR_AVX2
void tile_median(const Combiner& c, std::int64_t* keys, std::uint64_t n, double* low, double* high,
                 double* median)
{
    sort_tile_binary64(c, keys, n);
    for (std::uint64_t p = 0; p < n; ++p) {
        low[p] = from_key(keys[c.low * tile + p]);
        high[p] = from_key(keys[c.high * tile + p]);
        median[p] = c.low == c.high ? high[p] : (low[p] + high[p]) / 2;
    }
}

// The same for binary64 values, their deviations |x - median| rounded as
// astropy rounds them: rounding keeps their order on each side.
ALSO_FOR_AVX2
void middle_deviations(const Combiner& c, const std::int64_t* sorted, const double* median,
                       double (*deviations)[tile], std::uint64_t n)
{
    const std::uint64_t a = c.low + 1, b_first = c.low + 1, b = c.inputs - b_first;
    const std::uint64_t ranks[2] = {c.low, c.high};
    for (int r = 0; r < 2; ++r) {
        const std::uint64_t t = ranks[r] + 1;
        double* d = deviations[r];
        std::fill(d, d + n, INFINITY);
        for (std::uint64_t i = t > b ? t - b : 0; i <= std::min(t, a); ++i) {
            const std::int64_t* from_a = sorted + (c.low + 1 - i) * tile;
            const std::int64_t* from_b = sorted + (b_first + t - i - 1) * tile;
            for (std::uint64_t p = 0; p < n; ++p) {
                double x = i > 0 ? std::fabs(from_key(from_a[p]) - median[p]) : 0.0;
                double y = t > i ? std::fabs(from_key(from_b[p]) - median[p]) : 0.0;
                double v = x > y ? x : y;
                d[p] = v < d[p] ? v : d[p];
            }
        }
    }
}

ALSO_FOR_AVX2
void tile_bounds(const Combiner& c, Tile_Work& w, std::uint64_t n)
{
    const Rejection& r = c.rejection;
    const std::uint64_t m = c.inputs;
    double median[tile], mean[tile], deviation[tile], middle[2][tile];
    std::copy(w.sum, w.sum + n, median); // as reject_tile left them
    if (r.center == Center::mean || r.deviation == Deviation::std) {
        std::fill(mean, mean + n, 0.0);
        for (std::uint64_t k = 0; k < m; ++k)
            for (std::uint64_t p = 0; p < n; ++p)
                mean[p] += w.values[k * tile + p];
        for (std::uint64_t p = 0; p < n; ++p)
            mean[p] /= static_cast<double>(m);
    }
    if (r.deviation == Deviation::mad_std) {
        // The keys are in order (reject_tile sorted them wholly).
        middle_deviations(c, w.keys, median, middle, n);
        for (std::uint64_t p = 0; p < n; ++p)
            deviation[p] = (c.low == c.high ? middle[0][p] : (middle[0][p] + middle[1][p]) / 2) * mad_to_std;
    } else {
        std::fill(deviation, deviation + n, 0.0);
        for (std::uint64_t k = 0; k < m; ++k)
            for (std::uint64_t p = 0; p < n; ++p) {
                double d = mean[p] - w.values[k * tile + p];
                deviation[p] += d * d;
            }
        for (std::uint64_t p = 0; p < n; ++p)
            deviation[p] = std::sqrt(deviation[p] / static_cast<double>(m));
    }
    const double* center = r.center == Center::median ? median : mean;
    for (std::uint64_t p = 0; p < n; ++p) {
        w.low[p] = center[p] - r.sigma_low * deviation[p];
        w.high[p] = center[p] + r.sigma_high * deviation[p];
    }
}

ALSO_FOR_AVX2
void tile_keep(const Combiner& c, Tile_Work& w, std::uint64_t n)
{
    std::fill(w.sum, w.sum + n, 0.0);
    std::fill(w.kept, w.kept + n, 0);
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        for (std::uint64_t p = 0; p < n; ++p) {
            // Branch-free, so that it runs across the tile: a sum from +0
            // of finite values is never -0, so adding +0 leaves it as it is.
            double x = w.values[k * tile + p];
            bool keep = !((x < w.low[p]) | (x > w.high[p])); // NaN bounds reject nothing
            w.sum[p] += keep ? x : 0.0;
            w.kept[p] += keep;
        }
}

ALSO_FOR_AVX2
void tile_load(const Combiner& c, Tile_Work& w, const unsigned char* const* values, std::uint64_t first,
               std::uint64_t n)
{
    std::fill(w.alone, w.alone + n, 0);
    for (std::uint64_t k = 0; k < c.inputs; ++k) {
        double* v = w.values + k * tile;
        const double f = c.factors ? c.factors[k] : 1.0;
        if (c.type == type_uint16)
            for (std::uint64_t p = 0; p < n; ++p)
                v[p] = static_cast<double>(load_value<std::uint16_t>(values[k], first + p)) * f;
        else
            for (std::uint64_t p = 0; p < n; ++p)
                v[p] = load_value<double>(values[k], first + p) * f;
        for (std::uint64_t p = 0; p < n; ++p) {
            auto bits = std::bit_cast<std::uint64_t>(v[p]);
            w.alone[p] |= (bits & 0x7ff0000000000000) == 0x7ff0000000000000;
            w.keys[k * tile + p] = order_key(bits);
        }
    }
}

// uint16 values clipped about their median by mad_std, the defaults, in
// whole numbers: the median's double is m2 / 2 with m2 the sum of the two
// middle values, each deviation's double is D / 2 with D = |2x - m2|, and
// the median absolute deviation (Da + Db) / 4, all exact; so a network
// sorts the 16-bit values, the deviations' middle ones come from the order
// (middle_deviations), and a value lies within the bounds exactly when it
// lies within their ceiling and floor.
ALSO_FOR_AVX2
void sort_tile_uint16(const Combiner& c, std::uint16_t* keys, std::uint64_t n)
{
    sort_tile(c, keys, n);
}

// The deviations D = |2x - m2| at the middle ranks, from the values in
// order: those of the values up to the lower middle one, taken downwards,
// are in order (A), and so are those of the values after it (B); the t-th
// smallest of the two together is the least, over the splits of t into i
// from A and t - i from B, of the greater of the last taken from each (0
// for none, below every deviation).
ALSO_FOR_AVX2
void middle_deviations(const Combiner& c, const std::uint16_t* sorted, const std::uint32_t* m2,
                       std::uint32_t (*deviations)[tile], std::uint64_t n)
{
    const std::uint64_t a = c.low + 1, b_first = c.low + 1, b = c.inputs - b_first;
    const std::uint64_t ranks[2] = {c.low, c.high};
    for (int r = 0; r < 2; ++r) {
        const std::uint64_t t = ranks[r] + 1;
        std::uint32_t* d = deviations[r];
        std::fill(d, d + n, UINT32_MAX);
        for (std::uint64_t i = t > b ? t - b : 0; i <= std::min(t, a); ++i) {
            const std::uint16_t* from_a = sorted + (c.low + 1 - i) * tile; // A[i - 1]
            const std::uint16_t* from_b = sorted + (b_first + t - i - 1) * tile; // B[t - i - 1]
            for (std::uint64_t p = 0; p < n; ++p) {
                std::uint32_t x = i > 0 ? m2[p] - 2 * std::uint32_t{from_a[p]} : 0;
                std::uint32_t y = t > i ? 2 * std::uint32_t{from_b[p]} - m2[p] : 0;
                std::uint32_t v = x > y ? x : y;
                d[p] = v < d[p] ? v : d[p];
            }
        }
    }
}

// Reads the values where they lie, in the file's byte order.
ALSO_FOR_AVX2
void whole_tile_keep(const Combiner& c, const unsigned char* const* values, std::uint64_t first,
                     const std::int32_t* low, const std::int32_t* high, std::uint32_t* sum,
                     std::uint32_t* kept, std::uint64_t n)
{
    std::fill(sum, sum + n, 0);
    std::fill(kept, kept + n, 0);
    for (std::uint64_t k = 0; k < c.inputs; ++k)
        for (std::uint64_t p = 0; p < n; ++p) {
            std::int32_t v = load_value<std::uint16_t>(values[k], first + p);
            std::uint32_t keep = (v >= low[p]) & (v <= high[p]);
            sum[p] += keep * static_cast<std::uint32_t>(v);
            kept[p] += keep;
        }
}

// The bounds lie below 65536 and above -1 on their own sides (the median is
// within 0..65535); each is cut to that on the other, and then to the whole
// numbers within it: the ceiling of the low one, the floor of the high one
// (as conversions toward 0 that run across the tile).
ALSO_FOR_AVX2
void whole_bounds(const Combiner& c, const std::uint32_t (*deviations)[tile], const std::uint32_t* m2,
                  std::int32_t* low, std::int32_t* high, std::uint64_t n)
{
    const Rejection& r = c.rejection;
    // The distances from the center are cut, so that the bounds come out
    // cut exactly (center - (center + 1) is -1): the lesser of two
    // non-negative binary64 numbers is the lesser of their bits, which runs
    // across the tile where a comparison of binary64 numbers does not.
    auto least = [](double x, double y) {
        return std::bit_cast<double>(std::min(std::bit_cast<std::int64_t>(x), std::bit_cast<std::int64_t>(y)));
    };
    for (std::uint64_t p = 0; p < n; ++p) {
        double mad = static_cast<double>(deviations[0][p] + deviations[1][p]) / 4;
        double deviation = mad * mad_to_std, center = static_cast<double>(m2[p]) / 2;
        double lo = center - least(r.sigma_low * deviation, center + 1);
        double hi = center + least(r.sigma_high * deviation, 65536 - center);
        auto toward_zero = static_cast<std::int32_t>(lo);
        low[p] = toward_zero + (static_cast<double>(toward_zero) < lo);
        high[p] = static_cast<std::int32_t>(hi);
    }
}

ALSO_FOR_AVX2
std::uint64_t reject_whole_tile(const Combiner& c, Tile_Work& w, Pixel& px, unsigned char* result,
                                unsigned char* rejected, const unsigned char* const* values,
                                std::uint64_t first, std::uint64_t n)
{
    const Rejection& r = c.rejection;
    const std::uint64_t m = c.inputs;
    auto* sorted = reinterpret_cast<std::uint16_t*>(w.values);
    for (std::uint64_t k = 0; k < m; ++k)
        for (std::uint64_t p = 0; p < n; ++p)
            sorted[k * tile + p] = load_value<std::uint16_t>(values[k], first + p);
    Combiner whole = c; // every position in order, not only the middle ones
    whole.network = w.sort_network;
    whole.comparators = w.sort_comparators;
    whole.whole_sort = true;
    sort_tile_uint16(whole, sorted, n);
    std::uint32_t m2[tile] = {}, deviations[2][tile];
    for (std::uint64_t p = 0; p < n; ++p)
        m2[p] = std::uint32_t{sorted[c.low * tile + p]} + sorted[c.high * tile + p];
    middle_deviations(c, sorted, m2, deviations, n);
    std::int32_t low[tile], high[tile];
    whole_bounds(c, deviations, m2, low, high, n);
    std::uint32_t sum[tile], kept[tile];
    whole_tile_keep(c, values, first, low, high, sum, kept, n);
    // Every pixel as if nothing more were to be done, across the tile (a
    // pixel with nothing kept divides by 0 here); then those that need
    // more, alone.
    std::uint16_t out[tile], lost[tile];
    const std::uint16_t* a = sorted + c.low * tile;
    const std::uint16_t* b = sorted + c.high * tile;
    // Each case its own loop, which runs across the tile.
    if (c.result_type == type_binary64 && c.method == Method::mean)
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, static_cast<double>(sum[p]) / static_cast<double>(kept[p]));
    else if (c.result_type == type_binary64)
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, (static_cast<double>(a[p]) + static_cast<double>(b[p])) / 2);
    else {
        if (c.method == Method::mean)
            for (std::uint64_t p = 0; p < n; ++p)
                out[p] = rounded_quotient(sum[p], kept[p]);
        else
            for (std::uint64_t p = 0; p < n; ++p)
                out[p] = c.low == c.high ? b[p] : middle_uint16(a[p], b[p]);
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p, out[p]);
    }
    if (rejected != nullptr) {
        for (std::uint64_t p = 0; p < n; ++p)
            lost[p] = static_cast<std::uint16_t>(m - kept[p]);
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(rejected, first + p, lost[p]);
    }
    std::uint64_t emptied = 0;
    for (std::uint64_t p = 0; p < n; ++p)
        if (kept[p] == 0 || (kept[p] < m && (r.iterations != 1 || c.method == Method::median))) {
            for (std::uint64_t k = 0; k < m; ++k)
                px.values[k] = load_value<std::uint16_t>(values[k], first + p);
            reject_and_combine(c, px, result, rejected, first + p, emptied);
        }
    return emptied;
}

// Every pixel of the tile as if nothing more were to be done, across the
// tile; reject_tile does again those that need more.
ALSO_FOR_AVX2
void tile_results(const Combiner& c, const Tile_Work& w, unsigned char* result, unsigned char* rejected,
                  std::uint64_t first, std::uint64_t n)
{
    const std::uint64_t m = c.inputs;
    if (rejected != nullptr)
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(rejected, first + p, static_cast<std::uint16_t>(m - w.kept[p]));
    const double* low = w.middle[0];
    const double* high = w.middle[1];
    if (c.result_type == type_binary64) {
        for (std::uint64_t p = 0; p < n; ++p)
            store_value(result, first + p,
                        c.method == Method::mean ? w.sum[p] / static_cast<double>(w.kept[p])
                        : c.low == c.high        ? high[p]
                                                 : middle_binary64(low[p], high[p]));
        return;
    }
    for (std::uint64_t p = 0; p < n; ++p)
        store_value(result, first + p,
                    c.method == Method::mean
                        ? rounded_quotient(w.sum[p], static_cast<double>(w.kept[p]))
                    : c.low == c.high ? static_cast<std::uint16_t>(high[p])
                                      : middle_uint16(static_cast<std::uint16_t>(low[p]),
                                                      static_cast<std::uint16_t>(high[p])));
}

std::uint64_t reject_tile(const Combiner& c, Tile_Work& w, Pixel& px, unsigned char* result,
                          unsigned char* rejected, const unsigned char* const* values, std::uint64_t first,
                          std::uint64_t n)
{
    const Rejection& r = c.rejection;
    const std::uint64_t m = c.inputs;
    if (c.type == type_uint16 && c.factors == nullptr && r.sigma && r.center == Center::median &&
        r.deviation == Deviation::mad_std)
        return reject_whole_tile(c, w, px, result, rejected, values, first, n);
    tile_load(c, w, values, first, n);
    bool medians = c.method == Method::median || (r.sigma && (r.center == Center::median ||
                                                              r.deviation == Deviation::mad_std));
    // w.sum holds the medians for tile_bounds until tile_keep; mad_std
    // needs the keys wholly in order.
    Combiner whole = c;
    if (r.sigma && r.deviation == Deviation::mad_std) {
        whole.network = w.sort_network;
        whole.comparators = w.sort_comparators;
        whole.whole_sort = true;
    }
    if (medians)
        tile_median(whole, w.keys, n, w.middle[0], w.middle[1], w.sum);
    if (r.sigma) {
        tile_bounds(c, w, n);
        tile_keep(c, w, n);
    } else {
        std::fill(w.kept, w.kept + n, m);
        std::fill(w.sum, w.sum + n, 0.0);
        for (std::uint64_t k = 0; k < m; ++k)
            for (std::uint64_t p = 0; p < n; ++p)
                w.sum[p] = w.sum[p] + w.values[k * tile + p];
    }
    tile_results(c, w, result, rejected, first, n);
    std::uint64_t emptied = 0;
    for (std::uint64_t p = 0; p < n; ++p) {
        bool more = w.kept[p] < m && (r.iterations != 1 || c.method == Method::median);
        if (w.alone[p] || more || w.kept[p] == 0) {
            for (std::uint64_t k = 0; k < m; ++k)
                px.values[k] = w.values[k * tile + p];
            reject_and_combine(c, px, result, rejected, first + p, emptied);
        }
    }
    return emptied;
}

#ifdef FIXED_NETWORKS
// Tests of binary64 bits, in the two functions below, as arithmetic on
// the bits, each giving -1 where it holds and 0 where not (GCC 12 splits
// vector comparisons into lanes here); `magnitude` and `infinity` are each
// function's own.
#define below_infinity(x) ((((x) & magnitude) - infinity) >> 63) // finite
#define above_infinity(x) ((infinity - ((x) & magnitude)) >> 63)  // NaN

// The binary64 median of few inputs, a column of 8 pixels at a time in
// registers: the values loaded as order keys, their NaNs noted, the keys
// through the network, and the middle ones combined by the rules of
// median_binary64_tile and middle_binary64, lane by lane at once.
template <std::uint64_t N, std::size_t... K>
[[gnu::always_inline]] inline void median_column(const unsigned char* const* values, std::uint64_t at,
                                                 unsigned char* result, std::index_sequence<K...>)
{
    using V = Lanes<std::int64_t>::V;
    typedef double D __attribute__((vector_size(64)));
    const V magnitude = V{} + INT64_MAX, infinity = V{} + 0x7ff0000000000000;
    V v[N], nan = {};
    ((std::memcpy(&v[K], values[K] + at * 8, sizeof(V)), nan |= above_infinity(v[K]),
      v[K] ^= (v[K] >> 63) & magnitude),
     ...);
    exchange_all<N, false>(v, std::make_index_sequence<fixed_network<N, false>().count>{});
    V low = v[(N - 1) / 2], high = v[N / 2];
    low ^= (low >> 63) & magnitude;
    high ^= (high >> 63) & magnitude;
    V bits = high;
    if constexpr (N % 2 == 0) {
        D a = (D)low, b = (D)high, sum = a + b;
        V sum_bits = (V)sum, halves = (V)(a / 2 + b / 2), half = (V)(sum / 2);
        V infinite = ~below_infinity(sum_bits) & ~above_infinity(sum_bits);
        V overflow = infinite & below_infinity(low) & below_infinity(high);
        bits = (overflow & halves) | (~overflow & half);
        nan |= above_infinity(sum_bits); // -inf and +inf
    }
    bits = (nan & static_cast<std::int64_t>(quiet_nan_bits)) | (~nan & bits);
    std::memcpy(result + at * 8, &bits, sizeof bits);
}

// Adds x to sum, and 1 to kept, where its order key lies within the keys.
template <class V, class D>
[[gnu::always_inline]] inline void keep_within(const V& x, const V& low_key, const V& high_key, D& sum, V& kept)
{
    V key = (V)((D)x + D{}); // -0 as +0
    key ^= (key >> 63) & INT64_MAX;
    V clamped = key < low_key ? low_key : key;
    clamped = high_key < clamped ? high_key : clamped;
    V differ = clamped ^ key, keep = ((differ - 1) & ~differ) >> 63;
    sum = sum + (D)(x & keep); // +0 for a value rejected, as reject_tile adds
    kept -= keep;
}

// The sigma-clipped mean of few binary64 inputs about their median by
// mad_std (ccdproc's reduction), a column of 8 pixels at a time in
// registers, by the steps and in the order of reject_tile: the keys sorted
// for the median, (a + b) / 2 of the middle ones; the deviations |x -
// median| (non-negative: they order as their bits) through the middle
// network, their median times mad_to_std; the values within the bounds
// summed in the order of the inputs from +0, and divided by their count.
// A pixel with an infinity or a NaN, or that keeps nothing, or that needs
// more iterations, is marked in `again` (-1) for reject_and_combine.
template <std::uint64_t N, std::size_t... K>
[[gnu::always_inline]] inline void clip_column(const Combiner& c, const unsigned char* const* values,
                                               std::uint64_t at, unsigned char* result, unsigned char* rejected,
                                               std::int64_t* again, std::index_sequence<K...>)
{
    using V = Lanes<std::int64_t>::V;
    typedef double D __attribute__((vector_size(64)));
    const V magnitude = V{} + INT64_MAX, infinity = V{} + 0x7ff0000000000000;
    V v[N], alone = {};
    ((std::memcpy(&v[K], values[K] + at * 8, sizeof(V)), alone |= ~below_infinity(v[K]),
      v[K] ^= (v[K] >> 63) & magnitude),
     ...);
    exchange_all<N, true>(v, std::make_index_sequence<fixed_network<N, true>().count>{});
    ((v[K] ^= (v[K] >> 63) & magnitude), ...); // the values, in order
    D median = (D)v[N / 2];
    if constexpr (N % 2 == 0)
        median = ((D)v[(N - 1) / 2] + (D)v[N / 2]) / 2;
    V d[N];
    ((d[K] = (V)((D)v[K] - median) & magnitude), ...);
    exchange_all<N, false>(d, std::make_index_sequence<fixed_network<N, false>().count>{});
    D mad = (D)d[N / 2];
    if constexpr (N % 2 == 0)
        mad = ((D)d[(N - 1) / 2] + (D)d[N / 2]) / 2;
    const D deviation = mad * mad_to_std, zero = {};
    const D low = median - c.rejection.sigma_low * deviation, high = median + c.rejection.sigma_high * deviation;
    // GCC 12 splits a vector comparison into lanes, but not a minimum or
    // maximum of integers: so each value is clamped to the bounds as order
    // keys (of x + 0, where -0 and +0 are one key, as they compare equal),
    // and kept where that leaves it as it is; a NaN bound rejects nothing.
    const V low_bits = (V)(low + zero), high_bits = (V)(high + zero);
    const V low_key = (low_bits ^ ((low_bits >> 63) & magnitude)) & ~above_infinity(low_bits);
    V high_key = high_bits ^ ((high_bits >> 63) & magnitude);
    high_key = (high_key & ~above_infinity(high_bits)) | (above_infinity(high_bits) & INT64_MAX);
    D sum = {};
    V kept = {}, x;
    ((std::memcpy(&x, values[K] + at * 8, sizeof x), keep_within(x, low_key, high_key, sum, kept)), ...);
    D mean = sum / __builtin_convertvector(kept, D);
    std::memcpy(result + at * 8, &mean, sizeof mean);
    V more = c.rejection.iterations != 1 ? (kept - static_cast<std::int64_t>(N)) >> 63 : V{};
    V redo = alone | ((kept - 1) >> 63) | more;
    std::memcpy(again, &redo, sizeof redo);
    if (rejected != nullptr) {
        std::int64_t counts[8];
        std::memcpy(counts, &kept, sizeof counts);
        for (int lane = 0; lane < 8; ++lane)
            store_value(rejected, at + static_cast<std::uint64_t>(lane),
                        static_cast<std::uint16_t>(N - static_cast<std::uint64_t>(counts[lane])));
    }
}

#undef below_infinity
#undef above_infinity

template <std::uint64_t N>
[[gnu::always_inline]] inline std::uint64_t clip_fixed(const Combiner& c, const unsigned char* const* values,
                                                       std::uint64_t first, unsigned char* result,
                                                       unsigned char* rejected, std::int64_t* again,
                                                       std::uint64_t n)
{
    std::uint64_t p = 0;
    for (; p + 8 <= n; p += 8)
        clip_column<N>(c, values, first + p, result, rejected, again + p, std::make_index_sequence<N>{});
    return p;
}

template <std::size_t... N>
__attribute__((target("arch=x86-64-v4"))) std::uint64_t
clip_binary64_fixed(const Combiner& c, const unsigned char* const* values, std::uint64_t first,
                    unsigned char* result, unsigned char* rejected, std::int64_t* again, std::uint64_t n,
                    std::index_sequence<N...>)
{
    std::uint64_t done = 0;
    (void)((c.inputs == N + 2 &&
            (done = clip_fixed<N + 2>(c, values, first, result, rejected, again, n), true)) ||
           ...);
    return done;
}

template <std::uint64_t N>
[[gnu::always_inline]] inline std::uint64_t median_fixed(const unsigned char* const* values, unsigned char* result,
                                                         std::uint64_t count)
{
    std::uint64_t p = 0;
    for (; p + 8 <= count; p += 8)
        median_column<N>(values, p, result, std::make_index_sequence<N>{});
    return p;
}

template <std::size_t... N>
__attribute__((target("arch=x86-64-v4"))) std::uint64_t
median_binary64_fixed(std::uint64_t inputs, const unsigned char* const* values, unsigned char* result,
                      std::uint64_t count, std::index_sequence<N...>)
{
    std::uint64_t done = 0;
    (void)((inputs == N + 2 && (done = median_fixed<N + 2>(values, result, count), true)) || ...);
    return done;
}
#endif

} // namespace

std::uint16_t mean_uint16(std::uint64_t sum, std::uint64_t count)
{
    return rounded_quotient(static_cast<double>(sum), static_cast<double>(count));
}

std::uint16_t middle_uint16(std::uint16_t low, std::uint16_t high)
{
    unsigned sum = unsigned{low} + high, half = sum / 2;
    return static_cast<std::uint16_t>(half + (sum & half & 1));
}

double middle_binary64(double low, double high)
{
    double sum = low + high;
    if (std::isinf(sum) && std::isfinite(low) && std::isfinite(high))
        return low / 2 + high / 2;
    if (std::isnan(sum)) // -inf and +inf
        return quiet_nan;
    return sum / 2;
}

// The network that places the middle values of c.inputs; false: no memory.
bool make_network(Combiner& c)
{
    std::uint64_t count = batcher_network(c.inputs, nullptr);
    c.network = static_cast<Comparator*>(std::malloc((count + 1) * sizeof(Comparator)));
    if (c.network == nullptr)
        return false;
    batcher_network(c.inputs, c.network);
    c.comparators = keep_middle(c.network, count, c.low, c.high);
    return true;
}

bool prepare_combiner(Combiner& c, std::uint64_t inputs, std::uint16_t type, Method method,
                      std::uint16_t result_type)
{
    c = Combiner{inputs, type, result_type == type_binary64 ? type_binary64 : type, method, (inputs - 1) / 2,
                 inputs / 2, 0, nullptr, nullptr, false, {}, nullptr, false, nullptr, nullptr};
    bool network = method == Method::median && inputs <= network_inputs(type);
    std::uint64_t keys = method == Method::mean ? 2 * tile : network ? inputs * tile : inputs;
    c.keys = std::malloc(keys * 8);
    if (network)
        make_network(c);
    if (c.keys == nullptr || (network && c.network == nullptr)) {
        release_combiner(c);
        return false;
    }
    return true;
}

bool prepare_rejecting_combiner(Combiner& c, std::uint64_t inputs, std::uint16_t type, Method method,
                                const Rejection& rejection, const double* factors, std::uint16_t result_type,
                                bool plain_if_empty)
{
    if (!prepare_combiner(c, inputs, type, method, factors != nullptr ? type_binary64 : result_type))
        return false;
    c.plain_if_empty = plain_if_empty;
    c.rejecting = true;
    c.rejection = rejection;
    c.factors = factors;
    c.scratch = static_cast<double*>(std::malloc(inputs * scratch_bytes_per_input));
    bool ready = c.scratch != nullptr;
    if (ready && by_tiles(c)) {
        auto* w = static_cast<Tile_Work*>(std::malloc(sizeof(Tile_Work)));
        c.tile_work = w;
        if (w != nullptr) {
            w->values = static_cast<double*>(std::malloc(inputs * tile * sizeof(double)));
            w->keys = static_cast<std::int64_t*>(std::malloc(inputs * tile * sizeof(std::int64_t)));
            w->sort_comparators = batcher_network(inputs, nullptr);
            w->sort_network = static_cast<Comparator*>(std::malloc((w->sort_comparators + 1) * sizeof(Comparator)));
            if (w->sort_network != nullptr)
                batcher_network(inputs, w->sort_network);
        }
        ready = w != nullptr && w->values != nullptr && w->keys != nullptr && w->sort_network != nullptr &&
                (c.network != nullptr || make_network(c));
    }
    if (!ready)
        release_combiner(c);
    return ready;
}

void release_combiner(Combiner& c)
{
    std::free(c.keys);
    std::free(c.network);
    std::free(c.scratch);
    if (auto* w = static_cast<Tile_Work*>(c.tile_work)) {
        std::free(w->values);
        std::free(w->keys);
        std::free(w->sort_network);
        std::free(w);
    }
    c.keys = nullptr;
    c.network = nullptr;
    c.scratch = nullptr;
    c.tile_work = nullptr;
}

void combine_values(const Combiner& c, unsigned char* result, const unsigned char* const* values,
                    std::uint64_t count)
{
    bool binary64 = c.type == type_binary64;
    if (c.method == Method::median && c.inputs > network_inputs(c.type)) {
        if (binary64)
            median_binary64_select(c, result, values, count);
        else
            median_uint16_select(c, result, values, count);
        return;
    }
    std::uint64_t first = 0;
#ifdef FIXED_NETWORKS
    if (c.method == Method::median && binary64 && c.inputs <= fixed_inputs && has_avx512())
        first = median_binary64_fixed(c.inputs, values, result, count, std::make_index_sequence<fixed_inputs - 1>{});
#endif
    for (; first < count; first += tile) {
        std::uint64_t n = std::min(tile, count - first);
        if (c.method == Method::median && binary64)
            median_binary64_tile(c, result, values, first, n);
        else if (c.method == Method::median)
            median_uint16_tile(c, result, values, first, n);
        else if (binary64)
            mean_binary64_tile(c, result, values, first, n);
        else
            mean_uint16_tile(c, result, values, first, n);
    }
}

std::uint64_t combine_rejecting(const Combiner& c, unsigned char* result, unsigned char* rejected,
                                const unsigned char* const* values, std::uint64_t count)
{
    Pixel px = pixel_scratch(c);
    std::uint64_t emptied = 0;
    if (auto* w = static_cast<Tile_Work*>(c.tile_work)) {
        std::uint64_t first = 0;
#ifdef FIXED_NETWORKS
        const Rejection& r = c.rejection;
        if (c.type == type_binary64 && c.factors == nullptr && c.method == Method::mean && r.sigma &&
            r.center == Center::median && r.deviation == Deviation::mad_std && c.inputs <= fixed_inputs &&
            has_avx512())
            for (; first < count; first += tile) {
                std::int64_t again[tile];
                std::uint64_t n = std::min(tile, count - first);
                std::uint64_t done = clip_binary64_fixed(c, values, first, result, rejected, again, n,
                                                         std::make_index_sequence<fixed_inputs - 1>{});
                if (done < n)
                    break;
                for (std::uint64_t p = 0; p < n; ++p)
                    if (again[p]) {
                        for (std::uint64_t k = 0; k < c.inputs; ++k)
                            px.values[k] = load_value<double>(values[k], first + p);
                        reject_and_combine(c, px, result, rejected, first + p, emptied);
                    }
            }
#endif
        for (; first < count; first += tile)
            emptied += reject_tile(c, *w, px, result, rejected, values, first, std::min(tile, count - first));
        return emptied;
    }
    for (std::uint64_t p = 0; p < count; ++p) {
        for (std::uint64_t k = 0; k < c.inputs; ++k) {
            double v = c.type == type_uint16 ? load_value<std::uint16_t>(values[k], p)
                                             : load_value<double>(values[k], p);
            px.values[k] = c.factors ? v * c.factors[k] : v;
        }
        reject_and_combine(c, px, result, rejected, p, emptied);
    }
    return emptied;
}

} // namespace combine
