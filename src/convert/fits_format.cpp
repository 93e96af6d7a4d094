// FITS: an image HDU, NAXIS1 = x_size, NAXIS2 = y_size, the first value at
// pixel (1,1); type 2 as BITPIX 16 with BZERO 32768 (the unsigned 16-bit
// convention), type 10 as BITPIX -64. Read, any BITPIX with any BSCALE,
// BZERO and BLANK goes to the type that holds its values (samples.h). The
// 64 header bytes travel as lowercase hex in the long-string keyword
// IMHEADER, the comment as hex in IMCOMENT; a comment of printable ASCII is
// also written as COMMENT cards, one per line, for people and viewers. A
// file without IMHEADER gets a
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
#include "inflate.h"
#include "samples.h"
#include "image/byte_order.h"
#include "image/file_io.h"
#include "image/limits.h"
#include "image/output_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fitsio.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace convert {

using namespace img;

namespace {

constexpr std::uint64_t block = 2880;
constexpr int max_continued = 4096;
// The keywords that carry the .img header and comment.
constexpr char header_keyword[] = "IMHEADER";
constexpr char comment_keyword[] = "IMCOMENT";
const Carrier carrier = {header_keyword, comment_keyword};

// A value's bits for the FITS data unit: big endian, and type 2 as signed
// 16-bit numbers, value - 32768 (BZERO), in place, in one plain loop that
// the compiler vectorizes. (Reading, samples.h turns them back.)
void to_fits(unsigned char* values, std::uint64_t n, std::uint16_t type)
{
    if (type != type_uint16)
        return convert_byte_order(values, n, 8, std::endian::big);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint16_t v;
        std::memcpy(&v, values + 2 * i, 2);
        v = be_to_host<std::uint16_t>(v ^ 0x8000);
        std::memcpy(values + 2 * i, &v, 2);
    }
}

// The cfitsio type that reads a sample of a tile-compressed image as it
// is stored: the 8-, 16- and 32-bit integers and the floats of ZBITPIX.
int cfitsio_type(Sample sample)
{
    static_assert(sizeof(int) == 4);
    switch (sample) {
    case Sample::uint8: return TBYTE;
    case Sample::int16: return TSHORT;
    case Sample::int32: return TINT;
    case Sample::float32: return TFLOAT;
    default: return TDOUBLE;
    }
}

