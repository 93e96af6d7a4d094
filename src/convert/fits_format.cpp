// FITS: an image HDU, NAXIS1 = x_size, NAXIS2 = y_size, the first value at
// pixel (1,1); type 2 as BITPIX 16 with BZERO 32768 (the unsigned 16-bit
// convention), type 10 as BITPIX -64. The 64 header bytes travel as
// lowercase hex in the long-string keyword IMHEADER, the comment as hex in
// IMCOMENT; a comment of printable ASCII is also written as COMMENT cards,
// one per line, for people and viewers. A file without IMHEADER gets a
// fresh header and its COMMENT cards (but for the boilerplate that cfitsio
// and astropy write) as comment.
//
// cfitsio keeps the headers and every check. The data unit of a plain
// image is a big-endian array padded to a multiple of 2880 bytes; it is
// read and written here, a chunk at a time at the offsets cfitsio reports,
// so that nothing is copied twice or filled with zeros first. A
// tile-compressed image (fpack's .fz) goes through cfitsio, tile by tile.
//
// cfitsio opens files by name and rewrites names (a leading space, "~",
// a missing file's .gz sibling). It is only ever given /proc/self/fd/N for a
// file opened here, and what it opened is checked to be that file.
#include "carried.h"
#include "format.h"
#include "image/byte_order.h"
#include "image/file_io.h"
#include "image/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fitsio.h>
#include <unistd.h>
#include <vector>

namespace convert {

using namespace img;

namespace {

constexpr std::uint64_t block = 2880;
constexpr int max_continued = 4096;

// FITS holds type 2 as signed 16-bit numbers, value - 32768 (BZERO), big
// endian: in place, both ways, one plain loop that the compiler vectorizes.
void shift_uint16(unsigned char* values, std::uint64_t n, bool to_fits)
{
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint16_t v;
        std::memcpy(&v, values + 2 * i, 2);
        v = to_fits ? be_to_host<std::uint16_t>(v ^ 0x8000) : be_to_host<std::uint16_t>(v) ^ 0x8000;
        std::memcpy(values + 2 * i, &v, 2);
    }
}

// A value's bits between the FITS data unit and the host's order.
void convert_values(unsigned char* values, std::uint64_t n, std::uint16_t type, bool to_fits)
{
    if (type == type_uint16)
        shift_uint16(values, n, to_fits);
    else
        convert_byte_order(values, n, 8, std::endian::big);
}
// A compressed image is decoded a row of tiles at a time.
constexpr std::uint64_t max_tile_row_bytes = 8 << 20;

// cfitsio's word for a status, and the messages it stacked on the way.
std::string fits_reason(const std::string& doing, int status)
{
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    std::string stack;
    for (char message[FLEN_ERRMSG]; fits_read_errmsg(message);)
        stack += std::string(stack.empty() ? "" : "; ") + message;
    return doing + ": " + text + (stack.empty() ? "" : " (" + stack + ")");
}

std::vector<int> open_descriptors()
{
    std::vector<int> fds;
    if (DIR* dir = opendir("/proc/self/fd")) {
        for (dirent* e; (e = readdir(dir));)
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(dir))
                fds.push_back(std::atoi(e->d_name));
        closedir(dir);
    }
    return fds;
}

// cfitsio opens /proc/self/fd/N for the file behind `fd`; whatever it
// opened anew must be that very file.
bool fits_open(int fd, int mode, fitsfile*& fits, std::string& why)
{
    Descriptor_Path self;
    descriptor_path(fd, self);
    std::vector<int> before = open_descriptors();
    int status = 0;
    fits_clear_errmsg();
    if (fits_open_diskfile(&fits, self, mode, &status) != 0) {
        fits = nullptr;
        why = fits_reason("cannot open", status);
        return false;
    }
    struct stat ours, theirs;
    bool same = fstat(fd, &ours) == 0;
    for (int other : open_descriptors())
        if (std::find(before.begin(), before.end(), other) == before.end())
            same = same && fstat(other, &theirs) == 0 && same_file(ours, theirs);
    if (!same) {
        fits_close_file(fits, &status);
        fits = nullptr;
        why = "cfitsio opened another file than the one named";
    }
    return same;
}

