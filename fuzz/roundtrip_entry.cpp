// libFuzzer entry for pixconvert's writers: an .img file, read by the .img
// reader, is written in every format whose row in the format table says it
// holds it (FITS, tile-compressed FITS, TIFF, PNG), by copy_rows as a
// conversion writes it, each result is read back by that format's reader,
// and the values, the header and the comment must come back as they were.
// Byte 0 of the input says how:
//
//   bit 0     a fresh header (the comment as other programs show it),
//             as --fresh-header makes, instead of the file's own
//   bits 1-2  the rows per read the reading side asks for: none (the
//             writer's choice, or about 256 KiB), 1, 3, 7
//
// The rest is the .img file. Each output is made as pixconvert makes it
// (create_output, unnamed in a private folder) and abandoned at the end.
#include "carried.h"
#include "format.h"
#include "image/output_file.h"
#include "run.h"
#include "support.h"

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

// The format of a row, called in this process rather than loaded.
const Format& format_of(const Format_Row& row)
{
    std::string_view module = row.module;
    return module == "fits" ? *pixconvert_fits_format()
           : module == "tiff" ? *pixconvert_tiff_format()
                              : *pixconvert_png_format();
}

// The rows of the image, which the .img reader has read whole, as
// copy_rows asks for them: each once, in order, none past the last.
class Rows : public Reader {
public:
    Rows(const std::vector<unsigned char>& values, std::uint64_t row, std::uint32_t preferred)
        : values_(values), row_(row), preferred_(preferred)
    {
    }
    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure&) override
    {
        fuzz::check(first == next_ && count > 0 && (first + std::uint64_t{count}) * row_ <= values_.size(),
                    "copy_rows asked for rows out of order, none, or past the image",
                    std::to_string(first) + " + " + std::to_string(count) + " after " +
                        std::to_string(next_));
        std::memcpy(values, values_.data() + first * row_, count * row_);
        next_ = first + count;
        return true;
    }
    std::uint32_t preferred_rows() const override { return preferred_; }
    std::uint32_t next() const { return next_; }

private:
    const std::vector<unsigned char>& values_;
    std::uint64_t row_;
    std::uint32_t preferred_;
    std::uint32_t next_ = 0;
};

std::string what_failed(const char* extension, const Failure& failure)
{
    return std::string(extension) + ": " + failure.what;
}

void write(const Format_Row& row, const Image& image, const std::vector<unsigned char>& values,
           unsigned choice, Output_File& out)
{
    static const std::uint32_t preferred[] = {0, 1, 3, 7};
    Failure failure;
    std::unique_ptr<Writer> writer =
        format_of(row).open_writer(out, "out", image, row.tile_compressed, failure);
    fuzz::check(writer != nullptr, "a writer refused an image its row says it holds",
                what_failed(row.extension, failure));
    std::uint64_t bytes = std::uint64_t{image.x} * bytes_per_value(image.type);
    Rows rows(values, bytes, preferred[choice]);
    fuzz::check(copy_rows(rows, *writer, image.x, image.y, image.type, failure),
                "a write failed", what_failed(row.extension, failure));
    fuzz::check(bytes == 0 || rows.next() == image.y, "copy_rows left rows out", row.extension);
}

void read_back(const Format_Row& row, const Image& image, const std::vector<unsigned char>& values,
               Output_File& out)
{
    fuzz::check(lseek(out.fd, 0, SEEK_SET) == 0, "cannot rewind the output");
    Source source;
    Failure failure;
    std::unique_ptr<Reader> reader = format_of(row).open_reader(out.fd, "out", {}, source, failure);
    fuzz::check(reader != nullptr, "the output cannot be read back", what_failed(row.extension, failure));
    fuzz::check(source.x == image.x && source.y == image.y && source.type == image.type,
                "the geometry read back differs", row.extension);
    Image back;
    fuzz::check(settle_image(source, false, "out", back, failure),
                "the header read back cannot be settled", what_failed(row.extension, failure));
    fuzz::check(std::memcmp(back.header, image.header, header_size) == 0,
                "the header read back differs", row.extension);
    fuzz::check(back.comment == image.comment, "the comment read back differs", row.extension);
    std::uint64_t bytes = std::uint64_t{image.x} * bytes_per_value(image.type);
    std::vector<unsigned char> got(bytes);
    for (std::uint32_t r = 0; bytes != 0 && r < image.y; ++r) {
        fuzz::check(reader->read_rows(r, 1, got.data(), failure), "a row cannot be read back",
                    what_failed(row.extension, failure));
        fuzz::check(std::memcmp(got.data(), values.data() + r * bytes, bytes) == 0,
                    "the values read back differ",
                    std::string(row.extension) + ", row " + std::to_string(r));
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
        values.resize(std::uint64_t{image.x} * bytes_per_value(image.type) * image.y);
        if (!values.empty())
            fuzz::check(reader->read_rows(0, image.y, values.data(), failure),
                        "an .img file that opened cannot be read", failure.what);
        for (const char* extension : {"fits", "fz", "tif", "png"}) {
            const Format_Row& row = *choose_format(std::string("out.") + extension);
            Output_File out;
            fuzz::check(create_output((fuzz::private_folder() + "/out").c_str(), out) == 0,
                        "cannot create an output");
            Failure refused;
            if (holds(row, "out", image.x, image.y, image.type == type_binary64, refused)) {
                write(row, image, values, what >> 1 & 3, out);
                read_back(row, image, values, out);
            } else
                fuzz::check(!refused.what.empty(), "a refusal without a reason", extension);
            abandon_output(out);
        }
    }
    reader.reset();
    close(fd);
    fits_clear_errmsg();
    return 0;
}
