#include "velkin.h"

#include "little_endian.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int offset_comment_length = 2;
constexpr int offset_x_size = 4;
constexpr int offset_y_size = 6;
constexpr int offset_file_type = 12;

// A single read() or write() moves less than 2 GiB on Linux, so big blocks
// take several calls.
constexpr std::uint64_t max_transfer = 1u << 30;

std::uint64_t next_transfer(std::uint64_t left)
{
    return left < max_transfer ? left : max_transfer;
}

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

namespace {

// With `position`, pread from there, leaving the descriptor's own position
// alone; without, read from where the descriptor is.
std::uint64_t read_through(int fd, unsigned char* buffer, std::uint64_t size,
                           const std::uint64_t* position)
{
    std::uint64_t done = 0;
    while (done < size) {
        std::uint64_t part = next_transfer(size - done);
        ssize_t got = position ? pread(fd, buffer + done, part, static_cast<off_t>(*position + done))
                               : read(fd, buffer + done, part);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::uint64_t>(got);
    }
    return done;
}

} // namespace

std::uint64_t read_fully(int fd, unsigned char* buffer, std::uint64_t size)
{
    return read_through(fd, buffer, size, nullptr);
}

std::uint64_t read_fully_at(int fd, unsigned char* buffer, std::uint64_t size,
                            std::uint64_t position)
{
    return read_through(fd, buffer, size, &position);
}

std::uint64_t write_fully(int fd, const unsigned char* buffer, std::uint64_t size)
{
    std::uint64_t done = 0;
    while (done < size) {
        ssize_t put = write(fd, buffer + done, next_transfer(size - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += static_cast<std::uint64_t>(put);
    }
    return done;
}

bool bytes_in_file(int fd, std::uint64_t position, std::uint64_t wanted, std::uint64_t& bytes)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    auto size = static_cast<std::uint64_t>(st.st_size);
    bytes = size > position ? size - position : 0;
    static unsigned char scratch[64 * 1024];
    while (bytes < wanted) {
        std::uint64_t part = wanted - bytes < sizeof scratch ? wanted - bytes : sizeof scratch;
        std::uint64_t got = read_fully_at(fd, scratch, part, position + bytes);
        bytes += got;
        if (got < part)
            break;
    }
    return true;
}
