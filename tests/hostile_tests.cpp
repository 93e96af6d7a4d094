// Runs under conditions a caller or another program can impose: inputs that
// change or trickle in, closed or shared console streams, limits on memory
// and file size, failing system calls.
#include "support.h"
#include "tool/run.h"

#include <sys/mman.h>
#include <sys/stat.h>

namespace {

const Image in1 = u16_image(2, 2, {1000, 200, 65535, 5}, "first comment", '\xA1');
const Image in2 = u16_image(2, 2, {200, 1000, 0, 5}, "second", '\xB2');
const Bytes in1_start = in1.header() + in1.comment;
const Bytes in1_minus_in2 = in1_start + le16({800, 64736, 65535, 0});
const Bytes reports = "x_size1         2 \ny_size1         2 \ncomment length1 13 \n\n2\n"
                      "x_size2         2 \ny_size2         2 \ncomment length2 6 \n\n";

struct Case {
    const char* what;
    std::vector<std::string> args;
    Run_Options options;
    int status;
    Bytes out, err;
    std::optional<Bytes> file3; // what "out" holds afterwards
};

struct Hostile : In_Temp_Dir {
    void check(const Case& c, const Run_Result& r) const
    {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(get("out"), c.file3);
    }

    void SetUp() override
    {
        In_Temp_Dir::SetUp();
        put("in1", in1.file());
        put("in2", in2.file());
    }
};
// Tests that need the tool's own process: they close its descriptors, limit
// it or preload code into it, which an emulator in between would not pass on.
using Process = Hostile;

TEST_F(Hostile, OutputSharingAConsoleStreamIsRefused)
{
    const std::vector<std::string> args = {"in1", "in2", "out", "0"};
    const Bytes same = "can not use out as file3: it is the same file as the standard ";
    const Case cases[] = {
        {"stdout redirected to it", args, {.shell = "exec \"$0\" \"$@\" > out"}, 255, "", same + "output\n", ""},
        {"stderr redirected to it", args, {.shell = "exec \"$0\" \"$@\" 2> out"}, 255, "", "", same + "error\n"},
        {"/dev/stdout on a pipe", {"in1", "in2", "/dev/stdout", "0"}, {}, 255, "",
         "can not use /dev/stdout as file3: it is the same file as the standard output\n", std::nullopt},
        {"/dev/stderr on a pipe", {"in1", "in2", "/dev/stderr", "0"}, {}, 255, "",
         "can not use /dev/stderr as file3: it is the same file as the standard error\n", std::nullopt},
        {"a device is fine", {"in1", "in2", "/dev/null", "0"}, {.shell = "exec \"$0\" \"$@\" > /dev/null"},
         0, "", "", std::nullopt},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(path("out"));
        check(c, run(c.args, c.options));
    }
}

TEST_F(Process, ClosedOrFailingConsoleStreamsNeverReachTheImage)
{
    put("bad", "IN" + in2.file().substr(2));
    const Case cases[] = {
        {"all closed", {"in1", "in2", "out", "0"}, {.shell = "exec \"$0\" \"$@\" <&- >&- 2>&-"}, 0, "", "",
         in1_minus_in2},
        {"all closed, file2 bad", {"in1", "bad", "out", "0"}, {.shell = "exec \"$0\" \"$@\" <&- >&- 2>&-"},
         255, "", "", in1_start},
        {"stdout closed", {"in1", "in2", "out", "0"}, {.shell = "exec \"$0\" \"$@\" >&-"}, 0, "", "",
         in1_minus_in2},
        {"stdout full", {"in1", "in2", "out", "0"}, {.shell = "exec \"$0\" \"$@\" > /dev/full"}, 255, "",
         "can not write the report to the standard output\n", in1_minus_in2},
    };
    for (const auto& c : cases)
        check(c, run(c.args, c.options));
}

TEST_F(Process, InjectedFaultsEndAsDocumented)
{
    const std::vector<std::string> args = {"in1", "in2", "out", "0"};
    const Case cases[] = {
        {"interrupted, short transfers", args, {.fault = "interrupt"}, 0, reports, "", in1_minus_in2},
        {"interrupted, from a pipe", {"/dev/stdin", "in2", "out", "0"},
         {.stdin_pieces = {in1.file()}, .fault = "interrupt"}, 0, reports, "", in1_minus_in2},
        {"a read fails", args, {.fault = "pread"}, 255, reports,
         "EOF found in the data of in1 (0 4) \n", in1_start},
        {"closing file3 fails", args, {.fault = "close"}, 255, reports,
         "something wrong in closing out\n", in1_minus_in2},
    };
    for (const auto& c : cases)
        check(c, run(c.args, c.options));
}

TEST_F(Hostile, PipeInputsArrivingInPiecesAreReadWhole)
{
    const Bytes f1 = in1.file(), f2 = in2.file();
    const Case cases[] = {
        {"file1 a pipe", {"/dev/stdin", "in2", "out", "0"},
         {.stdin_pieces = {f1.substr(0, 30), f1.substr(30, 40), f1.substr(70, 9), f1.substr(79)}}, 0,
         reports, "", in1_minus_in2},
        {"file2 a pipe", {"in1", "/dev/stdin", "out", "0"},
         {.stdin_pieces = {f2.substr(0, 1), f2.substr(1, 70), f2.substr(71)}}, 0, reports, "", in1_minus_in2},
        {"file2 a pipe, short", {"in1", "/dev/stdin", "out", "0"},
         {.stdin_pieces = {f2.substr(0, 64), f2.substr(64, f2.size() - 67)}}, 255, reports,
         "EOF found in the data of /dev/stdin (2 4) \n", in1_start},
    };
    for (const auto& c : cases)
        check(c, run(c.args, c.options));
}

TEST_F(Hostile, AnInputCutShortDuringTheRunIsReportedAndTheOutputCutBack)
{
    // file2 is a FIFO, so the run waits for it after it has checked file1's
    // size and written file1's header; file1 is cut meanwhile to 200,000
    // values, past the first chunk.
    const std::uint16_t x = 300, y = 1000; // more values than one chunk
    std::vector<std::uint16_t> values(std::size_t{x} * y, 7);
    const Image big1 = u16_image(x, y, values, "c1"), big2 = u16_image(x, y, values);
    put("in1", big1.file());
    std::filesystem::remove(path("in2"));
    ASSERT_EQ(mkfifo(path("in2").c_str(), 0600), 0);
    const Bytes start = big1.header() + big1.comment;
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

bool under_a_sanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
    return __has_feature(address_sanitizer);
#else
    return false;
#endif
}

TEST_F(Process, LargeInputsRunInConstantMemory)
{
    if (under_a_sanitizer())
        GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the limit";
    // 96 MiB of values each; file2 is sparse but for its last value.
    const std::uint16_t x = 8192, y = 6144;
    const std::uint64_t n = std::uint64_t{x} * y;
    std::vector<std::uint16_t> a(n);
    for (std::uint64_t i = 0; i < n; ++i)
        a[i] = static_cast<std::uint16_t>(i * 40503);
    put("in1", u16_image(x, y, a).file());
    put("in2", u16_image(x, y, {}).header());
    std::filesystem::resize_file(path("in2"), 64 + 2 * n - 2);
    std::ofstream(path("in2"), std::ios::app | std::ios::binary) << le16({9});
    Run_Result r = run({"in1", "in2", "out", "3"}, {.address_space_limit = 64 << 20});
    ASSERT_EQ(r.status, 0) << r.err;
    a.back() = static_cast<std::uint16_t>(a.back() - 9);
    for (auto& v : a)
        v = static_cast<std::uint16_t>(v + 3);
    EXPECT_TRUE(get("out") == u16_image(x, y, a).file());
}

TEST_F(Hostile, ReadingASparseInputAllocatesNothing)
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
    Run_Result r = run({name, name, "out", "1"});
    fstat(fd, &after);
    close(fd);
    std::filesystem::remove(name);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after.st_blocks, before.st_blocks);
}

TEST(SameFile, NeedsTheSameDeviceAndTheSameInode)
{
    struct stat x{}, y{};
    x.st_dev = y.st_dev = 1;
    x.st_ino = y.st_ino = 2;
    EXPECT_TRUE(same_file(x, y));
    y.st_ino = 3;
    EXPECT_FALSE(same_file(x, y)) << "same device, another inode";
    y.st_ino = 2;
    y.st_dev = 4;
    EXPECT_FALSE(same_file(x, y)) << "same inode, another device";
}

} // namespace
