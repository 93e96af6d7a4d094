#include "pixel_block.h"

#include "file_io.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace img {

namespace {

// A file with no name in `folder`, gone with its last descriptor whatever
// ends the run; where the file system has no unnamed files, a private name
// removed at once.
int unnamed_file(const char* folder)
{
    int fd = openat(AT_FDCWD, folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    std::string path = std::string(folder) + "/.pixdelta-block.XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0 && unlink(path.c_str()) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Copies the block's `bytes` from the stream `from` into an unnamed file;
// `copied` says how many there were. A write that fails (a full disk)
// returns false with errno set; a stream that ends early returns true with
// fewer bytes.
bool copy_block(int from, std::uint64_t bytes, const char* folder, int& to, std::uint64_t& copied)
{
    constexpr std::uint64_t piece = 256 << 10;
    copied = 0;
    to = unnamed_file(folder);
    auto* buffer = to < 0 ? nullptr : static_cast<unsigned char*>(std::malloc(piece));
    if (buffer == nullptr) {
        if (to >= 0)
            close(to), errno = ENOMEM;
        to = -1;
        return false;
    }
    bool written = true;
    while (copied < bytes) {
        std::uint64_t want = bytes - copied < piece ? bytes - copied : piece;
        std::uint64_t got = read_fully(from, buffer, want);
        errno = 0;
        if (got > 0 && write_fully(to, buffer, got) != got) {
            written = false;
            break;
        }
        copied += got;
        if (got < want)
            break;
    }
    int error = errno != 0 ? errno : EIO;
    std::free(buffer);
    if (!written) {
        close(to);
        to = -1;
        errno = error;
    }
    return written;
}

} // namespace

Block_Status open_pixel_block(int fd, const Velkin_Header& header, const char* copy_folder,
                              Pixel_Block& block, std::uint64_t& obtained)
{
    std::uint16_t type = file_type(header);
    unsigned size = bytes_per_value(type);
    std::uint64_t count = pixel_count(header);
    block = Pixel_Block{fd, type, count, false, false, 0, 0};
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
    if (copy_folder == nullptr)
        return Block_Status::ok;

    int copy = -1;
    if (!copy_block(fd, bytes, copy_folder, copy, bytes_there))
        return Block_Status::cannot_copy;
    block = Pixel_Block{copy, type, count, true, true, 0, 0};
    obtained = bytes_there / size;
    return obtained < count ? Block_Status::short_block : Block_Status::ok;
}

const unsigned char* block_values(Pixel_Block& block, std::uint64_t first, std::uint64_t n,
                                  unsigned char* buffer, std::uint64_t& obtained)
{
    unsigned size = bytes_per_value(block.file_type);
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
    if (block.copied)
        close(block.fd);
    block.copied = false;
}

} // namespace img
