#include "frame_statistics.h"

#include "byte_order.h"
#include "velkin.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace img {

namespace {

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t exponent_bits = 0x7ff0000000000000;
constexpr unsigned radix_bits = 16;
constexpr std::uint64_t buckets = std::uint64_t{1} << radix_bits;
// Keys gathered for the last pass of a median: 2 MiB.
constexpr std::uint64_t gather_limit = std::uint64_t{1} << 18;

const double no_value = std::numeric_limits<double>::quiet_NaN();

bool is_finite_bits(std::uint64_t bits)
{
    return (bits & exponent_bits) != exponent_bits;
}

// Unsigned keys that order as the numbers do, -0 just before +0.
std::uint64_t unsigned_key(std::uint64_t bits)
{
    return bits & sign_bit ? ~bits : bits | sign_bit;
}

double from_unsigned_key(std::uint64_t key)
{
    std::uint64_t bits = key & sign_bit ? key & ~sign_bit : ~key;
    return std::bit_cast<double>(bits);
}

double mean_of_two(double low, double high)
{
    double sum = low + high;
    return std::isinf(sum) ? low / 2 + high / 2 : sum / 2;
}

// ---- uint16: a histogram holds both statistics ----

std::uint16_t uint16_at_rank(const std::uint32_t* counts, std::uint64_t rank)
{
    std::uint64_t below = 0;
    for (std::uint64_t v = 0;; ++v) {
        below += counts[v];
        if (below > rank)
            return static_cast<std::uint16_t>(v);
    }
}

double uint16_result(const Statistic_State& s)
{
    if (s.finite == 0)
        return no_value;
    if (s.which == Statistic::median) {
        double low = uint16_at_rank(s.histogram, (s.finite - 1) / 2);
        double high = uint16_at_rank(s.histogram, s.finite / 2);
        return (low + high) / 2; // halves of whole numbers: exact
    }
    std::uint64_t sum = 0; // below 65535 * 2^32 < 2^53: exact as a double too
    for (std::uint64_t v = 0; v < buckets; ++v)
        sum += v * s.histogram[v];
    return static_cast<double>(sum) / static_cast<double>(s.finite);
}

// ---- binary64 median: radix selection ----

// The histogram slot of each rank still sought: both share one while their
// keys begin alike.
unsigned slot(const Statistic_State& s, int target)
{
    return target == 1 && s.prefix[1] != s.prefix[0] ? 1 : 0;
}

void add_binary64_to_median(Statistic_State& s, const unsigned char* values, std::uint64_t n)
{
    const bool first = s.passes == 0;
    const unsigned known = s.known_bits;
    for (std::uint64_t i = 0; i < n; ++i) {
        auto bits = load_value<std::uint64_t>(values, i);
        if (!is_finite_bits(bits))
            continue;
        std::uint64_t key = unsigned_key(bits);
        if (first) {
            ++s.finite;
            ++s.histogram[key >> (64 - radix_bits)];
            continue;
        }
        std::uint64_t begins = key >> (64 - known);
        bool in0 = begins == s.prefix[0], in1 = begins == s.prefix[1];
        if (!in0 && !in1)
            continue;
        if (s.gathering)
            s.gathered[s.gathered_count++] = key;
        else {
            std::uint64_t bucket = (key >> (64 - known - radix_bits)) & (buckets - 1);
            if (in0)
                ++s.histogram[bucket];
            if (in1 && s.prefix[1] != s.prefix[0])
                ++s.histogram[buckets + bucket];
        }
    }
}

} // namespace

bool start_statistic(Statistic_State& s, std::uint16_t file_type, Statistic which)
{
    s = Statistic_State{file_type, which, 0, 0, false, no_value, nullptr, {}, {0, 0}, {0, 0},
                        {0, 0}, 0, nullptr, 0, false};
    if (file_type == type_uint16 || which == Statistic::median)
        s.histogram = static_cast<std::uint32_t*>(
            std::calloc(file_type == type_uint16 ? buckets : 2 * buckets, sizeof(std::uint32_t)));
    const bool summed = file_type == type_binary64 && which == Statistic::mean;
    if (summed && !prepare_exact_sum(s.sum)) {
        release_statistic(s);
        return false;
    }
    if (file_type == type_binary64 && which == Statistic::median)
        s.gathered = static_cast<std::uint64_t*>(std::malloc(gather_limit * sizeof(std::uint64_t)));
    if ((s.histogram || summed) && (s.gathered || file_type != type_binary64 || which != Statistic::median))
        return true;
    release_statistic(s);
    return false;
}

