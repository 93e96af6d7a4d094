#include "calibrate.h"

#include "image/byte_order.h"
#include "image/velkin.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

namespace calibrate {

using namespace img;

namespace {

// The steps in one loop over a chunk, each value loaded and stored once, in
// a copy for each choice of steps, so that no test is left inside the loop
// and it vectorizes.
template <bool bias, bool dark, bool flat, bool raise, bool offset>
void calibrate_chunk(const Steps& steps, double* x, const double* b, const double* d, const double* f,
                     std::uint64_t n)
{
    const double r = steps.dark_scale, v = steps.flat_min, m = steps.flat_mean, o = steps.offset_value;
    for (std::uint64_t i = 0; i < n; ++i) {
        double y = x[i];
        if constexpr (bias)
            y = y - b[i];
        if constexpr (dark)
            y = y - r * d[i];
        if constexpr (flat) {
            double raised = f[i];
            if constexpr (raise)
                raised = raised < v ? v : raised;
            y = y / (raised / m);
        }
        if constexpr (offset)
            y = y + o;
        x[i] = y;
    }
}

using Chunk_Steps = void (*)(const Steps&, double*, const double*, const double*, const double*, std::uint64_t);

template <unsigned... choice> constexpr auto all_choices(std::integer_sequence<unsigned, choice...>)
{
    return std::array<Chunk_Steps, sizeof...(choice)>{
        calibrate_chunk<(choice & 1) != 0, (choice & 2) != 0, (choice & 4) != 0, (choice & 8) != 0,
                        (choice & 16) != 0>...};
}

constexpr auto chunk_steps = all_choices(std::make_integer_sequence<unsigned, 32>{});

} // namespace

void calibrate_values(const Steps& steps, double* x, const double* b, const double* d, const double* f,
                      std::uint64_t n)
{
    const unsigned choice = unsigned{steps.bias} | unsigned{steps.dark} << 1 | unsigned{steps.flat} << 2 |
                            unsigned{steps.flat && steps.raise_flat} << 3 | unsigned{steps.offset} << 4;
    chunk_steps[choice](steps, x, b, d, f, n);
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
    std::string line = "pixcalibrate " PIXDELTA_VERSION ":";
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
