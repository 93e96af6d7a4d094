// Runs the built binary on files made here and checks its standard output,
// standard error, exit status and the output file's bytes.
#include "support.h"

#include <cmath>
#include <sys/stat.h>

namespace {

const Bytes usage =
    "The usage is 'pixdelta file1 file2 file3 offset'\n file3 = (file1-file2) + offset\n";

Bytes report(int input, const Image& image)
{
    auto n = std::to_string(input);
    Bytes text = "x_size" + n + "         " + std::to_string(image.x_size) + " \n" + "y_size" + n +
                 "         " + std::to_string(image.y_size) + " \n" + "comment length" + n + " " +
                 std::to_string(image.comment.size()) + " \n\n";
    return input == 1 ? text + std::to_string(image.file_type) + "\n" : text;
}

Image changed(Image image, void (*change)(Image&))
{
    change(image);
    return image;
}

// A 2 x 2 pair with comments and different uninterpreted header bytes.
const Image in1 = u16_image(2, 2, {1000, 200, 65535, 5}, "first comment", '\xA1');
const Image in2 = u16_image(2, 2, {200, 1000, 0, 5}, "second", '\xB2');
const Bytes in1_start = in1.header() + in1.comment;
const Bytes in1_minus_in2 = in1_start + le16({800, 64736, 65535, 0});
const std::vector<std::string> plain_args = {"in1", "in2", "out", "0"};

using Cli = In_Temp_Dir;

enum class Left { absent, empty, header_and_comment_1, unchecked };

struct Failure {
    const char* what;
    std::optional<Bytes> file1, file2;
    std::vector<std::string> args;
    int status;
    Bytes out, err;
    Left left;
};

std::vector<Failure> failures()
{
    const Bytes good1 = in1.file(), good2 = in2.file(), r1 = report(1, in1), r2 = report(2, in2);
    const Image type3 = changed(in1, [](Image& i) { i.file_type = 3; });
    const Image type0 = changed(in1, [](Image& i) { i.file_type = 0; });
    const Image short_block = u16_image(4, 3, std::vector<std::uint16_t>(12, 7));
    const Image wide = u16_image(3, 2, {1, 2, 3, 4, 5, 6}), floats = f64_image(2, 2, {1, 2, 3, 4});
    const Bytes lying_comment = changed(in1, [](Image& i) { i.comment_length = 3; }).header();
    const auto magic = [](Image i, Bytes m) { i.magic = m; return i.file(); };
    const int F = 255, T = 247;
    return {
        {"no arguments", good1, good2, {}, F, usage, "", Left::absent},
        {"three arguments", good1, good2, {"in1", "in2", "out"}, F, usage, "", Left::absent},
        {"file1 missing", {}, good2, plain_args, F, "can not open file1 for input\n", "", Left::absent},
        {"file2 missing", good1, {}, plain_args, F, "can not open file2 for input\n", "", Left::absent},
        {"file3 in a missing folder", good1, good2, {"in1", "in2", "no/out", "0"}, F,
         "can not open file3 for output\n", "", Left::absent},
        {"file3 a folder", good1, good2, {"in1", "in2", ".", "0"}, F,
         "can not open file3 for output\n", "", Left::absent},
        {"file1 empty", "", good2, plain_args, F, "", "EOF in in1 (header)\n", Left::empty},
        {"file1 of 63 bytes", good1.substr(0, 63), good2, plain_args, F, "",
         "EOF in in1 (header)\n", Left::empty},
        {"magic in lower case", magic(in1, "im"), good2, plain_args, F, "",
         "This is not Velkin image file.\n", Left::empty},
        {"magic swapped", magic(in1, "MI"), good2, plain_args, F, "",
         "This is not Velkin image file.\n", Left::empty},
        {"magic with a zero byte", magic(in1, Bytes("I\0", 2)), good2, plain_args, F, "",
         "This is not Velkin image file.\n", Left::empty},
        {"comment past the end", lying_comment, good2, plain_args, F, "", "EOF found (comment)\n",
         Left::empty},
        {"file1 type 3", type3.file(), good2, plain_args, T,
         report(1, type3) + "Unknown file type in file1!", "", Left::empty},
        {"file1 type 0", type0.file(), good2, plain_args, T,
         report(1, type0) + "Unknown file type in file1!", "", Left::empty},
        {"file1 block one byte short", short_block.file().substr(0, 64 + 23), good2, plain_args, F,
         report(1, short_block), "EOF found in the data of in1 (11 12) \n", Left::empty},
        {"file2 empty", good1, "", plain_args, F, r1, "EOF in in2 (header)\n",
         Left::header_and_comment_1},
        {"file2 bad magic", good1, magic(in2, "IN"), plain_args, F, r1,
         "2This is not Velkin image file.\n", Left::header_and_comment_1},
        {"file2 comment past the end", good1, good2.substr(0, 64 + 3), plain_args, F, r1,
         "EOF found (comment)\n", Left::header_and_comment_1},
        {"file2 type 1", good1, changed(in2, [](Image& i) { i.file_type = 1; }).file(), plain_args,
         T, r1 + r2 + "Unknown file type in file2!", "", Left::header_and_comment_1},
        {"file2 block short", good1, good2.substr(0, good2.size() - 3), plain_args, F, r1 + r2,
         "EOF found in the data of in2 (2 4) \n", Left::header_and_comment_1},
        {"types differ", good1, floats.file(), plain_args, F, r1 + report(2, floats),
         "file types differ: in1 has type 2, in2 has type 10\n", Left::header_and_comment_1},
        {"file1 has fewer values", good1, wide.file(), plain_args, F, r1 + report(2, wide),
         "pixel counts differ: in1 has 4 values, in2 has 6 values\n", Left::header_and_comment_1},
        {"file1 has more values", wide.file(), good2, plain_args, F, report(1, wide) + r2,
         "pixel counts differ: in1 has 6 values, in2 has 4 values\n", Left::unchecked},
        {"file2 has no values", good1, u16_image(0, 7, {}).file(), plain_args, F,
         r1 + report(2, u16_image(0, 7, {})), "pixel counts differ: in1 has 4 values, in2 has 0 values\n",
         Left::header_and_comment_1},
        {"full disk", good1, good2, {"in1", "in2", "/dev/full", "0"}, F, r1,
         "something wrong in /dev/full (header)\n", Left::unchecked},
    };
}

TEST_F(Cli, FailuresPrintTheirMessageAndLeaveTheOutputAsDocumented)
{
    for (const auto& c : failures()) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"in1", "in2", "out"})
            std::filesystem::remove(path(name));
        if (c.file1)
            put("in1", *c.file1);
        if (c.file2)
            put("in2", *c.file2);
        if (c.left != Left::absent) // must be truncated once file3 is opened
            put("out", "stale bytes from an earlier run");
        Run_Result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        if (c.left == Left::absent) {
            EXPECT_EQ(get("out"), std::nullopt);
        } else if (c.left != Left::unchecked) {
            EXPECT_EQ(get("out"), c.left == Left::empty ? "" : in1_start);
        }
    }
}

