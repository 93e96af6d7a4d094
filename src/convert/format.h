// What every format of pixconvert's provides: a reader, which turns a file
// into rows of values and says what travels with them, and a writer, which
// turns rows into a file. Rows travel as host-order values: uint16 for type
// 2, the 64 bits of the binary64 for type 10 (never through a floating-point
// register, so every NaN keeps its bits).
//
// FITS, TIFF and PNG each live in a module of their own (pixconvert-fits.so
// and so on), loaded only when a file of theirs is converted, so that a run
// pays for its own format's library alone. Each module exports one function,
// pixconvert_NAME_format(), that returns its Format. The .img format is
// built in.
#pragma once

#include "image/velkin.h"
#include "messages.h"

#include <cstdint>
#include <memory>
#include <string>

namespace img {
struct Output_File;
}

namespace convert {

// What a reader finds: the image's geometry and pixel type, and what its
// metadata holds. An .img file converted elsewhere carries its 64 header
// bytes and its comment; any file may have a comment that people read.
struct Source {
    std::uint16_t x = 0, y = 0, type = 0;
    bool carried = false;
    std::string header, comment; // carried: as found, to be checked
    std::string readable;        // the comment other programs show
};

// The .img image a conversion moves: its header (carried or fresh) and
// comment, which any writer must keep so that the way back gives the same
// bytes.
struct Image {
    std::uint16_t x = 0, y = 0, type = 0;
    unsigned char header[img::header_size] = {};
    std::string comment;
};

struct Read_Options {
    std::string hdu; // FITS: the HDU by number or EXTNAME; empty: the first image
};

class Reader {
public:
    virtual ~Reader() = default;
    // Rows [first, first + count) into `values`, count * x values in host
    // order. Rows are asked for in order; a preview asks for them a second
    // time from row 0 after rewind().
    virtual bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                           Failure& failure) = 0;
    virtual bool rewind(Failure&) { return true; }
    // Rows per chunk that this reader reads best; 0 for any.
    virtual std::uint32_t preferred_rows() const { return 0; }
    // What the reader and its library hold for this file's layout beyond
    // img::conversion_base while rows are read (a row of tiles), at most
    // img::largest_reader_need: the conversion may grow by that much more.
    virtual std::uint64_t memory() const { return 0; }
};

class Writer {
public:
    virtual ~Writer() = default;
    // Rows [first, first + count), given in order. The writer may turn the
    // bytes of `values` into its file's order in place.
    virtual bool write_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                            Failure& failure) = 0;
    // Every row is written: complete the file (trailers, padding, flush).
    virtual bool finish(Failure& failure) = 0;
    // Rows per chunk that this writer needs; 0 for any.
    virtual std::uint32_t preferred_rows() const { return 0; }
};

struct Format {
    // `fd` is open on the input, named `file` in messages; the reader keeps
    // it open, and takes the position as it finds it.
    std::unique_ptr<Reader> (*open_reader)(int fd, const std::string& file,
                                           const Read_Options& options, Source& source,
                                           Failure& failure);
    // The image is one the format holds (holds()); `tile_compressed` is the
    // table's for the output's extension (FITS: tile compression for .fz).
    std::unique_ptr<Writer> (*open_writer)(img::Output_File& out, const std::string& file,
                                           const Image& image, bool tile_compressed, Failure& failure);
    // An 8-bit grayscale picture of width x height for any viewer, neither
    // of them 0; only formats that make previews have one.
    std::unique_ptr<Writer> (*open_preview)(img::Output_File& out, const std::string& file,
                                            std::uint32_t width, std::uint32_t height,
                                            Failure& failure);
};

// The table of formats (formats.cpp), a row per extension: each says once
// what its format holds and how it is read and written, and pixconvert
// refuses from it.
struct Format_Row {
    const char* extension; // "fits", in any letter case
    const char* module;    // pixconvert-MODULE.so; nullptr for the built-in .img format
    const char* name;      // in messages: "FITS"
    bool tile_compressed;  // written tile-compressed (FITS: .fz, as fpack names its files)
    bool hdus;             // has HDUs that --hdu picks
    bool reads_by_seeking; // its reader seeks: IN must be a regular file
    bool binary64;         // holds type 10 values
    bool empty;            // holds an image of width or height 0
    bool preview;          // what --preview writes
};
// The row of a file name's extension; null for an unknown one.
const Format_Row* choose_format(const std::string& path);
// ".img, .fits, ...": for the message about an unknown extension.
std::string known_extensions();
// Whether a file of `out`'s row holds an image of x by y values, binary64
// or not; false, with what can, where it cannot.
bool holds(const Format_Row& out, const std::string& file, std::uint32_t x, std::uint32_t y,
           bool binary64, Failure& failure);
// Loads the row's module where it has one, from the folder `modules`
// relative to the program's own; null, with the reason as a failure about
// `file`, if it cannot be loaded or if another user could have put it there.
const Format* load_format(const Format_Row& row, const char* modules, const std::string& file,
                          Failure& failure);

// The built-in .img format (velkin_format.cpp).
const Format* velkin_format();

// A width or height that a reader found: over 65535 does not fit an .img file.
inline bool check_size(std::uint64_t x, std::uint64_t y, const std::string& file, Failure& failure)
{
    return (x <= 65535 && y <= 65535) || fail(failure, file, says::too_large, llu(x), llu(y));
}

} // namespace convert
