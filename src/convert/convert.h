// pixconvert's records and steps. One control function (run.cpp) opens a
// Source, opens a Sink on a temporary file, moves the image row by row and
// renames the result into place; each format file provides the open, row and
// close steps for its format. Rows travel as host-order values: uint16 for
// type 2, the 64 bits of the binary64 for type 10 (never through a floating
// point register, so every NaN keeps its bits).
#pragma once

#include "image/velkin.h"
#include "image/file_io.h"

#include <cstdint>
#include <cstdio>
#include <fitsio.h>
#include <png.h>
#include <string>
#include <tiffio.h>
#include <vector>

enum class Format { unknown, velkin, fits, tiff, png };

// Set by the step that failed; printed as "pixconvert: file: what".
struct Failure {
    std::string file;
    std::string what;
};

// What a conversion carries: the Velkin header (sizes and type included) and
// the comment.
struct Carried {
    Velkin_Header header;
    std::string comment;
};

struct Png_Handle {
    png_structp png = nullptr;
    png_infop info = nullptr;
    FILE* file = nullptr;
    char message[256] = ""; // libpng's last error
};

struct Source {
    Format format = Format::unknown;
    std::string path;
    Carried carried;
    std::uint16_t x = 0, y = 0, type = 0;
    std::vector<unsigned char> file_row; // one row as the Velkin file holds it
    int fd = -1;
    fitsfile* fits = nullptr;
    TIFF* tiff = nullptr;
    std::uint32_t tile_width = 0, tile_height = 0; // 0: strips
    std::vector<unsigned char> tile, tile_rows;    // one tile, one row of tiles
    Png_Handle png;
};

struct Sink {
    Format format = Format::unknown;
    std::string path; // the temporary file
    std::string name; // OUT as the user gave it, for messages
    std::uint16_t x = 0, y = 0, type = 0;
    std::vector<unsigned char> file_row;
    int fd = -1;
    fitsfile* fits = nullptr;
    TIFF* tiff = nullptr;
    Png_Handle png;
};

// One row of values in host order: x * bytes_per_value(type) bytes.
using Row = std::vector<unsigned char>;

// Velkin files (velkin_file.cpp).
bool open_velkin_source(Source& source, Failure& failure);
bool read_velkin_row(Source& source, unsigned char* row, Failure& failure);
bool open_velkin_sink(Sink& sink, const Carried& carried, Failure& failure);
bool write_velkin_row(Sink& sink, const unsigned char* row, Failure& failure);
bool close_velkin_sink(Sink& sink, Failure& failure);

// FITS (fits_file.cpp).
bool open_fits_source(Source& source, Failure& failure);
bool read_fits_row(Source& source, std::uint32_t row_index, unsigned char* row, Failure& failure);
void close_fits_source(Source& source);
bool open_fits_sink(Sink& sink, const Carried& carried, Failure& failure);
bool write_fits_row(Sink& sink, std::uint32_t row_index, const unsigned char* row, Failure& failure);
bool close_fits_sink(Sink& sink, Failure& failure);

// TIFF (tiff_file.cpp).
bool open_tiff_source(Source& source, Failure& failure);
bool read_tiff_row(Source& source, std::uint32_t row_index, unsigned char* row, Failure& failure);
void close_tiff_source(Source& source);
bool open_tiff_sink(Sink& sink, const Carried& carried, Failure& failure);
bool write_tiff_row(Sink& sink, std::uint32_t row_index, const unsigned char* row, Failure& failure);
bool close_tiff_sink(Sink& sink, Failure& failure);
// Whether the TIFF written for this image could reach 4 GiB, past the 32-bit
// offsets of a classic TIFF, and must be a BigTIFF.
bool needs_bigtiff(std::uint64_t x, std::uint64_t y, unsigned value_bytes,
                   std::uint64_t comment_size);

// PNG (png_file.cpp). A preview sink holds 8-bit gray and carries nothing.
bool open_png_source(Source& source, Failure& failure);
bool read_png_row(Source& source, unsigned char* row, Failure& failure);
void close_png_source(Source& source);
bool open_png_sink(Sink& sink, const Carried* carried, int bit_depth, std::uint64_t width,
                   std::uint64_t height, Failure& failure);
bool write_png_row(Sink& sink, const unsigned char* row, Failure& failure);
bool close_png_sink(Sink& sink, Failure& failure);

// Dispatch over the formats (dispatch.cpp).
bool open_source(Source& source, Failure& failure);
bool read_row(Source& source, std::uint32_t row_index, unsigned char* row, Failure& failure);
void close_source(Source& source);
bool open_sink(Sink& sink, const Carried& carried, Failure& failure);
bool write_row(Sink& sink, std::uint32_t row_index, const unsigned char* row, Failure& failure);
bool close_sink(Sink& sink, Failure& failure);
void abandon_sink(Sink& sink);

// The carried header and comment (carried.cpp).
std::string to_hex(const unsigned char* bytes, std::size_t size);
bool from_hex(const std::string& text, std::string& bytes);
// A foreign file's image: a fresh header; false if the comment is too long.
bool make_fresh(Source& source, const std::string& comment, Failure& failure);
// A header and comment found in the file's metadata, checked against the
// image; false, with the reason, if they disagree.
bool take_carried(Source& source, const std::string& header, const std::string& comment,
                  Failure& failure);
// The same with both in hexadecimal; names: the keys, for the message.
bool take_carried_hex(Source& source, const std::string& header, const std::string& comment,
                      const char* names, Failure& failure);
// Checks of a foreign image's geometry and the message for a refusal.
bool check_size(const Source& source, std::uint64_t x, std::uint64_t y, Failure& failure);

// Host-order row <-> the Velkin file's little-endian row.
void row_to_file(const unsigned char* row, unsigned char* file_row, std::uint64_t count,
                 std::uint16_t type);
void row_from_file(const unsigned char* file_row, unsigned char* row, std::uint64_t count,
                   std::uint16_t type);

// "reason (strerror)" with errno as it is now, or just the reason.
std::string with_errno(const std::string& reason, int error);

// The preview (preview.cpp): min and max of the finite values, then the
// 8-bit stretched rows, each column and row repeated zoom times.
bool write_preview(Source& source, Sink& sink, unsigned zoom, Failure& failure);

// The whole tool; returns the exit status (run.cpp).
int run_pixconvert(int argc, char** argv);
