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
//
// This part knows the layout only: it neither prints nor exits, so that each
// tool reports failures in its own words.
#pragma once

#include <cstdint>

inline constexpr int header_size = 64;

struct Velkin_Header {
    // The 64 bytes exactly as read: an output gets them back unchanged,
    // bytes the tools do not interpret included.
    unsigned char bytes[header_size];
    unsigned char* comment;
};

inline constexpr std::uint16_t type_uint16 = 2;
inline constexpr std::uint16_t type_binary64 = 10;

bool has_magic(const Velkin_Header& header);
std::uint16_t comment_length(const Velkin_Header& header);
std::uint16_t x_size(const Velkin_Header& header);
std::uint16_t y_size(const Velkin_Header& header);
std::uint16_t file_type(const Velkin_Header& header);
// Up to 65535 * 65535, so it needs more than 31 bits.
std::uint64_t pixel_count(const Velkin_Header& header);

// A header made afresh: the magic and these fields set, every other byte 0.
void make_header(Velkin_Header& header, std::uint16_t comment_length, std::uint16_t x_size,
                 std::uint16_t y_size, std::uint16_t file_type);

// 0 for a type the tools do not handle.
inline unsigned bytes_per_value(std::uint16_t type)
{
    return type == type_uint16 ? 2u : type == type_binary64 ? 8u : 0u;
}

// The bytes a regular file holds from `position` on, up to `wanted`; false
// for anything that cannot be sized in advance (a pipe, a device). Some file
// systems (/proc, /sys) give their files a size of 0 whatever they hold, so
// a size that falls short is checked by reading, into a scratch buffer that
// keeps nothing.
bool bytes_in_file(int fd, std::uint64_t position, std::uint64_t wanted, std::uint64_t& bytes);

// Descriptor I/O that carries on through partial transfers and
// interruptions; each returns the bytes transferred before end of file or an
// error. read_fully_at reads from a file position and leaves the
// descriptor's own position alone.
std::uint64_t read_fully(int fd, unsigned char* buffer, std::uint64_t size);
std::uint64_t read_fully_at(int fd, unsigned char* buffer, std::uint64_t size,
                            std::uint64_t position);
std::uint64_t write_fully(int fd, const unsigned char* buffer, std::uint64_t size);
