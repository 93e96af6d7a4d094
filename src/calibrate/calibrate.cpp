#include "calibrate.h"

#include "image/byte_order.h"
#include "image/two_values.h"
#include "image/velkin.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace calibrate {

using namespace img;

void calibrate_values(const Steps& steps, double* x, const double* b, const double* d, double* f,
                      std::uint64_t n)
{
    // One plain loop per step, each over the chunk while it is in the cache,
    // so that each vectorizes alone.
    if (steps.bias)
        for (std::uint64_t i = 0; i < n; ++i)
            x[i] = x[i] - b[i];
    if (steps.dark) {
        const double r = steps.dark_scale;
        for (std::uint64_t i = 0; i < n; ++i)
            x[i] = x[i] - r * d[i];
    }
    if (steps.flat) {
        if (steps.raise_flat) {
            const double v = steps.flat_min;
            for (std::uint64_t i = 0; i < n; ++i)
                f[i] = f[i] < v ? v : f[i];
        }
        const double m = steps.flat_mean;
        for (std::uint64_t i = 0; i < n; ++i)
            x[i] = x[i] / (f[i] / m);
    }
    if (steps.offset) {
        const double offset = steps.offset_value;
        for (std::uint64_t i = 0; i < n; ++i)
            x[i] = x[i] + offset;
    }
}

void to_uint16(double* x, std::uint64_t n, unsigned char* out, Clamped& clamped)
{
    // Below 2^51 in magnitude, adding 1.5 * 2^52, where the step of binary64
    // is 1, rounds to a whole number, ties to even, as the default rounding
    // does; subtracting it again is exact. So -0.5 gives 0 and 65535.5 gives
    // 65536: clamped are the values below -0.5 and from 65535.5 up. A NaN
    // fails every comparison but != and gives 0, as does -0.
    const Two low = both(-0.5), high = both(65535.5), whole = both(0x1.8p52), zero = both(0.0),
              largest = both(65535.0);
    Two_Bits below = {}, above = {}, nan = {};
    std::uint64_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const Two v = load_two(x + i), rounded = (v + whole) - whole;
        below -= v < low;
        above -= v >= high;
        nan -= v != v;
        const Two at_least = rounded > zero ? rounded : zero;
        const Two at_most = at_least < largest ? at_least : largest;
        std::memcpy(x + i, &at_most, sizeof at_most);
    }
    for (; i < n; ++i) {
        const double v = x[i], rounded = (v + 0x1.8p52) - 0x1.8p52;
        below[0] += v < -0.5;
        above[0] += v >= 65535.5;
        nan[0] += v != v;
        const double at_least = rounded > 0.0 ? rounded : 0.0;
        x[i] = at_least < 65535.0 ? at_least : 65535.0;
    }
    for (i = 0; i < n; ++i)
        store_value(out, i, static_cast<std::uint16_t>(static_cast<std::int32_t>(x[i])));
    clamped.below += static_cast<std::uint64_t>(below[0] + below[1]);
    clamped.above += static_cast<std::uint64_t>(above[0] + above[1]);
    clamped.nan += static_cast<std::uint64_t>(nan[0] + nan[1]);
}

namespace {

void add_number(std::string& line, const char* key, double value)
{
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    line += ' ';
    line += key;
    line += '=';
    line.append(text, error == std::errc{} ? end : text);
}

void add_name(std::string& line, const char* key, const char* name)
{
    line += ' ';
    line += key;
    line += "=\"";
    for (const char* p = name; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += *p;
        } else if (c >= 0x20 && c < 0x7F) {
            line += *p;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            line += escaped;
        }
    }
    line += '"';
}

} // namespace

std::string record_line(const Steps& steps, const Masters& masters, std::uint16_t output_type)
{
    std::string line = "pixcalibrate " PIXCALIBRATE_VERSION ":";
    if (steps.bias)
        add_name(line, "bias", masters.bias);
    if (steps.dark) {
        add_name(line, "dark", masters.dark);
        add_number(line, "dark-scale", steps.dark_scale);
    }
    if (steps.flat) {
        add_name(line, "flat", masters.flat);
        if (steps.raise_flat)
            add_number(line, "flat-min", steps.flat_min);
        add_number(line, "flat-mean", steps.flat_mean);
    }
    if (steps.offset)
        add_number(line, "offset", steps.offset_value);
    line += output_type == type_uint16 ? " type=uint16" : " type=binary64";
    return line;
}

} // namespace calibrate
