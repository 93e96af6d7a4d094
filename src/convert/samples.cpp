#include "samples.h"
#include "image/byte_order.h"
#include "image/velkin.h"

#include <cmath>
#include <cstring>
#include <type_traits>

namespace convert {

using namespace img;

namespace {

// Integers wide enough for any 64-bit sample plus a BZERO below 2^126.
__extension__ typedef __int128 Wide;
__extension__ typedef unsigned __int128 Wide_Magnitude;

// The NaN a null becomes: numpy's and astropy's.
constexpr std::uint64_t quiet_nan_bits = 0x7FF8000000000000;

const struct {
    unsigned bits;
    Number number;
    Sample sample;
} kinds[] = {
    {8, Number::unsigned_integer, Sample::uint8},   {8, Number::signed_integer, Sample::int8},
    {16, Number::unsigned_integer, Sample::uint16}, {16, Number::signed_integer, Sample::int16},
    {32, Number::unsigned_integer, Sample::uint32}, {32, Number::signed_integer, Sample::int32},
    {64, Number::unsigned_integer, Sample::uint64}, {64, Number::signed_integer, Sample::int64},
    {32, Number::floating, Sample::float32},        {64, Number::floating, Sample::float64},
};

template <std::size_t N>
using Bits = std::conditional_t<
    N == 1, std::uint8_t,
    std::conditional_t<N == 2, std::uint16_t,
                       std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>>;

// Sample i, from the file's order; its bits never pass through a
// floating-point register before it is a value of its kind.
template <class S, bool swapped> S sample_at(const unsigned char* values, std::uint64_t i)
{
    Bits<sizeof(S)> bits;
    std::memcpy(&bits, values + i * sizeof(S), sizeof(S));
    if constexpr (swapped && sizeof(S) > 1)
        bits = byte_reversed(bits);
    return std::bit_cast<S>(bits);
}

// Beyond this magnitude binary64 no longer holds every integer.
constexpr Wide exact_limit = Wide{1} << 53;

// The scaling, taken apart once a chunk.
struct Arithmetic {
    bool identity;   // BSCALE 1, BZERO 0
    bool whole;      // BSCALE 1 and a whole BZERO: integers stay whole, summed exactly
    Wide whole_zero; // that BZERO
    double scale, zero;
    bool blank;
    Wide null;

