// libFuzzer entry for one of pixconvert's readers, the one FUZZ_FORMAT
// names (built once per format). Byte 0 of the input says what to do with
// the rest:
//
//   bits 0-1  rows per read, as the writing side of copy_rows asks for them:
//             none (the reader's choice, or about 256 KiB), 1, 3, 7
//   bit 2     make a preview (write_preview) instead of reading the rows
//   bit 3     the preview's stretch: minmax (else percentile)
//   bit 4     the file changes before the second pass: bytes 1-3 are the
//             length of its first contents (little-endian), the bytes after
//             them its second contents
//   bit 5     the file comes through a pipe (for the formats whose row in
//             the format table says they do not seek; the second pass then
//             cannot be made)
//   bits 6-7  FITS: the HDU asked for: the first image, "0", "1" or "SCI"
//
// The rest (or the first contents) is the file, in a regular file in memory.
// The reader opens it, the .img header is settled both ways, and every row
// is read twice by copy_rows, with a rewind between, as the preview does;
// where the first pass read every row of a file that did not change, the
// second must read the same values. A file that changed may fail, but only
// with a reason.
#include "carried.h"
#include "format.h"
#include "image/output_file.h"
#include "preview.h"
#include "run.h"
#include "support.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#ifdef FUZZ_FITS
#include <fitsio.h>
#endif

using namespace convert;
using namespace img;

extern "C" const Format* pixconvert_fits_format();
extern "C" const Format* pixconvert_tiff_format();
extern "C" const Format* pixconvert_png_format();

namespace {

#if defined(FUZZ_FITS)
const Format& format = *pixconvert_fits_format();
const Format_Row& table_row = *choose_format("input.fits");
#elif defined(FUZZ_TIFF)
const Format& format = *pixconvert_tiff_format();
const Format_Row& table_row = *choose_format("input.tif");
#elif defined(FUZZ_PNG)
const Format& format = *pixconvert_png_format();
const Format_Row& table_row = *choose_format("input.png");
#else
const Format& format = *velkin_format();
const Format_Row& table_row = *choose_format("input.img");
#endif

// Values read in one pass, at most: past it a pass stops early. A small
// compressed file may claim gigabytes of values (every TIFF strip may point
// at the same compressed bytes); decoding them all tells nothing more than
// the first 4 MiB do, and would take the time of thousands of inputs.
constexpr std::uint64_t pass_budget = 4 << 20;

// A reader whose file is rewritten just before it is rewound, as another
// program could do between the preview's two passes.
class Changing_Reader : public Reader {
public:
    Changing_Reader(Reader& inner, std::function<void()> change)
        : inner_(inner), change_(std::move(change))
    {
    }
    bool read_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                   Failure& failure) override
    {
        return inner_.read_rows(first, count, values, failure);
    }
    bool rewind(Failure& failure) override
    {
        if (change_)
            change_();
        return inner_.rewind(failure);
    }
    std::uint32_t preferred_rows() const override { return inner_.preferred_rows(); }

private:
    Reader& inner_;
    std::function<void()> change_;
};

// One pass: whether every row read, and a digest of each chunk.
struct Pass {
    bool ok = true;
    std::string failure;
    std::vector<std::uint64_t> digests;
};

std::uint64_t digest(const unsigned char* bytes, std::size_t size)
{
    std::uint64_t h = 1469598103934665603u; // FNV-1a
    for (std::size_t i = 0; i < size; ++i)
        h = (h ^ bytes[i]) * 1099511628211u;
    return h;
}

// The writing side of a pass: a digest of each chunk copy_rows gives it,
// which must come in order; the pass ends once pass_budget bytes came.
class Digests : public Writer {
public:
    Digests(Pass& pass, std::uint64_t row, std::uint32_t preferred)
        : pass_(pass), row_(row), preferred_(preferred)
    {
    }
    bool write_rows(std::uint32_t first, std::uint32_t count, unsigned char* values,
                    Failure&) override
    {
        fuzz::check(first == next_ && count > 0, "copy_rows gave rows out of order, or none",
                    std::to_string(first) + " + " + std::to_string(count) + " after " +
                        std::to_string(next_));
        pass_.digests.push_back(digest(values, count * row_));
        next_ = first + count;
        spent = next_ * row_ >= pass_budget;
        return !spent;
    }
    bool finish(Failure&) override { return true; }
    std::uint32_t preferred_rows() const override { return preferred_; }
    bool spent = false;

private:
    Pass& pass_;
    std::uint64_t row_;
    std::uint32_t preferred_;
    std::uint32_t next_ = 0;
};

