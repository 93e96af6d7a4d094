#include "carried.h"

#include <cstring>

namespace convert {

using namespace img;

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

std::string to_hex(const std::string& bytes)
{
    return to_hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
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

bool refuse(Failure& failure, const std::string& file, const std::string& what)
{
    failure = {file, what};
    return false;
}

} // namespace

bool from_hex(const std::string& text, std::string& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    std::string decoded(text.size() / 2, '\0');
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        int high = hex_digit(text[2 * i]), low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        decoded[i] = static_cast<char>(high << 4 | low);
    }
    bytes = std::move(decoded);
    return true;
}

bool check_size(std::uint64_t x, std::uint64_t y, const std::string& file, Failure& failure)
{
    if (x <= 65535 && y <= 65535)
        return true;
    return refuse(failure, file, "image is " + std::to_string(x) + "x" + std::to_string(y) +
                                     "; at most 65535 on either axis fits an .img file");
}

bool settle_image(const Source& source, bool fresh, const std::string& file, Image& image,
                  Failure& failure)
{
    image.x = source.x;
    image.y = source.y;
    image.type = source.type;
    Velkin_Header h{};
    if (fresh || !source.carried) {
        if (source.readable.size() > 65535)
            return refuse(failure, file, "comment of " + std::to_string(source.readable.size()) +
                                             " bytes; at most 65535 fit an .img file");
        make_header(h, static_cast<std::uint16_t>(source.readable.size()), source.x, source.y,
                    source.type);
        std::memcpy(image.header, h.bytes, header_size);
        image.comment = source.readable;
        return true;
    }
    if (source.header.size() != header_size)
        return refuse(failure, file, "carried .img header is not 64 bytes");
    std::memcpy(h.bytes, source.header.data(), header_size);
    // A carried header that no longer describes the image would make an
    // .img file whose values do not fit it: refuse rather than guess.
    if (!has_magic(h) || comment_length(h) != source.comment.size())
        return refuse(failure, file, "carried .img header is damaged (magic or comment length)");
    if (x_size(h) != source.x || y_size(h) != source.y || file_type(h) != source.type)
        return refuse(failure, file,
                      "carried .img header says " + geometry(x_size(h), y_size(h), file_type(h)) +
                          " but the image is " + geometry(source.x, source.y, source.type) +
                          "; --fresh-header makes a new header");
    std::memcpy(image.header, h.bytes, header_size);
    image.comment = source.comment;
    return true;
}

std::string readable_text(const std::string& comment)
{
    std::string text;
    for (char c : comment) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte != 0x7F) || c == '\n')
            text += c;
    }
    return text;
}

bool printable_ascii(const std::string& text, const char* also)
{
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 || byte > 0x7E) && (c == '\0' || !std::strchr(also, c)))
            return false;
    }
    return true;
}

std::string with_errno(const std::string& reason, int error)
{
    return error != 0 ? reason + ": " + std::strerror(error) : reason;
}

} // namespace convert
