// pixcombine: the arithmetic's corner cases, called directly; then runs of
// the binary, checked for their standard output and error, exit status,
// OUT's bytes, and that a failed run leaves no OUT and no temporary file.
#include "combine/combine.h"
#include "image/velkin.h"
#include "support.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double sub = std::numeric_limits<double>::denorm_min();
const double dmax = DBL_MAX;

std::uint64_t bits(double v)
{
    return std::bit_cast<std::uint64_t>(v);
}

double from_bits(std::uint64_t b)
{
    return std::bit_cast<double>(b);
}

TEST(Arithmetic, Uint16MeanRoundsToNearestTiesToEven)
{
    const std::uint64_t cases[][3] = {// sum, count, mean
        {0, 1, 0},          {65535, 1, 65535},      {1, 2, 0},      {3, 2, 2},
        {5, 2, 2},          {7, 2, 4},              {4, 3, 1},      {5, 3, 2},
        {131070, 2, 65535}, {131069, 2, 65534},     {65535, 2, 32768},      {65533, 2, 32766},
        {65535ull * 300, 300, 65535},               {150, 300, 0},  {450, 300, 2},
        {151, 300, 1},      {149, 300, 0},
        // Ties and their neighbours with 2^32 inputs: the sums pass 32 bits.
        {(7ull << 32) + (1ull << 31), 1ull << 32, 8}, {(7ull << 32) + (1ull << 31) - 1, 1ull << 32, 7},
        {(8ull << 32) + (1ull << 31), 1ull << 32, 8}, {(8ull << 32) + (1ull << 31) + 1, 1ull << 32, 9},
    };
    for (const auto& [sum, count, mean] : cases)
        EXPECT_EQ(mean_uint16(sum, count), mean) << sum << " / " << count;
}

TEST(Arithmetic, Uint16MeanEqualsIntegerDivisionForEverySumOfSmallCounts)
{
    for (std::uint64_t count = 1; count <= 12; ++count)
        for (std::uint64_t sum = 0; sum <= 65535 * count; ++sum) {
            std::uint64_t q = sum / count, r = sum % count;
            q += 2 * r > count || (2 * r == count && q % 2 == 1);
            if (mean_uint16(sum, count) != q) {
                ADD_FAILURE() << sum << " / " << count;
                return;
            }
        }
}

TEST(Arithmetic, Uint16MiddleOfTwoRoundsTiesToEven)
{
    const std::uint16_t cases[][3] = {// low, high, middle
        {0, 0, 0},     {0, 1, 0},         {1, 2, 2},         {2, 3, 2},         {3, 4, 4},
        {0, 65535, 32768}, {1, 65535, 32768}, {2, 65535, 32768}, {65534, 65535, 65534},
        {65535, 65535, 65535}, {100, 101, 100}, {7, 8, 8},   {5, 9, 7},
    };
    for (const auto& [low, high, middle] : cases)
        EXPECT_EQ(middle_uint16(low, high), middle) << low << " " << high;
}

TEST(Arithmetic, Binary64MiddleOfTwoAvoidsOverflowAndGivesOneNaN)
{
    const double below_max = std::nextafter(dmax, 0.0);
    const double cases[][3] = {// low, high, middle
        {dmax, dmax, dmax},           {-dmax, -dmax, -dmax},
        {below_max, dmax, below_max}, // rounds to even, no overflow
        {dmax / 2, dmax, 0.75 * dmax}, {-dmax, -dmax / 2, -0.75 * dmax},
        {-dmax, dmax, 0.0},           {dmax, inf, inf},     {-inf, -dmax, -inf},
        {inf, inf, inf},              {-inf, -inf, -inf},   {-0.0, 0.0, 0.0},
        {-0.0, -0.0, -0.0},           {0.0, 0.0, 0.0},      {1.0, 2.0, 1.5},
        {sub, sub, sub},              {sub, 2 * sub, 2 * sub}, // 1.5 ulp: ties to even
        {2 * sub, 3 * sub, 2 * sub},  {-sub, 0.0, -0.0},       {-sub, sub, 0.0},
        {1.0, 1.0 + DBL_EPSILON, 1.0},
    };
    for (const auto& [low, high, middle] : cases)
        EXPECT_EQ(bits(middle_binary64(low, high)), bits(middle)) << low << " " << high;
    EXPECT_EQ(bits(middle_binary64(-inf, inf)), quiet_nan_bits);
}

