// Runs the built binary on files made here and checks its standard output,
// standard error, exit status and the output file's bytes.
#include "test_support.h"

#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string usage =
    "The usage is 'pixdelta file1 file2 file3 offset'\n file3 = (file1-file2) + offset\n";

std::string report(int input, const Image& image)
{
    std::string n = std::to_string(input);
    std::string text = "x_size" + n + "         " + std::to_string(image.x_size) + " \n" +
                       "y_size" + n + "         " + std::to_string(image.y_size) + " \n" +
                       "comment length" + n + " " + std::to_string(image.comment.size()) + " \n\n";
    if (input == 1)
        text += std::to_string(image.file_type) + "\n";
    return text;
}

Image u16_image(std::uint16_t x, std::uint16_t y, std::vector<std::uint16_t> values,
                Bytes comment = "", unsigned char filler = 0)
{
    Image image;
    image.x_size = x;
    image.y_size = y;
    image.comment = comment;
    image.values = le16(values);
    image.filler = filler;
    return image;
}

Image f64_image(std::uint16_t x, std::uint16_t y, std::vector<double> values, Bytes comment = "")
{
    Image image = u16_image(x, y, {}, comment);
    image.file_type = 10;
    image.values = le64(values);
    return image;
}

// A 2 x 2 pair with comments and distinct uninterpreted header bytes.
const Image in1 = u16_image(2, 2, {1000, 200, 65535, 5}, "first comment", 0xA1);
const Image in2 = u16_image(2, 2, {200, 1000, 0, 5}, "second", 0xB2);
const Bytes in1_start = header_bytes(in1) + in1.comment;

class Cli : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void put(const std::string& name, const Bytes& bytes) const { write_file(path(name), bytes); }
    std::optional<Bytes> output() const { return read_file(path("out")); }
    Run_Result run(const std::vector<std::string>& args) const { return run_tool(args, dir); }

    std::string dir;
};

// ---- failures: message, stream, status and what is left in file3 ----------

enum class Left { absent, empty, header_and_comment_1, unchecked };

struct Failure_Case {
    const char* what;
    std::optional<Bytes> file1;
    std::optional<Bytes> file2;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    Left left;
};

Bytes with_magic(Image image, Bytes magic)
{
    image.magic = magic;
    return file_bytes(image);
}

const std::vector<std::string> plain_args = {"in1", "in2", "out", "0"};

