// The preview: an 8-bit grayscale PNG that any viewer shows. Two passes
// over the input: the first finds the stretch, the second maps each value
// to a level.
#pragma once

#include "format.h"

namespace convert {

enum class Stretch {
    percentile, // from the 0.5th to the 99.5th percentile of the finite values
    minmax,     // from the least to the greatest finite value
};

// The range [low, high] that the stretch maps to levels 0 to 255.
struct Range {
    double low = 0, high = 0;
};

// The level of one value: linear from `range.low` (0) to `range.high` (255),
// rounded to the nearest, clamped; NaN and -inf 0, +inf 255, and everything
// 0 where the range is empty. Without overflow or underflow over the whole
// binary64 range.
unsigned char level(double v, const Range& range);

// The preview of the reader's image, `zoom` times enlarged, written by
// `png` (the format of the table's row `format`) unless the row says it
// cannot hold it.
bool write_preview(Reader& reader, const Source& source, const Format_Row& format, const Format& png,
                   img::Output_File& out, const std::string& file, unsigned zoom, Stretch stretch,
                   Failure& failure);

} // namespace convert
