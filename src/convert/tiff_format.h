// The TIFF writer's layout decisions, for the tests.
#pragma once

#include <cstdint>

namespace convert {

// Rows per strip for an image of x by y values of value_bytes each.
std::uint32_t strip_rows(std::uint64_t x, std::uint64_t y, unsigned value_bytes);
// At least the size of the TIFF written for this image and comment. From
// 4 GiB on, past the 32-bit offsets of a classic TIFF, it is a BigTIFF.
std::uint64_t tiff_size_bound(std::uint64_t x, std::uint64_t y, unsigned value_bytes,
                              std::uint64_t comment_size);

} // namespace convert
