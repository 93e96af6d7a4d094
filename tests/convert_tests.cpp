// Black-box runs of pixconvert: round trips through each format, every
// refusal and failed write (message, status, no file left), paths taken
// byte for byte, inputs that must not hang, signals, and the TIFF layout.
#include "format.h"
#include "support.h"
#include "tiff_format.h"

#include <cerrno>
#include <cmath>
#include <dirent.h>
#include <limits>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <zlib.h>

using namespace tests;
using convert::choose_format;
using convert::Format_Row;
using convert::strip_rows;
using convert::tiff_size_bound;

namespace {

using Convert = In_Temp_Dir;

const char* const targets[] = {"fits", "fz", "tif", "png"};

// Header bytes 8-11 and 14-63, which nothing interprets, set from a seed:
// seeds 0..4 between them give every byte value.
Bytes with_free_bytes(const Image& image, int seed)
{
    Bytes file = image.file();
    for (int k = 8; k < 64; ++k)
        if (k < 12 || k >= 14)
            file[static_cast<std::size_t>(k)] = static_cast<char>((seed * 54 + k) & 0xFF);
    return file;
}

Bytes every_byte(int times = 1)
{
    Bytes b;
    for (int t = 0; t < times; ++t)
        for (int c = 0; c < 256; ++c)
            b += static_cast<char>(c);
    return b;
}

double bits(std::uint64_t b)
{
    double d;
    std::memcpy(&d, &b, 8);
    return d;
}

const double inf = std::numeric_limits<double>::infinity();

struct Trip {
    const char* what;
    Bytes file;
    bool binary64, empty;
};

std::vector<Trip> trips()
{
    const std::vector<double> corners = {
        bits(0x7FF0000000000001), bits(0xFFF800000000DEAD), -0.0, inf, -inf,
        std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
        std::numeric_limits<double>::lowest(), 1.0 / 3, 0.0, -1e-300, 12345.678, 7, 8};
    std::vector<std::uint16_t> ramp(7 * 5);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<std::uint16_t>(i * 1931 + 1);
    ramp[3] = 0, ramp[4] = 65535, ramp[5] = 32768, ramp[6] = 32767;
    std::vector<std::uint16_t> block16(36 * 40);
    std::vector<double> block64(18 * 20);
    for (std::size_t i = 0; i < block16.size(); ++i)
        block16[i] = static_cast<std::uint16_t>(i * 45 + 7);
    for (std::size_t i = 0; i < block64.size(); ++i)
        block64[i] = corners[i % corners.size()] / static_cast<double>(i + 1);
    return {
        {"u16 1x1", with_free_bytes(u16_image(1, 1, {65535}), 0), false, false},
        {"u16 7x5, every comment byte", with_free_bytes(u16_image(7, 5, ramp, every_byte()), 1),
         false, false},
        {"u16 5x7, printable comment", with_free_bytes(u16_image(5, 7, ramp, "two\n\nlines"), 2),
         false, false},
        {"u16 1x9 column", with_free_bytes(u16_image(1, 9, {9, 8, 7, 6, 5, 4, 3, 2, 1}), 3),
         false, false},
        {"f64 7x2 IEEE corners", with_free_bytes(f64_image(7, 2, corners, every_byte(2)), 4),
         true, false},
        {"f64 1x1 NaN", with_free_bytes(f64_image(1, 1, {bits(0x7FF4000000000000)}), 0), true,
         false},
        {"f64 2x7, UTF-8 comment", with_free_bytes(f64_image(2, 7, corners, "\xc3\xa9t\xc3\xa9"), 1),
         true, false},
        // Data units that fill their last FITS block exactly, a comment of
        // one NUL byte (no readable text in any format).
        {"u16 36x40, 2880 bytes, a lone NUL", with_free_bytes(u16_image(36, 40, block16, Bytes(1, '\0')), 3),
         false, false},
        {"f64 18x20, 2880 bytes", with_free_bytes(f64_image(18, 20, block64, "\n"), 4), true, false},
        {"u16 0x5", with_free_bytes(u16_image(0, 5, {}, "empty"), 2), false, true},
        {"f64 5x0", with_free_bytes(f64_image(5, 0, {}), 3), true, true},
        {"u16 0x0", with_free_bytes(u16_image(0, 0, {}, every_byte()), 4), false, true},
    };
}

Bytes be(std::uint64_t value, int bytes)
{
    Bytes b;
    for (int k = bytes - 1; k >= 0; --k)
        b += static_cast<char>(value >> (8 * k));
    return b;
}

// Files of other programs, written by hand as a hostile one would be.
Bytes fits_file(const std::vector<std::string>& cards, Bytes data)
{
    Bytes file;
    for (std::string card : cards)
        file += card.append(80 - card.size(), ' ');
    file += std::string("END").append(77, ' ');
    file.resize((file.size() + 2879) / 2880 * 2880, ' ');
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    return file + data;
}

Bytes png_chunk(const Bytes& kind, const Bytes& data)
{
    const Bytes body = kind + data;
    const auto* bytes = reinterpret_cast<const Bytef*>(body.data());
    return be(data.size(), 4) + body + be(crc32(0, bytes, static_cast<uInt>(body.size())), 4);
}

// A 1x1 PNG of a colour type and depth, its one row of `row` bytes.
Bytes png_file(int colour, int depth, const Bytes& row)
{
    const Bytes raw = Bytes(1, '\0') + row;
    Bytes packed(compressBound(raw.size()), '\0');
    uLongf size = packed.size();
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(raw.data()), raw.size());
    packed.resize(size);
    const Bytes header = be(1, 4) + be(1, 4) + static_cast<char>(depth) +
                         static_cast<char>(colour) + Bytes(3, '\0');
    return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", header) +
           (colour == 3 ? png_chunk("PLTE", Bytes(3, '\0')) : "") + png_chunk("IDAT", packed) +
           png_chunk("IEND", "");
}

// A little-endian TIFF of one strip of `data`, with these tags (each a
// SHORT or LONG held in its entry).
Bytes tiff_file(std::vector<std::pair<int, std::uint32_t>> tags, const Bytes& data)
{
    tags.push_back({273, 0}); // StripOffsets, set below
    tags.push_back({279, static_cast<std::uint32_t>(data.size())});
    std::sort(tags.begin(), tags.end());
    const std::uint32_t start = static_cast<std::uint32_t>(8 + 2 + 12 * tags.size() + 4);
    auto le = [](std::uint64_t v, int bytes) {
        Bytes b = be(v, bytes);
        return Bytes(b.rbegin(), b.rend());
    };
    Bytes file = "II*" + Bytes(1, '\0') + le(8, 4) + le(tags.size(), 2);
    for (auto [tag, value] : tags)
        file += le(static_cast<std::uint64_t>(tag), 2) + le(4, 2) + le(1, 4) +
                le(tag == 273 ? start : value, 4);
    return file + le(0, 4) + data;
}

