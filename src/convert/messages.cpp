#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace convert {

namespace {

std::string formatted(const char* row, va_list args)
{
    va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, row, args);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0)
        std::vsnprintf(text.data(), text.size() + 1, row, again);
    va_end(again);
    return text;
}

} // namespace

Reason because(int error)
{
    return {error != 0 ? std::string(": ") + std::strerror(error) : std::string()};
}

Reason because(const std::string& library, int error)
{
    return {(library.empty() ? std::string() : ": " + library) + because(error).words};
}

std::string words(const char* row, ...)
{
    va_list args;
    va_start(args, row);
    std::string text = formatted(row, args);
    va_end(args);
    return text;
}

std::string words(const Reason& reason, const char* row, ...)
{
    va_list args;
    va_start(args, row);
    std::string text = formatted(row, args);
    va_end(args);
    return text + reason.words;
}

bool fail(Failure& failure, const std::string& file, const char* row, ...)
{
    va_list args;
    va_start(args, row);
    failure = {file, formatted(row, args)};
    va_end(args);
    return false;
}

bool fail(Failure& failure, const std::string& file, const Reason& reason, const char* row, ...)
{
    va_list args;
    va_start(args, row);
    failure = {file, formatted(row, args) + reason.words};
    va_end(args);
    return false;
}

} // namespace convert