// A file that cfitsio would unpack whole in memory. cfitsio goes by the
// first two bytes alone, so these do too: a file that only begins with "PK"
// is unzipped into an allocation of the size its bytes 22 to 25 claim.
const char* compression_of(int fd)
{
    unsigned char magic[4] = {};
    read_fully_at(fd, magic, sizeof magic, 0);
    if (magic[0] == 0x1f && (magic[1] == 0x8b || magic[1] == 0x9d || magic[1] == 0x1e))
        return magic[1] == 0x8b ? "gzip (gunzip it first" : "compress or pack (uncompress it first";
    if (magic[0] == 0x1f && magic[1] == 0xa0)
        return "LZH (unpack it first";
    if (magic[0] == 'P' && magic[1] == 'K')
        return "zip (unzip it first";
    if (std::memcmp(magic, "BZh", 3) == 0)
        return "bzip2 (bunzip2 it first";
    return nullptr;
}

// The boilerplate that cfitsio writes (the FITS reference, the long-string
// notice), which is nobody's comment.
bool boilerplate(const std::string& text)
{
    static const char* const lines[] = {
        "  FITS (Flexible Image Transport System) format is defined in 'Astronomy",
        "  and Astrophysics', volume 376, page 359; bibcode: 2001A&A...376..359H",
        "  This FITS file may contain long string keyword values that are",
        "  continued over multiple keywords.  The HEASARC convention uses the &",
        "  character at the end of each substring which is then continued",
        "  on the next keyword which has the name CONTINUE.",
    };
    for (const char* line : lines)
        if (text == line)
            return true;
    return false;
}

class Fits_Reader : public Reader {
public:
    Fits_Reader(int fd, std::string file) : fd_(fd), file_(std::move(file)) {}
    ~Fits_Reader() override
    {
        int status = 0;
        if (fits_)
            fits_close_file(fits_, &status);
    }

    bool open(const Read_Options& options, Source& source, Failure& failure)
    {
        if (const char* packed = compression_of(fd_))
            return refuse(failure, std::string("compressed with ") + packed +
                                       "; tile-compressed FITS, as fpack writes it, is read "
                                       "directly)");
        std::string why;
        if (!fits_open(fd_, READONLY, fits_, why))
            return refuse(failure, why);
        return find_hdu(options.hdu, failure) && read_geometry(source, failure) &&
               read_metadata(source, failure);
    }

    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure& failure) override
    {
        std::uint64_t n = std::uint64_t{count} * x_;
        if (compressed_) {
            int status = 0;
            long start[2] = {1, static_cast<long>(first) + 1};
            fits_clear_errmsg();
            if (fits_read_pix(fits_, type_ == type_uint16 ? TUSHORT : TDOUBLE, start,
                              static_cast<LONGLONG>(n), nullptr, values, nullptr, &status))
                return refuse(failure, fits_reason("cannot read the values", status));
            return true;
        }
        unsigned size = bytes_per_value(type_);
        errno = 0;
        if (read_fully_at(fd_, values, n * size, data_ + std::uint64_t{first} * x_ * size) !=
            n * size)
            return refuse(failure, with_errno("cannot read the values: file is short", errno));
        convert_values(values, n, type_, false);
        return true;
    }

