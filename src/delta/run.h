#pragma once

#include <cstdint>

namespace delta {

// The fourth argument as the C library's atoi reads it (leading white space,
// one sign, decimal digits up to the first other byte), accumulated in 32-bit
// arithmetic that wraps, then reduced modulo 65536 to a signed 16-bit value.
std::int16_t parse_offset(const char* text);

// The whole run of `pixdelta file1 file2 file3 offset`. Ends the process on
// every path: 0 on success, -9 for an unsupported pixel type, -1 otherwise.
[[noreturn]] void run_pixdelta(int argc, char** argv);

} // namespace delta
