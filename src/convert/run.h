#pragma once

namespace convert {

// The whole of `pixconvert ...`; returns the exit status: 0 done, 1 refused
// or failed, 2 wrong usage.
int run_pixconvert(int argc, char** argv);

} // namespace convert