// Every name in a folder, hidden ones included.
std::vector<std::string> listing(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Convert, RoundTripsGiveTheSameBytes)
{
    for (const Trip& trip : trips())
        for (const std::string target : targets) {
            SCOPED_TRACE(std::string(trip.what) + " via " + target);
            const Format_Row& row = *choose_format("mid." + target);
            bool refused = (trip.binary64 && !row.binary64) || (trip.empty && !row.empty);
            put("in.img", trip.file + "trailing bytes are not carried");
            std::string middle = "mid." + target;
            Run_Result there = run({"in.img", middle});
            EXPECT_EQ(there.status, refused ? 1 : 0) << there.err;
            if (refused) {
                EXPECT_EQ(there.err.rfind("pixconvert: " + middle + ": ", 0), 0u) << there.err;
                EXPECT_EQ(listing(dir), std::vector<std::string>{"in.img"});
                continue;
            }
            Run_Result back = run({middle, "out.img"});
            EXPECT_EQ(there.err + back.err, "");
            EXPECT_EQ(back.status, 0);
            EXPECT_EQ(get("out.img"), trip.file);
            EXPECT_EQ(listing(dir), (std::vector<std::string>{"in.img", middle, "out.img"}));
            std::filesystem::remove(path(middle));
            std::filesystem::remove(path("out.img"));
        }
}

// The COMMENT and HISTORY cards after IMCOMENT in a FITS file, in their
// order: the comment as pixconvert writes it for people.
std::vector<std::pair<std::string, std::string>> readable_cards(const Bytes& fits)
{
    std::vector<std::pair<std::string, std::string>> cards;
    bool after = false;
    for (std::size_t at = 0; at + 80 <= fits.size(); at += 80) {
        std::string keyword = fits.substr(at, 8), text = fits.substr(at + 8, 72);
        if (keyword == "END     " && after)
            break;
        after = after || keyword == "IMCOMENT";
        if (after && (keyword == "COMMENT " || keyword == "HISTORY ")) {
            text.erase(text.find_last_not_of(' ') + 1);
            cards.emplace_back(keyword.substr(0, 7), text);
        }
    }
    return cards;
}

// The lines of a comment that record a tool's run over the image (the
// tool, its version and ": ") go to FITS as HISTORY cards, the others as
// COMMENT cards, in the comment's order. The way back gives the same bytes,
// and a fresh header every line, HISTORY cards included.
TEST_F(Convert, LinesThatRecordARunAreHistoryCards)
{
    const struct {
        const char* line;
        bool history;
    } lines[] = {
        {"a dark frame, 30 s", false},
        {"pixcombine 1.2.0: 16 inputs, --mean", true},
        {"pixcalibrate 1.2.0: bias=\"b.img\" type=uint16", true},
        {"pixcombine 10.20.30.40: four numbers", true},
        {"pixcalibrate 7: one number", true},
        {"pixcombine: no version", false},
        {"pixcombine 1.2.0 no colon", false},
        {"pixcombine 1.2.0:no space", false},
        {"pixcombine 1.2.0 : a space before the colon", false},
        {"pixcombine v1.2.0: a letter", false},
        {"pixcombine 1..2: two dots", false},
        {"pixcombine 1.2.: a dot last", false},
        {"pixcombine .1: a dot first", false},
        {"pixcombine  1.2: two spaces", false},
        {"pixcombined 1.2.0: another name", false},
        {" pixcombine 1.2.0: a space first", false},
        {"PIXCOMBINE 1.2.0: capitals", false},
        {"pixdelta 1.2.0: a tool that records nothing", false},
        {"the end", false},
    };
    Bytes comment, fresh;
    std::vector<std::pair<std::string, std::string>> cards;
    for (const auto& l : lines) {
        comment += std::string(comment.empty() ? "" : "\n") + l.line;
        fresh += std::string(l.line) + "\n";
        cards.emplace_back(l.history ? "HISTORY" : "COMMENT", l.line);
    }
    const Bytes image = u16_image(3, 1, {1, 2, 3}, comment).file();
    put("in.img", image);
    for (const std::string target : {"fits", "fz"}) {
        SCOPED_TRACE(target);
        const std::string out = "out." + target;
        Run_Result there = run({"in.img", out}), back = run({out, "back.img"}),
                   renewed = run({"--fresh-header", out, "fresh.img"});
        EXPECT_EQ(there.err + back.err + renewed.err, "");
        EXPECT_EQ(readable_cards(*get(out)), cards);
        EXPECT_EQ(get("back.img"), image);
        EXPECT_EQ(get("fresh.img"), u16_image(3, 1, {1, 2, 3}, fresh).file());
    }
}

struct Refusal {
    const char* what;
    std::vector<std::string> args;
    int status;
    Bytes err; // the whole of standard error, or its start when it ends in "..."
};

const Bytes usage =
    "usage: pixconvert [--fresh-header] [--hdu N|NAME] IN OUT\n"
    "       pixconvert --preview [--zoom N] [--stretch percentile|minmax] [--hdu N|NAME] IN "
    "OUT.png\n"
    "       pixconvert --help | --version\n";

