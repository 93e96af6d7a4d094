// Runs the built binary on files made here and checks its standard output,
// standard error, exit status and what file3 holds afterwards.
#include "support.h"

#include <cmath>
#include <sys/mman.h>
#include <sys/stat.h>

using namespace tests;

namespace {

Bytes report(int input, const Image& image)
{
    auto n = std::to_string(input);
    Bytes text = "x_size" + n + "         " + std::to_string(image.x_size) + " \ny_size" + n +
                 "         " + std::to_string(image.y_size) + " \ncomment length" + n + " " +
                 std::to_string(image.comment.size()) + " \n\n";
    return input == 1 ? text + std::to_string(image.file_type) + "\n" : text;
}

Image with(Image image, void (*change)(Image&))
{
    change(image);
    return image;
}

// A 2 x 2 pair with comments and different uninterpreted header bytes.
const Image in1 = u16_image(2, 2, {1000, 200, 65535, 5}, "first comment", '\xA1');
const Image in2 = u16_image(2, 2, {200, 1000, 0, 5}, "second", '\xB2');
const Bytes start1 = in1.header() + in1.comment, r1 = report(1, in1);
const Bytes result = start1 + le16({800, 64736, 65535, 0}), reports = r1 + report(2, in2);
const Bytes usage = "The usage is 'pixdelta file1 file2 file3 offset'\n file3 = (file1-file2) + offset\n";
const int F = 255, T = 247;

struct Case {
    const char* what;
    std::optional<Bytes> file1 = in1.file(), file2 = in2.file(); // nullopt: no such file
    std::vector<std::string> args = {"in1", "in2", "out", "0"};
    Run_Options options = {};
    int status = 0;
    Bytes out = reports, err = "";
    std::optional<Bytes> file3 = result; // nullopt: never created
};

struct Cli : In_Temp_Dir {
    // Each case starts from a stale file3 (which must be truncated) unless
    // file3 must not be created; the inputs must come out unchanged.
    void check(const std::vector<Case>& cases)
    {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            for (const char* name : {"in1", "in2", "out", "hard", "soft"})
                std::filesystem::remove(path(name));
            if (c.file1)
                put("in1", *c.file1);
            if (c.file2)
                put("in2", *c.file2);
            if (c.file3)
                put("out", "stale bytes from an earlier run");
            std::error_code absent_in1; // only the cases that name them need these
            std::filesystem::create_hard_link(path("in1"), path("hard"), absent_in1);
            std::filesystem::create_symlink("in1", path("soft"), absent_in1);
            Run_Result r = run(c.args, c.options);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(get("out"), c.file3);
            EXPECT_EQ(get("in1"), c.file1);
            EXPECT_EQ(get("in2"), c.file2);
        }
    }
};
// Cases that need the tool's own process: they close its descriptors or
// preload code into it, which an emulator in between would not pass on.
using Process = Cli;