std::vector<Failure_Case> failure_cases()
{
    Bytes good1 = file_bytes(in1), good2 = file_bytes(in2);
    Image lying_comment = in1;
    lying_comment.comment_length = 3;
    lying_comment.comment = "";
    Image short_block = u16_image(4, 3, std::vector<std::uint16_t>(12, 7));
    Bytes short_block_bytes = file_bytes(short_block);
    short_block_bytes.pop_back();
    Image huge = u16_image(65535, 32769, {});
    Image wider = u16_image(3, 2, {1, 2, 3, 4, 5, 6});
    Image float2 = f64_image(2, 2, {1, 2, 3, 4});
    Image type3 = in1, type0 = in1;
    type3.file_type = 3;
    type0.file_type = 0;
    Image type1 = in2;
    type1.file_type = 1;

    std::string r1 = report(1, in1), r2 = report(2, in2);
    const int F = 255, T = 247;
    return {
        {"no arguments", good1, good2, {}, F, usage, "", Left::absent},
        {"three arguments", good1, good2, {"in1", "in2", "out"}, F, usage, "", Left::absent},
        {"file1 missing", std::nullopt, good2, plain_args, F, "can not open file1 for input\n", "",
         Left::absent},
        {"file2 missing", good1, std::nullopt, plain_args, F, "can not open file2 for input\n", "",
         Left::absent},
        {"file3 in a missing folder", good1, good2, {"in1", "in2", "no/out", "0"}, F,
         "can not open file3 for output\n", "", Left::absent},
        {"file3 a folder", good1, good2, {"in1", "in2", ".", "0"}, F,
         "can not open file3 for output\n", "", Left::absent},
        {"file1 empty", "", good2, plain_args, F, "", "EOF in in1 (header)\n", Left::empty},
        {"file1 of 63 bytes", good1.substr(0, 63), good2, plain_args, F, "",
         "EOF in in1 (header)\n", Left::empty},
        {"magic in lower case", with_magic(in1, "im"), good2, plain_args, F, "",
         "This is not Velkin image file.\n", Left::empty},
        {"magic swapped", with_magic(in1, "MI"), good2, plain_args, F, "",
         "This is not Velkin image file.\n", Left::empty},
        {"magic with a zero byte", with_magic(in1, Bytes("I\0", 2)), good2, plain_args, F, "",
         "This is not Velkin image file.\n", Left::empty},
        {"comment past the end", header_bytes(lying_comment), good2, plain_args, F, "",
         "EOF found (comment)\n", Left::empty},
        {"file1 type 3", file_bytes(type3), good2, plain_args, T,
         report(1, type3) + "Unknown file type in file1!", "", Left::empty},
        {"file1 type 0", file_bytes(type0), good2, plain_args, T,
         report(1, type0) + "Unknown file type in file1!", "", Left::empty},
        {"file1 block one byte short", short_block_bytes, good2, plain_args, F,
         report(1, short_block), "EOF found in the data of in1 (11 12) \n", Left::empty},
        {"file1 count above 2^31", file_bytes(huge), good2, plain_args, F, report(1, huge),
         "EOF found in the data of in1 (0 2147516415) \n", Left::empty},
        {"file2 empty", good1, "", plain_args, F, r1, "EOF in in2 (header)\n",
         Left::header_and_comment_1},
        {"file2 bad magic", good1, with_magic(in2, "IN"), plain_args, F, r1,
         "2This is not Velkin image file.\n", Left::header_and_comment_1},
        {"file2 comment past the end", good1, good2.substr(0, 64 + 3), plain_args, F, r1,
         "EOF found (comment)\n", Left::header_and_comment_1},
        {"file2 type 1", good1, file_bytes(type1), plain_args, T,
         r1 + r2 + "Unknown file type in file2!", "", Left::header_and_comment_1},
        {"file2 block short", good1, good2.substr(0, good2.size() - 3), plain_args, F, r1 + r2,
         "EOF found in the data of in2 (2 4) \n", Left::header_and_comment_1},
        {"types differ", good1, file_bytes(float2), plain_args, F, r1 + report(2, float2),
         "file types differ: in1 has type 2, in2 has type 10\n", Left::header_and_comment_1},
        {"file1 has fewer values", good1, file_bytes(wider), plain_args, F, r1 + report(2, wider),
         "in1 has fewer values than in2 (4 6)\n", Left::header_and_comment_1},
        {"full disk", good1, good2, {"in1", "in2", "/dev/full", "0"}, F, r1,
         "something wrong in /dev/full (header)\n", Left::unchecked},
    };
}

TEST_F(Cli, FailuresPrintTheirMessageAndLeaveTheOutputAsDocumented)
{
    for (const auto& c : failure_cases()) {
        SCOPED_TRACE(c.what);
        unlink(path("in1").c_str());
        unlink(path("in2").c_str());
        unlink(path("out").c_str());
        if (c.file1)
            put("in1", *c.file1);
        if (c.file2)
            put("in2", *c.file2);
        // A leftover output must be truncated once file3 is opened.
        if (c.left != Left::absent)
            put("out", "stale bytes from an earlier run");

        Run_Result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        switch (c.left) {
        case Left::absent: EXPECT_FALSE(output().has_value()); break;
        case Left::empty: EXPECT_EQ(output(), Bytes()); break;
        case Left::header_and_comment_1: EXPECT_EQ(output(), in1_start); break;
        case Left::unchecked: break;
        }
    }
}

// ---- writes that fail part way ---------------------------------------------

