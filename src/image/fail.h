#pragma once

#include <cstdio>

// Every failure of the tool ends the same way: one message on the given
// console stream, then the process exit, which flushes every open stream.
[[noreturn]] void fail(std::FILE* stream, int status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

inline constexpr int exit_failure = -1;
inline constexpr int exit_unknown_type = -9;
