#include "exact_sum.h"

#include "byte_order.h"
#include "two_values.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace img {

namespace {

constexpr std::uint64_t lanes = 4;
constexpr std::uint64_t exponents = 2048; // 2047: NaNs and infinities
constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << 52) - 1;

// Values added together in groups: small enough to stay in the first-level
// cache between the two passes over them.
constexpr std::uint64_t group = 2048;

double power_of_two(std::uint64_t field)
{
    return std::bit_cast<double>(field << 52);
}

// The usual group has no NaN or infinity and its values' magnitudes within
// a factor 2^10 of each other (its zeros aside), none tiny: scaled by a
// power of two so that the smallest step of the smallest one is 1, every
// value becomes a whole number k below 2^63, exactly. Rounding k to a
// multiple of 2^32 (adding and subtracting 1.5 * 2^84, where that is the
// step of binary64) splits it exactly into 2^32 * h + l, h and l below 2^31
// in magnitude, and the sums of up to 2048 h and of 2048 l stay below 2^42:
// exact in binary64 whatever the order. Adds the group's values but an odd
// last one and returns how many it added, or 0 for any other group.
std::uint64_t add_group_fast(Exact_Sum& sum, const double* v, std::uint64_t n)
{
    const std::uint64_t whole = n - n % 2;
    const Two_Bits magnitude = {INT64_MAX, INT64_MAX};
    const Two infinity = both(INFINITY);
    Two nan = {}, largest = {}, smallest = infinity;
    for (std::uint64_t i = 0; i < whole; i += 2) {
        const Two a = (Two)((Two_Bits)load_two(v + i) & magnitude);
        nan += a - a; // NaN for a NaN or an infinity
        largest = largest < a ? a : largest;
        const Two nonzero = a == 0 ? infinity : a;
        smallest = nonzero < smallest ? nonzero : smallest;
    }
    const double high_value = largest[0] > largest[1] ? largest[0] : largest[1];
    const double low_value = smallest[0] < smallest[1] ? smallest[0] : smallest[1];
    const std::uint64_t high = std::bit_cast<std::uint64_t>(high_value) >> 52;
    const std::uint64_t low = std::bit_cast<std::uint64_t>(low_value) >> 52;
    if (whole == 0 || nan[0] + nan[1] != 0 || high_value == 0 || high - low > 10 || low < 53)
        return 0;
    const double factor = power_of_two(1075 - low + 1023), split = 0x1.8p84;
    const Two scale = both(factor), splits = both(split);
    Two highs = {}, lows = {};
    for (std::uint64_t i = 0; i < whole; i += 2) {
        const Two k = load_two(v + i) * scale, h = (k + splits) - splits;
        highs += h * 0x1p-32;
        lows += k - h;
    }
    const auto high_sum = static_cast<std::int64_t>(highs[0]) + static_cast<std::int64_t>(highs[1]);
    const auto low_sum = static_cast<std::int64_t>(lows[0]) + static_cast<std::int64_t>(lows[1]);
    sum.bins[low] += static_cast<Bin>(high_sum) * (Bin{1} << 32) + low_sum;
    sum.values += whole;
    return whole;
}

// Each value to its own bin, in lanes: values of one exponent in a row
// would otherwise wait for each other's additions. A finite value is
// m * 2^(e - 1075) for its exponent field e >= 1 and significand m (the
// implicit bit set), and m * 2^-1074 for e = 0: as if its field were 1 with
// no implicit bit. Bin e holds such m, signed, and is added to the whole sum
// shifted by max(e, 1) - 1 bits.
void add_group(Exact_Sum& sum, const double* v, std::uint64_t n)
{
    std::uint64_t others = 0, i = add_group_fast(sum, v, n);
    const auto add_one = [&](Bin* bins, std::uint64_t bits) {
        const std::uint64_t e = (bits >> 52) & 0x7FF;
        const std::uint64_t m = (bits & fraction_mask) | (std::uint64_t{e != 0} << 52);
        const std::uint64_t sign = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);
        bins[e] += static_cast<std::int64_t>((m ^ sign) - sign);
        others += e == 0x7FF;
    };
    sum.values += n - i;
    for (; i + lanes <= n; i += lanes)
        for (std::uint64_t lane = 0; lane < lanes; ++lane)
            add_one(sum.bins + lane * exponents, std::bit_cast<std::uint64_t>(v[i + lane]));
    for (; i < n; ++i)
        add_one(sum.bins, std::bit_cast<std::uint64_t>(v[i]));
    sum.others += others;
}

