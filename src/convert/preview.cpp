#include "preview.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace convert {

using namespace img;

namespace {

// What the first pass gathers. For uint16 values, a count of each value:
// percentiles are then exact. For binary64 values, an even sample of at
// most max_sample finite values, so that memory stays bounded.
constexpr std::uint64_t max_sample = 1 << 16;

struct Statistics {
    std::vector<std::uint64_t> histogram; // uint16: 65536 counts
    std::vector<double> sample;           // binary64: every `stride`-th finite value
    std::uint64_t stride = 1, seen = 0;
    double low = INFINITY, high = -INFINITY; // finite values only
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

void gather(const unsigned char* values, std::uint64_t n, std::uint16_t type, Statistics& s)
{
    for (std::uint64_t i = 0; i < n; ++i) {
        double v = value_at(values, i, type);
        if (!std::isfinite(v))
            continue;
        s.low = std::fmin(s.low, v);
        s.high = std::fmax(s.high, v);
        if (type == type_uint16)
            ++s.histogram[static_cast<std::size_t>(v)];
        else if (s.seen++ % s.stride == 0)
            s.sample.push_back(v);
    }
}

// The value at `fraction` of the way through the m finite values in order:
// the one of rank fraction * (m - 1), rounded to the nearest.
double percentile(const Statistics& s, double fraction)
{
    std::uint64_t m = 0;
    for (std::uint64_t c : s.histogram)
        m += c;
    if (!s.histogram.empty()) {
        auto rank = static_cast<std::uint64_t>(std::llround(fraction * static_cast<double>(m - 1)));
        std::uint64_t below = 0;
        for (std::size_t v = 0; v < s.histogram.size(); ++v)
            if ((below += s.histogram[v]) > rank)
                return static_cast<double>(v);
    }
    std::vector<double> sorted = s.sample;
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(
        std::llround(fraction * static_cast<double>(sorted.size() - 1)))];
}

Range find_range(const Statistics& s, Stretch stretch)
{
    if (!(s.high >= s.low)) // no finite value
        return {};
    if (stretch == Stretch::percentile) {
        Range r{percentile(s, 0.005), percentile(s, 0.995)};
        if (r.high > r.low)
            return r;
    }
    // Percentiles that coincide (a flat image with a few hot pixels) fall
    // back to the whole range.
    return {s.low, s.high};
}

} // namespace

unsigned char level(double v, const Range& range)
{
    if (std::isnan(v) || v == -INFINITY)
        return 0;
    if (v == INFINITY)
        return 255;
    if (!(range.high > range.low))
        return 0;
    // Scaled before the division, for one rounding the fewer, where that
    // stays finite; otherwise halves keep the span finite, and no subnormal
    // number lies in so wide a range.
    double span = range.high - range.low, d = v - range.low, level;
    if (std::isfinite(span) && std::isfinite(d * 255))
        level = d * 255 / span;
    else
        level = (v * 0.5 - range.low * 0.5) / (range.high * 0.5 - range.low * 0.5) * 255;
    return static_cast<unsigned char>(std::lround(std::fmin(std::fmax(level, 0.0), 255.0)));
}

bool write_preview(Reader& reader, const Source& source, const Format_Row& format, const Format& png,
                   Output_File& out, const std::string& file, unsigned zoom, Stretch stretch,
                   Failure& failure)
{
    const std::uint64_t x = source.x, values = x * source.y;
    if (!holds(format, file, static_cast<std::uint32_t>(x * zoom), source.y * zoom, false, failure))
        return false;
    std::vector<unsigned char> row(x * bytes_per_value(source.type));
    Statistics s;
    if (source.type == type_uint16)
        s.histogram.assign(65536, 0);
    else
        s.stride = values / max_sample + 1;
    for (std::uint32_t r = 0; r < source.y; ++r) {
        if (!reader.read_rows(r, 1, row.data(), failure))
            return false;
        gather(row.data(), x, source.type, s);
    }
    const Range range = find_range(s, stretch);
    // uint16 values map through a table of all 65536 levels.
    std::vector<unsigned char> table;
    if (source.type == type_uint16)
        for (std::uint32_t v = 0; v < 65536; ++v)
            table.push_back(level(v, range));

    std::unique_ptr<Writer> writer = png.open_preview(out, file, static_cast<std::uint32_t>(x * zoom),
                                                      source.y * zoom, failure);
    if (!writer || !reader.rewind(failure))
        return false;
    std::vector<unsigned char> gray(x * zoom);
    for (std::uint32_t r = 0; r < source.y; ++r) {
        if (!reader.read_rows(r, 1, row.data(), failure))
            return false;
        for (std::uint64_t i = 0; i < x; ++i) {
            unsigned char g;
            if (source.type == type_uint16) {
                std::uint16_t v;
                std::memcpy(&v, row.data() + 2 * i, 2);
                g = table[v];
            } else
                g = level(value_at(row.data(), i, source.type), range);
            std::memset(gray.data() + i * zoom, g, zoom);
        }
        for (unsigned k = 0; k < zoom; ++k)
            if (!writer->write_rows(r * zoom + k, 1, gray.data(), failure))
                return false;
    }
    return writer->finish(failure);
}

} // namespace convert