TEST(Arithmetic, OrderKeysRiseWithTheNumbersAndPutMinusZeroFirst)
{
    const double ascending[] = {-inf, -dmax, -1.0, -DBL_MIN, -2 * sub, -sub, -0.0,
                                0.0,  sub,   2 * sub, DBL_MIN, 1.0,     dmax, inf};
    for (std::size_t k = 1; k < std::size(ascending); ++k)
        EXPECT_LT(order_key(bits(ascending[k - 1])), order_key(bits(ascending[k]))) << k;
    for (double v : ascending) // its own inverse
        EXPECT_EQ(static_cast<std::uint64_t>(order_key(static_cast<std::uint64_t>(order_key(bits(v))))),
                  bits(v));
}

std::uint64_t load_le64(const Bytes& b)
{
    std::uint64_t v = 0;
    for (unsigned k = 0; k < 8; ++k)
        v |= std::uint64_t{static_cast<unsigned char>(b[k])} << (8 * k);
    return v;
}

// combine_values over blocks at odd addresses, as after an odd-length
// comment; nothing may be written past the result.
Bytes combine(const std::vector<Bytes>& inputs, std::uint16_t type, Method method)
{
    Combiner c;
    EXPECT_TRUE(prepare_combiner(c, inputs.size(), type, method));
    std::vector<Bytes> shifted;
    for (const Bytes& in : inputs)
        shifted.push_back("x" + in);
    std::vector<const unsigned char*> values;
    for (const Bytes& in : shifted)
        values.push_back(reinterpret_cast<const unsigned char*>(in.data() + 1));
    Bytes result(inputs[0].size() + 2, '#');
    std::uint64_t count = inputs[0].size() / (type == type_uint16 ? 2 : 8);
    combine_values(c, reinterpret_cast<unsigned char*>(result.data() + 1), values.data(), count);
    release_combiner(c);
    EXPECT_TRUE(result.front() == '#' && result.back() == '#') << "wrote outside the result";
    return result.substr(1, inputs[0].size());
}

// One pixel per input.
Bytes combine64(const std::vector<double>& pixel, Method method)
{
    std::vector<Bytes> inputs;
    for (double v : pixel)
        inputs.push_back(le64({v}));
    return combine(inputs, type_binary64, method);
}

const Method median = Method::median, mean = Method::mean;

TEST(Combine, Binary64CornerCases)
{
    const double other_nan = from_bits(0xFFF4000000000123);
    const struct {
        std::vector<double> pixel;
        Method method;
        std::uint64_t result;
    } cases[] = {
        {{1.0}, median, bits(1.0)},
        {{other_nan}, median, quiet_nan_bits},
        {{1.0, other_nan, 2.0}, median, quiet_nan_bits},
        {{1.0, 2.0, 3.0, other_nan}, median, quiet_nan_bits},
        {{5.0, 1.0, 4.0, 2.0, 3.0}, median, bits(3.0)},
        {{4.0, 1.0, 3.0, 2.0}, median, bits(2.5)},
        {{dmax, dmax}, median, bits(dmax)},
        {{dmax, 0.0, dmax, dmax}, median, bits(dmax)},
        {{inf, dmax}, median, bits(inf)},
        {{inf, -inf}, median, quiet_nan_bits},
        {{inf, -inf, 0.0}, median, bits(0.0)},
        {{0.0, -0.0, 0.0}, median, bits(0.0)},
        {{0.0, -0.0, -0.0}, median, bits(-0.0)},
        {{-0.0, 0.0, -0.0, 0.0, 0.0}, median, bits(0.0)},
        {{0.0, -0.0, 0.0, -0.0, -0.0}, median, bits(-0.0)},
        {{1.0, -1.0, -0.0}, median, bits(-0.0)},
        {{0.0, -0.0}, median, bits(0.0)},
        {{2 * sub, sub}, median, bits(2 * sub)},
        {{1.0}, mean, bits(1.0)},
        {{-0.0}, mean, bits(0.0)}, // summed from +0, as numpy sums
        {{-0.0, -0.0, -0.0}, mean, bits(0.0)},
        {{1e16, -1e16, 1.0}, mean, bits(1.0 / 3)}, // in the inputs' order
        {{1.0, 1e16, -1e16}, mean, bits(0.0)},
        {{1e16, 0.0, 0.0, 0.0, 1.0, 1.0, -1e16, 0.0}, mean, bits(0.0)}, // not 1e16 + (1 + 1)
        {{dmax, dmax, -dmax}, mean, bits(inf)},
        {{dmax, -dmax, dmax}, mean, bits(dmax / 3)},
        {{inf, 1.0}, mean, bits(inf)},
        {{-inf, -dmax}, mean, bits(-inf)},
        {{sub, sub}, mean, bits(sub)},
        {{sub, 2 * sub}, mean, bits(2 * sub)},
        {{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0}, mean, bits(4.0)},
        {{from_bits(0x7FF8000000000123), 1.0}, mean, 0x7FF8000000000123}, // a lone NaN keeps its bits
    };
    for (const auto& c : cases) {
        Bytes result = combine64(c.pixel, c.method);
        EXPECT_EQ(load_le64(result), c.result) << ::testing::PrintToString(c.pixel) << (c.method == mean ? " mean" : " median");
    }
    Bytes infinities = combine64({inf, -inf}, mean);
    EXPECT_TRUE(std::isnan(std::bit_cast<double>(load_le64(infinities)))) << "IEEE 754: a NaN";
}