// The whole sum as one integer of 2^-1074 units, in two's complement over
// 64-bit limbs, the least significant first: the largest bin (2^127) at
// the largest shift (2045 bits) needs 2173 bits, with room for the lanes'
// carries.
constexpr unsigned limbs = 36;

// t += v * 2^shift
void add_shifted(std::uint64_t* t, Bin v, unsigned shift)
{
    const unsigned limb = shift / 64, bit = shift % 64;
    const auto low = static_cast<std::uint64_t>(v);
    const auto high = static_cast<std::uint64_t>(v >> 64);
    const std::uint64_t fill = v < 0 ? ~std::uint64_t{0} : 0;
    const std::uint64_t words[3] = {
        low << bit,
        bit ? (high << bit) | (low >> (64 - bit)) : high,
        bit ? static_cast<std::uint64_t>(static_cast<std::int64_t>(high) >> (64 - bit)) : fill,
    };
    std::uint64_t carry = 0;
    for (unsigned k = limb; k < limbs; ++k) {
        const std::uint64_t w = k - limb < 3 ? words[k - limb] : fill;
        const std::uint64_t s = t[k] + w, s2 = s + carry;
        carry = std::uint64_t{s < w} | std::uint64_t{s2 < carry};
        t[k] = s2;
    }
}

void negate(std::uint64_t* t)
{
    std::uint64_t carry = 1;
    for (unsigned k = 0; k < limbs; ++k) {
        t[k] = ~t[k] + carry;
        carry = carry && t[k] == 0;
    }
}

// `count` (at most 64) bits of t from bit `from` on.
std::uint64_t bits_at(const std::uint64_t* t, unsigned from, unsigned count)
{
    const unsigned limb = from / 64, bit = from % 64;
    std::uint64_t v = t[limb] >> bit;
    if (bit != 0 && limb + 1 < limbs)
        v |= t[limb + 1] << (64 - bit);
    return count == 64 ? v : v & ((std::uint64_t{1} << count) - 1);
}

bool any_bit_below(const std::uint64_t* t, unsigned position)
{
    for (unsigned k = 0; k < position / 64; ++k)
        if (t[k] != 0)
            return true;
    return position % 64 != 0 && (t[position / 64] & ((std::uint64_t{1} << (position % 64)) - 1)) != 0;
}

} // namespace

bool prepare_exact_sum(Exact_Sum& sum)
{
    sum = Exact_Sum{static_cast<Bin*>(std::calloc(lanes * exponents, sizeof(Bin))), 0, 0, 0};
    return sum.bins != nullptr;
}

void release_exact_sum(Exact_Sum& sum)
{
    std::free(sum.bins);
    sum.bins = nullptr;
}

void add_values(Exact_Sum& sum, const unsigned char* values, std::uint64_t n, std::uint16_t type)
{
    if (type == type_uint16) {
        // Below 2^64 for any 2^48 values.
        std::uint64_t whole = 0;
        for (std::uint64_t i = 0; i < n; ++i)
            whole += load_value<std::uint16_t>(values, i);
        sum.whole += whole;
        sum.values += n;
        return;
    }
    double host[group];
    for (std::uint64_t first = 0; first < n; first += group) {
        const std::uint64_t part = n - first < group ? n - first : group;
        for (std::uint64_t i = 0; i < part; ++i)
            host[i] = load_value<double>(values, first + i);
        add_group(sum, host, part);
    }
}

