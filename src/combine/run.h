#pragma once

namespace combine {

// The whole run of `pixcombine [--median | --mean] -o OUT IN...`. Ends the
// process on every path: 0 on success, 1 on a failure, 2 on wrong usage.
[[noreturn]] void run_pixcombine(int argc, char** argv);

} // namespace combine
