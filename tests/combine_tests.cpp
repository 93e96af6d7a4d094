// pixcombine: what the comparisons with numpy and ccdproc (combine_numpy.py,
// combine_ccdproc.py) cannot show, called directly: the sign of a zero
// median (numpy's == takes -0 for +0), every count of inputs against a
// sort, each frame's statistics where numpy rounds twice, the rejection's
// corner cases. Then runs of the binary: streams, status, OUT's bytes (and
// FILE's), and no OUT and no temporary file after a failure.
#include "combine/combine.h"
#include "image/frame_statistics.h"
#include "image/velkin.h"
#include "support.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <random>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>

using namespace tests;
using namespace combine;
using namespace img;

namespace {

const double inf = INFINITY, sub = DBL_TRUE_MIN, dmax = DBL_MAX;
const double qnan = std::bit_cast<double>(quiet_nan_bits);

// combine_values on one block per input, each at an odd address (as after
// an odd-length comment); nothing may be written past the result.
Bytes combine(const std::vector<Bytes>& inputs, std::uint16_t type, Method method)
{
    Combiner c;
    EXPECT_TRUE(prepare_combiner(c, inputs.size(), type, method));
    std::vector<Bytes> shifted;
    std::vector<const unsigned char*> values;
    shifted.reserve(inputs.size());
    for (const Bytes& in : inputs)
        values.push_back(reinterpret_cast<const unsigned char*>(shifted.emplace_back("x" + in).data() + 1));
    Bytes result(inputs[0].size() + 2, '#');
    combine_values(c, reinterpret_cast<unsigned char*>(result.data() + 1), values.data(),
                   inputs[0].size() / (type == type_uint16 ? 2 : 8));
    release_combiner(c);
    EXPECT_TRUE(result.front() == '#' && result.back() == '#') << "wrote outside the result";
    return result.substr(1, inputs[0].size());
}

// One pixel's values and their median.
TEST(Combine, Binary64MedianCornerCases)
{
    const double nan = std::bit_cast<double>(0xFFF4000000000123), below_max = std::nextafter(dmax, 0.0);
    const std::pair<std::vector<double>, double> cases[] = {
        {{nan}, qnan}, {{1.0, nan, 2.0}, qnan}, {{1.0, 2.0, 3.0, nan}, qnan}, {{inf, -inf}, qnan},
        {{inf, -inf, 0.0}, 0.0}, {{inf, dmax}, inf}, {{-inf, -inf}, -inf}, {{-dmax, dmax}, 0.0},
        // a + b overflows: a / 2 + b / 2
        {{dmax, dmax}, dmax}, {{-dmax, -dmax}, -dmax}, {{dmax, 0.0, dmax, dmax}, dmax},
        {{dmax / 2, dmax}, 0.75 * dmax}, {{below_max, dmax}, below_max},
        // -0 before +0; halves of subnormals round to even
        {{0.0, -0.0, 0.0}, 0.0}, {{0.0, -0.0, -0.0}, -0.0}, {{-0.0, 0.0, -0.0, 0.0, 0.0}, 0.0},
        {{0.0, -0.0, 0.0, -0.0, -0.0}, -0.0}, {{1.0, -1.0, -0.0}, -0.0}, {{0.0, -0.0}, 0.0},
        {{-0.0, -0.0}, -0.0}, {{-sub, 0.0}, -0.0}, {{2 * sub, sub}, 2 * sub}, {{2 * sub, 3 * sub}, 2 * sub},
    };
    for (const auto& [pixel, median] : cases) {
        std::vector<Bytes> inputs;
        for (double v : pixel)
            inputs.push_back(le64({v}));
        EXPECT_EQ(combine(inputs, type_binary64, Method::median), le64({median}))
            << ::testing::PrintToString(pixel);
    }
}

// Every count of inputs through each way of combining (the sorting networks
// up to their bounds, the selection past them), over more pixels than a
// tile, on values with many ties, zeros of both signs and a few NaNs,
// against a sort of each pixel's values with -0 before +0.
TEST(Combine, EveryCountAgreesWithSortedValues)
{
    std::mt19937_64 random(18);
    const double pool[] = {-0.0, 0.0, 0.0, -0.0, 1.0, -1.0, 2.5, sub, -sub, dmax, -dmax, inf, -inf, 1e-300, 3.0};
    const auto before = [](double a, double b) { return a < b || (a == b && std::signbit(a) > std::signbit(b)); };
    std::vector<std::uint64_t> counts = {255, 256, 257, 511, 512, 513, 600};
    for (std::uint64_t n = 1; n <= 140; ++n)
        counts.push_back(n);
    for (std::uint64_t n : counts) {
        std::vector<Bytes> in64(n), in16(n);
        Bytes median64, median16;
        for (std::uint64_t p = 0; p < 300; ++p) {
            std::vector<double> f;
            std::vector<std::uint16_t> u;
            for (std::uint64_t k = 0; k < n; ++k) {
                f.push_back(p % 5 == 0 && random() % 64 == 0 ? std::bit_cast<double>(0x7FF0000000000001 + p)
                                                             : pool[random() % std::size(pool)]);
                u.push_back(static_cast<std::uint16_t>(p % 3 == 0 ? random() : random() % 4 * 21845));
                in64[k] += le64({f.back()});
                in16[k] += le16({u.back()});
            }
            bool nan = std::any_of(f.begin(), f.end(), [](double x) { return std::isnan(x); });
            if (!nan)
                std::sort(f.begin(), f.end(), before);
            std::sort(u.begin(), u.end());
            median64 += le64({nan ? qnan : n % 2 ? f[n / 2] : middle_binary64(f[n / 2 - 1], f[n / 2])});
            median16 += le16({n % 2 ? u[n / 2] : middle_uint16(u[n / 2 - 1], u[n / 2])});
        }
        ASSERT_EQ(combine(in64, type_binary64, Method::median), median64) << n << " inputs";
        ASSERT_EQ(combine(in16, type_uint16, Method::median), median16) << n << " inputs";
    }
}

// ---- Each frame's statistics (image/frame_statistics.h) ----

// Every pass over `values` that the statistic asks for.
double statistic(std::uint16_t type, Statistic which, const Bytes& values)
{
    Statistic_State s;
    EXPECT_TRUE(start_statistic(s, type, which));
    auto* data = reinterpret_cast<const unsigned char*>(values.data());
    const std::uint64_t n = values.size() / (type == type_uint16 ? 2 : 8);
    int passes = 0;
    do {
        // In two calls, the second at an odd address, as chunks come.
        Bytes shifted = "x" + values.substr((n / 2) * (type == type_uint16 ? 2 : 8));
        add_to_statistic(s, data, n / 2);
        add_to_statistic(s, reinterpret_cast<const unsigned char*>(shifted.data() + 1), n - n / 2);
        EXPECT_LE(++passes, 5);
    } while (!end_statistic_pass(s) && passes <= 5);
    double value = s.value;
    release_statistic(s);
    return value;
}

TEST(FrameStatistics, ExactMediansAndMeans)
{
    const double u = 0x1p-52, nan = NAN;
    const struct {
        const char* what;
        std::vector<double> values;
        double median, mean;
    } cases[] = {
        {"cancelling large values", {1e16, 1, 1, -1e16}, 1, 0.5},
        {"no overflow in the sum", {dmax, dmax, -dmax}, dmax, dmax / 3},
        {"a tie between subnormals, to even", {sub, 0}, 0, 0},
        {"one and a half subnormals, to even", {3 * sub, 0}, 2 * sub, 2 * sub},
        {"half an ulp, to even", {1, 0x1p-53}, 0.5, 0.5},
        {"one and a half ulps, to even", {1, 3 * 0x1p-53}, 0.5 + u, 0.5 + u},
        {"rounded once", {1, 1, 2}, 1, 4.0 / 3.0},
        {"infinities and NaNs left out", {inf, nan, 2, -inf, 4}, 3, 3},
        {"negative", {-1, -2}, -1.5, -1.5},
        {"-0 before +0", {-0.0, 0.0, -0.0}, -0.0, 0.0},
        {"nothing finite", {nan, inf}, nan, nan},
        {"nothing at all", {}, nan, nan},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(statistic(type_binary64, Statistic::median, le64(k.values))),
                  std::bit_cast<std::uint64_t>(k.median));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(statistic(type_binary64, Statistic::mean, le64(k.values))),
                  std::bit_cast<std::uint64_t>(k.mean));
    }
    EXPECT_EQ(statistic(type_uint16, Statistic::median, le16({65535, 0})), 32767.5);
    EXPECT_EQ(statistic(type_uint16, Statistic::mean, le16({65535, 0, 65535})), 43690);
    EXPECT_EQ(statistic(type_uint16, Statistic::median, le16({4, 1, 3, 2})), 2.5);
    EXPECT_TRUE(std::isnan(statistic(type_uint16, Statistic::mean, "")));
}

