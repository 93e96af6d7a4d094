// Paths that only very large images take: counts past 31 bits, a block that
// cannot be allocated, and a successful run on blocks larger than 4 GiB.
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

class Huge : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

Image header_only(std::uint16_t type, std::uint16_t x, std::uint16_t y, Bytes values = "")
{
    Image image;
    image.file_type = type;
    image.x_size = x;
    image.y_size = y;
    image.values = values;
    return image;
}

TEST_F(Huge, ShortBlocksReportCountsBeyond31Bits)
{
    struct Case {
        Image image;
        const char* message;
    };
    const Case cases[] = {
        {header_only(2, 65535, 32769), "EOF found in the data of in1 (0 2147516415) \n"},
        {header_only(2, 65535, 65535, le16({1, 2, 3})),
         "EOF found in the data of in1 (3 4294836225) \n"},
        {header_only(2, 65535, 65535, le16({1, 2, 3}) + "x"),
         "EOF found in the data of in1 (3 4294836225) \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        write_file(path("in1"), file_bytes(c.image));
        write_file(path("in2"), file_bytes(c.image));
        Run_Result r = run_tool({"in1", "in2", "out", "0"}, dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(read_file(path("out")), Bytes());
    }
}

bool can_map(std::uint64_t bytes)
{
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    munmap(p, bytes);
    return true;
}

TEST_F(Huge, BlockTooLargeForMemoryEndsWithTheAllocationMessage)
{
    // 65535 x 65535 binary64 values: about 34 GiB. Where the machine could
    // provide that much, the run gets on to find the file short instead.
    const std::uint64_t count = 65535ull * 65535ull;
    const bool fits = can_map(count * 8);
    write_file(path("in1"), file_bytes(header_only(10, 65535, 65535, le64({1.0}))));
    Run_Result r = run_tool({"in1", "in1", "out", "0"}, dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, fits ? "EOF found in the data of in1 (1 4294836225) \n"
                          : "can not allocate memory (pixel block of in1, 4294836225 values)\n");
    EXPECT_EQ(read_file(path("out")), Bytes());
}

// value(i) of each input, chosen so that a block index that wrapped at 2^32
// bytes, or at 2^31 or 2^32 values, would give other results.
double value_a(std::uint64_t i) { return static_cast<double>(i); }
double value_b(std::uint64_t i) { return 0.25 * static_cast<double>(i % 4099); }

void write_binary64_image(const std::string& file, std::uint16_t x, std::uint16_t y,
                          double (*value)(std::uint64_t))
{
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    Bytes header = header_bytes(header_only(10, x, y));
    ASSERT_EQ(write(fd, header.data(), header.size()), 64);
    const std::uint64_t count = std::uint64_t{x} * y, chunk = 1 << 20;
    std::vector<double> values(chunk);
    for (std::uint64_t start = 0; start < count; start += chunk) {
        std::uint64_t n = std::min(chunk, count - start);
        for (std::uint64_t k = 0; k < n; ++k)
            values[k] = value(start + k); // little-endian host, as the test machine is
        ASSERT_EQ(write(fd, values.data(), n * 8), static_cast<ssize_t>(n * 8));
    }
    ASSERT_EQ(close(fd), 0);
}

TEST_F(Huge, SlowBlocksBeyond4GiBComeOutRight)
{
    static_assert(std::endian::native == std::endian::little);
    // 65535 x 8193 binary64 values: 4,295,426,040 bytes a block, three
    // blocks in memory at once, and two inputs and one output on disk.
    const std::uint16_t x = 65535, y = 8193;
    const std::uint64_t count = std::uint64_t{x} * y, block = count * 8;
    struct statvfs fs;
    ASSERT_EQ(statvfs(dir.c_str(), &fs), 0);
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize < 3 * block + (1ull << 30))
        GTEST_SKIP() << "needs 14 GiB of free disk in " << dir;
    if (static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) < 4 * block)
        GTEST_SKIP() << "needs 16 GiB of memory";

    write_binary64_image(path("in1"), x, y, value_a);
    write_binary64_image(path("in2"), x, y, value_b);
    Run_Result r = run_tool({"in1", "in2", "out", "-7"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    int fd = open(path("out").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(64 + block));
    const std::uint64_t samples[] = {0,          1,          (1ull << 28) - 1, 1ull << 28,
                                     (1ull << 29) - 1, 1ull << 29, (1ull << 29) + 1,
                                     count - 4099, count - 2, count - 1};
    for (std::uint64_t i : samples) {
        SCOPED_TRACE(i);
        double got;
        ASSERT_EQ(pread(fd, &got, 8, static_cast<off_t>(64 + i * 8)), 8);
        EXPECT_EQ(got, (value_a(i) + -7.0) - value_b(i));
    }
    close(fd);
}

} // namespace