TEST_F(Cli, AFailedWriteKeepsWhatWasAcceptedAndReportsTheStep)
{
    // in1: 64 header bytes, 13 comment bytes, then 4 values of 2 bytes.
    struct Case {
        std::uint64_t limit;
        std::string err;
    };
    const Case cases[] = {
        {10, "something wrong in out (header)\n"},
        {64, "something wrong in comment of out (header)\n"},
        {70, "something wrong in comment of out (header)\n"},
        {77, "something wrong in data area 1  4\n"},
        {82, "something wrong in data area 1  4\n"},
    };
    put("in1", file_bytes(in1));
    put("in2", file_bytes(in2));
    Bytes full = in1_start + le16({800, 64736, 65535, 0});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        Run_Result r = run_tool({"in1", "in2", "out", "0"}, dir, {.file_size_limit = c.limit});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(output(), full.substr(0, c.limit));
    }
}

// ---- inputs that are not regular files ----------------------------------------

TEST_F(Cli, InputsFromPipesAreReadLikeFiles)
{
    put("in2", file_bytes(in2));
    Run_Result r = run_tool({"/dev/stdin", "in2", "out", "0"}, dir,
                            {.stdin_bytes = file_bytes(in1) + "trailing"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(output(), in1_start + le16({800, 64736, 65535, 0}));

    Bytes short_in2 = file_bytes(in2);
    short_in2.pop_back();
    put("in1", file_bytes(in1));
    r = run_tool({"in1", "/dev/stdin", "out", "0"}, dir, {.stdin_bytes = short_in2});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "EOF found in the data of /dev/stdin (3 4) \n");
    EXPECT_EQ(output(), in1_start);
}

// ---- an output that names an input ------------------------------------------

TEST_F(Cli, OutputNamingAnInputIsRefusedAndChangesNothing)
{
    struct Clash {
        const char* file3;
        const char* message;
    };
    const Clash clashes[] = {
        {"in1", "can not use in1 as file3: it is the same file as file1 in1\n"},
        {"./in1", "can not use ./in1 as file3: it is the same file as file1 in1\n"},
        {"hard", "can not use hard as file3: it is the same file as file1 in1\n"},
        {"soft", "can not use soft as file3: it is the same file as file1 in1\n"},
        {"in2", "can not use in2 as file3: it is the same file as file2 in2\n"},
    };
    put("in1", file_bytes(in1));
    put("in2", file_bytes(in2));
    ASSERT_EQ(link(path("in1").c_str(), path("hard").c_str()), 0);
    ASSERT_EQ(symlink("in1", path("soft").c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(path("in1").c_str(), &before), 0);

    for (const auto& c : clashes) {
        SCOPED_TRACE(c.file3);
        Run_Result r = run({"in1", "in2", c.file3, "5"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(read_file(path("in1")), file_bytes(in1));
        EXPECT_EQ(read_file(path("in2")), file_bytes(in2));
    }
    struct stat after;
    ASSERT_EQ(stat(path("in1").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// ---- successful runs ----------------------------------------------------------

TEST_F(Cli, SuccessReportsBothInputsAndWritesInput1HeaderAndTheDifference)
{
    put("in1", file_bytes(in1) + "trailing bytes of input 1");
    put("in2", file_bytes(in2) + "trailing bytes of input 2");
    put("out", Bytes(1000, 'x'));
    Run_Result r = run({"in1", "in2", "out", "0", "extra", "args"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "x_size1         2 \ny_size1         2 \ncomment length1 13 \n\n2\n"
                     "x_size2         2 \ny_size2         2 \ncomment length2 6 \n\n");
    EXPECT_EQ(output(), in1_start + le16({800, 64736, 65535, 0}));
}

TEST_F(Cli, Uint16DifferenceWrapsModulo65536)
{
    struct Case {
        std::uint16_t a, b;
        const char* offset;
        std::uint16_t r;
    };
    const Case cases[] = {
        {1000, 200, "0", 800},   {200, 1000, "0", 64736}, {200, 1000, "1000", 200},
        {65535, 0, "1", 0},      {5, 5, "-1", 65535},     {0, 65535, "0", 1},
        {0, 0, "40000", 40000},  {0, 0, "-32769", 32767}, {65535, 65535, "70000", 4464},
        {100, 0, "32768", 32868}, {0, 1, "65536", 65535}, {7, 7, "  +12abc", 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        // Odd comment lengths leave the pixel block at an odd file offset.
        put("in1", file_bytes(u16_image(1, 1, {c.a}, "odd")));
        put("in2", file_bytes(u16_image(1, 1, {c.b}, "x")));
        Run_Result r = run({"in1", "in2", "out", c.offset});
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(output(), header_bytes(u16_image(1, 1, {}, "odd")) + "odd" + le16({c.r}));
    }
}

TEST_F(Cli, Binary64DifferenceRoundsTheSumFirstAndFollowsIeee)
{
    const double inf = INFINITY, two53 = 9007199254740992.0, tiny = 4.9406564584124654e-324;
    struct Case {
        double a, b;
        const char* offset;
        double r;
    };
    const Case cases[] = {
        {two53, two53, "1", 0.0},       {1.5, 0.25, "0", 1.25},     {0, 0, "40000", -25536.0},
        {0, 0, "70000", 4464.0},        {inf, 1e308, "5", inf},    {-inf, inf, "0", -inf},
        {tiny, 0, "0", tiny},           {3 * tiny, tiny, "0", 2 * tiny},
        {1e308, -1e308, "0", inf},      {0.1, 0.2, "0", 0.1 - 0.2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        put("in1", file_bytes(f64_image(1, 1, {c.a})));
        put("in2", file_bytes(f64_image(1, 1, {c.b})));
        ASSERT_EQ(run({"in1", "in2", "out", c.offset}).status, 0);
        EXPECT_EQ(output(), header_bytes(f64_image(1, 1, {})) + le64({c.r}));
    }

    put("in1", file_bytes(f64_image(2, 1, {inf, NAN})));
    put("in2", file_bytes(f64_image(2, 1, {inf, 1.0})));
    ASSERT_EQ(run({"in1", "in2", "out", "0"}).status, 0);
    auto r = from_le64(output()->substr(64));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(std::isnan(r[0]));
    EXPECT_TRUE(std::isnan(r[1]));
}

TEST_F(Cli, OneFileAsBothInputsGivesTheOffsetEverywhere)
{
    put("u16", file_bytes(u16_image(3, 1, {0, 1234, 65535}, "c")));
    put("f64", file_bytes(f64_image(3, 1, {-4503599627370495.0, 0.0, 12345.0})));
    ASSERT_EQ(run({"u16", "u16", "out", "-1"}).status, 0);
    EXPECT_EQ(output()->substr(65), le16({65535, 65535, 65535}));
    ASSERT_EQ(run({"f64", "f64", "out", "-300"}).status, 0);
    EXPECT_EQ(output()->substr(64), le64({-300.0, -300.0, -300.0}));
}

TEST_F(Cli, TheCountAndTypeOfInput2DriveTheOutput)
{
    struct Case {
        const char* what;
        Image a, b;
        Bytes values;
    };
    const Case cases[] = {
        {"input 2 empty by width", u16_image(2, 1, {9, 9}, "c"), u16_image(0, 7, {}), ""},
        {"input 2 empty by height", u16_image(2, 1, {9, 9}), u16_image(5, 0, {}), ""},
        {"input 1 larger", u16_image(3, 2, {10, 20, 30, 40, 50, 60}), u16_image(2, 1, {1, 2}),
         le16({9, 18})},
        {"both empty", f64_image(0, 0, {}, "only a comment"), f64_image(0, 3, {}), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put("in1", file_bytes(c.a));
        put("in2", file_bytes(c.b));
        Run_Result r = run({"in1", "in2", "out", "0"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(output(), header_bytes(c.a) + c.a.comment + c.values);
    }
}

} // namespace

namespace {

TEST_F(Cli, ShippedSamplesGiveTheirExpectedOutputs)
{
    for (std::string kind : {"16", "64"}) {
        SCOPED_TRACE(kind);
        std::string examples = PIXDELTA_EXAMPLES;
        Run_Result r = run({examples + "/frame" + kind + ".img", examples + "/dark" + kind + ".img",
                            "out", "100"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(output(), read_file(examples + "/expected" + kind + ".img"));
    }
}

} // namespace
