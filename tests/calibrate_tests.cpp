// pixcalibrate: what the comparison with ccdproc (calibrate_ccdproc.py)
// cannot show, called directly: the exact mean at the ends of binary64's
// range and at its rounding ties, and the rounding to uint16 at each
// bound. Then runs of the binary: streams, status, the outputs' bytes, and
// no output and no temporary file after a failure, for one frame and many.
#include "calibrate/calibrate.h"
#include "image/frame_statistics.h"
#include "image/pixel_block.h"
#include "image/velkin.h"
#include "support.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <pty.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>

using namespace tests;
using namespace calibrate;
using namespace img;

namespace {

const double inf = INFINITY, nan = NAN, tiny = DBL_TRUE_MIN, dmax = DBL_MAX;

std::uint64_t bits(double v)
{
    return std::bit_cast<std::uint64_t>(v);
}

// The expected means are Python's exact Fraction sums divided by the count.
TEST(ExactMean, CorrectlyRoundedWhateverTheValues)
{
    const std::pair<std::vector<double>, double> cases[] = {
        {{1.0, 2.0}, 1.5},
        {{dmax, dmax, dmax}, dmax},                      // no overflow on the way
        {{-dmax, -dmax}, -dmax},
        {{dmax, -dmax, 1.0}, 0x1.5555555555555p-2},       // cancellation, then 1/3
        {{1e16, 1.0, -1e16}, 0x1.5555555555555p-2},       // naive: 0
        {{0x1p1023, 0x1p1023, tiny}, 0x1.5555555555555p+1022},
        {{1e300, 1e-300}, 0x1.7e43c8800759cp+995},
        {std::vector<double>(10, 0.1), 0.1},              // naive: 0.09999999999999999
        {std::vector<double>(4099, 0.1), 0.1},            // past the lanes, with a remainder
        {{tiny, 0.0}, 0.0},                               // half the smallest step: to even
        {{3 * tiny, 0.0}, 2 * tiny},                      // 1.5 steps: to even
        {{tiny, tiny, tiny, 0.0}, tiny},
        {{-tiny, 0.0, 0.0}, -0.0},                        // a negative mean that rounds to 0
        {{-0.0, -0.0}, 0.0},                              // an exact 0 is +0
        {{1e-320, 3e-320, 2.5e-308}, 0x0.5fe080ec04c8fp-1022}, // subnormals and normals
        {{0x1p-1022 - tiny, 0x1p-1022}, 0x1p-1022},      // a tie at the first normal
        {{1.0, 0x1.0000000000001p0}, 1.0},                // a tie: to even
        {{0x1.0000000000001p0, 0x1.0000000000002p0}, 0x1.0000000000002p0},
        // A tie, but for 2^-1074 a thousand bits below it, which decides.
        {{1.0, 0x1.0000000000001p0, 2 * tiny, -tiny}, 0x1.0000000000001p-1},
        {{1.0, 0x1.0000000000001p0, tiny, -tiny}, 0x1p-1},
        {{nan, inf, -inf, 1.0, 3.0}, 2.0},                // of the finite values only
        // Magnitudes within 2^10 of each other, zeros aside: summed in two
        // halves of 32 bits.
        {{-3.0, 1.5, 2.25, -0.125}, 0.15625},
        {{0x1.fffffffffffffp0, 0x1.0000000000001p-9, -0x1.123456789abcdp-3, 0x1.fedcba9876543p+0, 0.0, -0.0},
         0x1.49b20fedcba98p-1},
    };
    for (const auto& [values, mean] : cases) {
        for (bool reversed : {false, true}) {
            std::vector<double> v = values;
            if (reversed)
                std::reverse(v.begin(), v.end());
            Exact_Sum sum;
            ASSERT_TRUE(prepare_exact_sum(sum));
            add_binary64(sum, v.data(), v.size());
            EXPECT_EQ(bits(finite_mean(sum)), bits(mean)) << ::testing::PrintToString(v);
            release_exact_sum(sum);
        }
    }
    for (const std::vector<double>& none : {std::vector<double>{}, {nan, -inf}}) {
        Exact_Sum sum;
        ASSERT_TRUE(prepare_exact_sum(sum));
        add_binary64(sum, none.data(), none.size());
        EXPECT_TRUE(std::isnan(finite_mean(sum)));
        release_exact_sum(sum);
    }
}

// uint16 values summed as whole numbers, with binary64 ones in one sum, from
// file bytes at odd addresses.
TEST(ExactMean, Uint16AndBinary64ValuesTogether)
{
    Exact_Sum sum;
    ASSERT_TRUE(prepare_exact_sum(sum));
    const Bytes u = "x" + le16({65535, 65535, 65535, 0, 2}), f = "x" + le64({0.5, nan});
    add_values(sum, reinterpret_cast<const unsigned char*>(u.data() + 1), 5, type_uint16);
    add_values(sum, reinterpret_cast<const unsigned char*>(f.data() + 1), 2, type_binary64);
    EXPECT_EQ(bits(finite_mean(sum)), bits(0x1.ffffaaaaaaaabp+14)); // 196607.5 / 6
    release_exact_sum(sum);
}

// The whole frame from a file, by chunks, values below the floor raised:
// -inf too, a NaN never; a file cut short says where.
TEST_F(In_Temp_Dir, FrameFiniteMeanReadsTheWholeBlock)
{
    std::vector<double> values(70000, 4.0);
    values[0] = -inf, values[1] = nan, values[69999] = 1.0; // (69997 * 4 + 2 + 2) / 69999
    const Bytes file = f64_image(700, 100, values, "c").file();
    for (std::size_t cut : {file.size(), file.size() - 8 * 5000}) {
        put("flat", file.substr(0, cut));
        int fd = open(path("flat").c_str(), O_RDONLY);
        Velkin_Header header;
        Pixel_Block block;
        std::uint64_t obtained = 0, finite = 0;
        double mean = 0, floor = 2;
        ASSERT_EQ(read_header_and_comment(fd, header), Header_Status::ok);
        open_pixel_block(fd, header, nullptr, block, obtained);
        const Statistic_Status status = frame_finite_mean(block, &floor, mean, finite, obtained);
        if (cut == file.size()) {
            EXPECT_EQ(status, Statistic_Status::ok);
            EXPECT_EQ(bits(mean), bits(0x1.fffe20a4e546ep+1)); // 279992 / 69999
            EXPECT_EQ(finite, 69999u);
        } else {
            EXPECT_EQ(status, Statistic_Status::short_block);
            EXPECT_EQ(obtained, 65000u);
        }
        release_comment(header);
        close(fd);
    }
}

TEST(ToUint16, RoundsToEvenAndCountsWhatItClamps)
{
    struct Row {
        double in;
        std::uint16_t out;
        const char* clamped; // "", "below", "above", "nan"
    };
    const Row rows[] = {
        {-0.5, 0, ""}, {std::nextafter(-0.5, -1.0), 0, "below"}, {-0.0, 0, ""}, {0.5, 0, ""},
        {1.5, 2, ""}, {2.5, 2, ""}, {0.49999999999999994, 0, ""}, {65534.5, 65534, ""},
        {std::nextafter(65535.5, 0.0), 65535, ""}, {65535.5, 65535, "above"}, {65536, 65535, "above"},
        {0x1p52 + 1, 65535, "above"}, {-0x1p60, 0, "below"}, {inf, 65535, "above"}, {-inf, 0, "below"},
        {nan, 0, "nan"}, {-nan, 0, "nan"}, {tiny, 0, ""}, {32767.5, 32768, ""}, {dmax, 65535, "above"},
    };
    for (const Row& row : rows) {
        Bytes out = "#" + Bytes(2, '\0') + "#";
        Clamped c;
        double in = row.in;
        to_uint16(&in, 1, reinterpret_cast<unsigned char*>(out.data() + 1), c);
        EXPECT_EQ(out, "#" + le16({row.out}) + "#") << row.in;
        const std::string kind = c.below ? "below" : c.above ? "above" : c.nan ? "nan" : "";
        EXPECT_EQ(kind, row.clamped) << row.in;
        EXPECT_LE(c.below + c.above + c.nan, 1u);
    }
}

// ---- Runs of the binary ----

const Bytes usage =
    "usage: pixcalibrate [--bias B] [--dark D [--dark-scale R]] [--flat F [--flat-min V]]\n"
    "                    [--offset N] [--type binary64|uint16] -o OUT IN\n"
    "       pixcalibrate ... -d OUTDIR IN...\n"
    "       pixcalibrate --help | --version\n";
const Bytes version = PROJECT_VERSION;

// A 3 x 2 night frame and masters whose every step is exact: with R = 0.5,
// V = 1 and a flat whose mean is 2,
//   v - B - R * D       895  1890  65435  -102  401  -93
//   / (F / m)           447.5 1890 130870 -102  802  -93
//   + 0.5               448  1890.5 130870.5 -101.5 802.5 -92.5
const Image night = u16_image(3, 2, {1000, 2000, 65535, 0, 500, 7}, "night", 'N');
const Image bias = u16_image(3, 2, {100, 100, 100, 100, 100, 100}, "bias", 'B');
const Image dark = f64_image(3, 2, {10, 20, 0, 4, -2, 0}, "dark");
const Image flat = u16_image(3, 2, {4, 2, 1, 2, 0, 2}, "flat", 'F');
const std::vector<double> calibrated = {448, 1890.5, 130870.5, -101.5, 802.5, -92.5};
const std::vector<std::uint16_t> calibrated16 = {448, 1890, 65535, 0, 802, 0};
const std::vector<std::string> all_steps = {"--bias", "bias", "--dark", "dark", "--dark-scale", "0.5",
                                            "--flat", "flat", "--flat-min", "1", "--offset", "0.5"};
const Bytes record = "pixcalibrate " + version +
                     ": bias=\"bias\" dark=\"dark\" dark-scale=0.5 flat=\"flat\" flat-min=1 flat-mean=2 offset=0.5";

// An output: IN's header with the type and comment length changed, IN's
// comment and the record line, then the values.
Bytes output(const Image& in, std::uint16_t type, const Bytes& line, const Bytes& values)
{
    Image out = in;
    out.file_type = type;
    out.comment += (in.comment.empty() || in.comment.back() == '\n' ? "" : "\n") + line;
    out.values = values;
    return out.file();
}

const Bytes made64 = output(night, 10, record + " type=binary64", le64(calibrated));
const Bytes made16 = output(night, 2, record + " type=uint16", le16(calibrated16));
const Bytes clamped16 = "pixcalibrate: night: 3 values clamped to 0..65535 (2 below 0, 1 above 65535, 0 NaN as 0)\n";

std::vector<std::string> args(std::vector<std::string> front, std::vector<std::string> back = {"-o", "out", "night"})
{
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

struct Case {
    const char* what;
    std::vector<std::pair<std::string, Bytes>> files = {
        {"night", night.file()}, {"bias", bias.file()}, {"dark", dark.file()}, {"flat", flat.file()}};
    std::vector<std::string> args = ::args(all_steps);
    Run_Options options = {};
    int status = 0;
    Bytes out = "", err = "";
    // Every file the folder holds afterwards besides `files`, which must
    // come out unchanged but where they are made anew (a folder as "NAME/").
    std::vector<std::pair<std::string, Bytes>> made = {{"out", made64}};
};

struct Calibrate_Cli : In_Temp_Dir {
    std::set<std::string> names() const
    {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
            found.insert(entry.path().lexically_relative(dir).string() + (entry.is_directory() ? "/" : ""));
        return found;
    }

    void check(const std::vector<Case>& cases)
    {
        for (const Case& k : cases) {
            SCOPED_TRACE(*k.what ? k.what : k.err);
            std::filesystem::remove_all(dir);
            std::filesystem::create_directory(dir);
            std::set<std::string> expected;
            for (const auto& [name, bytes] : k.files) {
                if (name.back() == '/')
                    std::filesystem::create_directories(path(name));
                else
                    put(name, bytes);
                expected.insert(name);
            }
            Run_Result r = run(k.args, k.options);
            EXPECT_EQ(r.status, k.status);
            EXPECT_EQ(r.out, k.out);
            EXPECT_EQ(r.err, k.err);
            for (const auto& [name, bytes] : k.made) {
                expected.insert(name);
                if (name.back() != '/') {
                    EXPECT_EQ(get(name), bytes) << name;
                }
            }
            EXPECT_EQ(names(), expected);
            for (const auto& [file, bytes] : k.files) {
                const std::string& name = file;
                const auto replaced = [&](const auto& m) { return m.first == name; };
                if (name.back() != '/' && std::none_of(k.made.begin(), k.made.end(), replaced)) {
                    EXPECT_EQ(get(name), bytes) << name;
                }
            }
        }
    }
};

const int U = 2, F = 1;

// A run that fails with this message (and the usage text, for wrong usage)
// and makes nothing.
Case fails(int status, std::vector<std::string> arguments, const Bytes& message, std::vector<std::pair<std::string, Bytes>> files = Case{""}.files)
{
    return {.what = "", .files = std::move(files), .args = std::move(arguments), .status = status,
            .err = "pixcalibrate: " + message + "\n" + (status == U ? usage : ""), .made = {}};
}

// The files of a case with one of them replaced, or added; "NAME/" as a
// folder replaces the file NAME.
std::vector<std::pair<std::string, Bytes>> with(const std::string& name, const Bytes& bytes)
{
    auto files = Case{""}.files;
    for (auto& [n, b] : files)
        if (n == name || n + "/" == name) {
            n = name;
            b = bytes;
            return files;
        }
    files.emplace_back(name, bytes);
    return files;
}

TEST_F(Calibrate_Cli, ValuesHeaderAndRecord)
{
    const Image f64 = f64_image(2, 1, {-0.0, 1.0}, "line\n");
    const Image flat2 = f64_image(2, 1, {0.0, 2.0});
    const Bytes plain = "pixcalibrate " + version + ":";
    check({
        {.what = "every step, binary64"},
        {.what = "every step, uint16, an older OUT replaced",
         .files = {{"night", night.file()}, {"bias", bias.file()}, {"dark", dark.file()}, {"flat", flat.file()}, {"out", "old"}},
         .args = args(all_steps, {"--type", "uint16", "-o", "out", "night"}), .err = clamped16,
         .made = {{"out", made16}}},
        {.what = "-- before an IN named like an option",
         .files = {{"-n", night.file()}, {"bias", bias.file()}, {"dark", dark.file()}, {"flat", flat.file()}},
         .args = args({"-o", "out"}, args(all_steps, {"--", "-n"})), .err = "",
         .made = {{"out", made64}}},
        // No step is done with a neutral value: -0 - 0 is -0, but -0 + 0 is +0.
        {.what = "no step at all", .files = {{"in", f64.file()}}, .args = {"-o", "out", "in"},
         .made = {{"out", output(f64, 10, plain + " type=binary64", le64({-0.0, 1.0}))}}},
        {.what = "an offset of 0", .files = {{"in", f64.file()}}, .args = {"--offset", "0", "-o", "out", "in"},
         .made = {{"out", output(f64, 10, plain + " offset=0 type=binary64", le64({0.0, 1.0}))}}},
        // A zero in the flat gives what IEEE 754 gives.
        {.what = "a zero in the flat", .files = {{"in", f64_image(2, 1, {-3, 1}).file()}, {"f", flat2.file()}},
         .args = {"--flat", "f", "-o", "out", "in"},
         .made = {{"out", output(f64_image(2, 1, {-3, 1}), 10, plain + " flat=\"f\" flat-mean=1 type=binary64",
                                 le64({-inf, 0.5}))}}},
        // Names as one line of ASCII; -inf raised to V counts in the mean,
        // a NaN never: (2 + 2 + 5) / 3.
        {.what = "names quoted, a NaN in the flat",
         .files = {{"in", f64.file()}, {"f\"l\\a\nt", f64_image(2, 2, {-inf, nan, 1, 5}).file()},
                   {"b\xC3\xA9 \x01", f64_image(2, 2, {0, 0, 0, 0}).file()}},
         .args = {"--flat", "f\"l\\a\nt", "--flat-min", "2", "--bias", "b\xC3\xA9 \x01", "-o", "out", "in"},
         .status = F, .err = "pixcalibrate: in: 2x1, but the bias b\xC3\xA9 \x01 is 2x2\n", .made = {}},
        {.what = "names quoted, a NaN in the flat, sizes agreeing",
         .files = {{"in", f64_image(2, 2, {3, 6, 9, 12}).file()}, {"f\"l\\a\nt", f64_image(2, 2, {-inf, nan, 1, 5}).file()},
                   {"b\xC3\xA9 \x01\x7F", f64_image(2, 2, {0, 0, 0, 0}).file()}},
         .args = {"--flat", "f\"l\\a\nt", "--flat-min", "2", "--bias", "b\xC3\xA9 \x01\x7F", "-o", "out", "in"},
         .made = {{"out", output(f64_image(2, 2, {3, 6, 9, 12}), 10,
                                 plain + " bias=\"b\\xC3\\xA9 \\x01\\x7F\" flat=\"f\\\"l\\\\a\\x0At\" flat-min=2 flat-mean=3 type=binary64",
                                 le64({4.5, nan, 13.5, 0x1.cccccccccccccp+2}))}}}, // 12 * 3 / 5 is 7.2
    });
}

TEST_F(Calibrate_Cli, WrongUsage)
{
    check({
        fails(U, {}, "-o OUT or -d OUTDIR is needed"),
        fails(U, {"-o", "out"}, "at least one IN is needed"),
        fails(U, {"-o", "out", "night", "bias"}, "-o takes one IN; for several, -d OUTDIR"),
        fails(U, {"-o", "out", "-d", "x", "night"}, "-o and -d exclude each other"),
        fails(U, {"--dark-scale", "2", "-o", "out", "night"}, "--dark-scale needs --dark"),
        fails(U, {"--flat-min", "2", "-o", "out", "night"}, "--flat-min needs --flat"),
        fails(U, {"--dark", "dark", "--dark-scale", "inf", "-o", "out", "night"}, "--dark-scale takes a finite number"),
        fails(U, {"--dark", "dark", "--dark-scale", " 2", "-o", "out", "night"}, "--dark-scale takes a finite number"),
        fails(U, {"--flat", "flat", "--flat-min", "1e999", "-o", "out", "night"}, "--flat-min takes a finite number"),
        fails(U, {"--offset", "100x", "-o", "out", "night"}, "--offset takes a finite number"),
        fails(U, {"--offset", "", "-o", "out", "night"}, "--offset takes a finite number"),
        fails(U, {"--type", "float", "-o", "out", "night"}, "--type takes binary64 or uint16"),
        fails(U, {"--bias", "--dark", "dark", "-o", "out", "night"}, "--bias needs a file name"),
        fails(U, {"-o", "out", "night", "-d"}, "-d needs a folder name"),
        fails(U, {"--bias", "bias", "--bias", "bias", "-o", "out", "night"}, "--bias is given twice"),
        fails(U, {"--scale", "-o", "out", "night"}, "unknown option --scale"),
        fails(U, {"--version", "-o", "out"}, "--version goes alone"),
        {.what = "help", .args = {"--help"}, .out = usage +
            "Calibrates each IN: subtracts the bias B and the dark D times R, divides\n"
            "by the flat F over the mean of its finite values, adds N. See pixcalibrate(1).\n", .made = {}},
        {.what = "version", .args = {"--version"}, .out = "pixcalibrate " + version + "\n", .made = {}},
        {.what = "version to a full disk", .args = {"--version"},
         .options = {.shell = "exec \"$0\" \"$@\" > /dev/full"}, .status = F, .made = {}},
        {.what = "a negative offset, a number in any form",
         .args = {"--offset", "-1e2", "--type", "uint16", "-o", "out", "night"},
         .err = "pixcalibrate: night: 2 values clamped to 0..65535 (2 below 0, 0 above 65535, 0 NaN as 0)\n",
         .made = {{"out", output(night, 2, "pixcalibrate " + version + ": offset=-100 type=uint16",
                                 le16({900, 1900, 65435, 0, 400, 0}))}}},
    });
}

// A master is checked once, before any frame: one that cannot serve stops
// the run, and nothing is made.
TEST_F(Calibrate_Cli, MastersThatCannotServeStopTheRun)
{
    Image type3 = flat, mi = bias;
    type3.file_type = 3;
    mi.magic = "MI";
    const Image zeros = u16_image(3, 2, {0, 0, 0, 0, 0, 0});
    const std::vector<std::string> plain = {"--bias", "bias", "--dark", "dark", "--flat", "flat", "-o", "out", "night"};
    check({
        fails(F, plain, "bias: cannot open: No such file or directory", {{"night", night.file()}, {"dark", dark.file()}, {"flat", flat.file()}}),
        fails(F, plain, "bias: cannot open: Is a directory", with("bias/", "")),
        fails(F, plain, "bias: cut short in its 64-byte header", with("bias", "")),
        fails(F, plain, "bias: not an image: it does not begin with \"IM\"", with("bias", mi.file())),
        fails(F, plain, "bias: cut short in its comment of 4 bytes", with("bias", bias.file().substr(0, 66))),
        fails(F, plain, "flat: unknown pixel type 3 (known: 2 for uint16, 10 for binary64)", with("flat", type3.file())),
        fails(F, plain, "dark: cut short: 5 of 6 values", with("dark", dark.file().substr(0, dark.file().size() - 1))),
        fails(F, plain, "flat: no finite value to normalize the flat by",
              with("flat", f64_image(3, 2, {nan, inf, -inf, nan, nan, nan}).file())),
        fails(F, plain, "flat: the mean of its finite values is 0, not above 0: it cannot normalize a flat",
              with("flat", zeros.file())),
        fails(F, plain, "flat: the mean of its finite values is -1.5, not above 0: it cannot normalize a flat",
              with("flat", f64_image(3, 2, {-1, -2, -1, -2, -1, -2}).file())),
        {.what = "a flat of zeros raised by --flat-min", .files = with("flat", zeros.file()),
         .args = {"--flat", "flat", "--flat-min", "0.5", "-o", "out", "night"},
         .made = {{"out", output(night, 10, "pixcalibrate " + version + ": flat=\"flat\" flat-min=0.5 flat-mean=0.5 type=binary64",
                                 le64({1000, 2000, 65535, 0, 500, 7}))}}},
    });
}

// A FIFO as a master is refused at once: it could be read only once, and
// opening it must not wait for a writer that never comes.
TEST_F(Calibrate_Cli, AFifoAsAMasterIsRefusedWithoutWaiting)
{
    put("night", night.file());
    ASSERT_EQ(mkfifo(path("bias").c_str(), 0600), 0);
    Run_Result r = run({"--bias", "bias", "-o", "out", "night"}, {.seconds = 60});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixcalibrate: bias: not a regular file: a master is read again for every frame\n");
    EXPECT_EQ(get("out"), std::nullopt);
}

TEST_F(Calibrate_Cli, AFrameThatFailsLeavesNoOutput)
{
    Image type3 = night, mi = night;
    type3.file_type = 3;
    mi.magic = "MI";
    const Bytes n = night.file(), short_n = n.substr(0, n.size() - 1);
    const Bytes long_n = u16_image(200, 200, std::vector<std::uint16_t>(40000, 9)).file();
    check({
        fails(F, args(all_steps, {"-o", "out", "nothing"}), "nothing: cannot open: No such file or directory"),
        fails(F, args(all_steps, {"-o", "out", "sub"}), "sub: cannot open: Is a directory", with("sub/", "")),
        fails(F, args(all_steps), "night: cut short in its 64-byte header", with("night", n.substr(0, 63))),
        fails(F, args(all_steps), "night: not an image: it does not begin with \"IM\"", with("night", mi.file())),
        fails(F, args(all_steps), "night: cut short in its comment of 5 bytes", with("night", n.substr(0, 68))),
        fails(F, args(all_steps), "night: unknown pixel type 3 (known: 2 for uint16, 10 for binary64)", with("night", type3.file())),
        fails(F, args(all_steps), "night: cut short: 5 of 6 values", with("night", short_n)),
        fails(F, args(all_steps), "night: 3x2, but the flat flat is 2x3",
              with("flat", u16_image(2, 3, {4, 2, 1, 2, 0, 2}).file())),
        fails(F, args(all_steps), "night: 3x2, but the bias bias is 3x1", with("bias", u16_image(3, 1, {1, 2, 3}).file())),
        fails(F, args(all_steps), "night: 3x2, but the dark dark is 2x2", with("dark", f64_image(2, 2, {1, 2, 3, 4}).file())),
        fails(F, args(all_steps, {"-o", "./night", "night"}), "./night: is the same file as the input night"),
        fails(F, args(all_steps, {"-o", "dark", "night"}), "dark: is the same file as the dark dark"),
        fails(F, args(all_steps, {"-o", "sub", "night"}), "sub: not a regular file, and the result would replace it",
              with("sub/", "")),
        fails(F, args(all_steps, {"-o", "no/out", "night"}), "no/out: cannot create: No such file or directory"),
        {.what = "past the file size limit", .options = {.file_size_limit = 100}, .status = F,
         .err = "pixcalibrate: out: cannot write: File too large\n", .made = {}},
        {.what = "IN from a pipe, in pieces", .args = args(all_steps, {"-o", "out", "/dev/stdin"}),
         .options = {.stdin_pieces = {n.substr(0, 30), n.substr(30, 42), n.substr(72)}},
         .made = {{"out", made64}}},
        {.what = "IN from a pipe, one byte short", .args = args(all_steps, {"-o", "out", "/dev/stdin"}),
         .options = {.stdin_pieces = {short_n}}, .status = F,
         .err = "pixcalibrate: /dev/stdin: cut short: 5 of 6 values\n", .made = {}},
        {.what = "IN from a pipe, a value short past the first chunk", .args = {"-o", "out", "/dev/stdin"},
         .options = {.stdin_pieces = {long_n.substr(0, long_n.size() - 2)}}, .status = F,
         .err = "pixcalibrate: /dev/stdin: cut short: 39999 of 40000 values\n", .made = {}},
    });
}

// Cases that need the tool's own process: faults preloaded into it, its
// descriptors closed, which an emulator in between would not pass on.
TEST_F(Calibrate_Cli, FaultsAndClosedDescriptors)
{
    check({
        {.what = "a failing read", .options = {.fault = "pread"}, .status = F,
         .err = "pixcalibrate: flat: cut short: 0 of 6 values\n", .made = {}},
        {.what = "a hidden file beside OUT, past the size limit", .options = {.file_size_limit = 100, .fault = "no_tmpfile"},
         .status = F, .err = "pixcalibrate: out: cannot write: File too large\n", .made = {}},
        {.what = "a hidden file beside OUT", .options = {.fault = "no_tmpfile"}},
        {.what = "closing OUT fails", .options = {.fault = "close"}, .status = F,
         .err = "pixcalibrate: out: cannot put the result in place: Input/output error\n", .made = {}},
        {.what = "all standard descriptors closed", .options = {.shell = "exec \"$0\" \"$@\" <&- >&- 2>&-"}},
    });
}

// The record line goes where the comment has room for it, its line feed
// included, up to 65535 bytes; otherwise it is left out, and said.
TEST_F(Calibrate_Cli, TheRecordLineOnlyWhereItFits)
{
    const Bytes line = "pixcalibrate " + version + ": type=uint16";
    const std::size_t room = 65535 - 1 - line.size();
    const Image fits = u16_image(1, 1, {5}, Bytes(room, 'c')), full = u16_image(1, 1, {5}, Bytes(room + 1, 'c'));
    check({
        {.what = "just fits", .files = {{"in", fits.file()}}, .args = {"--type", "uint16", "-o", "out", "in"},
         .made = {{"out", output(fits, 2, line, le16({5}))}}},
        {.what = "one byte too many", .files = {{"in", full.file()}}, .args = {"--type", "uint16", "-o", "out", "in"},
         .err = "pixcalibrate: in: the record line is left out: the comment would pass 65535 bytes\n",
         .made = {{"out", full.file()}}},
    });
}

// Each IN goes to OUTDIR under its own name; a frame that fails is named,
// the others are made, and the run ends with 1.
TEST_F(Calibrate_Cli, ManyFramesIntoAFolder)
{
    // 100 - B - R * D is -5 -10 0 -2 1 0; over F / m, plus 0.5:
    const Image two = u16_image(3, 2, {100, 100, 100, 100, 100, 100}, "", 'T');
    const Bytes made_two = output(two, 10, record + " type=binary64", le64({-2, -9.5, 0.5, -1.5, 2.5, 0.5}));
    const auto files = [&](std::vector<std::pair<std::string, Bytes>> more) {
        auto f = Case{""}.files;
        f.insert(f.end(), more.begin(), more.end());
        return f;
    };
    check({
        {.what = "a new folder and the one above it", .files = files({{"sub/", ""}, {"sub/two", two.file()}}),
         .args = args(all_steps, {"-d", "a/b", "night", "sub/two"}),
         .made = {{"a/", ""}, {"a/b/", ""}, {"a/b/night", made64}, {"a/b/two", made_two}}},
        {.what = "an existing folder, uint16 values clamped", .files = files({{"a/", ""}, {"two", two.file()}}),
         .args = args(all_steps, {"--type", "uint16", "-d", "a/", "night", "two"}),
         .err = clamped16 + "pixcalibrate: two: 3 values clamped to 0..65535 (3 below 0, 0 above 65535, 0 NaN as 0)\n",
         .made = {{"a/night", made16}, {"a/two", output(two, 2, record + " type=uint16", le16({0, 0, 0, 0, 2, 0}))}}},
        {.what = "a frame that fails between two that are made",
         .files = files({{"two", two.file()}, {"bad", "IM"}}), .args = args(all_steps, {"-d", "a", "night", "bad", "two"}),
         .status = F, .err = "pixcalibrate: bad: cut short in its 64-byte header\n"
                             "pixcalibrate: 1 of 3 frames failed; the others are made\n",
         .made = {{"a/", ""}, {"a/night", made64}, {"a/two", made_two}}},
        {.what = "a frame in OUTDIR itself", .args = args(all_steps, {"-d", ".", "night"}), .status = F,
         .err = "pixcalibrate: ./night: is the same file as the input night\n"
                "pixcalibrate: 1 of 1 frames failed; the others are made\n", .made = {}},
        fails(F, args(all_steps, {"-d", "a", "night", "sub/night", "x/two"}), "night and sub/night: both would be written to a/night",
              files({{"sub/", ""}, {"sub/night", night.file()}})),
        fails(F, args(all_steps, {"-d", "night", "dark"}), "night: not a folder"),
        fails(F, args(all_steps, {"-d", "bias/x", "night"}), "bias/x: cannot create: Not a directory"),
    });
}

// A master cut short by another program between two frames: the frames
// from then on fail, naming it, and the one made before stays. The second
// frame is a FIFO whose bytes the test sends once the first frame is made.
TEST_F(Calibrate_Cli, AMasterCutDuringTheRunFailsTheFramesAfter)
{
    for (const auto& [name, bytes] : Case{""}.files)
        put(name, bytes);
    put("again", night.file());
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    auto cut_dark = [&] {
        int fifo = open(path("fifo").c_str(), O_WRONLY);
        for (int tries = 0; tries < 60000 && !get("a/night"); ++tries)
            usleep(1000);
        std::filesystem::resize_file(path("dark"), 64 + 4 + 8 * 3);
        (void)!write(fifo, night.file().data(), night.file().size());
        close(fifo);
    };
    Run_Result r = run(args(all_steps, {"-d", "a", "night", "fifo", "again"}), {.while_running = cut_dark});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixcalibrate: dark: cut short: 3 of 6 values, calibrating fifo\n"
                     "pixcalibrate: dark: cut short: 3 of 6 values, calibrating again\n"
                     "pixcalibrate: 2 of 3 frames failed; the others are made\n");
    EXPECT_EQ(get("a/night"), made64);
    EXPECT_EQ(get("a/fifo"), std::nullopt);
}

// A signal between two frames: the run ends by it, the frame made before
// stays, and nothing else is left. The second frame is a FIFO that no one
// writes, where the run waits; a run that lets no signal in is killed after
// a minute instead (137). An ended run is a zombie until the shell reaps
// it, which it may do at any command.
TEST_F(Calibrate_Cli, ASignalBetweenFramesLeavesTheFramesMade)
{
    for (const auto& [name, bytes] : Case{""}.files)
        put(name, bytes);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    Run_Result r = run(args(all_steps, {"-d", "a", "night", "fifo", "again"}),
                       {.shell = "\"$0\" \"$@\" & tool=$!; n=0; while [ ! -e a/night ] && [ $((n += 1)) -lt 6000 ]; do "
                                 "sleep 0.01; done; sleep 0.2; "
                                 "kill -TERM $tool; n=0; while state=$(cut -d' ' -f3 /proc/$tool/stat 2>/dev/null) && "
                                 "[ \"$state\" != Z ] && [ $((n += 1)) -lt 6000 ]; do sleep 0.01; done; "
                                 "kill -KILL $tool 2>/dev/null; wait $tool; echo $? >&2"});
    // 128 + SIGTERM, after what the shell says of its job, if anything.
    EXPECT_TRUE(r.err == "143\n" || r.err.ends_with("\n143\n")) << r.err;
    EXPECT_EQ(get("a/night"), made64);
    EXPECT_EQ(names(), (std::set<std::string>{"night", "bias", "dark", "flat", "fifo", "a/", "a/night"}));
}

// Progress on a terminal: frames done, of how many, and the rate, rewritten
// in place, the last with a line feed; the messages on lines of their own.
TEST_F(Calibrate_Cli, ProgressOnlyOnATerminal)
{
    for (const auto& [name, bytes] : Case{""}.files)
        put(name, bytes);
    int terminal = -1, child_side = -1;
    ASSERT_EQ(openpty(&terminal, &child_side, nullptr, nullptr, nullptr), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(child_side, 2);
        close(terminal);
        close(child_side);
        alarm(60);
        execl(PIXDELTA_BINARY, PIXDELTA_BINARY, "--bias", path("bias").c_str(), "--type", "uint16", "-d",
              path("a").c_str(), path("night").c_str(), path("nothing").c_str(), path("dark").c_str(), nullptr);
        _exit(127);
    }
    close(child_side);
    Bytes shown;
    char buffer[4096];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) // EIO once the child is gone
        shown.append(buffer, static_cast<std::size_t>(got));
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // The rates vary: each is replaced by R before the comparison.
    std::string seen;
    for (std::size_t k = 0; k < shown.size(); ++k) {
        seen += shown[k];
        if (shown.compare(k, 8, "frames, ") == 0) {
            seen += "rames, R";
            for (k += 8; k < shown.size() && (std::isdigit(static_cast<unsigned char>(shown[k])) || shown[k] == '.');)
                ++k;
            --k;
        }
    }
    const Bytes clear = "\r\033[K", name = "pixcalibrate: " + path("");
    EXPECT_EQ(seen, name + "night: 2 values clamped to 0..65535 (2 below 0, 0 above 65535, 0 NaN as 0)\r\n"
                    "\rpixcalibrate: 1 of 3 frames, R frames/s" + clear + name +
                    "nothing: cannot open: No such file or directory\r\n"
                    "\rpixcalibrate: 2 of 3 frames, R frames/s" + clear + name +
                    "dark: 6 values clamped to 0..65535 (6 below 0, 0 above 65535, 0 NaN as 0)\r\n"
                    "\rpixcalibrate: 3 of 3 frames, R frames/s\r\n"
                    "pixcalibrate: 1 of 3 frames failed; the others are made\r\n");
}

