#include "support.h"
#include "delta/difference.h"
#include "delta/run.h"
#include "image/byte_order.h"
#include "image/command_line.h"

#include <cmath>

using namespace tests;
using namespace delta;
using namespace img;

namespace {

TEST(ParseOffset, ReadsLikeAtoiWith32BitWrapThenReducesModulo65536)
{
    const std::pair<const char*, std::int16_t> cases[] = {
        {"12", 12}, {"  -5", -5}, {"+7", 7}, {"12abc", 12}, {"abc", 0}, {"", 0}, {"32768", -32768},
        {"40000", -25536}, {"65536", 0}, {"70000", 4464}, {"-32769", 32767}, {"-32768", -32768},
        {"32767", 32767}, {"\t\n\v\f\r 9", 9}, {"+-5", 0}, {"- 5", 0}, {"0x10", 0}, {"007", 7},
        {"1e3", 1}, {"-0", 0}, {"\xa0" "5", 0}, // a non-ASCII byte is not white space
        {"4294967296", 0}, {"4294967297", 1}, {"2147483648", 0}, {"99999999999", -6145},
        {"-4294967295", 1}, {"18446744073709551617", 1}, // where strtol would saturate
    };
    for (const auto& [text, offset] : cases)
        EXPECT_EQ(parse_offset(text), offset) << text;
}

// Runs compute_difference on blocks at odd addresses, as after an odd-length
// comment, and checks that nothing is written past the end of R.
Bytes difference(const Bytes& a, const Bytes& b, std::uint16_t type, std::int16_t offset)
{
    std::size_t n = a.size() / (type == 2 ? 2 : 8);
    Bytes pa = "x" + a, pb = "y" + b, pr(a.size() + 2, '#');
    auto at = [](const Bytes& s) { return reinterpret_cast<const unsigned char*>(s.data() + 1); };
    compute_difference(reinterpret_cast<unsigned char*>(pr.data() + 1), at(pa), at(pb), n, type, offset);
    EXPECT_TRUE(pr.front() == '#' && pr.back() == '#') << "wrote outside R";
    return pr.substr(1, a.size());
}

TEST(Difference, EveryValueOfEveryLengthIsComputedOnce)
{
    // Lengths around the widths of a vector loop and its tail.
    for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 100}) {
        std::vector<std::uint16_t> a, b, r16;
        std::vector<double> fa, fb, r64;
        for (int i = 0; i < n; ++i) {
            a.push_back(static_cast<std::uint16_t>(i * 7919));
            b.push_back(static_cast<std::uint16_t>(65535 - i * 4729));
            r16.push_back(static_cast<std::uint16_t>(a.back() - 3 - b.back()));
            fa.push_back(i * 0.5);
            fb.push_back(i * i);
            r64.push_back((fa.back() + -3.0) - fb.back());
        }
        EXPECT_EQ(difference(le16(a), le16(b), 2, -3), le16(r16)) << n;
        EXPECT_EQ(difference(le64(fa), le64(fb), 10, -3), le64(r64)) << n;
    }
}

TEST(Difference, Uint16WrapsModulo65536)
{
    const std::uint16_t cases[][4] = {// A, B, offset as 16 bits, R
                                      {1000, 200, 0, 800},      {200, 1000, 0, 64736}, {200, 1000, 1000, 200},
                                      {65535, 0, 1, 0},         {5, 5, 65535, 65535},  {0, 65535, 0, 1},
                                      {65535, 0, 32767, 32766}, {0, 0, 32768, 32768}};
    for (const auto& c : cases)
        EXPECT_EQ(difference(le16({c[0]}), le16({c[1]}), 2, static_cast<std::int16_t>(c[2])), le16({c[3]}));
}

TEST(Difference, Binary64RoundsTheSumFirstAndFollowsIeee)
{
    const double inf = INFINITY, max = 1.7976931348623157e308, min_sub = 4.9406564584124654e-324;
    const std::tuple<double, double, std::int16_t, double> cases[] = { // A, B, offset, R
        {9007199254740992.0, 9007199254740992.0, 1, 0.0}, // 2^53 + 1 rounds to 2^53
        {9007199254740992.0, 9007199254740992.0, 2, 2.0},
        {max, max, 1, 0.0},
        {max, -max, 0, inf},
        {-max, max, 0, -inf},
        {min_sub, 0.0, 0, min_sub},                                      // no flush to zero
        {2.2250738585072014e-308, 2.2250738585072009e-308, 0, min_sub}, // nor denormals-are-zero
        {-0.0, 0.0, 0, 0.0},                                             // -0 + 0 is +0
        {inf, -inf, -32768, inf},
        {0.5, 0.0, 32767, 32767.5},
        {0.1, 0.2, 0, 0.1 - 0.2},
    };
    for (const auto& [a, b, offset, r] : cases)
        EXPECT_EQ(difference(le64({a}), le64({b}), 10, offset), le64({r})) << a;
    for (double nan_source : {inf, double{NAN}}) {
        double r;
        std::memcpy(&r, difference(le64({nan_source}), le64({inf}), 10, 7).data(), 8);
        EXPECT_TRUE(std::isnan(r));
    }
}

