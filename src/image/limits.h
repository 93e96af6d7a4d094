// The bounds that keep the tools' memory and time from growing with what a
// file declares. Each is a promise of the manuals: the messages print them
// from here, and pixconvert's cap on its conversion is computed from them,
// so that every file within them converts and nothing past them is tried.
#pragma once

#include <cstdint>

namespace img {

inline constexpr std::uint64_t mebibyte = std::uint64_t{1} << 20;

// pixcombine: all its buffers, however many inputs (src/combine keeps to it).
inline constexpr std::uint64_t combine_budget = 32 * mebibyte;

// pixconvert reads and writes a chunk of rows at a time; what it holds
// beyond that is a buffer some file layout forces on a library, each
// bounded here.

// A tile-compressed FITS image: cfitsio decodes a tile whole, so the tiles
// that one row crosses are held decoded, at the image's value size.
inline constexpr std::uint64_t fits_tile_row = 8 * mebibyte;
// What cfitsio holds per decoded byte of those tiles, measured (heaptrack,
// cfitsio 4.2.0, every compression fpack offers): the tile as decoded, the
// tile cache, and an integer copy twice the size of 16-bit values (HCOMPRESS
// and GZIP of BITPIX 16). Its compressed bytes come on top.
inline constexpr std::uint64_t fits_bytes_per_tile_byte = 4;
// A tile's compressed bytes: no compression fpack offers makes them more
// than this many times the tile's decoded bytes (PLIO on noise comes
// closest); more is a damaged or crafted descriptor.
inline constexpr std::uint64_t compressed_per_decoded = 2;
inline constexpr std::uint64_t compressed_slack = 64 << 10;
// An HCOMPRESS tile is decoded once more before cfitsio decodes it, into
// integers of up to 8 bytes a value, to see that its code ends within it.
inline constexpr std::uint64_t hcompress_check_per_value = 8;

// A TIFF in compressed strips: one strip is decoded whole.
inline constexpr std::uint64_t tiff_strip = 8 * mebibyte;
// A TIFF in compressed tiles: a row of tiles, rearranged as rows, and the
// tile being decoded. libtiff holds that tile's compressed bytes on top.
inline constexpr std::uint64_t tiff_tile_row = 256 * mebibyte;
// A TIFF tag that carries text (XMP, ImageDescription): libtiff holds it,
// and a copy while it reads it.
inline constexpr std::uint64_t tiff_text_tag = 8 * mebibyte;
// Any other single allocation of libtiff's (a tag's values, a strip table).
inline constexpr std::uint64_t tiff_allocation = 32 * mebibyte;

// PNG: everything libpng holds while it reads (rows, zlib, text chunks).
inline constexpr std::uint64_t png_read = 16 * mebibyte;
// One decompressed PNG text chunk: the carried comment takes at most
// 131,070 hex digits.
inline constexpr std::uint64_t png_text_chunk = mebibyte;

// The conversion's own working memory: a chunk of rows, I/O buffers, the
// libraries' state (zlib, expat) and the smaller things every reader holds.
inline constexpr std::uint64_t conversion_working = 8 * mebibyte;
// The cap on the conversion's growth before its reader says what it needs:
// the working memory and the larger of what libpng may hold and what
// libtiff holds for one text tag and its copy.
inline constexpr std::uint64_t conversion_base =
    conversion_working + (png_read > 2 * tiff_text_tag ? png_read : 2 * tiff_text_tag);
// The most a reader may add to that: a row of TIFF tiles with the tile's
// compressed bytes, or cfitsio's buffers for a row of FITS tiles with a
// tile's compressed bytes twice (cfitsio's, and pixconvert's while it checks
// them) and an HCOMPRESS tile's check (its values are at least 2 bytes as
// decoded), whichever is more.
inline constexpr std::uint64_t tiff_tiles_need =
    tiff_tile_row + compressed_per_decoded * (tiff_tile_row / 2) + compressed_slack;
inline constexpr std::uint64_t fits_tiles_need =
    fits_bytes_per_tile_byte * fits_tile_row +
    2 * (compressed_per_decoded * fits_tile_row + compressed_slack) +
    hcompress_check_per_value * (fits_tile_row / 2);
inline constexpr std::uint64_t largest_reader_need =
    tiff_tiles_need > fits_tiles_need ? tiff_tiles_need : fits_tiles_need;

// Processor time: a conversion that takes more than this, and this much
// more for each `cpu_bytes_per_second` of values read and written, is
// stopped. Files within the limits above take a tenth of it or less; a
// crafted one (a tile that makes a decoder loop) is stopped within it.
inline constexpr std::uint64_t cpu_seconds_base = 30;
inline constexpr std::uint64_t cpu_bytes_per_second = 8 * mebibyte;

} // namespace img
