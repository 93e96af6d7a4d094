#include "difference.h"

#include "image/fail.h"
#include "image/little_endian.h"

#include <cstdlib>
#include <cstring>

namespace {

// Values go through memcpy because a block read from a file may start at any
// byte; the compiler turns these into plain (vector) loads and stores.
template <class T> T value_at(const unsigned char* block, std::uint64_t i)
{
    T v;
    std::memcpy(&v, block + i * sizeof(T), sizeof(T));
    return le_to_host(v);
}

template <class T> void set_value_at(unsigned char* block, std::uint64_t i, T v)
{
    v = le_to_host(v);
    std::memcpy(block + i * sizeof(T), &v, sizeof(T));
}

void difference_uint16(unsigned char* __restrict r, const unsigned char* __restrict a,
                       const unsigned char* __restrict b, std::uint64_t n, std::int16_t offset)
{
    // Modulo 65536 the signed sum and difference equal the unsigned ones.
    const auto shift = static_cast<std::uint16_t>(offset);
    for (std::uint64_t i = 0; i < n; ++i) {
        auto v = value_at<std::uint16_t>(a, i) + shift - value_at<std::uint16_t>(b, i);
        set_value_at(r, i, static_cast<std::uint16_t>(v));
    }
}

void difference_binary64(unsigned char* __restrict r, const unsigned char* __restrict a,
                         const unsigned char* __restrict b, std::uint64_t n, std::int16_t offset)
{
    const double shift = offset;
    for (std::uint64_t i = 0; i < n; ++i) {
        double sum = value_at<double>(a, i) + shift;
        set_value_at(r, i, sum - value_at<double>(b, i));
    }
}

} // namespace

void compute_difference(unsigned char* r, const unsigned char* a, const unsigned char* b,
                        std::uint64_t n, std::uint16_t type, std::int16_t offset)
{
    if (type == type_uint16)
        difference_uint16(r, a, b, n, offset);
    else
        difference_binary64(r, a, b, n, offset);
}

void write_difference(int fd, const Pixel_Block& a, const Pixel_Block& b, std::int16_t offset,
                      const Velkin_Header& header)
{
    std::uint64_t n = pixel_count(header);
    if (n == 0)
        return;

    std::uint16_t type = file_type(header);
    std::uint64_t bytes = n * bytes_per_value(type);
    unsigned char* r = allocate_block(bytes);
    if (r == nullptr)
        fail(stderr, exit_failure, "can not allocate memory (output block, %llu values)\n",
             static_cast<unsigned long long>(n));

    compute_difference(r, a.values, b.values, n, type, offset);

    if (write_fully(fd, r, bytes) < bytes)
        fail(stderr, exit_failure, "something wrong in data area %d  %llu\n", 1,
             static_cast<unsigned long long>(n));
    std::free(r);
}
