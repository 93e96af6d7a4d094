// Two binary64 values at once, in a vector register where the processor
// has one (elsewhere the compiler splits the operations). The compiler
// vectorizes plain loops by itself, but not sums of binary64, which would
// change their order, nor counts of comparisons: loops that need those are
// written with these.
#pragma once

#include <cstdint>
#include <cstring>

namespace img {

typedef double Two __attribute__((vector_size(16)));
// A comparison of Twos gives -1 where it holds, 0 where not.
typedef std::int64_t Two_Bits __attribute__((vector_size(16)));

inline Two load_two(const double* v)
{
    Two x;
    std::memcpy(&x, v, sizeof x);
    return x;
}

inline Two both(double v)
{
    return Two{v, v};
}

} // namespace img