void add_binary64(Exact_Sum& sum, const double* values, std::uint64_t n)
{
    for (std::uint64_t first = 0; first < n; first += group)
        add_group(sum, values + first, n - first < group ? n - first : group);
}

// The quotient Q = floor(|T| / count) and the remainder R, then Q's top 53
// bits K, rounded by what lies below them: the bits of Q under K, then R.
// Below 2^53 units the step of binary64 is one unit, 2^-1074, for
// subnormal and normal numbers alike; above, K sheds k bits. The result's
// bits are then k * 2^52 + K, the exponent field one more than k with K's
// leading bit in it (for k = 0 that leading bit, if set, makes the field 1,
// as for the smallest normal numbers); a K that rounds up to 2^53 carries
// into the exponent, which is right too.
double finite_mean(const Exact_Sum& sum)
{
    const std::uint64_t count = sum.values - sum.others;
    if (count == 0)
        return std::numeric_limits<double>::quiet_NaN();
    std::uint64_t t[limbs] = {};
    for (std::uint64_t lane = 0; lane < lanes; ++lane)
        for (unsigned e = 0; e < exponents - 1; ++e)
            if (const Bin bin = sum.bins[lane * exponents + e]; bin != 0)
                add_shifted(t, bin, e == 0 ? 0 : e - 1);
    add_shifted(t, static_cast<Bin>(sum.whole), 1074);
    const bool negative = t[limbs - 1] >> 63;
    if (negative)
        negate(t);

    __extension__ typedef unsigned __int128 Wide;
    std::uint64_t rest = 0;
    for (unsigned k = limbs; k-- > 0;) {
        const Wide part = (static_cast<Wide>(rest) << 64) | t[k];
        t[k] = static_cast<std::uint64_t>(part / count);
        rest = static_cast<std::uint64_t>(part % count);
    }
    unsigned length = 0;
    for (unsigned k = limbs; k-- > 0;)
        if (t[k] != 0) {
            length = 64 * k + static_cast<unsigned>(std::bit_width(t[k]));
            break;
        }
    const unsigned k = length > 53 ? length - 53 : 0;
    const std::uint64_t kept = bits_at(t, k, 53);
    bool up;
    if (k == 0) // the fraction R / count against one half
        up = rest > count - rest || (rest == count - rest && (kept & 1));
    else
        up = bits_at(t, k - 1, 1) && (rest != 0 || any_bit_below(t, k - 1) || (kept & 1));
    const std::uint64_t bits = (std::uint64_t{k} << 52) + kept + std::uint64_t{up};
    return std::bit_cast<double>(bits | (std::uint64_t{negative} << 63));
}

void merge_exact_sums(Exact_Sum& into, const Exact_Sum& from)
{
    for (std::uint64_t k = 0; k < lanes * exponents; ++k)
        into.bins[k] += from.bins[k];
    into.whole += from.whole;
    into.values += from.values;
    into.others += from.others;
}

Block_Status add_block_values(Exact_Sum& sum, Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                              const double* floor, double* buffer, std::uint64_t& obtained)
{
    auto* bytes = reinterpret_cast<unsigned char*>(buffer);
    for (std::uint64_t done = 0; done < n; done += sum_chunk_values) {
        const std::uint64_t part = n - done < sum_chunk_values ? n - done : sum_chunk_values;
        std::uint64_t got = 0;
        const unsigned char* values = block_values(block, first + done, part, bytes, got);
        if (got < part) {
            obtained = first + done + got;
            return Block_Status::short_block;
        }
        if (!floor) {
            add_values(sum, values, part, block.file_type);
            continue;
        }
        // In place, from the last value down: a binary64 value is where it
        // was, and the uint16 values not yet taken lie below the one written.
        for (std::uint64_t i = part; i-- > 0;) {
            const double v = block.file_type == type_uint16 ? load_value<std::uint16_t>(values, i)
                                                            : load_value<double>(values, i);
            buffer[i] = v < *floor ? *floor : v;
        }
        add_binary64(sum, buffer, part);
    }
    obtained = first + n;
    return Block_Status::ok;
}

} // namespace img
