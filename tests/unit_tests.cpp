#include "test_support.h"
#include "tool/difference.h"
#include "tool/run.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

TEST(ParseOffset, ReadsLikeAtoiAndReducesModulo65536)
{
    struct Case {
        const char* text;
        std::int16_t offset;
    };
    const Case cases[] = {
        {"12", 12},          {"  -5", -5},         {"+7", 7},
        {"12abc", 12},       {"abc", 0},           {"", 0},
        {"32768", -32768},   {"40000", -25536},    {"65536", 0},
        {"70000", 4464},     {"-32769", 32767},    {"-32768", -32768},
        {"32767", 32767},    {"\t\n\v\f\r 9", 9},  {"+-5", 0},
        {"- 5", 0},          {"0x10", 0},          {"007", 7},
        {"1e3", 1},          {"5 6", 5},           {"-0", 0},
        // Past 32 bits the accumulation wraps before the reduction.
        {"4294967296", 0},   {"4294967297", 1},    {"2147483648", 0},
        {"99999999999", -6145}, {"-4294967295", 1},
        {"\xa0" "5", 0},     // a non-ASCII byte is not white space
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_offset(c.text), c.offset);
    }
}

// Runs compute_difference over blocks placed at an odd address, the way a
// block sits after an odd-length comment.
Bytes difference(const Bytes& a, const Bytes& b, std::uint64_t n, std::uint16_t type,
                 std::int16_t offset)
{
    std::size_t size = type == 2 ? 2 : 8;
    Bytes pa = "x" + a, pb = "y" + b, pr(1 + n * size + 1, '#');
    compute_difference(reinterpret_cast<unsigned char*>(pr.data()) + 1,
                       reinterpret_cast<const unsigned char*>(pa.data()) + 1,
                       reinterpret_cast<const unsigned char*>(pb.data()) + 1, n, type, offset);
    EXPECT_EQ(pr.front(), '#');
    EXPECT_EQ(pr.back(), '#') << "wrote past the end of R";
    return pr.substr(1, n * size);
}

TEST(Difference, EveryValueOfEveryLengthIsComputedOnce)
{
    // Lengths around the widths a vector loop works in, with its tail.
    for (std::uint64_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 100u}) {
        SCOPED_TRACE(n);
        std::vector<std::uint16_t> a, b, r16;
        std::vector<double> fa, fb, r64;
        for (std::uint64_t i = 0; i < n; ++i) {
            a.push_back(static_cast<std::uint16_t>(i * 7919));
            b.push_back(static_cast<std::uint16_t>(65535 - i * 104729));
            r16.push_back(static_cast<std::uint16_t>(a.back() - 3 - b.back()));
            fa.push_back(static_cast<double>(i) * 0.5);
            fb.push_back(static_cast<double>(i * i));
            r64.push_back((fa.back() + -3.0) - fb.back());
        }
        EXPECT_EQ(from_le16(difference(le16(a), le16(b), n, 2, -3)), r16);
        EXPECT_EQ(difference(le64(fa), le64(fb), n, 10, -3), le64(r64));
    }
}

TEST(Difference, Binary64CornerCases)
{
    const double inf = INFINITY, max = 1.7976931348623157e308, min_sub = 4.9406564584124654e-324;
    struct Case {
        double a, b;
        std::int16_t offset;
        double r;
    };
    const Case cases[] = {
        {9007199254740992.0, 9007199254740992.0, 1, 0.0}, // 2^53 + 1 rounds to 2^53
        {9007199254740992.0, 9007199254740992.0, 2, 2.0},
        {max, max, 1, 0.0},
        {max, -max, 0, inf},
        {-max, max, 0, -inf},
        {min_sub, 0.0, 0, min_sub},          // no flush to zero
        {2.2250738585072014e-308, 2.2250738585072009e-308, 0, min_sub}, // DAZ/FTZ would give 0
        {-0.0, 0.0, 0, 0.0},                 // -0 + 0 is +0
        {-0.0, -0.0, 0, 0.0},
        {inf, -inf, -32768, inf},
        {0.5, 0.0, 32767, 32767.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a);
        EXPECT_EQ(difference(le64({c.a}), le64({c.b}), 1, 10, c.offset), le64({c.r}));
    }
    EXPECT_TRUE(std::isnan(from_le64(difference(le64({inf}), le64({inf}), 1, 10, 0))[0]));
    EXPECT_TRUE(std::isnan(from_le64(difference(le64({NAN}), le64({0}), 1, 10, 7))[0]));
}

} // namespace
