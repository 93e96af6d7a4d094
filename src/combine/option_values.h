// The values of pixcombine's options, each read by a function of its own
// that says whether the text is one: a table of options can call them as
// they are. None prints; run.cpp says what each option takes.
#pragma once

#include "combine.h"
#include "image/frame_statistics.h"

#include <cstdint>

namespace combine {

// "LOW,HIGH": two finite numbers above 0.
bool parse_sigma_pair(const char* text, double& low, double& high);
// "MIN,MAX": two numbers (infinities too, not NaN), MIN at most MAX.
bool parse_bounds(const char* text, double& min, double& max);
// "NLOW,NHIGH": two whole numbers, each below 2^64.
bool parse_count_pair(const char* text, std::uint64_t& low, std::uint64_t& high);
// A whole number below 2^64.
bool parse_count(const char* text, std::uint64_t& count);
// "median" or "mean".
bool parse_center(const char* text, Center& center);
// "std" or "mad_std".
bool parse_deviation(const char* text, Deviation& deviation);
// "median" or "mean".
bool parse_scale(const char* text, img::Statistic& statistic);
// "binary64" or "uint16": the pixel type's number in the header.
bool parse_type(const char* text, std::uint16_t& type);

} // namespace combine