// Order with -0 before +0, independently of the keys.
bool before(double a, double b)
{
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

// Every count of inputs through each way of combining (the sorting networks
// up to their bounds, the selection past them), over more pixels than a
// tile, on values with many ties and zeros of both signs and a few NaNs,
// against a sorted copy of each pixel's values.
TEST(Combine, EveryCountAgreesWithSortedValues)
{
    std::mt19937_64 random(18);
    const double pool64[] = {-0.0, 0.0, 0.0, -0.0, 1.0, -1.0, 2.5, sub, -sub, dmax, -dmax, inf, -inf, 1e-300, 3.0};
    std::vector<std::uint64_t> counts;
    for (std::uint64_t n = 1; n <= 140; ++n)
        counts.push_back(n);
    for (std::uint64_t n : {255u, 256u, 257u, 511u, 512u, 513u, 600u})
        counts.push_back(n);
    const std::uint64_t pixels = 300;
    for (std::uint64_t n : counts) {
        std::vector<std::vector<double>> f(n, std::vector<double>(pixels));
        std::vector<std::vector<std::uint16_t>> u(n, std::vector<std::uint16_t>(pixels));
        for (std::uint64_t k = 0; k < n; ++k)
            for (std::uint64_t p = 0; p < pixels; ++p) {
                f[k][p] = p % 5 == 0 && random() % 64 == 0 ? from_bits(0x7FF0000000000001 + p)
                                                           : pool64[random() % std::size(pool64)];
                u[k][p] = static_cast<std::uint16_t>(p % 3 == 0 ? random() : random() % 4 * 21845);
            }
        std::vector<Bytes> in64, in16;
        for (std::uint64_t k = 0; k < n; ++k) {
            in64.push_back(le64(f[k]));
            in16.push_back(le16(u[k]));
        }
        std::vector<double> median64(pixels);
        std::vector<std::uint16_t> median16(pixels), mean16(pixels);
        for (std::uint64_t p = 0; p < pixels; ++p) {
            std::vector<double> v;
            std::vector<std::uint16_t> w;
            std::uint64_t sum = 0;
            for (std::uint64_t k = 0; k < n; ++k) {
                v.push_back(f[k][p]);
                w.push_back(u[k][p]);
                sum += u[k][p];
            }
            std::sort(w.begin(), w.end());
            if (std::any_of(v.begin(), v.end(), [](double x) { return std::isnan(x); })) {
                median64[p] = from_bits(quiet_nan_bits);
            } else {
                std::sort(v.begin(), v.end(), before);
                median64[p] = n % 2 ? v[n / 2] : middle_binary64(v[n / 2 - 1], v[n / 2]);
            }
            median16[p] = n % 2 ? w[n / 2] : middle_uint16(w[n / 2 - 1], w[n / 2]);
            mean16[p] = mean_uint16(sum, n);
        }
        ASSERT_EQ(combine(in64, type_binary64, median), le64(median64)) << n << " inputs";
        ASSERT_EQ(combine(in16, type_uint16, median), le16(median16)) << n << " inputs";
        ASSERT_EQ(combine(in16, type_uint16, mean), le16(mean16)) << n << " inputs";
    }
}

// ---- Runs of the binary ----

const Bytes usage = "usage: pixcombine [--median | --mean] -o OUT IN...\n"
                    "       pixcombine --help | --version\n";

// Three 3 x 2 frames with comments and different uninterpreted header bytes.
const Image a = u16_image(3, 2, {0, 1, 65535, 7, 100, 2}, "dark a", '\xA1');
const Image b = u16_image(3, 2, {65535, 2, 65535, 8, 101, 3}, "b!", '\xB2');
const Image c = u16_image(3, 2, {1, 3, 0, 9, 102, 4}, "", '\xC3');
const Bytes start_a = a.header() + a.comment;
const Bytes median_abc = start_a + le16({1, 2, 65535, 8, 101, 3});
const Bytes mean_abc = start_a + le16({21845, 2, 43690, 8, 101, 3});
const Bytes middle_ab = start_a + le16({32768, 2, 65535, 8, 100, 2}); // median and mean alike

const double nq = from_bits(0xFFF8000000000001);
const Image fa = f64_image(2, 2, {dmax, -0.0, nq, 1.0}, "f a");
const Image fb = f64_image(2, 2, {dmax, 0.0, 1.0, inf});
const Image fc = f64_image(2, 2, {0.0, -0.0, 2.0, -inf});

Image with(Image image, void (*change)(Image&))
{
    change(image);
    return image;
}

struct Case {
    const char* what;
    std::vector<std::pair<std::string, Bytes>> files = {{"a", a.file()}, {"b", b.file()}, {"c", c.file()}};
    std::vector<std::string> args = {"-o", "out", "a", "b", "c"};
    Run_Options options = {};
    int status = 0;
    Bytes out = "", err = "";
    std::optional<Bytes> result = median_abc; // OUT afterwards; nullopt: none
    std::optional<Bytes> old = {};            // an OUT there before the run
    std::vector<std::pair<std::string, std::string>> links = {}; // name, target
};

struct Combine_Cli : In_Temp_Dir {
    std::set<std::string> names() const
    {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            found.insert(entry.path().filename().string());
        return found;
    }

    // The inputs come out unchanged, and the folder holds the inputs and
    // OUT, if any, and nothing else: no temporary file.
    void check(const std::vector<Case>& cases)
    {
        for (const Case& k : cases) {
            SCOPED_TRACE(k.what);
            std::filesystem::remove_all(dir);
            std::filesystem::create_directory(dir);
            std::set<std::string> expected;
            for (const auto& [name, bytes] : k.files) {
                put(name, bytes);
                expected.insert(name);
            }
            if (k.old)
                put("out", *k.old);
            for (const auto& [name, target] : k.links) {
                std::filesystem::create_symlink(target, path(name));
                expected.insert(name);
            }
            Run_Result r = run(k.args, k.options);
            EXPECT_EQ(r.status, k.status);
            EXPECT_EQ(r.out, k.out);
            EXPECT_EQ(r.err, k.err);
            std::optional<Bytes> out = k.status == 0 ? k.result : k.old;
            EXPECT_EQ(get("out"), out);
            if (out)
                expected.insert("out");
            EXPECT_EQ(names(), expected);
            for (const auto& [name, bytes] : k.files)
                EXPECT_EQ(get(name), bytes) << name;
        }
    }
};
using Combine_Process = Combine_Cli; // cases that preload faults or close descriptors

const int U = 2, F = 1;

TEST_F(Combine_Cli, ValuesHeaderAndComment)
{
    const Bytes f_start = fa.header() + fa.comment;
    check({
        {.what = "median of three, the default"},
        {.what = "median, asked for", .args = {"--median", "-o", "out", "a", "b", "c"}},
        {.what = "mean of three", .args = {"--mean", "-o", "out", "a", "b", "c"}, .result = mean_abc},
        {.what = "median of two", .args = {"-o", "out", "a", "b"}, .result = middle_ab},
        {.what = "mean of two", .args = {"-o", "out", "a", "b", "--mean"}, .result = middle_ab},
        {.what = "one input, with bytes after its values", .files = {{"a", a.file() + "tail"}},
         .args = {"-o", "out", "a"}, .result = a.file()},
        {.what = "the first input's header, whichever it is", .args = {"-o", "out", "c", "b", "a"},
         .result = c.header() + le16({1, 2, 65535, 8, 101, 3})},
        {.what = "one file given three times", .args = {"-o", "out", "a", "a", "a"}, .result = a.file()},
        {.what = "options after inputs, and -- before an input named like an option",
         .files = {{"a", a.file()}, {"-b", b.file()}, {"c d", c.file()}},
         .args = {"a", "--mean", "-o", "out", "--", "-b", "c d"}, .result = mean_abc},
        {.what = "an older OUT is replaced", .old = "older bytes"},
        {.what = "empty images", .files = {{"a", u16_image(0, 5, {}, "e").file()}, {"b", u16_image(0, 5, {}).file()}},
         .args = {"-o", "out", "a", "b"}, .result = u16_image(0, 5, {}, "e").file()},
        {.what = "binary64 median", .files = {{"a", fa.file()}, {"b", fb.file()}, {"c", fc.file()}},
         .result = f_start + le64({dmax, -0.0, from_bits(quiet_nan_bits), 1.0})},
        {.what = "binary64 median of two", .files = {{"a", fa.file()}, {"b", fb.file()}}, .args = {"-o", "out", "a", "b"},
         .result = f_start + le64({dmax, 0.0, from_bits(quiet_nan_bits), inf})},
        {.what = "binary64 mean", .files = {{"a", fa.file()}, {"c", fc.file()}}, .args = {"--mean", "-o", "out", "a", "c"},
         .result = f_start + le64({dmax / 2, 0.0, nq, -inf})},
    });
}

TEST_F(Combine_Cli, FailuresSayWhyAndLeaveNoOutput)
{
    const Image type3 = with(b, [](Image& i) { i.file_type = 3; });
    const Image floats = f64_image(3, 2, {1, 2, 3, 4, 5, 6});
    const Image tall = u16_image(2, 3, {1, 2, 3, 4, 5, 6});
    const Image wide = u16_image(4, 2, {1, 2, 3, 4, 5, 6, 7, 8});
    const Image taller = u16_image(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    const Image twelve = u16_image(4, 3, std::vector<std::uint16_t>(12, 7));
    const auto magic = [](Image i, Bytes m) { i.magic = m; return i.file(); };
    check({
        {.what = "no arguments", .args = {}, .status = U, .err = "pixcombine: -o OUT is needed\n" + usage, .result = {}},
        {.what = "no input", .args = {"-o", "out"}, .status = U, .err = "pixcombine: at least one IN is needed\n" + usage},
        {.what = "no -o", .args = {"a", "b"}, .status = U, .err = "pixcombine: -o OUT is needed\n" + usage},
        {.what = "-o last", .args = {"a", "-o"}, .status = U, .err = "pixcombine: -o needs a file name\n" + usage},
        {.what = "-o twice", .args = {"-o", "out", "-o", "x", "a"}, .status = U,
         .err = "pixcombine: -o is given twice\n" + usage},
        {.what = "both methods", .args = {"--mean", "-o", "out", "a", "--median"}, .status = U,
         .err = "pixcombine: --median and --mean exclude each other\n" + usage},
        {.what = "unknown option", .args = {"-o", "out", "--sum", "a"}, .status = U,
         .err = "pixcombine: unknown option --sum\n" + usage},
        {.what = "help", .args = {"--help", "--mean"}, .out = usage +
            "Combines images of one pixel type and size into OUT, value by value:\n"
            "their median (the default) or their mean. See pixcombine(1).\n", .result = {}},
        {.what = "version", .args = {"--version"}, .out = "pixcombine " PIXCONVERT_VERSION "\n", .result = {}},
        {.what = "version to a full disk", .args = {"--version"}, .options = {.shell = "exec \"$0\" \"$@\" > /dev/full"},
         .status = F, .result = {}},
        {.what = "an input missing", .args = {"-o", "out", "a", "nothing", "c"}, .status = F,
         .err = "pixcombine: nothing: cannot open: No such file or directory\n"},
        {.what = "an input is a folder", .args = {"-o", "out", "a", "."}, .status = F,
         .err = "pixcombine: .: cannot open: Is a directory\n"},
        {.what = "63 bytes", .files = {{"a", a.file()}, {"b", b.file().substr(0, 63)}}, .args = {"-o", "out", "a", "b"},
         .status = F, .err = "pixcombine: b: cut short in its 64-byte header\n"},
        {.what = "not IM", .files = {{"a", magic(a, "MI")}}, .args = {"-o", "out", "a"}, .status = F,
         .err = "pixcombine: a: not an image: it does not begin with \"IM\"\n"},
        {.what = "a zero byte in IM", .files = {{"a", a.file()}, {"b", magic(b, Bytes("I\0", 2))}},
         .args = {"-o", "out", "a", "b"}, .status = F, .err = "pixcombine: b: not an image: it does not begin with \"IM\"\n"},
        {.what = "comment past the end", .files = {{"a", a.file().substr(0, 64 + 5)}}, .args = {"-o", "out", "a"},
         .status = F, .err = "pixcombine: a: cut short in its comment of 6 bytes\n"},
        {.what = "unknown type", .files = {{"a", a.file()}, {"b", type3.file()}}, .args = {"-o", "out", "a", "b"},
         .status = F, .err = "pixcombine: b: unknown pixel type 3 (known: 2 for uint16, 10 for binary64)\n"},
        {.what = "type differs", .files = {{"a", a.file()}, {"f", floats.file()}}, .args = {"-o", "out", "a", "f"},
         .status = F, .err = "pixcombine: f: 3x2 type 10, but a is 3x2 type 2\n"},
        {.what = "same count, other shape", .files = {{"a", a.file()}, {"b", b.file()}, {"t", tall.file()}},
         .args = {"-o", "out", "a", "b", "t"}, .status = F, .err = "pixcombine: t: 2x3 type 2, but a is 3x2 type 2\n"},
        {.what = "wider", .files = {{"a", a.file()}, {"w", wide.file()}}, .args = {"-o", "out", "a", "w"},
         .status = F, .err = "pixcombine: w: 4x2 type 2, but a is 3x2 type 2\n"},
        {.what = "taller", .files = {{"a", a.file()}, {"t", taller.file()}}, .args = {"-o", "out", "a", "t"},
         .status = F, .err = "pixcombine: t: 3x3 type 2, but a is 3x2 type 2\n"},
        {.what = "values one byte short", .files = {{"a", twelve.file()}, {"b", twelve.file().substr(0, 64 + 23)}},
         .args = {"-o", "out", "a", "b"}, .status = F, .err = "pixcombine: b: cut short: 11 of 12 values\n"},
        {.what = "first input's values missing", .files = {{"a", twelve.header()}, {"b", twelve.file()}},
         .args = {"-o", "out", "a", "b"}, .status = F, .err = "pixcombine: a: cut short: 0 of 12 values\n"},
        {.what = "a failure keeps an older OUT", .files = {{"a", a.file()}, {"b", b.file().substr(0, 70)}},
         .args = {"-o", "out", "a", "b"}, .status = F, .err = "pixcombine: b: cut short: 2 of 6 values\n",
         .old = "older bytes"},
        {.what = "OUT is an input", .args = {"-o", "b", "a", "b", "c"}, .status = F,
         .err = "pixcombine: b: is the same file as the input b\n"},
        {.what = "OUT is an input by another name", .args = {"-o", "./c", "a", "b", "c"}, .status = F,
         .err = "pixcombine: ./c: is the same file as the input c\n"},
        {.what = "OUT a folder", .args = {"-o", ".", "a"}, .status = F,
         .err = "pixcombine: .: not a regular file, and the result would replace it\n"},
        // Through a link in the test's folder: a fault that replaced the
        // device would replace the link, not /dev/null.
        {.what = "OUT a device", .args = {"-o", "null", "a"}, .status = F,
         .err = "pixcombine: null: not a regular file, and the result would replace it\n",
         .links = {{"null", "/dev/null"}}},
        {.what = "OUT in a missing folder", .args = {"-o", "no/out", "a"}, .status = F,
         .err = "pixcombine: no/out: cannot create: No such file or directory\n"},
        {.what = "OUT past the file size limit", .args = {"-o", "out", "a", "b"},
         .options = {.file_size_limit = 70}, .status = F, .err = "pixcombine: out: cannot write: File too large\n"},
        {.what = "OUT's header past the file size limit", .args = {"-o", "out", "a", "b"},
         .options = {.file_size_limit = 10}, .status = F, .err = "pixcombine: out: cannot write: File too large\n"},
    });
}

TEST_F(Combine_Cli, PipesAreReadInOrderAndOnlyOnce)
{
    const Bytes f = b.file();
    check({
        {.what = "an input from a pipe, in pieces", .args = {"-o", "out", "a", "/dev/stdin", "c"},
         .options = {.stdin_pieces = {f.substr(0, 30), f.substr(30, 40), f.substr(70, 1), f.substr(71)}}},
        {.what = "the first input from a pipe", .args = {"--mean", "-o", "out", "/dev/stdin", "b", "c"},
         .options = {.stdin_pieces = {a.file()}}, .result = mean_abc},
        {.what = "a pipe that ends early", .args = {"-o", "out", "a", "/dev/stdin", "c"},
         .options = {.stdin_pieces = {f.substr(0, 64 + 2 + 7)}}, .status = F,
         .err = "pixcombine: /dev/stdin: cut short: 3 of 6 values\n"},
        {.what = "a pipe given twice", .args = {"-o", "out", "a", "/dev/stdin", "/dev/fd/0"},
         .options = {.stdin_pieces = {f, f}}, .status = F,
         .err = "pixcombine: /dev/fd/0: is the same pipe or device as /dev/stdin, which can be read only once\n"},
    });
}

TEST_F(Combine_Process, FaultsAndClosedDescriptors)
{
    const Bytes short_b = b.file().substr(0, 64 + 2 + 2);
    check({
        {.what = "reads and writes interrupted and cut short", .options = {.fault = "interrupt"}},
        {.what = "interrupted, from a pipe", .args = {"-o", "out", "a", "/dev/stdin", "c"},
         .options = {.stdin_pieces = {b.file()}, .fault = "interrupt"}},
        {.what = "a read fails", .options = {.fault = "pread"}, .status = F,
         .err = "pixcombine: a: cut short: 0 of 6 values\n"},
        {.what = "closing OUT fails", .options = {.fault = "close"}, .status = F,
         .err = "pixcombine: out: cannot put the result in place: Input/output error\n"},
        {.what = "a hidden file beside OUT", .options = {.fault = "no_tmpfile"}},
        {.what = "a hidden file beside OUT, a failure", .files = {{"a", a.file()}, {"b", short_b}},
         .args = {"-o", "out", "a", "b"}, .options = {.fault = "no_tmpfile"}, .status = F,
         .err = "pixcombine: b: cut short: 1 of 6 values\n"},
        {.what = "a hidden file beside OUT, past the size limit",
         .options = {.file_size_limit = 80, .fault = "no_tmpfile"}, .status = F,
         .err = "pixcombine: out: cannot write: File too large\n"},
        {.what = "all standard descriptors closed", .options = {.shell = "exec \"$0\" \"$@\" <&- >&- 2>&-"}},
        {.what = "help with stdout closed", .args = {"--help"}, .options = {.shell = "exec \"$0\" \"$@\" >&-"},
         .result = {}},
        {.what = "all closed, a failure", .files = {{"a", a.file()}, {"b", short_b}}, .args = {"-o", "out", "a", "b"},
         .options = {.shell = "exec \"$0\" \"$@\" <&- >&- 2>&-"}, .status = F},
        {.what = "stderr closed, a failure after opening the inputs", .files = {{"a", a.file()}, {"b", short_b}},
         .args = {"-o", "out", "a", "b"}, .options = {.shell = "exec \"$0\" \"$@\" 2>&-"}, .status = F},
    });
}

// 300 inputs: the soft limit on open files is raised to the hard one; past
// the hard one the message says how many can be combined, and that many
// can.
TEST_F(Combine_Cli, ManyInputsUpToTheOpenFileLimit)
{
    std::vector<std::string> args = {"--mean", "-o", "out"};
    for (int k = 0; k < 300; ++k) {
        std::string name = "in" + std::to_string(k);
        put(name, u16_image(2, 1, {static_cast<std::uint16_t>(k), static_cast<std::uint16_t>(k % 2 ? 65535 : 0)}).file());
        args.push_back(name);
    }
    const Bytes first = u16_image(2, 1, {}).header();
    Run_Result r = run(args, {.shell = "ulimit -S -n 64 && exec \"$0\" \"$@\""});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get("out"), first + le16({150, 32768})); // 149.5 and 32767.5, to even

    std::filesystem::remove(path("out"));
    r = run(args, {.shell = "ulimit -S -n 100 && ulimit -H -n 100 && exec \"$0\" \"$@\""});
    EXPECT_EQ(r.status, 1);
    unsigned long long at_most = 0;
    ASSERT_EQ(std::sscanf(r.err.c_str(), "pixcombine: 300 inputs, but at most %llu files", &at_most), 1) << r.err;
    EXPECT_EQ(r.err, "pixcombine: 300 inputs, but at most " + std::to_string(at_most) +
                         " files can be combined (the open-file limit is 100)\n");
    EXPECT_FALSE(get("out"));
    // Descriptors the test harness leaves open, and OUT's, take a few.
    EXPECT_TRUE(at_most >= 50 && at_most <= 97) << at_most;
    args.resize(3 + at_most);
    r = run(args, {.shell = "ulimit -S -n 100 && ulimit -H -n 100 && exec \"$0\" \"$@\""});
    EXPECT_EQ(r.status, 0) << r.err;
    args.push_back("in299");
    r = run(args, {.shell = "ulimit -S -n 100 && ulimit -H -n 100 && exec \"$0\" \"$@\""});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("at most " + std::to_string(at_most) + " files"), Bytes::npos) << r.err;
}

