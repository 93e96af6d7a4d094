// pixcalibrate's arithmetic: a frame's values through the steps of a
// calibration in binary64, then into the output's type, and the line that
// records what was done. Everything here is exact: the same inputs give the
// same bits on every host.
#pragma once

#include "image/to_uint16.h"

#include <cstdint>
#include <string>

namespace calibrate {

// The steps, in this order, for each value v of a frame, each operation
// rounded to binary64 as ccdproc's subtract_bias, subtract_dark and
// flat_correct round them:
//   v - B, then - (R * D), then / (F / m), then + N
// where F is the flat after values below V are raised to V, and m the mean
// of its finite values. A step not asked for is left out, not done with a
// neutral value: -0 - 0 and -0 + 0 differ.
struct Steps {
    bool bias = false, dark = false, flat = false, offset = false;
    double dark_scale = 1; // R
    bool raise_flat = false;
    double flat_min = 0;  // V
    double flat_mean = 0; // m
    double offset_value = 0; // N
};

// x[i] for i < n becomes the calibrated value, from the masters' values
// b[i], d[i], f[i] (each read only if its step is taken).
void calibrate_values(const Steps& steps, double* x, const double* b, const double* d, const double* f,
                      std::uint64_t n);

// Values into uint16 (--type uint16): the image library's rule, which
// pixcombine shares.
using img::Clamped;
using img::to_uint16;

// The masters' names as given (null for one not given), for the record.
struct Masters {
    const char* bias = nullptr;
    const char* dark = nullptr;
    const char* flat = nullptr;
};

// One line, without a line feed, for the output's comment: the tool and its
// version, then key=value fields for what was done: the masters (names in
// double quotes, with \", \\ and \xHH for bytes outside printable ASCII, so
// that the line stays one line of ASCII), R with a dark, V and m with a
// flat, N if given, and the output type. Numbers in the shortest form that
// reads back as the same binary64.
std::string record_line(const Steps& steps, const Masters& masters, std::uint16_t output_type);

} // namespace calibrate