TEST_F(Cli, FailuresPrintTheirMessageAndLeaveFile3AsDocumented)
{
    const Image type3 = with(in1, [](Image& i) { i.file_type = 3; });
    const Image block12 = u16_image(4, 3, std::vector<std::uint16_t>(12, 7));
    const Image wide = u16_image(3, 2, {1, 2, 3, 4, 5, 6}), floats = f64_image(2, 2, {1, 2, 3, 4});
    const Image empty = u16_image(0, 7, {});
    const auto magic = [](Image i, Bytes m) { i.magic = m; return i.file(); };
    const auto huge = [](std::uint16_t y, Bytes values) { return u16_image(65535, y, {}, "", 0).header() + values; };
    check({
        {.what = "three arguments", .args = {"in1", "in2", "out"}, .status = F, .out = usage, .file3 = {}},
        {.what = "file1 missing", .file1 = {}, .status = F, .out = "can not open file1 for input\n", .file3 = {}},
        {.what = "file2 missing", .file2 = {}, .status = F, .out = "can not open file2 for input\n", .file3 = {}},
        {.what = "file3 in a missing folder", .args = {"in1", "in2", "no/out", "0"}, .status = F,
         .out = "can not open file3 for output\n", .file3 = {}},
        {.what = "file1 of 63 bytes", .file1 = in1.file().substr(0, 63), .status = F, .out = "",
         .err = "EOF in in1 (header)\n", .file3 = ""},
        {.what = "magic's first byte wrong", .file1 = magic(in1, "JM"), .status = F, .out = "",
         .err = "This is not Velkin image file.\n", .file3 = ""},
        {.what = "magic with a zero byte", .file1 = magic(in1, Bytes("I\0", 2)), .status = F, .out = "",
         .err = "This is not Velkin image file.\n", .file3 = ""},
        {.what = "comment past the end", .file1 = with(in1, [](Image& i) { i.comment_length = 3; }).header(),
         .status = F, .out = "", .err = "EOF found (comment)\n", .file3 = ""},
        {.what = "file1 type 3", .file1 = type3.file(), .status = T,
         .out = report(1, type3) + "Unknown file type in file1!", .file3 = ""},
        {.what = "file1 block one byte short", .file1 = block12.file().substr(0, 64 + 23), .status = F,
         .out = report(1, block12), .err = "EOF found in the data of in1 (11 12) \n", .file3 = ""},
        {.what = "count past 31 bits", .file1 = huge(32769, ""), .status = F, .out = report(1, u16_image(65535, 32769, {})),
         .err = "EOF found in the data of in1 (0 2147516415) \n", .file3 = ""},
        {.what = "count past 32 bits", .file1 = huge(65535, le16({1, 2, 3}) + "x"), .status = F,
         .out = report(1, u16_image(65535, 65535, {})), .err = "EOF found in the data of in1 (3 4294836225) \n",
         .file3 = ""},
        {.what = "file2 empty", .file2 = "", .status = F, .out = r1, .err = "EOF in in2 (header)\n", .file3 = start1},
        {.what = "file2 bad magic", .file2 = magic(in2, "IN"), .status = F, .out = r1,
         .err = "2This is not Velkin image file.\n", .file3 = start1},
        {.what = "file2 comment past the end", .file2 = in2.file().substr(0, 64 + 3), .status = F, .out = r1,
         .err = "EOF found (comment)\n", .file3 = start1},
        {.what = "file2 type 0", .file2 = with(in2, [](Image& i) { i.file_type = 0; }).file(), .status = T,
         .out = reports + "Unknown file type in file2!", .file3 = start1},
        {.what = "file2 block short", .file2 = in2.file().substr(0, in2.file().size() - 3), .status = F,
         .err = "EOF found in the data of in2 (2 4) \n", .file3 = start1},
        {.what = "types differ", .file2 = floats.file(), .status = F, .out = r1 + report(2, floats),
         .err = "file types differ: in1 has type 2, in2 has type 10\n", .file3 = start1},
        {.what = "file1 has fewer values", .file2 = wide.file(), .status = F, .out = r1 + report(2, wide),
         .err = "pixel counts differ: in1 has 4 values, in2 has 6 values\n", .file3 = start1},
        {.what = "file1 has more values", .file1 = wide.file(), .status = F, .out = report(1, wide) + report(2, in2),
         .err = "pixel counts differ: in1 has 6 values, in2 has 4 values\n", .file3 = wide.header()},
        {.what = "file2 has no values", .file2 = empty.file(), .status = F, .out = r1 + report(2, empty),
         .err = "pixel counts differ: in1 has 4 values, in2 has 0 values\n", .file3 = start1},
        {.what = "file2 a pipe claiming more", .args = {"in1", "/dev/stdin", "out", "0"},
         .options = {.stdin_pieces = {huge(65535, "")}}, .status = F, .out = r1 + report(2, u16_image(65535, 65535, {})),
         .err = "pixel counts differ: in1 has 4 values, /dev/stdin has 4294836225 values\n", .file3 = start1},
        // 34 GiB claimed, one value sent: copied as it comes, then found short.
        {.what = "a pipe block larger than memory", .file1 = {}, .args = {"/dev/stdin", "in2", "out", "0"},
         .options = {.stdin_pieces = {f64_image(65535, 65535, {1.0}).file()}}, .status = F,
         .out = report(1, f64_image(65535, 65535, {})),
         .err = "EOF found in the data of /dev/stdin (1 4294836225) \n", .file3 = ""},
        {.what = "full disk", .args = {"in1", "in2", "/dev/full", "0"}, .status = F, .out = r1,
         .err = "something wrong in /dev/full (header)\n", .file3 = {}},
        {.what = "file2 a pipe, short", .args = {"in1", "/dev/stdin", "out", "0"},
         .options = {.stdin_pieces = {in2.file().substr(0, 64), in2.file().substr(64, 6 + 7)}}, .status = F,
         .err = "EOF found in the data of /dev/stdin (3 4) \n", .file3 = start1},
    });
}

