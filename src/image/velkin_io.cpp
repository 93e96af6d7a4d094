#include "velkin_io.h"

#include "fail.h"

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

void read_header_and_comment(int fd, int input, const char* name, Velkin_Header& header)
{
    if (read_fully(fd, header.bytes, header_size) < header_size)
        fail(stderr, exit_failure, "EOF in %s (header)\n", name);

    if (!has_magic(header))
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

void fail_short_block(const char* name, std::uint64_t obtained, std::uint64_t expected)
{
    fail(stderr, exit_failure, "EOF found in the data of %s (%llu %llu) \n", name,
         static_cast<unsigned long long>(obtained), static_cast<unsigned long long>(expected));
}

Pixel_Block read_pixel_block(int fd, int input, const char* name, const Velkin_Header& header)
{
    std::uint16_t type = file_type(header);
    unsigned size = bytes_per_value(type);
    if (size == 0)
        fail(stdout, exit_unknown_type,
             input == 1 ? "Unknown file type in file1!" : "Unknown file type in file2!");

    std::uint64_t count = pixel_count(header);
    Pixel_Block block{fd, name, 0, nullptr, count, type};
    std::uint64_t bytes = count * size, bytes_there = 0;
    off_t here = lseek(fd, 0, SEEK_CUR);
    block.position = here < 0 ? 0 : static_cast<std::uint64_t>(here);
    if (here >= 0 && bytes_in_file(fd, block.position, bytes, bytes_there)) {
        if (bytes_there / size < count)
            fail_short_block(name, bytes_there / size, count);
        return block;
    }

    auto* whole = bytes <= SIZE_MAX ? static_cast<unsigned char*>(std::malloc(bytes ? bytes : 1))
                                    : nullptr;
    if (whole == nullptr)
        fail(stderr, exit_failure, "can not allocate memory (pixel block of %s, %llu values)\n",
             name, static_cast<unsigned long long>(count));
    std::uint64_t obtained = read_fully(fd, whole, bytes) / size;
    if (obtained < count)
        fail_short_block(name, obtained, count);
    block.values = whole;
    return block;
}

const unsigned char* block_values(const Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer, std::uint64_t& obtained)
{
    unsigned size = bytes_per_value(block.file_type);
    if (block.values != nullptr) {
        obtained = n;
        return block.values + first * size;
    }
    obtained = read_fully_at(block.fd, buffer, n * size, block.position + first * size) / size;
    return buffer;
}

void write_header_and_comment(int fd, const char* name, const Velkin_Header& header)
{
    if (write_fully(fd, header.bytes, header_size) < header_size)
        fail(stderr, exit_failure, "something wrong in %s (header)\n", name);

    std::uint16_t length = comment_length(header);
    if (write_fully(fd, header.comment, length) < length)
        fail(stderr, exit_failure, "something wrong in comment of %s (header)\n", name);
}
