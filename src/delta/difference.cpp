#include "difference.h"

#include "image/byte_order.h"
#include "image/file_io.h"
#include "messages.h"

#include <sys/types.h>
#include <unistd.h>

namespace delta {

using namespace img;

namespace {

void difference_uint16(unsigned char* __restrict r, const unsigned char* __restrict a,
                       const unsigned char* __restrict b, std::uint64_t n, std::int16_t offset)
{
    // Modulo 65536 the signed sum and difference equal the unsigned ones.
    const auto shift = static_cast<std::uint16_t>(offset);
    for (std::uint64_t i = 0; i < n; ++i) {
        auto v = load_value<std::uint16_t>(a, i) + shift - load_value<std::uint16_t>(b, i);
        store_value(r, i, static_cast<std::uint16_t>(v));
    }
}

void difference_binary64(unsigned char* __restrict r, const unsigned char* __restrict a,
                         const unsigned char* __restrict b, std::uint64_t n, std::int16_t offset)
{
    const double shift = offset;
    for (std::uint64_t i = 0; i < n; ++i) {
        double sum = load_value<double>(a, i) + shift;
        store_value(r, i, sum - load_value<double>(b, i));
    }
}

// Bytes of each input and of the result per chunk: the three buffers stay
// in the processor's cache between the reads, the arithmetic and the write.
constexpr std::uint64_t chunk_bytes = 256 * 1024;
alignas(64) unsigned char chunk_a[chunk_bytes];
alignas(64) unsigned char chunk_b[chunk_bytes];
alignas(64) unsigned char chunk_r[chunk_bytes];

// Values [first, first + n) of an input; one that has shrunk since its size
// was checked leaves the output as after any short input 2.
const unsigned char* input_values(Pixel_Block& block, const char* name, std::uint64_t first,
                                  std::uint64_t n, unsigned char* buffer, int output,
                                  std::uint64_t output_start)
{
    std::uint64_t obtained = 0;
    const unsigned char* values = block_values(block, first, n, buffer, obtained);
    if (obtained < n) {
        // Pipes and devices cannot be cut back; they keep what they took.
        if (ftruncate(output, static_cast<off_t>(output_start)) != 0) {
        }
        fail(says::eof_block, name, static_cast<unsigned long long>(first + obtained),
             static_cast<unsigned long long>(block.count));
    }
    return values;
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

void write_difference(int fd, Inputs& inputs, std::int16_t offset, std::uint64_t output_start)
{
    const std::uint64_t n = inputs.b.count;
    const std::uint16_t type = inputs.b.file_type;
    const unsigned size = bytes_per_value(type);
    const std::uint64_t chunk = chunk_bytes / size;
    for (std::uint64_t first = 0; first < n; first += chunk) {
        std::uint64_t k = n - first < chunk ? n - first : chunk;
        const unsigned char* va =
            input_values(inputs.a, inputs.name_a, first, k, chunk_a, fd, output_start);
        const unsigned char* vb =
            input_values(inputs.b, inputs.name_b, first, k, chunk_b, fd, output_start);
        compute_difference(chunk_r, va, vb, k, type, offset);
        if (write_fully(fd, chunk_r, k * size) < k * size)
            fail(says::write_data, 1, static_cast<unsigned long long>(n));
    }
}

} // namespace delta