// A pipe's block is copied into an unnamed file in TMPDIR (or /tmp) before
// any value is written, so that a short one is still found first: nothing
// is left there afterwards, and a copy that cannot be made is a failure
// that names the folder and the reason, before file3 receives anything.
TEST_F(Cli, APipeIsCopiedIntoAnUnnamedFileInTmpdir)
{
    const auto piped = [](std::vector<Bytes> environment, Run_Options options = {}) {
        options.stdin_pieces = {in1.file().substr(0, 70), in1.file().substr(70)};
        options.environment = std::move(environment);
        return options;
    };
    const Bytes cannot = "can not copy the pixel block of /dev/stdin into a temporary file in ";
    std::filesystem::create_directory(path("tmp"));
    put("not-a-folder", "");
    check({
        {.what = "TMPDIR", .args = {"/dev/stdin", "in2", "out", "0"}, .options = piped({"TMPDIR=tmp"})},
        {.what = "no TMPDIR", .args = {"/dev/stdin", "in2", "out", "0"}, .options = piped({})},
        {.what = "empty TMPDIR", .args = {"/dev/stdin", "in2", "out", "0"}, .options = piped({"TMPDIR="})},
        {.what = "TMPDIR missing", .args = {"/dev/stdin", "in2", "out", "0"}, .options = piped({"TMPDIR=none"}),
         .status = F, .out = r1, .err = cannot + "none (No such file or directory)\n", .file3 = ""},
        {.what = "TMPDIR a file", .args = {"/dev/stdin", "in2", "out", "0"},
         .options = piped({"TMPDIR=not-a-folder"}), .status = F, .out = r1,
         .err = cannot + "not-a-folder (Not a directory)\n", .file3 = ""},
        // The copy meets the limit before file3 is written at all.
        {.what = "a full disk", .args = {"/dev/stdin", "in2", "out", "0"},
         .options = piped({"TMPDIR=tmp"}, {.file_size_limit = 6}), .status = F, .out = r1,
         .err = cannot + "tmp (File too large)\n", .file3 = ""},
        {.what = "file2 a pipe, copied", .args = {"in1", "/dev/stdin", "out", "0"},
         .options = {.stdin_pieces = {in2.file()}, .environment = std::vector<Bytes>{"TMPDIR=tmp"}}},
    });
    EXPECT_TRUE(std::filesystem::is_empty(path("tmp")));
}

TEST_F(Cli, File3IsNeverAnInputNorTheConsole)
{
    const Bytes console = "can not use out as file3: it is the same file as the standard ";
    std::vector<Case> cases;
    for (Bytes file3 : {"in1", "./in1", "hard", "soft", "in2"})
        cases.push_back({.what = "file3 names an input", .args = {"in1", "in2", file3, "5"}, .status = F, .out = "",
                         .err = "can not use " + file3 + " as file3: it is the same file as " +
                                (file3 == "in2" ? "file2 in2\n" : "file1 in1\n"),
                         .file3 = {}});
    cases.insert(cases.end(), {
        {.what = "stdout redirected to it", .options = {.shell = "exec \"$0\" \"$@\" > out"}, .status = F,
         .out = "", .err = console + "output\n", .file3 = ""},
        {.what = "stderr redirected to it", .options = {.shell = "exec \"$0\" \"$@\" 2> out"}, .status = F,
         .out = "", .err = "", .file3 = console + "error\n"},
        {.what = "/dev/stdout on a pipe", .args = {"in1", "in2", "/dev/stdout", "0"}, .status = F, .out = "",
         .err = "can not use /dev/stdout as file3: it is the same file as the standard output\n", .file3 = {}},
        {.what = "/dev/stderr on a pipe", .args = {"in1", "in2", "/dev/stderr", "0"}, .status = F, .out = "",
         .err = "can not use /dev/stderr as file3: it is the same file as the standard error\n", .file3 = {}},
        {.what = "stdout on file1", .options = {.shell = "exec \"$0\" \"$@\" 1<>in1"}, .status = F, .out = "",
         .err = "can not use the standard output: it is the same file as file1 in1\n", .file3 = {}},
        {.what = "stderr on file2", .options = {.shell = "exec \"$0\" \"$@\" 2>>in2"}, .status = F,
         .out = "can not use the standard error: it is the same file as file2 in2\n", .file3 = {}},
        {.what = "stderr on file1 by a link, file2 missing", .file2 = {},
         .options = {.shell = "exec \"$0\" \"$@\" 2>>hard"}, .status = F,
         .out = "can not use the standard error: it is the same file as file1 in1\n", .file3 = {}},
        {.what = "both on file1", .options = {.shell = "exec \"$0\" \"$@\" 1<>in1 2>&1"}, .status = F, .out = "",
         .file3 = {}},
        {.what = "a device is fine", .args = {"in1", "in2", "/dev/null", "0"},
         .options = {.shell = "exec \"$0\" \"$@\" > /dev/null"}, .out = "", .file3 = {}},
    });
    check(cases);
}