// 600001 and 600002 values that share their first 44 bits, in shuffled
// order: every pass of the radix selection, and the values gathered last.
TEST(FrameStatistics, MediansOfManyCloseValues)
{
    const double u = 0x1p-52;
    for (std::uint64_t n : {600001u, 600002u}) {
        std::vector<double> values;
        for (std::uint64_t i = 0; i < n; ++i)
            values.push_back(1 + static_cast<double>(i) * u);
        std::shuffle(values.begin(), values.end(), std::mt19937_64(n));
        // 600002: (1 + 300000u + 1 + 300001u) / 2, whose sum is a tie
        // rounded to the even 2 + 600000u.
        EXPECT_EQ(statistic(type_binary64, Statistic::median, le64(values)), 1 + 300000 * u) << n;
    }
}

// ---- Rejection, called directly on one block per input ----

Bytes reject(const std::vector<Bytes>& inputs, std::uint16_t type, Method method, const Rejection& r,
             Bytes& counts, std::uint64_t& emptied, const double* factors = nullptr)
{
    Combiner c;
    EXPECT_TRUE(prepare_rejecting_combiner(c, inputs.size(), type, method, r, factors));
    std::vector<const unsigned char*> values;
    for (const Bytes& in : inputs)
        values.push_back(reinterpret_cast<const unsigned char*>(in.data()));
    const std::uint64_t n = inputs[0].size() / (type == type_uint16 ? 2 : 8);
    Bytes result(n * (factors || type == type_binary64 ? 8 : 2), '#');
    counts.assign(2 * n, '#');
    emptied = combine_rejecting(c, reinterpret_cast<unsigned char*>(result.data()),
                                reinterpret_cast<unsigned char*>(counts.data()), values.data(), n);
    release_combiner(c);
    return result;
}

Rejection sigma(double low, double high, Center center, Deviation deviation, std::uint64_t iterations = 1)
{
    Rejection r;
    r.sigma = true;
    r.sigma_low = low;
    r.sigma_high = high;
    r.center = center;
    r.deviation = deviation;
    r.iterations = iterations;
    return r;
}

Rejection extrema(std::uint64_t low, std::uint64_t high)
{
    Rejection r;
    r.extrema = true;
    r.low = low;
    r.high = high;
    return r;
}