// A regular input cut by another program during the run: the second input
// is a FIFO whose first chunk the test sends, waits until it is read (by
// then every size has been checked), cuts the third input past the first
// chunk, and sends the rest.
TEST_F(Combine_Cli, AnInputCutShortDuringTheRunFailsWithNoOutput)
{
    const std::uint64_t n = 300000, chunk = (1 << 20) / (3 * 2);
    const Image big = u16_image(300, 1000, std::vector<std::uint16_t>(n, 7));
    const Bytes whole = big.file();
    put("a", whole);
    put("c", whole);
    ASSERT_EQ(mkfifo(path("b").c_str(), 0600), 0);
    auto cut_c = [&] {
        int fifo = open(path("b").c_str(), O_WRONLY);
        std::size_t first = 64 + chunk * 2;
        EXPECT_EQ(write(fifo, whole.data(), first), static_cast<ssize_t>(first));
        for (int unread = 1; ioctl(fifo, FIONREAD, &unread) == 0 && unread > 0;)
            usleep(1000);
        std::filesystem::resize_file(path("c"), 64 + 270000 * 2 + 1);
        (void)!write(fifo, whole.data() + first, whole.size() - first);
        close(fifo);
    };
    Run_Result r = run({"-o", "out", "a", "b", "c"}, {.while_running = cut_c});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixcombine: c: cut short: 270000 of 300000 values\n");
    EXPECT_FALSE(get("out"));
    EXPECT_EQ(names(), (std::set<std::string>{"a", "b", "c"}));
}