TEST_F(Cli, AFailedWriteKeepsWhatWasAcceptedAndNamesTheStep)
{
    // The output: 64 header bytes, 13 comment bytes, then 4 values of 2 bytes.
    const std::pair<rlim_t, Bytes> cases[] = {
        {10, "something wrong in out (header)\n"},
        {64, "something wrong in comment of out (header)\n"},
        {70, "something wrong in comment of out (header)\n"},
        {77, "something wrong in data area 1  4\n"},
        {82, "something wrong in data area 1  4\n"},
    };
    put("in1", in1.file());
    put("in2", in2.file());
    for (const auto& [limit, err] : cases) {
        SCOPED_TRACE(limit);
        Run_Result r = run(plain_args, {.file_size_limit = limit});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(get("out"), in1_minus_in2.substr(0, limit));
    }
}

TEST_F(Cli, OutputNamingAnInputIsRefusedAndChangesNothing)
{
    put("in1", in1.file());
    put("in2", in2.file());
    ASSERT_EQ(link(path("in1").c_str(), path("hard").c_str()), 0);
    ASSERT_EQ(symlink("in1", path("soft").c_str()), 0);
    struct stat before, after;
    ASSERT_EQ(stat(path("in1").c_str(), &before), 0);
    for (Bytes file3 : {"in1", "./in1", "hard", "soft", "in2"}) {
        SCOPED_TRACE(file3);
        Run_Result r = run({"in1", "in2", file3, "5"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "can not use " + file3 + " as file3: it is the same file as " +
                             (file3 == "in2" ? "file2 in2\n" : "file1 in1\n"));
        EXPECT_EQ(get("in1"), in1.file());
        EXPECT_EQ(get("in2"), in2.file());
    }
    ASSERT_EQ(stat(path("in1").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(Cli, SuccessReportsBothInputsAndWritesInput1HeaderAndTheDifference)
{
    put("in1", in1.file() + "trailing bytes of input 1");
    put("in2", in2.file() + "trailing bytes of input 2");
    put("out", Bytes(1000, 'x'));
    Run_Result r = run({"in1", "in2", "out", "0", "extra", "args"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "x_size1         2 \ny_size1         2 \ncomment length1 13 \n\n2\n"
                     "x_size2         2 \ny_size2         2 \ncomment length2 6 \n\n");
    EXPECT_EQ(get("out"), in1_minus_in2);

    // The same through pipes, which are read rather than mapped.
    r = run({"/dev/stdin", "in2", "out", "0"}, {.stdin_pieces = {in1.file() + "trailing"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(get("out"), in1_minus_in2);
    r = run({"in1", "/dev/stdin", "out", "0"}, {.stdin_pieces = {in2.file().substr(0, 64 + 6 + 7)}});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "EOF found in the data of /dev/stdin (3 4) \n");
}

TEST_F(Cli, ArithmeticAndOffsetReachTheFile)
{
    const double inf = INFINITY;
    struct Case {
        Image a, b;
        const char* offset;
        Bytes values;
    };
    // Odd comment lengths leave the pixel blocks at odd file offsets.
    const Case cases[] = {
        {u16_image(3, 1, {200, 65535, 7}, "odd"), u16_image(3, 1, {1000, 0, 7}, "x"), "  +1abc",
         le16({64737, 0, 1})},
        {u16_image(1, 1, {0}), u16_image(1, 1, {0}), "70000", le16({4464})},
        {u16_image(1, 1, {0}), u16_image(1, 1, {1}), "-32769", le16({32766})},
        {f64_image(2, 1, {9007199254740992.0, 1.5}, "c"), f64_image(2, 1, {9007199254740992.0, 0.25}),
         "1", le64({0.0, 2.25})},
        {f64_image(1, 1, {0}), f64_image(1, 1, {0}), "40000", le64({-25536.0})},
        {f64_image(2, 1, {inf, 1e308}), f64_image(2, 1, {-inf, -1e308}), "0", le64({inf, inf})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        put("in1", c.a.file());
        put("in2", c.b.file());
        ASSERT_EQ(run({"in1", "in2", "out", c.offset}).status, 0);
        EXPECT_EQ(get("out"), c.a.header() + c.a.comment + c.values);
    }
    put("in1", f64_image(1, 1, {inf}).file());
    ASSERT_EQ(run({"in1", "in1", "out", "0"}).status, 0);
    double r;
    std::memcpy(&r, get("out")->data() + 64, 8);
    EXPECT_TRUE(std::isnan(r)) << "inf - inf";
}

TEST_F(Cli, TheCountAndTypeOfInput2DriveTheOutput)
{
    struct Case {
        const char* what;
        Image a, b;
        const char* file2;
        Bytes values;
    };
    const Case cases[] = {
        {"same count, other shape", u16_image(3, 2, {10, 20, 30, 40, 50, 60}),
         u16_image(2, 3, {1, 2, 3, 4, 5, 6}), "in2", le16({8, 17, 26, 35, 44, 53})},
        {"both empty", f64_image(0, 0, {}, "only a comment"), f64_image(0, 3, {}), "in2", ""},
        {"one file as both", u16_image(3, 1, {0, 1234, 65535}, "c"), {}, "in1",
         le16({65535, 65535, 65535})},
        {"one file as both", f64_image(2, 1, {-4503599627370495.0, 12345.0}), {}, "in1",
         le64({-1.0, -1.0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put("in1", c.a.file());
        put("in2", c.b.file());
        Run_Result r = run({"in1", c.file2, "out", "-1"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(get("out"), c.a.header() + c.a.comment + c.values);
    }
}

TEST_F(Cli, ShippedSamplesGiveTheirExpectedOutputs)
{
    for (Bytes kind : {"16", "64"}) {
        Bytes examples = PIXDELTA_EXAMPLES "/";
        Run_Result r = run({examples + "frame" + kind + ".img", examples + "dark" + kind + ".img",
                            "out", "100"});
        EXPECT_EQ(r.status, 0);
        std::ifstream f(examples + "expected" + kind + ".img", std::ios::binary);
        EXPECT_EQ(get("out"), Bytes(std::istreambuf_iterator<char>(f), {})) << kind;
    }
}

} // namespace