// One pixel each: its values, what is asked, and what comes out.
TEST(Rejection, OnePixelAtATime)
{
    const double nan = NAN;
    Rejection whole;
    whole.minmax = true;
    whole.min = -inf;
    whole.max = inf;
    const struct {
        const char* what;
        std::vector<double> values;
        Method method;
        Rejection rejection;
        double result;
        std::uint16_t rejected;
    } cases[] = {
        {"NaNs rank highest", {1, 2, 3, nan}, Method::mean, extrema(0, 1), 2, 1},
        {"two NaNs, one rejected as highest, whatever its sign", {-nan, 1, nan, 4}, Method::mean, extrema(0, 1), 2.5, 2},
        {"a negative NaN above infinity", {-nan, 1, inf}, Method::median, extrema(0, 1), inf, 1},
        {"lowest", {5, 1, 3, 9}, Method::mean, extrema(1, 0), 17.0 / 3, 1},
        {"counts past 2^64 together", {1, 2, 3}, Method::mean, extrema(UINT64_MAX, 1), qnan, 3},
        {"counts of every value", {1, 2, 3}, Method::median, extrema(1, 2), qnan, 3},
        {"infinities within [-inf, inf]", {-inf, 1, 3, inf}, Method::median, whole, 2, 0},
        {"NaN outside [-inf, inf]", {nan, 1, 3}, Method::mean, whole, 2, 1},
        // astropy's iterations: 5 and 9 out first, then 0, then 0.5 and
        // 1.2, till the bounds hold only the 1s.
        {"mean and std, 1 iteration", {0, 0.5, 1, 1, 1, 1, 1.2, 5, 9}, Method::mean,
         sigma(1, 1, Center::mean, Deviation::std), (((((((0.0 + 0) + 0.5) + 1) + 1) + 1) + 1) + 1.2) / 7, 2},
        {"mean and std, 2 iterations", {0, 0.5, 1, 1, 1, 1, 1.2, 5, 9}, Method::mean,
         sigma(1, 1, Center::mean, Deviation::std, 2), ((((((0.0 + 0.5) + 1) + 1) + 1) + 1) + 1.2) / 6, 3},
        {"mean and std, until nothing changes", {0, 0.5, 1, 1, 1, 1, 1.2, 5, 9}, Method::mean,
         sigma(1, 1, Center::mean, Deviation::std, 0), 1, 5},
        {"infinities rejected", {inf, 1, 1, 1}, Method::mean, sigma(3, 3, Center::median, Deviation::mad_std), 1, 1},
        {"a sum of -0s from +0", {-0.0, -0.0, -0.0}, Method::mean, sigma(3, 3, Center::median, Deviation::mad_std),
         0.0, 0},
        {"a sum of -0s from +0, kept by --minmax", {-0.0, -0.0, -0.0}, Method::mean, whole, 0.0, 0},
        {"both rejected: bounds 1.29..8.71", {0, 10}, Method::median, sigma(0.5, 0.5, Center::median, Deviation::mad_std),
         qnan, 2},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<Bytes> inputs;
        for (double v : k.values)
            inputs.push_back(le64({v}));
        Bytes counts;
        std::uint64_t emptied = 0;
        EXPECT_EQ(reject(inputs, type_binary64, k.method, k.rejection, counts, emptied), le64({k.result}));
        EXPECT_EQ(counts, le16({k.rejected}));
        EXPECT_EQ(emptied, k.rejected == k.values.size() ? 1u : 0u);
    }
}

// uint16 values: with nothing left, the plain median or mean of all the
// values, never 0; and the same through the tiles (300 pixels: a tile and
// part of one) as alone.
TEST(Rejection, Uint16PixelsThatLoseEveryValue)
{
    for (Method method : {Method::median, Method::mean}) {
        Bytes counts;
        std::uint64_t emptied = 0;
        std::vector<Bytes> inputs = {le16(std::vector<std::uint16_t>(300, 0)), le16(std::vector<std::uint16_t>(300, 11)),
                                     le16(std::vector<std::uint16_t>(300, 10))};
        inputs[2].replace(2 * 299, 2, le16({2}));
        // 0, 11, 10: median 10, deviations 10, 1, 0, bounds 10 - 1.48 and
        // 10 + 0.74: 10 alone. 0, 11, 2: median 2, deviations 2, 9, 0,
        // bounds 2 - 2.97 and 2 + 1.48: 0 and 2, a median of fewer values.
        Bytes want = le16(std::vector<std::uint16_t>(299, 10)) + le16({1});
        EXPECT_EQ(reject(inputs, type_uint16, method, sigma(1, 0.5, Center::median, Deviation::mad_std), counts, emptied), want);
        EXPECT_EQ(counts, le16(std::vector<std::uint16_t>(299, 2)) + le16({1}));
        EXPECT_EQ(emptied, 0u);
        // Bounds 5 - 0.5 * 7.41 = 1.29 and 8.71 about 0 and 10: neither left.
        inputs = {le16({0, 0}), le16({10, 11})};
        want = le16({5, 6}); // 5.5 to even
        EXPECT_EQ(reject(inputs, type_uint16, method, sigma(0.5, 0.5, Center::median, Deviation::mad_std), counts, emptied), want);
        EXPECT_EQ(counts, le16({2, 2}));
        EXPECT_EQ(emptied, 2u);
    }
}

// Bounds near whole numbers: 7, 8, 10, 12, 20 have the median 10 and the
// median absolute deviation 2, so the bounds 10 -+ 2.97 reject 7, which
// lies 0.035 below the lower one, and 20. 3, 5, 5, 5, 7, 100 have the
// median 5 and the deviation 1, and a sigma whose product with 1.4826... is
// 2 exactly: the bounds 3 and 7 keep the values on them.
TEST(Rejection, Uint16BoundsNearWholeNumbers)
{
    const struct {
        std::vector<std::uint16_t> values;
        double sigma;
        std::uint16_t mean, rejected;
    } cases[] = {
        {{7, 8, 10, 12, 20}, 1, 10, 2},
        {{3, 5, 5, 5, 7, 100}, 1.3489795003921634, 5, 1},
    };
    for (const auto& k : cases) {
        std::vector<Bytes> inputs;
        for (std::uint16_t v : k.values)
            inputs.push_back(le16({v}));
        Bytes counts;
        std::uint64_t emptied = 0;
        EXPECT_EQ(reject(inputs, type_uint16, Method::mean, sigma(k.sigma, k.sigma, Center::median, Deviation::mad_std),
                         counts, emptied),
                  le16({k.mean}));
        EXPECT_EQ(counts, le16({k.rejected}));
    }
}

// Scaled inputs come out binary64: each value times its input's factor.
TEST(Rejection, ScaledByFactors)
{
    const double factors[] = {0.5, 0.25};
    Bytes counts;
    std::uint64_t emptied = 0;
    EXPECT_EQ(reject({le16({4, 65535}), le16({8, 1})}, type_uint16, Method::mean, Rejection{}, counts, emptied, factors),
              le64({2, (65535 * 0.5 + 0.25) / 2}));
    EXPECT_EQ(counts, le16({0, 0}));
}

// ---- Runs of the binary ----

const Bytes usage = "usage: pixcombine [--median | --mean] -o OUT IN...\n"
                    "       pixcombine --help | --version\n";

