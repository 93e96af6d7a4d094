#pragma once

namespace convert {

// The whole of `pixconvert ...`; returns the exit status: 0 done, 1 refused
// or failed, 2 wrong usage. The format modules are loaded from `modules`, a
// folder relative to the program's own (main.cpp).
int run_pixconvert(int argc, char** argv, const char* modules);

} // namespace convert
