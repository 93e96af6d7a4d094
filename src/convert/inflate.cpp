#include "inflate.h"

#include <zlib.h>

namespace convert {

std::int64_t inflated_size(const unsigned char* bytes, std::size_t size, std::uint64_t most)
{
    z_stream z = {};
    if (inflateInit2(&z, 15 + 32) != Z_OK) // gzip or zlib, told by its header
        return -1;
    static thread_local unsigned char out[64 << 10];
    z.next_in = const_cast<unsigned char*>(bytes);
    z.avail_in = static_cast<uInt>(size);
    std::uint64_t total = 0;
    int result = Z_OK;
    while (result == Z_OK && total <= most) {
        z.next_out = out;
        z.avail_out = sizeof out;
        result = inflate(&z, Z_NO_FLUSH);
        total += sizeof out - z.avail_out;
        // gzip members one after another, as cfitsio reads them.
        if (result == Z_STREAM_END && z.avail_in > 0 && inflateReset(&z) == Z_OK)
            result = Z_OK;
        else if (result == Z_BUF_ERROR && z.avail_in == 0)
            break; // cut short
    }
    inflateEnd(&z);
    return result == Z_STREAM_END ? static_cast<std::int64_t>(total) : -1;
}

} // namespace convert