// Three 3 x 2 frames with comments and different uninterpreted header bytes.
const Image a = u16_image(3, 2, {0, 1, 65535, 7, 100, 2}, "dark a", '\xA1');
const Image b = u16_image(3, 2, {65535, 2, 65535, 8, 101, 3}, "b!", '\xB2');
const Image c = u16_image(3, 2, {1, 3, 0, 9, 102, 4}, "", '\xC3');
const Bytes median_abc = a.header() + a.comment + le16({1, 2, 65535, 8, 101, 3});
const Bytes mean_abc = a.header() + a.comment + le16({21845, 2, 43690, 8, 101, 3});

struct Case {
    const char* what;
    std::vector<std::pair<std::string, Bytes>> files = {{"a", a.file()}, {"b", b.file()}, {"c", c.file()}};
    std::vector<std::string> args = {"-o", "out", "a", "b", "c"};
    Run_Options options = {};
    int status = 0;
    Bytes out = "", err = "";
    std::optional<Bytes> result = median_abc; // OUT after a success
    std::optional<Bytes> old = {};            // an OUT there before the run, kept by a failure
    std::optional<Bytes> rejected = {};       // --rejected r after a success
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
            SCOPED_TRACE(*k.what ? k.what : k.err);
            std::filesystem::remove_all(dir);
            std::filesystem::create_directory(dir);
            for (const auto& [name, bytes] : k.files)
                put(name, bytes);
            std::set<std::string> expected = names();
            if (k.old)
                put("out", *k.old);
            Run_Result r = run(k.args, k.options);
            EXPECT_EQ(r.status, k.status);
            EXPECT_EQ(r.out, k.out);
            EXPECT_EQ(r.err, k.err);
            std::optional<Bytes> out = k.status == 0 ? k.result : k.old;
            EXPECT_EQ(get("out"), out);
            if (out)
                expected.insert("out");
            std::optional<Bytes> rejected = k.status == 0 ? k.rejected : std::nullopt;
            EXPECT_EQ(get("r"), rejected);
            if (rejected)
                expected.insert("r");
            EXPECT_EQ(names(), expected);
            for (const auto& [name, bytes] : k.files)
                EXPECT_EQ(get(name), bytes) << name;
        }
    }
};

const int U = 2, F = 1;

// A run that fails with this message (and the usage text, for wrong usage).
Case fails(int status, std::vector<std::string> args, const Bytes& message,
           std::vector<std::pair<std::string, Bytes>> files = Case{""}.files)
{
    return {.what = "", .files = std::move(files), .args = std::move(args), .status = status,
            .err = "pixcombine: " + message + "\n" + (status == U ? usage : "")};
}

// A run on a and `name`, whose bytes make it fail.
Case bad(const std::string& name, const Bytes& bytes, const Bytes& message)
{
    return fails(F, {"-o", "out", "a", name}, name + ": " + message, {{"a", a.file()}, {name, bytes}});
}

TEST_F(Combine_Cli, ValuesHeaderAndComment)
{
    const Image empty = u16_image(0, 5, {}, "e");
    check({
        {.what = "median, the default; an older OUT is replaced", .old = "older bytes"},
        {.what = "one input, with bytes after its values", .files = {{"a", a.file() + "tail"}},
         .args = {"-o", "out", "a"}, .result = a.file()},
        {.what = "one file given three times", .args = {"-o", "out", "a", "a", "a"}, .result = a.file()},
        {.what = "options after inputs, and -- before an input named like an option",
         .files = {{"a", a.file()}, {"-b", b.file()}, {"c", c.file()}},
         .args = {"a", "--mean", "-o", "out", "--", "-b", "c"}, .result = mean_abc},
        {.what = "empty images", .files = {{"a", empty.file()}, {"b", u16_image(0, 5, {}).file()}},
         .args = {"-o", "out", "a", "b"}, .result = empty.file()},
    });
}

TEST_F(Combine_Cli, FailuresSayWhyAndLeaveNoOutput)
{
    Image type3 = b, mi = b;
    type3.file_type = 3;
    mi.magic = "MI";
    check({
        fails(U, {}, "-o OUT is needed"),
        fails(U, {"-o", "out"}, "at least one IN is needed"),
        fails(U, {"a", "-o"}, "-o needs a file name"),
        fails(U, {"-o", "out", "-o", "x", "a"}, "-o is given twice"),
        fails(U, {"--mean", "-o", "out", "a", "--median"}, "--median and --mean exclude each other"),
        fails(U, {"-o", "out", "--sum", "a"}, "unknown option --sum"),
        fails(U, {"--mean", "-o", "out", "a", "--mean"}, "--mean is given twice"),
        fails(U, {"a", "-o", "--mean"}, "-o needs a file name"),
        fails(U, {"--help", "--mean"}, "--help goes alone"),
        {.what = "help", .args = {"--help"}, .out = usage +
            "Combines images of one pixel type and size into OUT, value by value:\n"
            "their median (the default) or their mean. See pixcombine(1).\n"
            "\n"
            "Scaling, then rejection, in this order, before the combination:\n"
            "  --scale median|mean       multiply each input by 1 / its median or mean\n"
            "                            (OUT is then binary64)\n"
            "  --minmax MIN,MAX          reject values outside [MIN, MAX]\n"
            "  --extrema NLOW,NHIGH      reject the NLOW lowest and NHIGH highest values\n"
            "  --sigma-clip LOW,HIGH     reject values below center - LOW * dev or\n"
            "                            above center + HIGH * dev\n"
            "  --clip-center median|mean   (median)\n"
            "  --clip-dev std|mad_std      (mad_std)\n"
            "  --clip-iterations N         (1; 0: until nothing more is rejected)\n"
            "  --rejected FILE           a uint16 image of how many values each pixel lost\n"
            "\n"
            "  --type binary64|uint16    OUT's pixel type: binary64 keeps the fraction of\n"
            "                            uint16 inputs' means; uint16 rounds binary64 results\n"
            "                            to nearest, ties to even, clamped to 0..65535\n", .result = {}},
        {.what = "version", .args = {"--version"}, .out = "pixcombine " PROJECT_VERSION "\n", .result = {}},
        {.what = "version to a full disk", .args = {"--version"}, .options = {.shell = "exec \"$0\" \"$@\" > /dev/full"},
         .status = F},
        fails(F, {"-o", "out", "a", "nothing", "c"}, "nothing: cannot open: No such file or directory"),
        fails(F, {"-o", "out", "a", "."}, ".: cannot open: Is a directory"),
        bad("b", b.file().substr(0, 63), "cut short in its 64-byte header"),
        bad("b", mi.file(), "not an image: it does not begin with \"IM\""),
        bad("b", b.file().substr(0, 64 + 1), "cut short in its comment of 2 bytes"),
        bad("b", type3.file(), "unknown pixel type 3 (known: 2 for uint16, 10 for binary64)"),
        bad("f", f64_image(3, 2, {1, 2, 3, 4, 5, 6}).file(), "3x2 type 10, but a is 3x2 type 2"),
        bad("t", u16_image(2, 3, {1, 2, 3, 4, 5, 6}).file(), "2x3 type 2, but a is 3x2 type 2"),
        bad("w", u16_image(4, 2, {1, 2, 3, 4, 5, 6, 7, 8}).file(), "4x2 type 2, but a is 3x2 type 2"),
        {.what = "values a byte short; an older OUT kept", .files = {{"a", a.file()}, {"b", b.file().substr(0, 71)}},
         .args = {"-o", "out", "a", "b"}, .status = F, .err = "pixcombine: b: cut short: 2 of 6 values\n",
         .old = "older bytes"},
        fails(F, {"-o", "./c", "a", "b", "c"}, "./c: is the same file as the input c"),
        fails(F, {"-o", ".", "a"}, ".: not a regular file, and the result would replace it"),
        fails(F, {"-o", "no/out", "a"}, "no/out: cannot create: No such file or directory"),
    });
}