std::vector<Refusal> refusals()
{
    const Bytes known = "unknown extension; known: .img, .fits, .fit, .fts, .fz, .tif, .tiff, .png\n";
    const Bytes fifo = "cannot read FITS from a pipe or device; save it to a file first\n";
    const Bytes twice = "cannot preview a pipe or device: the preview reads its input twice; save "
                        "it to a file first\n";
    return {
        {"no arguments", {}, 2, "pixconvert: IN and OUT are needed\n" + usage},
        {"one argument", {"a.img"}, 2, "pixconvert: IN and OUT are needed\n" + usage},
        {"three", {"a.img", "b.fits", "c.fits"}, 2, "pixconvert: too many arguments\n" + usage},
        {"unknown option", {"-x", "a.img", "b.fits"}, 2, "pixconvert: unknown option -x\n" + usage},
        {"help with more", {"--help", "x"}, 2, "pixconvert: --help goes alone\n" + usage},
        {"version with more", {"a.img", "--version"}, 2, "pixconvert: --version goes alone\n" + usage},
        {"zoom alone", {"--zoom", "2", "a.img", "b.png"}, 2,
         "pixconvert: --zoom goes with --preview\n" + usage},
        {"stretch alone", {"--stretch=minmax", "a.img", "b.png"}, 2,
         "pixconvert: --stretch goes with --preview\n" + usage},
        {"bad stretch", {"--preview", "--stretch", "zscale", "a.img", "b.png"}, 2,
         "pixconvert: --stretch takes percentile or minmax\n" + usage},
        {"fresh preview", {"--preview", "--fresh-header", "a.img", "b.png"}, 2,
         "pixconvert: --fresh-header goes with a conversion to .img, not with --preview\n" + usage},
        {"fresh to FITS", {"--fresh-header", "u16.img", "b.fits"}, 1,
         "pixconvert: b.fits: --fresh-header makes the header of an .img file; this is none\n"},
        {"hdu of a TIFF", {"--hdu", "1", "a.tif", "b.img"}, 1,
         "pixconvert: a.tif: --hdu picks an HDU of a FITS file; this is none\n"},
        {"hdu empty", {"--hdu=", "a.fits", "b.img"}, 2,
         "pixconvert: --hdu takes an HDU number or an EXTNAME\n" + usage},
        {"hdu forgotten", {"--hdu", "--preview", "a.fits", "b.png"}, 2,
         "pixconvert: --hdu takes an HDU number or an EXTNAME\n" + usage},
        {"hdu twice", {"--hdu", "1", "a.fits", "--hdu=SCI", "b.img"}, 2,
         "pixconvert: --hdu is given twice\n" + usage},
        {"zoom twice", {"--preview", "--zoom", "3", "--zoom=4", "a.img", "b.png"}, 2,
         "pixconvert: --zoom is given twice\n" + usage},
        {"preview twice", {"--preview", "a.img", "--preview", "b.png"}, 2,
         "pixconvert: --preview is given twice\n" + usage},
        {"zoom 0", {"--preview", "--zoom", "0", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom 65", {"--preview", "--zoom=65", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom 2x", {"--preview", "--zoom", "2x", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom of 20 digits", {"--preview", "--zoom", "18446744073709551617", "a.img", "b.png"}, 2,
         "pixconvert: --zoom takes..."},
        {"zoom +4", {"--preview", "--zoom", "+4", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom space", {"--preview", "--zoom", " 4", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom missing", {"a.img", "b.png", "--preview", "--zoom"}, 2, "pixconvert: --zoom takes..."},
        {"unknown in", {"a.jpg", "b.img"}, 1, "pixconvert: a.jpg: " + known},
        {"no extension", {"img", "b.fits"}, 1, "pixconvert: img: " + known},
        {"dot in folder", {"d.img/a", "b.fits"}, 1, "pixconvert: d.img/a: " + known},
        {"unknown out", {"a.img", "b.fts.gz"}, 1, "pixconvert: b.fts.gz: " + known},
        {"FITS to TIFF", {"a.fits", "b.tif"}, 1, "pixconvert: b.tif: neither side is an .img file..."},
        {"img to img", {"a.img", "b.IMG"}, 1, "pixconvert: b.IMG: IN and OUT are both .img files..."},
        {"preview to TIFF", {"--preview", "a.img", "b.tif"}, 1,
         "pixconvert: b.tif: a preview is written as .png\n"},
        {"missing input", {"none.img", "b.fits"}, 1,
         "pixconvert: none.img: cannot open: No such file or directory\n"},
        {"missing FITS, its .gz there", {"c.fits", "b.img"}, 1,
         "pixconvert: c.fits: cannot open: No such file or directory\n"},
        {"a leading space kept", {" u16.fits", "b.img"}, 1,
         "pixconvert:  u16.fits: cannot open: No such file or directory\n"},
        {"a tilde kept", {"~/u16.fits", "b.img"}, 1,
         "pixconvert: ~/u16.fits: cannot open: No such file or directory\n"},
        {"missing PNG", {"none.PNG", "b.img"}, 1,
         "pixconvert: none.PNG: cannot open: No such file or directory\n"},
        {"a folder", {"d.fits", "b.img"}, 1, "pixconvert: d.fits: is a folder\n"},
        {"FIFO as FITS", {"fifo.fits", "b.img"}, 1, "pixconvert: fifo.fits: " + fifo},
        {"FIFO as TIFF", {"fifo.tif", "b.img"}, 1,
         "pixconvert: fifo.tif: cannot read TIFF from a pipe or device; save it to a file first\n"},
        {"FIFO preview .img", {"--preview", "fifo.img", "b.png"}, 1, "pixconvert: fifo.img: " + twice},
        {"FIFO IN, OUT refused", {"fifo.img", "no/b.fits"}, 1,
         "pixconvert: no/b.fits: cannot create: No such file or directory\n"},
        {"FIFO preview PNG", {"--preview", "fifo.png", "b.png"}, 1, "pixconvert: fifo.png: " + twice},
        {"FIFO preview FITS", {"--preview", "fifo.fits", "b.png"}, 1, "pixconvert: fifo.fits: " + twice},
        {"gzipped FITS", {"gz.fits", "b.img"}, 1,
         "pixconvert: gz.fits: compressed with gzip (gunzip it first; tile-compressed FITS, as "
         "fpack writes it, is read directly)\n"},
        {"no such folder", {"u16.img", "no/b.fits"}, 1,
         "pixconvert: no/b.fits: cannot create: No such file or directory\n"},
        {"folder is a device", {"u16.img", "/dev/full/b.tif"}, 1,
         "pixconvert: /dev/full/b.tif: cannot create: Not a directory\n"},
        {"OUT a FIFO", {"u16.img", "fifo.png"}, 1,
         "pixconvert: fifo.png: exists and is not a regular file; pixconvert writes OUT anew "
         "and renames it into place\n"},
        {"same file", {"u16.img", "link.fits"}, 1, "pixconvert: link.fits: is the same file as u16.img\n"},
        {"same file by a symlink", {"u16.fits", "soft.img"}, 1,
         "pixconvert: soft.img: is the same file as u16.fits\n"},
        {"short header", {"short.img", "b.fits"}, 1,
         "pixconvert: short.img: file is short: no complete 64-byte header\n"},
        {"empty file", {"empty.img", "b.tif"}, 1,
         "pixconvert: empty.img: file is short: no complete 64-byte header\n"},
        {"cut comment", {"cut_comment.img", "b.png"}, 1,
         "pixconvert: cut_comment.img: file is short: the comment is cut off\n"},
        {"cut values FITS", {"cut_values.img", "b.fits"}, 1,
         "pixconvert: cut_values.img: file is short: 5 of 6 values\n"},
        {"cut values PNG", {"cut_values.img", "b.png"}, 1,
         "pixconvert: cut_values.img: file is short: 5 of 6 values\n"},
        {"65535x65535 claimed", {"huge.img", "b.fz"}, 1,
         "pixconvert: huge.img: file is short: 2 of 4294836225 values\n"},
        {"bad magic", {"magic.img", "b.fits"}, 1,
         "pixconvert: magic.img: not an .img file: it does not begin with \"IM\"\n"},
        {"type 3", {"type3.img", "b.fits"}, 1,
         "pixconvert: type3.img: unknown pixel type 3; accepted: 2 (unsigned 16-bit), 10 (binary64)\n"},
        {"binary64 to PNG", {"f64.img", "b.png"}, 1,
         "pixconvert: b.png: PNG cannot hold binary64 values (type 10); use FITS or TIFF\n"},
        {"empty to TIFF", {"empty_image.img", "b.tif"}, 1,
         "pixconvert: b.tif: TIFF cannot hold an empty image (0x3); FITS can\n"},
        {"empty to .fz", {"empty_image.img", "b.fz"}, 1,
         "pixconvert: b.fz: a tile-compressed FITS cannot hold an empty image (0x3); .fits can\n"},
        {"empty preview", {"--preview", "empty_image.img", "b.png"}, 1,
         "pixconvert: b.png: PNG cannot hold an empty image (0x3); FITS can\n"},
        {"binary64 FITS, header says type 2", {"f64_says_u16.fits", "b.img"}, 1,
         "pixconvert: f64_says_u16.fits: carried .img header says 1x1 type 2 but the image is 1x1 "
         "type 10; --fresh-header makes a new header\n"},
        {"no such HDU", {"--hdu", "1", "u16.fits", "b.img"}, 1,
         "pixconvert: u16.fits: has no HDU 1 (it has 1)\n"},
        // Numbers that cfitsio would make room for before it looks.
        {"HDU 99999999", {"--hdu", "99999999", "u16.fits", "b.img"}, 1,
         "pixconvert: u16.fits: has no HDU 99999999 (it has 1)\n"},
        {"HDU of 20 digits", {"--hdu", "18446744073709551617", "u16.fits", "b.img"}, 1,
         "pixconvert: u16.fits: has no HDU 18446744073709551617 (it has 1)\n"},
        {"no HDU of that name", {"--hdu", "SCI", "u16.fits", "b.img"}, 1,
         "pixconvert: u16.fits: has no HDU named SCI\n"},
        {"not FITS", {"text.fits", "b.img"}, 1, "pixconvert: text.fits: cannot open: ..."},
        {"not TIFF", {"text.tif", "b.img"}, 1, "pixconvert: text.tif: not a TIFF file..."},
        {"not PNG", {"text.png", "b.img"}, 1, "pixconvert: text.png: not a readable PNG file..."},
        // Files of a sample type that has no .img type for all its values.
        {"BLANK of BITPIX 8", {"blank8.fits", "b.img"}, 1,
         "pixconvert: blank8.fits: HDU 0: BITPIX 8 and BLANK 0: pixconvert reads these values as "
         "type 2 (unsigned 16-bit), which has no null for BLANK to become; BLANK becomes NaN "
         "where values go to type 10 (binary64), as those of any other BITPIX or scaling do\n"},
        {"BLANK of unsigned 16-bit", {"blank16.fits", "b.img"}, 1,
         "pixconvert: blank16.fits: HDU 0: BITPIX 16 with BZERO 32768 and BLANK -32768: "
         "pixconvert reads these values as type 2 (unsigned 16-bit)..."},
        {"BLANK not whole", {"blank_half.fits", "b.img"}, 1,
         "pixconvert: blank_half.fits: HDU 0: BLANK = 1.5 cannot be read as an integer\n"},
        {"BSCALE not a number", {"bscale_text.fits", "b.img"}, 1,
         "pixconvert: bscale_text.fits: HDU 0: BSCALE = 'two' cannot be read as a number: ..."},
        {"64-bit integer past 2^53", {"big64.fits", "b.img"}, 1,
         "pixconvert: big64.fits: HDU 0: 64-bit integer 9007199254740993 at (x 1, y 1), counted "
         "from 0, is beyond 2^53 in magnitude; these samples go to type 10 (binary64), which "
         "holds every integer only up to 2^53, and pixconvert rounds no value\n"},
        {"unsigned 64-bit past 2^53", {"big_u64.fits", "b.img"}, 1,
         "pixconvert: big_u64.fits: HDU 0: 64-bit integer 18446744073709551615 at (x 2, y 0)..."},
        {"64-bit integer before -2^53, scaled", {"small64.fits", "b.img"}, 1,
         "pixconvert: small64.fits: HDU 0: 64-bit integer -9007199254740993 at (x 0, y 1)..."},
        {"RGB PNG", {"rgb.png", "b.img"}, 1,
         "pixconvert: rgb.png: RGB colour image of 8-bit samples; accepted: grayscale of 1, 2, 4, "
         "8 or 16 bits, without alpha\n"},
        {"palette PNG", {"palette.png", "b.img"}, 1,
         "pixconvert: palette.png: palette (indexed-colour) image of 4-bit samples; accepted: "
         "grayscale of 1, 2, 4, 8 or 16 bits, without alpha\n"},
        {"gray and alpha PNG", {"alpha.png", "b.img"}, 1,
         "pixconvert: alpha.png: grayscale image with alpha of 16-bit samples; accepted: ..."},
        {"RGB TIFF", {"rgb.tif", "b.img"}, 1,
         "pixconvert: rgb.tif: 3 samples per pixel (RGB colour image); accepted: one grayscale "
         "sample\n"},
        {"4-bit TIFF", {"u4.tif", "b.img"}, 1,
         "pixconvert: u4.tif: 4-bit samples of format 1 (unsigned integers); accepted: unsigned "
         "or signed integers of 8, 16, 32 or 64 bits, IEEE floats of 32 or 64 bits\n"},
    };
}

TEST_F(Convert, RefusalsSayWhyAndLeaveNoFile)
{
    const Image u16 = u16_image(3, 2, {1, 2, 3, 4, 5, 6}, "comment");
    const std::vector<std::pair<std::string, Bytes>> inputs = {
        {"u16.img", u16.file()},
        {"short.img", u16.file().substr(0, 63)},
        {"empty.img", ""},
        {"cut_comment.img", u16.file().substr(0, 70)},
        {"cut_values.img", u16.file().substr(0, u16.file().size() - 1)},
        {"huge.img", u16_image(65535, 65535, {1, 2}).file()},
        {"magic.img", Image{2, 1, 1, "", le16({1}), 0, "MI", std::nullopt}.file()},
        {"type3.img", Image{3, 1, 1, "", le16({1}), 0, "IM", std::nullopt}.file()},
        {"f64.img", f64_image(1, 1, {1.5}).file()},
        {"u16_header.img", u16_image(1, 1, {7}).file()},
        {"empty_image.img", u16_image(0, 3, {}).file()},
        {"c.fits.gz", "\x1f\x8b not really"},
        {"gz.fits", "\x1f\x8b\x08 as gzip -c writes"},
        {"text.fits", "SIMPLE? no, this is text and nothing else\n"},
        {"text.tif", "II*\0 this is no TIFF"},
        {"text.png", "\x89PNG but not really"},
        {"blank8.fits", fits_file({"SIMPLE  = T", "BITPIX  = 8", "NAXIS   = 2", "NAXIS1  = 2",
                                   "NAXIS2  = 1", "BLANK   = 0"}, "\1\2")},
        {"blank16.fits", fits_file({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 1", "NAXIS1  = 1",
                                    "BZERO   = 32768", "BLANK   = -32768"}, "\0\0")},
        {"blank_half.fits", fits_file({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 1",
                                       "NAXIS1  = 1", "BLANK   = 1.5"}, "\0\0")},
        {"bscale_text.fits", fits_file({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 1",
                                        "NAXIS1  = 1", "BSCALE  = 'two'"}, "\0\0")},
        // 2^53 + 1 last: the whole image is read before the refusal.
        {"big64.fits", fits_file({"SIMPLE  = T", "BITPIX  = 64", "NAXIS   = 2", "NAXIS1  = 2",
                                  "NAXIS2  = 2"},
                                 be(1ull << 53, 8) + be(0 - (1ull << 53), 8) + be(0, 8) +
                                     be((1ull << 53) + 1, 8))},
        // The unsigned 64-bit convention: 2^63 + stored.
        {"big_u64.fits", fits_file({"SIMPLE  = T", "BITPIX  = 64", "NAXIS   = 1", "NAXIS1  = 3",
                                    "BZERO   = 9223372036854775808"},
                                   be(1ull << 63, 8) + be((1ull << 63) + (1ull << 53), 8) +
                                       be(~(1ull << 63), 8))},
        {"small64.fits", fits_file({"SIMPLE  = T", "BITPIX  = 64", "NAXIS   = 2", "NAXIS1  = 1",
                                    "NAXIS2  = 2", "BSCALE  = 0.5"},
                                   be(0 - (1ull << 53), 8) + be(0 - (1ull << 53) - 1, 8))},
        {"rgb.png", png_file(2, 8, "\1\2\3")},
        {"palette.png", png_file(3, 4, Bytes(1, '\0'))},
        {"alpha.png", png_file(4, 16, "\1\2\3\4")},
        {"rgb.tif", tiff_file({{256, 1}, {257, 1}, {258, 8}, {262, 2}, {277, 3}}, "\1\2\3")},
        {"u4.tif", tiff_file({{256, 2}, {257, 1}, {258, 4}, {262, 1}}, "\x12")},
    };
    for (const auto& [name, bytes] : inputs)
        put(name, bytes);
    ASSERT_EQ(run({"u16.img", "u16.fits"}).status, 0);
    // A binary64 FITS carrying a header that says type 2: the values of
    // one file under the header of another.
    ASSERT_EQ(run({"f64.img", "f64.fits"}).status, 0);
    ASSERT_EQ(run({"u16_header.img", "u16_header.fits"}).status, 0);
    Bytes f64_fits = *get("f64.fits"), header_fits = *get("u16_header.fits");
    std::size_t at = f64_fits.find("IMHEADER= '"), from = header_fits.find("IMHEADER= '");
    f64_fits.replace(at, 160, header_fits.substr(from, 160));
    put("f64_says_u16.fits", f64_fits);
    for (const char* name : {"f64.fits", "u16_header.fits"})
        std::filesystem::remove(path(name));
    std::filesystem::create_directory(path("d.fits"));
    for (const char* fifo : {"fifo.fits", "fifo.tif", "fifo.img", "fifo.png"})
        ASSERT_EQ(mkfifo(path(fifo).c_str(), 0600), 0);
    std::filesystem::create_hard_link(path("u16.img"), path("link.fits"));
    std::filesystem::create_symlink("u16.fits", path("soft.img"));
    const std::vector<std::string> before = listing(dir);
    for (const Refusal& r : refusals()) {
        SCOPED_TRACE(r.what);
        // A run that waits on a FIFO would be killed by the alarm: a failure.
        Run_Result result = run(r.args, {.seconds = 20});
        EXPECT_EQ(result.status, r.status);
        EXPECT_EQ(result.out, "");
        if (r.err.ends_with("..."))
            EXPECT_EQ(result.err.rfind(r.err.substr(0, r.err.size() - 3), 0), 0u) << result.err;
        else
            EXPECT_EQ(result.err, r.err);
        EXPECT_EQ(listing(dir), before);
    }
    EXPECT_EQ(get("u16.img"), u16.file());
}

TEST_F(Convert, HelpAndVersionGoToStandardOutput)
{
    Run_Result help = run({"--help"}), version = run({"--version"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(usage, 0), 0u);
    for (const char* word : {".fits .fit .fts", ".fz", ".tif .tiff", ".png", "--fresh-header",
                             "--hdu", "--stretch", "pixconvert(1)"})
        EXPECT_NE(help.out.find(word), Bytes::npos) << word;
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "pixconvert " PROJECT_VERSION "\n");
    EXPECT_EQ(help.err + version.err, "");
    EXPECT_EQ(run({"--help"}, {.shell = "exec \"$0\" \"$@\" > /dev/full"}).status, 1);
}

// What a user writes is what is opened and created, byte for byte: a
// leading space, a folder named " d", and paths past cfitsio's 1024 bytes.
TEST_F(Convert, PathsAreTakenByteForByte)
{
    const Bytes image = u16_image(2, 1, {1, 65535}, "c").file();
    std::string deep = " d";
    for (char k : Bytes("abcdefghi"))
        deep += "/" + std::string(150, k);
    std::filesystem::create_directories(path(deep));
    put(" in.img", image);
    for (const std::string target : targets) {
        SCOPED_TRACE(target);
        // The last: a name of 255 bytes, the longest a folder holds.
        for (const std::string& out : {" d/x." + target, deep + "/x." + target,
                                       " d/" + std::string(254 - target.size(), 'n') + "." + target}) {
            Run_Result there = run({" in.img", out}), back = run({out, " d/back.img"});
            EXPECT_EQ(there.err + back.err, "");
            EXPECT_EQ(get(" d/back.img"), image) << out.size();
            std::filesystem::remove(path(out));
        }
    }
}

// A format's module is loaded from beside the program (or where it is
// installed) by its full path: neither the current folder nor
// LD_LIBRARY_PATH can put another in its place.
TEST_F(Convert, ModulesComeFromBesideTheProgramOnly)
{
    std::filesystem::create_directory(path("bin"));
    std::filesystem::copy_file(PIXDELTA_BINARY, path("bin/pixconvert"));
    put("pixconvert-fits.so", "not a module");
    put("in.img", u16_image(1, 1, {1}).file());
    Run_Result r = run({}, {.shell = "LD_LIBRARY_PATH=. bin/pixconvert in.img out.fits"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("pixconvert: out.fits: cannot load the pixconvert-fits.so module: " +
                              path("bin/pixconvert-fits.so") + ": cannot open shared object",
                          0),
              0u)
        << r.err;
}

// OUT a symbolic link, in both tools that rename a result into place: the
// link is replaced, not what it points to, even a FIFO.
TEST_F(Convert, ALinkAsOutIsReplacedNotWhatItPointsTo)
{
    put("in.img", u16_image(1, 1, {1}).file());
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    for (const char* out : {"out.tif", "out.img"}) {
        std::filesystem::create_symlink("fifo", path(out));
        const char* tool = std::string(out) == "out.img" ? "pixcombine" : "pixconvert";
        Run_Result r = run({}, {.shell = std::string(tool) == "pixcombine"
                                             ? "exec \"${0%/*}/pixcombine\" -o out.img in.img"
                                             : "exec \"$0\" in.img out.tif"});
        EXPECT_EQ(r.status, 0) << tool << ": " << r.err;
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path(out))));
        EXPECT_TRUE(std::filesystem::is_fifo(path("fifo")));
    }
}

// A caller that ignores SIGCHLD (the setting survives exec) must not turn
// a refusal into a success.
TEST_F(Convert, ARefusalStaysOneWhenTheCallerIgnoresChildren)
{
    put("short.img", u16_image(4, 4, {1, 2}).file());
    Run_Result r = run({"short.img", "s.fits"}, {.ignored_signals = {SIGCHLD}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixconvert: short.img: file is short: 2 of 16 values\n");
    EXPECT_EQ(listing(dir), std::vector<std::string>{"short.img"});
    // Nor a wait that learns nothing: the conversion's end is unknown.
    put("good.img", u16_image(2, 1, {1, 2}).file());
    r = run({"good.img", "g.fits"}, {.fault = "waitpid"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixconvert: good.img: cannot learn how the conversion ended: No child processes\n");
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"good.img", "short.img"}));
}

// A write cut short by the file size limit, as on a full disk, in each
// format: a message, status 1, and nothing left behind.
TEST_F(Convert, FailedWritesLeaveNoFile)
{
    std::vector<std::uint16_t> values(200 * 100);
    std::uint32_t seed = 1; // noise, which no compression can shrink
    for (auto& v : values)
        v = static_cast<std::uint16_t>((seed = seed * 1103515245 + 12345) >> 16);
    const Bytes image = u16_image(200, 100, values, "c").file();
    put("in.img", image);
    for (const std::string target : targets) {
        std::string out = "out." + target;
        ASSERT_EQ(run({"in.img", out}).status, 0);
        std::filesystem::rename(path(out), path("in." + target));
    }
    const std::vector<std::string> before = listing(dir);
    for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"in.img", "out.fits"}, {"in.img", "out.fz"}, {"in.img", "out.tif"},
             {"in.img", "out.png"}, {"in.fits", "out.img"}, {"in.fz", "out.img"},
             {"in.tif", "out.img"}, {"in.png", "out.img"}}) {
        SCOPED_TRACE(in + " -> " + out);
        Run_Result r = run({in, out}, {.file_size_limit = 8192});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("pixconvert: " + out + ": cannot write", 0), 0u) << r.err;
        EXPECT_EQ(listing(dir), before);
    }
}

