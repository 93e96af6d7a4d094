// An input's pixel block, read by chunks. A regular file is sized first:
// its size says at once whether the block is complete, and its values are
// then read with pread wherever they are asked for. Anything else (a pipe,
// a device) cannot be sized in advance; it is either copied first into an
// unnamed temporary file, so that a short block is found before anything is
// written and is then read as a file, or read in order, chunk after chunk.
// Either way memory stays bounded whatever the block's size.
#pragma once

#include "velkin.h"

#include <cstdint>

namespace img {

struct Pixel_Block {
    int fd;                 // where the values are read: the input, or its copy
    std::uint16_t file_type;
    std::uint64_t count;
    bool sized;
    bool copied;            // fd is an unnamed copy of the input, owned
    std::uint64_t position; // sized: of the first value in fd
    std::uint64_t next;     // read in order: the next value to read
};

enum class Block_Status {
    ok,
    unknown_type, // a file_type that is neither 2 nor 10
    short_block,  // fewer values than x_size * y_size: `obtained` says how many
    cannot_copy,  // no temporary file in the folder, or no room there: errno says why
};

// Opens the block that follows the header and comment just read from `fd`.
// A block that cannot be sized is copied into an unnamed file in
// `copy_folder`, or, with no folder, read in order. Nothing past the block
// is ever read.
Block_Status open_pixel_block(int fd, const Velkin_Header& header, const char* copy_folder,
                              Pixel_Block& block, std::uint64_t& obtained);

// Values [first, first + n) of the block, in file order (little-endian),
// read into `buffer` (n values) and returned there. Sets
// `obtained` to the whole values there are, fewer than n when a sized file
// has shrunk since it was sized, a read failed, or a stream ended early.
// A block read in order must be asked for its values in order.
const unsigned char* block_values(Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer, std::uint64_t& obtained);

void release_pixel_block(Pixel_Block& block);

} // namespace img