private:
    bool refuse(Failure& failure, const std::string& what) const
    {
        failure = {file_, (hdu_.empty() ? "" : hdu_ + ": ") + what};
        return false;
    }

    // The HDU named by --hdu, or the first that holds an image.
    bool find_hdu(const std::string& wanted, Failure& failure)
    {
        int status = 0, type = 0;
        if (!wanted.empty()) {
            bool number = wanted.find_first_not_of("0123456789") == std::string::npos;
            if (number && wanted.size() < 9)
                fits_movabs_hdu(fits_, std::stoi(wanted) + 1, &type, &status);
            else
                fits_movnam_hdu(fits_, ANY_HDU, const_cast<char*>(wanted.c_str()), 0, &status);
            const std::string hdu = "HDU " + std::string(number ? "" : "named ") + wanted;
            // Past the last HDU, or no such name; anything else is damage
            // in the file, said as cfitsio says it.
            if (status == END_OF_FILE || status == BAD_HDU_NUM)
                return refuse(failure, "has no " + hdu);
            if (status != 0)
                return refuse(failure, fits_reason("cannot read " + hdu, status));
            name_hdu();
            int naxis = 0;
            fits_get_img_dim(fits_, &naxis, &status);
            return (is_image() && naxis > 0) || refuse(failure, "holds no image");
        }
        for (int n = 1; fits_movabs_hdu(fits_, n, &type, &status) == 0; ++n) {
            int naxis = 0;
            fits_get_img_dim(fits_, &naxis, &status);
            if (is_image() && naxis > 0 && status == 0) {
                name_hdu();
                return true;
            }
            status = 0;
        }
        return refuse(failure, status == END_OF_FILE ? "no HDU holds an image"
                                                     : fits_reason("cannot read", status));
    }

    bool is_image()
    {
        int status = 0, type = 0;
        fits_get_hdu_type(fits_, &type, &status);
        compressed_ = fits_is_compressed_image(fits_, &status) != 0;
        return status == 0 && (type == IMAGE_HDU || compressed_);
    }

    // "HDU 1 (SCI)", as astropy and DS9 count, the primary HDU being 0.
    void name_hdu()
    {
        int n = 0, status = 0;
        fits_get_hdu_num(fits_, &n);
        char name[FLEN_VALUE] = "";
        fits_read_key(fits_, TSTRING, "EXTNAME", name, nullptr, &status);
        hdu_ = "HDU " + std::to_string(n - 1) + (status == 0 ? std::string(" (") + name + ")" : "");
    }

    bool read_geometry(Source& source, Failure& failure)
    {
        int status = 0, bitpix = 0, naxis = 0;
        fits_get_img_dim(fits_, &naxis, &status);
        std::vector<long> naxes(static_cast<std::size_t>(std::max(naxis, 2)), 1);
        fits_get_img_param(fits_, naxis, &bitpix, &naxis, naxes.data(), &status);
        if (status != 0)
            return refuse(failure, fits_reason("cannot read", status));
        // A cube whose extra axes are all 1 is a plane.
        for (std::size_t k = 2; k < naxes.size(); ++k)
            if (naxes[k] != 1) {
                std::string shape;
                for (long n : naxes)
                    shape.append(shape.empty() ? "" : "x").append(std::to_string(n));
                return refuse(failure, "image has " + std::to_string(naxis) + " axes (" + shape +
                                           "); only planes are accepted (axes past the "
                                           "second of length 1)");
            }
        Failure size;
        if (!check_size(static_cast<std::uint64_t>(naxes[0]), static_cast<std::uint64_t>(naxes[1]),
                        file_, size))
            return refuse(failure, size.what);
        x_ = source.x = static_cast<std::uint16_t>(naxes[0]);
        y_ = source.y = static_cast<std::uint16_t>(naxes[1]);
        return read_type(bitpix, failure) && (source.type = type_, true) && locate_data(failure);
    }

    // The values must come back exactly: unsigned 16-bit by the BZERO 32768
    // convention, or binary64 unscaled.
    bool read_type(int bitpix, Failure& failure)
    {
        int status = 0;
        double scale = 1, zero = 0;
        fits_read_key(fits_, TDOUBLE, "BSCALE", &scale, nullptr, &status);
        status = 0;
        fits_read_key(fits_, TDOUBLE, "BZERO", &zero, nullptr, &status);
        if (bitpix == SHORT_IMG && scale == 1 && zero == 32768)
            type_ = type_uint16;
        else if (bitpix == DOUBLE_IMG && scale == 1 && zero == 0)
            type_ = type_binary64;
        else
            return refuse(failure, "BITPIX " + std::to_string(bitpix) + " with BSCALE " +
                                       std::to_string(scale) + " BZERO " + std::to_string(zero) +
                                       "; accepted: BITPIX 16 with BZERO 32768 (unsigned "
                                       "16-bit), BITPIX -64 unscaled");
        return true;
    }

    bool locate_data(Failure& failure)
    {
        int status = 0;
        if (compressed_) {
            // cfitsio holds the tiles that one row of the image crosses.
            int naxis = 0;
            fits_get_img_dim(fits_, &naxis, &status);
            std::uint64_t tile = bytes_per_value(type_), across = 1;
            for (int n = 1; n <= naxis; ++n) {
                long extent = n == 1 ? x_ : 1;
                std::string key = "ZTILE" + std::to_string(n);
                status = 0;
                fits_read_key(fits_, TLONG, key.c_str(), &extent, nullptr, &status);
                if (extent < 1 || extent > (1L << 30))
                    return refuse(failure, key + " is " + std::to_string(extent));
                tile *= static_cast<std::uint64_t>(extent);
                across = n == 1 ? (x_ + static_cast<std::uint64_t>(extent) - 1) /
                                      static_cast<std::uint64_t>(extent)
                                : across;
                if (tile * across > max_tile_row_bytes)
                    return refuse(failure, "the tiles across a row take more than 8 MiB; at most "
                                           "8 MiB are decoded at a time");
            }
            return check_tile_lengths(failure);
        }
        LONGLONG head = 0, data = 0, end = 0;
        if (fits_get_hduaddrll(fits_, &head, &data, &end, &status) != 0)
            return refuse(failure, fits_reason("cannot read", status));
        data_ = static_cast<std::uint64_t>(data);
        return true;
    }

    // cfitsio allocates what a tile's descriptor claims before it reads the
    // tile's bytes: a damaged descriptor (one of 4 GiB in a file of 10 KiB)
    // must not make it allocate more than the file holds.
    bool check_tile_lengths(Failure& failure)
    {
        struct stat st;
        int status = 0, columns = 0;
        LONGLONG rows = 0;
        if (fstat(fd_, &st) != 0)
            return refuse(failure, with_errno("cannot read", errno));
        fits_get_num_rowsll(fits_, &rows, &status);
        fits_get_num_cols(fits_, &columns, &status);
        for (int c = 1; c <= columns && status == 0; ++c) {
            int type = 0;
            LONGLONG repeat = 0, width = 0;
            fits_get_coltypell(fits_, c, &type, &repeat, &width, &status);
            for (LONGLONG r = 1; type < 0 && r <= rows && status == 0; ++r) { // variable length
                LONGLONG length = 0, offset = 0;
                fits_read_descriptll(fits_, c, r, &length, &offset, &status);
                if (status == 0 && (length < 0 || length > st.st_size))
                    return refuse(failure, "tile " + std::to_string(r) + " claims " +
                                               std::to_string(static_cast<std::uint64_t>(length)) +
                                               " compressed values, more than the file holds");
            }
        }
        return status == 0 || refuse(failure, fits_reason("cannot read", status));
    }

    bool read_metadata(Source& source, Failure& failure)
    {
        int status = 0, cards = 0, headers = 0, comments = 0, continued = 0;
        bool carried = false; // the card is IMHEADER's or IMCOMENT's, or continues one
        fits_get_hdrspace(fits_, &cards, nullptr, &status);
        for (int i = 1; i <= cards && status == 0; ++i) {
            char card[FLEN_CARD] = "";
            fits_read_record(fits_, i, card, &status);
            std::string keyword = keyword_of(card);
            headers += keyword == "IMHEADER";
            comments += keyword == "IMCOMENT";
            carried = keyword == "IMHEADER" || keyword == "IMCOMENT" ||
                      (carried && keyword == "CONTINUE");
            // The longest carried comment, 131070 hex digits, takes under
            // 2000 cards; cfitsio would take time quadratic in a longer chain.
            if (carried && keyword == "CONTINUE" && ++continued > max_continued)
                return refuse(failure, "IMHEADER or IMCOMENT continues over more cards than any "
                                       "carried comment needs");
            if (keyword != "COMMENT" || source.readable.size() > 65535) // refused anyway
                continue;
            std::string text = std::strlen(card) > 8 ? card + 8 : "";
            text.erase(text.find_last_not_of(' ') + 1);
            if (!boilerplate(text))
                source.readable += text + "\n";
        }
        if (status != 0)
            return refuse(failure, fits_reason("cannot read", status));
        if (headers > 1 || comments > 1)
            return refuse(failure, std::string(headers > 1 ? "IMHEADER" : "IMCOMENT") +
                                       " appears twice: the carried header is ambiguous");
        if (comments > headers)
            return refuse(failure, "the carried .img comment (IMCOMENT) is there without its "
                                   "header (IMHEADER)");
        if (headers == 0)
            return true;
        std::string header = long_string("IMHEADER", status);
        std::string comment = comments ? long_string("IMCOMENT", status) : "";
        if (status != 0)
            return refuse(failure, fits_reason("cannot read", status));
        if (!from_hex(header, source.header) || !from_hex(comment, source.comment))
            return refuse(failure, "IMHEADER or IMCOMENT is not hexadecimal");
        source.carried = true;
        return true;
    }

    // A card's keyword; HIERARCH names the keyword that follows it, as
    // cfitsio matches it.
    static std::string keyword_of(const char* card)
    {
        std::string keyword(card, strnlen(card, 8));
        if (keyword == "HIERARCH") {
            const char* equals = std::strchr(card, '=');
            keyword.assign(card + 8, equals ? static_cast<std::size_t>(equals - card) - 8 : 0);
            keyword.erase(0, keyword.find_first_not_of(' '));
        }
        keyword.erase(keyword.find_last_not_of(' ') + 1);
        return keyword;
    }

    std::string long_string(const char* key, int& status)
    {
        char* value = nullptr;
        fits_read_key_longstr(fits_, key, &value, nullptr, &status);
        std::string text = value ? value : "";
        int ignored = 0;
        if (value)
            fits_free_memory(value, &ignored);
        return text;
    }

    int fd_;
    std::string file_, hdu_;
    fitsfile* fits_ = nullptr;
    bool compressed_ = false;
    std::uint16_t x_ = 0, y_ = 0, type_ = 0;
    std::uint64_t data_ = 0;
};

