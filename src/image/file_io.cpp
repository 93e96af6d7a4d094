#include "file_io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace img {

namespace {

// A single read() or write() moves less than 2 GiB on Linux, so big blocks
// take several calls.
constexpr std::uint64_t max_transfer = 1u << 30;

std::uint64_t next_transfer(std::uint64_t left)
{
    return left < max_transfer ? left : max_transfer;
}

// Calls `transfer(done, part)` until `size` bytes have moved, carrying on
// through partial transfers and interruptions.
template <class Transfer> std::uint64_t transfer_fully(std::uint64_t size, Transfer transfer)
{
    std::uint64_t done = 0;
    while (done < size) {
        ssize_t moved = transfer(done, next_transfer(size - done));
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            break;
        done += static_cast<std::uint64_t>(moved);
    }
    return done;
}

// With `position`, pread from there; without, read from where the
// descriptor is.
std::uint64_t read_through(int fd, unsigned char* buffer, std::uint64_t size,
                           const std::uint64_t* position)
{
    return transfer_fully(size, [&](std::uint64_t done, std::uint64_t part) {
        return position ? pread(fd, buffer + done, part, static_cast<off_t>(*position + done))
                        : read(fd, buffer + done, part);
    });
}

// The same for writes.
std::uint64_t write_through(int fd, const unsigned char* buffer, std::uint64_t size,
                            const std::uint64_t* position)
{
    return transfer_fully(size, [&](std::uint64_t done, std::uint64_t part) {
        return position ? pwrite(fd, buffer + done, part, static_cast<off_t>(*position + done))
                        : write(fd, buffer + done, part);
    });
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
    return write_through(fd, buffer, size, nullptr);
}

std::uint64_t write_fully_at(int fd, const unsigned char* buffer, std::uint64_t size,
                             std::uint64_t position)
{
    return write_through(fd, buffer, size, &position);
}

bool bytes_in_file(int fd, std::uint64_t position, std::uint64_t wanted, std::uint64_t& bytes)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    auto size = static_cast<std::uint64_t>(st.st_size);
    bytes = size > position ? size - position : 0;
    unsigned char scratch[16 * 1024]; // read and forgotten
    while (bytes < wanted) {
        std::uint64_t part = wanted - bytes < sizeof scratch ? wanted - bytes : sizeof scratch;
        std::uint64_t got = read_fully_at(fd, scratch, part, position + bytes);
        bytes += got;
        if (got < part)
            break;
    }
    return true;
}

bool open_closed_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return false;
    return true;
}

void descriptor_path(int fd, Descriptor_Path& path)
{
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

bool same_file(const struct stat& x, const struct stat& y)
{
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

} // namespace img
