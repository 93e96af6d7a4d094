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

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 Uint128;

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t exponent_bits = 0x7ff0000000000000;
constexpr unsigned radix_bits = 16;
constexpr std::uint64_t buckets = std::uint64_t{1} << radix_bits;
// Keys gathered for the last pass of a median: 2 MiB.
constexpr std::uint64_t gather_limit = std::uint64_t{1} << 18;
constexpr int exponents = 2048;

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

// ---- binary64 mean: exact sums of the significands by exponent ----

// The exact sum is built as a fixed-point number whose lowest bit is worth
// 2^-1074, the spacing of the subnormals, in 64-bit limbs, two's
// complement: 2046 bits of exponent range, 86 of a partial sum and 11 of
// adding 2048 of them fit in 35 limbs.
constexpr int limbs = 35;

void add_shifted(std::uint64_t (&number)[limbs], Int128 term, unsigned shift)
{
    auto v = static_cast<Uint128>(term);
    std::uint64_t extension = term < 0 ? ~std::uint64_t{0} : 0;
    auto low = static_cast<std::uint64_t>(v), middle = static_cast<std::uint64_t>(v >> 64);
    unsigned limb = shift / 64, bit = shift % 64;
    std::uint64_t parts[3] = {low << bit, bit ? (middle << bit) | (low >> (64 - bit)) : middle,
                              bit ? (extension << bit) | (middle >> (64 - bit)) : extension};
    std::uint64_t carry = 0;
    for (unsigned k = limb; k < limbs; ++k) {
        std::uint64_t part = k - limb < 3 ? parts[k - limb] : extension;
        Uint128 sum = Uint128{number[k]} + part + carry;
        number[k] = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
    }
}

bool bit_at(const std::uint64_t (&number)[limbs], unsigned position)
{
    return (number[position / 64] >> (position % 64)) & 1;
}

bool any_bit_below(const std::uint64_t (&number)[limbs], unsigned position)
{
    for (unsigned k = 0; k < position / 64; ++k)
        if (number[k] != 0)
            return true;
    return position % 64 != 0 && (number[position / 64] << (64 - position % 64)) != 0;
}

// The 64 bits from `position` on.
std::uint64_t bits_from(const std::uint64_t (&number)[limbs], unsigned position)
{
    unsigned limb = position / 64, bit = position % 64;
    std::uint64_t v = number[limb] >> bit;
    if (bit != 0 && limb + 1 < limbs)
        v |= number[limb + 1] << (64 - bit);
    return v;
}

// sum / count, rounded once: the quotient's integer part and remainder
// decide it, the remainder standing for every bit below.
double exact_mean(const Int128* sums, std::uint64_t count)
{
    std::uint64_t number[limbs] = {};
    for (int e = 0; e < exponents; ++e)
        if (sums[e] != 0)
            add_shifted(number, sums[e], static_cast<unsigned>(std::max(e, 1) - 1));
    bool negative = number[limbs - 1] >> 63;
    if (negative) {
        std::uint64_t carry = 1;
        for (std::uint64_t& limb : number) {
            limb = ~limb + carry;
            carry = carry && limb == 0;
        }
    }
    std::uint64_t remainder = 0;
    for (int k = limbs - 1; k >= 0; --k) {
        Uint128 part = (Uint128{remainder} << 64) | number[k];
        number[k] = static_cast<std::uint64_t>(part / count);
        remainder = static_cast<std::uint64_t>(part % count);
    }
    int top = -1;
    for (int k = limbs - 1; k >= 0 && top < 0; --k)
        if (number[k] != 0)
            top = 64 * k + 63 - std::countl_zero(number[k]);
    std::uint64_t significand;
    int scale = -1074;
    bool half, beyond;
    if (top <= 52) { // the quotient's units are the last place
        significand = number[0];
        half = remainder > count - remainder;
        beyond = remainder == count - remainder; // an exact tie
        if (half || (beyond && (significand & 1)))
            ++significand;
    } else {
        auto shift = static_cast<unsigned>(top - 52);
        significand = bits_from(number, shift) & ((std::uint64_t{1} << 53) - 1);
        half = bit_at(number, shift - 1);
        beyond = any_bit_below(number, shift - 1) || remainder != 0;
        if (half && (beyond || (significand & 1)))
            ++significand;
        scale += static_cast<int>(shift);
    }
    double mean = std::ldexp(static_cast<double>(significand), scale);
    return negative ? -mean : mean;
}

void add_binary64_to_mean(Statistic_State& s, const unsigned char* values, std::uint64_t n)
{
    auto* sums = static_cast<Int128*>(s.sums);
    for (std::uint64_t i = 0; i < n; ++i) {
        auto bits = load_value<std::uint64_t>(values, i);
        if (!is_finite_bits(bits))
            continue;
        ++s.finite;
        auto e = static_cast<int>((bits >> 52) & 0x7ff);
        auto significand = static_cast<Int128>((bits & 0xfffffffffffff) | (e ? std::uint64_t{1} << 52 : 0));
        sums[e] += bits & sign_bit ? -significand : significand;
    }
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
    s = Statistic_State{file_type, which, 0, 0, false, no_value, nullptr, nullptr, {0, 0}, {0, 0},
                        {0, 0}, 0, nullptr, 0, false};
    if (file_type == type_uint16 || which == Statistic::median)
        s.histogram = static_cast<std::uint32_t*>(
            std::calloc(file_type == type_uint16 ? buckets : 2 * buckets, sizeof(std::uint32_t)));
    if (file_type == type_binary64 && which == Statistic::mean)
        s.sums = std::calloc(exponents, sizeof(Int128));
    if (file_type == type_binary64 && which == Statistic::median)
        s.gathered = static_cast<std::uint64_t*>(std::malloc(gather_limit * sizeof(std::uint64_t)));
    if ((s.histogram || s.sums) && (s.gathered || file_type != type_binary64 || which != Statistic::median))
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
        add_binary64_to_mean(s, values, n);
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
        s.value = s.finite ? exact_mean(static_cast<const Int128*>(s.sums), s.finite) : no_value;
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
    std::free(s.sums);
    std::free(s.gathered);
    s.histogram = nullptr;
    s.sums = nullptr;
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

} // namespace img