TEST_F(Cli, AFailedWriteKeepsWhatWasAcceptedAndNamesTheStep)
{
    // file3: 64 header bytes, 13 comment bytes, then 4 values of 2 bytes.
    std::vector<Case> cases;
    for (auto [limit, err] : {std::pair<rlim_t, Bytes>{10, "something wrong in out (header)\n"},
                              {64, "something wrong in comment of out (header)\n"},
                              {70, "something wrong in comment of out (header)\n"},
                              {77, "something wrong in data area 1  4\n"},
                              {82, "something wrong in data area 1  4\n"}})
        cases.push_back({.what = "file size limit", .options = {.file_size_limit = limit}, .status = F,
                         .out = limit < 77 ? r1 : reports, .err = err, .file3 = result.substr(0, limit)});
    check(cases);
}

TEST_F(Cli, SuccessesWriteFile1HeaderAndTheDifference)
{
    const double inf = INFINITY;
    const Bytes f1 = in1.file(), f2 = in2.file(), long_comment(5000, '\0');
    std::vector<Case> cases = {
        {.what = "trailing bytes and extra arguments", .file1 = f1 + "more", .file2 = f2 + "more",
         .args = {"in1", "in2", "out", "0", "extra", "args"}},
        {.what = "file1 a pipe, in pieces", .args = {"/dev/stdin", "in2", "out", "0"},
         .options = {.stdin_pieces = {f1.substr(0, 30), f1.substr(30, 40), f1.substr(70, 9), f1.substr(79)}}},
        {.what = "file2 a pipe, in pieces", .args = {"in1", "/dev/stdin", "out", "0"},
         .options = {.stdin_pieces = {f2.substr(0, 1), f2.substr(1, 70), f2.substr(71) + "more"}}},
    };
    // Odd comment lengths leave the pixel blocks at odd file offsets.
    const std::tuple<Image, Image, const char*, Bytes> arithmetic[] = {
        {u16_image(3, 1, {200, 65535, 7}, "odd"), u16_image(3, 1, {1000, 0, 7}, "x"), "  +1abc", le16({64737, 0, 1})},
        {u16_image(1, 1, {0}, long_comment), u16_image(1, 1, {0}), "70000", le16({4464})},
        {u16_image(1, 1, {0}), u16_image(1, 1, {1}, long_comment), "-32769", le16({32766})},
        {f64_image(2, 1, {9007199254740992.0, 1.5}, "c"), f64_image(2, 1, {9007199254740992.0, 0.25}), "1",
         le64({0.0, 2.25})},
        {f64_image(1, 1, {0}), f64_image(1, 1, {0}), "40000", le64({-25536.0})},
        {f64_image(2, 1, {inf, 1e308}), f64_image(2, 1, {-inf, -1e308}), "0", le64({inf, inf})},
        {u16_image(3, 2, {10, 20, 30, 40, 50, 60}), u16_image(2, 3, {1, 2, 3, 4, 5, 6}), "-1",
         le16({8, 17, 26, 35, 44, 53})}, // the same count in another shape
        {f64_image(0, 0, {}, "only a comment"), f64_image(0, 3, {}), "-1", ""},
    };
    for (const auto& [a, b, offset, values] : arithmetic)
        cases.push_back({.what = offset, .file1 = a.file(), .file2 = b.file(), .args = {"in1", "in2", "out", offset},
                         .out = report(1, a) + report(2, b), .file3 = a.header() + a.comment + values});
    const Image same16 = u16_image(3, 1, {0, 1234, 65535}, "c");
    const Image same64 = f64_image(2, 1, {-4503599627370495.0, 12345.0});
    for (const auto& [image, values] : {std::pair{same16, le16({65535, 65535, 65535})},
                                        std::pair{same64, le64({-1.0, -1.0})}})
        cases.push_back({.what = "one file as both", .file1 = image.file(), .file2 = {}, .args = {"in1", "in1", "out", "-1"},
                         .out = report(1, image) + report(2, image), .file3 = image.header() + image.comment + values});
    check(cases);
}