Pass read_pass(Reader& reader, const Source& source, std::uint32_t preferred)
{
    Pass pass;
    Digests digests(pass, std::uint64_t{source.x} * bytes_per_value(source.type), preferred);
    Failure failure;
    if (!copy_rows(reader, digests, source.x, source.y, source.type, failure) && !digests.spent) {
        fuzz::check(!failure.what.empty(), "a read failed without a reason");
        pass.ok = false;
        pass.failure = failure.what;
    }
    return pass;
}

std::string describe(const Pass& pass)
{
    std::string text = pass.ok ? "read" : "failed (" + pass.failure + ")";
    text += " after " + std::to_string(pass.digests.size()) + " chunks";
    return text;
}

// The header the run would write, carried (where the reader found one that
// is consistent) and fresh: either must describe the image it goes with. A
// fresh header can only be refused for a comment too long.
void check_settled(const Image& image, const Source& source)
{
    Velkin_Header h{};
    std::memcpy(h.bytes, image.header, header_size);
    fuzz::check(has_magic(h) && comment_length(h) == image.comment.size() &&
                    x_size(h) == source.x && y_size(h) == source.y && file_type(h) == source.type,
                "a settled header does not describe the image");
}

void settle(const Source& source)
{
    Image image;
    Failure failure;
    if (settle_image(source, false, "input", image, failure))
        check_settled(image, source);
    if (settle_image(source, true, "input", image, failure))
        check_settled(image, source);
    else
        fuzz::check(source.readable.size() > 65535, "a fresh header was refused", failure.what);
}

void preview(Reader& reader, const Source& source, Stretch stretch)
{
    // A preview reads every value twice, whatever the budget.
    if (std::uint64_t{source.x} * source.y * bytes_per_value(source.type) > pass_budget)
        return;
    Output_File out;
    if (create_output((fuzz::private_folder() + "/preview.png").c_str(), out) != 0)
        fuzz::fail("cannot create the preview's output");
    Failure failure;
    if (!write_preview(reader, source, *choose_format("preview.png"), *pixconvert_png_format(), out,
                       "preview.png", 1, stretch, failure))
        fuzz::check(!failure.what.empty(), "a preview failed without a reason");
    abandon_output(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    fuzz::Descriptor_Watch watch;
    const unsigned what = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1), first = rest,
                                                                               second;
    const bool changes = what & 0x10;
    if (changes) {
        std::size_t length = fuzz::byte_at(data, size, 1) | fuzz::byte_at(data, size, 2) << 8 |
                             fuzz::byte_at(data, size, 3) << 16;
        std::string_view file = rest.substr(std::min<std::size_t>(rest.size(), 3));
        first = file.substr(0, std::min(length, file.size()));
        second = file.substr(first.size());
    }
    const bool piped = (what & 0x20) && !table_row.reads_by_seeking;
    int fd = piped ? fuzz::filled_pipe(first) : fuzz::memory_file(first);
    if (fd < 0)
        return 0;

    Read_Options options;
#ifdef FUZZ_FITS
    static const char* const hdus[] = {"", "0", "1", "SCI"};
    options.hdu = hdus[what >> 6];
    fits_clear_errmsg(); // cfitsio's message stack is global
#endif
    Source source;
    Failure failure;
    std::unique_ptr<Reader> reader = format.open_reader(fd, "input", options, source, failure);
    if (!reader) {
        fuzz::check(!failure.what.empty(), "a reader was refused without a reason");
    } else {
        settle(source);
        std::function<void()> change;
        if (changes && !piped)
            change = [&] { fuzz::rewrite(fd, second); };
        Changing_Reader changing(*reader, change);
        if (what & 0x04) {
            preview(changing, source, what & 0x08 ? Stretch::minmax : Stretch::percentile);
        } else {
            static const std::uint32_t preferred[] = {0, 1, 3, 7};
            const std::uint32_t rows = preferred[what & 3];
            Pass one = read_pass(changing, source, rows);
            Failure rewound;
            bool again = changing.rewind(rewound);
            fuzz::check(again || !rewound.what.empty(), "a rewind failed without a reason");
            if (again) {
                Pass two = read_pass(changing, source, rows);
                // After a failure pixconvert reads no further, so only a
                // first pass that read every row binds the second.
                if (!changes && !piped && one.ok)
                    fuzz::check(two.ok && one.digests == two.digests,
                                "the second pass over an unchanged file differs from the first",
                                describe(one) + " then " + describe(two));
            }
        }
    }
    reader.reset();
    close(fd);
#ifdef FUZZ_FITS
    fits_clear_errmsg();
#endif
    return 0;
}