// The same bytes in a file of each order, as values of each width: turned
// into the host's order, they read as the same numbers on any host.
TEST(ByteOrder, EachWidthIsTurnedAsAWhole)
{
    const unsigned char little[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    const unsigned char big[] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    const struct {
        unsigned width;
        std::uint64_t first; // the first value, read from `little` as little-endian
    } widths[] = {{2, 0x0201}, {4, 0x04030201}, {8, 0x0807060504030201}};
    for (const auto& w : widths) {
        const unsigned count = 8 / w.width;
        unsigned char from_little[8], from_big[8];
        std::memcpy(from_little, little, 8);
        std::memcpy(from_big, big, 8);
        convert_byte_order(from_little, count, w.width, std::endian::little);
        convert_byte_order(from_big, count, w.width, std::endian::big);
        std::uint64_t first = 0, last_of_big = 0;
        if (std::endian::native == std::endian::little) {
            std::memcpy(&first, from_little, w.width);
            std::memcpy(&last_of_big, from_big + 8 - w.width, w.width);
        } else { // a big-endian host: the value's low bytes are its last
            std::memcpy(reinterpret_cast<unsigned char*>(&first) + 8 - w.width, from_little, w.width);
            std::memcpy(reinterpret_cast<unsigned char*>(&last_of_big) + 8 - w.width,
                        from_big + 8 - w.width, w.width);
        }
        EXPECT_EQ(first, w.first) << w.width << "-byte values, little-endian file";
        // big holds the values in reverse order, so its last is little's first
        EXPECT_EQ(last_of_big, w.first) << w.width << "-byte values, big-endian file";
    }
}

// The grammar every tool with options shares: one table of cases, each a
// command line and what it reads as (the values given, in the table's order,
// "-" for an option not given, then the operands) or what is wrong with it.
TEST(CommandLine, OneGrammarForEveryTool)
{
    const Option table[] = {
        {"--help", false}, {"--version", false}, {"--mean", false},
        {"-o", true, "-o needs a file name"}, {"--minmax", true, "--minmax takes MIN,MAX"},
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"a", "--mean", "-o", "out", "b"}, "- - + out - | a b"},
        {{"--minmax", "-5,100", "a"}, "- - - - -5,100 | a"},     // a single dash is a value
        {{"--minmax=-5,1", "a"}, "- - - - -5,1 | a"},
        {{"--minmax=", "a"}, "- - - - (empty) | a"},             // the tool judges an empty value
        {{"-o", "out", "-"}, "- - - out - | -"},                  // a lone dash is an operand...
        {{"--", "--mean", "-o"}, "- - - - - | --mean -o"},        // ...and so is all after --
        {{"--help"}, "+ - - - - |"},
        {{"--version"}, "- + - - - |"},
        {{"--mean", "--mean"}, "--mean is given twice"},
        {{"-o", "a", "-o", "a"}, "-o is given twice"},
        {{"--minmax=1,2", "--minmax", "1,2"}, "--minmax is given twice"},
        {{"a", "-o"}, "-o needs a file name"},
        {{"-o", "--mean", "a"}, "-o needs a file name"},          // a forgotten value
        {{"--minmax", "--", "a"}, "--minmax takes MIN,MAX"},
        {{"-o=x", "a"}, "unknown option -o=x"},                   // no = for a short option
        {{"--mean=1"}, "unknown option --mean=1"},                // nor for a flag
        {{"--me"}, "unknown option --me"},                        // no abbreviations
        {{"-x"}, "unknown option -x"},
        {{"--help", "--mean"}, "--help goes alone"},
        {{"a", "--version"}, "--version goes alone"},
        {{"--help", "--version"}, "--help goes alone"},
        {{"--help", "--"}, "+ - - - - |"},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<std::string> storage = {"tool"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : storage)
            argv.push_back(a.data());
        Command_Line line;
        std::string got = read_command_line(static_cast<int>(argv.size()), argv.data(), table, line);
        if (got.empty()) {
            for (std::size_t k = 0; k < line.given.size(); ++k) {
                const char* v = line.given[k];
                got += std::string(k ? " " : "") +
                       (!v ? "-" : !table[k].takes_value ? "+" : *v ? v : "(empty)");
            }
            got += " |";
            for (const char* operand : line.operands)
                got += std::string(" ") + operand;
        }
        EXPECT_EQ(got, expected) << args.size() << " arguments, first " << (args.empty() ? "" : args[0]);
    }
}

} // namespace
