// The image file: a 64-byte header, a free-form comment, a pixel block.
//
//   offset  size  field            content
//   0       2     magic            "IM" (0x49 0x4D)
//   2       2     comment_length   bytes of comment after the header
//   4       2     x_size           width in pixels
//   6       2     y_size           height in pixels
//   8       4     -                not interpreted, carried unchanged
//   12      2     file_type        2: uint16 values, 10: binary64 values
//   14      50    -                not interpreted, carried unchanged
//   64      comment_length bytes of comment, no terminator
//   then    x_size * y_size values of the file_type, one after the other
//   then    anything; never read
//
// All multi-byte numbers are little-endian (see little_endian.h).
#pragma once

#include <cstdint>

inline constexpr int header_size = 64;

struct Velkin_Header {
    // The 64 bytes exactly as read: the output gets them back unchanged,
    // bytes the tool does not interpret included.
    unsigned char bytes[header_size];
    unsigned char* comment;
};

std::uint16_t comment_length(const Velkin_Header& header);
std::uint16_t x_size(const Velkin_Header& header);
std::uint16_t y_size(const Velkin_Header& header);
std::uint16_t file_type(const Velkin_Header& header);
// Up to 65535 * 65535, so it needs more than 31 bits.
std::uint64_t pixel_count(const Velkin_Header& header);

inline constexpr std::uint16_t type_uint16 = 2;
inline constexpr std::uint16_t type_binary64 = 10;

// 0 for a type the tool does not handle.
inline unsigned bytes_per_value(std::uint16_t type)
{
    return type == type_uint16 ? 2u : type == type_binary64 ? 8u : 0u;
}

// Values as they are in the file, little-endian; `values` may be unaligned.
struct Pixel_Block {
    const unsigned char* values;
    std::uint64_t count;
    std::uint16_t file_type;
};

// `input` is 1 or 2; `name` is the file name as given on the command line.
// None of these returns on failure: each prints its message and exits.
void read_header_and_comment(int fd, int input, const char* name, Velkin_Header& header);
Pixel_Block read_pixel_block(int fd, int input, const char* name, const Velkin_Header& header);
void write_header_and_comment(int fd, const char* name, const Velkin_Header& header);

// Memory for a pixel block (for std::free), or nullptr when there is none.
unsigned char* allocate_block(std::uint64_t bytes);

// Descriptor I/O that carries on through partial transfers and
// interruptions; each returns the bytes transferred before end of file or
// an error.
std::uint64_t read_fully(int fd, unsigned char* buffer, std::uint64_t size);
std::uint64_t write_fully(int fd, const unsigned char* buffer, std::uint64_t size);
