// An input's pixel block, read by chunks. A regular file is sized first:
// its size says at once whether the block is complete, and its values are
// then read with pread wherever they are asked for. Anything else (a pipe,
// a device) cannot be sized in advance; it is either read whole first, so
// that a short block is found before anything is written, or read in order,
// chunk after chunk, so that memory stays bounded.
#pragma once

#include "velkin.h"

#include <cstdint>

namespace img {

enum class Unsized { read_whole, read_in_order };

struct Pixel_Block {
    int fd;
    std::uint16_t file_type;
    std::uint64_t count;
    bool sized;
    std::uint64_t position;      // sized: of the first value in the file
    unsigned char* whole;        // read_whole: every value, owned
    std::uint64_t next;          // read_in_order: the next value to read
};

enum class Block_Status {
    ok,
    unknown_type, // a file_type that is neither 2 nor 10
    short_block,  // fewer values than x_size * y_size: `obtained` says how many
    no_memory,    // for a block read whole
};

// Opens the block that follows the header and comment just read from `fd`.
Block_Status open_pixel_block(int fd, const Velkin_Header& header, Unsized unsized,
                              Pixel_Block& block, std::uint64_t& obtained);

// Values [first, first + n) of the block, in file order (little-endian):
// where they lie in a whole block, or read into `buffer` (n values). Sets
// `obtained` to the whole values there are, fewer than n when a sized file
// has shrunk since it was sized, a read failed, or a stream ended early.
// A block read in order must be asked for its values in order.
const unsigned char* block_values(Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer, std::uint64_t& obtained);

void release_pixel_block(Pixel_Block& block);

} // namespace img