TEST_F(Convert, ResultTakesTheModeOfANewFileAndReplacesAnOldOne)
{
    put("in.img", u16_image(2, 1, {1, 2}).file());
    for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}})
        for (const std::string target : targets) {
            std::string out = "out." + target;
            put(out, "an older file");
            mode_t old = umask(mask);
            Run_Result r = run({"in.img", out});
            umask(old);
            struct stat st;
            ASSERT_EQ(stat(path(out).c_str(), &st), 0);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << out;
            EXPECT_NE(get(out), "an older file");
        }
}

// Waits up to a minute for what() to hold: the bound finds a run that never
// gets there, not a slow machine (a sanitized build on a loaded one takes
// seconds to start).
bool within_seconds(const std::function<bool()>& what)
{
    for (int k = 0; k < 6000; ++k, usleep(10000))
        if (what())
            return true;
    return false;
}

// Whether process `pid` holds open a file whose path passes `is`.
bool holds_any(pid_t pid, const std::function<bool(const std::string&)>& is)
{
    std::error_code e;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", e))
        if (is(std::filesystem::read_symlink(fd.path(), e).string()))
            return true;
    return false;
}

// Whether process `pid` holds the file at `path` open.
bool holds(pid_t pid, const std::string& path)
{
    return holds_any(pid, [&](const std::string& open) { return open == path; });
}