void add_to_statistic(Statistic_State& s, const unsigned char* values, std::uint64_t n)
{
    if (s.file_type == type_uint16) {
        for (std::uint64_t i = 0; i < n; ++i)
            ++s.histogram[load_value<std::uint16_t>(values, i)];
        s.finite += n;
    } else if (s.which == Statistic::mean)
        add_values(s.sum, values, n, type_binary64);
    else
        add_binary64_to_median(s, values, n);
}

bool end_statistic_pass(Statistic_State& s)
{
    ++s.passes;
    s.done = true;
    if (s.file_type == type_uint16) {
        s.value = uint16_result(s);
        return true;
    }
    if (s.which == Statistic::mean) {
        s.finite = s.sum.values - s.sum.others;
        s.value = finite_mean(s.sum);
        return true;
    }
    if (s.finite == 0)
        return true;
    std::uint64_t key[2];
    if (s.gathering) {
        // The keys of both ranks' prefixes, each rank counted within its own.
        std::uint64_t* end = s.gathered + s.gathered_count;
        std::sort(s.gathered, end);
        for (int t = 0; t < 2; ++t) {
            std::uint64_t* start = s.gathered;
            while ((*start >> (64 - s.known_bits)) != s.prefix[t])
                ++start;
            key[t] = start[s.rank[t]];
        }
    } else {
        if (s.passes == 1) {
            s.rank[0] = (s.finite - 1) / 2;
            s.rank[1] = s.finite / 2;
        }
        std::uint64_t bucket[2];
        for (int t = 0; t < 2; ++t) {
            const std::uint32_t* counts = s.histogram + slot(s, t) * buckets;
            std::uint64_t b = 0;
            while (counts[b] <= s.rank[t])
                s.rank[t] -= counts[b++];
            bucket[t] = b;
            s.candidates[t] = counts[b];
        }
        for (int t = 0; t < 2; ++t)
            s.prefix[t] = (s.prefix[t] << radix_bits) | bucket[t];
        s.known_bits += radix_bits;
        std::fill(s.histogram, s.histogram + 2 * buckets, 0);
        if (s.known_bits < 64) {
            std::uint64_t wanted = s.candidates[0] + (s.prefix[1] != s.prefix[0] ? s.candidates[1] : 0);
            s.gathering = wanted <= gather_limit;
            s.done = false;
            return false;
        }
        key[0] = s.prefix[0];
        key[1] = s.prefix[1];
    }
    s.value = mean_of_two(from_unsigned_key(key[0]), from_unsigned_key(key[1]));
    if (key[0] == key[1])
        s.value = from_unsigned_key(key[0]);
    return true;
}

void release_statistic(Statistic_State& s)
{
    std::free(s.histogram);
    release_exact_sum(s.sum);
    std::free(s.gathered);
    s.histogram = nullptr;
    s.gathered = nullptr;
}

Statistic_Status frame_statistic(Pixel_Block& block, Statistic which, unsigned char* buffer,
                                 std::uint64_t buffer_values, double& value, std::uint64_t& obtained)
{
    Statistic_State s;
    if (!start_statistic(s, block.file_type, which))
        return Statistic_Status::no_memory;
    do {
        for (std::uint64_t first = 0; first < block.count; first += buffer_values) {
            std::uint64_t n = std::min(buffer_values, block.count - first), got = 0;
            const unsigned char* values = block_values(block, first, n, buffer, got);
            if (got < n) {
                obtained = first + got;
                release_statistic(s);
                return Statistic_Status::short_block;
            }
            add_to_statistic(s, values, n);
        }
    } while (!end_statistic_pass(s));
    value = s.value;
    release_statistic(s);
    return Statistic_Status::ok;
}

Statistic_Status frame_finite_mean(Pixel_Block& block, const double* floor, double& mean,
                                   std::uint64_t& finite, std::uint64_t& obtained)
{
    mean = std::numeric_limits<double>::quiet_NaN();
    finite = obtained = 0;
    Exact_Sum sum;
    auto* buffer = static_cast<double*>(std::malloc(sum_chunk_values * sizeof(double)));
    Statistic_Status status = Statistic_Status::no_memory;
    if (buffer && prepare_exact_sum(sum)) {
        status = add_block_values(sum, block, 0, block.count, floor, buffer, obtained) == Block_Status::ok
                     ? Statistic_Status::ok
                     : Statistic_Status::short_block;
        if (status == Statistic_Status::ok) {
            mean = finite_mean(sum);
            finite = sum.values - sum.others;
        }
        release_exact_sum(sum);
    }
    std::free(buffer);
    return status;
}

} // namespace img
