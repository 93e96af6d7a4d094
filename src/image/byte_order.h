// Byte order, in one place. The image file is little-endian throughout; a
// FITS data unit is big-endian; TIFF files come in either order, with
// samples of 1, 2, 4 or 8 bytes. Every
// multi-byte value read from or written to a file passes through these
// functions, which cost nothing where the file's order is the host's and
// reverse the bytes where it is not.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace img {

inline std::uint16_t load_le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline void store_le16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>(v >> 8);
}

inline std::uint16_t byte_reversed(std::uint16_t v)
{
    return static_cast<std::uint16_t>((v << 8) | (v >> 8));
}

inline std::uint32_t byte_reversed(std::uint32_t v)
{
    v = ((v & 0x00FF00FFu) << 8) | ((v >> 8) & 0x00FF00FFu);
    return (v << 16) | (v >> 16);
}

inline std::uint64_t byte_reversed(std::uint64_t v)
{
    v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
    v = ((v & 0x0000FFFF0000FFFFull) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFull);
    return (v << 32) | (v >> 32);
}

inline double byte_reversed(double v)
{
    return std::bit_cast<double>(byte_reversed(std::bit_cast<std::uint64_t>(v)));
}

// A value between its little-endian file representation and the host's;
// the same function serves both directions.
template <class T> inline T le_to_host(T v)
{
    if constexpr (std::endian::native == std::endian::little)
        return v;
    else
        return byte_reversed(v);
}

// The same between big-endian (FITS) and the host's order.
template <class T> inline T be_to_host(T v)
{
    if constexpr (std::endian::native == std::endian::big)
        return v;
    else
        return byte_reversed(v);
}

// Value i of a block in file order; the block may start at any byte, so the
// access goes through memcpy, which compilers turn into plain loads/stores.
template <class T> inline T load_value(const unsigned char* block, std::uint64_t i)
{
    T v;
    std::memcpy(&v, block + i * sizeof(T), sizeof(T));
    return le_to_host(v);
}

template <class T> inline void store_value(unsigned char* block, std::uint64_t i, T v)
{
    v = le_to_host(v);
    std::memcpy(block + i * sizeof(T), &v, sizeof(T));
}

// A whole buffer of `count` values of `value_bytes` (2, 4 or 8) each, turned
// in place between `order` and the host's order; both directions are the
// same operation. A plain loop, which the compiler vectorizes.
void convert_byte_order(unsigned char* values, std::uint64_t count, unsigned value_bytes,
                        std::endian order);

} // namespace img
