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

bool take_carried(const Carrier& where, const Carried& found, const std::string& file,
                  Source& source, Failure& failure)
{
    if (found.headers > 1)
        return fail(failure, file, says::carried_twice, says::header, where.header);
    if (found.comments > 1)
        return fail(failure, file, says::carried_twice, says::comment, where.comment);
    if (found.comments > found.headers)
        return fail(failure, file, says::comment_alone, where.comment);
    if (found.headers == 0)
        return true;
    if (!from_hex(found.header_hex, source.header))
        return fail(failure, file, says::not_hex, says::header, where.header);
    if (!from_hex(found.comment_hex, source.comment))
        return fail(failure, file, says::not_hex, says::comment, where.comment);
    source.carried = true;
    return true;
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
            return fail(failure, file, says::comment_too_long, llu(source.readable.size()));
        make_header(h, static_cast<std::uint16_t>(source.readable.size()), source.x, source.y,
                    source.type);
        std::memcpy(image.header, h.bytes, header_size);
        image.comment = source.readable;
        return true;
    }
    if (source.header.size() != header_size)
        return fail(failure, file, says::header_not_64);
    std::memcpy(h.bytes, source.header.data(), header_size);
    // A carried header that no longer describes the image would make an
    // .img file whose values do not fit it: refuse rather than guess.
    if (!has_magic(h) || comment_length(h) != source.comment.size())
        return fail(failure, file, says::header_damaged);
    if (x_size(h) != source.x || y_size(h) != source.y || file_type(h) != source.type)
        return fail(failure, file, says::header_disagrees, unsigned{x_size(h)}, unsigned{y_size(h)},
                    unsigned{file_type(h)}, unsigned{source.x}, unsigned{source.y},
                    unsigned{source.type});
    std::memcpy(image.header, h.bytes, header_size);
    image.comment = source.comment;
    return true;
}

Readable ascii_lines(const std::string& comment)
{
    return {printable_ascii(comment, "\n") ? comment : std::string()};
}

Readable ascii_text(const std::string& comment)
{
    return {printable_ascii(comment, "\n\r\t") ? comment : std::string()};
}

Carried_Out carry(const Image& image, Character_Set set)
{
    return {to_hex(image.header, header_size), to_hex(image.comment), set(image.comment)};
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

} // namespace convert