// Whether process `pid` holds a file being written in `dir` that has no
// name yet.
bool writes_unnamed(pid_t pid)
{
    return holds_any(pid, [](const std::string& open) { return open.ends_with(" (deleted)"); });
}

std::map<pid_t, int> holders(const std::string& path);

// pixconvert ended by a signal while it waits for rows from a FIFO, after
// it created its output: nothing is left, and it dies by that signal. Where
// the output cannot be created unnamed (forced here by the fault shim), a
// hidden file stands beside OUT until the end; every signal that can be
// caught removes it, and only SIGKILL leaves it.
TEST_F(Convert, SignalsLeaveNoFile)
{
    const struct {
        int signal_number;
        const char* out;
        bool unnamed;
    } rows[] = {
        {SIGTERM, "out.fits", true}, {SIGKILL, "out.tif", true},  {SIGXCPU, "out.png", true},
        {SIGINT, "out.fz", false},   {SIGHUP, "out.tif", false},  {SIGALRM, "out.png", false},
        {SIGUSR1, "out.fits", false}, {SIGQUIT, "out.fits", false}, {SIGKILL, "out.png", false},
    };
    ASSERT_EQ(mkfifo(path("in.img").c_str(), 0600), 0);
    signal(SIGPIPE, SIG_IGN); // a failed write is a failure here, not this program's end
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.out) + " " + strsignal(r.signal_number) +
                     (r.unnamed ? "" : ", named"));
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            for (int s = 1; s < 32; ++s) // some may be ignored by whoever runs the tests
                signal(s, SIG_DFL);
            if (!r.unnamed) {
                setenv("LD_PRELOAD", PIXDELTA_FAULT_SHIM, 1);
                setenv("PIXDELTA_FAULT", "no_tmpfile", 1);
            }
            if (chdir(dir.c_str()) == 0)
                execl(PIXDELTA_BINARY, PIXDELTA_BINARY, "in.img", r.out, nullptr);
            _exit(127);
        }
        // However the row ends, nothing of this run outlives it: the tool's
        // child left waiting for the FIFO's writer would keep the test's
        // output open, and ctest waiting for it, for ever.
        setpgid(pid, pid);
        struct Reaper {
            pid_t group;
            ~Reaper()
            {
                kill(-group, SIGKILL);
                while (waitpid(group, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
        } reaper{pid};
        // The FIFO is opened for writing once this run holds it: the last
        // row's tool may still be dying with it open, and a write to the
        // FIFO once it had gone would find no reader.
        ASSERT_TRUE(within_seconds([&] { return holds(pid, path("in.img")); }));
        int fifo = open(path("in.img").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fifo, 0) << std::strerror(errno);
        Bytes start = u16_image(100, 100, std::vector<std::uint16_t>(100 * 10, 9), "c").file();
        EXPECT_EQ(write(fifo, start.data(), start.size()), static_cast<ssize_t>(start.size()));
        EXPECT_TRUE(within_seconds([&] {
            if (r.unnamed)
                return writes_unnamed(pid);
            for (const auto& name : listing(dir))
                if (name.starts_with("." + std::string(r.out) + "."))
                    return true;
            return false;
        }));
        kill(pid, r.signal_number);
        int status = 0;
        if (!within_seconds([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
            kill(pid, SIGKILL); // it lived on: a failure, not a hung test
            waitpid(pid, &status, 0);
        }
        close(fifo);
        // The killed run's conversion child, no child of this test's, may
        // hold the FIFO, and the bytes written to it, a moment longer: the
        // next row's run would read them.
        EXPECT_TRUE(within_seconds([&] { return holders(path("in.img")).empty(); }));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == r.signal_number) << status;
        std::vector<std::string> left = listing(dir);
        if (!r.unnamed && r.signal_number == SIGKILL) {
            ASSERT_EQ(left.size(), 2u);
            EXPECT_TRUE(left[0].starts_with(".out.png."));
            std::filesystem::remove(path(left[0]));
        } else
            EXPECT_EQ(left, std::vector<std::string>{"in.img"});
    }
}

// The processes that hold the file at `path` open, each with how many of
// its descriptors do.
std::map<pid_t, int> holders(const std::string& path)
{
    std::map<pid_t, int> found;
    std::error_code e;
    for (const auto& p : std::filesystem::directory_iterator("/proc", e)) {
        pid_t pid = std::atoi(p.path().filename().c_str());
        if (pid > 0)
            holds_any(pid, [&](const std::string& open) {
                found[pid] += open == path;
                return false;
            });
    }
    std::erase_if(found, [](const auto& held) { return held.second == 0; });
    return found;
}

pid_t parent_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::size_t close = text.rfind(')');
    return close == std::string::npos ? 0 : std::atoi(text.c_str() + close + 4);
}

// A run of pixconvert whose .img input comes through the FIFO in.img: once
// its conversion's child has read the header and the first rows and waits
// for more, `during` is given that child. The rest never comes.
Run_Result run_on_fifo(const In_Temp_Dir& test, const std::string& dir,
                       const std::vector<std::string>& args, Run_Options options,
                       const std::function<void(pid_t)>& during)
{
    const std::string fifo = dir + "/in.img";
    EXPECT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    options.while_running = [&] {
        pid_t child = 0;
        EXPECT_TRUE(within_seconds([&] {
            auto held = holders(fifo);
            for (auto [pid, count] : held)
                if (held.count(parent_of(pid)))
                    child = pid;
            return child != 0;
        }));
        int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_GE(writer, 0) << std::strerror(errno);
        Bytes start = u16_image(100, 100, std::vector<std::uint16_t>(1000, 9), "c").file();
        EXPECT_EQ(write(writer, start.data(), start.size()), static_cast<ssize_t>(start.size()));
        int unread = 1;
        EXPECT_TRUE(within_seconds([&] { return ioctl(writer, FIONREAD, &unread) == 0 && !unread; }));
        usleep(100000); // into the read that waits for more
        if (child != 0) // kill(0) would end this test's own process group
            during(child);
        close(writer);
    };
    (void)test;
    return run_tool(args, dir, options);
}

// A FIFO is opened once: the conversion's child reads the descriptor its
// parent opened, and opens the FIFO no second time (a writer that came and
// went in between would have left that open waiting for ever).
TEST_F(Convert, AFifoIsOpenedOnce)
{
    int in_child = -1;
    Run_Result r = run_on_fifo(*this, dir, {"in.img", "out.fits"}, {}, [&](pid_t child) {
        in_child = holders(path("in.img"))[child];
    });
    EXPECT_EQ(in_child, 1);
    // The writer closed after 1000 values of 10000.
    EXPECT_EQ(r.err, "pixconvert: in.img: file is short: 1000 of 10000 values\n");
    // A writer that comes and goes before the conversion reads: its bytes are read.
    std::filesystem::remove(path("in.img"));
    ASSERT_EQ(mkfifo(path("in.img").c_str(), 0600), 0);
    const Bytes image = u16_image(3, 2, {1, 2, 3, 4, 5, 6}, "c").file();
    r = run({"in.img", "out.fits"}, {.while_running = [&] {
        ASSERT_TRUE(within_seconds([&] { return !holders(path("in.img")).empty(); }));
        int writer = open(path("in.img").c_str(), O_WRONLY);
        EXPECT_EQ(write(writer, image.data(), image.size()), static_cast<ssize_t>(image.size()));
        close(writer);
    }, .seconds = 60});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({"out.fits", "back.img"}).status, 0);
    EXPECT_EQ(get("back.img"), image);
}