// The strings whose environment, as /proc/self/environ shows it, is `bytes`.
std::vector<Bytes> split_at_nul(const Bytes& bytes)
{
    std::vector<Bytes> strings{""};
    for (char c : bytes)
        if (c != '\0')
            strings.back().push_back(c);
        else
            strings.emplace_back();
    return strings;
}

TEST_F(Process, ClosedFailingOrInterruptedStreamsNeverSpoilTheImage)
{
    const Bytes bad2 = "IN" + in2.file().substr(2);
    const std::string all_closed = "exec \"$0\" \"$@\" <&- >&- 2>&-";
    check({
        {.what = "all closed", .options = {.shell = all_closed}, .out = ""},
        {.what = "all closed, file2 bad", .file2 = bad2, .options = {.shell = all_closed}, .status = F, .out = "",
         .file3 = start1},
        {.what = "stdout closed", .options = {.shell = "exec \"$0\" \"$@\" >&-"}, .out = ""},
        {.what = "stdout full", .options = {.shell = "exec \"$0\" \"$@\" > /dev/full"}, .status = F, .out = "",
         .err = "can not write the report to the standard output\n"},
        {.what = "interrupted, short transfers", .options = {.fault = "interrupt"}},
        {.what = "interrupted, from a pipe", .args = {"/dev/stdin", "in2", "out", "0"},
         .options = {.stdin_pieces = {in1.file()}, .fault = "interrupt"}},
        // The copy of a pipe then has a name, removed at once.
        {.what = "a pipe, no unnamed files", .args = {"/dev/stdin", "in2", "out", "0"},
         .options = {.stdin_pieces = {in1.file()}, .shell = "mkdir -p tmp && TMPDIR=tmp exec \"$0\" \"$@\"",
                     .fault = "no_tmpfile"}},
        {.what = "a read fails", .options = {.fault = "pread"}, .status = F, .err = "EOF found in the data of in1 (0 4) \n",
         .file3 = start1},
        {.what = "an image in a file of size 0 (/proc)", .args = {"/proc/self/environ", "/proc/self/environ", "out", "7"},
         .options = {.environment = split_at_nul(in1.file())}, .out = r1 + report(2, in1),
         .file3 = start1 + le16({7, 7, 7, 7})},
        {.what = "closing file3 fails", .options = {.fault = "close"}, .status = F, .err = "something wrong in closing out\n"},
    });
    EXPECT_TRUE(std::filesystem::is_empty(path("tmp")));
}

