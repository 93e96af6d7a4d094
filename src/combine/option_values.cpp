#include "option_values.h"

#include "image/velkin.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace combine {

namespace {

// A number as strtod reads it in the C locale (decimal, hexadecimal, "inf"),
// filling `length` bytes exactly; no blanks, no NaN.
bool parse_number(const char* text, std::size_t length, double& value)
{
    if (length == 0 || length > 64 || !(text[0] == '-' || text[0] == '+' || text[0] == '.' ||
                                        (text[0] >= '0' && text[0] <= '9') || text[0] == 'i' ||
                                        text[0] == 'I'))
        return false;
    char copy[65];
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    char* end = nullptr;
    value = std::strtod(copy, &end);
    return end == copy + length && !std::isnan(value);
}

// Decimal digits only; past 2^64 - 1 is no count.
bool parse_whole(const char* text, std::size_t length, std::uint64_t& value)
{
    if (length == 0)
        return false;
    value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

// The text before and after its first comma (a second one is no part of
// a number).
bool split_pair(const char* text, std::size_t& comma)
{
    const char* at = std::strchr(text, ',');
    if (at == nullptr)
        return false;
    comma = static_cast<std::size_t>(at - text);
    return true;
}

bool parse_number_pair(const char* text, double& first, double& second)
{
    std::size_t comma = 0;
    return split_pair(text, comma) && parse_number(text, comma, first) &&
           parse_number(text + comma + 1, std::strlen(text + comma + 1), second);
}

} // namespace

bool parse_sigma_pair(const char* text, double& low, double& high)
{
    return parse_number_pair(text, low, high) && std::isfinite(low) && std::isfinite(high) && low > 0 &&
           high > 0;
}

bool parse_bounds(const char* text, double& min, double& max)
{
    return parse_number_pair(text, min, max) && min <= max;
}

bool parse_count_pair(const char* text, std::uint64_t& low, std::uint64_t& high)
{
    std::size_t comma = 0;
    return split_pair(text, comma) && parse_whole(text, comma, low) &&
           parse_whole(text + comma + 1, std::strlen(text + comma + 1), high);
}

bool parse_count(const char* text, std::uint64_t& count)
{
    return parse_whole(text, std::strlen(text), count);
}

bool parse_center(const char* text, Center& center)
{
    if (std::strcmp(text, "median") == 0)
        center = Center::median;
    else if (std::strcmp(text, "mean") == 0)
        center = Center::mean;
    else
        return false;
    return true;
}

bool parse_deviation(const char* text, Deviation& deviation)
{
    if (std::strcmp(text, "std") == 0)
        deviation = Deviation::std;
    else if (std::strcmp(text, "mad_std") == 0)
        deviation = Deviation::mad_std;
    else
        return false;
    return true;
}

bool parse_scale(const char* text, img::Statistic& statistic)
{
    Center center;
    if (!parse_center(text, center))
        return false;
    statistic = center == Center::median ? img::Statistic::median : img::Statistic::mean;
    return true;
}

bool parse_type(const char* text, std::uint16_t& type)
{
    type = img::type_named(text);
    return type != 0;
}

} // namespace combine
