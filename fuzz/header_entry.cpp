// libFuzzer entry for the image library: the header and comment parser and
// the pixel block, on a regular file (sized, read with pread) and on a pipe
// (unsized: copied into an unnamed file first, or read in order). The input is the file. Each
// answer is checked against what the layout says the file holds: the
// status, the comment, the count of values obtained and their bytes; and
// the header and comment written back must be the bytes read.
#include "image/byte_order.h"
#include "image/pixel_block.h"
#include "image/velkin.h"
#include "support.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace img;

namespace {

// What the file holds by its layout alone.
struct Expected {
    Header_Status header = Header_Status::ok;
    Block_Status block = Block_Status::ok;
    std::uint64_t comment = 0, count = 0, value_size = 0, obtained = 0;
    std::size_t values_at = 0; // offset of the first value
};

Expected expect(const std::uint8_t* data, std::size_t size)
{
    Expected e;
    if (size < header_size) {
        e.header = Header_Status::short_header;
        return e;
    }
    if (data[0] != 'I' || data[1] != 'M') {
        e.header = Header_Status::bad_magic;
        return e;
    }
    e.comment = load_le16(data + 2);
    if (size < header_size + e.comment) {
        e.header = Header_Status::short_comment;
        return e;
    }
    std::uint16_t type = load_le16(data + 12);
    e.value_size = type == 2 ? 2 : type == 10 ? 8 : 0;
    e.count = std::uint64_t{load_le16(data + 4)} * load_le16(data + 6);
    e.values_at = header_size + static_cast<std::size_t>(e.comment);
    if (e.value_size == 0) {
        e.block = Block_Status::unknown_type;
        return e;
    }
    e.obtained = std::min<std::uint64_t>(e.count, (size - e.values_at) / e.value_size);
    e.block = e.obtained < e.count ? Block_Status::short_block : Block_Status::ok;
    return e;
}

std::string number(std::uint64_t n)
{
    return std::to_string(n);
}

void check_header(int fd, const std::uint8_t* data, const Expected& e, Velkin_Header& h)
{
    Header_Status status = read_header_and_comment(fd, h);
    fuzz::check(status == e.header, "header status differs from the layout's",
                number(static_cast<unsigned>(status)) + " for " +
                    number(static_cast<unsigned>(e.header)));
    if (status != Header_Status::ok) {
        fuzz::check(h.comment == nullptr, "a comment is held after a failure");
        return;
    }
    fuzz::check(std::memcmp(h.bytes, data, header_size) == 0, "header bytes differ");
    fuzz::check(std::memcmp(h.comment, data + header_size, e.comment) == 0, "comment differs");

    // Written back, the header and comment are the bytes read.
    int out = fuzz::memory_file("");
    fuzz::check(write_header_and_comment(out, h) == Write_Status::ok, "cannot write the header");
    std::vector<unsigned char> back(e.values_at + 1);
    fuzz::check(read_fully_at(out, back.data(), back.size(), 0) == e.values_at &&
                    std::memcmp(back.data(), data, e.values_at) == 0,
                "the header and comment written back differ");
    close(out);
}

// Reads the block in chunks of `chunk` values, in order, and checks each
// against the file's bytes. A block read in order from a pipe that ends
// early gives what there is, then nothing.
void check_values(Pixel_Block& block, const std::uint8_t* data, const Expected& e,
                  std::uint64_t chunk)
{
    std::vector<unsigned char> buffer(chunk * e.value_size);
    for (std::uint64_t first = 0; first < e.obtained; first += chunk) {
        std::uint64_t n = std::min(chunk, e.count - first), got = 0;
        const unsigned char* values = block_values(block, first, n, buffer.data(), got);
        std::uint64_t there = std::min(n, e.obtained - first);
        fuzz::check(got == there, "values obtained differ from the layout's",
                    number(got) + " of " + number(n) + " at " + number(first) + ", expected " +
                        number(there));
        fuzz::check(std::memcmp(values, data + e.values_at + first * e.value_size,
                                got * e.value_size) == 0,
                    "values differ from the file's bytes");
    }
}

void run(int fd, const char* copy_folder, bool sized, const std::uint8_t* data, const Expected& e,
         std::uint64_t chunk)
{
    Velkin_Header h;
    check_header(fd, data, e, h);
    if (e.header != Header_Status::ok)
        return;
    Pixel_Block block;
    std::uint64_t obtained = 0;
    Block_Status status = open_pixel_block(fd, h, copy_folder, block, obtained);
    release_comment(h);
    // A block read in order is not read ahead: nothing is known to be short.
    bool in_order = !sized && copy_folder == nullptr;
    Block_Status expected = in_order && e.block == Block_Status::short_block ? Block_Status::ok
                                                                              : e.block;
    fuzz::check(status == expected, "block status differs from the layout's",
                number(static_cast<unsigned>(status)) + " for " +
                    number(static_cast<unsigned>(expected)));
    fuzz::check(status == Block_Status::unknown_type || block.sized == !in_order,
                "a regular file or a copy was not sized, or a pipe read in order was");
    fuzz::check(status == Block_Status::unknown_type || block.copied == (!sized && !in_order),
                "a pipe was not copied, or a file was");
    if (status == Block_Status::ok || status == Block_Status::short_block) {
        fuzz::check(in_order || obtained == e.obtained, "obtained count differs",
                    number(obtained) + " for " + number(e.obtained));
        check_values(block, data, e, chunk);
    }
    release_pixel_block(block);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Descriptor_Watch watch;
    const Expected e = expect(data, size);
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Chunk edges anywhere, by a header byte that nothing interprets: most
    // files have 0 there, which takes large chunks, as the tools read.
    static const std::uint64_t chunks[] = {32768, 1, 3, 64, 1000, 7, 255, 4096};
    std::uint64_t chunk = chunks[fuzz::byte_at(data, size, 8) % 8];

    int fd = fuzz::memory_file(bytes);
    run(fd, nullptr, true, data, e, chunk);
    close(fd);

    // A pipe's block copied first (that is how a short pipe is found before
    // anything is written), and read in order.
    if ((fd = fuzz::filled_pipe(bytes)) >= 0) {
        run(fd, fuzz::private_folder().c_str(), false, data, e, chunk);
        close(fd);
    }
    if ((fd = fuzz::filled_pipe(bytes)) >= 0) {
        run(fd, nullptr, false, data, e, chunk);
        close(fd);
    }
    return 0;
}
