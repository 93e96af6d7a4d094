#include "to_uint16.h"

#include "byte_order.h"
#include "two_values.h"

#include <cstring>

namespace img {

void to_uint16(double* x, std::uint64_t n, unsigned char* out, Clamped& clamped)
{
    // Below 2^51 in magnitude, adding 1.5 * 2^52, where the step of binary64
    // is 1, rounds to a whole number, ties to even, as the default rounding
    // does; subtracting it again is exact. So -0.5 gives 0 and 65535.5 gives
    // 65536: clamped are the values below -0.5 and from 65535.5 up. A NaN
    // fails every comparison but != and gives 0, as does -0.
    const Two low = both(-0.5), high = both(65535.5), whole = both(0x1.8p52), zero = both(0.0),
              largest = both(65535.0);
    Two_Bits below = {}, above = {}, nan = {};
    std::uint64_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const Two v = load_two(x + i), rounded = (v + whole) - whole;
        below -= v < low;
        above -= v >= high;
        nan -= v != v;
        const Two at_least = rounded > zero ? rounded : zero;
        const Two at_most = at_least < largest ? at_least : largest;
        std::memcpy(x + i, &at_most, sizeof at_most);
    }
    for (; i < n; ++i) {
        const double v = x[i], rounded = (v + 0x1.8p52) - 0x1.8p52;
        below[0] += v < -0.5;
        above[0] += v >= 65535.5;
        nan[0] += v != v;
        const double at_least = rounded > 0.0 ? rounded : 0.0;
        x[i] = at_least < 65535.0 ? at_least : 65535.0;
    }
    for (i = 0; i < n; ++i)
        store_value(out, i, static_cast<std::uint16_t>(static_cast<std::int32_t>(x[i])));
    clamped.below += static_cast<std::uint64_t>(below[0] + below[1]);
    clamped.above += static_cast<std::uint64_t>(above[0] + above[1]);
    clamped.nan += static_cast<std::uint64_t>(nan[0] + nan[1]);
}

} // namespace img
