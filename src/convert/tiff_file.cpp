// TIFF: one grayscale page, ImageWidth = x_size, ImageLength = y_size, the
// first value at the top-left of row 0. The 64 header bytes followed by the
// comment travel in the private tag 65117 (type UNDEFINED); a comment without
// NUL bytes is also written as ImageDescription for other readers. A file
// without tag 65117 gets a fresh header and its ImageDescription as comment.
#include "convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

constexpr ttag_t carried_tag = 65117;
// A row of tiles is held in memory; a damaged file must not claim gigabytes.
constexpr std::uint64_t max_tile_row = std::uint64_t{256} << 20;

const TIFFFieldInfo carried_field = {carried_tag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_UNDEFINED,
                                     FIELD_CUSTOM, 1, 1, const_cast<char*>("IMHeaderAndComment")};

// libtiff reports through a process-wide handler: keep its last words for
// the message instead of letting it print.
char tiff_message[256] = "";

void keep_message(const char*, const char* format, va_list args)
{
    std::vsnprintf(tiff_message, sizeof tiff_message, format, args);
}

void ignore_warning(const char*, const char*, va_list) {}

void quiet_library()
{
    TIFFSetErrorHandler(keep_message);
    TIFFSetWarningHandler(ignore_warning);
    tiff_message[0] = '\0';
}

std::string tiff_reason(const char* doing)
{
    return tiff_message[0] ? std::string(doing) + ": " + tiff_message : std::string(doing);
}

template <class T> T field(TIFF* tiff, ttag_t tag, T fallback)
{
    T value = fallback;
    TIFFGetFieldDefaulted(tiff, tag, &value);
    return value;
}

