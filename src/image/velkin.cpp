#include "velkin.h"

#include "fail.h"
#include "little_endian.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int offset_comment_length = 2;
constexpr int offset_x_size = 4;
constexpr int offset_y_size = 6;
constexpr int offset_file_type = 12;

// A single read() or write() moves less than 2 GiB on Linux, so big blocks
// take several calls.
constexpr std::uint64_t max_transfer = 1u << 30;

} // namespace

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

std::uint64_t read_fully(int fd, unsigned char* buffer, std::uint64_t size)
{
    std::uint64_t done = 0;
    while (done < size) {
        std::uint64_t chunk = size - done < max_transfer ? size - done : max_transfer;
        ssize_t got = read(fd, buffer + done, chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::uint64_t>(got);
    }
    return done;
}

std::uint64_t write_fully(int fd, const unsigned char* buffer, std::uint64_t size)
{
    std::uint64_t done = 0;
    while (done < size) {
        std::uint64_t chunk = size - done < max_transfer ? size - done : max_transfer;
        ssize_t put = write(fd, buffer + done, chunk);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += static_cast<std::uint64_t>(put);
    }
    return done;
}

void read_header_and_comment(int fd, int input, const char* name, Velkin_Header& header)
{
    if (read_fully(fd, header.bytes, header_size) < header_size)
        fail(stderr, exit_failure, "EOF in %s (header)\n", name);

    if (header.bytes[0] != 'I' || header.bytes[1] != 'M')
        fail(stderr, exit_failure, input == 1 ? "This is not Velkin image file.\n"
                                              : "2This is not Velkin image file.\n");

    // Input 1's comment has been written out by the time input 2's replaces it.
    std::free(header.comment);
    std::uint16_t length = comment_length(header);
    header.comment = static_cast<unsigned char*>(std::malloc(length + 1u));
    if (header.comment == nullptr)
        fail(stderr, exit_failure, "Connot allocate memory (Velkin_Header.comment)\n");

    if (read_fully(fd, header.comment, length) < length)
        fail(stderr, exit_failure, "EOF found (comment)\n");
}

unsigned char* allocate_block(std::uint64_t bytes)
{
    // Fresh memory costs a page fault and a zeroing per page touched; for
    // large blocks huge pages cut the faults 512-fold, and the faults
    // dominated the run time.
    constexpr std::uint64_t huge_page = 2u << 20;
    if (bytes > SIZE_MAX)
        return nullptr;
    if (bytes < huge_page)
        return static_cast<unsigned char*>(std::malloc(bytes ? bytes : 1));
    void* block = nullptr;
    if (posix_memalign(&block, huge_page, bytes) != 0)
        return nullptr;
    madvise(block, bytes, MADV_HUGEPAGE);
    return static_cast<unsigned char*>(block);
}

namespace {

// A regular file that holds the whole pixel block has it mapped rather than
// copied: the block is then the page cache itself, with nothing to allocate,
// zero or copy. Anything else (a pipe, a short file) is read as it comes.
const unsigned char* map_pixel_block(int fd, std::uint64_t bytes)
{
    struct stat st;
    off_t position = lseek(fd, 0, SEEK_CUR);
    if (bytes == 0 || position < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    auto start = static_cast<std::uint64_t>(position);
    if (static_cast<std::uint64_t>(st.st_size) < start + bytes)
        return nullptr;
    void* map = mmap(nullptr, start + bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED)
        return nullptr;
    return static_cast<const unsigned char*>(map) + start;
}

} // namespace

Pixel_Block read_pixel_block(int fd, int input, const char* name, const Velkin_Header& header)
{
    std::uint16_t type = file_type(header);
    unsigned size = bytes_per_value(type);
    if (size == 0)
        fail(stdout, exit_unknown_type,
             input == 1 ? "Unknown file type in file1!" : "Unknown file type in file2!");

    std::uint64_t count = pixel_count(header);
    std::uint64_t bytes = count * size;
    const unsigned char* values = map_pixel_block(fd, bytes);
    std::uint64_t obtained = count;
    if (values == nullptr) {
        unsigned char* block = allocate_block(bytes);
        if (block == nullptr)
            fail(stderr, exit_failure, "can not allocate memory (pixel block of %s, %llu values)\n",
                 name, static_cast<unsigned long long>(count));
        obtained = read_fully(fd, block, bytes) / size;
        values = block;
    }
    if (obtained < count)
        fail(stderr, exit_failure, "EOF found in the data of %s (%llu %llu) \n", name,
             static_cast<unsigned long long>(obtained), static_cast<unsigned long long>(count));

    return Pixel_Block{values, count, type};
}

void write_header_and_comment(int fd, const char* name, const Velkin_Header& header)
{
    if (write_fully(fd, header.bytes, header_size) < header_size)
        fail(stderr, exit_failure, "something wrong in %s (header)\n", name);

    std::uint16_t length = comment_length(header);
    if (write_fully(fd, header.comment, length) < length)
        fail(stderr, exit_failure, "something wrong in comment of %s (header)\n", name);
}
