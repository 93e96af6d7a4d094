// libFuzzer entry for pixconvert's writers: an .img file, read by the .img
// reader, is written in every format that can hold it (FITS, tile-
// compressed FITS, TIFF, PNG), each result is read back by that format's
// reader, and the values, the header and the comment must come back as
// they were. Byte 0 of the input says how:
//
//   bit 0     a fresh header (the comment as other programs show it),
//             as --fresh-header makes, instead of the file's own
//   bits 1-2  rows per write: the writer's choice (or about 256 KiB), 1, 3, 7
//
// The rest is the .img file. Each output is made as pixconvert makes it
// (create_output, unnamed in a private folder) and abandoned at the end.
#include "carried.h"
#include "format.h"
#include "image/output_file.h"
#include "support.h"

#include <algorithm>
#include <cstring>
#include <fitsio.h>
#include <string_view>
#include <vector>

using namespace convert;
using namespace img;

extern "C" const Format* pixconvert_fits_format();
extern "C" const Format* pixconvert_tiff_format();
extern "C" const Format* pixconvert_png_format();

namespace {

struct Target {
    const Format* format;
    bool tile_compressed;
    const char* name;
};

// Refusals that the formats document: PNG holds no binary64, and only
// plain FITS holds an empty image.
bool can_hold(const Target& t, const Image& image)
{
    bool empty = image.x == 0 || image.y == 0;
    if (t.format == pixconvert_png_format())
        return image.type == type_uint16 && !empty;
    return !empty || (t.format == pixconvert_fits_format() && !t.tile_compressed);
}

std::uint32_t rows_per_write(unsigned choice, const Writer& writer, std::uint64_t row)
{
    static const std::uint32_t fixed[] = {0, 1, 3, 7};
    if (writer.preferred_rows() != 0) // the TIFF writer writes whole strips
        return writer.preferred_rows();
    if (fixed[choice] != 0)
        return fixed[choice];
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (256 << 10) / row));
}

std::string what_failed(const Target& t, const Failure& failure)
{
    return std::string(t.name) + ": " + failure.what;
}

void write(const Target& t, const Image& image, const std::vector<unsigned char>& values,
           unsigned choice, Output_File& out)
{
    Failure failure;
    std::unique_ptr<Writer> writer = t.format->open_writer(out, "out", image, t.tile_compressed, failure);
    fuzz::check(writer != nullptr, "a writer refused an image it can hold", what_failed(t, failure));
    std::uint64_t row = std::uint64_t{image.x} * bytes_per_value(image.type);
    if (row != 0 && image.y != 0) {
        std::uint32_t rows = rows_per_write(choice, *writer, row);
        // Writers may turn the bytes in place: each gets a copy.
        std::vector<unsigned char> chunk(rows * row);
        for (std::uint32_t first = 0; first < image.y; first += rows) {
            std::uint32_t count = std::min<std::uint32_t>(rows, image.y - first);
            std::memcpy(chunk.data(), values.data() + first * row, count * row);
            fuzz::check(writer->write_rows(first, count, chunk.data(), failure),
                        "a write failed", what_failed(t, failure));
        }
    }
    fuzz::check(writer->finish(failure), "a writer could not finish", what_failed(t, failure));
}

void read_back(const Target& t, const Image& image, const std::vector<unsigned char>& values,
               Output_File& out)
{
    fuzz::check(lseek(out.fd, 0, SEEK_SET) == 0, "cannot rewind the output");
    Source source;
    Failure failure;
    std::unique_ptr<Reader> reader = t.format->open_reader(out.fd, "out", {}, source, failure);
    fuzz::check(reader != nullptr, "the output cannot be read back", what_failed(t, failure));
    fuzz::check(source.x == image.x && source.y == image.y && source.type == image.type,
                "the geometry read back differs", t.name);
    Image back;
    fuzz::check(settle_image(source, false, "out", back, failure),
                "the header read back cannot be settled", what_failed(t, failure));
    fuzz::check(std::memcmp(back.header, image.header, header_size) == 0,
                "the header read back differs", t.name);
    fuzz::check(back.comment == image.comment, "the comment read back differs", t.name);
    std::uint64_t row = std::uint64_t{image.x} * bytes_per_value(image.type);
    std::vector<unsigned char> got(row);
    for (std::uint32_t r = 0; row != 0 && r < image.y; ++r) {
        fuzz::check(reader->read_rows(r, 1, got.data(), failure), "a row cannot be read back",
                    what_failed(t, failure));
        fuzz::check(std::memcmp(got.data(), values.data() + r * row, row) == 0,
                    "the values read back differ", std::string(t.name) + ", row " + std::to_string(r));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    fuzz::Descriptor_Watch watch;
    fits_clear_errmsg(); // cfitsio's message stack is global
    const unsigned what = data[0];
    int fd = fuzz::memory_file(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    Source source;
    Failure failure;
    Image image;
    std::unique_ptr<Reader> reader = velkin_format()->open_reader(fd, "in.img", {}, source, failure);
    std::vector<unsigned char> values;
    if (reader && settle_image(source, what & 1, "in.img", image, failure)) {
        // The .img reader has checked that the file holds every value: at
        // most the size of the input.
        std::uint64_t row = std::uint64_t{image.x} * bytes_per_value(image.type);
        values.resize(row * image.y);
        if (!values.empty())
            fuzz::check(reader->read_rows(0, image.y, values.data(), failure),
                        "an .img file that opened cannot be read", failure.what);
        const Target targets[] = {{pixconvert_fits_format(), false, "FITS"},
                                  {pixconvert_fits_format(), true, "tile-compressed FITS"},
                                  {pixconvert_tiff_format(), false, "TIFF"},
                                  {pixconvert_png_format(), false, "PNG"}};
        for (const Target& t : targets) {
            Output_File out;
            fuzz::check(create_output((fuzz::private_folder() + "/out").c_str(), out) == 0,
                        "cannot create an output");
            if (can_hold(t, image)) {
                write(t, image, values, what >> 1 & 3, out);
                read_back(t, image, values, out);
            } else {
                fuzz::check(t.format->open_writer(out, "out", image, t.tile_compressed, failure) == nullptr,
                            "a writer took an image it cannot hold", t.name);
            }
            abandon_output(out);
        }
    }
    reader.reset();
    close(fd);
    fits_clear_errmsg();
    return 0;
}
