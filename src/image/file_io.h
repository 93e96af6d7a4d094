// Descriptor I/O that returns what happened. Each transfer carries on
// through partial transfers and interruptions and returns the bytes moved
// before end of file or an error (errno then says which).
#pragma once

#include <cstdint>
#include <sys/stat.h>

namespace img {

std::uint64_t read_fully(int fd, unsigned char* buffer, std::uint64_t size);
// From a file position, leaving the descriptor's own position alone.
std::uint64_t read_fully_at(int fd, unsigned char* buffer, std::uint64_t size,
                            std::uint64_t position);
std::uint64_t write_fully(int fd, const unsigned char* buffer, std::uint64_t size);
// At a file position, leaving the descriptor's own position alone.
std::uint64_t write_fully_at(int fd, const unsigned char* buffer, std::uint64_t size,
                             std::uint64_t position);

// The bytes a regular file holds from `position` on, up to `wanted`; false
// for anything that cannot be sized in advance (a pipe, a device). Some file
// systems (/proc, /sys) give their files a size of 0 whatever they hold, so
// a size that falls short is checked by reading.
bool bytes_in_file(int fd, std::uint64_t position, std::uint64_t wanted, std::uint64_t& bytes);

// Opens each of the descriptors 0, 1 and 2 that the caller left closed on
// /dev/null: otherwise the next file opened would take its number, and
// console text would land in that file. False if one cannot be.
bool open_closed_standard_descriptors();

// The name by which the file behind `fd` is opened anew, the very same
// file whatever became of its name: "/proc/self/fd/N".
using Descriptor_Path = char[32];
void descriptor_path(int fd, Descriptor_Path& path);

// The same file, by any name or link: the same device and the same inode.
bool same_file(const struct stat& x, const struct stat& y);

} // namespace img