std::unique_ptr<Reader> open_reader(int fd, const std::string& file, const Read_Options& options,
                                    Source& source, Failure& failure)
{
    auto reader = std::make_unique<Fits_Reader>(fd, file);
    if (!reader->open(options, source, failure))
        return nullptr;
    return reader;
}

// The carried keywords, and the comment as COMMENT cards, one a line,
// where it is printable ASCII (all a FITS header may hold).
void write_carried(fitsfile* f, const Image& image, int& status)
{
    std::string header = to_hex(image.header, header_size), comment = to_hex(image.comment);
    fits_write_key_longwarn(f, &status);
    fits_write_key_longstr(f, "IMHEADER", header.c_str(), "the .img header, hex", &status);
    fits_write_key_longstr(f, "IMCOMENT", comment.c_str(), "the .img comment, hex", &status);
    if (!printable_ascii(image.comment, "\n"))
        return;
    for (std::size_t at = 0; at < image.comment.size();) {
        std::size_t end = std::min(image.comment.find('\n', at), image.comment.size());
        fits_write_comment(f, image.comment.substr(at, end - at).c_str(), &status);
        at = end + 1;
    }
}

// The header cfitsio makes for this image, with the carried keywords and
// the readable COMMENT cards, padded to its 2880-byte blocks. It is made in
// memory for an image of no rows (a header for the true size would make
// cfitsio fill a data unit of that size there), then given the true height.
bool make_header_text(const Image* image, int bitpix, std::string& text, std::string& why)
{
    std::size_t size = block;
    void* memory = std::malloc(size);
    fitsfile* f = nullptr;
    int status = 0;
    long naxes[2] = {image ? image->x : 0, 0};
    fits_clear_errmsg();
    fits_create_memfile(&f, &memory, &size, block, std::realloc, &status);
    fits_create_img(f, bitpix, image ? 2 : 0, naxes, &status);
    if (image) {
        long height = image->y;
        fits_update_key(f, TLONG, "NAXIS2", &height, nullptr, &status);
        write_carried(f, *image, status);
    }
    char* cards = nullptr;
    int count = 0;
    fits_hdr2str(f, 0, nullptr, 0, &cards, &count, &status);
    if (status == 0)
        text.assign(cards);
    // fits_free_memory frees nothing when its status argument is positive,
    // so it gets a status of its own, not the count of cards.
    int freeing = 0;
    if (cards)
        fits_free_memory(cards, &freeing);
    if (status != 0)
        why = fits_reason("cannot write", status);
    int closing = 0;
    long none = 0;
    if (image) // back to no rows, or closing would fill them
        fits_update_key(f, TLONG, "NAXIS2", &none, nullptr, &closing);
    fits_close_file(f, &closing);
    std::free(memory);
    text.resize((text.size() + block - 1) / block * block, ' ');
    return status == 0;
}

