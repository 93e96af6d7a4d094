// A check of deflated data that the format libraries skip: cfitsio and
// libtiff stop inflating once they have the bytes they expect, so a tile or
// strip that inflates to fewer (the rest taken from an earlier buffer) or
// more, or whose checksum says it is damaged, is decoded as if it were
// whole.
#pragma once

#include <cstddef>
#include <cstdint>

namespace convert {

// The bytes a gzip or zlib stream (or several gzip members) inflates to,
// counted without keeping them; the count stops once past `most`. -1 if
// the stream is damaged, fails its checksum or is cut short.
std::int64_t inflated_size(const unsigned char* bytes, std::size_t size, std::uint64_t most);

} // namespace convert
