// TIFF: one grayscale page, ImageWidth = x_size, ImageLength = y_size, the
// first value at the top-left of row 0, uncompressed strips in the host's
// byte order. Read, integer samples of 8 to 64 bits and floats of 32 and 64
// go to the type that holds their values (samples.h). The 64 header bytes
// and the comment travel as hexadecimal in an XMP packet (XMLPacket, tag
// 700; xmp.h); a comment of printable ASCII is also written as
// ImageDescription for other readers. Files written
// before XMP carry the header followed by the comment in the private tag
// 65117 (UNDEFINED), which is still read. A file without either gets a
// fresh header and its ImageDescription as comment.
//
// Reading: uncompressed strips are read a row at a time straight from the
// file at the offsets libtiff gives, whatever their size; compressed strips
// are decoded a strip at a time, and tiles a row of tiles at a time, each
// within a bound. The Orientation tag is honoured where it only mirrors
// rows or flips the image (1 to 4).
#include "carried.h"
#include "format.h"
#include "inflate.h"
#include "samples.h"
#include "image/byte_order.h"
#include "image/file_io.h"
#include "image/limits.h"
#include "image/output_file.h"
#include "tiff_format.h"
#include "xmp.h"

#include <algorithm>
#include <new>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

namespace convert {

using namespace img;

namespace {

constexpr ttag_t old_carried_tag = 65117;
const Carrier xmp_carrier = {"XMP", "XMP"};
// What libtiff itself may allocate at once: a tag's values, a strip table,
// or the compressed bytes of the largest tile pixconvert decodes.
constexpr tmsize_t max_library_allocation = static_cast<tmsize_t>(
    std::max(tiff_allocation, compressed_per_decoded * (tiff_tile_row / 2) + compressed_slack));

// libtiff's messages for this handle: the last error, and the first
// warning about a carried tag. libtiff drops a tag it cannot read with a
// warning; a carried header dropped so must be refused, not replaced.
struct Messages {
    char error[256] = "";
    char carried[256] = "";
    char guessed[256] = ""; // a table libtiff found wrong and replaced by its guess
};

int keep_error(TIFF*, void* data, const char*, const char* format, va_list args)
{
    std::vsnprintf(static_cast<Messages*>(data)->error, sizeof Messages::error, format, args);
    return 1;
}

int keep_carried_warning(TIFF*, void* data, const char*, const char* format, va_list args)
{
    auto* m = static_cast<Messages*>(data);
    char text[sizeof Messages::carried];
    std::vsnprintf(text, sizeof text, format, args);
    if (!m->carried[0] && std::strstr(text, "ignored") &&
        (std::strstr(text, "XMLPacket") || std::strstr(text, "65117")))
        std::memcpy(m->carried, text, sizeof text);
    // libtiff guesses a strip's length from the image's where the file's is
    // wrong; the values read then may be anything that follows the strip.
    if (!m->guessed[0] && std::strstr(text, "StripByteCounts") && std::strstr(text, "calculating"))
        std::memcpy(m->guessed, text, sizeof text);
    return 1;
}

// Opens libtiff on a duplicate of `fd` (libtiff closes its own), with this
// handle's own message handlers and allocation limit.
TIFF* open_tiff(int fd, const std::string& name, const char* mode, Messages& messages)
{
    int own = dup(fd);
    if (own < 0)
        return nullptr;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, max_library_allocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, keep_carried_warning, &messages);
    TIFF* tiff = TIFFFdOpenExt(own, name.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        close(own);
    return tiff;
}

// libtiff's words for what failed, then the system's for `error`.
Reason reason(const Messages& messages, int error = 0)
{
    return because(messages.error, error);
}

template <class T> T field(TIFF* tiff, ttag_t tag, T fallback)
{
    T value = fallback;
    TIFFGetFieldDefaulted(tiff, tag, &value);
    return value;
}

// TIFF's SampleFormat in words.
const char* format_words(std::uint16_t format)
{
    static const char* const names[] = {says::unsigned_integers, says::signed_integers,
                                        says::ieee_floats,       says::undefined_data,
                                        says::complex_integers,  says::complex_floats};
    return format >= 1 && format <= 6 ? names[format - 1] : says::unknown_format;
}

// What a photometric interpretation other than min-is-black says the image is.
const char* photometric_words(std::uint16_t photometric, std::uint16_t per_pixel)
{
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE: return per_pixel > 1 ? says::gray_extra_image : "";
    case PHOTOMETRIC_RGB: return says::rgb_image;
    case PHOTOMETRIC_PALETTE: return says::palette_image;
    case PHOTOMETRIC_MASK: return says::mask_image;
    case PHOTOMETRIC_SEPARATED: return says::cmyk_image;
    case PHOTOMETRIC_YCBCR: return says::ycbcr_image;
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: return says::lab_image;
    default: return says::colour_image;
    }
}

// One grayscale page of integers or floats that samples.h takes; libtiff
// gives samples of fewer than 8 bits packed, and these are refused.
bool read_type(TIFF* t, const std::string& file, Samples& samples, Failure& failure)
{
    auto per_pixel = field<std::uint16_t>(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    auto photometric = field<std::uint16_t>(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    if (per_pixel != 1)
        return fail(failure, file, says::samples, unsigned{per_pixel},
                    photometric_words(photometric, per_pixel));
    if (photometric == PHOTOMETRIC_MINISWHITE)
        return fail(failure, file, says::min_is_white);
    if (photometric != PHOTOMETRIC_MINISBLACK)
        return fail(failure, file, says::colour, photometric_words(photometric, 1),
                    unsigned{photometric});
    if (!TIFFLastDirectory(t))
        return fail(failure, file, says::pages);
    auto bits = field<std::uint16_t>(t, TIFFTAG_BITSPERSAMPLE, 1);
    auto format = field<std::uint16_t>(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    const Number number = format == SAMPLEFORMAT_UINT  ? Number::unsigned_integer
                          : format == SAMPLEFORMAT_INT ? Number::signed_integer
                                                       : Number::floating;
    Sample sample{};
    if ((format < SAMPLEFORMAT_UINT || format > SAMPLEFORMAT_IEEEFP) ||
        !sample_kind(bits, number, sample))
        return fail(failure, file, says::sample_format, unsigned{bits}, unsigned{format},
                    format_words(format));
    samples = map_samples(sample);
    return true;
}

// How many entries of the file's directory name `tag`, and the bytes of
// the first one's values. libtiff keeps one of a tag given twice, and drops
// one it cannot read with no more than a message: the entries are read as
// the file has them.
struct Entry {
    int found = 0;
    std::uint64_t bytes = 0;
};

Entry entry_of(TIFF* t, int fd, std::uint16_t tag)
{
    const bool big = TIFFIsBigTIFF(t);
    const std::endian order = TIFFIsBigEndian(t) ? std::endian::big : std::endian::little;
    const std::uint64_t at = TIFFCurrentDirOffset(t), entry = big ? 20 : 12;
    unsigned char count_bytes[8] = {};
    read_fully_at(fd, count_bytes, big ? 8 : 2, at);
    convert_byte_order(count_bytes, 1, big ? 8 : 2, order);
    std::uint64_t count = 0;
    std::uint16_t small = 0;
    if (big)
        std::memcpy(&count, count_bytes, 8);
    else
        std::memcpy(&small, count_bytes, 2), count = small;
    std::vector<unsigned char> entries(std::min<std::uint64_t>(count, 65536) * entry);
    entries.resize(read_fully_at(fd, entries.data(), entries.size(), at + (big ? 8 : 2)));
    Entry e;
    for (std::size_t k = 0; k + entry <= entries.size(); k += entry) {
        std::uint16_t name, type;
        std::memcpy(&name, entries.data() + k, 2);
        std::memcpy(&type, entries.data() + k + 2, 2);
        convert_byte_order(reinterpret_cast<unsigned char*>(&name), 1, 2, order);
        convert_byte_order(reinterpret_cast<unsigned char*>(&type), 1, 2, order);
        if (name != tag || e.found++ > 0)
            continue;
        std::uint64_t values = 0;
        std::uint32_t values32 = 0;
        convert_byte_order(entries.data() + k + 4, 1, big ? 8 : 4, order);
        if (big)
            std::memcpy(&values, entries.data() + k + 4, 8);
        else
            std::memcpy(&values32, entries.data() + k + 4, 4), values = values32;
        int size = TIFFDataWidth(static_cast<TIFFDataType>(type));
        e.bytes = values * static_cast<std::uint64_t>(size > 0 ? size : 1);
    }
    return e;
}

// A tag that carries text pixconvert keeps (the XMP packet, the old carried
// tag, ImageDescription), as libtiff found it, or null where the file has
// none; false, with the reason, if the file has it and it cannot be read.
bool carried_text(TIFF* t, int fd, const Messages& messages, std::uint16_t tag, const char* what,
                  const std::string& file, const char*& data, std::uint32_t& count,
                  Failure& failure)
{
    Entry e = entry_of(t, fd, tag);
    data = nullptr;
    count = 0;
    if (e.found == 0)
        return true;
    if (e.bytes > tiff_text_tag)
        return fail(failure, file, says::text_tag_too_long, what, llu(e.bytes),
                    llu(tiff_text_tag / mebibyte));
    bool got = tag == TIFFTAG_IMAGEDESCRIPTION ? TIFFGetField(t, tag, &data)
                                                : TIFFGetField(t, tag, &count, &data);
    if (got && data) {
        if (tag == TIFFTAG_IMAGEDESCRIPTION)
            count = static_cast<std::uint32_t>(std::strlen(data));
        return true;
    }
    data = nullptr;
    const char* reason = messages.carried[0] ? messages.carried
                         : messages.error[0] ? messages.error
                                             : says::dropped;
    return fail(failure, file, says::text_tag_unreadable, what, reason);
}

// The carried header and comment: the XMP packet, or tag 65117 of files
// written before it; and the readable comment.
bool read_carried(TIFF* t, int fd, const Messages& messages, const std::string& file,
                  Source& source, Failure& failure)
{
    if (messages.carried[0])
        return fail(failure, file, says::carried_unreadable, messages.carried);
    if (entry_of(t, fd, TIFFTAG_XMLPACKET).found > 1 || entry_of(t, fd, old_carried_tag).found > 1)
        return fail(failure, file, says::carried_twice, says::header, says::tag_twice);
    std::uint32_t count = 0;
    const char* data = nullptr;
    if (!carried_text(t, fd, messages, TIFFTAG_XMLPACKET, says::xmp_tag, file, data, count, failure))
        return false;
    if (data) {
        Carried found;
        switch (read_xmp(data, count, found)) {
        case Xmp_Status::read: break;
        case Xmp_Status::malformed: return fail(failure, file, says::xmp_malformed);
        case Xmp_Status::too_long: return fail(failure, file, says::xmp_too_long);
        case Xmp_Status::no_memory: return fail(failure, file, says::xmp_no_memory);
        }
        if (!take_carried(xmp_carrier, found, file, source, failure))
            return false;
    }
    if (const TIFFField* old = TIFFFindField(t, old_carried_tag, TIFF_ANY)) {
        if (source.carried)
            return fail(failure, file, says::carried_twice, says::header, says::xmp_and_old_tag);
        if (TIFFFieldDataType(old) != TIFF_UNDEFINED)
            return fail(failure, file, says::old_tag_type);
    }
    if (!carried_text(t, fd, messages, old_carried_tag, says::old_tag, file, data, count, failure))
        return false;
    if (data) {
        if (count < header_size)
            return fail(failure, file, says::header_not_64);
        source.carried = true;
        source.header.assign(data, header_size);
        source.comment.assign(data + header_size, count - header_size);
    }
    if (!carried_text(t, fd, messages, TIFFTAG_IMAGEDESCRIPTION, says::description_tag, file, data,
                      count, failure))
        return false;
    if (data)
        source.readable.assign(data, count);
    return true;
}

// How the values are read: raw strips and raw tiles a row at a time straight
// from the file; compressed strips a strip, compressed tiles a row of tiles
// at a time, decoded by libtiff.
enum class Layout { raw_strips, strips, raw_tiles, tiles };

class Tiff_Reader : public Reader {
public:
    Tiff_Reader(int fd, std::string file) : fd_(fd), file_(std::move(file)) {}
    ~Tiff_Reader() override
    {
        if (tiff_)
            TIFFClose(tiff_);
    }

    bool open(Source& source, Failure& failure)
    {
        errno = 0;
        // "m": no memory mapping, which would make the whole file resident.
        tiff_ = open_tiff(fd_, file_, "rm", messages_);
        if (!tiff_)
            return fail(failure, file_, reason(messages_, errno == ENOTTY ? 0 : errno),
                        says::not_tiff);
        auto width = field<std::uint32_t>(tiff_, TIFFTAG_IMAGEWIDTH, 0);
        auto height = field<std::uint32_t>(tiff_, TIFFTAG_IMAGELENGTH, 0);
        if (!check_size(width, height, file_, failure) ||
            !read_type(tiff_, file_, samples_, failure))
            return false;
        source.type = samples_.type;
        source.x = static_cast<std::uint16_t>(width);
        source.y = static_cast<std::uint16_t>(height);
        if (source.x == 0 || source.y == 0)
            return fail(failure, file_, says::empty_image);
        x_ = source.x;
        y_ = source.y;
        value_ = sample_bytes(samples_.sample);
        line_ = std::uint64_t{x_} * value_;
        order_ = TIFFIsBigEndian(tiff_) ? std::endian::big : std::endian::little;
        return read_orientation(failure) && read_layout(failure) &&
               read_carried(tiff_, fd_, messages_, file_, source, failure);
    }

    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure& failure) override
    {
        for (std::uint32_t k = 0, n = 1; k < count; k += n) {
            std::uint32_t row = first + k, stored = flip_rows_ ? y_ - 1 - row : row;
            n = 1;
            if (layout_ == Layout::raw_strips && !flip_rows_) // the rest of a strip at once
                n = std::min(count - k, rows_per_strip_ - row % rows_per_strip_);
            if (!read_stored_rows(stored, n, values + k * line_, failure))
                return false;
        }
        for (std::uint32_t k = 0; mirror_ && k < count; ++k)
            mirror(values + k * line_);
        // libtiff decodes strips and tiles into the host's order; raw strips
        // and tiles are as the file has them.
        const bool raw = layout_ == Layout::raw_strips || layout_ == Layout::raw_tiles;
        return convert_samples(samples_, values, std::uint64_t{count} * x_,
                               raw ? order_ : std::endian::native, {first, x_}, file_, failure);
    }

    std::uint64_t memory() const override { return band_bytes_ + tile_bytes_ + longest_; }

private:
    bool read_orientation(Failure& failure)
    {
        auto orientation = field<std::uint16_t>(tiff_, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
        if (orientation < ORIENTATION_TOPLEFT || orientation > ORIENTATION_BOTLEFT)
            return fail(failure, file_, says::orientation, unsigned{orientation});
        mirror_ = orientation == ORIENTATION_TOPRIGHT || orientation == ORIENTATION_BOTRIGHT;
        flip_rows_ = orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_BOTLEFT;
        return true;
    }

    bool read_layout(Failure& failure)
    {
        if (messages_.guessed[0])
            return fail(failure, file_, says::strip_table, messages_.guessed);
        if (field<std::uint16_t>(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) !=
            PLANARCONFIG_CONTIG)
            return fail(failure, file_, says::separate_planes);
        if (TIFFIsTiled(tiff_))
            return read_tile_layout(failure);
        rows_per_strip_ = std::min(field<std::uint32_t>(tiff_, TIFFTAG_ROWSPERSTRIP, y_), y_);
        if (rows_per_strip_ == 0)
            return fail(failure, file_, says::no_rows_per_strip);
        std::uint64_t strip = rows_per_strip_ * line_;
        if (field<std::uint16_t>(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE) ==
            COMPRESSION_NONE) {
            layout_ = Layout::raw_strips;
            return check_raw_strips(failure);
        }
        if (strip > tiff_strip)
            return fail(failure, file_, says::strips_too_large, llu(strip),
                        llu(tiff_strip / mebibyte));
        layout_ = Layout::strips;
        band_bytes_ = strip;
        return check_compressed(TIFFNumberOfStrips(tiff_), strip, says::strip, failure);
    }

    // No compressed strip or tile is longer than any compression of its
    // values makes it: libtiff reads each whole before decoding it.
    bool check_compressed(std::uint64_t count, std::uint64_t decoded, const char* what,
                          Failure& failure)
    {
        const std::uint64_t most = compressed_per_decoded * decoded + compressed_slack;
        for (std::uint32_t k = 0; k < count; ++k) {
            std::uint64_t bytes = TIFFGetStrileByteCount(tiff_, k);
            if (bytes > most)
                return fail(failure, file_, says::beyond_compression, what, k, llu(bytes),
                            llu(decoded));
            longest_ = std::max(longest_, bytes);
        }
        return true;
    }

    // Each strip must hold the rows it claims, so that a row is read from
    // within it.
    bool check_raw_strips(Failure& failure)
    {
        std::uint32_t strips = (y_ + rows_per_strip_ - 1) / rows_per_strip_;
        if (TIFFNumberOfStrips(tiff_) < strips)
            return fail(failure, file_, says::too_few_strips);
        for (std::uint32_t s = 0; s < strips; ++s) {
            std::uint64_t rows = std::min(rows_per_strip_, y_ - s * rows_per_strip_);
            if (TIFFGetStrileByteCount(tiff_, s) < rows * line_)
                return fail(failure, file_, says::strip_short, s);
        }
        return true;
    }

    bool read_tile_layout(Failure& failure)
    {
        tile_width_ = field<std::uint32_t>(tiff_, TIFFTAG_TILEWIDTH, 0);
        tile_height_ = field<std::uint32_t>(tiff_, TIFFTAG_TILELENGTH, 0);
        std::uint64_t tile = static_cast<std::uint64_t>(TIFFTileSize64(tiff_));
        if (tile_width_ == 0 || tile_height_ == 0 || tile == 0 ||
            tile != std::uint64_t{tile_width_} * tile_height_ * value_)
            return fail(failure, file_, says::tile_layout);
        std::uint64_t across = (std::uint64_t{x_} + tile_width_ - 1) / tile_width_;
        if (field<std::uint16_t>(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE) ==
            COMPRESSION_NONE) {
            layout_ = Layout::raw_tiles;
            return check_raw_tiles(across, failure);
        }
        if (tile + across * tile > tiff_tile_row)
            return fail(failure, file_, says::tile_row_beyond, llu(tile + across * tile),
                        llu(tiff_tile_row / mebibyte));
        layout_ = Layout::tiles;
        tile_bytes_ = tile;
        band_bytes_ = across * tile;
        return check_compressed(TIFFNumberOfTiles(tiff_), tile, says::tile, failure);
    }

    // Each tile must hold the bytes it claims, so that a row of it is read
    // from within it.
    bool check_raw_tiles(std::uint64_t across, Failure& failure)
    {
        std::uint64_t down = (std::uint64_t{y_} + tile_height_ - 1) / tile_height_;
        std::uint64_t tile = std::uint64_t{tile_width_} * tile_height_ * value_;
        if (TIFFNumberOfTiles(tiff_) < across * down)
            return fail(failure, file_, says::too_few_tiff_tiles);
        for (std::uint32_t t = 0; t < across * down; ++t)
            if (TIFFGetStrileByteCount(tiff_, t) < tile)
                return fail(failure, file_, says::tiff_tile_short, t);
        return true;
    }

    // A row of raw tiles: its part of each tile across, read in place.
    bool read_raw_tile_row(std::uint32_t row, unsigned char* values, Failure& failure)
    {
        std::uint64_t tile_line = std::uint64_t{tile_width_} * value_;
        for (std::uint32_t left = 0; left < x_; left += tile_width_) {
            std::uint64_t part = std::min<std::uint64_t>(tile_width_, x_ - left) * value_;
            std::uint64_t at = TIFFGetStrileOffset(tiff_, TIFFComputeTile(tiff_, left, row, 0, 0)) +
                               (row % tile_height_) * tile_line;
            errno = 0;
            if (read_fully_at(fd_, values + std::uint64_t{left} * value_, part, at) != part)
                return fail(failure, file_, because(errno), says::values_short);
        }
        return true;
    }

    // Rows [row, row + n) as stored; more than one only within a raw strip.
    bool read_stored_rows(std::uint32_t row, std::uint32_t n, unsigned char* values,
                          Failure& failure)
    {
        if (layout_ == Layout::raw_tiles)
            return read_raw_tile_row(row, values, failure);
        if (layout_ == Layout::raw_strips) {
            std::uint32_t strip = row / rows_per_strip_;
            std::uint64_t at = TIFFGetStrileOffset(tiff_, strip) + (row % rows_per_strip_) * line_;
            errno = 0;
            if (read_fully_at(fd_, values, n * line_, at) == n * line_)
                return true;
            return fail(failure, file_, because(errno), says::values_short);
        }
        // Allocated once the conversion may hold them (memory()).
        if (buffer_.empty()) {
            try {
                buffer_.resize(band_bytes_);
                tile_.resize(tile_bytes_);
            } catch (const std::bad_alloc&) {
                return fail(failure, file_, says::values_no_memory);
            }
        }
        std::uint32_t band = layout_ == Layout::strips ? rows_per_strip_ : tile_height_;
        std::uint32_t top = row - row % band;
        if (top != loaded_ && !(layout_ == Layout::strips ? load_strip(top) : load_tile_row(top)))
            return fail(failure, file_, reason(messages_), says::cannot_read_values);
        loaded_ = top;
        std::uint64_t stride = layout_ == Layout::strips ? line_ : buffer_.size() / tile_height_;
        std::memcpy(values, buffer_.data() + (row - top) * stride, line_);
        return true;
    }

    // A deflated strip or tile must inflate to exactly its bytes and pass
    // its checksum: libtiff stops once it has the bytes it wants.
    bool whole(std::uint32_t strile, std::uint64_t decoded)
    {
        auto compression = field<std::uint16_t>(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        if (compression != COMPRESSION_ADOBE_DEFLATE && compression != COMPRESSION_DEFLATE)
            return true;
        std::vector<unsigned char> raw(TIFFGetStrileByteCount(tiff_, strile));
        if (read_fully_at(fd_, raw.data(), raw.size(), TIFFGetStrileOffset(tiff_, strile)) !=
                raw.size() ||
            inflated_size(raw.data(), raw.size(), decoded) != static_cast<std::int64_t>(decoded)) {
            std::snprintf(messages_.error, sizeof messages_.error, says::does_not_inflate,
                          layout_ == Layout::strips ? says::strip : says::tile, strile,
                          llu(decoded));
            return false;
        }
        return true;
    }

    // A codec may report damage through the error handler and still say it
    // decoded the strip or tile (libtiff 4.5's LZMA decoder, whose output
    // is then what it made before the damage and whatever the buffer held):
    // any error while decoding is a failure, whatever the result says.
    bool load_strip(std::uint32_t top)
    {
        std::uint32_t strip = TIFFComputeStrip(tiff_, top, 0);
        std::uint64_t rows = std::min(rows_per_strip_, y_ - top);
        messages_.error[0] = '\0';
        return whole(strip, rows * line_) &&
               TIFFReadEncodedStrip(tiff_, strip, buffer_.data(),
                                    static_cast<tmsize_t>(rows * line_)) ==
                   static_cast<tmsize_t>(rows * line_) &&
               !messages_.error[0];
    }

    // One row of tiles, rearranged as rows of the image.
    bool load_tile_row(std::uint32_t top)
    {
        std::uint64_t tile_line = std::uint64_t{tile_width_} * value_;
        std::uint64_t across = buffer_.size() / tile_.size();
        for (std::uint64_t k = 0; k < across; ++k) {
            auto left = static_cast<std::uint32_t>(k * tile_width_);
            messages_.error[0] = '\0';
            if (!whole(TIFFComputeTile(tiff_, left, top, 0, 0), tile_.size()) ||
                TIFFReadTile(tiff_, tile_.data(), left, top, 0, 0) < 0 || messages_.error[0])
                return false;
            for (std::uint32_t r = 0; r < tile_height_; ++r)
                std::memcpy(buffer_.data() + (r * across + k) * tile_line,
                            tile_.data() + r * tile_line, tile_line);
        }
        return true;
    }

    void mirror(unsigned char* values) const
    {
        for (std::uint64_t i = 0, j = x_ - 1; i < j; ++i, --j)
            std::swap_ranges(values + i * value_, values + (i + 1) * value_, values + j * value_);
    }

    int fd_;
    std::string file_;
    Samples samples_;
    Messages messages_;
    TIFF* tiff_ = nullptr;
    std::uint32_t x_ = 0, y_ = 0;
    unsigned value_ = 0;
    std::uint64_t line_ = 0;
    std::endian order_ = std::endian::native;
    bool mirror_ = false, flip_rows_ = false;
    Layout layout_ = Layout::raw_strips;
    std::uint32_t rows_per_strip_ = 0, tile_width_ = 0, tile_height_ = 0;
    std::uint32_t loaded_ = UINT32_MAX; // the first row in buffer_
    // A decoded strip, or a row of tiles and the tile being decoded; the
    // longest compressed strip or tile, which libtiff holds as it is read.
    std::uint64_t band_bytes_ = 0, tile_bytes_ = 0, longest_ = 0;
    std::vector<unsigned char> tile_, buffer_;
};

std::unique_ptr<Reader> open_reader(int fd, const std::string& file, const Read_Options&,
                                    Source& source, Failure& failure)
{
    auto reader = std::make_unique<Tiff_Reader>(fd, file);
    if (!reader->open(source, failure))
        return nullptr;
    return reader;
}

} // namespace

// Rows per strip of the files pixconvert writes: strips of 256 to 512 KiB,
// so that the file is written and read in large pieces yet readers can
// seek, or one row where a row is larger. A strip of at least 65536 bytes
// also makes libtiff store the strip byte counts as LONG: ImageJ reads a
// table of exactly two SHORT counts from the wrong place (it takes the
// counts themselves for an offset).
std::uint32_t strip_rows(std::uint64_t x, std::uint64_t y, unsigned value_bytes)
{
    constexpr std::uint64_t strip = 256 << 10;
    std::uint64_t line = x * value_bytes;
    std::uint64_t rows = std::max<std::uint64_t>(1, (strip + line - 1) / line);
    return static_cast<std::uint32_t>(std::min(rows, y));
}

// The values, the XMP packet (the header and comment as hex, in about 400
// bytes of XML), ImageDescription, and 1 MiB for the rest of the directory
// and the strip tables (at most 65535 strips of 8 bytes each).
std::uint64_t tiff_size_bound(std::uint64_t x, std::uint64_t y, unsigned value_bytes,
                              std::uint64_t comment_size)
{
    return 8 + x * y * value_bytes + 2 * header_size + 3 * comment_size + (std::uint64_t{1} << 20);
}

namespace {

class Tiff_Writer : public Writer {
public:
    Tiff_Writer(std::string file, const Image& image)
        : file_(std::move(file)), value_(bytes_per_value(image.type)),
          line_(std::uint64_t{image.x} * value_),
          rows_(strip_rows(image.x, image.y, value_))
    {
    }
    ~Tiff_Writer() override
    {
        if (tiff_) // abandoned: the file goes, so nothing more is written
            TIFFCleanup(tiff_);
        if (fd_ >= 0)
            close(fd_);
    }

    bool start(Output_File& out, const Image& image, Failure& failure)
    {
        // Classic TIFF where it fits, as more readers (ImageJ among them) take it.
        bool big = tiff_size_bound(image.x, image.y, value_, image.comment.size()) >=
                   std::uint64_t{1} << 32;
        fd_ = dup(out.fd);
        errno = 0;
        tiff_ = fd_ < 0 ? nullptr : TIFFFdOpenExt(fd_, file_.c_str(), big ? "w8" : "w", options());
        if (!tiff_)
            return fail(failure, file_, reason(messages_, errno), says::cannot_create);
        Carried_Out carried = carry(image, ascii_text);
        std::string xmp = make_xmp(carried.header_hex, carried.comment_hex);
        TIFF* t = tiff_;
        bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t{image.x}) &&
                  TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t{image.y}) &&
                  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8 * value_) &&
                  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) &&
                  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, image.type == type_uint16
                                                            ? SAMPLEFORMAT_UINT
                                                            : SAMPLEFORMAT_IEEEFP) &&
                  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
                  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
                  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_) &&
                  TIFFSetField(t, TIFFTAG_XRESOLUTION, 1.0) &&
                  TIFFSetField(t, TIFFTAG_YRESOLUTION, 1.0) &&
                  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_NONE) &&
                  TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(xmp.size()),
                               xmp.data());
        if (ok && !carried.readable.text.empty())
            ok = TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, carried.readable.text.c_str());
        return ok || fail(failure, file_, reason(messages_), says::cannot_write);
    }

    // A strip at a time, as it is: the rows are in the host's byte order,
    // which is the file's.
    bool write_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                    Failure& failure) override
    {
        errno = 0;
        auto bytes = static_cast<tmsize_t>(count * line_);
        if (TIFFWriteRawStrip(tiff_, first / rows_, values, bytes) == bytes)
            return true;
        return fail(failure, file_, reason(messages_, errno), says::cannot_write);
    }

    bool finish(Failure& failure) override
    {
        errno = 0;
        bool ok = TIFFFlush(tiff_) == 1;
        int error = errno;
        TIFFCleanup(tiff_);
        tiff_ = nullptr;
        if (close(fd_) != 0 && ok)
            ok = false, error = errno;
        fd_ = -1;
        return ok || fail(failure, file_, reason(messages_, error), says::cannot_write);
    }

    std::uint32_t preferred_rows() const override { return rows_; }

private:
    TIFFOpenOptions* options()
    {
        options_.reset(TIFFOpenOptionsAlloc());
        TIFFOpenOptionsSetErrorHandlerExtR(options_.get(), keep_error, &messages_);
        TIFFOpenOptionsSetWarningHandlerExtR(options_.get(), keep_carried_warning, &messages_);
        return options_.get();
    }

    struct Free_Options {
        void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
    };

    std::string file_;
    unsigned value_;
    std::uint64_t line_;
    std::uint32_t rows_;
    int fd_ = -1;
    TIFF* tiff_ = nullptr;
    Messages messages_;
    std::unique_ptr<TIFFOpenOptions, Free_Options> options_;
};

std::unique_ptr<Writer> open_writer(Output_File& out, const std::string& file, const Image& image,
                                    bool, Failure& failure)
{
    auto writer = std::make_unique<Tiff_Writer>(file, image);
    if (!writer->start(out, image, failure))
        return nullptr;
    return writer;
}

} // namespace

extern "C" const Format* pixconvert_tiff_format()
{
    static const Format format = {open_reader, open_writer, nullptr};
    return &format;
}

} // namespace convert