// ---- Scaling and rejection, run as a user runs them ----

// OUT's comment: the first input's, a line feed where it lacks one, and
// the record of the run.
Image recorded(Image image, const Bytes& record, std::uint16_t type, const Bytes& values)
{
    if (!image.comment.empty() && image.comment.back() != '\n')
        image.comment += '\n';
    image.comment += "pixcombine " PROJECT_VERSION ": " + record + "\n";
    image.file_type = type;
    image.values = values;
    return image;
}

Case usage_error(std::vector<std::string> options, const Bytes& message)
{
    options.insert(options.end(), {"-o", "out", "a", "b", "c"});
    return fails(U, std::move(options), message);
}

TEST_F(Combine_Cli, OptionValuesAreCheckedBeforeAnyWork)
{
    const Bytes sigma = "--sigma-clip takes LOW,HIGH: two finite numbers above 0, such as 5,5";
    const Bytes minmax = "--minmax takes MIN,MAX: two numbers, MIN at most MAX, such as 0,60000";
    const Bytes extrema = "--extrema takes NLOW,NHIGH: two whole numbers, such as 1,1";
    std::vector<Case> cases = {
        usage_error({"--sigma-clip", "3"}, sigma), usage_error({"--sigma-clip", "0,3"}, sigma),
        usage_error({"--sigma-clip", "3,-1"}, sigma), usage_error({"--sigma-clip", "3,nan"}, sigma),
        usage_error({"--sigma-clip", "inf,3"}, sigma), usage_error({"--sigma-clip", "3,3,3"}, sigma),
        usage_error({"--sigma-clip", " 3,3"}, sigma), usage_error({"--sigma-clip", "3,3x"}, sigma),
        usage_error({"--sigma-clip", ",3"}, sigma), usage_error({"--sigma-clip", "--mean"}, sigma),
        usage_error({"--minmax", "5,1"}, minmax), usage_error({"--minmax", "nan,1"}, minmax),
        usage_error({"--minmax", "1,"}, minmax), usage_error({"--minmax", "1;2"}, minmax),
        usage_error({"--extrema", "-1,1"}, extrema), usage_error({"--extrema", "1.5,1"}, extrema),
        usage_error({"--extrema", "18446744073709551616,0"}, extrema), usage_error({"--extrema", "+1,1"}, extrema),
        usage_error({"--clip-iterations", "x", "--sigma-clip", "3,3"},
                    "--clip-iterations takes a whole number: 0 for until nothing more is rejected"),
        usage_error({"--sigma-clip", "3,3", "--clip-center", "mode"}, "--clip-center takes median or mean"),
        usage_error({"--sigma-clip", "3,3", "--clip-dev", "mad"}, "--clip-dev takes std or mad_std"),
        usage_error({"--scale", "sum"}, "--scale takes median or mean"),
        usage_error({"--sigma-clip", "3,3", "--mean", "--sigma-clip", "3,3"}, "--sigma-clip is given twice"),
        usage_error({"--extrema", "1,1", "--extrema", "1,1"}, "--extrema is given twice"),
        usage_error({"--scale", "mean", "--scale", "median"}, "--scale is given twice"),
        usage_error({"--rejected", "r", "--rejected", "s"}, "--rejected is given twice"),
        usage_error({"--type", "int32"}, "--type takes binary64 or uint16"),
        usage_error({"--type", "uint16", "--type", "uint16"}, "--type is given twice"),
        fails(U, {"-o", "out", "a", "--type"}, "--type takes binary64 or uint16"),
        usage_error({"--clip-dev", "std"}, "--clip-dev needs --sigma-clip"),
        usage_error({"--clip-iterations", "2"}, "--clip-iterations needs --sigma-clip"),
        fails(U, {"-o", "out", "a", "--minmax"}, minmax),
        fails(U, {"-o", "out", "a", "--rejected"}, "--rejected needs a file name"),
    };
    std::vector<std::string> many = {"--rejected", "r", "-o", "out"};
    many.resize(many.size() + 65536, "a");
    cases.push_back(fails(U, many, "--rejected counts up to 65535 values a pixel, but there are 65536 inputs"));
    check(cases);
}