// A conversion's child ended by a signal is described by what sent it: a
// library's fault, the limit on processor time, or someone outside.
TEST_F(Convert, AChildEndedBySignalIsSaidAsWhatHappened)
{
    const struct {
        int signal_number;
        const char* err;
    } rows[] = {
        {SIGTERM, "cannot convert it: the conversion was ended by a signal from outside pixconvert "
                  "(Terminated)\n"},
        {SIGKILL, "cannot convert it: the conversion was ended by a signal from outside pixconvert "
                  "(Killed)\n"},
        {SIGINT, "cannot convert it: the conversion was ended by a signal from outside pixconvert "
                 "(Interrupt)\n"},
        {SIGXCPU, "cannot convert it: the conversion was stopped after 0 s of processor time, more "
                  "than a file of its size needs (30 s and 1 s more per 8 MiB of values); the file "
                  "is damaged or crafted\n"},
        {SIGSEGV, "cannot convert it: the format's library crashed on it (Segmentation fault)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(strsignal(row.signal_number));
#ifdef __SANITIZE_ADDRESS__
        if (row.signal_number == SIGSEGV) // the sanitizer reports it and exits
            continue;
#endif
        Run_Result r = run_on_fifo(*this, dir, {"in.img", "out.tif"}, {},
                                   [&](pid_t child) { kill(child, row.signal_number); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "pixconvert: in.img: " + Bytes(row.err));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"in.img"});
        std::filesystem::remove(path("in.img"));
    }
    // A caller's hard limit below the cap becomes the child's, and the
    // kernel ends the child with SIGKILL, not SIGXCPU, once it is reached:
    // that is the limit, not someone outside. The preview of a sparse 1 GiB
    // image takes more than a second.
    put("big.img", u16_image(65535, 8192, {}).file());
    std::filesystem::resize_file(path("big.img"), 64 + std::uint64_t{65535} * 8192 * 2);
    Run_Result r = run({}, {.shell = "ulimit -t 1; exec \"$0\" --preview big.img big.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixconvert: big.img: cannot convert it: the conversion was stopped after 1 s "
                     "of processor time, the limit its caller set (ulimit -t 1)\n");
    EXPECT_EQ(listing(dir), std::vector<std::string>{"big.img"});
}

// The conversion's caps: memory for what the limits allow, processor time
// for the base share until the reader says what the file is. A caller's
// hard limit below what pixconvert asks for (any `ulimit -v` of an
// unprivileged user) lowers the caps; it never lifts them.
TEST_F(Convert, TheChildIsCappedUnderACallersHardLimit)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the cap";
#endif
    // As an unprivileged user, who cannot raise a hard limit again.
    std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (!as_user.empty() && system("setpriv --version > /dev/null 2>&1") != 0) {
        EXPECT_FALSE(std::getenv("PIXDELTA_NO_SKIPS")) << "no setpriv";
        GTEST_SKIP() << "no setpriv (apt-get install util-linux) to run as another user";
    }
    chmod(dir.c_str(), 0777);
    for (const char* limit : {"204800", "unlimited"}) {
        SCOPED_TRACE(limit);
        std::string soft, hard, seconds;
        Run_Options o{.shell = as_user + "sh -c 'ulimit -v " + limit + "; exec \"$0\" in.img out.fits' \"$0\""};
        run_on_fifo(*this, dir, {}, o, [&](pid_t child) {
            std::ifstream limits("/proc/" + std::to_string(child) + "/limits");
            for (std::string line; std::getline(limits, line);) {
                std::istringstream words(line.substr(26));
                if (line.starts_with("Max address space"))
                    words >> soft >> hard;
                if (line.starts_with("Max cpu time"))
                    words >> seconds;
            }
        });
        ASSERT_FALSE(soft.empty() || soft == "unlimited") << soft;
        // What is mapped at the start, and 24 MiB.
        EXPECT_LT(std::stoull(soft), std::uint64_t{100} << 20);
        if (std::string(limit) != "unlimited") {
            EXPECT_EQ(hard, std::to_string(std::uint64_t{204800} << 10));
        }
        EXPECT_EQ(seconds, "30"); // 30 s, and 1 s per 8 MiB of 20000 bytes
        std::filesystem::remove(path("in.img"));
    }
    // No conversion where the cap cannot be set.
    put("in.img", u16_image(2, 1, {1, 2}).file());
    Run_Result r = run({"in.img", "out.fits"}, {.fault = "setrlimit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixconvert: in.img: cannot limit the conversion's processor time: Operation "
                     "not permitted\n");
    EXPECT_EQ(listing(dir), std::vector<std::string>{"in.img"});
}

// The modules come from one folder fixed when pixconvert is built: the
// build tree's program never looks in ../lib/pixdelta (a build in /tmp/build
// would load /tmp/lib/pixdelta, which anyone can make), and no folder or
// module that another user can write is loaded.
TEST_F(Convert, ModulesComeFromOneFolderNoOtherUserCanWrite)
{
    std::filesystem::create_directories(path("build"));
    std::filesystem::create_directories(path("lib/pixdelta"));
    std::filesystem::copy_file(PIXDELTA_BINARY, path("build/pixconvert"));
    const std::string module = std::filesystem::path(PIXDELTA_BINARY).parent_path() / "pixconvert-fits.so";
    std::filesystem::copy_file(module, path("build/pixconvert-fits.so"));
    put("lib/pixdelta/pixconvert-fits.so", "planted");
    put("in.img", u16_image(1, 1, {1}).file());
    Run_Result r = run({}, {.shell = "build/pixconvert in.img out.fits"});
    EXPECT_EQ(r.status, 0) << r.err;
    chmod(path("build").c_str(), 0777);
    r = run({}, {.shell = "build/pixconvert in.img out2.fits"});
    EXPECT_EQ(r.err, "pixconvert: out2.fits: refuses to load the pixconvert-fits.so module: " +
                         path("build") + " is writable by every user; chmod o-w " + path("build") + "\n");
    chmod(path("build").c_str(), 0755);
    chmod(path("build/pixconvert-fits.so").c_str(), 0646);
    r = run({}, {.shell = "build/pixconvert in.img out2.fits"});
    EXPECT_EQ(r.err, "pixconvert: out2.fits: refuses to load the pixconvert-fits.so module: " +
                         path("build/pixconvert-fits.so") + " is writable by every user; chmod o-w " +
                         path("build/pixconvert-fits.so") + "\n");
    EXPECT_EQ(r.status, 1);
    if (geteuid() == 0) { // a module of another user's
        chmod(path("build/pixconvert-fits.so").c_str(), 0644);
        ASSERT_EQ(chown(path("build/pixconvert-fits.so").c_str(), 65534, 65534), 0);
        r = run({}, {.shell = "build/pixconvert in.img out2.fits"});
        EXPECT_EQ(r.err, "pixconvert: out2.fits: refuses to load the pixconvert-fits.so module: " +
                             path("build/pixconvert-fits.so") + " belongs to another user (uid "
                             "65534); install pixconvert where only you or root can write\n");
    }
}

// The strips of a written TIFF: one strip, or strips of at least 65536
// bytes (so that libtiff stores the byte counts as LONG, which ImageJ reads
// right), and no larger than 512 KiB or a row.
TEST(Tiff, StripsAreOneOrAtLeast64KiB)
{
    for (std::uint64_t x : {1u, 2u, 200u, 255u, 300u, 1000u, 4096u, 32767u, 32768u, 65535u})
        for (std::uint64_t y : {1u, 2u, 3u, 40u, 200u, 65535u})
            for (unsigned bytes : {2u, 8u}) {
                std::uint64_t rows = strip_rows(x, y, bytes), line = x * bytes;
                EXPECT_TRUE(rows >= 1 && rows <= y) << x << "x" << y;
                EXPECT_TRUE(rows == y || rows * line >= 65536) << x << "x" << y << " " << rows;
                EXPECT_LE(rows * line, std::max<std::uint64_t>(line, 512 << 10)) << x << "x" << y;
            }
}

// The size bound that decides on BigTIFF is never below the size of a
// file actually written, whatever the comment.
TEST_F(Convert, TiffSizeBoundHoldsForWrittenFiles)
{
    for (auto [x, y, binary64, comment] :
         {std::tuple{1, 1, false, Bytes()}, {300, 200, false, every_byte(40)},
          {17, 3, true, Bytes(65535, 'a')}, {1, 65535, false, Bytes(65535, '\x01')}}) {
        std::vector<double> values(static_cast<std::size_t>(x * y), 1.0);
        std::vector<std::uint16_t> shorts(values.size(), 1);
        auto w = static_cast<std::uint16_t>(x), h = static_cast<std::uint16_t>(y);
        put("in.img", binary64 ? f64_image(w, h, values, comment).file()
                               : u16_image(w, h, shorts, comment).file());
        ASSERT_EQ(run({"in.img", "out.tif"}).status, 0);
        EXPECT_LE(std::filesystem::file_size(path("out.tif")),
                  tiff_size_bound(w, h, binary64 ? 8 : 2, comment.size()))
            << x << "x" << y;
    }
}

} // namespace
