#pragma once

#include "image/pixel_block.h"

#include <cstdint>

namespace delta {

// R[i] = (A[i] + offset) - B[i] over n values of `type`, every block in the
// file's byte order. uint16 values wrap modulo 65536; binary64 values round
// the sum before the subtraction, as IEEE 754 binary64 arithmetic does.
void compute_difference(unsigned char* r, const unsigned char* a, const unsigned char* b,
                        std::uint64_t n, std::uint16_t type, std::int16_t offset);

// The two inputs, checked to agree in type and count, with their names for
// the messages.
struct Inputs {
    img::Pixel_Block& a;
    const char* name_a;
    img::Pixel_Block& b;
    const char* name_b;
};

// Computes R and writes it to the output chunk by chunk, so that memory does
// not grow with the image. An input found short on the way cuts the output
// back to its first `output_start` bytes (input 1's header and comment)
// before the run ends. Returns only on success.
void write_difference(int fd, Inputs& inputs, std::int16_t offset, std::uint64_t output_start);

} // namespace delta
