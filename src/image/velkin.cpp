#include "velkin.h"

#include "byte_order.h"
#include "file_io.h"

#include <cstdlib>
#include <cstring>

namespace img {

namespace {

constexpr int offset_comment_length = 2;
constexpr int offset_x_size = 4;
constexpr int offset_y_size = 6;
constexpr int offset_file_type = 12;

} // namespace

bool has_magic(const Velkin_Header& header)
{
    return header.bytes[0] == 'I' && header.bytes[1] == 'M';
}

std::uint16_t comment_length(const Velkin_Header& header)
{
    return load_le16(header.bytes + offset_comment_length);
}

std::uint16_t x_size(const Velkin_Header& header)
{
    return load_le16(header.bytes + offset_x_size);
}

std::uint16_t y_size(const Velkin_Header& header)
{
    return load_le16(header.bytes + offset_y_size);
}

std::uint16_t file_type(const Velkin_Header& header)
{
    return load_le16(header.bytes + offset_file_type);
}

std::uint64_t pixel_count(const Velkin_Header& header)
{
    return std::uint64_t{x_size(header)} * y_size(header);
}

void set_comment_length(Velkin_Header& header, std::uint16_t length)
{
    store_le16(header.bytes + offset_comment_length, length);
}

void set_file_type(Velkin_Header& header, std::uint16_t type)
{
    store_le16(header.bytes + offset_file_type, type);
}

void make_header(Velkin_Header& header, std::uint16_t length, std::uint16_t x, std::uint16_t y,
                 std::uint16_t type)
{
    std::memset(header.bytes, 0, header_size);
    header.bytes[0] = 'I';
    header.bytes[1] = 'M';
    store_le16(header.bytes + offset_comment_length, length);
    store_le16(header.bytes + offset_x_size, x);
    store_le16(header.bytes + offset_y_size, y);
    store_le16(header.bytes + offset_file_type, type);
}

Header_Status read_header_and_comment(int fd, Velkin_Header& header)
{
    header.comment = nullptr;
    if (read_fully(fd, header.bytes, header_size) < header_size)
        return Header_Status::short_header;
    if (!has_magic(header))
        return Header_Status::bad_magic;
    std::uint16_t length = comment_length(header);
    header.comment = static_cast<unsigned char*>(std::malloc(length + 1u));
    if (header.comment == nullptr)
        return Header_Status::no_memory;
    if (read_fully(fd, header.comment, length) < length) {
        release_comment(header);
        return Header_Status::short_comment;
    }
    return Header_Status::ok;
}

void release_comment(Velkin_Header& header)
{
    std::free(header.comment);
    header.comment = nullptr;
}

Write_Status write_header_and_comment(int fd, const Velkin_Header& header)
{
    if (write_fully(fd, header.bytes, header_size) < header_size)
        return Write_Status::header_short;
    std::uint16_t length = comment_length(header);
    if (write_fully(fd, header.comment, length) < length)
        return Write_Status::comment_short;
    return Write_Status::ok;
}

std::uint16_t type_named(const char* name)
{
    return std::strcmp(name, "uint16") == 0 ? type_uint16 : std::strcmp(name, "binary64") == 0 ? type_binary64 : 0;
}

} // namespace img