TEST_F(Cli, AnInputCutShortDuringTheRunIsReportedAndFile3CutBack)
{
    // file2 is a FIFO, so the run waits for it after it has checked file1's
    // size and written file1's header; file1 is cut meanwhile to 200,000
    // values, past the first chunk.
    const Image big1 = u16_image(300, 1000, std::vector<std::uint16_t>(300000, 7), "c1");
    const Image big2 = u16_image(300, 1000, std::vector<std::uint16_t>(300000, 7));
    const Bytes start = big1.header() + big1.comment;
    put("in1", big1.file());
    ASSERT_EQ(mkfifo(path("in2").c_str(), 0600), 0);
    auto cut_file1 = [&] {
        int fifo = open(path("in2").c_str(), O_WRONLY);
        for (std::error_code e; std::filesystem::file_size(path("out"), e) + 1 < start.size() + 1;)
            usleep(1000); // until file1's header and comment are out
        std::filesystem::resize_file(path("in1"), start.size() + 200000 * 2 + 1);
        const Bytes f2 = big2.file();
        EXPECT_EQ(write(fifo, f2.data(), f2.size()), static_cast<ssize_t>(f2.size()));
        close(fifo);
    };
    Run_Result r = run({"in1", "in2", "out", "0"}, {.while_running = cut_file1});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "EOF found in the data of in1 (200000 300000) \n");
    EXPECT_EQ(get("out"), start);
}

TEST_F(Process, LargeInputsRunInConstantMemory)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the limit";
#endif
    // 96 MiB of values each; file2 is a hole but for its last value.
    const std::uint64_t n = 8192 * 6144;
    std::vector<std::uint16_t> a(n);
    for (std::uint64_t i = 0; i < n; ++i)
        a[i] = static_cast<std::uint16_t>(i * 40503);
    put("in1", u16_image(8192, 6144, a).file());
    put("in2", u16_image(8192, 6144, {}).header());
    std::filesystem::resize_file(path("in2"), 64 + 2 * n - 2);
    std::ofstream(path("in2"), std::ios::app | std::ios::binary) << le16({9});
    Run_Result r = run({"in1", "in2", "out", "3"}, {.address_space_limit = 64 << 20});
    ASSERT_EQ(r.status, 0) << r.err;
    // file1 once more, through a pipe, whose block is copied, not held.
    Run_Result piped = run({"/dev/stdin", "in2", "piped", "3"},
                           {.address_space_limit = 64 << 20, .stdin_pieces = {*get("in1")},
                            .environment = std::vector<Bytes>{"TMPDIR=."}});
    ASSERT_EQ(piped.status, 0) << piped.err;
    a.back() = static_cast<std::uint16_t>(a.back() - 9);
    for (auto& v : a)
        v = static_cast<std::uint16_t>(v + 3);
    EXPECT_TRUE(get("out") == u16_image(8192, 6144, a).file());
    EXPECT_TRUE(get("piped") == get("out"));
}

TEST_F(Cli, ReadingASparseInputAllocatesNothing)
{
    if (!std::filesystem::is_directory("/dev/shm"))
        GTEST_SKIP() << "no /dev/shm (tmpfs) here";
    Bytes name = "/dev/shm/pixdelta-sparse-XXXXXX";
    int fd = mkstemp(name.data());
    ASSERT_GE(fd, 0);
    const Bytes header = f64_image(4096, 2048, {}).header();
    ASSERT_EQ(write(fd, header.data(), header.size()), 64);
    ASSERT_EQ(ftruncate(fd, 64 + 4096 * 2048 * 8), 0);
    struct stat before, after;
    fstat(fd, &before);
    Run_Result r = run({name, name, "/dev/null", "1"});
    fstat(fd, &after);
    close(fd);
    std::filesystem::remove(name);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after.st_blocks, before.st_blocks);
}

TEST_F(Cli, ShippedSamplesAndTheManyFramesScriptGiveTheExpectedOutputs)
{
    const Bytes examples = PIXDELTA_EXAMPLES "/";
    for (Bytes kind : {"16", "64"}) {
        run({examples + "frame" + kind + ".img", examples + "dark" + kind + ".img", "out", "100"});
        EXPECT_EQ(get("out"), read_file(examples + "expected" + kind + ".img")) << kind;
    }
    std::filesystem::create_directory(path("frames"));
    for (const char* frame : {"frames/a.img", "frames/b c.img"})
        put(frame, *read_file(examples + "frame16.img"));
    put("frames/bad.img", "not an image");
    Run_Result r = run({}, {.shell = "PIXDELTA=\"$0\" " + examples + "subtract-dark " + examples +
                                     "dark16.img frames done 100 2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "EOF in frames/bad.img (header)\nfailed: frames/bad.img\n");
    for (const char* done : {"done/a.img", "done/b c.img"})
        EXPECT_EQ(get(done), read_file(examples + "expected16.img")) << done;
}

} // namespace
