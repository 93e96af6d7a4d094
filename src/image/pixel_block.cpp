#include "pixel_block.h"

#include "file_io.h"

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace img {

Block_Status open_pixel_block(int fd, const Velkin_Header& header, Unsized unsized,
                              Pixel_Block& block, std::uint64_t& obtained)
{
    std::uint16_t type = file_type(header);
    unsigned size = bytes_per_value(type);
    std::uint64_t count = pixel_count(header);
    block = Pixel_Block{fd, type, count, false, 0, nullptr, 0};
    obtained = 0;
    if (size == 0)
        return Block_Status::unknown_type;

    std::uint64_t bytes = count * size, bytes_there = 0;
    off_t here = lseek(fd, 0, SEEK_CUR);
    block.position = here < 0 ? 0 : static_cast<std::uint64_t>(here);
    if (here >= 0 && bytes_in_file(fd, block.position, bytes, bytes_there)) {
        block.sized = true;
        obtained = bytes_there / size < count ? bytes_there / size : count;
        return obtained < count ? Block_Status::short_block : Block_Status::ok;
    }
    if (unsized == Unsized::read_in_order)
        return Block_Status::ok;

    block.whole = bytes <= SIZE_MAX ? static_cast<unsigned char*>(std::malloc(bytes ? bytes : 1))
                                    : nullptr;
    if (block.whole == nullptr)
        return Block_Status::no_memory;
    obtained = read_fully(fd, block.whole, bytes) / size;
    return obtained < count ? Block_Status::short_block : Block_Status::ok;
}

const unsigned char* block_values(Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer, std::uint64_t& obtained)
{
    unsigned size = bytes_per_value(block.file_type);
    if (block.whole != nullptr) {
        obtained = n;
        return block.whole + first * size;
    }
    if (block.sized) {
        obtained = read_fully_at(block.fd, buffer, n * size, block.position + first * size) / size;
        return buffer;
    }
    obtained = first == block.next ? read_fully(block.fd, buffer, n * size) / size : 0;
    block.next = first + obtained;
    return buffer;
}

void release_pixel_block(Pixel_Block& block)
{
    std::free(block.whole);
    block.whole = nullptr;
}

} // namespace img
