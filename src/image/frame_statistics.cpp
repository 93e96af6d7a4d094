#include "frame_statistics.h"

#include "byte_order.h"

#include <bit>
#include <cstdlib>
#include <limits>

namespace img {

namespace {

constexpr std::uint64_t lanes = 4;
constexpr std::uint64_t exponents = 2048; // 2047: NaNs and infinities
constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << 52) - 1;

// Values read from a block at a time in frame_finite_mean.
constexpr std::uint64_t chunk_values = 32768;

// A finite value is m * 2^(e - 1075) for its exponent field e >= 1 and
// significand m (the implicit bit set), and m * 2^-1074 for e = 0: its bin
// is added to the sum shifted by max(e, 1) - 1 bits. Returns 1 for a NaN
// or an infinity, whose bin is never read.
inline std::uint64_t add_one(Bin* bins, std::uint64_t bits)
{
    const std::uint64_t e = (bits >> 52) & 0x7FF;
    const std::uint64_t m = (bits & fraction_mask) | (std::uint64_t{e != 0} << 52);
    const std::uint64_t sign = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);
    bins[e] += static_cast<std::int64_t>((m ^ sign) - sign);
    return e == 0x7FF;
}

template <class Load> void add_to_bins(Exact_Sum& sum, Load load, std::uint64_t n)
{
    std::uint64_t others = 0, i = 0;
    for (; i + lanes <= n; i += lanes)
        for (std::uint64_t lane = 0; lane < lanes; ++lane)
            others += add_one(sum.bins + lane * exponents, load(i + lane));
    for (; i < n; ++i)
        others += add_one(sum.bins, load(i));
    sum.values += n;
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
    add_to_bins(sum, [values](std::uint64_t i) { return load_value<std::uint64_t>(values, i); }, n);
}

void add_binary64(Exact_Sum& sum, const double* values, std::uint64_t n)
{
    add_to_bins(sum, [values](std::uint64_t i) { return std::bit_cast<std::uint64_t>(values[i]); }, n);
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

Block_Status frame_finite_mean(Pixel_Block& block, const double* floor, double& mean,
                               std::uint64_t& finite, std::uint64_t& obtained)
{
    mean = std::numeric_limits<double>::quiet_NaN();
    finite = obtained = 0;
    Exact_Sum sum;
    auto* buffer = static_cast<unsigned char*>(std::malloc(chunk_values * 8));
    auto* raised = static_cast<double*>(floor ? std::malloc(chunk_values * sizeof(double)) : nullptr);
    Block_Status status = Block_Status::no_memory;
    if (buffer && (raised || !floor) && prepare_exact_sum(sum)) {
        status = Block_Status::ok;
        for (std::uint64_t first = 0; first < block.count; first += chunk_values) {
            const std::uint64_t n = block.count - first < chunk_values ? block.count - first : chunk_values;
            std::uint64_t got = 0;
            const unsigned char* values = block_values(block, first, n, buffer, got);
            if (got < n) {
                obtained = first + got;
                status = Block_Status::short_block;
                break;
            }
            if (!floor) {
                add_values(sum, values, n, block.file_type);
                continue;
            }
            for (std::uint64_t i = 0; i < n; ++i) {
                const double v = block.file_type == type_uint16 ? load_value<std::uint16_t>(values, i)
                                                                : load_value<double>(values, i);
                raised[i] = v < *floor ? *floor : v;
            }
            add_binary64(sum, raised, n);
        }
        if (status == Block_Status::ok) {
            obtained = block.count;
            mean = finite_mean(sum);
            finite = sum.values - sum.others;
        }
        release_exact_sum(sum);
    }
    std::free(raised);
    std::free(buffer);
    return status;
}

} // namespace img