TEST_F(Combine_Cli, ScalingAndRejectionRecordWhatTheyDid)
{
    const Image x = u16_image(2, 1, {2, 6}, "flat x\n", '\x11'), y = u16_image(2, 1, {1, 3}, "y");
    const Image n = f64_image(2, 1, {NAN, INFINITY}), z = f64_image(3, 1, {0, 0, 5}), s = f64_image(2, 1, {sub, sub});
    const Bytes median_of_all = le16({1, 2, 65535, 8, 101, 3});
    Image long_comment = a, full = a;
    long_comment.comment = Bytes(65500, 'c');
    const Bytes fills = "3 inputs, --median --minmax 2,2";
    full.comment = Bytes(65535 - 1 - Bytes("pixcombine " PROJECT_VERSION ": " + fills + "\n").size(), 'c');
    const Image p = f64_image(2, 1, {0.5, 3}, "p"), q = f64_image(2, 1, {1, 0.25});
    std::vector<std::pair<std::string, Bytes>> xy = {{"x", x.file()}, {"y", y.file()}};
    check({
        {.what = "extrema: the middle of three; no line feed after the comment: one added",
         .args = {"--mean", "--extrema", "1,1", "-o", "out", "a", "b", "c"},
         .result = recorded(a, "3 inputs, --mean --extrema 1,1", 2, median_of_all).file()},
        {.what = "every option in the record, in the order applied",
         .args = {"--sigma-clip", "2.5,1e300", "--minmax", "-inf,0x1p4", "--clip-iterations", "0", "--extrema", "0,0",
                  "--clip-dev", "std", "--clip-center", "mean", "-o", "out", "a", "b", "c"},
         // 65535 and 100-102 above 16: the median of 0 and 1 rounds to
         // even, and 101 is the plain median of a pixel with nothing left.
         .err = "pixcombine: out: every value of 1 pixels was rejected: they hold the median of all their values\n",
         .result = recorded(a, "3 inputs, --median --minmax -inf,16 --extrema 0,0 --sigma-clip 2.5,1.0000000000000001e+300 "
                               "--clip-center mean --clip-dev std --clip-iterations 0", 2, le16({0, 2, 0, 8, 101, 3})).file()},
        {.what = "scaled: binary64 out, the first input's other header bytes; a comment that ends a line",
         .files = xy, .args = {"--scale", "mean", "--mean", "-o", "out", "x", "y"},
         .result = recorded(x, "2 inputs, --mean --scale mean", 10, le64({0.5, 1.5})).file()},
        {.what = "scaled by the median", .files = xy, .args = {"--scale", "median", "-o", "out", "x", "y"},
         .result = recorded(x, "2 inputs, --median --scale median", 10, le64({0.5, 1.5})).file()},
        {.what = "every value rejected, uint16: the plain median", .args = {"--extrema", "2,1", "-o", "out", "a", "b", "c"},
         .err = "pixcombine: out: every value of 6 pixels was rejected: they hold the median of all their values\n",
         .result = recorded(a, "3 inputs, --median --extrema 2,1", 2, median_of_all).file()},
        {.what = "every value rejected, scaled: NaN", .files = xy,
         .args = {"--mean", "--scale", "mean", "--minmax", "2,3", "-o", "out", "x", "y"},
         .err = "pixcombine: out: every value of 2 pixels was rejected: they hold NaN\n",
         .result = recorded(x, "2 inputs, --mean --scale mean --minmax 2,3", 10, le64({qnan, qnan})).file()},
        {.what = "no room for the record", .files = {{"a", long_comment.file()}, {"b", b.file()}, {"c", c.file()}},
         .args = {"--extrema", "1,1", "-o", "out", "a", "b", "c"},
         .err = "pixcombine: out: the line that records this run is left out of its comment, which would pass 65535 bytes\n",
         .result = long_comment.header() + long_comment.comment + median_of_all},
        {.what = "MIN equal to MAX; a record that fills the comment to 65535 bytes",
         .files = {{"a", full.file()}, {"b", b.file()}, {"c", c.file()}}, .args = {"--minmax", "2,2", "-o", "out", "a", "b", "c"},
         .err = "pixcombine: out: every value of 4 pixels was rejected: they hold the median of all their values\n",
         .result = recorded(full, fills, 2, le16({1, 2, 65535, 8, 101, 2})).file()},
        {.what = "binary64 inputs: the counts are uint16", .files = {{"p", p.file()}, {"q", q.file()}},
         .args = {"--minmax", "0,1", "--rejected", "r", "-o", "out", "p", "q"},
         .result = recorded(p, "2 inputs, --median --minmax 0,1", 10, le64({0.75, 0.25})).file(),
         .rejected = recorded(p, "2 inputs, --median --minmax 0,1", 2, le16({0, 1})).file()},
        {.what = "plain: no record, as before", .args = {"--rejected", "r", "-o", "out", "a", "b", "c"},
         .result = median_abc, .rejected = a.header() + a.comment + le16({0, 0, 0, 0, 0, 0})},
        {.what = "the counts, with the record", .args = {"--mean", "--extrema", "0,1", "--rejected", "r", "-o", "out", "a", "b", "c"},
         // The later of two equal values ranks the higher; means round to even.
         .result = recorded(a, "3 inputs, --mean --extrema 0,1", 2, le16({0, 2, 32768, 8, 100, 2})).file(),
         .rejected = recorded(a, "3 inputs, --mean --extrema 0,1", 2, le16({1, 1, 1, 1, 1, 1})).file()},
        fails(F, {"--scale", "mean", "-o", "out", "a", "n"}, "n: has no finite value to take the mean of, for --scale",
              {{"a", f64_image(2, 1, {1, 2}).file()}, {"n", n.file()}}),
        fails(F, {"--scale", "median", "-o", "out", "z"}, "z: its median, 0, has no finite inverse to scale by", {{"z", z.file()}}),
        fails(F, {"--scale", "median", "-o", "out", "s"},
              "s: its median, 4.9406564584124654e-324, has no finite inverse to scale by", {{"s", s.file()}}),
        {.what = "scaled: a pipe", .args = {"--scale", "mean", "-o", "out", "a", "/dev/stdin"},
         .options = {.stdin_pieces = {b.file()}}, .status = F,
         .err = "pixcombine: /dev/stdin: is a pipe or device, but --scale reads each input twice\n"},
        fails(F, {"--rejected", "./out", "-o", "out", "a"}, "./out: is the same file as the output out"),
        fails(F, {"--rejected", "c", "-o", "out", "a", "b", "c"}, "c: is the same file as the input c"),
        fails(F, {"--rejected", ".", "-o", "out", "a"}, ".: not a regular file, and the result would replace it"),
    });
}

