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
// All multi-byte numbers are little-endian (byte_order.h).
//
// This library knows the layout and how to read and write it. It neither
// prints nor exits: each operation returns what happened, and each tool
// says it in its own words.
#pragma once

#include <cstdint>

namespace img {

inline constexpr int header_size = 64;

struct Velkin_Header {
    // The 64 bytes exactly as read: an output gets them back unchanged,
    // bytes the tools do not interpret included.
    unsigned char bytes[header_size];
    // comment_length bytes (one more allocated), owned; release_comment
    // frees them.
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

// A header changed for an output of another kind (a comment that grew, a
// result of another pixel type); every other byte as it was.
void set_comment_length(Velkin_Header& header, std::uint16_t comment_length);
void set_file_type(Velkin_Header& header, std::uint16_t file_type);

// A header made afresh: the magic and these fields set, every other byte 0.
void make_header(Velkin_Header& header, std::uint16_t comment_length, std::uint16_t x_size,
                 std::uint16_t y_size, std::uint16_t file_type);

// The pixel type a command line names (--type): "uint16" or "binary64";
// 0 for any other text.
std::uint16_t type_named(const char* name);

// 0 for a type the tools do not handle.
inline unsigned bytes_per_value(std::uint16_t type)
{
    return type == type_uint16 ? 2u : type == type_binary64 ? 8u : 0u;
}

// Reading the header and comment, in this order of checks.
enum class Header_Status {
    ok,
    short_header,  // fewer than 64 bytes
    bad_magic,     // not "IM"
    no_memory,     // for the comment
    short_comment, // fewer than comment_length bytes
};

// Reads from the descriptor's position on. On ok, header.comment holds the
// comment; after a failure it holds nothing to release.
Header_Status read_header_and_comment(int fd, Velkin_Header& header);
void release_comment(Velkin_Header& header);

// Writing the header and comment: how far it got.
enum class Write_Status { ok, header_short, comment_short };
Write_Status write_header_and_comment(int fd, const Velkin_Header& header);

} // namespace img