// cfitsio's word for a status, and the messages it stacked on the way; then
// the system's words for `error`.
Reason fits_reason(int status, int error = 0)
{
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    std::string stack;
    for (char message[FLEN_ERRMSG]; fits_read_errmsg(message);)
        stack += std::string(stack.empty() ? "" : "; ") + message;
    return because(text + (stack.empty() ? "" : " (" + stack + ")"), error);
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
bool fits_open(int fd, int mode, fitsfile*& fits, const std::string& file, Failure& failure)
{
    Descriptor_Path self;
    descriptor_path(fd, self);
    std::vector<int> before = open_descriptors();
    int status = 0;
    fits_clear_errmsg();
    if (fits_open_diskfile(&fits, self, mode, &status) != 0) {
        fits = nullptr;
        return fail(failure, file, fits_reason(status), says::cannot_open);
    }
    struct stat ours, theirs;
    bool same = fstat(fd, &ours) == 0;
    for (int other : open_descriptors())
        if (std::find(before.begin(), before.end(), other) == before.end())
            same = same && fstat(other, &theirs) == 0 && same_file(ours, theirs);
    if (!same) {
        fits_close_file(fits, &status);
        fits = nullptr;
        return fail(failure, file, says::other_file_opened);
    }
    return true;
}

// A compression that cfitsio would undo whole in memory, and the command
// that undoes it.
struct Packing {
    const char* name;
    const char* command;
};

// The packing of a file that cfitsio would unpack whole in memory, or null.
// cfitsio goes by the first two bytes alone, so these do too: a file that
// only begins with "PK" is unzipped into an allocation of the size its
// bytes 22 to 25 claim.
const Packing* packing_of(int fd)
{
    static const Packing gzip{"gzip", "gunzip"}, compress{"compress or pack", "uncompress"},
        lzh{"LZH", "unpack"}, zip{"zip", "unzip"}, bzip2{"bzip2", "bunzip2"};
    unsigned char magic[4] = {};
    read_fully_at(fd, magic, sizeof magic, 0);
    if (magic[0] == 0x1f && (magic[1] == 0x8b || magic[1] == 0x9d || magic[1] == 0x1e))
        return magic[1] == 0x8b ? &gzip : &compress;
    if (magic[0] == 0x1f && magic[1] == 0xa0)
        return &lzh;
    if (magic[0] == 'P' && magic[1] == 'K')
        return &zip;
    if (std::memcmp(magic, "BZh", 3) == 0)
        return &bzip2;
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

// A value's bytes for a cfitsio type code, as a table column holds it.
std::uint64_t type_bytes(int type)
{
    switch (type < 0 ? -type : type) {
    case TBYTE: return 1;
    case TSHORT: return 2;
    case TINT:
    case TLONG:
    case TFLOAT: return 4;
    case TLONGLONG:
    case TDOUBLE: return 8;
    default: return 0;
    }
}

// Whether a Rice-coded tile of `count` values of `bytepix` bytes, in blocks
// of `block` values, decodes within its `bytes`: cfitsio's decoder looks for
// the next set bit without a bound, and so reads past a damaged tile.
bool rice_fits(const std::vector<unsigned char>& bytes, std::uint64_t count, unsigned bytepix,
               std::uint64_t block_size)
{
    const unsigned fs_bits = bytepix == 1 ? 3 : bytepix == 2 ? 4 : 5;
    const unsigned fs_max = bytepix == 1 ? 6 : bytepix == 2 ? 14 : 25;
    if (bytes.size() <= bytepix) // the first value, and the byte the decoder then takes
        return false;
    const std::uint64_t end = 8 * (bytes.size() - bytepix);
    const unsigned char* coded = bytes.data() + bytepix;
    std::uint64_t at = 0; // the next bit
    // Only the block's code length is needed; the values' bits are passed
    // over, and a run of zeros is found a byte at a time.
    auto take = [&](unsigned n, std::uint64_t& value) {
        if (end - at < n)
            return false;
        for (value = 0; n-- > 0; ++at)
            value = value << 1 | ((unsigned{coded[at / 8]} >> (7 - at % 8)) & 1u);
        return true;
    };
    auto pass = [&](std::uint64_t n) {
        if (end - at < n)
            return false;
        at += n;
        return true;
    };
    for (std::uint64_t done = 0; done < count;) {
        std::uint64_t fs = 0;
        if (!take(fs_bits, fs))
            return false;
        std::uint64_t n = std::min(block_size, count - done);
        done += n;
        if (fs == 0) // every difference zero
            continue;
        for (std::uint64_t k = 0; k < n; ++k) {
            if (fs - 1 == fs_max) { // the value's bits as they are
                if (!pass(8 * bytepix))
                    return false;
                continue;
            }
            for (;;) { // a run of zeros ended by a one
                if (at == end)
                    return false;
                const unsigned shift = at % 8;
                const auto rest = static_cast<std::uint8_t>(coded[at / 8] << shift);
                if (rest != 0) {
                    at += static_cast<unsigned>(std::countl_zero(rest));
                    break;
                }
                at += 8 - shift;
            }
            ++at;
            if (!pass(fs - 1))
                return false;
        }
    }
    return true;
}

std::uint32_t big_endian_32(const unsigned char* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// What each tile of a tile-compressed image declares, checked against the
// image before cfitsio decodes it. cfitsio trusts a tile's header and sizes:
// a damaged or crafted tile makes it read outside the tile, loop for
// minutes, or give values that are not in the file with no error.
class Tile_Check {
public:
    // Reads the compression's keywords and every tile's descriptor; an
    // empty string, or what is wrong.
    std::string open(fitsfile* f, int fd, std::uint16_t x, std::uint16_t y, unsigned value_bytes)
    {
        f_ = f, fd_ = fd, x_ = x, y_ = y, value_ = value_bytes;
        decoded_ = std::max(value_, std::uint64_t{2});
        int status = 0;
        char text[FLEN_VALUE] = "";
        fits_read_key(f, TSTRING, "ZCMPTYPE", text, nullptr, &status);
        compression_ = text;
        static const char* const known[] = {"RICE_1", "RICE_ONE", "GZIP_1", "GZIP_2",
                                            "HCOMPRESS_1", "PLIO_1", "NOCOMPRESS"};
        if (std::find_if(std::begin(known), std::end(known), [&](const char* k) {
                return compression_ == k;
            }) == std::end(known))
            return words(says::unknown_compression, compression_.c_str());
        if (std::string why = read_parameters(); !why.empty())
            return why;
        LONGLONG head = 0, data = 0, end = 0, width = 0, rows = 0, heap = 0;
        status = 0;
        fits_get_hduaddrll(f, &head, &data, &end, &status);
        fits_get_num_rowsll(f, &rows, &status);
        fits_read_key(f, TLONGLONG, "NAXIS1", &width, nullptr, &status);
        heap = width * rows;
        int ignored = 0;
        fits_read_key(f, TLONGLONG, "THEAP", &heap, nullptr, &ignored);
        if (status != 0 || heap < 0)
            return words(fits_reason(status), says::cannot_read);
        heap_ = static_cast<std::uint64_t>(data) + static_cast<std::uint64_t>(heap);
        across_ = (std::uint64_t{x_} + tile_x_ - 1) / tile_x_;
        std::uint64_t tiles = across_ * ((std::uint64_t{y_} + tile_y_ - 1) / tile_y_);
        if (static_cast<std::uint64_t>(rows) < tiles)
            return words(says::too_few_tiles, rows, llu(tiles));
        for (Column* c : {&compressed_, &gzipped_, &raw_})
            if (std::string why = c->find(f); !why.empty())
                return why;
        // The columns a file need not have leave messages on cfitsio's stack.
        fits_clear_errmsg();
        if (!compressed_.number)
            return words(says::no_compressed_column);
        return check_lengths(tiles);
    }

    // Checks the tiles that rows [first, first + count) cross, each the
    // first time a pass reaches it.
    bool check_rows(std::uint32_t first, std::uint32_t count, Failure& failure)
    {
        std::uint64_t last_band = (std::uint64_t{first} + count - 1) / tile_y_;
        for (; checked_bands_ <= last_band; ++checked_bands_)
            for (std::uint64_t k = 0; k < across_; ++k)
                if (std::string why = check_tile(checked_bands_ * across_ + k + 1); !why.empty()) {
                    failure.what = why;
                    return false;
                }
        return true;
    }

    void restart() { checked_bands_ = 0; }
    bool quantized() const { return quantized_; }

    // cfitsio's buffers for the tiles across a row, and a tile's compressed
    // bytes, with their copy here while they are checked.
    std::uint64_t memory() const
    {
        return fits_bytes_per_tile_byte * across_ * tile_x_ * tile_y_ * decoded_ + 2 * longest_ +
               (compression_ == "HCOMPRESS_1" ? hcompress_check_per_value * tile_x_ * tile_y_ : 0);
    }

private:
    struct Column {
        const char* name;
        int number = 0;
        std::uint64_t value = 0; // bytes of one element
        std::string find(fitsfile* f)
        {
            int status = 0, type = 0;
            LONGLONG repeat = 0, width = 0;
            if (fits_get_colnum(f, CASESEN, const_cast<char*>(name), &number, &status) != 0) {
                number = 0;
                return "";
            }
            fits_get_coltypell(f, number, &type, &repeat, &width, &status);
            value = type_bytes(type);
            if (status != 0 || type >= 0 || value == 0)
                return words(says::column_not_array, name);
            return "";
        }
    };

    std::string read_parameters()
    {
        int status = 0;
        long extent = 0;
        for (int n = 1; n <= 2; ++n) {
            status = 0;
            extent = n == 1 ? x_ : 1;
            std::string key = "ZTILE" + std::to_string(n);
            fits_read_key(f_, TLONG, key.c_str(), &extent, nullptr, &status);
            if (extent < 1 || extent > (1L << 30))
                return words(says::tile_extent, key.c_str(), extent);
            (n == 1 ? tile_x_ : tile_y_) = static_cast<std::uint64_t>(extent);
        }
        if (std::uint64_t{tile_x_} * tile_y_ * decoded_ *
                ((std::uint64_t{x_} + tile_x_ - 1) / tile_x_) >
            fits_tile_row)
            return words(says::tile_row_too_large, llu(fits_tile_row / mebibyte),
                         llu(fits_tile_row / mebibyte));
        for (int n = 1;; ++n) {
            char name[FLEN_VALUE] = "";
            long value = 0;
            status = 0;
            std::string key = std::to_string(n);
            if (fits_read_key(f_, TSTRING, ("ZNAME" + key).c_str(), name, nullptr, &status) != 0)
                break;
            fits_read_key(f_, TLONG, ("ZVAL" + key).c_str(), &value, nullptr, &status);
            if (std::string(name) == "BLOCKSIZE")
                block_ = value;
            else if (std::string(name) == "BYTEPIX")
                bytepix_ = value;
        }
        if (compression_.starts_with("RICE") &&
            (block_ < 1 || block_ > 65536 || (bytepix_ != 1 && bytepix_ != 2 && bytepix_ != 4)))
            return words(says::rice_parameters, block_, bytepix_);
        char method[FLEN_VALUE] = "";
        status = 0;
        fits_read_key(f_, TSTRING, "ZQUANTIZ", method, nullptr, &status);
        // fpack -d names a dither, seed 0, for float32 tiles it keeps
        // unquantized; NOCOMPRESS decodes no other tile (check_tile).
        if (std::strncmp(method, "SUBTRACTIVE_DITHER_", 19) == 0 && compression_ != "NOCOMPRESS") {
            long seed = 0;
            status = 0;
            fits_read_key(f_, TLONG, "ZDITHER0", &seed, nullptr, &status);
            if (status != 0 || seed < 1 || seed > 10000)
                return words(says::dither_seed,
                             status ? says::missing : std::to_string(seed).c_str());
        }
        int column = 0;
        status = 0;
        quantized_ = fits_get_colnum(f_, CASESEN, const_cast<char*>("ZSCALE"), &column,
                                     &status) == 0;
        // Floats stored as integers are scaled by ZSCALE and ZZERO, each a
        // column or a keyword: one without the other, or floats in an
        // integer compression (Rice, HCOMPRESS, PLIO) without them, is a
        // damaged table, whose integers cfitsio would give as the values.
        auto present = [this](const char* name) {
            int number = 0, in_table = 0, key = 0;
            char text[FLEN_VALUE] = "";
            return fits_get_colnum(f_, CASESEN, const_cast<char*>(name), &number, &in_table) == 0 ||
                   fits_read_key(f_, TSTRING, name, text, nullptr, &key) != KEY_NO_EXIST;
        };
        int bitpix = 0;
        status = 0;
        fits_read_key(f_, TINT, "ZBITPIX", &bitpix, nullptr, &status);
        bool scaled = present("ZSCALE"), zeroed = present("ZZERO");
        bool integer_compression = !compression_.starts_with("GZIP") &&
                                   !compression_.starts_with("NOCOMPRESS");
        if (bitpix < 0 && (scaled != zeroed || (integer_compression && !scaled)))
            return words(says::quantized_without_scale, bitpix, scaled ? "ZSCALE" : "no ZSCALE",
                         zeroed ? "ZZERO" : "no ZZERO");
        return "";
    }

    // Every tile's bytes lie in the file, and none is longer than any
    // compression of its values makes it.
    std::string check_lengths(std::uint64_t tiles)
    {
        struct stat st;
        if (fstat(fd_, &st) != 0)
            return words(because(errno), says::cannot_read);
        for (std::uint64_t r = 1; r <= tiles; ++r)
            for (Column* c : {&compressed_, &gzipped_, &raw_}) {
                if (!c->number)
                    continue;
                std::uint64_t offset = 0, bytes = 0;
                if (std::string why = where(*c, r, offset, bytes); !why.empty())
                    return why;
                std::uint64_t most =
                    compressed_per_decoded * pixels(r) * decoded_ +
                    compressed_slack;
                if (bytes > most)
                    return words(says::tile_beyond_compression, llu(r), llu(bytes));
                if (heap_ + offset + bytes > static_cast<std::uint64_t>(st.st_size))
                    return words(says::tile_beyond_file, llu(r), llu(bytes));
                longest_ = std::max(longest_, bytes);
            }
        return "";
    }

    std::string where(const Column& c, std::uint64_t r, std::uint64_t& offset, std::uint64_t& bytes)
    {
        int status = 0;
        LONGLONG length = 0, at = 0;
        fits_read_descriptll(f_, c.number, static_cast<LONGLONG>(r), &length, &at, &status);
        if (status != 0)
            return words(fits_reason(status), says::cannot_read_tile, llu(r));
        if (length < 0 || at < 0 || static_cast<std::uint64_t>(length) > (std::uint64_t{1} << 40))
            return words(says::tile_descriptor, llu(r));
        offset = static_cast<std::uint64_t>(at);
        bytes = static_cast<std::uint64_t>(length) * c.value;
        return "";
    }

    // The values of tile `r` (counted from 1); the tiles on the right and
    // bottom edges are cut to the image.
    std::uint64_t pixels(std::uint64_t r) const
    {
        return std::min<std::uint64_t>(tile_x_, x_ - (r - 1) % across_ * tile_x_) *
               std::min<std::uint64_t>(tile_y_, y_ - (r - 1) / across_ * tile_y_);
    }

    std::string check_tile(std::uint64_t r)
    {
        std::uint64_t n = pixels(r), offset = 0, bytes = 0;
        const Column* column = nullptr;
        for (const Column* c : {&compressed_, &gzipped_, &raw_}) {
            if (!c->number)
                continue;
            if (std::string why = where(*c, r, offset, bytes); !why.empty())
                return why;
            if (bytes > 0) {
                column = c;
                break;
            }
        }
        if (column == &raw_)
            return raw_.value == value_ && bytes == n * value_
                       ? ""
                       : words(says::tile_raw_length, llu(r), llu(bytes), llu(n), llu(n * value_));
        if (!column)
            return words(says::tile_empty, llu(r));
        std::vector<unsigned char> data(bytes);
        errno = 0;
        if (read_fully_at(fd_, data.data(), bytes, heap_ + offset) != bytes)
            return words(because(errno), says::tile_short, llu(r));
        // A tile cfitsio could not quantize is kept as its values, gzipped.
        std::string kind = column == &gzipped_ ? "GZIP_1" : compression_;
        std::uint64_t stored = column == &gzipped_ ? value_ : quantized_ ? 4 : value_;
        if (kind.starts_with("GZIP")) {
            std::int64_t size = inflated_size(data.data(), data.size(), n * stored);
            if (size != static_cast<std::int64_t>(n * stored))
                return size < 0 ? words(says::tile_not_gzip, llu(r))
                                : words(says::tile_inflates_to, llu(r), static_cast<long long>(size),
                                        size > static_cast<std::int64_t>(n * stored) ? says::or_more
                                                                                     : "",
                                        llu(n), llu(n * stored));
        } else if (kind.starts_with("RICE")) {
            if (!rice_fits(data, n, static_cast<unsigned>(bytepix_),
                           static_cast<std::uint64_t>(block_)))
                return words(says::rice_cut_short, llu(r), llu(n));
        } else if (kind == "HCOMPRESS_1") {
            // A header of magic, rows, columns and scale, then the sum and
            // the bit planes.
            bool fits = data.size() >= 25 && data[0] == 0xDD && data[1] == 0x99;
            std::uint64_t rows = fits ? big_endian_32(&data[2]) : 0,
                          columns = fits ? big_endian_32(&data[6]) : 0;
            std::uint64_t tile_rows = n / std::min<std::uint64_t>(tile_x_, x_ - (r - 1) % across_ * tile_x_);
            if (!fits || rows != tile_rows || columns * rows != n ||
                (big_endian_32(&data[10]) >> 31) != 0)
                return words(says::hcompress_header, llu(r), llu(tile_rows), llu(n / tile_rows));
            if (std::string why = hcompress_decodes(data, n, r); !why.empty())
                return why;
        } else if (kind == "PLIO_1") {
            // A line list as fpack writes it: a header of 7 words, its
            // version -100, and the list's length, which cfitsio decodes up
            // to without a bound of its own.
            std::uint64_t in_words = data.size() / 2;
            auto word = [&](std::size_t k) {
                return static_cast<std::int16_t>(data[2 * k] << 8 | data[2 * k + 1]);
            };
            if (in_words < 7 || word(2) != -100 || word(1) != 7 || word(3) < 0 || word(4) < 0 ||
                static_cast<std::uint64_t>(word(3)) + (static_cast<std::uint64_t>(word(4)) << 15) >
                    in_words ||
                word(3) + (word(4) << 15) < 7)
                return words(says::plio_header, llu(r), llu(in_words));
        } else if (kind == "NOCOMPRESS")
            return words(says::not_uncompressed, llu(r));
        return "";
    }

    // cfitsio's HCOMPRESS decoder reads a damaged tile's code past its end
    // with no bound, into whatever memory follows, and may make values of
    // it. The same decoder is run here first on a copy of the tile that
    // ends where an unreadable page begins: a code that runs past the tile
    // ends the conversion there (the child's crash, a refusal) before
    // cfitsio reads the same bytes the same way from its own buffer.
    // An empty string, the reason the tile fails, or why it cannot be tried.
    std::string hcompress_decodes(const std::vector<unsigned char>& tile, std::uint64_t n,
                                  std::uint64_t r)
    {
        const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
        const std::uint64_t span = (tile.size() + page - 1) / page * page;
        void* at = mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
        if (at == MAP_FAILED)
            return words(because(errno), says::cannot_read);
        auto* start = static_cast<unsigned char*>(at);
        if (mprotect(start + span, page, PROT_NONE) != 0) {
            const int error = errno;
            munmap(at, span + page);
            return words(because(error), says::cannot_read);
        }
        unsigned char* copy = start + span - tile.size();
        std::memcpy(copy, tile.data(), tile.size());
        int status = 0, nx = 0, ny = 0, scale = 0;
        if (value_ <= 2) { // as cfitsio decodes 8- and 16-bit tiles
            std::vector<int> values(n);
            fits_hdecompress(copy, 0, values.data(), &nx, &ny, &scale, &status);
        } else {
            std::vector<LONGLONG> values(n);
            fits_hdecompress64(copy, 0, values.data(), &nx, &ny, &scale, &status);
        }
        munmap(at, span + page);
        fits_clear_errmsg();
        return status == 0 ? "" : words(says::hcompress_damaged, llu(r));
    }

    fitsfile* f_ = nullptr;
    int fd_ = -1;
    std::uint16_t x_ = 0, y_ = 0;
    // A value's bytes as stored, and as cfitsio's decoding holds it: 8-bit
    // values take as much as 16-bit ones (measured, HCOMPRESS and PLIO).
    std::uint64_t value_ = 0, decoded_ = 0;
    std::uint64_t tile_x_ = 1, tile_y_ = 1, across_ = 1, heap_ = 0, longest_ = 0;
    std::string compression_;
    long block_ = 32, bytepix_ = 4;
    bool quantized_ = false;
    Column compressed_{"COMPRESSED_DATA"}, gzipped_{"GZIP_COMPRESSED_DATA"},
        raw_{"UNCOMPRESSED_DATA"};
    std::uint64_t checked_bands_ = 0;
};

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
        if (const Packing* packing = packing_of(fd_))
            return fail(failure, file_, says::compressed_file, packing->name, packing->command);
        if (!fits_open(fd_, READONLY, fits_, file_, failure))
            return false;
        return find_hdu(options.hdu, failure) && read_geometry(source, failure) &&
               read_metadata(source, failure);
    }

    // The stored samples, then their values (samples.h).
    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure& failure) override
    {
        std::uint64_t n = std::uint64_t{count} * x_;
        if (compressed_) {
            if (!tiles_.check_rows(first, count, failure))
                return fail_in_hdu(failure, failure.what);
            // Read as the tiles hold them, unscaled (locate_data): cfitsio
            // leaves BZERO out of tiles stored uncompressed, and scales with
            // two roundings. Quantized floats come as cfitsio makes them,
            // float32 for ZBITPIX -32, as funpack has them; their NaNs are
            // a null integer in the tile, which cfitsio turns into a value
            // of the tile's scale unless it is given one for nulls: the NaN
            // of all ones bits, funpack's.
            int status = 0;
            long start[2] = {1, static_cast<long>(first) + 1};
            const double null_double = std::bit_cast<double>(~std::uint64_t{0});
            const float null_float = std::bit_cast<float>(~std::uint32_t{0});
            const void* null = nullptr;
            if (tiles_.quantized())
                null = samples_.sample == Sample::float32 ? static_cast<const void*>(&null_float)
                                                          : &null_double;
            fits_clear_errmsg();
            if (fits_read_pix(fits_, cfitsio_type(samples_.sample), start,
                              static_cast<LONGLONG>(n), const_cast<void*>(null), values, nullptr,
                              &status))
                return fail_in_hdu(failure, words(fits_reason(status), says::cannot_read_values));
        } else {
            const unsigned size = sample_bytes(samples_.sample);
            errno = 0;
            if (read_fully_at(fd_, values, n * size, data_ + std::uint64_t{first} * x_ * size) !=
                n * size)
                return fail_in_hdu(failure, words(because(errno), says::values_short));
        }
        const std::endian order = compressed_ ? std::endian::native : std::endian::big;
        return convert_samples(samples_, values, n, order, {first, x_}, file_, failure) ||
               fail_in_hdu(failure, failure.what);
    }

    // A second pass checks the tiles again: the file may have changed.
    bool rewind(Failure&) override
    {
        tiles_.restart();
        return true;
    }

    std::uint64_t memory() const override { return compressed_ ? tiles_.memory() : 0; }

private:
    // What went wrong in the HDU being read, named where one is.
    bool fail_in_hdu(Failure& failure, const std::string& what) const
    {
        failure = {file_, hdu_.empty() ? what : words(says::in_hdu, hdu_.c_str(), what.c_str())};
        return false;
    }

    // The HDU named by --hdu, or the first that holds an image.
    bool find_hdu(const std::string& wanted, Failure& failure)
    {
        int status = 0, type = 0;
        if (!wanted.empty()) {
            bool number = wanted.find_first_not_of("0123456789") == std::string::npos;
            const std::string hdu = words(number ? says::asked_number : says::asked_name, wanted.c_str());
            // An HDU by number is reached one HDU at a time: cfitsio would
            // first make room for every HDU up to the one asked for, which
            // a file does not hold to be asked for.
            int reached = 0;
            if (number) {
                std::uint64_t n = 0;
                for (char c : wanted)
                    n = std::min<std::uint64_t>(n * 10 + static_cast<unsigned>(c - '0'), INT_MAX);
                while (status == 0 && static_cast<std::uint64_t>(reached) <= n)
                    fits_movabs_hdu(fits_, ++reached, &type, &status);
            } else
                fits_movnam_hdu(fits_, ANY_HDU, const_cast<char*>(wanted.c_str()), 0, &status);
            // Past the last HDU, or no such name; anything else is damage
            // in the file, said as cfitsio says it.
            if (number && (status == END_OF_FILE || status == BAD_HDU_NUM))
                return fail_in_hdu(failure, words(says::no_such_hdu, hdu.c_str(), reached - 1));
            if (status == END_OF_FILE || status == BAD_HDU_NUM)
                return fail_in_hdu(failure, words(says::no_hdu_of_name, hdu.c_str()));
            if (status != 0)
                return fail_in_hdu(failure, words(fits_reason(status), says::cannot_read_hdu, hdu.c_str()));
            name_hdu();
            int naxis = 0;
            fits_get_img_dim(fits_, &naxis, &status);
            return (is_image() && naxis > 0) || fail_in_hdu(failure, words(says::no_image_there));
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
        return fail_in_hdu(failure, status == END_OF_FILE ? words(says::no_image_anywhere)
                                                     : words(fits_reason(status), says::cannot_read));
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
        hdu_ = status == 0 ? words(says::hdu_named, n - 1, name) : words(says::hdu_number, n - 1);
    }

    bool read_geometry(Source& source, Failure& failure)
    {
        int status = 0, bitpix = 0, naxis = 0;
        fits_get_img_dim(fits_, &naxis, &status);
        std::vector<long> naxes(static_cast<std::size_t>(std::max(naxis, 2)), 1);
        fits_get_img_param(fits_, naxis, &bitpix, &naxis, naxes.data(), &status);
        if (status != 0)
            return fail_in_hdu(failure, words(fits_reason(status), says::cannot_read));
        // A cube whose extra axes are all 1 is a plane.
        for (std::size_t k = 2; k < naxes.size(); ++k)
            if (naxes[k] != 1) {
                std::string shape;
                for (long n : naxes)
                    shape.append(shape.empty() ? "" : "x").append(std::to_string(n));
                return fail_in_hdu(failure, words(says::not_a_plane, naxis, shape.c_str()));
            }
        Failure size;
        if (!check_size(static_cast<std::uint64_t>(naxes[0]), static_cast<std::uint64_t>(naxes[1]),
                        file_, size))
            return fail_in_hdu(failure, size.what);
        x_ = source.x = static_cast<std::uint16_t>(naxes[0]);
        y_ = source.y = static_cast<std::uint16_t>(naxes[1]);
        if (!read_type(bitpix, failure))
            return false;
        source.type = samples_.type;
        return locate_data(failure);
    }

    // The stored samples and the type their values go to (samples.h):
    // BITPIX 8 and the unsigned 16-bit convention to type 2, the rest to
    // binary64, scaled by BSCALE and BZERO, BLANK a null.
    bool read_type(int bitpix, Failure& failure)
    {
        Sample sample{}; // BITPIX is one of the six cfitsio opens
        sample_kind(static_cast<unsigned>(std::abs(bitpix)),
                    bitpix < 0            ? Number::floating
                    : bitpix == BYTE_IMG ? Number::unsigned_integer
                                          : Number::signed_integer,
                    sample);
        Scaling scaling;
        if (!read_scaling(bitpix > 0, scaling, failure))
            return false;
        samples_ = map_samples(sample, scaling);
        if (samples_.type == type_uint16 && scaling.blank)
            return fail_in_hdu(failure, words(says::blank_into_uint16, bitpix,
                                              bitpix == SHORT_IMG ? says::with_bzero_32768 : "",
                                              static_cast<long long>(scaling.null)));
        if (compressed_ && sample == Sample::int64)
            return fail_in_hdu(failure, words(says::compressed_int64));
        return true;
    }

    // BSCALE, BZERO and, for integers, BLANK, where the header has them.
    bool read_scaling(bool integers, Scaling& s, Failure& failure)
    {
        std::string text;
        for (auto [key, number] : {std::pair{"BSCALE", &s.scale}, std::pair{"BZERO", &s.zero}}) {
            int status = 0;
            if (keyword_text(key, text) &&
                fits_read_key(fits_, TDOUBLE, key, number, nullptr, &status) != 0)
                return unreadable(key, text, says::a_number, status, failure);
        }
        if (!integers || !keyword_text("BLANK", text))
            return true;
        // cfitsio reads BLANK = 1.5 as 1, a null the header does not name:
        // a BLANK that is no integer is refused, as one that is no number.
        int status = 0;
        double whole = 0;
        long long null = 0;
        fits_read_key(fits_, TDOUBLE, "BLANK", &whole, nullptr, &status);
        fits_read_key(fits_, TLONGLONG, "BLANK", &null, nullptr, &status);
        if (status != 0 || std::trunc(whole) != whole)
            return unreadable("BLANK", text, says::an_integer, status, failure);
        s.blank = true;
        s.null = null;
        return true;
    }

    // A keyword's value as the header has it; false where it has none.
    bool keyword_text(const char* key, std::string& text)
    {
        char value[FLEN_VALUE] = "";
        int status = 0;
        fits_read_keyword(fits_, key, value, nullptr, &status);
        text = value;
        return status == 0;
    }

    bool unreadable(const char* key, const std::string& text, const char* as, int status,
                    Failure& failure) const
    {
        return fail_in_hdu(failure, words(status ? fits_reason(status) : Reason{},
                                          says::keyword_unreadable, key, text.c_str(), as));
    }

    bool locate_data(Failure& failure)
    {
        int status = 0;
        if (compressed_) {
            if (std::string why = tiles_.open(fits_, fd_, x_, y_, sample_bytes(samples_.sample));
                !why.empty())
                return fail_in_hdu(failure, why);
            // The signed numbers the tiles hold, unshifted (read_rows).
            fits_set_bscale(fits_, 1, 0, &status);
            return status == 0 || fail_in_hdu(failure, words(fits_reason(status), says::cannot_read));
        }
        LONGLONG head = 0, data = 0, end = 0;
        if (fits_get_hduaddrll(fits_, &head, &data, &end, &status) != 0)
            return fail_in_hdu(failure, words(fits_reason(status), says::cannot_read));
        data_ = static_cast<std::uint64_t>(data);
        return true;
    }

    bool read_metadata(Source& source, Failure& failure)
    {
        int status = 0, cards = 0, continued = 0;
        Carried found;
        bool carried = false; // the card is IMHEADER's or IMCOMENT's, or continues one
        fits_get_hdrspace(fits_, &cards, nullptr, &status);
        for (int i = 1; i <= cards && status == 0; ++i) {
            char card[FLEN_CARD] = "";
            fits_read_record(fits_, i, card, &status);
            std::string keyword = keyword_of(card);
            found.headers += keyword == header_keyword;
            found.comments += keyword == comment_keyword;
            carried = keyword == header_keyword || keyword == comment_keyword ||
                      (carried && keyword == "CONTINUE");
            // The longest carried comment, 131070 hex digits, takes under
            // 2000 cards; cfitsio would take time quadratic in a longer chain.
            if (carried && keyword == "CONTINUE" && ++continued > max_continued)
                return fail_in_hdu(failure, words(says::long_chain));
            // The comment as people read it, the lines that record a run
            // included: a fresh header keeps them all, in their order.
            if ((keyword != "COMMENT" && keyword != "HISTORY") ||
                source.readable.size() > 65535) // refused anyway
                continue;
            std::string text = std::strlen(card) > 8 ? card + 8 : "";
            text.erase(text.find_last_not_of(' ') + 1);
            if (!boilerplate(text))
                source.readable += text + "\n";
        }
        if (status != 0)
            return fail_in_hdu(failure, words(fits_reason(status), says::cannot_read));
        // The carried text is read only where it is there once; anything
        // else is refused as found.
        if (found.headers == 1 && found.comments <= 1) {
            found.header_hex = long_string(header_keyword, status);
            found.comment_hex = found.comments ? long_string(comment_keyword, status) : "";
            if (status != 0)
                return fail_in_hdu(failure, words(fits_reason(status), says::cannot_read));
        }
        return take_carried(carrier, found, file_, source, failure) || fail_in_hdu(failure, failure.what);
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
    Tile_Check tiles_;
    Samples samples_;
    std::uint16_t x_ = 0, y_ = 0;
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

// Whether a line of the comment records a run of a tool over the image, as
// pixcombine and pixcalibrate add them: the tool's name, its version and
// ": " ("pixcombine 1.2.0: 16 inputs, --mean").
bool records_a_run(const std::string& line)
{
    for (const char* tool : {"pixcombine ", "pixcalibrate "}) {
        if (!line.starts_with(tool))
            continue;
        std::size_t at = std::strlen(tool);
        for (bool more = true; more;) { // numbers between dots
            std::size_t end = line.find_first_not_of("0123456789", at);
            if (end == std::string::npos || end == at)
                return false;
            more = line[end] == '.';
            at = end + more;
        }
        return line.compare(at, 2, ": ") == 0;
    }
    return false;
}

// The carried keywords, and the comment as cards, one a line, where it is
// printable ASCII (all a FITS header may hold): HISTORY cards for the lines
// that record a run, COMMENT cards for the others.
void write_carried(fitsfile* f, const Image& image, int& status)
{
    Carried_Out carried = carry(image, ascii_lines);
    fits_write_key_longwarn(f, &status);
    fits_write_key_longstr(f, header_keyword, carried.header_hex.c_str(), "the .img header, hex",
                           &status);
    fits_write_key_longstr(f, comment_keyword, carried.comment_hex.c_str(),
                           "the .img comment, hex", &status);
    const std::string& text = carried.readable.text;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (records_a_run(line))
            fits_write_history(f, line.c_str(), &status);
        else
            fits_write_comment(f, line.c_str(), &status);
        at = end + 1;
    }
}

// The header cfitsio makes for this image, with the carried keywords and
// the readable COMMENT cards, padded to its 2880-byte blocks. It is made in
// memory for an image of no rows (a header for the true size would make
// cfitsio fill a data unit of that size there), then given the true height.
bool make_header_text(const Image* image, int bitpix, std::string& text, const std::string& file,
                      Failure& failure)
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
        fail(failure, file, fits_reason(status), says::cannot_write);
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
        std::string text;
        return make_header_text(&image, type_ == type_uint16 ? USHORT_IMG : DOUBLE_IMG, text, file_,
                                failure) &&
               write(reinterpret_cast<const unsigned char*>(text.data()), text.size(), failure);
    }

    // Big-endian, and 16-bit values shifted by -32768 (BZERO).
    bool write_rows(std::uint32_t, std::uint32_t count, unsigned char* values,
                    Failure& failure) override
    {
        std::uint64_t n = std::uint64_t{count} * x_;
        unsigned size = bytes_per_value(type_);
        to_fits(values, n, type_);
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
               fail(failure, file_, because(errno), says::cannot_write);
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
        std::string primary;
        if (!make_header_text(nullptr, BYTE_IMG, primary, file_, failure))
            return false;
        errno = 0;
        if (write_fully(out.fd, reinterpret_cast<const unsigned char*>(primary.data()),
                        primary.size()) != primary.size())
            return fail(failure, file_, because(errno), says::cannot_write);
        if (!fits_open(out.fd, READWRITE, fits_, file_, failure))
            return false;
        int status = 0;
        long naxes[2] = {image.x, image.y};
        fits_set_compression_type(fits_, type_ == type_uint16 ? RICE_1 : GZIP_2, &status);
        if (type_ == type_binary64)
            fits_set_quantize_level(fits_, 0, &status);
        fits_create_img(fits_, type_ == type_uint16 ? USHORT_IMG : DOUBLE_IMG, 2, naxes, &status);
        write_carried(fits_, image, status);
        return status == 0 || fail(failure, file_, fits_reason(status), says::cannot_write);
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
            return fail(failure, file_, fits_reason(status, errno), says::cannot_write);
        return true;
    }

    bool finish(Failure& failure) override
    {
        int status = 0;
        errno = 0;
        fits_close_file(fits_, &status);
        fits_ = nullptr;
        return status == 0 || fail(failure, file_, fits_reason(status, errno), says::cannot_write);
    }

private:
    std::string file_;
    std::uint16_t type_, x_;
    fitsfile* fits_ = nullptr;
};

std::unique_ptr<Writer> open_writer(Output_File& out, const std::string& file, const Image& image,
                                    bool tile_compressed, Failure& failure)
{
    if (tile_compressed) {
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
    static const Format format = {open_reader, open_writer, nullptr};
    return &format;
}

} // namespace convert
