// The preview: an 8-bit grayscale PNG that any viewer shows. Two passes over
// the input: the first finds the least and greatest finite values, the
// second maps them linearly to 0..255.
#include "convert.h"

#include <cmath>
#include <cstring>

namespace {

struct Stretch {
    double low = INFINITY, high = -INFINITY;
};

double value_at(const unsigned char* row, std::uint64_t i, std::uint16_t type)
{
    if (type == type_uint16) {
        std::uint16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return v;
    }
    double v;
    std::memcpy(&v, row + 8 * i, 8);
    return v;
}

// NaN and -inf go black, +inf white; a constant image is all black. Halves
// keep high - low finite for the widest binary64 range.
unsigned char level(double v, const Stretch& s)
{
    if (std::isnan(v) || v == -INFINITY)
        return 0;
    if (v == INFINITY)
        return 255;
    if (!(s.high > s.low))
        return 0;
    double t = (v * 0.5 - s.low * 0.5) / (s.high * 0.5 - s.low * 0.5);
    return static_cast<unsigned char>(std::lround(std::fmin(std::fmax(t, 0.0), 1.0) * 255));
}

bool find_range(Source& source, Row& row, Stretch& s, Failure& failure)
{
    for (std::uint32_t r = 0; r < source.y; ++r) {
        if (!read_row(source, r, row.data(), failure))
            return false;
        for (std::uint64_t i = 0; i < source.x; ++i) {
            double v = value_at(row.data(), i, source.type);
            if (std::isfinite(v)) {
                s.low = std::fmin(s.low, v);
                s.high = std::fmax(s.high, v);
            }
        }
    }
    return true;
}

bool reopen(Source& source, Failure& failure)
{
    Source again;
    again.format = source.format;
    again.path = source.path;
    close_source(source);
    source = std::move(again);
    return open_source(source, failure);
}

} // namespace

bool write_preview(Source& source, Sink& sink, unsigned zoom, Failure& failure)
{
    Row row(std::uint64_t{source.x} * bytes_per_value(source.type));
    Stretch s;
    if (!find_range(source, row, s, failure) || !reopen(source, failure))
        return false;
    std::uint64_t width = std::uint64_t{source.x} * zoom;
    Row gray(width);
    if (!open_png_sink(sink, nullptr, 8, width, std::uint64_t{source.y} * zoom, failure))
        return false;
    for (std::uint32_t r = 0; r < source.y; ++r) {
        if (!read_row(source, r, row.data(), failure))
            return false;
        for (std::uint64_t i = 0; i < width; ++i)
            gray[i] = level(value_at(row.data(), i / zoom, source.type), s);
        for (unsigned k = 0; k < zoom; ++k)
            if (!write_png_row(sink, gray.data(), failure))
                return false;
    }
    return close_png_sink(sink, failure);
}
