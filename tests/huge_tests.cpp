// A run on blocks larger than 4 GiB: file offsets past 32 bits in the
// streamed pass. Writes three files of 4 GiB, so it runs only when asked.
#include "support.h"

#include <bit>
#include <sys/statvfs.h>

using namespace tests;

namespace {

using Huge = In_Temp_Dir;

// Values chosen so that a block index that wrapped at 2^32 bytes, or at 2^31
// or 2^32 values, would give other results.
double value_a(std::uint64_t i) { return static_cast<double>(i); }
double value_b(std::uint64_t i) { return 0.25 * static_cast<double>(i % 4099); }

void write_image(const std::string& file, std::uint16_t x, std::uint16_t y, double (*value)(std::uint64_t))
{
    static_assert(std::endian::native == std::endian::little, "writes host doubles as they are");
    std::ofstream f(file, std::ios::binary);
    f << f64_image(x, y, {}).header();
    std::vector<double> row(x);
    for (std::uint64_t start = 0; start < std::uint64_t{x} * y; start += x) {
        for (std::uint64_t k = 0; k < x; ++k)
            row[k] = value(start + k);
        f.write(reinterpret_cast<const char*>(row.data()), x * 8);
    }
    ASSERT_TRUE(f.flush());
}

TEST_F(Huge, BlocksBeyond4GiBComeOutRight)
{
    const std::uint16_t x = 65535, y = 8193; // 4,295,426,040 bytes a block
    const std::uint64_t count = std::uint64_t{x} * y;
    struct statvfs fs;
    ASSERT_EQ(statvfs(dir.c_str(), &fs), 0);
    if (fs.f_bavail * fs.f_frsize < 3 * count * 8 + (1ull << 30))
        GTEST_SKIP() << "needs 14 GiB of free disk in " << dir;

    write_image(path("in1"), x, y, value_a);
    write_image(path("in2"), x, y, value_b);
    Run_Result r = run({"in1", "in2", "out", "-7"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(path("out")), 64 + count * 8);
    std::ifstream out(path("out"), std::ios::binary);
    const std::uint64_t g = std::uint64_t{1} << 29; // 4 GiB of binary64 values
    for (std::uint64_t i : {std::uint64_t{0}, g / 2, g - 1, g, g + 1, count - 4099, count - 1}) {
        double got;
        out.seekg(static_cast<std::streamoff>(64 + i * 8));
        out.read(reinterpret_cast<char*>(&got), 8);
        EXPECT_EQ(got, (value_a(i) + -7.0) - value_b(i)) << i;
    }
}

} // namespace
