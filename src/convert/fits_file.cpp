// FITS: the primary HDU holds the image, NAXIS1 = x_size, NAXIS2 = y_size,
// the first value at pixel (1,1). The 64 header bytes travel as lowercase hex
// in the long-string keyword IMHEADER, the comment as hex in IMCOMENT (both
// continued over CONTINUE cards). A file without IMHEADER gets a fresh header
// and its COMMENT cards, one line each, as the comment.
#include "convert.h"

#include <cerrno>
#include <cstring>

namespace {

std::string fits_reason(const char* doing, int status)
{
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    return std::string(doing) + ": " + text;
}

// A long string keyword, or "" with found false.
std::string read_long_key(fitsfile* fits, const char* key, bool& found, int& status)
{
    char* value = nullptr;
    int local = 0;
    fits_read_key_longstr(fits, key, &value, nullptr, &local);
    found = local == 0;
    std::string text = found ? value : "";
    if (value)
        fits_free_memory(value, &local);
    if (!found && local != KEY_NO_EXIST)
        status = local;
    return text;
}

std::string comment_cards(fitsfile* fits, int& status)
{
    int count = 0;
    fits_get_hdrspace(fits, &count, nullptr, &status);
    std::string comment;
    for (int i = 1; i <= count && status == 0; ++i) {
        char card[FLEN_CARD] = "";
        fits_read_record(fits, i, card, &status);
        if (std::strncmp(card, "COMMENT", 7) != 0 || (card[7] != ' ' && card[7] != '\0'))
            continue;
        std::string text = std::strlen(card) > 8 ? card + 8 : "";
        text.erase(text.find_last_not_of(' ') + 1);
        comment += text + "\n";
    }
    return comment;
}

// The values must come back exactly: unsigned 16-bit by the BZERO 32768
// convention, or binary64 unscaled.
bool pixel_type(Source& source, int bitpix, Failure& failure)
{
    int status = 0;
    double scale = 1, zero = 0;
    fits_read_key(source.fits, TDOUBLE, "BSCALE", &scale, nullptr, &status);
    status = 0;
    fits_read_key(source.fits, TDOUBLE, "BZERO", &zero, nullptr, &status);
    if (bitpix == SHORT_IMG && scale == 1 && zero == 32768)
        source.type = type_uint16;
    else if (bitpix == DOUBLE_IMG && scale == 1 && zero == 0)
        source.type = type_binary64;
    else {
        failure = {source.path, "BITPIX " + std::to_string(bitpix) + " with BSCALE " +
                                    std::to_string(scale) + " BZERO " + std::to_string(zero) +
                                    "; accepted: BITPIX 16 with BZERO 32768 (unsigned 16-bit), "
                                    "BITPIX -64 unscaled"};
        return false;
    }
    return true;
}

bool read_geometry(Source& source, Failure& failure)
{
    int status = 0, bitpix = 0, naxis = 0;
    long naxes[3] = {0, 0, 0};
    fits_get_img_param(source.fits, 3, &bitpix, &naxis, naxes, &status);
    if (status != 0) {
        failure = {source.path, fits_reason("cannot read", status)};
        return false;
    }
    if (naxis != 2) {
        failure = {source.path, "image has " + std::to_string(naxis) +
                                    " axes; only 2-axis (single-plane) images are accepted"};
        return false;
    }
    if (!check_size(source, static_cast<std::uint64_t>(naxes[0]),
                    static_cast<std::uint64_t>(naxes[1]), failure))
        return false;
    source.x = static_cast<std::uint16_t>(naxes[0]);
    source.y = static_cast<std::uint16_t>(naxes[1]);
    return pixel_type(source, bitpix, failure);
}

} // namespace

bool open_fits_source(Source& source, Failure& failure)
{
    int status = 0;
    errno = 0;
    // The disk-file calls take the name literally: no extended file syntax.
    if (fits_open_diskfile(&source.fits, source.path.c_str(), READONLY, &status) != 0) {
        source.fits = nullptr;
        failure = {source.path, errno != 0 ? with_errno("cannot open", errno)
                                           : fits_reason("cannot open", status)};
        return false;
    }
    if (!read_geometry(source, failure))
        return false;
    bool has_header = false, has_comment = false;
    std::string header = read_long_key(source.fits, "IMHEADER", has_header, status);
    std::string comment = read_long_key(source.fits, "IMCOMENT", has_comment, status);
    std::string cards = has_header ? "" : comment_cards(source.fits, status);
    if (status != 0) {
        failure = {source.path, fits_reason("cannot read", status)};
        return false;
    }
    if (!has_header)
        return make_fresh(source, cards, failure);
    return take_carried_hex(source, header, comment, "IMHEADER or IMCOMENT", failure);
}

bool read_fits_row(Source& source, std::uint32_t row_index, unsigned char* row, Failure& failure)
{
    if (source.x == 0)
        return true;
    int status = 0;
    long first[2] = {1, static_cast<long>(row_index) + 1};
    int datatype = source.type == type_uint16 ? TUSHORT : TDOUBLE;
    if (fits_read_pix(source.fits, datatype, first, source.x, nullptr, row, nullptr, &status)) {
        failure = {source.path, fits_reason("cannot read the values", status)};
        return false;
    }
    return true;
}

void close_fits_source(Source& source)
{
    int status = 0;
    if (source.fits)
        fits_close_file(source.fits, &status);
    source.fits = nullptr;
}

bool open_fits_sink(Sink& sink, const Carried& carried, Failure& failure)
{
    int status = 0;
    errno = 0; // the path is in pixconvert's private folder, not yet taken
    fits_create_diskfile(&sink.fits, sink.path.c_str(), &status);
    if (status != 0) {
        sink.fits = nullptr;
        failure = {sink.name, with_errno(fits_reason("cannot create", status), errno)};
        return false;
    }
    long naxes[2] = {sink.x, sink.y};
    fits_create_img(sink.fits, sink.type == type_uint16 ? USHORT_IMG : DOUBLE_IMG, 2, naxes,
                    &status);
    std::string header = to_hex(carried.header.bytes, header_size);
    std::string comment = to_hex(reinterpret_cast<const unsigned char*>(carried.comment.data()),
                                 carried.comment.size());
    fits_write_key_longwarn(sink.fits, &status);
    fits_write_key_longstr(sink.fits, "IMHEADER", header.c_str(), "the .img header, hex",
                           &status);
    fits_write_key_longstr(sink.fits, "IMCOMENT", comment.c_str(), "the .img comment, hex",
                           &status);
    if (status != 0) {
        failure = {sink.name, with_errno(fits_reason("cannot write", status), errno)};
        return false;
    }
    return true;
}

bool write_fits_row(Sink& sink, std::uint32_t row_index, const unsigned char* row,
                    Failure& failure)
{
    if (sink.x == 0)
        return true;
    int status = 0;
    long first[2] = {1, static_cast<long>(row_index) + 1};
    int datatype = sink.type == type_uint16 ? TUSHORT : TDOUBLE;
    errno = 0;
    if (fits_write_pix(sink.fits, datatype, first, sink.x, const_cast<unsigned char*>(row),
                       &status)) {
        failure = {sink.name, with_errno(fits_reason("cannot write", status), errno)};
        return false;
    }
    return true;
}

bool close_fits_sink(Sink& sink, Failure& failure)
{
    int status = 0;
    errno = 0;
    fits_close_file(sink.fits, &status);
    sink.fits = nullptr;
    if (status != 0) {
        failure = {sink.name, with_errno(fits_reason("cannot write", status), errno)};
        return false;
    }
    return true;
}