class Fits_Writer : public Writer {
public:
    Fits_Writer(Output_File& out, std::string file, const Image& image)
        : out_(out), file_(std::move(file)), type_(image.type),
          bytes_(std::uint64_t{image.x} * image.y * bytes_per_value(image.type)),
          x_(image.x)
    {
    }

    bool start(const Image& image, Failure& failure)
    {
        std::string text, why;
        if (!make_header_text(&image, type_ == type_uint16 ? USHORT_IMG : DOUBLE_IMG, text, why))
            return refuse(failure, why);
        return write(reinterpret_cast<const unsigned char*>(text.data()), text.size(), failure);
    }

    // Big-endian, and 16-bit values shifted by -32768 (BZERO).
    bool write_rows(std::uint32_t, std::uint32_t count, unsigned char* values,
                    Failure& failure) override
    {
        std::uint64_t n = std::uint64_t{count} * x_;
        unsigned size = bytes_per_value(type_);
        convert_values(values, n, type_, true);
        return write(values, n * size, failure);
    }

    // The data unit padded with zeros to its last block.
    bool finish(Failure& failure) override
    {
        static const unsigned char zeros[block] = {};
        return write(zeros, (block - bytes_ % block) % block, failure);
    }

private:
    bool write(const unsigned char* bytes, std::uint64_t size, Failure& failure)
    {
        errno = 0;
        return write_fully(out_.fd, bytes, size) == size ||
               refuse(failure, with_errno("cannot write", errno));
    }