    // As astropy scales: the product rounded, then the sum; each step left
    // out where BSCALE is 1 or BZERO 0, so that a float -0 stays -0. A NaN
    // the arithmetic makes (BSCALE 0 x infinity) is the same on every host,
    // a null's, where x86-64 would make 0xFFF8000000000000.
    double scaled(double v) const
    {
        if (scale != 1)
            v *= scale;
        if (zero != 0)
            v += zero;
        return std::isnan(v) ? std::bit_cast<double>(quiet_nan_bits) : v;
    }
};

Arithmetic arithmetic(const Scaling& s)
{
    const bool whole = s.scale == 1 && std::trunc(s.zero) == s.zero && std::fabs(s.zero) < 0x1p126;
    return {s.scale == 1 && s.zero == 0, whole, whole ? static_cast<Wide>(s.zero) : 0, s.scale,
            s.zero, s.blank, s.null};
}

// The first 64-bit integer of a chunk beyond 2^53.
struct Inexact {
    bool found = false;
    std::uint64_t at = 0;
    Wide value = 0;
};

// Back to front, as every value widens in place (a uint8 to a uint16, an
// int16 to a binary64).
template <class S, bool swapped>
void to_uint16(unsigned char* values, std::uint64_t n, std::uint16_t flip)
{
    for (std::uint64_t i = n; i-- > 0;) {
        auto v = static_cast<std::uint16_t>(sample_at<S, swapped>(values, i) ^ flip);
        std::memcpy(values + 2 * i, &v, 2);
    }
}

template <class S, bool swapped>
void to_binary64(unsigned char* values, std::uint64_t n, const Arithmetic& a, Inexact& inexact)
{
    for (std::uint64_t i = n; i-- > 0;) {
        const S s = sample_at<S, swapped>(values, i);
        double v;
        if constexpr (std::is_floating_point_v<S>) {
            // float32 widens exactly; a NaN keeps its payload, a signalling
            // one made quiet, as every widening does.
            v = s;
            if (!a.identity && !std::isnan(v))
                v = a.scaled(v);
        } else if (a.blank && static_cast<Wide>(s) == a.null) {
            v = std::bit_cast<double>(quiet_nan_bits);
        } else {
            const Wide exact = static_cast<Wide>(s) + a.whole_zero;
            if constexpr (sizeof(S) == 8)
                if (exact > exact_limit || exact < -exact_limit)
                    inexact = {true, i, exact};
            // Every other sum is exact, or rounded once (a whole BZERO of
            // 2^53 or more, which numpy's sum rounds the same).
            v = static_cast<double>(exact);
            if (!a.whole)
                v = a.scaled(v);
        }
        std::memcpy(values + 8 * i, &v, 8);
    }
}

template <class F> void with_kind(Sample sample, F&& f)
{
    switch (sample) {
    case Sample::uint8: f(std::uint8_t{}); break;
    case Sample::int8: f(std::int8_t{}); break;
    case Sample::uint16: f(std::uint16_t{}); break;
    case Sample::int16: f(std::int16_t{}); break;
    case Sample::uint32: f(std::uint32_t{}); break;
    case Sample::int32: f(std::int32_t{}); break;
    case Sample::uint64: f(std::uint64_t{}); break;
    case Sample::int64: f(std::int64_t{}); break;
    case Sample::float32: f(float{}); break;
    case Sample::float64: f(double{}); break;
    }
}

std::string decimal(Wide v)
{
    Wide_Magnitude m = v < 0 ? -static_cast<Wide_Magnitude>(v) : static_cast<Wide_Magnitude>(v);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    return (v < 0 ? "-" : "") + digits;
}

} // namespace

bool sample_kind(unsigned bits, Number number, Sample& sample)
{
    for (const auto& k : kinds)
        if (k.bits == bits && k.number == number) {
            sample = k.sample;
            return true;
        }
    return false;
}

unsigned sample_bytes(Sample sample)
{
    for (const auto& k : kinds)
        if (k.sample == sample)
            return k.bits / 8;
    return 0;
}

Samples map_samples(Sample sample, const Scaling& scaling)
{
    const bool unscaled = scaling.scale == 1 && scaling.zero == 0;
    const bool uint16 = ((sample == Sample::uint8 || sample == Sample::uint16) && unscaled) ||
                        (sample == Sample::int16 && scaling.scale == 1 && scaling.zero == 32768);
    return {sample, scaling, uint16 ? type_uint16 : type_binary64};
}

bool convert_samples(const Samples& samples, unsigned char* values, std::uint64_t n,
                     std::endian order, Place place, const std::string& file, Failure& failure)
{
    const bool swapped = order != std::endian::native;
    if (samples.type == type_uint16) {
        // uint8 and uint16 as they are; int16 shifted by BZERO 32768.
        const std::uint16_t flip = samples.sample == Sample::int16 ? 0x8000 : 0;
        if (samples.sample == Sample::uint8)
            to_uint16<std::uint8_t, false>(values, n, 0);
        else if (swapped)
            to_uint16<std::uint16_t, true>(values, n, flip);
        else if (flip)
            to_uint16<std::uint16_t, false>(values, n, flip);
        return true;
    }
    const Arithmetic a = arithmetic(samples.scaling);
    if (samples.sample == Sample::float64 && a.identity) { // the bits as they are
        convert_byte_order(values, n, 8, order);
        return true;
    }
    Inexact inexact;
    with_kind(samples.sample, [&](auto kind) {
        using S = decltype(kind);
        if (swapped)
            to_binary64<S, true>(values, n, a, inexact);
        else
            to_binary64<S, false>(values, n, a, inexact);
    });
    return !inexact.found ||
           fail(failure, file, says::integer_beyond_binary64, decimal(inexact.value).c_str(),
                llu(inexact.at % place.width), llu(place.first_row + inexact.at / place.width));
}

} // namespace convert
