// Black-box runs of pixconvert: round trips through each format, every
// refusal and failed write (message, status, no file left), modes, options.
#include "convert.h"
#include "support.h"

#include <cmath>
#include <limits>
#include <sys/stat.h>

namespace {

using Convert = In_Temp_Dir;

const char* const targets[] = {"fits", "tif", "png"};

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
    return {
        {"u16 1x1", with_free_bytes(u16_image(1, 1, {65535}), 0), false, false},
        {"u16 7x5, every comment byte", with_free_bytes(u16_image(7, 5, ramp, every_byte()), 1),
         false, false},
        {"u16 5x7 (transposed)", with_free_bytes(u16_image(5, 7, ramp, "c"), 2), false, false},
        {"u16 1x9 column", with_free_bytes(u16_image(1, 9, {9, 8, 7, 6, 5, 4, 3, 2, 1}), 3),
         false, false},
        {"f64 7x2 IEEE corners", with_free_bytes(f64_image(7, 2, corners, every_byte(2)), 4),
         true, false},
        {"f64 1x1 NaN", with_free_bytes(f64_image(1, 1, {bits(0x7FF4000000000000)}), 0), true,
         false},
        {"f64 2x7", with_free_bytes(f64_image(2, 7, corners), 1), true, false},
        {"u16 0x5", with_free_bytes(u16_image(0, 5, {}, "empty"), 2), false, true},
        {"f64 5x0", with_free_bytes(f64_image(5, 0, {}), 3), true, true},
        {"u16 0x0", with_free_bytes(u16_image(0, 0, {}, every_byte()), 4), false, true},
    };
}