bool read_type(Source& source, Failure& failure)
{
    TIFF* t = source.tiff;
    auto samples = field<std::uint16_t>(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    auto photometric = field<std::uint16_t>(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    if (samples != 1 || photometric != PHOTOMETRIC_MINISBLACK || TIFFNumberOfDirectories(t) != 1) {
        failure = {source.path, "colour, multi-sample or multi-page image; accepted: one "
                                "grayscale (min-is-black) page"};
        return false;
    }
    auto bits = field<std::uint16_t>(t, TIFFTAG_BITSPERSAMPLE, 1);
    auto format = field<std::uint16_t>(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    if (bits == 16 && format == SAMPLEFORMAT_UINT)
        source.type = type_uint16;
    else if (bits == 64 && format == SAMPLEFORMAT_IEEEFP)
        source.type = type_binary64;
    else {
        failure = {source.path, std::to_string(bits) + "-bit samples of format " +
                                    std::to_string(format) +
                                    "; accepted: 16-bit unsigned, 64-bit IEEE float"};
        return false;
    }
    return true;
}

bool read_layout(Source& source, Failure& failure)
{
    TIFF* t = source.tiff;
    auto width = field<std::uint32_t>(t, TIFFTAG_IMAGEWIDTH, 0);
    auto height = field<std::uint32_t>(t, TIFFTAG_IMAGELENGTH, 0);
    if (!check_size(source, width, height, failure) || !read_type(source, failure))
        return false;
    source.x = static_cast<std::uint16_t>(width);
    source.y = static_cast<std::uint16_t>(height);
    if (!TIFFIsTiled(t))
        return true;
    source.tile_width = field<std::uint32_t>(t, TIFFTAG_TILEWIDTH, 0);
    source.tile_height = field<std::uint32_t>(t, TIFFTAG_TILELENGTH, 0);
    std::uint64_t across = (std::uint64_t{width} + source.tile_width - 1) / source.tile_width;
    std::uint64_t tile_size = static_cast<std::uint64_t>(TIFFTileSize64(t));
    if (source.tile_width == 0 || source.tile_height == 0 || tile_size == 0 ||
        tile_size != std::uint64_t{source.tile_width} * source.tile_height *
                         bytes_per_value(source.type) ||
        across * tile_size > max_tile_row) {
        failure = {source.path, "tile layout is damaged or a row of tiles exceeds 256 MiB"};
        return false;
    }
    source.tile.resize(tile_size);
    source.tile_rows.resize(across * tile_size);
    return true;
}

bool read_carried(Source& source, Failure& failure)
{
    std::uint32_t count = 0;
    const unsigned char* data = nullptr;
    if (TIFFGetField(source.tiff, carried_tag, &count, &data) && data && count >= header_size) {
        std::string all(reinterpret_cast<const char*>(data), count);
        return take_carried(source, all.substr(0, header_size), all.substr(header_size), failure);
    }
    const char* description = nullptr;
    TIFFGetField(source.tiff, TIFFTAG_IMAGEDESCRIPTION, &description);
    return make_fresh(source, description ? description : "", failure);
}

// One row of tiles, rearranged as rows of the image.
bool load_tile_row(Source& source, std::uint32_t top, Failure& failure)
{
    unsigned width = bytes_per_value(source.type);
    std::uint64_t tile_line = std::uint64_t{source.tile_width} * width;
    std::uint64_t across = source.tile_rows.size() / source.tile.size();
    for (std::uint64_t k = 0; k < across; ++k) {
        auto left = static_cast<std::uint32_t>(k * source.tile_width);
        if (TIFFReadTile(source.tiff, source.tile.data(), left, top, 0, 0) < 0) {
            failure = {source.path, tiff_reason("cannot read a tile")};
            return false;
        }
        for (std::uint32_t r = 0; r < source.tile_height; ++r)
            std::memcpy(source.tile_rows.data() + (r * across + k) * tile_line,
                        source.tile.data() + r * tile_line, tile_line);
    }
    return true;
}

} // namespace

bool open_tiff_source(Source& source, Failure& failure)
{
    quiet_library();
    errno = 0;
    // "m": no memory mapping, which would make the whole file resident.
    source.tiff = TIFFOpen(source.path.c_str(), "rm");
    if (!source.tiff) {
        failure = {source.path, errno != 0 && errno != ENOTTY ? with_errno("cannot open", errno)
                                                              : tiff_reason("not a TIFF file")};
        return false;
    }
    if (!read_layout(source, failure))
        return false;
    if (source.x == 0 || source.y == 0) {
        failure = {source.path, "image is empty"};
        return false;
    }
    return read_carried(source, failure);
}

bool read_tiff_row(Source& source, std::uint32_t row_index, unsigned char* row, Failure& failure)
{
    if (source.tile_height == 0) {
        if (TIFFReadScanline(source.tiff, row, row_index, 0) < 0) {
            failure = {source.path, tiff_reason("cannot read the values")};
            return false;
        }
        return true;
    }
    std::uint32_t in_tile = row_index % source.tile_height;
    if (in_tile == 0 && !load_tile_row(source, row_index, failure))
        return false;
    std::uint64_t line = source.tile_rows.size() / source.tile_height;
    std::memcpy(row, source.tile_rows.data() + in_tile * line,
                std::uint64_t{source.x} * bytes_per_value(source.type));
    return true;
}

void close_tiff_source(Source& source)
{
    if (source.tiff)
        TIFFClose(source.tiff);
    source.tiff = nullptr;
}

// The 8-byte file header, the values, the carried header and the comment
// twice (tag 65117 and ImageDescription), and 1 MiB for the directory and
// the strip tables (at most 65535 strips of 8 bytes). Classic TIFF where it
// fits, as more readers take it.
bool needs_bigtiff(std::uint64_t x, std::uint64_t y, unsigned value_bytes,
                   std::uint64_t comment_size)
{
    std::uint64_t size = 8 + x * y * value_bytes + header_size + 2 * comment_size +
                         (std::uint64_t{1} << 20);
    return size >= (std::uint64_t{1} << 32);
}

bool open_tiff_sink(Sink& sink, const Carried& carried, Failure& failure)
{
    quiet_library();
    bool big = needs_bigtiff(sink.x, sink.y, bytes_per_value(sink.type), carried.comment.size());
    sink.tiff = TIFFFdOpen(sink.fd, sink.path.c_str(), big ? "w8" : "w");
    if (!sink.tiff) {
        failure = {sink.name, tiff_reason("cannot create")};
        return false;
    }
    TIFF* t = sink.tiff;
    unsigned width = bytes_per_value(sink.type);
    // Strips of about 64 KiB: a few rows each, so memory stays small and
    // readers can still seek.
    std::uint32_t rows = std::max<std::uint32_t>(1, 65536 / (std::uint32_t{sink.x} * width));
    std::string all(reinterpret_cast<const char*>(carried.header.bytes), header_size);
    all += carried.comment;
    TIFFMergeFieldInfo(t, &carried_field, 1);
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t{sink.x}) &&
              TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t{sink.y}) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8 * width) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) &&
              TIFFSetField(t, TIFFTAG_SAMPLEFORMAT,
                           sink.type == type_uint16 ? SAMPLEFORMAT_UINT : SAMPLEFORMAT_IEEEFP) &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows) &&
              TIFFSetField(t, carried_tag, static_cast<std::uint32_t>(all.size()), all.data());
    if (ok && !carried.comment.empty() && carried.comment.find('\0') == std::string::npos)
        ok = TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, carried.comment.c_str());
    if (!ok)
        failure = {sink.name, tiff_reason("cannot write")};
    return ok;
}

bool write_tiff_row(Sink& sink, std::uint32_t row_index, const unsigned char* row,
                    Failure& failure)
{
    errno = 0;
    if (TIFFWriteScanline(sink.tiff, const_cast<unsigned char*>(row), row_index, 0) < 0) {
        failure = {sink.name, with_errno(tiff_reason("cannot write"), errno)};
        return false;
    }
    return true;
}

bool close_tiff_sink(Sink& sink, Failure& failure)
{
    errno = 0;
    bool ok = TIFFFlush(sink.tiff) == 1;
    int error = errno;
    TIFFClose(sink.tiff); // also closes the descriptor
    sink.tiff = nullptr;
    sink.fd = -1;
    if (!ok)
        failure = {sink.name, with_errno(tiff_reason("cannot write"), error)};
    return ok;
}
