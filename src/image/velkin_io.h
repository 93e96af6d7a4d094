// pixdelta's reading and writing of image files. Each operation checks what
// it reads or writes and, on failure, prints its message and ends the
// process with its status: none of them returns on failure.
#pragma once

#include "velkin.h"

#include <cstdint>

// An input's pixel block, values as they are in the file (little-endian).
// A regular file's block is not read here: the file's size vouches for it,
// and its values are read later, chunk by chunk, from `position` on. Anything
// else (a pipe, a device) cannot be sized in advance and is read whole into
// `values`.
struct Pixel_Block {
    int fd;
    const char* name;
    std::uint64_t position;      // of the first value in the file
    const unsigned char* values; // the whole block, or nullptr when streamed
    std::uint64_t count;
    std::uint16_t file_type;
};

// `input` is 1 or 2; `name` is the file name as given on the command line.
void read_header_and_comment(int fd, int input, const char* name, Velkin_Header& header);
Pixel_Block read_pixel_block(int fd, int input, const char* name, const Velkin_Header& header);
void write_header_and_comment(int fd, const char* name, const Velkin_Header& header);

// Values [first, first + n) of a block: where they lie in a whole block, or
// read into `buffer`. Sets `obtained` to the whole values there are, fewer
// than n when a streamed input has shrunk since its size was checked or a
// read failed.
const unsigned char* block_values(const Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer, std::uint64_t& obtained);

[[noreturn]] void fail_short_block(const char* name, std::uint64_t obtained,
                                   std::uint64_t expected);