// Sparse inputs, each a hole but for two values: far more values than the
// address-space limit allows to hold, whether all inputs at once, a fixed
// chunk of each of 300, or one whole input of 32 MiB.
TEST_F(Combine_Cli, ManyLargeInputsRunWithin32MiB)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the limit";
#endif
    const struct {
        std::uint16_t type, x, y;
        std::uint64_t inputs, comment; // 300 comments of 64 KiB are 19 MiB
        const char* method;
    } runs[] = {{type_uint16, 1024, 1024, 300, 65535, "--mean"}, {type_binary64, 2048, 2048, 16, 0, "--median"},
                {type_binary64, 256, 256, 300, 0, "--median"}};
    for (const auto& run_ : runs) {
        SCOPED_TRACE(run_.inputs);
        const std::uint64_t n = std::uint64_t{run_.x} * run_.y, size = run_.type == type_uint16 ? 2 : 8;
        const Image image{run_.type, run_.x, run_.y, Bytes(run_.comment, 'c'), "", 0, "IM", std::nullopt};
        const std::uint64_t start = 64 + run_.comment;
        std::vector<std::string> args = {run_.method, "-o", "out"};
        for (std::uint64_t k = 0; k < run_.inputs; ++k) {
            std::string name = "in" + std::to_string(k);
            put(name, image.header() + image.comment);
            // Input k holds 1000 + k at value 1000 * k; at value n - 1, every
            // input holds 9.
            std::fstream f(path(name), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(start + 1000 * k * size));
            f << (run_.type == type_uint16 ? le16({static_cast<std::uint16_t>(1000 + k)})
                                           : le64({1000.0 + static_cast<double>(k)}));
            f.seekp(static_cast<std::streamoff>(start + (n - 1) * size));
            f << (run_.type == type_uint16 ? le16({9}) : le64({9.0}));
            args.push_back(name);
        }
        Run_Result r = run(args, {.address_space_limit = 32 << 20});
        ASSERT_EQ(r.status, 0) << r.err;
        std::optional<Bytes> out = get("out");
        ASSERT_TRUE(out);
        ASSERT_EQ(out->size(), start + n * size);
        Bytes expected(n * size, '\0');
        // One value among mostly zeros: the median is 0 and the mean that
        // value / count, but for the last value, 9 in every input.
        for (std::uint64_t k = 0; k < run_.inputs && std::string(run_.method) == "--mean"; ++k)
            expected.replace(1000 * k * size, size, le16({mean_uint16(1000 + k, run_.inputs)}));
        expected.replace((n - 1) * size, size, run_.type == type_uint16 ? le16({9}) : le64({9.0}));
        EXPECT_TRUE(out->substr(start) == expected);
        for (std::uint64_t k = 0; k < run_.inputs; ++k)
            std::filesystem::remove(path("in" + std::to_string(k)));
    }
}

} // namespace
