// binary64 values into uint16 by the one rule the tools share (pixcalibrate
// --type uint16, pixcombine --type uint16): rounded to nearest, ties to
// even, then clamped to 0..65535, a NaN as 0; nothing wraps, and each value
// that does not fit is counted, for the tool to report.
#pragma once

#include <cstdint>

namespace img {

// What became of the values that uint16 cannot hold.
struct Clamped {
    std::uint64_t below = 0; // rounded below 0, written as 0 (-inf too)
    std::uint64_t above = 0; // rounded above 65535, written as 65535 (+inf too)
    std::uint64_t nan = 0;   // written as 0

    std::uint64_t total() const { return below + above + nan; }
    Clamped& operator+=(const Clamped& other)
    {
        below += other.below;
        above += other.above;
        nan += other.nan;
        return *this;
    }
};

// x[i] rounded to nearest, ties to even, and clamped to 0..65535, into
// `out` in the file's byte order; each value clamped, and each NaN, counted.
// x is overwritten. `out` may not overlap x.
void to_uint16(double* x, std::uint64_t n, unsigned char* out, Clamped& clamped);

} // namespace img