    bool refuse(Failure& failure, const std::string& what)
    {
        failure = {file_, what};
        return false;
    }

    Output_File& out_;
    std::string file_;
    std::uint16_t type_;
    std::uint64_t bytes_;
    std::uint16_t x_;
};

// A tile-compressed image in the first extension, as fpack writes it:
// Rice for uint16, GZIP_2 without quantization for binary64, both lossless,
// in tiles of one row. cfitsio writes the whole file.
class Compressed_Writer : public Writer {
public:
    Compressed_Writer(std::string file, const Image& image)
        : file_(std::move(file)), type_(image.type), x_(image.x)
    {
    }
    ~Compressed_Writer() override
    {
        int status = 0;
        if (fits_) // abandoned: the file goes anyway
            fits_close_file(fits_, &status);
    }

    bool start(Output_File& out, const Image& image, Failure& failure)
    {
        std::string primary, text, why;
        if (!make_header_text(nullptr, BYTE_IMG, primary, why))
            return refuse(failure, why);
        errno = 0;
        if (write_fully(out.fd, reinterpret_cast<const unsigned char*>(primary.data()),
                        primary.size()) != primary.size())
            return refuse(failure, with_errno("cannot write", errno));
        if (!fits_open(out.fd, READWRITE, fits_, why))
            return refuse(failure, why);
        int status = 0;
        long naxes[2] = {image.x, image.y};
        fits_set_compression_type(fits_, type_ == type_uint16 ? RICE_1 : GZIP_2, &status);
        if (type_ == type_binary64)
            fits_set_quantize_level(fits_, 0, &status);
        fits_create_img(fits_, type_ == type_uint16 ? USHORT_IMG : DOUBLE_IMG, 2, naxes, &status);
        write_carried(fits_, image, status);
        return status == 0 || refuse(failure, fits_reason("cannot write", status));
    }

    bool write_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                    Failure& failure) override
    {
        int status = 0;
        long start[2] = {1, static_cast<long>(first) + 1};
        fits_clear_errmsg();
        errno = 0;
        if (fits_write_pix(fits_, type_ == type_uint16 ? TUSHORT : TDOUBLE, start,
                           static_cast<LONGLONG>(std::uint64_t{count} * x_), values, &status))
            return refuse(failure, with_errno(fits_reason("cannot write", status), errno));
        return true;
    }

    bool finish(Failure& failure) override
    {
        int status = 0;
        errno = 0;
        fits_close_file(fits_, &status);
        fits_ = nullptr;
        return status == 0 || refuse(failure, with_errno(fits_reason("cannot write", status), errno));
    }

private:
    bool refuse(Failure& failure, const std::string& what)
    {
        failure = {file_, what};
        return false;
    }

    std::string file_;
    std::uint16_t type_, x_;
    fitsfile* fits_ = nullptr;
};

std::unique_ptr<Writer> open_writer(Output_File& out, const std::string& file, const Image& image,
                                    bool tile_compressed, Failure& failure)
{
    if (tile_compressed) {
        if (image.x == 0 || image.y == 0) {
            failure = {file, "a tile-compressed FITS cannot hold an empty image (" +
                                 std::to_string(image.x) + "x" + std::to_string(image.y) +
                                 "); .fits can"};
            return nullptr;
        }
        auto writer = std::make_unique<Compressed_Writer>(file, image);
        if (!writer->start(out, image, failure))
            return nullptr;
        return writer;
    }
    auto writer = std::make_unique<Fits_Writer>(out, file, image);
    if (!writer->start(image, failure))
        return nullptr;
    return writer;
}

} // namespace

extern "C" const Format* pixconvert_fits_format()
{
    static const Format format = {"FITS", true, open_reader, open_writer, nullptr};
    return &format;
}

} // namespace convert
