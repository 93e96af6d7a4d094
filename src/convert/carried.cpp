// The Velkin header and comment as they travel through another format's
// metadata, and the checks that keep a carried header honest.
#include "convert.h"

#include "image/byte_order.h"

#include <cstring>

std::string to_hex(const unsigned char* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    return text;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string geometry(unsigned x, unsigned y, unsigned type)
{
    return std::to_string(x) + "x" + std::to_string(y) + " type " + std::to_string(type);
}

} // namespace

bool from_hex(const std::string& text, std::string& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.assign(text.size() / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int high = hex_digit(text[2 * i]), low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<char>(high << 4 | low);
    }
    return true;
}

bool check_size(const Source& source, std::uint64_t x, std::uint64_t y, Failure& failure)
{
    if (x <= 65535 && y <= 65535)
        return true;
    failure = {source.path, "image is " + std::to_string(x) + "x" + std::to_string(y) +
                                "; at most 65535 on either axis fits an .img file"};
    return false;
}

bool make_fresh(Source& source, const std::string& comment, Failure& failure)
{
    if (comment.size() > 65535) {
        failure = {source.path, "comment of " + std::to_string(comment.size()) +
                                    " bytes; at most 65535 fit an .img file"};
        return false;
    }
    make_header(source.carried.header, static_cast<std::uint16_t>(comment.size()), source.x,
                source.y, source.type);
    source.carried.comment = comment;
    return true;
}

bool take_carried(Source& source, const std::string& header, const std::string& comment,
                  Failure& failure)
{
    Velkin_Header& h = source.carried.header;
    if (header.size() != header_size) {
        failure = {source.path, "carried .img header is not 64 bytes"};
        return false;
    }
    std::memcpy(h.bytes, header.data(), header_size);
    h.comment = nullptr;
    // A carried header that no longer describes the image would make an
    // .img file whose values do not fit it: refuse rather than guess.
    if (!has_magic(h) || comment_length(h) != comment.size()) {
        failure = {source.path, "carried .img header is damaged (magic or comment length)"};
        return false;
    }
    if (x_size(h) != source.x || y_size(h) != source.y || file_type(h) != source.type) {
        failure = {source.path, "carried .img header says " +
                                    geometry(x_size(h), y_size(h), file_type(h)) +
                                    " but the image is " +
                                    geometry(source.x, source.y, source.type)};
        return false;
    }
    source.carried.comment = comment;
    return true;
}

bool take_carried_hex(Source& source, const std::string& header, const std::string& comment,
                      const char* names, Failure& failure)
{
    std::string header_bytes, comment_bytes;
    if (!from_hex(header, header_bytes) || !from_hex(comment, comment_bytes)) {
        failure = {source.path, std::string(names) + " is not hexadecimal"};
        return false;
    }
    return take_carried(source, header_bytes, comment_bytes, failure);
}

void row_to_file(const unsigned char* row, unsigned char* file_row, std::uint64_t count,
                 std::uint16_t type)
{
    for (std::uint64_t i = 0; i < count; ++i) {
        if (type == type_uint16) {
            std::uint16_t v;
            std::memcpy(&v, row + 2 * i, 2);
            store_value<std::uint16_t>(file_row, i, v);
        } else {
            std::uint64_t v;
            std::memcpy(&v, row + 8 * i, 8);
            store_value<std::uint64_t>(file_row, i, v);
        }
    }
}

void row_from_file(const unsigned char* file_row, unsigned char* row, std::uint64_t count,
                   std::uint16_t type)
{
    for (std::uint64_t i = 0; i < count; ++i) {
        if (type == type_uint16) {
            std::uint16_t v = load_value<std::uint16_t>(file_row, i);
            std::memcpy(row + 2 * i, &v, 2);
        } else {
            std::uint64_t v = load_value<std::uint64_t>(file_row, i);
            std::memcpy(row + 8 * i, &v, 8);
        }
    }
}

std::string with_errno(const std::string& reason, int error)
{
    return error != 0 ? reason + ": " + std::strerror(error) : reason;
}