TEST_F(Combine_Cli, TypeSetsThePixelTypeOfOut)
{
    Image a64 = a, ab64 = a;
    a64.file_type = 10;
    a64.values = le64({65536.0 / 3, 2, 131070.0 / 3, 8, 101, 3});
    ab64.file_type = 10;
    ab64.values = le64({32767.5, 1.5, 65535, 7.5, 100.5, 2.5});
    // Rounded to nearest, ties to even; -0.5 rounds to 0 and 65535.5 to
    // 65536, which is clamped.
    const Image p = f64_image(3, 2, {-0.6, 0.5, 2.5, 65535.5, NAN, -0.5}, "p");
    const Bytes p16 = le16({0, 0, 2, 65535, 0, 0});
    Image p_out = p;
    p_out.file_type = 2;
    p_out.values = p16;
    const Bytes clamped = "pixcombine: out: 3 values clamped to 0..65535 (1 below 0, 1 above 65535, 1 NaN as 0)\n";
    check({
        {.what = "uint16 means unrounded in binary64: the first input's other header bytes and comment",
         .args = {"--type", "binary64", "--mean", "-o", "out", "a", "b", "c"}, .result = a64.file()},
        {.what = "an even count's medians", .args = {"--type=binary64", "-o", "out", "a", "b"}, .result = ab64.file()},
        {.what = "uint16 into uint16: as without --type", .args = {"--type", "uint16", "-o", "out", "a", "b", "c"}},
        {.what = "binary64 into uint16: rounded, clamped and counted", .files = {{"p", p.file()}},
         .args = {"--type", "uint16", "-o", "out", "p"}, .err = clamped, .result = p_out.file()},
        {.what = "with rejection: --type in the record; the NaN rejected, so its pixel holds the plain mean, 0",
         .files = {{"p", p.file()}}, .args = {"--type", "uint16", "--mean", "--extrema", "0,0", "-o", "out", "p"},
         .err = "pixcombine: out: every value of 1 pixels was rejected: they hold the mean of all their values\n" +
                clamped,
         .result = recorded(p, "1 inputs, --mean --extrema 0,0 --type uint16", 2, p16).file()},
        {.what = "every value rejected, into uint16: the plain median of all, rounded", .files = {{"p", p.file()}},
         .args = {"--type", "uint16", "--extrema", "1,0", "-o", "out", "p"},
         .err = "pixcombine: out: every value of 6 pixels was rejected: they hold the median of all their values\n" +
                clamped,
         .result = recorded(p, "1 inputs, --median --extrema 1,0 --type uint16", 2, p16).file()},
        {.what = "every value rejected, uint16 into binary64: NaN",
         .args = {"--type", "binary64", "--extrema", "2,1", "-o", "out", "a", "b", "c"},
         .err = "pixcombine: out: every value of 6 pixels was rejected: they hold NaN\n",
         .result = recorded(a, "3 inputs, --median --extrema 2,1 --type binary64", 10,
                            le64({qnan, qnan, qnan, qnan, qnan, qnan})).file()},
    });
}

TEST_F(Combine_Cli, PipesFaultsAndClosedDescriptors)
{
    const Bytes f = a.file(), short_b = b.file().substr(0, 64 + 2 + 2);
    check({
        {.what = "the first input from a pipe, in pieces", .args = {"--mean", "-o", "out", "/dev/stdin", "b", "c"},
         .options = {.stdin_pieces = {f.substr(0, 30), f.substr(30, 42), f.substr(72, 1), f.substr(73)}},
         .result = mean_abc},
        {.what = "a pipe one byte short", .args = {"-o", "out", "a", "/dev/stdin", "c"},
         .options = {.stdin_pieces = {b.file().substr(0, b.file().size() - 1)}}, .status = F,
         .err = "pixcombine: /dev/stdin: cut short: 5 of 6 values\n"},
        {.what = "a pipe given twice", .args = {"-o", "out", "a", "/dev/stdin", "/dev/fd/0"},
         .options = {.stdin_pieces = {b.file(), b.file()}}, .status = F,
         .err = "pixcombine: /dev/fd/0: is the same pipe or device as /dev/stdin, which can be read only once\n"},
        {.what = "a read fails", .options = {.fault = "pread"}, .status = F,
         .err = "pixcombine: a: cut short: 0 of 6 values\n"},
        {.what = "closing OUT fails", .options = {.fault = "close"}, .status = F,
         .err = "pixcombine: out: cannot put the result in place: Input/output error\n"},
        {.what = "FILE cannot be put in place: neither output left", .args = {"--rejected", "r", "-o", "out", "a"},
         .options = {.fault = "close"}, .status = F, .err = "pixcombine: r: cannot put the result in place: Input/output error\n"},
        {.what = "a hidden file beside OUT", .options = {.fault = "no_tmpfile"}},
        {.what = "a hidden file beside OUT, a failure", .files = {{"a", a.file()}, {"b", short_b}},
         .args = {"-o", "out", "a", "b"}, .options = {.fault = "no_tmpfile"}, .status = F,
         .err = "pixcombine: b: cut short: 1 of 6 values\n"},
        {.what = "a hidden file beside OUT, past the size limit",
         .options = {.file_size_limit = 80, .fault = "no_tmpfile"}, .status = F,
         .err = "pixcombine: out: cannot write: File too large\n"},
        {.what = "all standard descriptors closed", .options = {.shell = "exec \"$0\" \"$@\" <&- >&- 2>&-"}},
        {.what = "help, stdout closed", .args = {"--help"}, .options = {.shell = "exec \"$0\" \"$@\" >&-"}, .result = {}},
    });
}

// 300 inputs: the soft limit on open files is raised to the hard one; past
// the hard one the message says how many can be combined, and that many
// can, but not one more.
TEST_F(Combine_Cli, ManyInputsUpToTheOpenFileLimit)
{
    std::vector<std::string> args = {"--mean", "-o", "out"};
    for (int k = 0; k < 300; ++k) {
        args.push_back("in" + std::to_string(k));
        put(args.back(), u16_image(2, 1, {static_cast<std::uint16_t>(k), static_cast<std::uint16_t>(k % 2 ? 65535 : 0)}).file());
    }
    Run_Result r = run(args, {.shell = "ulimit -S -n 64 && exec \"$0\" \"$@\""});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get("out"), u16_image(2, 1, {}).header() + le16({150, 32768})); // 149.5 and 32767.5, to even
    const Run_Options hard100 = {.shell = "ulimit -S -n 100 && ulimit -H -n 100 && exec \"$0\" \"$@\""};
    unsigned long long at_most = 0;
    r = run(args, hard100);
    ASSERT_EQ(std::sscanf(r.err.c_str(), "pixcombine: 300 inputs, but at most %llu files", &at_most), 1) << r.err;
    // Descriptors the test harness leaves open, and OUT's, take a few.
    EXPECT_TRUE(at_most >= 50 && at_most <= 97) << at_most;
    for (unsigned long long inputs : {300ull, at_most + 1, at_most}) {
        args.resize(3 + inputs);
        r = run(args, hard100);
        EXPECT_EQ(r.status, inputs > at_most ? 1 : 0) << inputs;
        EXPECT_EQ(r.err, inputs <= at_most ? "" : "pixcombine: " + std::to_string(inputs) + " inputs, but at most " +
                  std::to_string(at_most) + " files can be combined (the open-file limit is 100)\n");
    }
}

