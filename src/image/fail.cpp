#include "fail.h"

#include <cstdarg>
#include <cstdlib>

void fail(std::FILE* stream, int status, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::exit(status);
}
