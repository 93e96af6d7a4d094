#pragma once

#include "format.h"

#include <cstdint>

namespace convert {

// The whole of `pixconvert ...`; returns the exit status: 0 done, 1 refused
// or failed, 2 wrong usage. The format modules are loaded from `modules`, a
// folder relative to the program's own (main.cpp).
int run_pixconvert(int argc, char** argv, const char* modules);

// Moves the y rows of x values of `type` from the reader to the writer a
// chunk of rows at a time, and finishes the file: chunks of the rows the
// writer asks for, or else the reader, or else of about 256 KiB.
bool copy_rows(Reader& reader, Writer& writer, std::uint16_t x, std::uint16_t y,
               std::uint16_t type, Failure& failure);

} // namespace convert