// A regular input cut by another program during the run: the second input
// is a FIFO whose first chunk the test sends, waits until it is read (by
// then every size has been checked), cuts the third input past the first
// chunk, and sends the rest.
TEST_F(Combine_Cli, AnInputCutShortDuringTheRunFailsWithNoOutput)
{
    const std::uint64_t chunk = (2 << 20) / (3 * 2);
    const Bytes whole = u16_image(600, 1000, std::vector<std::uint16_t>(600000, 7)).file();
    put("a", whole);
    put("c", whole);
    ASSERT_EQ(mkfifo(path("b").c_str(), 0600), 0);
    auto cut_c = [&] {
        int fifo = open(path("b").c_str(), O_WRONLY);
        std::size_t first = 64 + chunk * 2;
        EXPECT_EQ(write(fifo, whole.data(), first), static_cast<ssize_t>(first));
        for (int unread = 1; ioctl(fifo, FIONREAD, &unread) == 0 && unread > 0;)
            usleep(1000);
        std::filesystem::resize_file(path("c"), 64 + 540000 * 2 + 1);
        (void)!write(fifo, whole.data() + first, whole.size() - first);
        close(fifo);
    };
    Run_Result r = run({"-o", "out", "a", "b", "c"}, {.while_running = cut_c});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pixcombine: c: cut short: 540000 of 600000 values\n");
    EXPECT_EQ(names(), (std::set<std::string>{"a", "b", "c"}));
    // Nor is a FIFO replaced (a device likewise, but a fault could then
    // replace /dev/null).
    EXPECT_EQ(run({"-o", "b", "a"}).err, "pixcombine: b: not a regular file, and the result would replace it\n");
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
    } runs[] = {{type_uint16, 1024, 1024, 300, 65535}, {type_binary64, 2048, 2048, 16, 0},
                {type_binary64, 256, 256, 300, 0}};
    for (const auto& [type, x, y, inputs, comment] : runs) {
        SCOPED_TRACE(inputs);
        const std::uint64_t n = std::uint64_t{x} * y, size = type == type_uint16 ? 2 : 8, start = 64 + comment;
        const Image image{type, x, y, Bytes(comment, 'c'), "", 0, "IM", std::nullopt};
        const auto value = [size](std::uint64_t v) {
            return size == 2 ? le16({static_cast<std::uint16_t>(v)}) : le64({static_cast<double>(v)});
        };
        // uint16 by their mean, binary64 by their median. Input k holds
        // 1000 + k at value 1000 * k, whose median is 0; at value n - 1,
        // every input holds 9.
        std::vector<std::string> args = {size == 2 ? "--mean" : "--median", "-o", "out"};
        Bytes expected = image.header() + image.comment + Bytes(n * size, '\0');
        for (std::uint64_t k = 0; k < inputs; ++k) {
            args.push_back("in" + std::to_string(k));
            put(args.back(), image.header() + image.comment);
            std::fstream f(path(args.back()), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(start + 1000 * k * size)) << value(1000 + k);
            f.seekp(static_cast<std::streamoff>(start + (n - 1) * size)) << value(9);
            if (size == 2)
                expected.replace(start + 1000 * k * size, size, value(mean_uint16(1000 + k, inputs)));
        }
        expected.replace(start + (n - 1) * size, size, value(9));
        Run_Result r = run(args, {.address_space_limit = 32 << 20});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(get("out") == expected);
        for (std::uint64_t k = 0; k < inputs; ++k)
            std::filesystem::remove(path(args[3 + k]));
    }
}

// The same limit with scaling and rejection: each input's statistics
// (binary64 medians take every pass of their selection over 4 Mi zeros),
// the clipping's work a tile and a pixel at a time, and FILE's chunks.
TEST_F(Combine_Cli, ScalingAndRejectionRunWithin32MiB)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the limit";
#endif
    const struct {
        std::uint16_t type, x, y;
        std::uint64_t inputs;
        std::vector<std::string> options;
        int status;
        Bytes err;
    } runs[] = {
        {type_binary64, 2048, 2048, 16, {"--sigma-clip", "3,3", "--rejected", "r"}, 0, ""},
        {type_binary64, 2048, 2048, 16, {"--scale", "median"}, 1,
         "pixcombine: in0: its median, 0, has no finite inverse to scale by\n"},
        {type_uint16, 512, 512, 300, {"--scale", "mean", "--extrema", "1,1", "--sigma-clip", "2,2", "--rejected", "r"}, 0, ""},
    };
    for (const auto& [type, x, y, inputs, options, status, err] : runs) {
        SCOPED_TRACE(inputs);
        const std::uint64_t size = type == type_uint16 ? 2 : 8, n = std::uint64_t{x} * y;
        const Image image{type, x, y, "", "", 0, "IM", std::nullopt};
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--mean", "-o", "out"});
        for (std::uint64_t k = 0; k < inputs; ++k) {
            args.push_back("in" + std::to_string(k));
            put(args.back(), image.header());
            std::fstream f(path(args.back()), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(64 + (n - 1) * size)) << (size == 2 ? le16({9}) : le64({9}));
        }
        Run_Result r = run(args, {.address_space_limit = 32 << 20});
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        // FILE and OUT have the same header and comment, and OUT's values
        // are binary64 here.
        if (status == 0) {
            EXPECT_EQ(std::filesystem::file_size(path("out")) - std::filesystem::file_size(path("r")), n * 6);
        }
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
    }
}

} // namespace