// Only the files a test made, no OUT and no temporary file.
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
        for (const char* target : targets) {
            SCOPED_TRACE(std::string(trip.what) + " via " + target);
            bool refused = (trip.binary64 && target == std::string("png")) ||
                           (trip.empty && target != std::string("fits"));
            put("in.img", trip.file + "trailing bytes are not carried");
            std::string middle = std::string("mid.") + target;
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

struct Refusal {
    const char* what;
    std::vector<std::string> args;
    int status;
    Bytes err; // the whole of standard error, or its start when it ends in "..."
};

const Bytes usage = "usage: pixconvert [--preview [--zoom N]] IN OUT\n"
                    "       pixconvert --help | --version\n";

std::vector<Refusal> refusals()
{
    const Bytes known = "unknown extension; known: .img, .fits, .fit, .fts, .tif, .tiff, .png\n";
    return {
        {"no arguments", {}, 2, "pixconvert: IN and OUT are needed\n" + usage},
        {"one argument", {"a.img"}, 2, "pixconvert: IN and OUT are needed\n" + usage},
        {"three", {"a.img", "b.fits", "c.fits"}, 2, "pixconvert: too many arguments\n" + usage},
        {"unknown option", {"-x", "a.img", "b.fits"}, 2, "pixconvert: unknown option -x\n" + usage},
        {"zoom alone", {"--zoom", "2", "a.img", "b.png"}, 2,
         "pixconvert: --zoom goes with --preview\n" + usage},
        {"zoom 0", {"--preview", "--zoom", "0", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom 65", {"--preview", "--zoom", "65", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom 2x", {"--preview", "--zoom", "2x", "a.img", "b.png"}, 2, "pixconvert: --zoom takes..."},
        {"zoom missing", {"a.img", "b.png", "--preview", "--zoom"}, 2, "pixconvert: --zoom takes..."},
        {"unknown in", {"a.jpg", "b.img"}, 1, "pixconvert: a.jpg: " + known},
        {"no extension", {"img", "b.fits"}, 1, "pixconvert: img: " + known},
        {"dot in folder", {"d.img/a", "b.fits"}, 1, "pixconvert: d.img/a: " + known},
        {"unknown out", {"a.img", "b.fts.gz"}, 1, "pixconvert: b.fts.gz: " + known},
        {"FITS to TIFF", {"a.fits", "b.tif"}, 1, "pixconvert: b.tif: converts .img to FITS..."},
        {"img to img", {"a.img", "b.IMG"}, 1, "pixconvert: b.IMG: converts .img to FITS..."},
        {"preview to TIFF", {"--preview", "a.img", "b.tif"}, 1,
         "pixconvert: b.tif: a preview is written as .png\n"},
        {"missing input", {"none.img", "b.fits"}, 1,
         "pixconvert: none.img: cannot open: No such file or directory\n"},
        {"missing FITS", {"none.fit", "b.img"}, 1,
         "pixconvert: none.fit: cannot open: No such file or directory\n"},
        {"missing TIFF", {"none.tiff", "b.img"}, 1,
         "pixconvert: none.tiff: cannot open: No such file or directory\n"},
        {"missing PNG", {"none.PNG", "b.img"}, 1,
         "pixconvert: none.PNG: cannot open: No such file or directory\n"},
        {"no such folder", {"u16.img", "no/b.fits"}, 1,
         "pixconvert: no/b.fits: cannot create a file beside it: No such file or directory\n"},
        {"folder is a device", {"u16.img", "/dev/full/b.tif"}, 1,
         "pixconvert: /dev/full/b.tif: cannot create a file beside it: Not a directory\n"},
        {"same file", {"u16.img", "link.fits"}, 1, "pixconvert: link.fits: is the same file as u16.img\n"},
        {"short header", {"short.img", "b.fits"}, 1,
         "pixconvert: short.img: file is short: no complete 64-byte header\n"},
        {"empty file", {"empty.img", "b.tif"}, 1,
         "pixconvert: empty.img: file is short: no complete 64-byte header\n"},
        {"cut comment", {"cut_comment.img", "b.png"}, 1,
         "pixconvert: cut_comment.img: file is short: the comment is cut off\n"},
        {"cut values FITS", {"cut_values.img", "b.fits"}, 1,
         "pixconvert: cut_values.img: file is short: fewer values than 6\n"},
        {"cut values TIFF", {"cut_values.img", "b.tif"}, 1,
         "pixconvert: cut_values.img: file is short: fewer values than 6\n"},
        {"cut values PNG", {"cut_values.img", "b.png"}, 1,
         "pixconvert: cut_values.img: file is short: fewer values than 6\n"},
        {"65535x65535 claimed", {"huge.img", "b.fits"}, 1,
         "pixconvert: huge.img: file is short: fewer values than 4294836225\n"},
        {"bad magic", {"magic.img", "b.fits"}, 1,
         "pixconvert: magic.img: not an .img file: it does not begin with \"IM\"\n"},
        {"type 3", {"type3.img", "b.fits"}, 1,
         "pixconvert: type3.img: unknown pixel type 3; accepted: 2 (unsigned 16-bit), 10 (binary64)\n"},
        {"binary64 to PNG", {"f64.img", "b.png"}, 1,
         "pixconvert: b.png: PNG cannot hold binary64 values (type 10); use FITS or TIFF\n"},
        {"empty to TIFF", {"empty_image.img", "b.tif"}, 1,
         "pixconvert: b.tif: TIFF cannot hold an empty image (0x3); FITS can\n"},
        {"empty to PNG", {"empty_image.img", "b.png"}, 1,
         "pixconvert: b.png: PNG cannot hold an empty image (0x3); FITS can\n"},
        {"empty preview", {"--preview", "empty_image.img", "b.png"}, 1,
         "pixconvert: b.png: PNG cannot hold an empty image (0x3); FITS can\n"},
        {"not FITS", {"text.fits", "b.img"}, 1, "pixconvert: text.fits: cannot open: ..."},
        {"not TIFF", {"text.tif", "b.img"}, 1, "pixconvert: text.tif: not a TIFF file..."},
        {"not PNG", {"text.png", "b.img"}, 1, "pixconvert: text.png: not a readable PNG file..."},
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
        {"empty_image.img", u16_image(0, 3, {}).file()},
        {"text.fits", "SIMPLE? no, this is text and nothing else\n"},
        {"text.tif", "II*\0 this is no TIFF"},
        {"text.png", "\x89PNG but not really"},
    };
    for (const auto& [name, bytes] : inputs)
        put(name, bytes);
    std::filesystem::create_hard_link(path("u16.img"), path("link.fits"));
    const std::vector<std::string> before = listing(dir);
    for (const Refusal& r : refusals()) {
        SCOPED_TRACE(r.what);
        Run_Result result = run(r.args);
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
    for (const auto& [arg, out] : {std::pair<std::string, Bytes>{"--help", usage},
                                   {"--version", "pixconvert " PIXCONVERT_VERSION "\n"}}) {
        Run_Result r = run({arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
    }
}

// A write cut short by the file size limit, as on a full disk, in each
// format: a message, status 1, and nothing left behind.
TEST_F(Convert, FailedWritesLeaveNoFile)
{
    std::vector<std::uint16_t> values(200 * 100);
    std::uint32_t seed = 1; // noise, which PNG's compression cannot shrink
    for (auto& v : values)
        v = static_cast<std::uint16_t>((seed = seed * 1103515245 + 12345) >> 16);
    const Bytes image = u16_image(200, 100, values, "c").file();
    put("in.img", image);
    for (const char* target : targets) {
        std::string out = std::string("out.") + target;
        ASSERT_EQ(run({"in.img", out}).status, 0);
        std::filesystem::rename(path(out), path(std::string("in.") + target));
    }
    const std::vector<std::string> before = listing(dir);
    for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"in.img", "out.fits"}, {"in.img", "out.tif"}, {"in.img", "out.png"},
             {"in.fits", "out.img"}, {"in.tif", "out.img"}, {"in.png", "out.img"}}) {
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
        for (const char* target : targets) {
            std::string out = std::string("out.") + target;
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

// Waits up to 10 s for what() to hold.
bool within_seconds(const std::function<bool()>& what)
{
    for (int k = 0; k < 1000; ++k, usleep(10000))
        if (what())
            return true;
    return false;
}

// pixconvert killed while it waits for rows from a FIFO, after it created
// the partial file: the file and its folder go, and it dies by the signal.
TEST_F(Convert, KilledRunsLeaveNoFile)
{
    const struct {
        int signal_number;
        std::vector<std::string> args;
    } rows[] = {
        {SIGTERM, {"in.img", "out.fits"}},
        {SIGINT, {"in.img", "out.tif"}},
        {SIGHUP, {"in.img", "out.png"}},
        {SIGTERM, {"--preview", "in.img", "out.png"}},
    };
    ASSERT_EQ(mkfifo(path("in.img").c_str(), 0600), 0);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.args.back() + " " + strsignal(r.signal_number));
        pid_t pid = fork();
        if (pid == 0) {
            for (int s : {SIGINT, SIGTERM, SIGHUP}) // ignored in a background job
                signal(s, SIG_DFL);
            std::vector<char*> argv{const_cast<char*>(PIXDELTA_BINARY)};
            for (const auto& a : r.args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            if (chdir(dir.c_str()) == 0)
                execv(PIXDELTA_BINARY, argv.data());
            _exit(127);
        }
        int fifo = -1;
        ASSERT_TRUE(within_seconds([&] {
            return (fifo = open(path("in.img").c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
        }));
        Bytes start = u16_image(100, 100, std::vector<std::uint16_t>(100 * 10, 9), "c").file();
        EXPECT_EQ(write(fifo, start.data(), start.size()), static_cast<ssize_t>(start.size()));
        EXPECT_TRUE(within_seconds([&] {
            for (const auto& name : listing(dir))
                if (name.starts_with(".pixconvert-") &&
                    std::filesystem::exists(path(name + "/partial")))
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
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == r.signal_number) << status;
        EXPECT_EQ(listing(dir), std::vector<std::string>{"in.img"});
    }
}

// The switch to BigTIFF at its boundary: the estimate is even, so one byte
// of comment (counted twice) steps it from 2^32 - 2 to 2^32. The last row
// would wrap in 32 bits.
TEST(Tiff, BigTiffFromFourGibibytes)
{
    const struct {
        std::uint64_t x, y;
        unsigned bytes;
        std::uint64_t comment;
        bool big;
    } rows[] = {
        {65535, 32760, 2, 32723, false}, {65535, 32760, 2, 32724, true},
        {65535, 32768, 2, 0, true},      {65535, 65535, 8, 0, true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(needs_bigtiff(r.x, r.y, r.bytes, r.comment), r.big)
            << r.x << "x" << r.y << " of " << r.bytes << ", comment " << r.comment;
}

} // namespace
