#include "byte_order.h"

namespace img {

namespace {

template <class T> void reverse_each(unsigned char* values, std::uint64_t count)
{
    for (std::uint64_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, values + i * sizeof(T), sizeof(T));
        v = byte_reversed(v);
        std::memcpy(values + i * sizeof(T), &v, sizeof(T));
    }
}

} // namespace

void convert_byte_order(unsigned char* values, std::uint64_t count, unsigned value_bytes,
                        std::endian order)
{
    if (order == std::endian::native)
        return;
    if (value_bytes == 2)
        reverse_each<std::uint16_t>(values, count);
    else if (value_bytes == 4)
        reverse_each<std::uint32_t>(values, count);
    else if (value_bytes == 8)
        reverse_each<std::uint64_t>(values, count);
}

} // namespace img