// Sparse files, each a hole but for a value or two: frames of 32 MiB and
// masters of 128 MiB, far more than the address-space limit allows to hold,
// with the longest comment.
TEST_F(Calibrate_Cli, LargeFramesRunWithin32MiB)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the limit";
#endif
    const std::uint16_t x = 4096, y = 4096;
    const std::uint64_t n = std::uint64_t{x} * y;
    const auto sparse = [&](const std::string& name, const Image& start, std::uint64_t size, const Bytes& last) {
        put(name, start.header() + start.comment);
        std::filesystem::resize_file(path(name), 64 + start.comment.size() + n * size);
        std::fstream f(path(name), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(64 + start.comment.size() + (n - 1) * size)) << last;
    };
    const Image frame{2, x, y, Bytes(65535, 'c'), "", 0, "IM", std::nullopt}, master{10, x, y, "", "", 0, "IM", std::nullopt};
    sparse("one", frame, 2, le16({1000}));
    sparse("two", frame, 2, le16({3}));
    // Every flat value 0, raised to 1: the flat's mean is 1, and each frame's
    // value stays as it is but for the bias, dark and offset.
    sparse("bias", master, 8, le64({100}));
    sparse("dark", master, 8, le64({-4}));
    sparse("flat", master, 8, le64({0}));
    Run_Result r = run({"--bias", "bias", "--dark", "dark", "--dark-scale", "0.25", "--flat", "flat", "--flat-min", "1",
                        "--offset", "7", "--type", "uint16", "-d", "out", "one", "two"},
                       {.address_space_limit = 32 << 20});
    EXPECT_EQ(r.status, 0);
    const Bytes left_out = ": the record line is left out: the comment would pass 65535 bytes\n";
    EXPECT_EQ(r.err, "pixcalibrate: one" + left_out + "pixcalibrate: two" + left_out +
                         "pixcalibrate: two: 1 values clamped to 0..65535 (1 below 0, 0 above 65535, 0 NaN as 0)\n");
    Bytes sevens(2 * n, '\0');
    for (std::uint64_t i = 0; i < n; ++i)
        sevens[2 * i] = 7;
    for (const auto& [name, last] : {std::pair{"one", 908}, std::pair{"two", 0}}) {
        sevens.replace(2 * (n - 1), 2, le16({static_cast<std::uint16_t>(last)}));
        EXPECT_TRUE(get(std::string("out/") + name) == frame.header() + frame.comment + sevens) << name;
    }
}

} // namespace
